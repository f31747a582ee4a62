/* mutex.cpp - named objects across processes: mutexes (CreateMutexA,
 * waiting on one through WaitForSingleObject, ReleaseMutex) and events that
 * are only ever created and held (CreateEventA), both in the folder below.
 *
 * A named mutex is a lock file in a folder of the user's alone, derived
 * from the user and nothing else, so that every process of the account
 * meets the same lock whatever its environment: ~/.kova/mutex under the
 * home folder of the password database (KOVA_MUTEX_DIR names another one,
 * for tests).  The folder is opened without following a symlink and
 * checked on the open descriptor (ours, mode 0700), and the lock file is
 * opened relative to it, so nobody can swap the folder between the check
 * and the use.  The name's "Global\" or "Local\" prefix is dropped: there
 * is one namespace here.  The rest of the name is escaped into a file name.
 * Ownership is an flock on the file, which the kernel drops when the
 * owning process dies.  The owner writes its process id into the file and
 * empties it when it releases: a waiter that takes the lock and finds an
 * id there knows the owner died holding it, and gets WAIT_ABANDONED as on
 * Windows.
 *
 * Within a process each handle is its own lock (flock belongs to the open
 * file): the owning thread may wait again (ownership counts up) and must
 * release as often; another thread waits, and ReleaseMutex from it fails
 * with ERROR_NOT_OWNER.  Not covered: unnamed mutexes, initial ownership,
 * ERROR_ALREADY_EXISTS, and a thread of this process that ends while it
 * owns the mutex (noticed only when the process ends).
 */
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace win {
namespace {

const size_t kNameMax = 255;      /* a file name on Linux */
const int kLongestPollMs = 10;    /* between looks at a lock held elsewhere */
const size_t kOwnerTextMax = 32;

/* The folder fd, checked: a folder (not a symlink), ours, 0700.  -1 with
 * the error set otherwise; made first when missing. */
int OpenPrivateFolder(int parent, const char *name)
{
    if (::mkdirat(parent, name, 0700) != 0 && errno != EEXIST) {
        SetLastError(detail::win32_error_from_errno(errno));
        return -1;
    }
    int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ELOOP || errno == ENOTDIR ? ERROR_ACCESS_DENIED
                                                         : detail::win32_error_from_errno(errno));
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    return fd;
}

/* The folder of the lock files, opened; -1 with the error set. */
int OpenMutexFolder()
{
    const char *chosen = getenv("KOVA_MUTEX_DIR");
    if (chosen && chosen[0])
        return OpenPrivateFolder(AT_FDCWD, chosen);
    std::string home = detail::home_directory();
    if (home.empty())
        return -1;
    int homeFd = ::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (homeFd < 0) {
        SetLastError(detail::win32_error_from_errno(errno));
        return -1;
    }
    int kova = OpenPrivateFolder(homeFd, ".kova");
    ::close(homeFd);
    if (kova < 0)
        return -1;
    int fd = OpenPrivateFolder(kova, "mutex");
    ::close(kova);
    return fd;
}

/* The name without the session namespace prefix. */
const char *UnprefixedName(const char *name)
{
    if (strncmp(name, "Global\\", 7) == 0)
        return name + 7;
    if (strncmp(name, "Local\\", 6) == 0)
        return name + 6;
    return name;
}

/* Letters, digits, '-' and '_' stand for themselves; every other byte
 * becomes %XX, so no name can leave the directory or meet another. */
std::string EscapedName(const char *name)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string escaped;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++) {
        if ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') ||
            *p == '-' || *p == '_') {
            escaped += char(*p);
        } else {
            escaped += '%';
            escaped += hex[*p >> 4];
            escaped += hex[*p & 0xF];
        }
    }
    return escaped;
}

struct MutexObject : detail::Object {
    explicit MutexObject(int descriptor) : fd(descriptor) {}
    ~MutexObject() override
    {
        /* Closing drops the lock; an owner's id stays behind, so the next
         * owner learns that this one never released. */
        ::close(fd);
    }

