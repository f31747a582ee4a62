/* wakelan.cpp - the console wake tool. */
#include "kovawin.h"

#include "wakelan.h"
#include "wakew32.h"

int WakelanMain(int argc, char *argv[])
{
    int i;
    for (i = 1; i < argc; i++)
        if (KOVASendWakeOnLAN(argv[i]) != 0)
            return 1;
    return 0;
}
