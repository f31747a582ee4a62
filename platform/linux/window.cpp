/* window.cpp - the window manager subset: classes, windows that are never
 * drawn, WM_CREATE sent synchronously inside CreateWindowExA, and one
 * message queue with WM_QUIT retrieved after everything posted before it.
 * The system uses it from one thread. */
#include "internal.h"

#include <strings.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

/* Errors that only this group gives. */
#define WIN_ERROR_INVALID_WINDOW_HANDLE 1400

namespace win {
namespace {

struct WindowClass {
    std::string name;
    WNDPROC proc;
    HINSTANCE instance;
};

struct Window {
    WNDPROC proc;
    bool visible;
};

std::mutex mutex;
std::condition_variable posted;
std::vector<WindowClass> classes;
std::vector<Window *> windows;
std::deque<MSG> queue;
bool quit_posted = false;
int quit_code = 0;

Window *window_of(HWND hWnd)
{
    for (Window *window : windows)
        if (window == hWnd)
            return window;
    return nullptr;
}

/* Class names compare without regard to case, as on Windows. */
bool same_name(const std::string &a, const char *b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

}  // namespace

ATOM RegisterClassA(const WNDCLASSA *lpWndClass)
{
    if (detail::should_fail("RegisterClassA") || !lpWndClass || !lpWndClass->lpszClassName ||
        !lpWndClass->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (const WindowClass &existing : classes) {
        if (same_name(existing.name, lpWndClass->lpszClassName)) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    }
    classes.push_back({lpWndClass->lpszClassName, lpWndClass->lpfnWndProc, lpWndClass->hInstance});
    return ATOM(0xC000 + classes.size() - 1);
}

HWND CreateWindowExA(DWORD, LPCSTR lpClassName, LPCSTR, DWORD dwStyle, int, int, int, int, HWND,
                     HMENU, HINSTANCE, LPVOID)
{
    WNDPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const WindowClass &existing : classes)
            if (lpClassName && same_name(existing.name, lpClassName))
                proc = existing.proc;
    }
    if (!proc) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    if (detail::should_fail("CreateWindowExA")) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Window *window = new Window{proc, (dwStyle & WS_VISIBLE) != 0};
    {
        std::lock_guard<std::mutex> lock(mutex);
        windows.push_back(window);
    }
    /* WM_CREATE is sent, not posted: the procedure runs before we return.
     * A result of -1 refuses the creation. */
    if (proc(window, WM_CREATE, 0, 0) == -1) {
        std::lock_guard<std::mutex> lock(mutex);
        windows.pop_back();
        delete window;
        return nullptr;
    }
    return window;
}

BOOL ShowWindow(HWND hWnd, int nCmdShow)
{
    std::lock_guard<std::mutex> lock(mutex);
    Window *window = window_of(hWnd);
    if (!window) {
        SetLastError(WIN_ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    BOOL wasVisible = window->visible;
    window->visible = nCmdShow != SW_HIDE;
    return wasVisible;
}

BOOL UpdateWindow(HWND hWnd)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!window_of(hWnd)) {
        SetLastError(WIN_ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL GetMessageA(LPMSG lpMsg, HWND, UINT, UINT)
{
    std::unique_lock<std::mutex> lock(mutex);
    posted.wait(lock, [] { return !queue.empty() || quit_posted; });
    if (!queue.empty()) {
        *lpMsg = queue.front();
        queue.pop_front();
        return TRUE;
    }
    quit_posted = false;
    *lpMsg = MSG{};
    lpMsg->message = WM_QUIT;
    lpMsg->wParam = WPARAM(quit_code);
    return FALSE;
}

BOOL TranslateMessage(const MSG *) { return FALSE; }

LRESULT DispatchMessageA(const MSG *lpMsg)
{
    WNDPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        Window *window = lpMsg ? window_of(lpMsg->hwnd) : nullptr;
        if (window)
            proc = window->proc;
    }
    return proc ? proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}

void PostQuitMessage(int nExitCode)
{
    std::lock_guard<std::mutex> lock(mutex);
    quit_posted = true;
    quit_code = nExitCode;
    posted.notify_all();
}

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (hWnd && !window_of(hWnd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    MSG msg{};
    msg.hwnd = hWnd;
    msg.message = Msg;
    msg.wParam = wParam;
    msg.lParam = lParam;
    queue.push_back(msg);
    posted.notify_all();
    return TRUE;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM)
{
    /* Nothing is drawn, moved or sized here. */
    return 0;
}

HICON LoadIconA(HINSTANCE, LPCSTR lpIconName) { return HICON(lpIconName); }
HCURSOR LoadCursorA(HINSTANCE, LPCSTR lpCursorName) { return HCURSOR(lpCursorName); }
HGDIOBJ GetStockObject(int i) { return HGDIOBJ(intptr_t(0x10000 + i)); }

}  // namespace win
