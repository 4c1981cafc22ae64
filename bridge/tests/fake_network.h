// A broker connection and a console in memory: every connect, send and close, and every log
// line, recorded in order; sent packets are kept as readable lines.
#ifndef VARDEX_BRIDGE_TESTS_FAKE_NETWORK_H
#define VARDEX_BRIDGE_TESTS_FAKE_NETWORK_H

#include "bridge/core/network.h"

#include <string>
#include <vector>

class FakeNetwork final : public Network {
public:
    int refuseConnect = 0;  // Connect fails at once
    int refuseSend = 0;
    int addresses = 1;      // how many the name resolves to
    int opaque = 0;         // sends are TLS records, logged as "send SIZE"
    std::vector<std::string> calls;  // "connect host:port", "next", "close", "shutdown", packets
    std::string sentBytes;           // every byte sent, in order

    int Connect(const char* host, uint16_t port, char* why, uint32_t whySize) override;
    int ConnectNext(char* why, uint32_t whySize) override;
    int Send(const uint8_t* data, uint32_t size) override;
    void Close() override;
    void Shutdown() override { calls.push_back("shutdown"); }
    // The calls since the last Take, cleared.
    std::vector<std::string> Take();
};

class FakeConsole final : public Console {
public:
    std::vector<std::string> lines;
    std::vector<LogLevel> levels;
    void WriteLine(LogLevel level, const char* text) override {
        lines.push_back(text);
        levels.push_back(level);
    }
};

// One packet as a line: its type and what matters of it, e.g.
// "PUBLISH q1 r1 vardex/PC01/status online" or "CONNECT vardex-publish-PC01 will r1 q1 ...".
std::string DescribePacket(const std::string& bytes);

#endif
