// USER32 behind the relay's window system interface; the mailslot client is in
// win32_mailslot_client.cpp.
//
// Our headers come first: <windows.h> then defines the same constant names as macros, with the
// same values, and they must not rewrite our declarations.
#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <stddef.h>

// The interface's rectangle and message are the platform's own layouts, so they pass
// straight through.
static_assert(sizeof(WindowRect) == sizeof(RECT) && offsetof(WindowRect, left) == offsetof(RECT, left) &&
                  offsetof(WindowRect, top) == offsetof(RECT, top) &&
                  offsetof(WindowRect, right) == offsetof(RECT, right) &&
                  offsetof(WindowRect, bottom) == offsetof(RECT, bottom),
              "WindowRect must match RECT");
static_assert(sizeof(WindowMessage) == sizeof(MSG) && offsetof(WindowMessage, window) == offsetof(MSG, hwnd) &&
                  offsetof(WindowMessage, message) == offsetof(MSG, message) &&
                  offsetof(WindowMessage, wParam) == offsetof(MSG, wParam) &&
                  offsetof(WindowMessage, lParam) == offsetof(MSG, lParam) &&
                  offsetof(WindowMessage, time) == offsetof(MSG, time) &&
                  offsetof(WindowMessage, x) == offsetof(MSG, pt),
              "WindowMessage must match MSG");

static HWND ToHwnd(WindowHandle window) { return reinterpret_cast<HWND>(window); }

WindowHandle Win32WindowSystem::FindWindowA(const char* className, const char* title) {
    return reinterpret_cast<WindowHandle>(::FindWindowA(className, title));
}

intptr_t Win32WindowSystem::SendMessageA(WindowHandle window, uint32_t message, uintptr_t wParam,
                                         intptr_t lParam) {
    return ::SendMessageA(ToHwnd(window), message, wParam, lParam);
}

// The core's callback has the C calling convention; EnumChildWindows wants CALLBACK (stdcall
// on 32-bit), so a trampoline carries the callback and its context through the LPARAM.
struct EnumRelay {
    EnumChildCallback callback;
    intptr_t context;
};

static BOOL CALLBACK EnumTrampoline(HWND child, LPARAM lParam) {
    const EnumRelay* relay = reinterpret_cast<const EnumRelay*>(lParam);
    return relay->callback(reinterpret_cast<WindowHandle>(child), relay->context);
}

int Win32WindowSystem::EnumChildWindows(WindowHandle parent, EnumChildCallback callback,
                                        intptr_t context) {
    EnumRelay relay = {callback, context};
    return ::EnumChildWindows(ToHwnd(parent), EnumTrampoline, reinterpret_cast<LPARAM>(&relay));
}

int Win32WindowSystem::GetWindowTextLengthA(WindowHandle window) {
    return ::GetWindowTextLengthA(ToHwnd(window));
}

int Win32WindowSystem::GetWindowRect(WindowHandle window, WindowRect* rect) {
    return ::GetWindowRect(ToHwnd(window), reinterpret_cast<RECT*>(rect));
}

WindowHandle Win32WindowSystem::GetParent(WindowHandle window) {
    return reinterpret_cast<WindowHandle>(::GetParent(ToHwnd(window)));
}

int Win32WindowSystem::GetWindowTextA(WindowHandle window, char* buffer, int maxCount) {
    return ::GetWindowTextA(ToHwnd(window), buffer, maxCount);
}

int Win32WindowSystem::IsWindow(WindowHandle window) { return ::IsWindow(ToHwnd(window)); }

int Win32WindowSystem::wsprintfA(char* buffer, const char* format, const char* text,
                                 int32_t first, int32_t second) {
    return ::wsprintfA(buffer, format, text, static_cast<int>(first), static_cast<int>(second));
}

int Win32WindowSystem::PostMessageA(WindowHandle window, uint32_t message, uintptr_t wParam,
                                    intptr_t lParam) {
    return ::PostMessageA(ToHwnd(window), message, wParam, lParam);
}

// The relay registers one class and sets one timer. The platform calls these trampolines with
// its own calling convention (stdcall on 32-bit), and they call the relay's functions.
static WindowProcedure classProcedure;
static TimerCallback timerCallback;

static LRESULT CALLBACK ProcedureTrampoline(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    return classProcedure(reinterpret_cast<WindowHandle>(window), message, wParam, lParam);
}

static VOID CALLBACK TimerTrampoline(HWND, UINT, UINT_PTR, DWORD) { timerCallback(); }

uint16_t Win32WindowSystem::RegisterClassA(const char* className, WindowProcedure procedure,
                                           InstanceHandle instance) {
    classProcedure = procedure;
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ProcedureTrampoline;
    windowClass.hInstance = reinterpret_cast<HINSTANCE>(instance);
    windowClass.lpszClassName = className;
    return ::RegisterClassA(&windowClass);
}

WindowHandle Win32WindowSystem::CreateWindowExA(const char* className, const char* title,
                                                InstanceHandle instance) {
    return reinterpret_cast<WindowHandle>(::CreateWindowExA(
        0, className, title, 0, 0, 0, 0, 0, nullptr, nullptr,
        reinterpret_cast<HINSTANCE>(instance), nullptr));
}

int Win32WindowSystem::ShowWindow(WindowHandle window, int command) {
    return ::ShowWindow(ToHwnd(window), command);
}

int Win32WindowSystem::DestroyWindow(WindowHandle window) {
    return ::DestroyWindow(ToHwnd(window));
}

uintptr_t Win32WindowSystem::SetTimer(WindowHandle window, uintptr_t id, uint32_t elapse,
                                      TimerCallback callback) {
    timerCallback = callback;
    return ::SetTimer(ToHwnd(window), id, elapse, TimerTrampoline);
}

int Win32WindowSystem::KillTimer(WindowHandle window, uintptr_t id) {
    return ::KillTimer(ToHwnd(window), id);
}

int Win32WindowSystem::GetMessageA(WindowMessage* message) {
    return ::GetMessageA(reinterpret_cast<MSG*>(message), nullptr, 0, 0);
}

int Win32WindowSystem::TranslateMessage(const WindowMessage* message) {
    return ::TranslateMessage(reinterpret_cast<const MSG*>(message));
}

intptr_t Win32WindowSystem::DispatchMessageA(const WindowMessage* message) {
    return ::DispatchMessageA(reinterpret_cast<const MSG*>(message));
}

intptr_t Win32WindowSystem::DefWindowProcA(WindowHandle window, uint32_t message,
                                           uintptr_t wParam, intptr_t lParam) {
    return ::DefWindowProcA(ToHwnd(window), message, wParam, lParam);
}

void Win32WindowSystem::PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }
