/* process.cpp - anonymous pipes, child processes and the platform version
 * (the command line's split and the program search are in cmdline.cpp).
 *
 * Pipes: an anonymous pipe is a Unix socket pair with one direction shut.
 * PeekNamedPipe must copy without consuming, which a socket can do
 * (recv with MSG_PEEK) and a Linux pipe cannot.  The size hint of
 * CreatePipe is not applied: the socket buffer is larger, and Windows, too,
 * treats the size as a hint.  PIPE_NOWAIT is O_NONBLOCK on the end, shared
 * with the child that inherits it, as a Windows handle's mode is.
 *
 * Processes: the program is started without a shell.  The child receives exactly three descriptors: its standard
 * handles, or the null device for a standard handle that is null or not
 * inherited.  A process handle caches the reaped status, since a reaped
 * child cannot be asked twice.
 */
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern char **environ;

/* Errors that only this group gives. */
#define WIN_ERROR_INSUFFICIENT_BUFFER 122

namespace win {
namespace {

using detail::find_program;
using detail::should_fail;
using detail::split_command_line;
using detail::win32_error_from_errno;

/* ---- Pipes ---------------------------------------------------------- */

struct PipeEnd : detail::FdObject {
    PipeEnd(int descriptor, bool readEnd, bool inheritable)
        : FdObject(descriptor), reads(readEnd), inheritable(inheritable)
    {
    }
    bool reads;
    bool inheritable;
};

/* ---- Processes ------------------------------------------------------ */

/* Children whose handles were closed before they were reaped; reaped
 * later so that they do not stay zombies. */
std::mutex orphans_mutex;
std::vector<pid_t> orphans;

void reap_orphans()
{
    std::lock_guard<std::mutex> lock(orphans_mutex);
    orphans.erase(std::remove_if(orphans.begin(), orphans.end(),
                                 [](pid_t pid) {
                                     int status;
                                     pid_t got = waitpid(pid, &status, WNOHANG);
                                     return got == pid || (got < 0 && errno == ECHILD);
                                 }),
                  orphans.end());
}

/* Shared by the process handle and the primary thread's handle. */
struct ProcessState {
    pid_t pid = -1;
    int pidfd = -1; /* readable once the child has ended; -1 without one */
    std::mutex mutex;
    bool reaped = false;
    DWORD exitCode = STILL_ACTIVE;
    bool terminated = false;
    DWORD terminateCode = 0;

    ~ProcessState()
    {
        if (pidfd >= 0)
            ::close(pidfd);
        if (!poll_exit()) {
            std::lock_guard<std::mutex> lock(orphans_mutex);
            orphans.push_back(pid);
        }
    }

    /* True once the child has ended (reaping it if need be). */
    bool poll_exit()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (reaped)
            return true;
        int status = 0;
        pid_t got = detail::retry_interrupted([&] { return waitpid(pid, &status, WNOHANG); });
        if (got == 0)
            return false;
        reaped = true;
        if (got < 0) /* reaped elsewhere: gone, status unknown */
            exitCode = 0;
        else if (WIFEXITED(status))
            exitCode = DWORD(WEXITSTATUS(status));
        else if (WIFSIGNALED(status) && terminated && WTERMSIG(status) == SIGKILL)
            exitCode = terminateCode;
        else
            exitCode = DWORD(128 + WTERMSIG(status));
        return true;
    }

