/* debug.cpp - OutputDebugStringA.  Windows hands the text to a debugger or
 * a debug viewer; here it goes to the file named by KOVA_DEBUG_LOG, one
 * line per call, and nowhere when that is unset. */
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace win {

void OutputDebugStringA(LPCSTR lpOutputString)
{
    const char *path = getenv("KOVA_DEBUG_LOG");
    if (!path || !*path || !lpOutputString)
        return;
    /* A debug call must not disturb the error the caller is about to read. */
    int savedErrno = errno;
    std::string line = lpOutputString;
    if (line.empty() || line.back() != '\n')
        line += '\n';
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        /* One write: lines of requests side by side never interleave. */
        detail::write_all(fd, line.data(), line.size(), false);
        ::close(fd);
    }
    errno = savedErrno;
}

}  // namespace win
