/* winmain.cpp - the entry of a GUI-subsystem program: main() hands the
 * arguments to WinMain joined with single spaces, as the command line
 * without the program's own name. */
#include "internal.h"

#include <string>

int main(int argc, char **argv)
{
    /* A child that closes its pipe early must not kill us by SIGPIPE. */
    win::detail::start_process();
    std::string line;
    for (int i = 1; i < argc; i++) {
        if (i > 1)
            line += ' ';
        line += argv[i];
    }
    /* Windows hands over the line without the blanks before its first word. */
    size_t start = line.find_first_not_of(" \t");
    line.erase(0, start == std::string::npos ? line.size() : start);
    static char instance_marker;
    return WinMain(&instance_marker, nullptr, &line[0], SW_SHOWDEFAULT);
}
