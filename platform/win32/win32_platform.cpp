// USER32 and KERNEL32 behind the relay's two platform interfaces.
//
// Our headers come first: <windows.h> then defines the same constant names as macros, with the
// same values, and they must not rewrite our declarations.
#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <stddef.h>

// The interface's rectangle and written count are the platform's own layouts, so they pass
// straight through.
static_assert(sizeof(WindowRect) == sizeof(RECT) && offsetof(WindowRect, left) == offsetof(RECT, left) &&
                  offsetof(WindowRect, top) == offsetof(RECT, top) &&
                  offsetof(WindowRect, right) == offsetof(RECT, right) &&
                  offsetof(WindowRect, bottom) == offsetof(RECT, bottom),
              "WindowRect must match RECT");
static_assert(sizeof(uint32_t) == sizeof(DWORD), "the written count must match DWORD");

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

FileHandle Win32MailslotClient::CreateFileA(const char* path, uint32_t desiredAccess,
                                            uint32_t shareMode, void* securityAttributes,
                                            uint32_t creationDisposition,
                                            uint32_t flagsAndAttributes, FileHandle templateFile) {
    return reinterpret_cast<FileHandle>(::CreateFileA(
        path, desiredAccess, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
        creationDisposition, flagsAndAttributes, reinterpret_cast<HANDLE>(templateFile)));
}

int Win32MailslotClient::WriteFile(FileHandle file, const void* buffer, uint32_t count,
                                   uint32_t* written, void* overlapped) {
    return ::WriteFile(reinterpret_cast<HANDLE>(file), buffer, count,
                       reinterpret_cast<DWORD*>(written), static_cast<LPOVERLAPPED>(overlapped));
}

int Win32MailslotClient::CloseHandle(FileHandle handle) {
    return ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}