    /* Takes the lock if nobody holds it; WAIT_OBJECT_0, WAIT_ABANDONED,
     * or WAIT_TIMEOUT when it is held elsewhere. */
    DWORD try_take()
    {
        std::lock_guard<std::mutex> lock(guard);
        if (count > 0) {
            if (owner != std::this_thread::get_id())
                return WAIT_TIMEOUT;
            count++;
            return WAIT_OBJECT_0;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
            return WAIT_TIMEOUT;
        char text[kOwnerTextMax];
        ssize_t left = ::pread(fd, text, sizeof text, 0);
        std::string self = std::to_string(getpid()) + "\n";
        /* Unmarked (a full disk), a death while owning would not read as
         * abandoned; the lock itself holds all the same. */
        bool marked = ::ftruncate(fd, 0) == 0 &&
                      ::pwrite(fd, self.data(), self.size(), 0) == ssize_t(self.size());
        (void)marked;
        owner = std::this_thread::get_id();
        count = 1;
        return left > 0 ? WAIT_ABANDONED : WAIT_OBJECT_0;
    }

    DWORD wait(DWORD milliseconds) override
    {
        uint64_t deadline = detail::now_ms() + milliseconds;
        int pause = 1;
        for (;;) {
            DWORD result = try_take();
            if (result != WAIT_TIMEOUT)
                return result;
            int slice = pause;
            if (milliseconds != INFINITE) {
                uint64_t now = detail::now_ms();
                if (now >= deadline)
                    return WAIT_TIMEOUT;
                if (deadline - now < uint64_t(slice))
                    slice = int(deadline - now);
            }
            ::poll(nullptr, 0, slice);
            if (pause < kLongestPollMs)
                pause *= 2;
        }
    }

    BOOL release()
    {
        std::lock_guard<std::mutex> lock(guard);
        if (count == 0 || owner != std::this_thread::get_id()) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--count > 0)
            return TRUE;
        owner = std::thread::id();
        /* Emptied before the lock goes: a released mutex is not abandoned. */
        if (::ftruncate(fd, 0) != 0 || ::flock(fd, LOCK_UN) != 0) {
            SetLastError(detail::win32_error_from_errno(errno));
            return FALSE;
        }
        return TRUE;
    }

    int fd;
    std::mutex guard;
    std::thread::id owner;
    unsigned count = 0;
};

/* A named event lives for as long as some process holds a handle to it,
 * a child that inherited one included.  Here: a file "event.<name>" in the
 * mutex folder, held with a shared flock by every open description of it;
 * an inherited handle is the same description, so it holds the event
 * until the last process that has it closes it or ends.  A creator that
 * can lock the file exclusively is alone: the event is new.  Callers
 * serialise their creations (under a named mutex), since the exclusive
 * lock is turned into a shared one in two steps.  Only existence is
 * modelled: waits, SetEvent and ResetEvent are not covered. */
struct EventObject : detail::Object {
    EventObject(int descriptor, bool inherit) : fd(descriptor), inheritable(inherit)
    {
        if (inheritable) {
            std::lock_guard<std::mutex> lock(inheritedGuard);
            inherited.push_back(fd);
        }
    }
    ~EventObject() override
    {
        if (inheritable) {
            std::lock_guard<std::mutex> lock(inheritedGuard);
            inherited.erase(std::find(inherited.begin(), inherited.end(), fd));
        }
        ::close(fd);
    }

    int fd;
    bool inheritable;

    static std::mutex inheritedGuard;
    static std::vector<int> inherited;
};

std::mutex EventObject::inheritedGuard;
std::vector<int> EventObject::inherited;

/* Opens the file of a named object in the folder; -1 with the error set. */
int OpenNamedFile(LPCSTR lpName, const char *prefix)
{
    const char *name = UnprefixedName(lpName);
    std::string escaped = prefix + EscapedName(name);
    if (strlen(lpName) > MAX_PATH || !name[0] || escaped.size() > kNameMax) {
        SetLastError(name[0] ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_PARAMETER);
        return -1;
    }
    int folder = OpenMutexFolder();
    if (folder < 0)
        return -1;
    int fd = ::openat(folder, escaped.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    int error = errno;
    ::close(folder);
    if (fd < 0)
        SetLastError(detail::win32_error_from_errno(error));
    return fd;
}

}  // namespace

namespace detail {

std::vector<int> inherited_descriptors()
{
    std::lock_guard<std::mutex> lock(EventObject::inheritedGuard);
    return EventObject::inherited;
}

}  // namespace detail

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL, BOOL, LPCSTR lpName)
{
    if (detail::should_fail("CreateEventA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    if (!lpName || !lpName[0]) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return NULL;
    }
    int fd = OpenNamedFile(lpName, "event.");
    if (fd < 0)
        return NULL;
    DWORD result;
    for (int pause = 1;; pause = std::min(pause * 2, kLongestPollMs)) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            result = ERROR_SUCCESS;
            break;
        }
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            result = ERROR_ALREADY_EXISTS;
            break;
        }
        ::poll(nullptr, 0, pause); /* another creator is between its two steps */
    }
    if (result == ERROR_SUCCESS && ::flock(fd, LOCK_SH) != 0) {
        DWORD error = detail::win32_error_from_errno(errno);
        ::close(fd);
        SetLastError(error);
        return NULL;
    }
    HANDLE handle = detail::new_handle(
        new EventObject(fd, lpEventAttributes && lpEventAttributes->bInheritHandle));
    SetLastError(result);
    return handle;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName)
{
    if (detail::should_fail("CreateMutexA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    if (!lpName || !lpName[0] || bInitialOwner) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return NULL;
    }
    int fd = OpenNamedFile(lpName, "");
    if (fd < 0)
        return NULL;
    SetLastError(ERROR_SUCCESS);
    return detail::new_handle(new MutexObject(fd));
}

BOOL ReleaseMutex(HANDLE hMutex)
{
    MutexObject *mutex = detail::object_as<MutexObject>(hMutex);
    return mutex ? mutex->release() : FALSE;
}

}  // namespace win
