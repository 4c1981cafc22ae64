// Fuzzes field texts through the fake window system against an independent parse and the
// change rule.
#include "core/reading.h"
#include "tests/fake_window_system.h"
#include "tests/fuzz/reference.h"

#include <stdlib.h>
#include <string.h>

static FakeWindowSystem* windows = new FakeWindowSystem;
static WindowHandle field;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    relayWindows = windows;
    if (field == 0) field = windows->AddWindow(windows->AddMonitor(), "TLabel", "", "", {});
    windows->ClearLog();

    int32_t last;
    memcpy(&last, data, 4);
    int32_t changed = data[4] & 1;
    bool unreadable = (data[4] & 2) != 0;
    char text[64] = {};
    memcpy(text, data + 5, size - 5 < 63 ? size - 5 : 63);
    windows->SetText(field, text);
    windows->SetUnreadable(field, unreadable);

    ReadingSlot slot = {field, last, changed};
    UpdateReadingSlot(&slot);
    if (slot.field != field) abort();

    if (unreadable || text[0] == 0) {
        // Nothing was read: the slot stays exactly as it was.
        if (slot.lastValue != last || slot.changed != changed) abort();
        return 0;
    }
    long long value = ReferenceLeadingInteger(text);
    if (value != 0 && value != last) {
        if (slot.lastValue != value || slot.changed != 1) abort();
    } else if (slot.lastValue != last || slot.changed != 0) {
        abort();
    }
    return 0;
}
