// The bridge's service side: forwards to the service manager, the registry and the Event Log.
#include "bridge/platform/win32/win32_service.h"

#include "bridge/app/bridge_messages.h"
#include "bridge/core/bridge_config.h"
#include "bridge/core/service_rules.h"
#include "bridge/core/text.h"

#include <windows.h>

namespace {

const char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\vardex-bridge";

uint32_t RegisterEventSource(const char* program) {
    HKEY key;
    LONG code = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0,
                                KEY_SET_VALUE, nullptr, &key, nullptr);
    if (code != ERROR_SUCCESS) return static_cast<uint32_t>(code);
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    DWORD length = TextLength(program) + 1;
    code = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(program), length);
    if (code == ERROR_SUCCESS) {
        code = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    RegCloseKey(key);
    return static_cast<uint32_t>(code);
}

// The configuration of a service being taken over, as it was: put back when a later step
// fails, so that a failed reconfigure leaves the service running what it ran before. Windows
// documents 8 KiB as the most QueryServiceConfig returns.
alignas(8) BYTE previous[8192];

// A setting that only later Windows knows: used where it is there, its absence ignored.
void ConfigureIfKnown(SC_HANDLE service, DWORD level, void* info) {
    ChangeServiceConfig2A(service, level, info);  // ignore errors: XP answers ERROR_INVALID_LEVEL
}

}  // namespace

uint32_t InstallService(int role, const char* imagePath, const char* program, int takeOver,
                        const char** what) {
    *what = "open the service manager";
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) return GetLastError();
    *what = "create the service";
    SC_HANDLE service = CreateServiceA(
        manager, ServiceName(role), ServiceDisplayName(role), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath, nullptr,
        nullptr, nullptr, nullptr, nullptr);  // no account: LocalSystem
    DWORD error = service == nullptr ? GetLastError() : 0;
    // The service of this name is this program's: what create sets is set again, the account
    // too, so a service made by an older install or changed by hand ends up as a new one.
    int existed = error == ERROR_SERVICE_EXISTS && takeOver;
    if (existed) {
        *what = "reconfigure the service";
        service = OpenServiceA(manager, ServiceName(role), SERVICE_ALL_ACCESS);
        DWORD needed = 0;
        error = service == nullptr ||
                        !QueryServiceConfigA(service,
                                             reinterpret_cast<QUERY_SERVICE_CONFIGA*>(previous),
                                             sizeof previous, &needed) ||
                        !ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS,
                                              SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath,
                                              nullptr, nullptr, "", "LocalSystem", "",
                                              ServiceDisplayName(role))
                    ? GetLastError()
                    : 0;
    }
    CloseServiceHandle(manager);
    if (error != 0) {
        CloseServiceHandle(service);  // ignore errors: null when it could not be opened
        return error;
    }

    // Each step in turn; the first that fails undoes the install.
    *what = "describe the service";
    SERVICE_DESCRIPTIONA description = {const_cast<char*>(kServiceDescription)};
    int done = ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
    SC_ACTION actions[3];
    for (int i = 0; i < 3; ++i) actions[i] = SC_ACTION{SC_ACTION_RESTART, kRestartDelaysMs[i]};
    SERVICE_FAILURE_ACTIONSA failure = {kFailureResetSeconds, nullptr, nullptr, 3, actions};
    if (done) {
        *what = "set the restarts after a failure";
        done = ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    }
    error = done ? 0 : GetLastError();
    if (done) {
        // Vista and later: a STOPPED with a non-zero code is final, not a failure to recover
        // from (service_rules.h); and the start waits until the boot's rush is over, when the
        // network is up.
        SERVICE_FAILURE_ACTIONS_FLAG onExitCodes = {kFailureActionsOnExitCodes};
        ConfigureIfKnown(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExitCodes);
        SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
        ConfigureIfKnown(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
        *what = "register the Event Log source";
        error = RegisterEventSource(program);
    }
    // A failed install leaves nothing behind; a service that was there before gets its command
    // line, start, account and name back (a user account's password, which is not readable, is
    // not: the takeover had set LocalSystem's empty one).
    if (error != 0 && !existed) DeleteService(service);  // ignore errors: gone or marked
    if (error != 0 && existed) {
        const QUERY_SERVICE_CONFIGA* was = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(previous);
        // ignore errors: the install's own error is the one to report
        ChangeServiceConfigA(service, was->dwServiceType, was->dwStartType, was->dwErrorControl,
                             was->lpBinaryPathName, was->lpLoadOrderGroup, nullptr,
                             was->lpDependencies, was->lpServiceStartName, nullptr,
                             was->lpDisplayName);
    }
    CloseServiceHandle(service);
    return error;
}

