/* win32.h - our stand-in for the Win32 and Windows Sockets 1.1 subset that
 * the system code calls, for building and running it on Linux.
 *
 * This is not a general emulator: it declares exactly what wol/, host/,
 * agent/ and wakelan/ use, with the Windows names, values and record
 * layouts, and implements each call with real behaviour underneath (files,
 * sockets, threads, pipes, processes).  A call the layer cannot honour fails
 * the way Windows documents, with the error set.
 *
 * Everything lives in namespace win.  System code reaches it through the
 * using-directive at the bottom; the few names that the C library declares
 * too (fopen, fdopen, fd_set and its macros) and the socket constants that
 * <sys/socket.h> defines differently are mapped by macros.  The layer's own
 * sources define KOVA_PLATFORM_IMPL before including this header, so they
 * can use the host's names and ours side by side (ours carry a WIN_ prefix
 * there).
 */
#ifndef KOVA_PLATFORM_WIN32_H
#define KOVA_PLATFORM_WIN32_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/select.h>
#include <sys/time.h>

#define WINAPI
#define CALLBACK
#define APIENTRY

namespace win {

/* ---- Basic types --------------------------------------------------- */
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef unsigned short USHORT;
typedef char CHAR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef size_t SIZE_T;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef LONG_PTR LRESULT;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef uint16_t ATOM;

typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef HANDLE HWND;
typedef HANDLE HINSTANCE;
typedef HANDLE HICON;
typedef HANDLE HCURSOR;
typedef HANDLE HBRUSH;
typedef HANDLE HMENU;
typedef HANDLE HGDIOBJ;

}  // namespace win

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((win::HANDLE)(intptr_t)-1)

/* ---- Errors (GetLastError values) ---------------------------------- */
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_SHARING_VIOLATION 32
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_CALL_NOT_IMPLEMENTED 120
#define ERROR_ALREADY_EXISTS 183
#define ERROR_BAD_EXE_FORMAT 193
#define ERROR_NO_DATA 232
#define ERROR_DIRECTORY 267
#define ERROR_CANNOT_FIND_WND_CLASS 1407
#define ERROR_CLASS_ALREADY_EXISTS 1410
#define ERROR_GEN_FAILURE 31
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_NOT_OWNER 288
#define MAX_PATH 260

namespace win {
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);
}  // namespace win

/* ---- Handles and files --------------------------------------------- */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x01
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE 0x20
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_TYPE_UNKNOWN 0x0000
#define FILE_TYPE_DISK 0x0001
#define FILE_TYPE_CHAR 0x0002
#define FILE_TYPE_PIPE 0x0003

namespace win {

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL DeleteFileA(LPCSTR lpFileName);
/* Read-only is a file without any write permission; a symlink is a
 * reparse point, described itself; see files.cpp. */
DWORD GetFileAttributesA(LPCSTR lpFileName);
BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes);
/* Appends the text as one line to the file named by KOVA_DEBUG_LOG; does
 * nothing when it is unset. */
void OutputDebugStringA(LPCSTR lpOutputString);
BOOL CloseHandle(HANDLE hObject);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);

/* Text-mode streams: "\n" is written as CR LF and CR LF is read as "\n",
 * a Ctrl-Z ends the input, as the Windows C runtime does for a mode
 * without 'b'.  Modes with 'b' are the host's binary streams. */
FILE *fopen(const char *path, const char *mode);
/* A stream on a descriptor from _open_osfhandle; closing the stream closes
 * the handle behind it. */
FILE *fdopen(int fd, const char *mode);
int _open_osfhandle(intptr_t osfhandle, int flags);
/* The descriptor of a stream, and the handle behind a descriptor (not to
 * be closed by the caller): INVALID_HANDLE_VALUE with errno EBADF for a
 * descriptor that no handle of ours stands behind. */
int _fileno(FILE *stream);
intptr_t _get_osfhandle(int fd);

