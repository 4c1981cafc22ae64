// The fixture the core tests share: a zeroed relay state wired to fresh fakes.
#ifndef VARDEX_TESTS_RELAY_FIXTURE_H
#define VARDEX_TESTS_RELAY_FIXTURE_H

#include "core/poll_cycle.h"
#include "core/reading.h"
#include "core/relay_state.h"
#include "tests/fake_mailslot_client.h"
#include "tests/fake_window_system.h"

#include <gtest/gtest.h>
#include <string.h>

#include <memory>

// The monitor most tests use: fields of 7 characters in a panel, the CPU one at left offset 380
// and the MB one at left offset 381, neither at a matching top offset.
struct StandardMonitor {
    WindowHandle main;
    WindowHandle panel;
    WindowHandle cpu;
    WindowHandle mb;
};

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&relayState, 0, sizeof relayState);
        relayWindows = windows.get();
        relayMailslots = mailslots.get();
    }

    StandardMonitor AddStandardMonitor(const char* cpuText = "47 degC",
                                       const char* mbText = "38 degC") {
        StandardMonitor m;
        m.main = windows->AddMonitor({100, 100, 700, 500});
        m.panel = windows->AddWindow(m.main, "TPanel", "", "", {110, 130, 690, 490});
        m.cpu = windows->AddWindow(m.panel, "TLabel", "", cpuText, {490, 140, 560, 160});
        m.mb = windows->AddWindow(m.panel, "TLabel", "", mbText, {491, 180, 560, 200});
        return m;
    }

    void SetDestination(const char* tail) { ASSERT_EQ(1, ParseCommandTail(tail, &relayState)); }

    // Ticks once and returns what the tick did, window operations then mailslot operations.
    std::vector<std::string> Tick() {
        windows->ClearLog();
        mailslots->ClearLog();
        PollTick();
        std::vector<std::string> log = windows->Log();
        std::vector<std::string> mailslotLog = mailslots->Log();
        log.insert(log.end(), mailslotLog.begin(), mailslotLog.end());
        return log;
    }

    int OperationsOfLastTick() const {
        return windows->OperationCount() + mailslots->CallCount();
    }

    std::unique_ptr<FakeWindowSystem> windows{new FakeWindowSystem};
    std::unique_ptr<FakeMailslotClient> mailslots{new FakeMailslotClient};
};

#endif
