// The relay's main routine: the single-copy toggle, the hidden window and the message loop.
#ifndef VARDEX_APP_RELAY_MAIN_H
#define VARDEX_APP_RELAY_MAIN_H

#include "platform/window_system.h"

// Stops a running copy, or runs the relay until it is stopped; returns the exit code: 0 when the
// stop request was delivered or the relay ran until asked to close, 1 when it did not happen.
int RelayWinMain(InstanceHandle instance, const char* commandTail);

#endif
