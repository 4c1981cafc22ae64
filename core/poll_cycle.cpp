// The poll cycle: searching for the monitor window, attaching to its fields, polling them.
#include "core/poll_cycle.h"

#include "core/reading.h"

// Client points as the monitor expects them in a mouse message: x low word, y high word.
static const intptr_t kFirstClick = (54 << 16) | 163;
static const intptr_t kSecondClick = (102 << 16) | 208;

int MatchFieldWindow(WindowHandle child, intptr_t context) {
    RelayState* state = reinterpret_cast<RelayState*>(context);
    int length = relayWindows->GetWindowTextLengthA(child);
    if (length != 7 && length != 8) return 1;

    // Offsets come from the immediate parent, which for a field inside a panel is the panel.
    WindowRect own;
    WindowRect parent;
    if (!relayWindows->GetWindowRect(child, &own)) return 1;
    if (!relayWindows->GetWindowRect(relayWindows->GetParent(child), &parent)) return 1;
    // 64-bit so that no pair of coordinates can overflow the difference.
    int64_t left = static_cast<int64_t>(own.left) - parent.left;
    int64_t top = static_cast<int64_t>(own.top) - parent.top;

    // The two tests are independent: one window may become both fields, and the last window
    // to match holds a slot.
    if (left == 380 || top == 92) state->cpu.field = child;
    if (left == 381 || top == 218) state->mb.field = child;
    return 1;
}

static void Search(RelayState* state) {
    WindowHandle monitor = relayWindows->FindWindowA("TMainForm", "Asus Probe 2");
    if (monitor == 0) return;

    // The fields are looked for only after both clicks; each returns once the monitor has
    // handled it, so a monitor that does not answer holds the tick up.
    relayWindows->SendMessageA(monitor, WM_LBUTTONDOWN, 0, kFirstClick);
    relayWindows->SendMessageA(monitor, WM_LBUTTONUP, 0, kFirstClick);
    relayWindows->SendMessageA(monitor, WM_LBUTTONDOWN, 0, kSecondClick);
    relayWindows->SendMessageA(monitor, WM_LBUTTONUP, 0, kSecondClick);

    relayWindows->EnumChildWindows(monitor, MatchFieldWindow, reinterpret_cast<intptr_t>(state));
    if (state->mb.field == 0) return;

    state->monitorWindow = monitor;
    // A fresh attach reports the first nonzero readings, whatever was sent before.
    state->cpu.lastValue = 0;
    state->mb.lastValue = 0;
}

static void Poll(RelayState* state) {
    if (!relayWindows->IsWindow(state->monitorWindow)) {
        // Detaching is the whole tick; the search starts with the next one.
        state->monitorWindow = 0;
        state->cpu.field = 0;
        state->mb.field = 0;
        return;
    }
    UpdateReadingSlot(&state->cpu);
    UpdateReadingSlot(&state->mb);
    if (!state->cpu.changed && !state->mb.changed) return;

    char report[kReportCapacity];
    if (FormatReport(state->targetName, state->cpu.lastValue, state->mb.lastValue, report) > 0) {
        SendToMailslot(state->mailslotPath, report);
    }
}

void PollTick() {
    if (relayState.monitorWindow == 0) {
        Search(&relayState);
    } else {
        Poll(&relayState);
    }
}
