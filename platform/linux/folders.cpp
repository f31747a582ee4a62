/* folders.cpp - folders, durable files and run-time modules:
 * FlushFileBuffers, MoveFileA, MoveFileExA, CreateDirectoryA,
 * FindFirstFileA and its companions, LoadLibraryA/GetProcAddress with the
 * calls the system loads at run time (shell32's SHGetFolderPathA,
 * kernel32's MoveFileExA, advapi32's GetFileSecurityA, OpenProcessToken
 * and GetTokenInformation), GetCurrentProcess, GetWindowsDirectoryA and
 * LocalFree.
 *
 * Security, as the system asks for it of a folder: a Linux user is the SID
 * S-1-22-1-<uid> and a group S-1-22-2-<gid> (the "Unix user" and "Unix
 * group" authorities Samba and NFS use), everyone S-1-1-0.  A file's
 * security descriptor is self-relative, as GetFileSecurityA returns it:
 * its owner is the file's owner, and its DACL holds what the mode grants,
 * one allowing entry each for the owner, the group and everyone that have
 * any permission.  The process token's user and default owner are both
 * the effective user.  The older platform (KOVA_WINVER=95) has none of
 * this: those calls fail with ERROR_CALL_NOT_IMPLEMENTED, as its advapi32
 * and MoveFileExA do.
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
#include <mutex>
#include <vector>

#define ERROR_INSUFFICIENT_BUFFER 122

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

/* ---- Security: SIDs and descriptors in their Windows byte layouts ---- */

const DWORD kOwnerInformation = 0x1; /* OWNER_SECURITY_INFORMATION */
const DWORD kDaclInformation = 0x4;  /* DACL_SECURITY_INFORMATION */
const int kTokenUser = 1;            /* TokenUser */
const int kTokenOwner = 4;           /* TokenOwner */
const DWORD kReadRights = 0x120089;  /* FILE_GENERIC_READ */
const DWORD kWriteRights = 0x120116 | 0x40; /* FILE_GENERIC_WRITE, FILE_DELETE_CHILD */
const DWORD kRunRights = 0x1200A0;   /* FILE_GENERIC_EXECUTE */

bool OlderPlatform()
{
    const char *winver = getenv("KOVA_WINVER");
    return winver && strcmp(winver, "95") == 0;
}

void Put16(std::string &out, unsigned value)
{
    out += char(value & 0xFF);
    out += char((value >> 8) & 0xFF);
}