/* FILE_TYPE_DISK for a file (or a directory or block device), CHAR for a
 * character device, PIPE for a FIFO or socket; FILE_TYPE_UNKNOWN with
 * ERROR_INVALID_HANDLE for a handle that names no file. */
DWORD GetFileType(HANDLE hFile);

}  // namespace win

#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

/* ---- Folders, durable files and run-time modules (folders.cpp) ------ */
#define ERROR_NO_MORE_FILES 18
#define ERROR_DISK_FULL 112
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define MOVEFILE_WRITE_THROUGH 0x8

namespace win {

typedef HANDLE HMODULE;
typedef HANDLE HLOCAL;
typedef INT_PTR(WINAPI *FARPROC)(void);

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

/* The file's data reach the disk (fsync). */
BOOL FlushFileBuffers(HANDLE hFile);
/* Renames; fails with ERROR_ALREADY_EXISTS when the new name exists.  The
 * folder of the new name is synced too, so the rename survives a crash. */
BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
/* The same with MOVEFILE_WRITE_THROUGH (the one flag modelled); on the
 * older platform ERROR_CALL_NOT_IMPLEMENTED, as its kernel32's stub. */
BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
/* A new folder is its owner's alone (0700), as under a user's profile. */
BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
/* '*' and '?' in the last part of the path. */
HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
BOOL FindClose(HANDLE hFindFile);
/* Only "shell32.dll" (SHGetFolderPathA with CSIDL_LOCAL_APPDATA),
 * "kernel32.dll" (MoveFileExA) and "advapi32.dll" (GetFileSecurityA,
 * OpenProcessToken, GetTokenInformation) load; every other module fails
 * with ERROR_MOD_NOT_FOUND. */
HMODULE LoadLibraryA(LPCSTR lpLibFileName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);
/* The pseudo handle of the process itself. */
HANDLE GetCurrentProcess(void);
/* There is no Windows folder here: 0 with ERROR_CALL_NOT_IMPLEMENTED. */
UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
/* Nothing here allocates local memory: only null is accepted. */
HLOCAL LocalFree(HLOCAL hMem);

}  // namespace win

/* ---- Waiting, time, threads ---------------------------------------- */
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_ABANDONED 0x80u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

namespace win {

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

void Sleep(DWORD dwMilliseconds);
/* Milliseconds since an arbitrary start; wraps after 49.7 days. */
DWORD GetTickCount(void);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
/* Named mutexes across processes (mutex.cpp). */
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
BOOL ReleaseMutex(HANDLE hMutex);
/* Named events that are only created and held (mutex.cpp): the event lives
 * while any process, an inheriting child included, holds a handle to it;
 * ERROR_ALREADY_EXISTS when it did before the call. */
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);

}  // namespace win

/* ---- Processes, pipes, platform version ---------------------------- */
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
#define STARTF_USESTDHANDLES 0x00000100
#define DETACHED_PROCESS 0x00000008
#define CREATE_NEW_CONSOLE 0x00000010
#define NORMAL_PRIORITY_CLASS 0x00000020
#define HIGH_PRIORITY_CLASS 0x00000080
#define PIPE_WAIT 0x00000000
#define PIPE_NOWAIT 0x00000001
#define PIPE_READMODE_BYTE 0x00000000

namespace win {

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE *lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
BOOL CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes,
                DWORD nSize);
BOOL SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode, LPDWORD lpMaxCollectionCount,
                             LPDWORD lpCollectDataTimeout);
BOOL PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                   LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage);
BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                    DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation);
BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode);
BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);

}  // namespace win

/* ---- Window manager and GDI ---------------------------------------- */
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_QUIT 0x0012
#define WM_SYSCOMMAND 0x0112
#define WM_LBUTTONDOWN 0x0201
#define WM_USER 0x0400
#define WS_EX_TOPMOST 0x00000008L
#define WS_POPUP 0x80000000L
#define WS_VISIBLE 0x10000000L
#define WS_DLGFRAME 0x00400000L
#define WS_SYSMENU 0x00080000L
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOWDEFAULT 10
#define WHITE_BRUSH 0
#define MAKEINTRESOURCEA(i) ((win::LPSTR)((win::UINT_PTR)((win::WORD)(i))))
#define IDI_APPLICATION MAKEINTRESOURCEA(32512)
#define IDC_ARROW MAKEINTRESOURCEA(32512)

