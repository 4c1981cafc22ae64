// The once-a-second poll: find and attach the monitor window, then read, compare and report.
#ifndef VARDEX_CORE_POLL_CYCLE_H
#define VARDEX_CORE_POLL_CYCLE_H

#include "core/relay_state.h"

// One timer tick over relayState: a search while no monitor is attached, a poll while one is.
void PollTick();

// The enumeration callback: takes child as the CPU and/or MB field of the RelayState passed as
// context when its text length and its offsets inside its parent match. Always returns 1.
int MatchFieldWindow(WindowHandle child, intptr_t context);

#endif
