// The relay's state record and the parse of the command tail into its destination.
#include "core/relay_state.h"

RelayState relayState;
WindowSystem* relayWindows;
MailslotClient* relayMailslots;

static int IsWordByte(unsigned char c) {
    // Printable characters and DEL; NUL, blanks, other controls and 0x80-0xFF end the word.
    return c >= 0x21 && c <= 0x7F;
}

const char* CommandTailOf(const char* commandLine) {
    const char* p = commandLine;
    if (*p == '"') {
        ++p;
        while (*p != 0 && *p != '"' && *p != '\t') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p != 0 && *p != ' ' && *p != '\t') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

int ParseCommandTail(const char* commandTail, RelayState* state) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(commandTail);
    while (*p == ' ' || *p == '\t') ++p;

    int length = 0;
    while (IsWordByte(p[length])) {
        if (length == kMaxTargetName) {
            // Too long for every report to fit its buffer: refuse rather than cut the name.
            state->targetName[0] = 0;
            state->mailslotPath[0] = 0;
            return 0;
        }
        state->targetName[length] = static_cast<char>(p[length]);
        ++length;
    }
    state->targetName[length] = 0;

    // Without a word the path names this machine, "." in the same template.
    relayWindows->wsprintfA(state->mailslotPath, "\\\\%s\\mailslot\\VARDslot",
                            length > 0 ? state->targetName : ".", 0, 0);
    return 1;
}
