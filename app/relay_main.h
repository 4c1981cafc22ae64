// The relay's main routine and its hidden window, shared by the process entries.
#ifndef VARDEX_APP_RELAY_MAIN_H
#define VARDEX_APP_RELAY_MAIN_H

#include <windows.h>

// Stops a running copy, or runs the relay until it is stopped; returns the exit code.
int RelayWinMain(HINSTANCE instance, const char* commandTail);

#endif