uint32_t UninstallService(int role, const char** what, int* stopped) {
    *stopped = 1;
    *what = "open the service manager";
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return GetLastError();
    *what = "open the service";
    SC_HANDLE service = OpenServiceA(manager, ServiceName(role),
                                     SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service == nullptr) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return error;
    }
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);  // ignore errors: polled below
        DWORD start = GetTickCount();
        while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
               GetTickCount() - start < 30000) {
            Sleep(250);
        }
        *stopped = status.dwCurrentState == SERVICE_STOPPED;
    }
    *what = "remove the service";
    DWORD error = 0;
    if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
        error = GetLastError();
    }
    CloseServiceHandle(service);
    if (error == 0) {
        // The log source is both roles': it goes with the last of them.
        SC_HANDLE other = OpenServiceA(manager, ServiceName(role == kRolePublish ? kRoleDeliver
                                                                                 : kRolePublish),
                                       SERVICE_QUERY_STATUS);
        if (other != nullptr) {
            CloseServiceHandle(other);
        } else if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);  // ignore errors: none was left
        }
    }
    CloseServiceHandle(manager);
    return error;
}

namespace {

const char* serviceName;
ServiceBody serviceBody;
// Kept complemented, so that the zero it starts as reads -1 (no ServiceMain ran to its end)
// and the program has no initialised data to give a file block of its own.
uint32_t serviceExitCode;
SERVICE_STATUS_HANDLE statusHandle;
HANDLE stopEvent;
// The handler runs on the dispatcher's thread, the body on ServiceMain's: the status, and the
// SetServiceStatus that tells it, are taken under this lock, so that nothing is told after
// STOPPED and no older status overtakes a newer one.
CRITICAL_SECTION statusLock;
ServiceTracker tracker;

void Tell(const ServiceReport& r) {
    if (r.state == 0) return;
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, r.state, r.controlsAccepted,
                             r.win32ExitCode, r.serviceExitCode, r.checkPoint, r.waitHintMs};
    SetServiceStatus(statusHandle, &status);  // ignore errors: nobody else to tell
}

void Enter(ServicePhase phase) {
    EnterCriticalSection(&statusLock);
    ServiceReport r;
    if (ServiceEnter(&tracker, phase, &r)) Tell(r);
    LeaveCriticalSection(&statusLock);
}

DWORD WINAPI OnControl(DWORD control, DWORD, LPVOID, LPVOID) {
    EnterCriticalSection(&statusLock);
    ServiceReport r;
    ControlAction action = ServiceControl(&tracker, control, &r);
    Tell(r);
    LeaveCriticalSection(&statusLock);
    if (action == kActionStop) SetEvent(stopEvent);
    return action == kActionNotImplemented ? ERROR_CALL_NOT_IMPLEMENTED : NO_ERROR;
}

// The manager's arguments are not the image path's words: the body reads those from the
// command line.
void WINAPI ServiceMain(DWORD, LPSTR*) {
    // The event first: a stop may come as soon as the handler is registered.
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    statusHandle = RegisterServiceCtrlHandlerExA(serviceName, OnControl, nullptr);
    if (statusHandle == nullptr) return;
    Enter(kPhaseStarting);
    int code = stopEvent != nullptr ? serviceBody(reinterpret_cast<uintptr_t>(stopEvent))
                                    : kExitFailed;
    EnterCriticalSection(&statusLock);
    ServiceReport r;
    if (ServiceFinish(&tracker, code, &r) == kEndRestart) {
        // Ending without STOPPED is what Windows counts as a failure to recover from.
        ExitProcess(static_cast<UINT>(code));
    }
    serviceExitCode = ~r.serviceExitCode;
    // The last call: once STOPPED is told the process may be ended at any moment.
    Tell(r);
    LeaveCriticalSection(&statusLock);
}

}  // namespace

int RunService(const char* name, ServiceBody body) {
    serviceName = name;
    serviceBody = body;
    InitializeCriticalSection(&statusLock);
    SERVICE_TABLE_ENTRYA table[2] = {{const_cast<char*>(name), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) return -1;
    return static_cast<int>(~serviceExitCode);
}

void ServiceRunning() { Enter(kPhaseRunning); }

void ServiceStopping() {
    EnterCriticalSection(&statusLock);
    ServiceReport r;
    if (tracker.phase == kPhaseRunning && ServiceEnter(&tracker, kPhaseStopping, &r)) Tell(r);
    LeaveCriticalSection(&statusLock);
}

void EventLogConsole::WriteLine(LogLevel level, const char* text) {
    if (source == 0) source = reinterpret_cast<uintptr_t>(RegisterEventSourceA(nullptr, kEventSource));
    if (source == 0) return;
    WORD type = level == kLogError ? EVENTLOG_ERROR_TYPE
              : level == kLogWarning ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
    const char* strings[1] = {text};
    // The message file's one message is "%1": Event Viewer shows the line itself.
    ReportEventA(reinterpret_cast<HANDLE>(source), type, 0, VARDEX_BRIDGE_LINE, nullptr, 1, 0,
                 strings, nullptr);  // ignore errors: a log that cannot be written says nothing
}