namespace win {

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
} WNDCLASSA, *PWNDCLASSA, *LPWNDCLASSA;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

ATOM RegisterClassA(const WNDCLASSA *lpWndClass);
HWND CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                     int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                     HINSTANCE hInstance, LPVOID lpParam);
BOOL ShowWindow(HWND hWnd, int nCmdShow);
BOOL UpdateWindow(HWND hWnd);
BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL TranslateMessage(const MSG *lpMsg);
LRESULT DispatchMessageA(const MSG *lpMsg);
void PostQuitMessage(int nExitCode);
BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
HICON LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName);
HCURSOR LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName);
HGDIOBJ GetStockObject(int i);

}  // namespace win

/* The program's entry, called by the layer's main(). */
int WINAPI WinMain(win::HINSTANCE hInstance, win::HINSTANCE hPrevInstance, win::LPSTR lpCmdLine,
                   int nShowCmd);

/* A console program keeps its own main(argc, argv) as on Windows; the
 * layer's process entry (linux/consolemain.cpp, whose library defines
 * KOVA_CONSOLE_PROGRAM for the program's sources) defines the real main()
 * and calls it under this name. */
int KovaConsoleMain(int argc, char *argv[]);
#if defined(KOVA_CONSOLE_PROGRAM) && !defined(KOVA_PLATFORM_IMPL)
#  define main KovaConsoleMain
#endif

/* ---- Windows Sockets 1.1: IP, then IPX/SPX ------------------------- */
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
#define INVALID_SOCKET (~(win::SOCKET)0)
#define SOCKET_ERROR (-1)
#define MAKEWORD(a, b) ((win::WORD)(((win::BYTE)(a)) | ((win::WORD)((win::BYTE)(b))) << 8))

/* Values that <sys/socket.h> and <netinet/in.h> define differently. */
#define WIN_AF_UNSPEC 0
#define WIN_AF_INET 2
#define WIN_AF_IPX 6
#define WIN_SOCK_STREAM 1
#define WIN_SOCK_DGRAM 2
#define WIN_IPPROTO_UDP 17
#define WIN_SOL_SOCKET 0xffff
#define WIN_SO_REUSEADDR 0x0004
#define WIN_SO_BROADCAST 0x0020
#define WIN_INADDR_ANY 0x00000000u
#define WIN_INADDR_BROADCAST 0xffffffffu
#define WIN_FD_SETSIZE 64
#define NSPROTO_IPX 1000
#define NSPROTO_SPX 1256

#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAHOST_NOT_FOUND 11001
#define WSANO_RECOVERY 11003

namespace win {

typedef UINT_PTR SOCKET;

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char *lpVendorInfo;
} WSADATA, *LPWSADATA;

struct sockaddr {
    unsigned short sa_family;
    char sa_data[14];
};
typedef struct sockaddr SOCKADDR;

struct in_addr {
    uint32_t s_addr; /* network byte order */
};

struct sockaddr_in {
    short sin_family;
    unsigned short sin_port; /* network byte order */
    struct in_addr sin_addr;
    char sin_zero[8];
};
typedef struct sockaddr_in SOCKADDR_IN;

/* What gethostbyname answers; the addresses (h_length bytes each, network
 * order) end with a null pointer. */
struct hostent {
    char *h_name;
    char **h_aliases;
    short h_addrtype;
    short h_length;
    char **h_addr_list;
};
#define h_addr h_addr_list[0]

