// Drives the core against the fakes: counts platform operations per tick in each state, and runs
// many attached ticks for an instruction count under callgrind.
//
//   bench_ops_tick counts            print operations per tick in each state
//   bench_ops_tick unchanged N       N attached ticks that read the same values
//   bench_ops_tick changed N         N attached ticks that each see a change and send a report
#include "core/poll_cycle.h"
#include "core/relay_state.h"
#include "tests/fake_mailslot_client.h"
#include "tests/fake_window_system.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static FakeWindowSystem windows;
static FakeMailslotClient mailslots;
static WindowHandle cpuField;

static void Reset() {
    memset(&relayState, 0, sizeof relayState);
    relayWindows = &windows;
    relayMailslots = &mailslots;
    ParseCommandTail("PC01", &relayState);
}

static void AddMonitor() {
    WindowHandle monitor = windows.AddMonitor({100, 100, 700, 500});
    WindowHandle panel = windows.AddWindow(monitor, "TPanel", "", "", {110, 130, 690, 490});
    cpuField = windows.AddWindow(panel, "TLabel", "", "47 degC", {490, 140, 560, 160});
    windows.AddWindow(panel, "TLabel", "", "38 degC", {491, 180, 560, 200});
}

static int Tick() {
    windows.ClearLog();
    mailslots.ClearLog();
    PollTick();
    return windows.OperationCount() + mailslots.CallCount();
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "counts";
    long ticks = argc > 2 ? atol(argv[2]) : 1000;
    Reset();
    if (strcmp(mode, "counts") == 0) {
        printf("searching without a monitor\t%d\n", Tick());
        AddMonitor();
        printf("searching, monitor found (clicks, enumeration, attach)\t%d\n", Tick());
        printf("attached, first values (report)\t%d\n", Tick());
        printf("attached and unchanged\t%d\n", Tick());
        windows.SetText(cpuField, "48 degC");
        printf("attached with a change\t%d\n", Tick());
        return 0;
    }
    AddMonitor();
    Tick();
    Tick();
    bool change = strcmp(mode, "changed") == 0;
    char text[16];
    for (long i = 0; i < ticks; ++i) {
        if (change) {
            snprintf(text, sizeof text, "%ld degC", 10 + i % 2);
            windows.SetText(cpuField, text);
        }
        Tick();
    }
    printf("%ld ticks, %d reports in the last\n", ticks, mailslots.CallCount() / 3);
    return 0;
}
