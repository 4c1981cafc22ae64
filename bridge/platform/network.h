// The bridge's connection to the broker and its log, behind small interfaces.
//
// The real ones (bridge/platform/win32) use Winsock and the console; tests use recording fakes.
#ifndef VARDEX_BRIDGE_PLATFORM_NETWORK_H
#define VARDEX_BRIDGE_PLATFORM_NETWORK_H

#include <stdint.h>

// Abstract so it can be mocked out for tests. One connection at a time: Connect while one is
// open closes it first.
struct Network {
    // Starts connecting to host:port. Returns 1 when under way, and the session then hears
    // BridgeConnected or BridgeConnectFailed; 0 when it failed at once (the name did not
    // resolve, no socket), with a reason in why.
    virtual int Connect(const char* host, uint16_t port, char* why, uint32_t whySize) = 0;
    // Sends all of the bytes or returns 0: a connection that cannot take a few hundred bytes is
    // as good as lost.
    virtual int Send(const uint8_t* data, uint32_t size) = 0;
    virtual void Close() = 0;

protected:
    ~Network() = default;
};

struct Console {
    // One line of the log, without its line end.
    virtual void WriteLine(const char* text) = 0;

protected:
    ~Console() = default;
};

#endif
