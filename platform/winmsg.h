/*
 * The thread's message loop through which the platform delivers every event:
 * GetMessageA, TranslateMessage, DispatchMessageA. On Windows these are the
 * system's own; elsewhere the platform provides them with the same contract:
 * GetMessageA returns non-zero for a message, 0 after a quit message and -1
 * on an error, and DispatchMessageA runs the message's handler to completion.
 */
#ifndef KELVOROV_PLATFORM_WINMSG_H
#define KELVOROV_PLATFORM_WINMSG_H

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <stdint.h>

typedef int BOOL;
typedef unsigned int UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef unsigned long DWORD;
typedef struct HWND__* HWND;

typedef struct tagPOINT {
    long x;
    long y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG;

BOOL GetMessageA(MSG* msg, HWND window, UINT filter_min, UINT filter_max);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
#endif

#endif
