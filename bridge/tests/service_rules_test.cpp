// The service's decisions: the image path survives Windows' word splitting, the status and exit
// code the service manager sees and what it restarts; a console run's answer to log-off.
#include "bridge/core/bridge_config.h"
#include "bridge/core/package_settings.h"
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
        const char* thumbprint = nullptr;  // install put the --cert-file into LocalMachine\My
    } cases[] = {
        {"C:\\Program Files\\vardex\\vardex-bridge-x86.exe", {"publish", "--broker", "h:1883"},
         "\"C:\\Program Files\\vardex\\vardex-bridge-x86.exe\" service publish --broker h:1883"},
        {"C:\\v.exe", {"deliver", "--password-file", "C:\\My Files\\pw.txt"},
         "\"C:\\v.exe\" service deliver --password-file \"C:\\My Files\\pw.txt\""},
        {"C:\\v.exe", {"publish", "--user", "a \"b\" c"}, nullptr},
        {"C:\\v.exe", {"publish", "--password-file", "C:\\dir with space\\"}, nullptr},
        {"C:\\v.exe", {"publish", "--user", "back\\\\\"slash\\"}, nullptr},
        {"C:\\v.exe", {"publish", "--user", "tab\there"}, nullptr},
        {"C:\\v.exe", {"publish", "--tls", "--cert-file", "C:\\a b.pfx", "--cert-password-file",
         "C:\\p.txt", "--name", "PC01"},
         "\"C:\\v.exe\" service publish --tls --cert AB12 --name PC01", "AB12"},
        {"C:\\v.exe", {"deliver", "--cert-password-file", "C:\\p.txt", "--tls", "--cert-file",
         "--cert-file"}, "\"C:\\v.exe\" service deliver --cert AB12 --tls", "AB12"},
        // A value spelled like an option stays the value it is.
        {"C:\\v.exe", {"publish", "--name", "--cert-file", "--tls", "--cert-file", "a.pfx"},
         "\"C:\\v.exe\" service publish --name --cert-file --tls --cert AB12", "AB12"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> given = c.words;
        if (c.thumbprint != nullptr) {
            given.resize(static_cast<size_t>(WordsWithThumbprint(
                c.words.data(), static_cast<int>(c.words.size()), c.thumbprint, given.data())));
        }
        char path[600];
        ASSERT_GT(BuildImagePath(c.program, given.data(), static_cast<int>(given.size()), path,
                                 sizeof path), 0u) << c.words.back();
        if (c.path != nullptr) {
            EXPECT_STREQ(path, c.path);
        }
        char storage[600];
        const char* split[16];
        int count = SplitCommandLine(path, storage, sizeof storage, split, 16);
        std::vector<std::string> want = {c.program, "service"};
        want.insert(want.end(), given.begin(), given.end());
        EXPECT_EQ(std::vector<std::string>(split, split + (count < 0 ? 0 : count)), want) << path;
    }
    char tiny[20];
    const char* words[] = {"publish"};
    EXPECT_EQ(BuildImagePath("C:\\a-long-path\\v.exe", words, 1, tiny, sizeof tiny), 0u);
}

// The installer package's properties as the bridge's reconfigure words: only the role's options,
// a flag only when "1", values quoted, EXTRA_OPTIONS as written, no name mistaken for another.
TEST(ServiceRules, PackageSettingsBecomeReconfigureWords) {
    const struct {
        const char* settings;
        const char* words;  // after "C:\v.exe" reconfigure
    } cases[] = {
        {"BROKER=h:1883\n", "publish --broker h:1883"},
        {"ROLE=deliver\nBROKER=h\nFROM=+\nDISCOVERY=off\nUNIT=F\nHEAD=VARD\n",
         "deliver --broker h --from + --head VARD"},
        {"BROKER=h\nTLS=1\nCAFILE=C:\\ca dir\\ca.pem\nNAMEX=y\nNAME=PC 1\n",
         "publish --broker h --name \"PC 1\" --tls --cafile \"C:\\ca dir\\ca.pem\""},
        {"BROKER=h\nTLS=0\nKEEPALIVE=60\nEXTRA_OPTIONS=--client-id x\n",
         "publish --broker h --keepalive 60 --client-id x"},
        {"ROLE=both\nBROKER=h\n", "both --broker h"},  // the bridge refuses it in its own words
    };
    for (const auto& c : cases) {
        char out[600];
        ASSERT_GT(BuildReconfigureCommand("C:\\v.exe", c.settings, out, sizeof out), 0u);
        EXPECT_EQ(std::string(out), std::string("\"C:\\v.exe\" reconfigure ") + c.words);
    }
    char tiny[30];
    EXPECT_EQ(BuildReconfigureCommand("C:\\v.exe", "BROKER=a-long-host-name\n", tiny,
                                      sizeof tiny), 0u);
}

