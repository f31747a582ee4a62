/* mutex.cpp - named mutexes across processes: CreateMutexA, waiting on one
 * through WaitForSingleObject, ReleaseMutex.
 *
 * A named mutex is a lock file in a directory private to the user
 * ($XDG_RUNTIME_DIR/kova-mutex, else /tmp/kova-mutex-<uid>), its name
 * escaped into a file name.  Ownership is an flock on the file, which the
 * kernel drops when the owning process dies.  The owner writes its process
 * id into the file and empties it when it releases: a waiter that takes
 * the lock and finds an id there knows the owner died holding it, and gets
 * WAIT_ABANDONED as on Windows.
 *
 * Within a process each handle is its own lock (flock belongs to the open
 * file): the owning thread may wait again (ownership counts up) and must
 * release as often; another thread waits, and ReleaseMutex from it fails
 * with ERROR_NOT_OWNER.  Not covered: unnamed mutexes, initial ownership,
 * ERROR_ALREADY_EXISTS, the Global\ and Local\ prefixes (the backslash is
 * escaped like any other character), and a thread of this process that
 * ends while it owns the mutex (noticed only when the process ends).
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

#include <mutex>
#include <string>
#include <thread>

namespace win {
namespace {

const size_t kNameMax = 255;      /* a file name on Linux */
const int kLongestPollMs = 10;    /* between looks at a lock held elsewhere */
const size_t kOwnerTextMax = 32;

/* The private directory of the lock files, made on first use; empty (with
 * the error set) when it cannot be made or is not ours alone. */
std::string MutexDirectory()
{
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    std::string dir = runtime && runtime[0] == '/'
                          ? std::string(runtime) + "/kova-mutex"
                          : "/tmp/kova-mutex-" + std::to_string(geteuid());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        SetLastError(detail::win32_error_from_errno(errno));
        return "";
    }
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return "";
    }
    return dir;
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

}  // namespace

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
    std::string escaped = EscapedName(lpName);
    if (strlen(lpName) > MAX_PATH || escaped.size() > kNameMax) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return NULL;
    }
    std::string dir = MutexDirectory();
    if (dir.empty())
        return NULL;
    int fd = ::open((dir + "/" + escaped).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        SetLastError(detail::win32_error_from_errno(errno));
        return NULL;
    }
    SetLastError(ERROR_SUCCESS);
    return detail::new_handle(new MutexObject(fd));
}

BOOL ReleaseMutex(HANDLE hMutex)
{
    MutexObject *mutex = detail::object_as<MutexObject>(hMutex);
    return mutex ? mutex->release() : FALSE;
}

}  // namespace win
