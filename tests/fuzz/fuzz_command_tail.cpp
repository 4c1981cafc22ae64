// Fuzzes the command line: any bytes, any length, into the program-name skip and the tail parse.
#include "core/relay_state.h"
#include "tests/fake_window_system.h"

#include <stdlib.h>
#include <string.h>

#include <string>

static FakeWindowSystem* windows = new FakeWindowSystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    relayWindows = windows;
    windows->ClearLog();
    // An exactly sized copy, so that a read past the NUL is caught.
    char* line = static_cast<char*>(malloc(size + 1));
    memcpy(line, data, size);
    line[size] = 0;

    const char* tail = CommandTailOf(line);
    if (tail < line || tail > line + strlen(line)) abort();
    if (*tail == ' ' || *tail == '\t') abort();

    struct Guarded {
        RelayState state;
        unsigned char guard[64];
    };
    static Guarded g;
    memset(&g, 0xAA, sizeof g);
    int accepted = ParseCommandTail(line, &g.state);
    for (unsigned char b : g.guard)
        if (b != 0xAA) abort();

    // The reference: blanks skipped, then the longest run of bytes 0x21-0x7F.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(line);
    while (*p == ' ' || *p == '\t') ++p;
    std::string word;
    while (*p >= 0x21 && *p <= 0x7F) word += static_cast<char>(*p++);

    if (word.size() > static_cast<size_t>(kMaxTargetName)) {
        if (accepted != 0 || g.state.targetName[0] != 0 || g.state.mailslotPath[0] != 0) abort();
    } else {
        if (accepted != 1 || word != g.state.targetName) abort();
        std::string path = "\\\\" + (word.empty() ? std::string(".") : word) + "\\mailslot\\VARDslot";
        if (path != g.state.mailslotPath || path.size() > 259) abort();
    }
    free(line);
    return 0;
}
