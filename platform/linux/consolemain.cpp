/* consolemain.cpp - the process entry of a console program: main() calls
 * the program's own main(argc, argv) as the C runtime does on Windows.
 * argv[0] is handed over as Windows writes a path, with '\' in place of
 * '/', so the program finds its name after the last backslash. */
#include "internal.h"

#include <algorithm>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    win::detail::start_process();
    std::string invokedAs = argc > 0 && argv[0] ? argv[0] : "";
    std::replace(invokedAs.begin(), invokedAs.end(), '/', '\\');
    std::vector<char *> args(argv, argv + argc);
    args.push_back(nullptr);
    if (argc > 0 && argv[0])
        args[0] = invokedAs.data();
    return KovaConsoleMain(argc, args.data());
}
