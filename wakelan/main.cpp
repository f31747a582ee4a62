/* main.cpp - the entry of wakelan, a console program. */
#include "kovawin.h"

#include "wakelan.h"

int main(int argc, char *argv[])
{
    return WakelanMain(argc, argv);
}
