// The process entry: takes the command tail from the command line and runs the relay.
//
// The program has no C runtime: the linker starts it here, and nothing runs before.
#include "app/relay_main.h"
#include "core/relay_state.h"
#include "platform/win32/win32_platform.h"

// After our headers: it defines some of their constant names again, as macros.
#include <windows.h>

// 32-bit Windows starts a process with its stack aligned to 4 bytes only.
#if defined(__i386__)
#define VARDEX_ENTRY_ALIGN __attribute__((force_align_arg_pointer))
#else
#define VARDEX_ENTRY_ALIGN
#endif

extern "C" VARDEX_ENTRY_ALIGN void RelayEntry() {
    Win32WindowSystem windowSystem;
    Win32MailslotClient mailslotClient;
    relayWindows = &windowSystem;
    relayMailslots = &mailslotClient;
    // Without a runtime nothing else ends the process; returning would leave it to the loader.
    ExitProcess(static_cast<UINT>(
        RelayWinMain(reinterpret_cast<InstanceHandle>(GetModuleHandleA(nullptr)),
                     CommandTailOf(GetCommandLineA()))));
}
