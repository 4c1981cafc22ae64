// Every way a start can go: the stop request, the refused word, the hidden window, the timer and
// the message loop, each with the exit code it must give and every window call it makes.
#include "app/relay_main.h"
#include "tests/relay_fixture.h"

namespace {

// What a row makes go wrong, and when the loop gets a second copy's close request.
struct StartScript {
    FakeWindowOp failOp;
    int failOnCall;    // the nth call of failOp fails; 0 for none
    int closeOnFetch;  // a WM_CLOSE arrives with the nth GetMessageA; 0 for never
};

struct ScriptRun {
    StartScript script;
    int seen;
    int fetches;
};

bool RunScript(FakeWindowSystem* fake, FakeWindowOp op, void* context) {
    ScriptRun* run = static_cast<ScriptRun*>(context);
    // The relay's window is the first one the fake holds in every row that gets this far.
    if (op == kGetMessageA && ++run->fetches == run->script.closeOnFetch) {
        fake->Enqueue(FakeWindowSystem::HandleOf(0), WM_CLOSE);
    }
    return op == run->script.failOp && ++run->seen == run->script.failOnCall;
}

struct StartCase {
    const char* name;
    bool runningCopy;
    const char* tail;
    StartScript script;
    int exitCode;
    std::vector<std::string> calls;
};

const char kLookup[] = "FindWindowA(VARDEX,*)";
const char kPath[] = "wsprintfA(\\\\%s\\mailslot\\VARDslot)";
const char kTick[] = "FindWindowA(TMainForm,Asus Probe 2)";

TEST_F(RelayTest, StartUpPathsAndTheirExitCodes) {
    const std::vector<std::string> setUp = {kLookup, kPath, "RegisterClassA(VARDEX)",
                                            "CreateWindowExA(VARDEX,VARDEX)", "ShowWindow(w4096,0)",
                                            "SetTimer(w4096,0,1000)"};
    auto after = [&setUp](std::vector<std::string> more) {
        std::vector<std::string> all = setUp;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const std::vector<std::string> timerTick = {"GetMessageA", "TranslateMessage(0x0113)",
                                                "DispatchMessageA(w4096,0x0113)", kTick};
    std::vector<std::string> normalRun = after(timerTick);
    normalRun.insert(normalRun.end(), timerTick.begin(), timerTick.end());
    normalRun.insert(normalRun.end(),
                     {"GetMessageA", "TranslateMessage(0x0010)", "DispatchMessageA(w4096,0x0010)",
                      "DefWindowProcA(w4096,0x0010)", "PostQuitMessage(0)", "GetMessageA",
                      "KillTimer(w4096,0)"});

    const std::string longWord(300, 'N');
    const std::string overLongWord(73, 'N');
    const StartCase cases[] = {
        {"running copy, stop request delivered", true, "PC01", {kFindWindowA, 0, 0}, 0,
         {kLookup, "PostMessageA(w4096,0x0010,0,0)"}},
        {"running copy, stop request not delivered", true, "PC01", {kPostMessageA, 1, 0}, 1,
         {kLookup, "PostMessageA(w4096,0x0010,0,0)"}},
        {"running copy, an over-long word still stops it", true, longWord.c_str(),
         {kFindWindowA, 0, 0}, 0, {kLookup, "PostMessageA(w4096,0x0010,0,0)"}},
        {"over-long word", false, overLongWord.c_str(), {kFindWindowA, 0, 0}, 1,
         {kLookup}},
        {"class not registered", false, "", {kRegisterClassA, 1, 0}, 1,
         {kLookup, kPath, "RegisterClassA(VARDEX)", "CreateWindowExA(VARDEX,VARDEX)"}},
        {"window not created", false, "", {kCreateWindowExA, 1, 0}, 1,
         {kLookup, kPath, "RegisterClassA(VARDEX)", "CreateWindowExA(VARDEX,VARDEX)"}},
        {"timer not set", false, "", {kSetTimer, 1, 0}, 1,
         after({"DestroyWindow(w4096)", "PostQuitMessage(0)"})},
        {"runs until a second copy asks it to close", false, "", {kFindWindowA, 0, 3}, 0,
         normalRun},
        {"message loop fault", false, "", {kGetMessageA, 2, 0}, 1,
         after({"GetMessageA", "TranslateMessage(0x0113)", "DispatchMessageA(w4096,0x0113)", kTick,
                "GetMessageA", "KillTimer(w4096,0)"})},
    };
    for (const StartCase& c : cases) {
        memset(&relayState, 0, sizeof relayState);
        windows->Reset();
        if (c.runningCopy) windows->AddWindow(0, "VARDEX", "VARDEX", "VARDEX", {0, 0, 0, 0});
        ScriptRun run = {c.script, 0, 0};
        windows->beforeCall = RunScript;
        windows->beforeCallContext = &run;

        EXPECT_EQ(c.exitCode, RelayWinMain(0x400000, c.tail)) << c.name;
        EXPECT_EQ(c.calls, windows->Log()) << c.name;
        EXPECT_EQ(0, mailslots->CallCount()) << c.name;
        // A stop request never reads its own command tail.
        if (c.runningCopy) {
            EXPECT_STREQ("", relayState.mailslotPath) << c.name;
        }
    }
}

}  // namespace