// The service manager as Microsoft documents it (SetServiceStatus, SERVICE_STATUS,
// SERVICE_FAILURE_ACTIONS, SERVICE_FAILURE_ACTIONS_FLAG, HandlerEx): a status after STOPPED is a
// fault; a control the last status did not accept is refused; a pending state must change or
// advance its checkpoint within its hint; failure actions run when the process ends without
// STOPPED, and on a STOPPED with a non-zero code only with the flag; past the last action the
// last one repeats. (Wine's manager checks none of this.)
struct FakeServiceManager {
    std::vector<ServiceReport> told;
    std::vector<std::string> faults;
    int flag = kFailureActionsOnExitCodes;
    int failures = 0;

    void Tell(const ServiceReport& r) {
        if (!told.empty() && told.back().state == kServiceStopped) {
            faults.push_back("after STOPPED");
        }
        if (!told.empty() && r.state == told.back().state && r.waitHintMs != 0 &&
            r.checkPoint <= told.back().checkPoint) {
            faults.push_back("checkpoint did not advance");
        }
        int pending = r.state == kServiceStartPending || r.state == kServiceStopPending;
        if (pending && r.waitHintMs == 0) {
            faults.push_back("pending without a hint");
        }
        told.push_back(r);
    }
    // Returns 0 when the manager refuses the control (ERROR_SERVICE_CANNOT_ACCEPT_CTRL).
    int Control(ServiceTracker* t, uint32_t control) {
        uint32_t accepted = told.empty() ? 0 : told.back().controlsAccepted;
        uint32_t bit = control == kControlStop ? kAcceptStop
                     : control == kControlShutdown ? kAcceptShutdown : 0;
        if (control != kControlInterrogate && (accepted & bit) == 0) return 0;
        ServiceReport r;
        ServiceControl(t, control, &r);
        if (r.state != 0) Tell(r);
        return 1;
    }
    // The delay of the restart Windows schedules for the process's end, or -1 for none.
    int64_t End(int endedWithoutStopped) {
        int failed = endedWithoutStopped || (flag && told.back().win32ExitCode != 0);
        if (!failed) return -1;
        ++failures;
        return kRestartDelaysMs[failures < 3 ? failures - 1 : 2];
    }
};

// The service's own sequence, as win32_service.cpp drives the tracker.
void Enter(FakeServiceManager* m, ServiceTracker* t, ServicePhase phase) {
    ServiceReport r;
    if (ServiceEnter(t, phase, &r)) m->Tell(r);
}

int64_t Finish(FakeServiceManager* m, ServiceTracker* t, int code) {
    ServiceReport r;
    if (ServiceFinish(t, code, &r) == kEndRestart) return m->End(1);
    m->Tell(r);
    return m->End(0);
}

