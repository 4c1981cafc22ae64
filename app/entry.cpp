// The process entries: take the command tail from the command line and run the relay.
//
// The release build has no C runtime: the linker starts it at RelayEntry. WinMain serves a
// build with MinGW's default start-up, kept for comparison.
#include "core/relay_state.h"

#include "app/relay_main.h"

extern "C" __attribute__((force_align_arg_pointer)) void RelayEntry() {
    // Without a runtime nothing else ends the process; returning would leave it to the loader.
    ExitProcess(static_cast<UINT>(
        RelayWinMain(GetModuleHandleA(nullptr), CommandTailOf(GetCommandLineA()))));
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The display mode is ignored: the relay's window is always hidden.
    return RelayWinMain(instance, CommandTailOf(GetCommandLineA()));
}
