// The real window system and mailslot client: thin forwards to USER32 and KERNEL32.
//
// Declared without Windows types; only win32_platform.cpp includes <windows.h>.
#ifndef VARDEX_PLATFORM_WIN32_PLATFORM_H
#define VARDEX_PLATFORM_WIN32_PLATFORM_H

#include "platform/mailslot_client.h"
#include "platform/window_system.h"

struct Win32WindowSystem final : WindowSystem {
    WindowHandle FindWindowA(const char* className, const char* title) override;
    intptr_t SendMessageA(WindowHandle window, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) override;
    int EnumChildWindows(WindowHandle parent, EnumChildCallback callback,
                         intptr_t context) override;
    int GetWindowTextLengthA(WindowHandle window) override;
    int GetWindowRect(WindowHandle window, WindowRect* rect) override;
    WindowHandle GetParent(WindowHandle window) override;
    int GetWindowTextA(WindowHandle window, char* buffer, int maxCount) override;
    int IsWindow(WindowHandle window) override;
    int wsprintfA(char* buffer, const char* format, const char* text, int32_t first,
                  int32_t second) override;

    int PostMessageA(WindowHandle window, uint32_t message, uintptr_t wParam,
                     intptr_t lParam) override;
    uint16_t RegisterClassA(const char* className, WindowProcedure procedure,
                            InstanceHandle instance) override;
    WindowHandle CreateWindowExA(const char* className, const char* title,
                                 InstanceHandle instance) override;
    int ShowWindow(WindowHandle window, int command) override;
    int DestroyWindow(WindowHandle window) override;
    uintptr_t SetTimer(WindowHandle window, uintptr_t id, uint32_t elapse,
                       TimerCallback callback) override;
    int KillTimer(WindowHandle window, uintptr_t id) override;
    int GetMessageA(WindowMessage* message) override;
    int TranslateMessage(const WindowMessage* message) override;
    intptr_t DispatchMessageA(const WindowMessage* message) override;
    intptr_t DefWindowProcA(WindowHandle window, uint32_t message, uintptr_t wParam,
                            intptr_t lParam) override;
    void PostQuitMessage(int exitCode) override;
};

struct Win32MailslotClient final : MailslotClient {
    FileHandle CreateFileA(const char* path, uint32_t desiredAccess, uint32_t shareMode,
                           void* securityAttributes, uint32_t creationDisposition,
                           uint32_t flagsAndAttributes, FileHandle templateFile) override;
    int WriteFile(FileHandle file, const void* buffer, uint32_t count, uint32_t* written,
                  void* overlapped) override;
    int CloseHandle(FileHandle handle) override;
};

#endif
