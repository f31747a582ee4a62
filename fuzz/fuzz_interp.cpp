// Feeds arbitrary command lines to the interpreter, in a scratch directory,
// with every wake sent to a loopback port.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kova.h"

char cmdLine[KOVA_CMDLINE_LEN + 1];

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Set up at the first input: the fuzzer reads its corpus before that,
    // relative to where it was started.
    static bool ready = false;
    if (!ready) {
        static char dir[] = "/tmp/kovafuzz.XXXXXX";
        if (!mkdtemp(dir) || chdir(dir) != 0)
            abort();
        setenv("KOVA_UDP_TARGET", "127.0.0.1:9", 1);
        setenv("PATH", "/nonexistent", 1);  // no agent tools
        ready = true;
    }
    // The console's line: text, cut to the buffer and ended by a NUL.
    memset(cmdLine, 0, sizeof cmdLine);
    memcpy(cmdLine, data, size < KOVA_CMDLINE_LEN ? size : KOVA_CMDLINE_LEN);
    InterpretAndRunKOVACommand();
    return 0;
}
