// The bridge's service side on Windows: install and uninstall, the run under the service
// manager, and the Event Log as the log. Thin forwards to ADVAPI32; the decisions are in
// bridge/core/service_rules.
//
// Declared without Windows types; only win32_service.cpp includes the Windows headers.
#ifndef VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_SERVICE_H
#define VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_SERVICE_H

#include "bridge/core/network.h"

#include <stdint.h>

// Registers the role's service (automatic start, LocalSystem, crash recovery) and the Event Log
// source, or nothing at all. With takeOver, a service of the role's name that is there already
// is configured exactly so instead (ChangeServiceConfig). Returns 0, or the Windows error, with
// the step that failed in what.
uint32_t InstallService(int role, const char* imagePath, const char* program, int takeOver,
                        const char** what);
// Stops the role's service (waiting up to 30 s) and removes it, and the Event Log source when
// the other role's service is not installed either. Returns 0, or the Windows error with the
// step in what. *stopped says whether it stopped within the wait.
uint32_t UninstallService(int role, const char** what, int* stopped);

// The service's body: runs until stopped, returns the exit code the manager is to see.
typedef int (*ServiceBody)(uintptr_t stopEvent);
// Hands the process to the service manager, which calls body on a thread of its own; returns
// when the service has stopped, with body's code, or -1 when the manager did not start this
// process.
int RunService(const char* name, ServiceBody body);
// The body says where it is: set up and running; stopping of its own accord.
void ServiceRunning();
void ServiceStopping();

// Each line as an event of the Application log, source vardex-bridge, typed by its level.
struct EventLogConsole final : Console {
    void WriteLine(LogLevel level, const char* text) override;
    uintptr_t source = 0;
};

#endif
