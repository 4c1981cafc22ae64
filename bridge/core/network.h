// The bridge's connection to the broker and its log, behind small interfaces.
//
// The real ones (bridge/platform/win32) use Winsock and the console or the Event Log; tests use
// recording fakes.
#ifndef VARDEX_BRIDGE_CORE_NETWORK_H
#define VARDEX_BRIDGE_CORE_NETWORK_H

#include <stdint.h>

// Abstract so it can be mocked out for tests. One connection at a time: Connect while one is
// open closes it first.
struct Network {
    // Resolves host and starts connecting to its first address. Returns how many addresses the
    // name has (at least 1) when under way, and the session then hears BridgeConnected or
    // BridgeConnectFailed; 0 when it failed at once (the name did not resolve, no socket), with
    // a reason in why.
    virtual int Connect(const char* host, uint16_t port, char* why, uint32_t whySize) = 0;
    // Gives up on the address being tried and starts on the name's next one: 1 when under way,
    // 0 when none is left or none could be started (why says so).
    virtual int ConnectNext(char* why, uint32_t whySize) = 0;
    // Sends all of the bytes or returns 0: a connection that cannot take a few hundred bytes is
    // as good as lost.
    virtual int Send(const uint8_t* data, uint32_t size) = 0;
    virtual void Close() = 0;
    // A goodbye: no more sending, what the broker still sends is read and dropped for a moment,
    // then the connection closes. A socket closed with unread bytes would end in a reset, which
    // a broker may take for a lost client.
    virtual void Shutdown() = 0;

protected:
    ~Network() = default;
};

// The raw connection's events as the entry hands them on: to the session itself, or to a stage
// in front of it (TLS) that tells the session in turn. Abstract so that the entry hands every
// event to one place, whichever it is.
struct LinkEvents {
    virtual void Connected(uint32_t now) = 0;
    virtual void Received(const uint8_t* data, uint32_t size, uint32_t now) = 0;
    virtual void Closed(uint32_t now, const char* why) = 0;
    virtual void ConnectFailed(uint32_t now, const char* why) = 0;

protected:
    ~LinkEvents() = default;
};

enum LogLevel { kLogInfo, kLogWarning, kLogError };

struct Console {
    // One line of the log, without its line end.
    virtual void WriteLine(LogLevel level, const char* text) = 0;

protected:
    ~Console() = default;
};

#endif
