// The entry of a build with MinGW's default C runtime, kept only to measure what it costs.
#include "core/relay_state.h"

#include "app/relay_main.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return RelayWinMain(instance, CommandTailOf(GetCommandLineA()));
}