void Put32(std::string &out, uint32_t value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

/* S-1-<authority>-<sub>[-<rid>]. */
std::string Sid(unsigned authority, uint32_t sub, bool withRid, uint32_t rid)
{
    std::string sid;
    sid += char(1);                 /* revision */
    sid += char(withRid ? 2 : 1);   /* sub-authority count */
    sid += std::string(5, '\0');
    sid += char(authority);         /* identifier authority, big-endian */
    Put32(sid, sub);
    if (withRid)
        Put32(sid, rid);
    return sid;
}

std::string UserSid(uid_t uid) { return Sid(22, 1, true, uint32_t(uid)); }

/* The rights of three mode bits (read, write, search). */
DWORD Rights(unsigned bits)
{
    return (bits & 4 ? kReadRights : 0) | (bits & 2 ? kWriteRights : 0) |
           (bits & 1 ? kRunRights : 0);
}

void AddAllowed(std::string &aces, int &count, const std::string &sid, DWORD rights)
{
    if (!rights)
        return;
    aces += char(0); /* ACCESS_ALLOWED_ACE_TYPE */
    aces += char(0); /* no inheritance flags */
    Put16(aces, unsigned(8 + sid.size()));
    Put32(aces, rights);
    aces += sid;
    count++;
}

/* The self-relative descriptor of st, with the parts asked for. */
std::string Descriptor(const struct stat &st, DWORD wanted)
{
    std::string owner = wanted & kOwnerInformation ? UserSid(st.st_uid) : "";
    std::string acl;
    if (wanted & kDaclInformation) {
        std::string aces;
        int count = 0;
        AddAllowed(aces, count, UserSid(st.st_uid), Rights((st.st_mode >> 6) & 7));
        AddAllowed(aces, count, Sid(22, 2, true, uint32_t(st.st_gid)), Rights((st.st_mode >> 3) & 7));
        AddAllowed(aces, count, Sid(1, 0, false, 0), Rights(st.st_mode & 7));
        acl += char(2); /* ACL_REVISION */
        acl += char(0);
        Put16(acl, unsigned(8 + aces.size()));
        Put16(acl, unsigned(count));
        Put16(acl, 0);
        acl += aces;
    }
    std::string sd;
    sd += char(1); /* SECURITY_DESCRIPTOR_REVISION */
    sd += char(0);
    Put16(sd, 0x8000 | (acl.empty() ? 0 : 0x0004)); /* SE_SELF_RELATIVE, SE_DACL_PRESENT */
    Put32(sd, owner.empty() ? 0 : 20);             /* owner */
    Put32(sd, 0);                                  /* group: not modelled */
    Put32(sd, 0);                                  /* SACL */
    Put32(sd, acl.empty() ? 0 : uint32_t(20 + owner.size()));
    return sd + owner + acl;
}

/* Copies bytes out as Windows does, or says how many are needed. */
BOOL CopyOut(const std::string &bytes, void *buffer, DWORD size, DWORD *needed)
{
    if (needed)
        *needed = DWORD(bytes.size());
    if (!buffer || size < bytes.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, bytes.data(), bytes.size());
    return TRUE;
}

/* advapi32's GetFileSecurityA.  The file is looked at without following
 * a link: a symlink is described itself. */
BOOL WINAPI GetFileSecurity(LPCSTR lpFileName, DWORD wanted, void *pDescriptor, DWORD nLength,
                            LPDWORD lpnLengthNeeded)
{
    if (OlderPlatform()) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (!lpFileName || (wanted & ~(kOwnerInformation | kDaclInformation))) {
        SetLastError(lpFileName ? ERROR_CALL_NOT_IMPLEMENTED : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int fd = ::open(lpFileName, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        SetLastError(win32_error_from_errno(errno));
        if (fd >= 0)
            ::close(fd);
        return FALSE;
    }
    ::close(fd);
    return CopyOut(Descriptor(st, wanted), pDescriptor, nLength, lpnLengthNeeded);
}

struct TokenObject : Object {};

/* advapi32's OpenProcessToken: only the process's own, for querying. */
BOOL WINAPI OpenProcessToken(HANDLE hProcess, DWORD, HANDLE *phToken)
{
    if (OlderPlatform()) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (hProcess != GetCurrentProcess() || !phToken) {
        SetLastError(phToken ? ERROR_CALL_NOT_IMPLEMENTED : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phToken = new_handle(new TokenObject);
    return TRUE;
}

/* advapi32's GetTokenInformation for TokenUser (TOKEN_USER: the SID's
 * address and its attributes, then the SID) and TokenOwner (TOKEN_OWNER:
 * the SID's address, then the SID). */
BOOL WINAPI GetTokenInformation(HANDLE hToken, int infoClass, void *pInfo, DWORD nLength,
                                DWORD *pReturnLength)
{
    if (OlderPlatform()) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (!object_as<TokenObject>(hToken))
        return FALSE;
    if (infoClass != kTokenUser && infoClass != kTokenOwner) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    size_t head = infoClass == kTokenUser ? 2 * sizeof(void *) : sizeof(void *);
    std::string info(head, '\0');
    info += UserSid(geteuid());
    if (!CopyOut(info, pInfo, nLength, pReturnLength))
        return FALSE;
    void *sid = static_cast<char *>(pInfo) + head;
    memcpy(pInfo, &sid, sizeof sid);
    return TRUE;
}

struct Module : Object {
    explicit Module(const char *moduleName) : name(moduleName) {}
    std::string name;
};

/* The modules the system loads, and what each gives by name. */
struct Export {
    const char *module;
    const char *name;
    void (*call)(void);
};

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
    die_if_listed("FlushFileBuffers");
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

namespace {

/* A rename that fails where the new name exists, synced to disk. */
BOOL Rename(LPCSTR lpExistingFileName, LPCSTR lpNewFileName)
{
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

}  // namespace

BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName)
{
    die_if_listed("MoveFileA");
    if (should_fail("MoveFileA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return Rename(lpExistingFileName, lpNewFileName);
}

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags)
{
    die_if_listed("MoveFileExA");
    if (should_fail("MoveFileExA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    /* The older platform's kernel32 has the call only as a stub; of the
     * flags, only the write-through that the system asks for. */
    if (OlderPlatform() || (dwFlags & ~DWORD(MOVEFILE_WRITE_THROUGH))) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    return Rename(lpExistingFileName, lpNewFileName);
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

namespace {

#define KOVA_EXPORT(module, name, call) \
    {module, name, reinterpret_cast<void (*)(void)>(&call)}
const Export kExports[] = {
    KOVA_EXPORT("shell32.dll", "SHGetFolderPathA", GetFolderPath),
    KOVA_EXPORT("kernel32.dll", "MoveFileExA", MoveFileExA),
    KOVA_EXPORT("advapi32.dll", "GetFileSecurityA", GetFileSecurity),
    KOVA_EXPORT("advapi32.dll", "OpenProcessToken", OpenProcessToken),
    KOVA_EXPORT("advapi32.dll", "GetTokenInformation", GetTokenInformation),
};
#undef KOVA_EXPORT

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName)
{
    /* One module object per name for the process; FreeLibrary leaves it
     * loaded, as Windows keeps a system module that others still use. */
    static std::mutex guard;
    static Module *loaded[sizeof kExports / sizeof kExports[0]]; /* at most one per name */
    static size_t count;
    if (should_fail("LoadLibraryA") || !lpLibFileName) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    std::lock_guard<std::mutex> lock(guard);
    for (size_t i = 0; i < count; i++)
        if (strcasecmp(loaded[i]->name.c_str(), lpLibFileName) == 0)
            return loaded[i];
    for (const Export &entry : kExports) {
        if (strcasecmp(entry.module, lpLibFileName) == 0) {
            loaded[count] = new Module(entry.module);
            return new_handle(loaded[count++]);
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    Module *module = object_as<Module>(hModule);
    if (!module)
        return NULL;
    for (const Export &entry : kExports)
        if (lpProcName && module->name == entry.module && strcmp(lpProcName, entry.name) == 0)
            return reinterpret_cast<FARPROC>(entry.call);
    SetLastError(ERROR_PROC_NOT_FOUND);
    return NULL;
}

HANDLE GetCurrentProcess(void)
{
    return reinterpret_cast<HANDLE>(intptr_t(-1)); /* the pseudo handle, as on Windows */
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
