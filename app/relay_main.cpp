// The single-copy toggle, the hidden window that carries the timer, and the message loop.
//
// A second start finds the running copy by its hidden window's class and asks it to close; the
// running copy's timer drives PollTick once a second on the loop's thread.
#include "core/poll_cycle.h"
#include "core/relay_state.h"
#include "platform/win32/win32_platform.h"

#include "app/relay_main.h"

static const char kRelayClass[] = "VARDEX";

static LRESULT CALLBACK RelayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    // A second copy's WM_CLOSE lands here: default handling destroys the window.
    return DefWindowProcA(window, message, wParam, lParam);
}

static VOID CALLBACK RelayTimer(HWND, UINT, UINT_PTR, DWORD) { PollTick(); }

int RelayWinMain(HINSTANCE instance, const char* commandTail) {
    HWND running = FindWindowA(kRelayClass, nullptr);
    if (running != nullptr) {
        PostMessageA(running, WM_CLOSE, 0, 0);
        return 0;
    }

    Win32WindowSystem windowSystem;
    Win32MailslotClient mailslotClient;
    relayWindows = &windowSystem;
    relayMailslots = &mailslotClient;
    // A word too long for its reports: exit before anything exists that a user must stop.
    if (!ParseCommandTail(commandTail, &relayState)) return 1;

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = RelayWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kRelayClass;
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, kRelayClass, kRelayClass, 0, 0, 0, 0, 0, nullptr, nullptr,
                                  instance, nullptr);
    ShowWindow(window, SW_HIDE);
    SetTimer(window, 0, 1000, RelayTimer);

    MSG message = {};
    // GetMessageA returns -1 only on a fault; ending the loop then beats spinning on it.
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    KillTimer(window, 0);
    return static_cast<int>(message.wParam);
}