/* The Windows IPX address: 14 bytes, fields in this order. */
typedef struct sockaddr_ipx {
    short sa_family;
    char sa_netnum[4];
    char sa_nodenum[6];
    unsigned short sa_socket; /* network byte order */
} SOCKADDR_IPX, *PSOCKADDR_IPX;
static_assert(sizeof(SOCKADDR_IPX) == 14, "SOCKADDR_IPX must keep its Windows size");

/* Windows' fd_set: a counted array of sockets, not a bit mask. */
typedef struct win_fd_set {
    UINT fd_count;
    SOCKET fd_array[WIN_FD_SETSIZE];
} win_fd_set;

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSACleanup(void);
int WSAGetLastError(void);
void WSASetLastError(int iError);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen);
int bind(SOCKET s, const struct sockaddr *name, int namelen);
int connect(SOCKET s, const struct sockaddr *name, int namelen);
int getsockname(SOCKET s, struct sockaddr *name, int *namelen);
int sendto(SOCKET s, const char *buf, int len, int flags, const struct sockaddr *to, int tolen);
int recvfrom(SOCKET s, char *buf, int len, int flags, struct sockaddr *from, int *fromlen);
int send(SOCKET s, const char *buf, int len, int flags);
int recv(SOCKET s, char *buf, int len, int flags);
int select(int nfds, win_fd_set *readfds, win_fd_set *writefds, win_fd_set *exceptfds,
           const struct ::timeval *timeout);
int __WSAFDIsSet(SOCKET s, win_fd_set *set);

/* Test seam, no Windows call: the binds of this process that failed with
 * WSAEADDRINUSE (their port was taken), so that a test can count waits for
 * a port without a clock. */
unsigned long kova_binds_in_use(void);

unsigned short htons(unsigned short hostshort);
unsigned short ntohs(unsigned short netshort);
uint32_t htonl(uint32_t hostlong);
uint32_t ntohl(uint32_t netlong);
uint32_t inet_addr(const char *cp);
int gethostname(char *name, int namelen);
/* The host's own name only (see README.md); one answer per thread, valid
 * until that thread's next call. */
struct hostent *gethostbyname(const char *name);

}  // namespace win

#define WIN_FD_ZERO(set) (((win::win_fd_set *)(set))->fd_count = 0)
#define WIN_FD_SET(s, set)                                                           \
    do {                                                                             \
        win::win_fd_set *kova_set_ = (set);                                          \
        if (!win::__WSAFDIsSet((s), kova_set_) && kova_set_->fd_count < WIN_FD_SETSIZE) \
            kova_set_->fd_array[kova_set_->fd_count++] = (s);                        \
    } while (0)
#define WIN_FD_ISSET(s, set) win::__WSAFDIsSet((win::SOCKET)(s), (win::win_fd_set *)(set))

#ifndef KOVA_PLATFORM_IMPL
/* The Windows names, for the system code and its tests. */
#  undef FD_SETSIZE
#  undef FD_ZERO
#  undef FD_SET
#  undef FD_ISSET
#  undef FD_CLR
#  define AF_UNSPEC WIN_AF_UNSPEC
#  define AF_INET WIN_AF_INET
#  define AF_IPX WIN_AF_IPX
#  define SOCK_STREAM WIN_SOCK_STREAM
#  define SOCK_DGRAM WIN_SOCK_DGRAM
#  define IPPROTO_UDP WIN_IPPROTO_UDP
#  define SOL_SOCKET WIN_SOL_SOCKET
#  define SO_REUSEADDR WIN_SO_REUSEADDR
#  define SO_BROADCAST WIN_SO_BROADCAST
#  define INADDR_ANY WIN_INADDR_ANY
#  define INADDR_BROADCAST WIN_INADDR_BROADCAST
#  define FD_SETSIZE WIN_FD_SETSIZE
#  define FD_ZERO WIN_FD_ZERO
#  define FD_SET WIN_FD_SET
#  define FD_ISSET WIN_FD_ISSET
#  define fd_set win_fd_set
#  define fopen win::fopen
#  define fdopen win::fdopen
using namespace win;
#endif

#endif
