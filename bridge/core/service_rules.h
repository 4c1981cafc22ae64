// The bridge as a Windows service, the decisions only: its names, the image path the service
// manager starts, what each control does, which status and exit code the manager sees, and when
// a console event ends a console run. The calls into Windows are in platform/win32.
//
// The numbers are Windows' own (winsvc.h, wincon.h, winerror.h), written out so that this file
// needs no Windows header and its table tests run on any host.
#ifndef VARDEX_BRIDGE_CORE_SERVICE_RULES_H
#define VARDEX_BRIDGE_CORE_SERVICE_RULES_H

#include <stdint.h>

// The Event Log source, shared by both roles' services.
extern const char kEventSource[];
extern const char kServiceDescription[];
// "vardex-bridge-publish" and "vardex-bridge (publish)", or the same for deliver.
const char* ServiceName(int role);
const char* ServiceDisplayName(int role);

// The service manager's command line for the service: the program's full path, quoted, the word
// "service", then words (the role and its options) each quoted as the Microsoft C runtime
// splits them, so the service reads back exactly the words install was given. Returns the
// length, or 0 when it does not fit.
uint32_t BuildImagePath(const char* program, const char* const* words, int count, char* out,
                        uint32_t capacity);

// Crash recovery: restart after 5 s, then after 60 s from then on; the count of failures starts
// over after a day.
const uint32_t kRestartDelaysMs[3] = {5000, 60000, 60000};
const uint32_t kFailureResetSeconds = 86400;
// A start that ends with an error comes no sooner than this after the last: the service waits
// out the rest before it says it stopped, so the manager's restarts cannot ask a broker that
// refused it more often.
const uint32_t kRestartAtMostEveryMs = 60000;

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

enum ServicePhase { kPhaseStarting, kPhaseRunning, kPhaseStopping, kPhaseStopped };

// What SetServiceStatus is told, but for the checkpoint, which the caller counts.
struct ServiceReport {
    uint32_t state;
    uint32_t controlsAccepted;
    uint32_t win32ExitCode;
    uint32_t serviceExitCode;
    uint32_t waitHintMs;
};

ServiceReport ServiceReportFor(ServicePhase phase, int exitCode);

enum ControlAction { kActionStop, kActionReport, kActionNotImplemented };
ControlAction ActionForControl(uint32_t control);

// How long a service that ran for ranMs and ends with exitCode keeps quiet before it reports
// itself stopped.
uint32_t StopDelayMs(int exitCode, uint32_t ranMs);

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