    DWORD wait(DWORD milliseconds)
    {
        uint64_t deadline = detail::now_ms() + milliseconds;
        for (;;) {
            if (poll_exit())
                return WAIT_OBJECT_0;
            int slice;
            if (milliseconds == INFINITE) {
                slice = -1;
            } else {
                uint64_t now = detail::now_ms();
                if (now >= deadline)
                    return WAIT_TIMEOUT;
                slice = int(std::min<uint64_t>(deadline - now, INT_MAX));
            }
            if (pidfd >= 0) {
                struct pollfd p = {pidfd, POLLIN, 0};
                poll(&p, 1, slice);
            } else {
                /* No pidfd from this kernel: look again shortly. */
                struct pollfd none = {-1, 0, 0};
                poll(&none, 0, slice < 0 || slice > 5 ? 5 : slice);
            }
        }
    }
};

struct ProcessObject : detail::Object {
    std::shared_ptr<ProcessState> state;
    DWORD wait(DWORD milliseconds) override { return state->wait(milliseconds); }
};

/* The primary thread's handle: signalled when the process ends. */
struct PrimaryThread : detail::Object {
    std::shared_ptr<ProcessState> state;
    DWORD wait(DWORD milliseconds) override { return state->wait(milliseconds); }
};

/* The descriptor a standard handle gives the child, or -1 for the null
 * device: only handles that the child inherits reach it. */
int inherited_fd(HANDLE handle, BOOL inheritHandles)
{
    if (!inheritHandles || !handle || handle == INVALID_HANDLE_VALUE)
        return -1;
    detail::Object *object = detail::object_of(handle);
    if (PipeEnd *end = dynamic_cast<PipeEnd *>(object))
        return end->inheritable ? end->fd : -1;
    /* Files: the layer does not record their inheritance. */
    if (detail::FdObject *file = dynamic_cast<detail::FdObject *>(object))
        return file->fd;
    return -1;
}

/* "NAME=value\0NAME=value\0\0", the Windows environment block. */
std::vector<std::string> environment_block(const char *block)
{
    std::vector<std::string> entries;
    while (*block) {
        entries.emplace_back(block);
        block += entries.back().size() + 1;
    }
    return entries;
}

/* The child's three standard descriptors, first copied above 2 so that no
 * dup2 in the child overwrites a source still needed; the caller closes
 * the copies once the child has started. */
void give_standard_handles(posix_spawn_file_actions_t *actions, const STARTUPINFOA &startup,
                           BOOL inheritHandles, int copies[3])
{
    if (!(startup.dwFlags & STARTF_USESTDHANDLES))
        return;
    HANDLE handles[3] = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
    for (int i = 0; i < 3; i++) {
        int source = inherited_fd(handles[i], inheritHandles);
        if (source >= 0)
            copies[i] = fcntl(source, F_DUPFD_CLOEXEC, 3);
        if (copies[i] >= 0)
            posix_spawn_file_actions_adddup2(actions, copies[i], i);
        else
            posix_spawn_file_actions_addopen(actions, i, "/dev/null", O_RDWR, 0);
    }
}

/* A fresh process: no blocked signals, SIGPIPE at its default even though
 * we ignore it. */
void fresh_signals(posix_spawnattr_t *attr)
{
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(attr, &none);
    posix_spawnattr_setsigdefault(attr, &defaults);
    posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

/* Starts the program with the words as its arguments, in the environment
 * block given (ours when null): 0 and the process id, or an errno value. */
int spawn(const std::string &program, std::vector<std::string> &words, const void *environment,
          const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attr, pid_t *pid)
{
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    std::vector<std::string> block;
    std::vector<char *> envp;
    if (environment) {
        block = environment_block(static_cast<const char *>(environment));
        for (std::string &entry : block)
            envp.push_back(&entry[0]);
        envp.push_back(nullptr);
    }
    return posix_spawn(pid, program.c_str(), actions, attr, argv.data(),
                       environment ? envp.data() : environ);
}

/* The process handle and the primary thread's handle of a started child. */
void hand_out(pid_t pid, LPPROCESS_INFORMATION info)
{
    auto state = std::make_shared<ProcessState>();
    state->pid = pid;
    state->pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    ProcessObject *process = new ProcessObject;
    process->state = state;
    PrimaryThread *thread = new PrimaryThread;
    thread->state = state;
    info->hProcess = detail::new_handle(process);
    info->hThread = detail::new_handle(thread);
    info->dwProcessId = DWORD(pid);
    info->dwThreadId = DWORD(pid);
}

}  // namespace

BOOL CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes,
                DWORD)
{
    if (should_fail("CreatePipe")) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return FALSE;
    }
    if (!hReadPipe || !hWritePipe) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    /* One direction only: the read end cannot write, the write end reads
     * end of data. */
    shutdown(sv[0], SHUT_WR);
    shutdown(sv[1], SHUT_RD);
    bool inheritable = lpPipeAttributes && lpPipeAttributes->bInheritHandle;
    *hReadPipe = detail::new_handle(new PipeEnd(sv[0], true, inheritable));
    *hWritePipe = detail::new_handle(new PipeEnd(sv[1], false, inheritable));
    return TRUE;
}

