// The bridge's real platform: Winsock for the broker, the console for the log, and the local
// mailslot as its owner (publish); deliver writes to it through the relay's Win32MailslotClient.
// The service's side (service manager, Event Log) is in win32_service.h.
//
// The objects live on the entry's stack: without a C runtime, no constructor of a global runs.
//
// Declared without Windows types; only win32_bridge_platform.cpp includes the Windows headers.
#ifndef VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_BRIDGE_PLATFORM_H
#define VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_BRIDGE_PLATFORM_H

#include "bridge/core/network.h"

#include <stdint.h>

// What the socket's event said, for the entry to hand on to the session.
enum NetworkEvent { kNetNothing, kNetConnected, kNetConnectFailed, kNetData, kNetClosed };

struct Win32Network final : Network {
    int Connect(const char* host, uint16_t port, char* why, uint32_t whySize) override;
    int ConnectNext(char* why, uint32_t whySize) override;
    int Send(const uint8_t* data, uint32_t size) override;
    void Close() override;
    void Shutdown() override;

    // Starts Winsock and makes the event the socket signals; 0 when Winsock is not there.
    int Start();
    uintptr_t Event() const { return event; }
    // After the event fired: what happened. kNetData leaves bytes in Received(); call again
    // until it says something else.
    NetworkEvent Take(char* why, uint32_t whySize);
    const uint8_t* Received() const;
    uint32_t receivedSize = 0;

private:
    int TryNext(char* why, uint32_t whySize);
    void CloseSocket();
    uintptr_t socket = ~uintptr_t{0};
    uintptr_t event = 0;
    int closeSeen = 0;
    void* addresses = nullptr;  // the resolved list, and the one being tried
    void* next = nullptr;
};

struct Win32Console final : Console {
    void WriteLine(LogLevel level, const char* text) override;
};

// Owns the local mailslot and reads it on a thread of its own, one datagram at a time: the
// thread blocks in ReadFile, hands each datagram over through Ready() and waits until Taken().
struct SlotReader {
    // 0, or the Windows error that kept the mailslot from being made (ERROR_ALREADY_EXISTS:
    // another program owns it) or the reader from starting. forService: the mailslot admits
    // the signed-in user's relay, not only this service's account.
    uint32_t Start(int forService);
    uintptr_t Ready() const { return ready; }
    // After Ready(): 0 with a datagram in Data(), or the error that ended the reading for good.
    uint32_t Failure() const { return failure; }
    void Taken();
    const uint8_t* Data() const;
    uint32_t Size() const;

    uintptr_t slot = 0;
    uintptr_t ready = 0;
    uintptr_t taken = 0;
    volatile uint32_t failure = 0;
};

const uint32_t kErrorAlreadyExists = 183;

// The process's odds and ends: standard error, the computer name, the environment, a small
// file, the tick count, the stop request from the console.
void WriteError(const char* text);
// Text to standard output as it is (the usage, the version).
void WriteOut(const char* text);
int ComputerName(char* out, uint32_t size);
// The variable's value, or -1 when it is not set, -2 when it is longer than size - 1.
int EnvironmentValue(const char* name, char* out, uint32_t size);
// Up to size bytes from the start of the file, or -1 when it cannot be read.
int ReadFileStart(const char* path, uint8_t* out, uint32_t size);
// The full path of this program, and of a file named relative to the current folder; 0 when it
// does not fit.
uint32_t ProgramPath(char* out, uint32_t size);
uint32_t FullPath(const char* path, char* out, uint32_t size);
// GetDriveType's answer for the drive letter a full path starts with, after any \\?\ or \\.\;
// 0 when it has none.
uint32_t DriveType(const char* fullPath);
// GetFileAttributes' answer for a path: INVALID_FILE_ATTRIBUTES (all bits) when it has none.
uint32_t FileAttributes(const char* path);
// The calling thread's last Windows error.
uint32_t LastError();
// Windows' own words for an error, on one line.
void ErrorText(uint32_t error, char* out, uint32_t size);
uint32_t TickCount();
const char* CommandLine();
// Ctrl+C, Ctrl+Break, console close and shutdown signal the returned event, and so does log-off
// for a run on the interactive desktop (AnswerConsoleEvent). Where Windows ends the process once
// the handler returns, the handler waits for StopDone (a few seconds at most) to let the
// session say goodbye first.
uintptr_t WatchStopRequests();
void StopDone();
// Whether the process runs for an interactive logon, as a program on the desktop does; a task
// that runs whether or not anyone is signed in, or a service, does not. Read from the token, not
// the window station: user32 would answer that, but a console program that loads it no longer
// hears log-off and shutdown at all.
int IsInteractiveLogon();
// The index of the signalled event, or kWaitTimedOut when none was within the time (or the
// wait failed).
const uint32_t kWaitTimedOut = 0xFFFFFFFF;
uint32_t WaitForAny(const uintptr_t* events, uint32_t count, uint32_t milliseconds);
void WaitForEvent(uintptr_t event, uint32_t milliseconds);
[[noreturn]] void ExitWith(int code);

#endif
