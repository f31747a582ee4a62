// mutexchild - takes a named mutex through the platform layer, says so,
// holds it, and then releases it or dies owning it, so that tests can see
// a mutex held by another process and one abandoned by a dead owner.
//
//   mutexchild NAME MARKER HOLD_MS release|die
//
// MARKER is created, holding the wait's result, once the mutex is owned.
#include "kovawin.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 5 || (strcmp(argv[4], "release") != 0 && strcmp(argv[4], "die") != 0)) {
        fprintf(stderr, "usage: mutexchild NAME MARKER HOLD_MS release|die\n");
        return 2;
    }
    HANDLE mutex = CreateMutexA(NULL, FALSE, argv[1]);
    if (!mutex) {
        fprintf(stderr, "mutexchild: CreateMutexA failed: %u\n", unsigned(GetLastError()));
        return 1;
    }
    DWORD result = WaitForSingleObject(mutex, INFINITE);
    std::string text = std::to_string(result) + "\n";
    int marker = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (marker < 0 || write(marker, text.data(), text.size()) != ssize_t(text.size()))
        return 1;
    close(marker);
    Sleep(DWORD(atoi(argv[3])));
    if (strcmp(argv[4], "die") == 0)
        _exit(0); // owning it: the next owner is told it was abandoned
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}
