// The poll cycle: searching, clicking, matching fields, attaching, polling and detaching.
#include "tests/relay_fixture.h"

namespace {

std::string W(WindowHandle w) { return FakeWindowSystem::Name(w); }

std::vector<std::string> SearchLog(WindowHandle main) {
    return {"FindWindowA(TMainForm,Asus Probe 2)",
            "SendMessageA(" + W(main) + ",0x0201,0,0x003600A3)",
            "SendMessageA(" + W(main) + ",0x0202,0,0x003600A3)",
            "SendMessageA(" + W(main) + ",0x0201,0,0x006600D0)",
            "SendMessageA(" + W(main) + ",0x0202,0,0x006600D0)",
            "EnumChildWindows(" + W(main) + ")"};
}

TEST_F(RelayTest, WithoutMonitorEachTickIsOneLookup) {
    windows->AddWindow(0, "TMainForm", "Other title", "", {0, 0, 1, 1});
    windows->AddWindow(0, "Other", "Asus Probe 2", "", {0, 0, 1, 1});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(std::vector<std::string>{"FindWindowA(TMainForm,Asus Probe 2)"}, Tick());
        EXPECT_EQ(0u, relayState.monitorWindow);
    }
}

TEST_F(RelayTest, SearchClicksEnumeratesAndAttaches) {
    SetDestination("PC01");
    StandardMonitor m = AddStandardMonitor();
    relayState.cpu.lastValue = 12;
    relayState.mb.lastValue = 13;
    relayState.mb.changed = 1;

    std::vector<std::string> expected = SearchLog(m.main);
    const std::vector<std::string> matching = {
        "GetWindowTextLengthA(" + W(m.panel) + ")",
        "GetWindowTextLengthA(" + W(m.cpu) + ")", "GetWindowRect(" + W(m.cpu) + ")",
        "GetParent(" + W(m.cpu) + ")",            "GetWindowRect(" + W(m.panel) + ")",
        "GetWindowTextLengthA(" + W(m.mb) + ")",  "GetWindowRect(" + W(m.mb) + ")",
        "GetParent(" + W(m.mb) + ")",             "GetWindowRect(" + W(m.panel) + ")"};
    expected.insert(expected.end(), matching.begin(), matching.end());
    EXPECT_EQ(expected, Tick());

    EXPECT_EQ(m.main, relayState.monitorWindow);
    EXPECT_EQ(m.cpu, relayState.cpu.field);
    EXPECT_EQ(m.mb, relayState.mb.field);
    // Attaching forgets the old values but not the flags; the first poll is next tick.
    EXPECT_EQ(0, relayState.cpu.lastValue);
    EXPECT_EQ(0, relayState.mb.lastValue);
    EXPECT_EQ(0, relayState.cpu.changed);
    EXPECT_EQ(1, relayState.mb.changed);

    Tick();
    EXPECT_EQ(std::vector<std::string>{std::string("PC01 CPU:47 MB:38\0", 18)},
              mailslots->Datagrams());
}

TEST_F(RelayTest, OperationsPerTickInEachState) {
    // Window and mailslot operations, text formatting not counted.
    SetDestination("PC01");
    Tick();
    EXPECT_EQ(1, OperationsOfLastTick()) << "searching without a monitor";

    StandardMonitor m = AddStandardMonitor();
    Tick();
    ASSERT_NE(0u, relayState.monitorWindow);
    Tick();
    EXPECT_EQ(6, OperationsOfLastTick()) << "attached, first values";
    Tick();
    EXPECT_EQ(3, OperationsOfLastTick()) << "attached and unchanged";
    windows->SetText(m.cpu, "48 degC");
    EXPECT_EQ((std::vector<std::string>{"IsWindow(" + W(m.main) + ")",
                                        "GetWindowTextA(" + W(m.cpu) + ",10)",
                                        "GetWindowTextA(" + W(m.mb) + ",10)",
                                        "wsprintfA(%s CPU:%02d MB:%02d)",
                                        "CreateFileA(\\\\PC01\\mailslot\\VARDslot)->65",
                                        "WriteFile(65,18)", "CloseHandle(65)"}),
              Tick());
    EXPECT_EQ(6, OperationsOfLastTick()) << "attached with a change";
}

