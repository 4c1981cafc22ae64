// The service's decisions: the image path survives Windows' word splitting, and the status,
// exit code and restart pacing the service manager sees; a console run's answer to log-off.
#include "bridge/core/bridge_config.h"
#include "bridge/core/service_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ServiceRules, ImagePathGivesBackTheWordsInstallWasGiven) {
    const struct {
        const char* program;
        std::vector<const char*> words;
        const char* path;  // nullptr: only the round trip is checked
    } cases[] = {
        {"C:\\Program Files\\vardex\\vardex-bridge-x86.exe", {"publish", "--broker", "h:1883"},
         "\"C:\\Program Files\\vardex\\vardex-bridge-x86.exe\" service publish --broker h:1883"},
        {"C:\\v.exe", {"deliver", "--password-file", "C:\\My Files\\pw.txt"},
         "\"C:\\v.exe\" service deliver --password-file \"C:\\My Files\\pw.txt\""},
        {"C:\\v.exe", {"publish", "--user", "a \"b\" c"}, nullptr},
        {"C:\\v.exe", {"publish", "--password-file", "C:\\dir with space\\"}, nullptr},
        {"C:\\v.exe", {"publish", "--user", "back\\\\\"slash\\"}, nullptr},
        {"C:\\v.exe", {"publish", "--user", "tab\there"}, nullptr},
    };
    for (const auto& c : cases) {
        char path[600];
        ASSERT_GT(BuildImagePath(c.program, c.words.data(), static_cast<int>(c.words.size()),
                                 path, sizeof path), 0u) << c.words.back();
        if (c.path != nullptr) {
            EXPECT_STREQ(path, c.path);
        }
        char storage[600];
        const char* split[16];
        int count = SplitCommandLine(path, storage, sizeof storage, split, 16);
        std::vector<std::string> want = {c.program, "service"};
        want.insert(want.end(), c.words.begin(), c.words.end());
        EXPECT_EQ(std::vector<std::string>(split, split + (count < 0 ? 0 : count)), want) << path;
    }
    char tiny[20];
    const char* words[] = {"publish"};
    EXPECT_EQ(BuildImagePath("C:\\a-long-path\\v.exe", words, 1, tiny, sizeof tiny), 0u);
}

TEST(ServiceRules, WhatTheServiceManagerIsTold) {
    const struct {
        ServicePhase phase;
        int exitCode;
        ServiceReport want;
    } cases[] = {
        {kPhaseStarting, 0, {kServiceStartPending, 0, 0, 0, 3000}},
        {kPhaseRunning, 0, {kServiceRunning, kAcceptStop | kAcceptShutdown, 0, 0, 0}},
        {kPhaseStopping, 0, {kServiceStopPending, 0, 0, 0, 5000}},
        {kPhaseStopped, 0, {kServiceStopped, 0, 0, 0, 0}},
        // A failure the manager can act on, carrying the bridge's own code.
        {kPhaseStopped, kExitRefused, {kServiceStopped, 0, kErrorServiceSpecific, 3, 0}},
    };
    for (const auto& c : cases) {
        ServiceReport r = ServiceReportFor(c.phase, c.exitCode);
        EXPECT_EQ((std::vector<uint32_t>{r.state, r.controlsAccepted, r.win32ExitCode,
                                         r.serviceExitCode, r.waitHintMs}),
                  (std::vector<uint32_t>{c.want.state, c.want.controlsAccepted,
                                         c.want.win32ExitCode, c.want.serviceExitCode,
                                         c.want.waitHintMs}))
            << c.phase << " exit " << c.exitCode;
    }
    EXPECT_EQ(ActionForControl(kControlStop), kActionStop);
    EXPECT_EQ(ActionForControl(kControlShutdown), kActionStop);
    EXPECT_EQ(ActionForControl(kControlPreshutdown), kActionStop);
    EXPECT_EQ(ActionForControl(kControlInterrogate), kActionReport);
    EXPECT_EQ(ActionForControl(2), kActionNotImplemented);  // pause: not offered

    // A failing start is restarted no sooner than a minute after the last; a clean one at once.
    EXPECT_EQ(StopDelayMs(kExitRefused, 400), 59600u);
    EXPECT_EQ(StopDelayMs(kExitRefused, 60000), 0u);
    EXPECT_EQ(StopDelayMs(kExitOk, 400), 0u);

    EXPECT_EQ(ExitCodeForServiceError(5), kExitNotElevated);
    EXPECT_EQ(ExitCodeForServiceError(1073), kExitInstalled);
    EXPECT_EQ(ExitCodeForServiceError(1060), kExitNotInstalled);
    EXPECT_EQ(ExitCodeForServiceError(1072), kExitServiceFailed);  // marked for deletion
}

TEST(ServiceRules, ConsoleEvents) {
    const struct {
        uint32_t event;
        int interactive;
        ConsoleAnswer answer;
    } cases[] = {
        {0, 0, kConsoleStop},          // Ctrl+C
        {1, 1, kConsoleStop},          // Ctrl+Break
        {2, 1, kConsoleStopAndWait},   // the console window closed
        {5, 1, kConsoleStopAndWait},   // log-off, on the desktop one sees
        {5, 0, kConsoleIgnore},        // log-off of someone, seen from a task or another station
        {6, 0, kConsoleStopAndWait},   // shutdown
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnswerConsoleEvent(c.event, c.interactive), c.answer)
            << c.event << " interactive " << c.interactive;
    }
}

}  // namespace
