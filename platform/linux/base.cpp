/* base.cpp - errors and their tables, the handle registry, the KOVA_FAIL
 * seam, the processes' common start, and time (Sleep, GetTickCount). */
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace win {
namespace detail {
namespace {

thread_local DWORD last_error = 0;

std::mutex &registry_mutex()
{
    static std::mutex m;
    return m;
}

std::unordered_set<Object *> &registry()
{
    static std::unordered_set<Object *> objects;
    return objects;
}

}  // namespace

Object::Object() = default;
Object::~Object() = default;

DWORD Object::wait(DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

FdObject::~FdObject()
{
    if (fd >= 0)
        ::close(fd);
}

HANDLE new_handle(Object *object)
{
    std::lock_guard<std::mutex> lock(registry_mutex());
    registry().insert(object);
    return object;
}

Object *object_of(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(registry_mutex());
    auto found = registry().find(static_cast<Object *>(handle));
    if (found == registry().end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return *found;
}

bool delete_handle(HANDLE handle)
{
    Object *object = nullptr;
    {
        std::lock_guard<std::mutex> lock(registry_mutex());
        auto found = registry().find(static_cast<Object *>(handle));
        if (found == registry().end())
            return false;
        object = *found;
        registry().erase(found);
    }
    delete object;
    return true;
}

namespace {

/* A seam's list of calls, "name" or "name#N" (the Nth call of that name in
 * the process, 1 the first), read once, and the calls counted. */
class CallSeam {
public:
    /* bare: the call a plain "name" means (0: every call). */
    CallSeam(const char *variable, unsigned bare)
    {
        for (const std::string &item : split_list(getenv(variable), ',')) {
            size_t hash = item.find('#');
            entries_.push_back({item.substr(0, hash),
                                hash == std::string::npos
                                    ? bare
                                    : unsigned(strtoul(item.c_str() + hash + 1, nullptr, 10))});
        }
    }

    /* The count of this call when it is listed, else 0. */
    unsigned hit(const char *call)
    {
        if (entries_.empty())
            return 0;
        unsigned count;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            count = ++counts_[call];
        }
        for (const Entry &entry : entries_)
            if (entry.name == call && (entry.nth == 0 || entry.nth == count))
                return count;
        return 0;
    }

private:
    struct Entry {
        std::string name;
        unsigned nth; /* 0: every call */
    };
    std::vector<Entry> entries_;
    std::mutex mutex_;
    std::unordered_map<std::string, unsigned> counts_;
};

}  // namespace

/* KOVA_FAIL: the listed calls fail with the error Windows would give. */
bool should_fail(const char *call)
{
    static CallSeam seam("KOVA_FAIL", 0);
    return seam.hit(call) != 0;
}

/* KOVA_DIE: "name#N" ends the process at the Nth call of that name (a
 * plain name: the first), before the call does anything, with no clean-up
 * at all: a process killed (or a PC losing power) just before that step. */
void die_if_listed(const char *call)
{
    static CallSeam seam("KOVA_DIE", 1);
    unsigned count = seam.hit(call);
    if (count) {
        std::string note = std::string("KOVA_DIE: ") + call + "#" + std::to_string(count) + "\n";
        ssize_t ignored = ::write(2, note.data(), note.size());
        (void)ignored;
        _exit(kDieStatus);
    }
}

std::vector<std::string> split_list(const char *list, char separator)
{
    std::vector<std::string> items;
    std::string item;
    for (const char *p = list ? list : ""; *p; p++) {
        if (*p != separator) {
            item += *p;
        } else if (!item.empty()) {
            items.push_back(item);
            item.clear();
        }
    }
    if (!item.empty())
        items.push_back(item);
    return items;
}

DWORD win32_error_from_errno(int error)
{
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: return ERROR_ACCESS_DENIED;
    case EPERM: return ERROR_ACCESS_DENIED;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EMFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_NO_DATA;
    case EAGAIN: return ERROR_NO_DATA;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case ENAMETOOLONG: return ERROR_PATH_NOT_FOUND;
    case ENOSPC: return ERROR_DISK_FULL;
    case EDQUOT: return ERROR_DISK_FULL;
    default: return ERROR_GEN_FAILURE;
    }
}

int wsa_error_from_errno(int error)
{
    switch (error) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: return WSAEACCES;
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: return WSAEMFILE;
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
    }
}

void start_process()
{
    signal(SIGPIPE, SIG_IGN);
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        /* Opened the other way round, so that use of it fails; the lower
         * descriptors are taken, so it gets this number. */
        int placeholder = ::open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
        if (placeholder >= 0 && placeholder != fd) {
            dup2(placeholder, fd);
            ::close(placeholder);
        }
    }
}

uint64_t now_ms()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

}  // namespace detail

using namespace detail;

DWORD GetLastError(void) { return detail::last_error; }
void SetLastError(DWORD dwErrCode) { detail::last_error = dwErrCode; }

/* ---- Handles ------------------------------------------------------- */

BOOL CloseHandle(HANDLE hObject)
{
    if (!delete_handle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

/* ---- Time ---------------------------------------------------------- */

void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        /* Windows gives up the rest of the time slice; a zero nanosleep
         * would cost tens of microseconds of timer slack instead. */
        sched_yield();
        return;
    }
    /* A nanosleep underneath, resumed after signals. */
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD GetTickCount(void)
{
    return DWORD(detail::now_ms());
}

/* Processes, threads and mutexes each answer for themselves. */
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    Object *object = object_of(hHandle);
    if (!object)
        return WAIT_FAILED;
    return object->wait(dwMilliseconds);
}

}  // namespace win
