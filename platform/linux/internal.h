/* internal.h - shared by the layer's own sources, never by system code.
 *
 * Handles: every HANDLE the layer gives out points to an Object.  Kinds
 * (files, threads, pipes, processes) derive from it; CloseHandle deletes
 * the object, WaitForSingleObject asks it.  Handles the layer did not
 * create are refused with ERROR_INVALID_HANDLE rather than dereferenced.
 */
#ifndef KOVA_PLATFORM_INTERNAL_H
#define KOVA_PLATFORM_INTERNAL_H

#define KOVA_PLATFORM_IMPL 1
#include "win32.h"

#include <errno.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace win {
namespace detail {

struct Object {
    Object();
    virtual ~Object();
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;
    /* WaitForSingleObject on this kind; the default refuses. */
    virtual DWORD wait(DWORD milliseconds);
};

/* Registers a new object and returns its handle. */
HANDLE new_handle(Object *object);
/* The object behind a handle the layer gave out and has not closed, or
 * null (with ERROR_INVALID_HANDLE set). */
Object *object_of(HANDLE handle);
/* Same, cast to one kind: null unless the object is of that kind. */
template <typename T> T *object_as(HANDLE handle)
{
    T *typed = dynamic_cast<T *>(object_of(handle));
    if (!typed)
        SetLastError(ERROR_INVALID_HANDLE);
    return typed;
}
/* Unregisters and deletes; false for an unknown handle. */
bool delete_handle(HANDLE handle);

/* A file descriptor owned by a handle (files, pipe ends). */
struct FdObject : Object {
    explicit FdObject(int descriptor) : fd(descriptor) {}
    ~FdObject() override;
    int fd;
};

/* Makes a system call again for as long as a signal interrupts it; the
 * result is the call's, with errno set when it is negative. */
template <typename Call> auto retry_interrupted(Call call) -> decltype(call())
{
    decltype(call()) result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

/* One read of up to size bytes, resumed after signals: -1 with errno set,
 * 0 at end of data. */
ssize_t read_some(int fd, void *buffer, size_t size);
/* Writes every byte, resumed after signals; on a socket without SIGPIPE.
 * Returns the bytes written: fewer than size with errno set on failure. */
size_t write_all(int fd, const void *data, size_t size, bool socket);

/* The non-empty items of a separated list ("a,,b" gives a and b). */
std::vector<std::string> split_list(const char *list, char separator);

/* The Windows C runtime's split of a command line into words. */
std::vector<std::string> split_command_line(const char *line);
/* Finds the program that CreateProcessA runs for a name (searched for when
 * search is set and it names no directory): ERROR_SUCCESS and its absolute
 * path in found; else ERROR_ACCESS_DENIED when a candidate exists but may
 * not be run, ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND. */
DWORD find_program(std::string name, bool search, std::string &found);

/* The descriptors of the inheritable named objects (events) the process
 * holds now: CreateProcessA hands them to a child that inherits handles. */
std::vector<int> inherited_descriptors();

/* KOVA_FAIL seam: true when the named call is listed in KOVA_FAIL. */
bool should_fail(const char *call);

/* KOVA_DIE seam: ends the process (_exit(kDieStatus), nothing flushed or
 * closed) at the listed call, before it does anything. */
const int kDieStatus = 86;
void die_if_listed(const char *call);

/* Host errno to the Win32 error code, and to the Windows Sockets one. */
DWORD win32_error_from_errno(int error);
int wsa_error_from_errno(int error);

/* What both process entries do first: SIGPIPE ignored, so that a write to
 * a reader that has gone fails with an error as on Windows; a standard
 * descriptor that is closed keeps a placeholder on which every read and
 * write fails, so no file or socket opened later takes its number. */
void start_process();

/* Milliseconds on a monotonic clock. */
uint64_t now_ms();

/* The user's home folder from the password database, never from the
 * environment; empty (with the error set) when there is none. */
std::string home_directory();
/* The mode a new file gets: 0600 in a folder that only its owner may
 * enter, as a file inherits a private folder's protection on Windows;
 * 0666 (less the umask) elsewhere. */
unsigned creation_mode(const char *path);

}  // namespace detail
}  // namespace win

#endif
