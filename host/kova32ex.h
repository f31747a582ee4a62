/* kova32ex.h - the process entry of kova32ex and its hidden window. */
#ifndef KOVA32EX_H
#define KOVA32EX_H

#include "kovawin.h"

extern HINSTANCE hInst;
extern HWND myWinHandle;

int InitApplication(HINSTANCE hInstance);
int InitInstance(HINSTANCE hInstance, int nCmdShow);
LRESULT CALLBACK MainWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

#endif
