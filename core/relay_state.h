// The relay's one state record and the destination it takes from the command tail.
//
// The process entry (or a test) points relayWindows and relayMailslots at a platform and runs
// RelayWinMain, which hands the command tail to ParseCommandTail, then calls PollTick once a
// second; everything the relay knows between ticks lives in relayState.
#ifndef VARDEX_CORE_RELAY_STATE_H
#define VARDEX_CORE_RELAY_STATE_H

#include "platform/mailslot_client.h"
#include "platform/window_system.h"

#include <stdint.h>

const int kTextCapacity = 260;
// The longest destination word accepted: with the widest values a nine-character field can
// carry, "<name> CPU:-99999999 MB:-99999999" still fits a 99-character report, and the path
// "\\<name>\mailslot\VARDslot" fits its 259 characters.
const int kMaxTargetName = 72;

struct ReadingSlot {
    WindowHandle field;  // the monitor's window showing this reading; 0 until found
    int32_t lastValue;   // the last accepted reading; 0 while none accepted
    int32_t changed;     // 1 when the latest update accepted a new value
};

struct RelayState {
    WindowHandle monitorWindow;  // the attached monitor main window; 0 while searching
    ReadingSlot cpu;
    ReadingSlot mb;
    char targetName[kTextCapacity];    // heads every report; empty for the local mailslot
    char mailslotPath[kTextCapacity];  // where every report is written
};

// Zero at process start; after ParseCommandTail only PollTick changes it.
extern RelayState relayState;
// The platform every call goes through; set before the first call.
extern WindowSystem* relayWindows;
extern MailslotClient* relayMailslots;

// The text of a whole command line after the program's own name and the blanks that follow
// it. A quoted name ends at its closing quote (or a tab before it); an unquoted one at the first
// space or tab.
const char* CommandTailOf(const char* commandLine);

// Fills targetName and mailslotPath from the first word of the tail. Returns 0, leaving both
// texts empty, when the word is longer than kMaxTargetName; otherwise 1.
int ParseCommandTail(const char* commandTail, RelayState* state);

#endif
