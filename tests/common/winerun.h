// Running the Windows builds' programs under Wine from a Linux test: where
// a build's programs are, why Wine tests cannot run here, and one "wine"
// run.  Linux tests only; needs KOVA_BUILD_ROOT (the folder of the builds).
#pragma once

#include <stdlib.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "testutil.h"

namespace kt {

inline const std::string kUnset = "\x01";  // RunOptions: remove the variable

struct WindowsBuild {
    std::string dir, kova, wakelan;
    bool i686 = false;  // the 32-bit product, which needs 32-bit Wine
};

inline WindowsBuild BuildOf(const std::string &preset)
{
    std::string dir = std::string(KOVA_BUILD_ROOT) + "/" + preset;
    return {dir, dir + "/host/kova32ex.exe", dir + "/wakelan/wakelan.exe", preset == "windows"};
}

// The 32-bit product where 32-bit Wine runs; elsewhere the 64-bit build of
// the same code, so that what depends on the Windows version is still run.
inline std::string ProductOrStandIn()
{
    return getenv("KOVA_NO_WINE32") ? "windows-x64" : "windows";
}

// Why Wine tests cannot run here, or empty.
inline std::string WhyNot(const WindowsBuild &build)
{
    if (system("command -v wine >/dev/null 2>&1") != 0)
        return "wine is not installed";
    if (const char *why = getenv("KOVA_NO_WINE32"); why && build.i686)
        return why;
    if (!Exists(build.kova) || !Exists(build.wakelan))
        return "no Windows build in " + build.dir;
    if (!getenv("WINEPREFIX"))
        return "WINEPREFIX is not set (scripts/test.sh makes one per run)";
    return {};
}

// "wine PROGRAM WORDS..." with no display (the run's prefix is made without
// one) and quiet Wine; env adds to or overrides that; prefix goes before
// "wine" (e.g. ip netns exec NAME).
inline RunResult RunWine(const std::string &program, const std::vector<std::string> &words,
                         const std::string &cwd, const std::map<std::string, std::string> &env = {},
                         const std::vector<std::string> &prefix = {})
{
    RunOptions options;
    options.cwd = cwd;
    options.prefix = prefix;
    options.env = {{"WINEDEBUG", "-all"}, {"DISPLAY", kUnset}};
    for (const auto &[name, value] : env)
        options.env[name] = value;
    options.timeout = std::chrono::seconds(120);
    std::vector<std::string> argv = {"wine", program};
    argv.insert(argv.end(), words.begin(), words.end());
    return Run(argv, options);
}

}  // namespace kt