TEST_F(RelayTest, AttachesOnlyOnceMbFieldIsFound) {
    WindowHandle main = windows->AddMonitor();
    WindowHandle panel = windows->AddWindow(main, "TPanel", "", "", {100, 100, 600, 400});
    WindowHandle cpu = windows->AddWindow(panel, "TLabel", "", "47 degC", {480, 110, 500, 120});
    for (int i = 0; i < 3; ++i) {
        std::vector<std::string> log = Tick();
        log.resize(6);
        EXPECT_EQ(SearchLog(main), log) << "tick " << i;
        EXPECT_EQ(0u, relayState.monitorWindow);
        // A failed attempt's field stays until an enumeration replaces it.
        EXPECT_EQ(cpu, relayState.cpu.field);
    }
    WindowHandle mb = windows->AddWindow(panel, "TLabel", "", "38 degC", {481, 150, 500, 160});
    Tick();
    EXPECT_EQ(main, relayState.monitorWindow);
    EXPECT_EQ(mb, relayState.mb.field);
}

TEST_F(RelayTest, FieldMatching) {
    struct Case {
        const char* name;
        const char* text;
        WindowRect parentRect;
        WindowRect childRect;
        bool cpu;
        bool mb;
    };
    const WindowRect p = {1000, 2000, 1600, 2400};
    const Case cases[] = {
        {"left 380", "47 degC", p, {1380, 2010, 1400, 2020}, true, false},
        {"top 92", "47 degC", p, {1010, 2092, 1020, 2100}, true, false},
        {"left 381", "38 degC", p, {1381, 2010, 1400, 2020}, false, true},
        {"top 218", "38 degC", p, {1010, 2218, 1020, 2230}, false, true},
        {"left 380 and top 218 is both", "38 degC", p, {1380, 2218, 1400, 2230}, true, true},
        {"left 381 and top 92 is both", "38 degC", p, {1381, 2092, 1400, 2100}, true, true},
        {"eight characters", "38.0 deg", p, {1381, 2010, 1400, 2020}, false, true},
        {"six characters", "38 deg", p, {1381, 2218, 1400, 2230}, false, false},
        {"nine characters", "38.0 degC", p, {1380, 2092, 1400, 2100}, false, false},
        {"empty", "", p, {1380, 2092, 1400, 2100}, false, false},
        {"other offsets", "47 degC", p, {1379, 2093, 1400, 2100}, false, false},
        {"negative offsets", "47 degC", {0, 0, 10, 10}, {-380, -92, 0, 0}, false, false},
        {"offsets at the coordinate limits", "47 degC", {INT32_MIN, INT32_MIN, 0, 0},
         {INT32_MAX, INT32_MAX, 0, 0}, false, false},
    };
    for (const Case& c : cases) {
        SetUp();
        WindowHandle main = windows->AddMonitor();
        WindowHandle panel = windows->AddWindow(main, "TPanel", "", "", c.parentRect);
        WindowHandle child = windows->AddWindow(panel, "TLabel", "", c.text, c.childRect);
        EXPECT_EQ(1, MatchFieldWindow(child, reinterpret_cast<intptr_t>(&relayState))) << c.name;
        EXPECT_EQ(c.cpu ? child : 0, relayState.cpu.field) << c.name;
        EXPECT_EQ(c.mb ? child : 0, relayState.mb.field) << c.name;
    }
}

TEST_F(RelayTest, FieldWithUnreadableRectangleIsNotTaken) {
    for (int unreadable = 0; unreadable < 2; ++unreadable) {
        SetUp();
        WindowHandle main = windows->AddMonitor();
        WindowHandle panel = windows->AddWindow(main, "TPanel", "", "", {0, 0, 600, 400});
        WindowHandle child = windows->AddWindow(panel, "TLabel", "", "38 degC", {381, 218, 9, 9});
        // A window that gives its length but then not its rectangle, or whose parent does not.
        struct Hook {
            WindowHandle target;
            static bool Fail(FakeWindowSystem* fake, FakeWindowOp op, void* context) {
                WindowHandle window = fake->Call(fake->CallCount() - 1).window;
                return op == kGetWindowRect && window == static_cast<Hook*>(context)->target;
            }
        } hook = {unreadable ? panel : child};
        windows->beforeCall = Hook::Fail;
        windows->beforeCallContext = &hook;
        relayState.mb.field = 0;
        MatchFieldWindow(child, reinterpret_cast<intptr_t>(&relayState));
        EXPECT_EQ(0u, relayState.cpu.field) << unreadable;
        EXPECT_EQ(0u, relayState.mb.field) << unreadable;
    }
}

