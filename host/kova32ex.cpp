/* kova32ex.cpp - one process per console request: the command runs while
 * the hidden window is created, then the message loop ends by itself. */
#include "kovawin.h"

#include "kova.h"
#include "kova32ex.h"

#define KOVA_CLASS_NAME "KOVA32EX"
#define KOVA_WINDOW_TITLE "VELD KOVA32EX"
#define SC_DRAGMOVE (0xF010 + 2) /* SC_MOVE plus HTCAPTION */

char cmdLine[KOVA_CMDLINE_LEN + 1];
HINSTANCE hInst;
HWND myWinHandle;

int InitApplication(HINSTANCE hInstance)
{
    WNDCLASSA wc;

    wc.style = 0;
    wc.lpfnWndProc = MainWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconA(NULL, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = NULL;
    wc.lpszClassName = KOVA_CLASS_NAME;
    return RegisterClassA(&wc);
}

int InitInstance(HINSTANCE hInstance, int nCmdShow)
{
    (void)nCmdShow; /* the window is never shown */
    hInst = hInstance;
    myWinHandle = CreateWindowExA(WS_EX_TOPMOST, KOVA_CLASS_NAME, KOVA_WINDOW_TITLE,
                                  WS_POPUP | WS_DLGFRAME | WS_SYSMENU, 0, 0, 0, 0, NULL, NULL,
                                  hInstance, NULL);
    if (!myWinHandle)
        return 0;
    ShowWindow(myWinHandle, SW_HIDE);
    UpdateWindow(myWinHandle);
    return 1;
}

LRESULT CALLBACK MainWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        InterpretAndRunKOVACommand();
        PostQuitMessage(0);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_LBUTTONDOWN:
        PostMessageA(hWnd, WM_SYSCOMMAND, SC_DRAGMOVE, 0);
        return 0;
    default:
        return DefWindowProcA(hWnd, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    MSG msg;

    strncpy(cmdLine, lpCmdLine, KOVA_CMDLINE_LEN);
    if (!hPrevInstance && !InitApplication(hInstance))
        return 0;
    if (!InitInstance(hInstance, nCmdShow))
        return 0;
    msg.wParam = 0;
    while (GetMessageA(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