TEST(ServiceRules, TheServiceManagerSeesWhatItDocuments) {
    const struct {
        const char* name;
        int runs;          // 0: the body fails during the start
        uint32_t control;  // 0: none; else sent while running
        int code;          // the body's exit code
        uint32_t win32;    // what sc query shows then
        uint32_t specific;
        int64_t restart;   // -1: stays stopped
    } cases[] = {
        {"bad password file at start", 0, 0, kExitUsage, kErrorServiceSpecific, 2, -1},
        {"no TLS 1.2", 0, 0, kExitRefused, kErrorServiceSpecific, 3, -1},
        {"broker refused the credentials", 1, 0, kExitRefused, kErrorServiceSpecific, 3, -1},
        {"the mailslot's reader failed", 1, 0, kExitFailed, 0, 0, 5000},
        {"sc stop", 1, kControlStop, kExitOk, 0, 0, -1},
        {"shutdown", 1, kControlShutdown, kExitOk, 0, 0, -1},
        {"sc stop while a refusal comes in", 1, kControlStop, kExitRefused, 0, 0, -1},
        {"sc stop while the reader fails", 1, kControlStop, kExitFailed, 0, 0, -1},
    };
    for (const auto& c : cases) {
        FakeServiceManager manager;
        ServiceTracker tracker = {};
        Enter(&manager, &tracker, kPhaseStarting);
        EXPECT_FALSE(manager.Control(&tracker, kControlStop)) << c.name << ": stop while starting";
        if (c.runs) {
            Enter(&manager, &tracker, kPhaseRunning);
            if (c.control != 0) {
                EXPECT_TRUE(manager.Control(&tracker, c.control)) << c.name;
                EXPECT_EQ(manager.told.back().state, kServiceStopPending) << c.name;
                EXPECT_GE(manager.told.back().waitHintMs, 17000u) << c.name << ": the goodbye";
            }
            manager.Control(&tracker, kControlInterrogate);
            // The body's own stop, after a control or of its own accord.
            ServiceReport r;
            if (tracker.phase == kPhaseRunning && ServiceEnter(&tracker, kPhaseStopping, &r)) {
                manager.Tell(r);
            }
        }
        size_t toldBefore = manager.told.size();
        int64_t restart = Finish(&manager, &tracker, c.code);
        EXPECT_EQ(restart, c.restart) << c.name;
        if (c.restart < 0) {
            ASSERT_EQ(manager.told.size(), toldBefore + 1) << c.name;
            EXPECT_EQ(manager.told.back().state, kServiceStopped) << c.name;
            EXPECT_EQ(manager.told.back().win32ExitCode, c.win32) << c.name;
            EXPECT_EQ(manager.told.back().serviceExitCode, c.specific) << c.name;
        }
        // A late control, as the dispatcher may still deliver one: nothing more is told.
        manager.Control(&tracker, kControlInterrogate);
        ServiceReport late;
        EXPECT_EQ(ServiceEnter(&tracker, kPhaseStopping, &late), c.restart >= 0) << c.name;
        EXPECT_EQ(manager.faults, std::vector<std::string>{}) << c.name;
    }

    // With the flag that the old install set, every refusal would be asked again for ever: the
    // flag is off, and a failing reader is restarted no more than once a minute after the first.
    FakeServiceManager manager;
    manager.flag = 1;
    ServiceReport r = {kServiceStopped, 0, kErrorServiceSpecific, 3, 0, 0};
    manager.told.push_back(r);
    EXPECT_EQ(manager.End(0), 5000) << "what the flag would do";
    FakeServiceManager crashes;
    std::vector<int64_t> delays;
    delays.reserve(5);
    for (int i = 0; i < 5; ++i) delays.push_back(crashes.End(1));
    EXPECT_EQ(delays, (std::vector<int64_t>{5000, 60000, 60000, 60000, 60000}));

    EXPECT_EQ(ActionForControl(2), kActionNotImplemented);  // pause: not offered
    EXPECT_EQ(ActionForControl(kControlPreshutdown), kActionStop);
    EXPECT_EQ(ExitCodeForServiceError(5), kExitNotElevated);
    EXPECT_EQ(ExitCodeForServiceError(1073), kExitInstalled);
    EXPECT_EQ(ExitCodeForServiceError(1060), kExitNotInstalled);
    EXPECT_EQ(ExitCodeForServiceError(1072), kExitServiceFailed);  // marked for deletion
    const char* const names[] = {ServiceName(kRolePublish), ServiceName(kRoleDeliver)};
    EXPECT_STREQ(names[0], "vardex-bridge-publish");
    EXPECT_STREQ(names[1], "vardex-bridge-deliver");
}

TEST(ServiceRules, FilesTheServiceCanSee) {
    const uint32_t kNone = 0xFFFFFFFF;  // INVALID_FILE_ATTRIBUTES: the read will say why
    const struct {
        const char* path;
        uint32_t driveType;   // GetDriveType: 2 removable, 3 fixed, 4 remote
        uint32_t attributes;  // GetFileAttributes
        FileSight sight;
    } cases[] = {
        {"C:\\vardex\\pw.txt", 3, 0x20, kFileSeen},
        {"Z:\\pw.txt", 4, 0x20, kFileOnMappedDrive},  // the installing user's logon only
        {"E:\\pw.txt", 2, 0x80, kFileSeen},
        {"C:\\vardex\\gone.txt", 3, kNone, kFileSeen},  // not every bit set: no attributes
        {"\\\\nas\\vardex\\pw.txt", 0, 0x20, kFileOnShare},
        {"\\\\?\\UNC\\nas\\vardex\\pw.txt", 0, 0x20, kFileOnShare},
        {"\\\\?\\unc\\nas\\vardex\\pw.txt", 0, 0x20, kFileOnShare},
        {"\\\\?\\C:\\vardex\\pw.txt", 3, 0x20, kFileSeen},
        {"\\\\?\\Z:\\pw.txt", 4, 0x20, kFileOnMappedDrive},
        {"\\\\?\\UNCLE\\pw.txt", 0, 0x20, kFileSeen},  // UNC only as a whole name
        // OneDrive's placeholders: not on this PC, fetched by the user's OneDrive when read.
        {"C:\\Users\\a\\OneDrive\\pw.txt", 3, 0x00400020, kFileOnlineOnly},
        {"C:\\Users\\a\\OneDrive\\pw.txt", 3, 0x00040020, kFileOnlineOnly},
        {"C:\\archive\\pw.txt", 3, 0x00001020, kFileOnlineOnly},     // moved to offline storage
        {"C:\\Users\\a\\OneDrive\\pw.txt", 3, 0x00080420, kFileSeen},  // kept on this PC
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VisibleToService(c.path, c.driveType, c.attributes), c.sight)
            << c.path << " " << std::hex << c.attributes;
    }
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
