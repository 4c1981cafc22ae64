// The single-copy toggle, the hidden window that carries the timer, and the message loop.
//
// A second start finds the running copy by its hidden window's class and asks it to close; the
// running copy's timer drives PollTick once a second on the loop's thread. Every window call goes
// through relayWindows, so the whole start-up runs on the host against the fake too.
#include "app/relay_main.h"

#include "core/poll_cycle.h"
#include "core/relay_state.h"

static const char kRelayClass[] = "VARDEX";

static intptr_t RelayWindowProc(WindowHandle window, uint32_t message, uintptr_t wParam,
                                intptr_t lParam) {
    if (message == WM_DESTROY) {
        relayWindows->PostQuitMessage(0);
        return 0;
    }
    // A second copy's WM_CLOSE lands here: default handling destroys the window.
    return relayWindows->DefWindowProcA(window, message, wParam, lParam);
}

int RelayWinMain(InstanceHandle instance, const char* commandTail) {
    WindowHandle running = relayWindows->FindWindowA(kRelayClass, nullptr);
    if (running != 0) {
        // Exit code 0 says the running copy was asked to stop; a failed post (an elevated copy
        // drops it) asked nothing.
        return relayWindows->PostMessageA(running, WM_CLOSE, 0, 0) ? 0 : 1;
    }

    // A word too long for its reports: exit before anything exists that a user must stop.
    if (!ParseCommandTail(commandTail, &relayState)) return 1;

    // A failed registration shows as no window below.
    relayWindows->RegisterClassA(kRelayClass, RelayWindowProc, instance);
    WindowHandle window = relayWindows->CreateWindowExA(kRelayClass, kRelayClass, instance);
    // Without its window no second start could find this copy to stop it.
    if (window == 0) return 1;
    relayWindows->ShowWindow(window, SW_HIDE);
    // Without its timer the relay would never poll.
    if (relayWindows->SetTimer(window, 0, 1000, PollTick) == 0) {
        relayWindows->DestroyWindow(window);
        return 1;
    }

    WindowMessage message = {};
    int fetched;
    while ((fetched = relayWindows->GetMessageA(&message)) > 0) {
        relayWindows->TranslateMessage(&message);
        relayWindows->DispatchMessageA(&message);
    }
    relayWindows->KillTimer(window, 0);
    // -1 is a fault, not the quit message: the relay was not asked to stop.
    return fetched == 0 ? static_cast<int>(message.wParam) : 1;
}
