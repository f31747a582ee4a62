/* files.cpp - files through handles (CreateFileA, ReadFile, WriteFile,
 * DeleteFileA, SetFileAttributesA) and the C runtime's text-mode streams
 * over descriptors.
 *
 * The read-only attribute is a file without any write permission: such a
 * file cannot be opened for writing, truncated or deleted (ERROR_ACCESS_DENIED,
 * EACCES for a stream), as on Windows, even for root, whom the host's own
 * permission checks would let through. */
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <unordered_map>

namespace win {
namespace detail {

ssize_t read_some(int fd, void *buffer, size_t size)
{
    return retry_interrupted([&] { return ::read(fd, buffer, size); });
}

size_t write_all(int fd, const void *data, size_t size, bool socket)
{
    const char *bytes = static_cast<const char *>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t put = retry_interrupted([&] {
            return socket ? ::send(fd, bytes + done, size - done, MSG_NOSIGNAL)
                          : ::write(fd, bytes + done, size - done);
        });
        if (put <= 0) {
            if (put == 0)
                errno = EIO; /* no progress: give up rather than spin */
            break;
        }
        done += size_t(put);
    }
    return done;
}

}  // namespace detail

using namespace detail;

/* ---- The read-only attribute --------------------------------------- */

static bool is_read_only(const struct stat &st)
{
    return !S_ISDIR(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

/* For a descriptor opened for writing: true (errno EACCES) when its file
 * is read-only, which the open itself does not tell for root. */
static bool refuse_read_only(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !is_read_only(st))
        return false;
    errno = EACCES;
    return true;
}

/* The same by name, for a file not opened yet; false when there is none. */
static bool path_is_read_only(const char *path)
{
    struct stat st;
    return ::stat(path, &st) == 0 && is_read_only(st);
}

/* Only the attributes modelled here: directory, read-only, else normal;
 * a symlink is Linux's reparse point and, as on Windows, is described
 * itself, not followed: FILE_ATTRIBUTE_REPARSE_POINT, with
 * FILE_ATTRIBUTE_DIRECTORY when it names a folder (a directory link). */
DWORD GetFileAttributesA(LPCSTR lpFileName)
{
    struct stat st;
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (::lstat(lpFileName, &st) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        bool folder = ::stat(lpFileName, &target) == 0 && S_ISDIR(target.st_mode);
        return FILE_ATTRIBUTE_REPARSE_POINT | (folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
    }
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    return is_read_only(st) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}

BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes)
{
    if (should_fail("SetFileAttributesA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    /* Hidden, system and the rest have no model here. */
    if (dwFileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE |
                                   FILE_ATTRIBUTE_NORMAL)) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    struct stat st;
    if (::stat(lpFileName, &st) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    /* A folder's read-only attribute stops no write on Windows either. */
    if (S_ISDIR(st.st_mode))
        return TRUE;
    mode_t mode = st.st_mode & 07777;
    if (dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        mode &= mode_t(~(S_IWUSR | S_IWGRP | S_IWOTH));
    else if (is_read_only(st))
        mode |= S_IWUSR;
    if (mode != (st.st_mode & 07777) && ::chmod(lpFileName, mode) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

/* ---- Files --------------------------------------------------------- */

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD, HANDLE)
{
    if (should_fail("CreateFileA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    bool reading = (dwDesiredAccess & GENERIC_READ) != 0;
    bool writing = (dwDesiredAccess & GENERIC_WRITE) != 0;
    flags |= reading && writing ? O_RDWR : writing ? O_WRONLY : O_RDONLY;
    /* Truncation waits until the file is known not to be read-only. */
    bool truncate = false;
    switch (dwCreationDisposition) {
    /* Never through a link: a name that exists, a symlink too, fails. */
    case CREATE_NEW: flags |= O_CREAT | O_EXCL | O_NOFOLLOW; break;
    case CREATE_ALWAYS: flags |= O_CREAT; truncate = true; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: truncate = true; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    int fd = ::open(lpFileName, flags, creation_mode(lpFileName));
    if (fd < 0) {
        SetLastError(win32_error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    /* Windows opens no directory through CreateFileA without backup
     * semantics, and no read-only file for writing. */
    if ((fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) ||
        ((writing || truncate) && refuse_read_only(fd))) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (truncate && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        SetLastError(win32_error_from_errno(errno));
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return new_handle(new FdObject(fd));
}

BOOL DeleteFileA(LPCSTR lpFileName)
{
    die_if_listed("DeleteFileA");
    if (should_fail("DeleteFileA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    struct stat st;
    if (lpFileName && ::lstat(lpFileName, &st) == 0 && (S_ISDIR(st.st_mode) || is_read_only(st))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!lpFileName || ::unlink(lpFileName) != 0) {
        SetLastError(lpFileName ? win32_error_from_errno(errno) : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

static bool is_pipe(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED)
{
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    FdObject *file = object_as<FdObject>(hFile);
    if (!file)
        return FALSE;
    ssize_t got = read_some(file->fd, lpBuffer, nNumberOfBytesToRead);
    if (got < 0) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    if (got == 0 && nNumberOfBytesToRead > 0 && is_pipe(file->fd)) {
        /* Every writer is gone: Windows reports a broken pipe. */
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = DWORD(got);
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED)
{
    die_if_listed("WriteFile");
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    if (should_fail("WriteFile")) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    FdObject *file = object_as<FdObject>(hFile);
    if (!file)
        return FALSE;
    /* Pipe ends are sockets: a write whose reader is gone must fail with
     * ERROR_NO_DATA, as on Windows, not raise SIGPIPE. */
    struct stat st;
    bool socket_end = fstat(file->fd, &st) == 0 && S_ISSOCK(st.st_mode);
    size_t done = write_all(file->fd, lpBuffer, nNumberOfBytesToWrite, socket_end);
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = DWORD(done);
    if (done < nNumberOfBytesToWrite) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

/* ---- Text-mode streams --------------------------------------------- */

namespace {

/* The C runtime's text mode over one descriptor. */
struct TextStream {
    int fd = -1;
    HANDLE owner = nullptr; /* closed with the stream when set */
    FILE *stream = nullptr;
    bool text = true;
    bool ended = false;      /* Ctrl-Z seen */
    bool pendingCr = false;  /* a CR whose successor is not read yet */
    char in[4096];
    size_t inPos = 0;
    size_t inLen = 0;
};

ssize_t read_raw(TextStream *s, char *buf, size_t size) { return read_some(s->fd, buf, size); }

ssize_t text_read(void *cookie, char *buf, size_t size)
{
    TextStream *s = static_cast<TextStream *>(cookie);
    if (!s->text)
        return s->ended ? 0 : read_raw(s, buf, size);
    size_t out = 0;
    while (out < size && !s->ended) {
        if (s->inPos == s->inLen) {
            if (out > 0)
                break; /* hand over what we have rather than block */
            ssize_t got = read_raw(s, s->in, sizeof s->in);
            if (got < 0)
                return -1;
            if (got == 0) {
                if (s->pendingCr) {
                    s->pendingCr = false;
                    buf[out++] = '\r';
                }
                break;
            }
            s->inPos = 0;
            s->inLen = size_t(got);
        }
        char c = s->in[s->inPos++];
        if (s->pendingCr) {
            s->pendingCr = false;
            if (c != '\n')
                buf[out++] = '\r';
            if (out == size) {
                s->inPos--;
                break;
            }
        }
        if (c == 0x1A) {
            s->ended = true;
        } else if (c == '\r') {
            s->pendingCr = true;
        } else {
            buf[out++] = c;
        }
    }
    return ssize_t(out);
}

bool write_raw(TextStream *s, const char *data, size_t size)
{
    return write_all(s->fd, data, size, false) == size;
}

ssize_t text_write(void *cookie, const char *buf, size_t size)
{
    TextStream *s = static_cast<TextStream *>(cookie);
    if (!s->text)
        return write_raw(s, buf, size) ? ssize_t(size) : -1;
    size_t start = 0;
    for (size_t i = 0; i < size; i++) {
        if (buf[i] != '\n')
            continue;
        if (!write_raw(s, buf + start, i - start) || !write_raw(s, "\r\n", 2))
            return -1;
        start = i + 1;
    }
    if (!write_raw(s, buf + start, size - start))
        return -1;
    return ssize_t(size);
}

/* Positions are byte offsets in the file, as the Windows runtime's are;
 * the stream's read-ahead is dropped on a move. */
int text_seek(void *cookie, off64_t *offset, int whence)
{
    TextStream *s = static_cast<TextStream *>(cookie);
    off64_t target;
    if (whence == SEEK_SET) {
        target = *offset;
    } else if (whence == SEEK_CUR && *offset == 0) {
        off64_t raw = ::lseek64(s->fd, 0, SEEK_CUR);
        if (raw < 0)
            return -1;
        *offset = raw - off64_t(s->inLen - s->inPos) - (s->pendingCr ? 1 : 0);
        return 0;
    } else {
        errno = EINVAL;
        return -1;
    }
    if (::lseek64(s->fd, target, SEEK_SET) < 0)
        return -1;
    s->inPos = s->inLen = 0;
    s->pendingCr = false;
    s->ended = false;
    *offset = target;
    return 0;
}

/* Our streams by their FILE, for _fileno and _get_osfhandle: a cookie
 * stream has no descriptor of its own. */
std::mutex streams_mutex;
std::unordered_map<FILE *, TextStream *> text_streams;

int text_close(void *cookie)
{
    TextStream *s = static_cast<TextStream *>(cookie);
    int result = 0;
    {
        std::lock_guard<std::mutex> lock(streams_mutex);
        text_streams.erase(s->stream);
    }
    if (s->owner) {
        if (!CloseHandle(s->owner))
            result = -1;
    } else if (::close(s->fd) != 0) {
        result = -1;
    }
    delete s;
    return result;
}

FILE *open_text_stream(int fd, HANDLE owner, bool text, const char *mode)
{
    TextStream *s = new TextStream;
    s->fd = fd;
    s->owner = owner;
    s->text = text;
    cookie_io_functions_t io = {text_read, text_write, text_seek, text_close};
    FILE *stream = fopencookie(s, mode, io);
    if (!stream) {
        delete s;
        return nullptr;
    }
    s->stream = stream;
    std::lock_guard<std::mutex> lock(streams_mutex);
    text_streams[stream] = s;
    return stream;
}

std::mutex osf_mutex;
std::unordered_map<int, std::pair<HANDLE, int>> osf_handles; /* fd -> handle, flags */

}  // namespace

/* Windows opens no directory as a file, in any mode. */
static bool refuse_directory(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    errno = EACCES;
    return true;
}

FILE *fopen(const char *path, const char *mode)
{
    if (should_fail("fopen")) {
        errno = EACCES;
        return nullptr;
    }
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    bool update = strchr(mode, '+') != nullptr;
    bool writes = mode[0] == 'w' || mode[0] == 'a' || update;
    if (strchr(mode, 'b') || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) {
        if (writes && path_is_read_only(path)) {
            errno = EACCES;
            return nullptr;
        }
        FILE *binary = ::fopen(path, mode);
        if (binary && refuse_directory(fileno(binary))) {
            ::fclose(binary);
            errno = EACCES;
            return nullptr;
        }
        return binary;
    }
    int flags = O_CLOEXEC;
    switch (mode[0]) {
    case 'r': flags |= update ? O_RDWR : O_RDONLY; break;
    case 'w': flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT; break;
    default: flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    }
    /* Windows never waits in an open: a FIFO without a writer is opened at
     * once, not waited for. */
    int fd = ::open(path, flags | O_NONBLOCK, 0666);
    if (fd < 0)
        return nullptr;
    /* "w" truncates only a file that may be written (and only a file:
     * a device or FIFO has nothing to truncate, as O_TRUNC would ignore). */
    struct stat st;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (refuse_directory(fd) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        (writes && refuse_read_only(fd)) ||
        (mode[0] == 'w' && regular && ::ftruncate(fd, 0) != 0)) {
        int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    /* The handle behind the stream, as the Windows runtime keeps one. */
    HANDLE owner = new_handle(new FdObject(fd));
    FILE *stream = open_text_stream(fd, owner, true, mode);
    if (!stream)
        CloseHandle(owner);
    return stream;
}

int _open_osfhandle(intptr_t osfhandle, int flags)
{
    FdObject *file = object_as<FdObject>(reinterpret_cast<HANDLE>(osfhandle));
    if (!file) {
        errno = EBADF;
        return -1;
    }
    std::lock_guard<std::mutex> lock(osf_mutex);
    osf_handles[file->fd] = {reinterpret_cast<HANDLE>(osfhandle), flags};
    return file->fd;
}

FILE *fdopen(int fd, const char *mode)
{
    HANDLE owner = nullptr;
    int flags = 0;
    {
        std::lock_guard<std::mutex> lock(osf_mutex);
        auto found = osf_handles.find(fd);
        if (found == osf_handles.end()) {
            errno = EBADF;
            return nullptr;
        }
        owner = found->second.first;
        flags = found->second.second;
        osf_handles.erase(found);
    }
    bool text = (flags & _O_TEXT) != 0 && !strchr(mode, 'b');
    return open_text_stream(fd, owner, text, mode);
}

int _fileno(FILE *stream)
{
    if (!stream) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> lock(streams_mutex);
    auto found = text_streams.find(stream);
    return found != text_streams.end() ? found->second->fd : ::fileno(stream);
}

intptr_t _get_osfhandle(int fd)
{
    {
        std::lock_guard<std::mutex> lock(streams_mutex);
        for (const auto &entry : text_streams)
            if (entry.second->fd == fd && entry.second->owner)
                return reinterpret_cast<intptr_t>(entry.second->owner);
    }
    {
        std::lock_guard<std::mutex> lock(osf_mutex);
        auto found = osf_handles.find(fd);
        if (found != osf_handles.end())
            return reinterpret_cast<intptr_t>(found->second.first);
    }
    errno = EBADF;
    return reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
}

/* ---- File type ----------------------------------------------------- */

DWORD GetFileType(HANDLE hFile)
{
    FdObject *file = object_as<FdObject>(hFile);
    struct stat st;
    if (!file)
        return FILE_TYPE_UNKNOWN;
    if (fstat(file->fd, &st) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(ERROR_SUCCESS);
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode))
        return FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode))
        return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

}  // namespace win
