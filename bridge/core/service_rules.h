// The bridge as a Windows service, the decisions only: its names, the image path the service
// manager starts, what each control does, which status and exit code the manager sees, and when
// a console event ends a console run. The calls into Windows are in platform/win32.
//
// The numbers are Windows' own (winsvc.h, wincon.h, winerror.h), written out so that this file
// needs no Windows header and its table tests run on any host.
#ifndef VARDEX_BRIDGE_CORE_SERVICE_RULES_H
#define VARDEX_BRIDGE_CORE_SERVICE_RULES_H

#include <stdint.h>

struct TextBuilder;

// The Event Log source, shared by both roles' services.
extern const char kEventSource[];
extern const char kServiceDescription[];
// "vardex-bridge-publish" and "vardex-bridge (publish)", or the same for deliver.
const char* ServiceName(int role);
const char* ServiceDisplayName(int role);

// One word as the C runtime's splitting gives it back: bare when it has no space, tab or quote,
// else in quotes, with backslashes doubled where a quote follows them.
void AppendQuotedWord(TextBuilder* text, const char* word);

// The service manager's command line for the service: the program's full path, quoted, the word
// "service", then words (the role and its options) each quoted as the Microsoft C runtime
// splits them, so the service reads back exactly the words install was given. Returns the
// length, or 0 when it does not fit.
uint32_t BuildImagePath(const char* program, const char* const* words, int count, char* out,
                        uint32_t capacity);

// install's words once its --cert-file went into LocalMachine\My: --cert-file and
// --cert-password-file with their values left out and --cert THUMBPRINT put in their place, so
// that the service's command line names no PFX and no password file. words[0] is the role, as
// for BuildImagePath; out has room for count words. Returns how many were written.
int WordsWithThumbprint(const char* const* words, int count, const char* thumbprint,
                        const char** out);

// Recovery. Windows runs a service's failure actions when its process ends without reporting
// SERVICE_STOPPED, and, only with the failure-actions flag, on a STOPPED with a non-zero exit
// code; past the last action it repeats the last. The flag stays off, so a STOPPED is final and
// sc query shows its code: bad options or files (2) stay stopped. The broker's refusals never
// end a service: the session asks again, more slowly, and the service stays RUNNING.
// A failure that a restart can mend (1: the mailslot's reader failed) ends the process without
// STOPPED instead, as a crash does, and is restarted after 5 s, then after 60 s each time; the
// count starts over after a day. So a broker is asked at most twice in the first minute and
// then once a minute by restarts, as by the bridge's own backoff.
const uint32_t kRestartDelaysMs[3] = {5000, 60000, 60000};
const uint32_t kFailureResetSeconds = 86400;
const int kFailureActionsOnExitCodes = 0;

const uint32_t kServiceStopped = 1;
const uint32_t kServiceStartPending = 2;
const uint32_t kServiceStopPending = 3;
const uint32_t kServiceRunning = 4;

const uint32_t kControlStop = 1;
const uint32_t kControlInterrogate = 4;
const uint32_t kControlShutdown = 5;
const uint32_t kControlPreshutdown = 15;
const uint32_t kAcceptStop = 1;
const uint32_t kAcceptShutdown = 4;

const uint32_t kErrorCallNotImplemented = 120;
const uint32_t kErrorServiceSpecific = 1066;

// The longest goodbye: the offline status, DISCONNECT and a TLS close_notify may each wait 5 s
// for room to send, then the drain takes up to 2 s. The stop's wait hint covers all of it, so
// the checkpoint never has to be moved without progress.
const uint32_t kGoodbyeWorstMs = 3 * 5000 + 2000;
// Reading the files and opening the mailslot take milliseconds; the hint leaves room for a
// slow disk at boot.
const uint32_t kStartHintMs = 3000;

enum ServicePhase { kPhaseStarting, kPhaseRunning, kPhaseStopping, kPhaseStopped };

// What SetServiceStatus is told.
struct ServiceReport {
    uint32_t state;
    uint32_t controlsAccepted;
    uint32_t win32ExitCode;
    uint32_t serviceExitCode;
    uint32_t checkPoint;
    uint32_t waitHintMs;
};

// The status the control handler's thread and the service's own thread share; the Windows side
// holds a lock around each call below and the SetServiceStatus that follows it.
struct ServiceTracker {
    ServicePhase phase;
    uint32_t checkPoint;
    int stopAsked;  // a stop, shutdown or uninstall asked for it: the end is a clean one
};

// Moves to phase; returns 1 with report filled when the manager is to be told, 0 once STOPPED
// was told (nothing may follow it: the process may already be ending).
int ServiceEnter(ServiceTracker* tracker, ServicePhase phase, ServiceReport* report);

enum ControlAction { kActionStop, kActionReport, kActionNotImplemented };
ControlAction ActionForControl(uint32_t control);
// A control from the manager: what to answer, and in report (returning 1) a status to tell.
// INTERROGATE tells nothing: the manager knows the status, and a repeated checkpoint would
// claim progress that was not made.
ControlAction ServiceControl(ServiceTracker* tracker, uint32_t control, ServiceReport* report);

enum ServiceEnd {
    kEndStopped,  // report the STOPPED in report
    kEndRestart,  // end the process without STOPPED, so that the failure actions restart it
};
// How the service ends after its body returned code.
ServiceEnd ServiceFinish(ServiceTracker* tracker, int code, ServiceReport* report);

// Whether the service, running as LocalSystem, sees a file as install's user does, and if not,
// why. driveType is GetDriveType's answer for the drive letter the path names (0 without one): a
// letter mapped to a share (DRIVE_REMOTE) belongs to that user's logon alone. A share named
// itself (\\server\share, \\?\UNC\server\share) is reached as the computer's account, not as the
// user. attributes is GetFileAttributes' answer (INVALID_FILE_ATTRIBUTES when it has none: the
// read that follows says why): a cloud file kept online only is fetched by the user's sync
// program, which the service cannot ask.
enum FileSight { kFileSeen, kFileOnMappedDrive, kFileOnShare, kFileOnlineOnly };
FileSight VisibleToService(const char* fullPath, uint32_t driveType, uint32_t attributes);

// A Windows error from the service manager or the registry as install's and uninstall's exit
// code: access denied, already installed, not installed, or any other.
int ExitCodeForServiceError(uint32_t error);

// A console run's answer to a console control event (CTRL_C_EVENT ... CTRL_SHUTDOWN_EVENT).
// Log-off reaches every console process of every session, whoever logs off; Windows ends the
// programs of the session that logs off by itself, so only a run on the visible, interactive
// window station stops for it.
enum ConsoleAnswer {
    kConsoleIgnore,
    kConsoleStop,
    kConsoleStopAndWait,  // Windows ends the process once the handler returns: say goodbye first
};
ConsoleAnswer AnswerConsoleEvent(uint32_t event, int interactiveStation);

#endif