BOOL SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode, LPDWORD lpMaxCollectionCount,
                             LPDWORD lpCollectDataTimeout)
{
    if (should_fail("SetNamedPipeHandleState")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    PipeEnd *end = detail::object_as<PipeEnd>(hNamedPipe);
    if (!end)
        return FALSE;
    /* Collection settings are for pipes across machines; an anonymous pipe
     * has bytes only, no message mode. */
    if (lpMaxCollectionCount || lpCollectDataTimeout ||
        (lpMode && (*lpMode & ~DWORD(PIPE_NOWAIT)) != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpMode) {
        int flags = fcntl(end->fd, F_GETFL);
        if (flags < 0) {
            SetLastError(win32_error_from_errno(errno));
            return FALSE;
        }
        flags = (*lpMode & PIPE_NOWAIT) ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
        if (fcntl(end->fd, F_SETFL, flags) != 0) {
            SetLastError(win32_error_from_errno(errno));
            return FALSE;
        }
    }
    return TRUE;
}

BOOL PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                   LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage)
{
    if (lpBytesRead)
        *lpBytesRead = 0;
    if (lpTotalBytesAvail)
        *lpTotalBytesAvail = 0;
    if (lpBytesLeftThisMessage)
        *lpBytesLeftThisMessage = 0;
    if (should_fail("PeekNamedPipe")) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    PipeEnd *end = detail::object_as<PipeEnd>(hNamedPipe);
    if (!end)
        return FALSE;
    if (!end->reads) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    int queued = 0;
    if (ioctl(end->fd, FIONREAD, &queued) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    ssize_t copied = 0;
    if (queued > 0 && lpBuffer && nBufferSize > 0) {
        copied = detail::retry_interrupted([&] {
            return ::recv(end->fd, lpBuffer, std::min<size_t>(nBufferSize, size_t(queued)),
                          MSG_PEEK | MSG_DONTWAIT);
        });
        if (copied < 0) {
            SetLastError(win32_error_from_errno(errno));
            return FALSE;
        }
    } else if (queued == 0) {
        char probe;
        if (::recv(end->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
            /* Empty and every write end closed. */
            SetLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }
    }
    if (lpBytesRead)
        *lpBytesRead = DWORD(copied);
    if (lpTotalBytesAvail)
        *lpTotalBytesAvail = DWORD(queued);
    return TRUE;
}

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL bInheritHandles, DWORD /* creation flags */,
                    LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation)
{
    if (should_fail("CreateProcessA")) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!lpStartupInfo || !lpProcessInformation || (!lpApplicationName && !lpCommandLine)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    reap_orphans();
    std::vector<std::string> words =
        split_command_line(lpCommandLine ? lpCommandLine : lpApplicationName);
    std::string program;
    DWORD error = find_program(lpApplicationName ? std::string(lpApplicationName)
                               : words.empty()   ? std::string()
                                                 : words[0],
                               lpApplicationName == nullptr, program);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    if (words.empty())
        words.push_back(program);

    int copies[3] = {-1, -1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    give_standard_handles(&actions, *lpStartupInfo, bInheritHandles, copies);
    /* Inherited named objects follow the standard ones, from descriptor 3;
     * their copies lie above that range, so no copy is overwritten before
     * it is used. */
    std::vector<int> objects;
    if (bInheritHandles)
        objects = detail::inherited_descriptors();
    std::vector<int> objectCopies;
    int next = 3 + int(objects.size());
    for (int fd : objects) {
        int copy = fcntl(fd, F_DUPFD_CLOEXEC, next);
        if (copy >= 0) {
            posix_spawn_file_actions_adddup2(&actions, copy, 3 + int(objectCopies.size()));
            objectCopies.push_back(copy);
        }
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, 3 + int(objectCopies.size()));
    if (lpCurrentDirectory)
        posix_spawn_file_actions_addchdir_np(&actions, lpCurrentDirectory);
    fresh_signals(&attr);
    pid_t pid = -1;
    int rc = spawn(program, words, lpEnvironment, &actions, &attr, &pid);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    for (int fd : copies)
        if (fd >= 0)
            ::close(fd);
    for (int fd : objectCopies)
        ::close(fd);
    if (rc != 0) {
        SetLastError(win32_error_from_errno(rc));
        return FALSE;
    }
    hand_out(pid, lpProcessInformation);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    ProcessObject *process = detail::object_as<ProcessObject>(hProcess);
    if (!process)
        return FALSE;
    ProcessState &state = *process->state;
    if (state.poll_exit()) {
        /* Windows refuses to end a process that has ended. */
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    state.terminated = true;
    state.terminateCode = uExitCode;
    if (::kill(state.pid, SIGKILL) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode)
{
    ProcessObject *process = detail::object_as<ProcessObject>(hProcess);
    if (!process)
        return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ProcessState &state = *process->state;
    *lpExitCode = state.poll_exit() ? state.exitCode : STILL_ACTIVE;
    return TRUE;
}

/* ---- Platform version ----------------------------------------------- */

static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA must keep its Windows size");

/* Windows XP (NT 5.1), or Windows 95 when KOVA_WINVER=95, asked at every
 * call so that a test can switch. */
BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation)
{
    if (should_fail("GetVersionExA")) {
        SetLastError(WIN_ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!lpVersionInformation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(WIN_ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const char *winver = getenv("KOVA_WINVER");
    bool old = winver && strcmp(winver, "95") == 0;
    lpVersionInformation->dwMajorVersion = old ? 4 : 5;
    lpVersionInformation->dwMinorVersion = old ? 0 : 1;
    lpVersionInformation->dwBuildNumber = old ? 950 : 2600;
    lpVersionInformation->dwPlatformId = old ? VER_PLATFORM_WIN32_WINDOWS : VER_PLATFORM_WIN32_NT;
    memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    return TRUE;
}

}  // namespace win
