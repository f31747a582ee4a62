/* folders.cpp - folders, durable files and run-time modules:
 * FlushFileBuffers, MoveFileA, CreateDirectoryA, FindFirstFileA and its
 * companions, LoadLibraryA/GetProcAddress with the one module the system
 * loads here (shell32's SHGetFolderPathA), GetWindowsDirectoryA and
 * LocalFree.
 *
 * The user's folders come from the password database (getpwuid), never
 * from the environment, so that a request cannot be pointed elsewhere by
 * its environment.
 */
#include "internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace win {
namespace detail {

std::string home_directory()
{
    struct passwd *entry = getpwuid(geteuid());
    if (!entry || !entry->pw_dir || entry->pw_dir[0] != '/') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return "";
    }
    return entry->pw_dir;
}

unsigned creation_mode(const char *path)
{
    std::string folder = path;
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) == 0)
        return 0600;
    return 0666;
}

}  // namespace detail

using namespace detail;

namespace {

const int kLocalAppData = 0x001C; /* CSIDL_LOCAL_APPDATA */
const int kFlagCreate = 0x8000;   /* CSIDL_FLAG_CREATE */
const int32_t kFail = int32_t(0x80004005u); /* E_FAIL */

std::string FolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

/* Makes each missing folder of path, 0700. */
bool MakeFolders(const std::string &path)
{
    for (size_t at = 1; at <= path.size(); at++) {
        if (at < path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

/* shell32's SHGetFolderPathA for the one folder the system asks for: the
 * user's local application data, ~/.local/share of the password
 * database's home. */
int32_t WINAPI GetFolderPath(HWND, int csidl, HANDLE, DWORD, LPSTR pszPath)
{
    if ((csidl & ~kFlagCreate) != kLocalAppData || !pszPath)
        return kFail;
    std::string home = home_directory();
    if (home.empty())
        return kFail;
    std::string folder = home + "/.local/share";
    if (folder.size() >= MAX_PATH || ((csidl & kFlagCreate) && !MakeFolders(folder)))
        return kFail;
    memcpy(pszPath, folder.c_str(), folder.size() + 1);
    return 0;
}

struct Module : Object {};

struct FindObject : Object {
    std::string folder;
    std::vector<std::string> names;
    size_t next = 0;
};

bool FillFindData(FindObject *find, LPWIN32_FIND_DATAA data)
{
    while (find->next < find->names.size()) {
        const std::string &name = find->names[find->next++];
        struct stat st;
        if (::lstat((find->folder + "/" + name).c_str(), &st) != 0 || name.size() >= MAX_PATH)
            continue; /* gone since the folder was read */
        memset(data, 0, sizeof(*data));
        data->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        data->nFileSizeHigh = DWORD(uint64_t(st.st_size) >> 32);
        data->nFileSizeLow = DWORD(uint64_t(st.st_size));
        memcpy(data->cFileName, name.c_str(), name.size() + 1);
        return true;
    }
    return false;
}

}  // namespace

BOOL FlushFileBuffers(HANDLE hFile)
{
    if (should_fail("FlushFileBuffers")) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    FdObject *file = object_as<FdObject>(hFile);
    if (!file)
        return FALSE;
    if (retry_interrupted([&] { return ::fsync(file->fd); }) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName)
{
    if (should_fail("MoveFileA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!lpExistingFileName || !lpNewFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    /* A hard link fails where the new name exists, as MoveFileA does; the
     * old name goes once the new one is in place. */
    if (::link(lpExistingFileName, lpNewFileName) != 0) {
        SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : win32_error_from_errno(errno));
        return FALSE;
    }
    if (::unlink(lpExistingFileName) != 0) {
        int error = errno;
        ::unlink(lpNewFileName);
        SetLastError(win32_error_from_errno(error));
        return FALSE;
    }
    int folder = ::open(FolderOf(lpNewFileName).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = folder >= 0 && ::fsync(folder) == 0;
    int error = errno;
    if (folder >= 0)
        ::close(folder);
    if (!synced) {
        SetLastError(win32_error_from_errno(error));
        return FALSE;
    }
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    if (should_fail("CreateDirectoryA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!lpPathName || ::mkdir(lpPathName, 0700) != 0) {
        SetLastError(!lpPathName        ? ERROR_INVALID_PARAMETER
                     : errno == EEXIST  ? ERROR_ALREADY_EXISTS
                     : errno == ENOENT  ? ERROR_PATH_NOT_FOUND
                                        : win32_error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (!lpFileName || !lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = lpFileName;
    size_t slash = path.rfind('/');
    std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);
    FindObject *find = new FindObject;
    find->folder = FolderOf(path);
    DIR *dir = ::opendir(find->folder.c_str());
    if (!dir) {
        int error = errno;
        delete find;
        SetLastError(error == ENOENT ? ERROR_PATH_NOT_FOUND : win32_error_from_errno(error));
        return INVALID_HANDLE_VALUE;
    }
    while (struct dirent *entry = ::readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0 &&
            ::fnmatch(pattern.c_str(), entry->d_name, 0) == 0)
            find->names.push_back(entry->d_name);
    ::closedir(dir);
    if (!FillFindData(find, lpFindFileData)) {
        delete find;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return new_handle(find);
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    FindObject *find = object_as<FindObject>(hFindFile);
    if (!find)
        return FALSE;
    if (!lpFindFileData || !FillFindData(find, lpFindFileData)) {
        SetLastError(lpFindFileData ? ERROR_NO_MORE_FILES : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile)
{
    if (!object_as<FindObject>(hFindFile))
        return FALSE;
    return delete_handle(hFindFile);
}

HMODULE LoadLibraryA(LPCSTR lpLibFileName)
{
    if (should_fail("LoadLibraryA") || !lpLibFileName ||
        strcasecmp(lpLibFileName, "shell32.dll") != 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    /* One module object for the process; FreeLibrary leaves it loaded, as
     * Windows keeps a system module that others still use. */
    static HMODULE handle = new_handle(new Module);
    return handle;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (!object_as<Module>(hModule))
        return NULL;
    if (!lpProcName || strcmp(lpProcName, "SHGetFolderPathA") != 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&GetFolderPath));
}

BOOL FreeLibrary(HMODULE hLibModule)
{
    return object_as<Module>(hLibModule) != nullptr;
}

UINT GetWindowsDirectoryA(LPSTR, UINT)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

HLOCAL LocalFree(HLOCAL hMem)
{
    if (!hMem)
        return NULL;
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
}

}  // namespace win
