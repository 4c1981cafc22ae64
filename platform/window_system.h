// The window-system operations the relay calls, behind an interface so tests can replace them.
//
// One real implementation (platform/win32) forwards each call to the USER32 function of the
// same name; tests use a hand-written fake. Handles are opaque integers here: no Windows
// header is seen above this line. The first group serves the poll cycle, the second the
// process's hidden window, its timer and its message loop.
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

// The module a window class belongs to.
typedef uintptr_t InstanceHandle;

// Called once per descendant window; returning 0 stops the enumeration.
typedef int (*EnumChildCallback)(WindowHandle child, intptr_t context);
// A window class's procedure and a timer's callback, in the relay's own calling convention.
typedef intptr_t (*WindowProcedure)(WindowHandle window, uint32_t message, uintptr_t wParam,
                                    intptr_t lParam);
typedef void (*TimerCallback)();

// A message as the loop fetches it; the platform's own layout, so it passes straight through.
struct WindowMessage {
    WindowHandle window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    uint32_t time;
    int32_t x;
    int32_t y;
};

const uint32_t WM_DESTROY = 0x0002;
const uint32_t WM_CLOSE = 0x0010;
const uint32_t WM_QUIT = 0x0012;
const uint32_t WM_TIMER = 0x0113;
const uint32_t WM_LBUTTONDOWN = 0x0201;
const uint32_t WM_LBUTTONUP = 0x0202;
const int SW_HIDE = 0;

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

    // Nonzero when the message was queued; it fails, for one, across integrity levels.
    virtual int PostMessageA(WindowHandle window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam) = 0;
    // A class of style 0 with no extra bytes, icon, cursor, brush or menu; 0 on failure.
    virtual uint16_t RegisterClassA(const char* className, WindowProcedure procedure,
                                    InstanceHandle instance) = 0;
    // A top-level window with extended style and style 0, at (0, 0), of size 0, with no parent,
    // menu or creation data (all that the relay ever asks for); the new window, or 0.
    virtual WindowHandle CreateWindowExA(const char* className, const char* title,
                                         InstanceHandle instance) = 0;
    virtual int ShowWindow(WindowHandle window, int command) = 0;
    virtual int DestroyWindow(WindowHandle window) = 0;
    // Nonzero when the timer runs; its ticks reach callback through DispatchMessageA.
    virtual uintptr_t SetTimer(WindowHandle window, uintptr_t id, uint32_t elapse,
                               TimerCallback callback) = 0;
    virtual int KillTimer(WindowHandle window, uintptr_t id) = 0;
    // The next message for any window of the thread, unfiltered: 0 once it is the quit
    // message, -1 on a fault, otherwise positive.
    virtual int GetMessageA(WindowMessage* message) = 0;
    virtual int TranslateMessage(const WindowMessage* message) = 0;
    virtual intptr_t DispatchMessageA(const WindowMessage* message) = 0;
    virtual intptr_t DefWindowProcA(WindowHandle window, uint32_t message, uintptr_t wParam,
                                    intptr_t lParam) = 0;
    virtual void PostQuitMessage(int exitCode) = 0;

protected:
    // Trivial, so that the one real instance needs no code at start or exit.
    ~WindowSystem() = default;
};

#endif
