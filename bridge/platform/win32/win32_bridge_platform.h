// The bridge's real platform: Winsock for the broker, the console for the log, and the local
// mailslot as its owner (publish); deliver writes to it through the relay's Win32MailslotClient.
//
// The objects live on the entry's stack: without a C runtime, no constructor of a global runs.
//
// Declared without Windows types; only win32_bridge_platform.cpp includes the Windows headers.
#ifndef VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_BRIDGE_PLATFORM_H
#define VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_BRIDGE_PLATFORM_H

#include "bridge/platform/network.h"

#include <stdint.h>

// What the socket's event said, for the entry to hand on to the session.
enum NetworkEvent { kNetNothing, kNetConnected, kNetConnectFailed, kNetData, kNetClosed };

struct Win32Network final : Network {
    int Connect(const char* host, uint16_t port, char* why, uint32_t whySize) override;
    int Send(const uint8_t* data, uint32_t size) override;
    void Close() override;

    // Starts Winsock and makes the event the socket signals; 0 when Winsock is not there.
    int Start();
    uintptr_t Event() const { return event; }
    // After the event fired: what happened. A failed connect tries the name's next address
    // before it says kNetConnectFailed. kNetData leaves bytes in Received(); call again until
    // it says something else.
    NetworkEvent Take(char* why, uint32_t whySize);
    const uint8_t* Received() const;
    uint32_t receivedSize = 0;

private:
    int TryNext(char* why, uint32_t whySize);
    uintptr_t socket = ~uintptr_t{0};
    uintptr_t event = 0;
    int closeSeen = 0;
    void* addresses = nullptr;  // the resolved list, and the one being tried
    void* next = nullptr;
};

struct Win32Console final : Console {
    void WriteLine(const char* text) override;
};

// Owns the local mailslot and reads it on a thread of its own, one datagram at a time: the
// thread blocks in ReadFile, hands each datagram over through Ready() and waits until Taken().
struct SlotReader {
    // 0 when the mailslot cannot be created (another program owns it).
    int Start();
    uintptr_t Ready() const { return ready; }
    void Taken();
    const uint8_t* Data() const;
    uint32_t Size() const;

    uintptr_t slot = 0;
    uintptr_t ready = 0;
    uintptr_t taken = 0;
};

// The process's odds and ends: standard error, the computer name, the environment, a small
// file, the tick count, the stop request from the console.
void WriteError(const char* text);
// Text to standard output as it is (the usage, the version).
void WriteOut(const char* text);
int ComputerName(char* out, uint32_t size);
// The variable's value, or -1 when it is not set, -2 when it is longer than size - 1.
int EnvironmentValue(const char* name, char* out, uint32_t size);
// The file's first line, or -1 when it cannot be read, -2 when the line is longer than size - 1.
int FirstLineOf(const char* path, char* out, uint32_t size);
uint32_t TickCount();
const char* CommandLine();
// Ctrl+C, Ctrl+Break, console close, log-off and shutdown all signal the returned event. For
// the last three Windows ends the process once the handler returns, so the handler waits for
// StopDone (a few seconds at most) to let the session say goodbye first.
uintptr_t WatchStopRequests();
void StopDone();
// 0 (signalled index) .. count - 1, or count on timeout.
uint32_t WaitForAny(const uintptr_t* events, uint32_t count, uint32_t milliseconds);
[[noreturn]] void ExitWith(int code);

#endif