TEST_F(RelayTest, OffsetsComeFromImmediateParentAndLastMatchWins) {
    // Main window at 100,100; panel at 300,300 inside it. The first candidate sits at 381 from the
    // main window but not from its panel; the later ones match inside nested panels.
    WindowHandle main = windows->AddMonitor({100, 100, 1000, 1000});
    WindowHandle outer = windows->AddWindow(main, "TPanel", "", "", {300, 300, 900, 900});
    windows->AddWindow(outer, "TLabel", "", "38 degC", {481, 310, 500, 320});
    WindowHandle first = windows->AddWindow(outer, "TLabel", "", "38 degC", {681, 310, 700, 320});
    WindowHandle inner = windows->AddWindow(outer, "TPanel", "", "", {310, 400, 800, 800});
    WindowHandle nested = windows->AddWindow(inner, "TLabel", "", "39 degC", {691, 410, 700, 420});
    WindowHandle cpu = windows->AddWindow(inner, "TLabel", "", "47 degC", {320, 492, 330, 500});
    Tick();
    EXPECT_EQ(main, relayState.monitorWindow);
    EXPECT_EQ(nested, relayState.mb.field) << "first match was " << W(first);
    EXPECT_EQ(cpu, relayState.cpu.field);
}

TEST_F(RelayTest, DetachTickDoesNothingElseAndReattachResetsValues) {
    SetDestination("");
    StandardMonitor m = AddStandardMonitor();
    Tick();
    Tick();
    ASSERT_EQ(1u, mailslots->Datagrams().size());

    windows->Destroy(m.main);
    EXPECT_EQ(std::vector<std::string>{"IsWindow(" + W(m.main) + ")"}, Tick());
    EXPECT_EQ(0u, relayState.monitorWindow);
    EXPECT_EQ(0u, relayState.cpu.field);
    EXPECT_EQ(0u, relayState.mb.field);
    EXPECT_EQ(47, relayState.cpu.lastValue);
    EXPECT_EQ(std::vector<std::string>{"FindWindowA(TMainForm,Asus Probe 2)"}, Tick());

    // The same readings again from a new monitor: they are reported as new after attaching.
    StandardMonitor again = AddStandardMonitor();
    Tick();
    EXPECT_EQ(again.main, relayState.monitorWindow);
    EXPECT_EQ(0, relayState.cpu.lastValue);
    EXPECT_EQ(0, relayState.mb.lastValue);
    Tick();
    EXPECT_EQ(std::vector<std::string>{std::string(" CPU:47 MB:38\0", 14)},
              mailslots->Datagrams());
}

TEST_F(RelayTest, ReportsFollowTheChangeRule) {
    SetDestination("PC01");
    StandardMonitor m = AddStandardMonitor();
    Tick();
    struct Step {
        const char* cpu;
        const char* mb;
        bool cpuUnreadable;
        const char* report;  // 0 when the tick sends nothing
    };
    const Step steps[] = {
        {"47 degC", "38 degC", false, "PC01 CPU:47 MB:38"},
        {"47 degC", "38 degC", false, nullptr},
        {"48 degC", "39 degC", false, "PC01 CPU:48 MB:39"},  // both change, one report
        {"0 degC ", "39 degC", false, nullptr},              // 0 is never taken
        {"48 degC", "39 degC", false, nullptr},
        {"-3 degC", "39 degC", false, "PC01 CPU:-3 MB:39"},
        {"-4 degC", "39 degC", true, "PC01 CPU:-3 MB:39"},   // a read of nothing repeats
        {"-3 degC", "40 degC", false, "PC01 CPU:-3 MB:40"},
        {"-4 degC", "40 degC", true, nullptr},               // ...only while still changed
        {"degC   ", "       ", false, nullptr},
    };
    for (const Step& s : steps) {
        windows->SetText(m.cpu, s.cpu);
        windows->SetText(m.mb, s.mb);
        windows->SetUnreadable(m.cpu, s.cpuUnreadable);
        Tick();
        std::vector<std::string> expected;
        if (s.report) expected.push_back(std::string(s.report) + '\0');
        EXPECT_EQ(expected, mailslots->Datagrams()) << s.cpu << " / " << s.mb;
    }
}

TEST_F(RelayTest, UnreachableDestinationKeepsPolling) {
    SetDestination("PC01");
    StandardMonitor m = AddStandardMonitor();
    mailslots->refuseOpens = true;
    Tick();
    Tick();
    EXPECT_EQ(std::vector<std::string>{"CreateFileA(\\\\PC01\\mailslot\\VARDslot)->" +
                                       std::to_string(INVALID_HANDLE_VALUE)},
              mailslots->Log());
    // Nothing is replayed once the owner is back; the next change is sent.
    mailslots->refuseOpens = false;
    Tick();
    EXPECT_TRUE(mailslots->Datagrams().empty());
    windows->SetText(m.mb, "41 degC");
    Tick();
    EXPECT_EQ(std::vector<std::string>{std::string("PC01 CPU:47 MB:41\0", 18)},
              mailslots->Datagrams());
}

}  // namespace
