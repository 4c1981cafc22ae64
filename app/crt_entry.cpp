// The entry of a build with MinGW's default C runtime, kept only to measure what it costs.
#include "app/relay_main.h"
#include "core/relay_state.h"
#include "platform/win32/win32_platform.h"

// After our headers: it defines some of their constant names again, as macros.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    Win32WindowSystem windowSystem;
    Win32MailslotClient mailslotClient;
    relayWindows = &windowSystem;
    relayMailslots = &mailslotClient;
    return RelayWinMain(reinterpret_cast<InstanceHandle>(instance),
                        CommandTailOf(GetCommandLineA()));
}
