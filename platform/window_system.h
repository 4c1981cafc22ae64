// The window-system operations the relay calls, behind an interface so tests can replace them.
//
// One real implementation (platform/win32) forwards each call to the USER32 function of the
// same name; tests use a hand-written fake. Handles are opaque integers here: no Windows
// header is seen above this line.
#ifndef VARDEX_PLATFORM_WINDOW_SYSTEM_H
#define VARDEX_PLATFORM_WINDOW_SYSTEM_H

#include <stdint.h>

// A window of the window system; 0 is none.
typedef uintptr_t WindowHandle;

// An outer window rectangle in screen coordinates.
struct WindowRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// Called once per descendant window; returning 0 stops the enumeration.
typedef int (*EnumChildCallback)(WindowHandle child, intptr_t context);

const uint32_t WM_LBUTTONDOWN = 0x0201;
const uint32_t WM_LBUTTONUP = 0x0202;

// Abstract so it can be mocked out for tests; the real one is platform/win32.
struct WindowSystem {
    // A top-level window of this class and title (title 0 matches any), or 0.
    virtual WindowHandle FindWindowA(const char* className, const char* title) = 0;
    // Returns only once the window's thread has handled the message.
    virtual intptr_t SendMessageA(WindowHandle window, uint32_t message, uintptr_t wParam,
                                  intptr_t lParam) = 0;
    // Calls back for every descendant, depth first, until the callback returns 0.
    virtual int EnumChildWindows(WindowHandle parent, EnumChildCallback callback,
                                 intptr_t context) = 0;
    virtual int GetWindowTextLengthA(WindowHandle window) = 0;
    // Nonzero when the rectangle was filled.
    virtual int GetWindowRect(WindowHandle window, WindowRect* rect) = 0;
    virtual WindowHandle GetParent(WindowHandle window) = 0;
    // Copies at most maxCount - 1 characters and a NUL; returns the count copied, 0 on failure.
    virtual int GetWindowTextA(WindowHandle window, char* buffer, int maxCount) = 0;
    virtual int IsWindow(WindowHandle window) = 0;
    // The relay formats one text and at most two integers, so the call has a fixed arity;
    // the real wsprintfA ignores arguments that the format does not use.
    virtual int wsprintfA(char* buffer, const char* format, const char* text, int32_t first,
                          int32_t second) = 0;

protected:
    ~WindowSystem() {}
};

#endif
