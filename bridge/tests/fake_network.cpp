// The recording network the session tests run against.
#include "bridge/tests/fake_network.h"

#include <stdio.h>

int FakeNetwork::Connect(const char* host, uint16_t port, char* why, uint32_t whySize) {
    calls.push_back("connect " + std::string(host) + ":" + std::to_string(port));
    if (refuseConnect) snprintf(why, whySize, "no such host");
    return refuseConnect ? 0 : addresses;
}

int FakeNetwork::ConnectNext(char* why, uint32_t whySize) {
    calls.push_back("next");
    snprintf(why, whySize, "no address left");
    return 1;
}

int FakeNetwork::Send(const uint8_t* data, uint32_t size) {
    if (refuseSend) return 0;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    sentBytes += bytes;
    calls.push_back(opaque ? "send " + std::to_string(size) : DescribePacket(bytes));
    return 1;
}

void FakeNetwork::Close() { calls.push_back("close"); }

std::vector<std::string> FakeNetwork::Take() {
    std::vector<std::string> taken;
    taken.swap(calls);
    return taken;
}

namespace {

// Reads a length-prefixed string at at, moving at past it.
std::string Field(const std::string& b, size_t* at) {
    size_t size = static_cast<uint8_t>(b[*at]) << 8 | static_cast<uint8_t>(b[*at + 1]);
    std::string out = b.substr(*at + 2, size);
    *at += 2 + size;
    return out;
}

}  // namespace

std::string DescribePacket(const std::string& b) {
    uint8_t first = static_cast<uint8_t>(b[0]);
    size_t at = 1;
    while (static_cast<uint8_t>(b[at]) & 0x80) ++at;
    ++at;  // past the remaining length
    switch (first >> 4) {
        case 1: {
            at += 7;  // "MQTT" and the level
            uint8_t flags = static_cast<uint8_t>(b[at]);
            int keepAlive = static_cast<uint8_t>(b[at + 1]) << 8 | static_cast<uint8_t>(b[at + 2]);
            at += 3;
            std::string line = "CONNECT " + Field(b, &at) + " keepalive " +
                               std::to_string(keepAlive) + (flags & 2 ? " clean" : "");
            if (flags & 4) {
                std::string topic = Field(b, &at);
                line += " will r" + std::to_string(flags >> 5 & 1) + " q" +
                        std::to_string(flags >> 3 & 3) + " " + topic + " " + Field(b, &at);
            }
            if (flags & 0x80) line += " user " + Field(b, &at);
            if (flags & 0x40) line += " password " + Field(b, &at);
            return line;
        }
        case 3: {
            int qos = first >> 1 & 3;
            std::string topic = Field(b, &at);
            if (qos > 0) at += 2;
            std::string payload = b.substr(at);
            for (char& c : payload) {
                if (c == 0) c = '@';  // a NUL shows as @
            }
            return "PUBLISH q" + std::to_string(qos) + " r" + std::to_string(first & 1) + " " +
                   topic + " " + payload;
        }
        case 4: return "PUBACK " + std::to_string(static_cast<uint8_t>(b[at]) << 8 |
                                                  static_cast<uint8_t>(b[at + 1]));
        case 8: {
            at += 2;
            std::string filter = Field(b, &at);
            return "SUBSCRIBE " + filter + " q" + std::to_string(b[at]);
        }
        case 12: return "PINGREQ";
        case 14: return "DISCONNECT";
        default: return "packet type " + std::to_string(first >> 4);
    }
}
