// MQTT packets byte for byte against the 3.1.1 standard's encodings, and the reader on whole,
// split, oversized and malformed input.
#include "bridge/core/mqtt_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Hex(const uint8_t* data, uint32_t size) {
    std::string out;
    char byte[4];
    for (uint32_t i = 0; i < size; ++i) {
        snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        out += byte;
    }
    return out;
}

std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 3) out.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

TEST(MqttCodec, RemainingLength) {
    const struct {
        uint32_t length;
        const char* bytes;
    } cases[] = {
        {0, "00"}, {127, "7F"}, {128, "80 01"}, {16383, "FF 7F"}, {16384, "80 80 01"},
        {2097151, "FF FF 7F"}, {2097152, "80 80 80 01"}, {268435455, "FF FF FF 7F"},
        {268435456, ""},  // past the protocol's limit
    };
    for (const auto& c : cases) {
        uint8_t out[4] = {};
        EXPECT_EQ(Hex(out, EncodeRemainingLength(c.length, out)), c.bytes) << c.length;
    }
}

TEST(MqttCodec, PacketsByteForByte) {
    uint8_t out[400] = {};
    ConnectOptions minimal = {};
    minimal.clientId = SpanOf("a");
    minimal.keepAliveSeconds = 30;
    minimal.cleanSession = 1;
    ConnectOptions everything = minimal;
    everything.clientId = SpanOf("c");
    everything.keepAliveSeconds = 60;
    everything.hasWill = 1;
    everything.willTopic = SpanOf("t");
    everything.willMessage = SpanOf("m");
    everything.willQos = 1;
    everything.willRetain = 1;
    everything.hasUser = 1;
    everything.user = SpanOf("u");
    everything.hasPassword = 1;
    everything.password = SpanOf("p");
    ConnectOptions userOnly = minimal;
    userOnly.clientId = SpanOf("c");
    userOnly.hasUser = 1;
    userOnly.user = SpanOf("u");
    ConnectOptions passwordOnly = minimal;
    passwordOnly.hasPassword = 1;
    passwordOnly.password = SpanOf("p");

    // Each row encodes as the table is built; its bytes are read at once, in order.
    const struct {
        const char* name;
        std::string got;
        const char* bytes;
    } cases[] = {
        {"CONNECT, clean, no will or user", Hex(out, EncodeConnect(&minimal, out, sizeof out)),
         "10 0D 00 04 4D 51 54 54 04 02 00 1E 00 01 61"},
        {"CONNECT with will (QoS 1, retained), user and password",
         Hex(out, EncodeConnect(&everything, out, sizeof out)),
         "10 19 00 04 4D 51 54 54 04 EE 00 3C 00 01 63 00 01 74 00 01 6D 00 01 75 00 01 70"},
        {"CONNECT with a user and no password", Hex(out, EncodeConnect(&userOnly, out, sizeof out)),
         "10 10 00 04 4D 51 54 54 04 82 00 1E 00 01 63 00 01 75"},
        {"CONNECT with a password and no user",
         Hex(out, EncodeConnect(&passwordOnly, out, sizeof out)), ""},
        {"PUBLISH QoS 0",
         Hex(out, EncodePublish(SpanOf("a/b"), SpanOf("hi"), 0, 0, 0, out, sizeof out)),
         "30 07 00 03 61 2F 62 68 69"},
        {"PUBLISH QoS 1, retained, id 10",
         Hex(out, EncodePublish(SpanOf("a/b"), SpanOf("hi"), 1, 1, 10, out, sizeof out)),
         "33 09 00 03 61 2F 62 00 0A 68 69"},
        {"PUBLISH QoS 1 without an id",
         Hex(out, EncodePublish(SpanOf("a"), SpanOf(""), 1, 0, 0, out, 64)), ""},
        {"PUBLISH QoS 2", Hex(out, EncodePublish(SpanOf("a"), SpanOf(""), 2, 0, 5, out, 64)), ""},
        {"PUBLISH that does not fit",
         Hex(out, EncodePublish(SpanOf("a/b"), SpanOf("hi"), 0, 0, 0, out, 8)), ""},
        {"SUBSCRIBE QoS 1", Hex(out, EncodeSubscribe(1, SpanOf("a/+"), 1, out, sizeof out)),
         "82 08 00 01 00 03 61 2F 2B 01"},
        {"PUBACK", Hex(out, EncodePuback(7, out, sizeof out)), "40 02 00 07"},
        {"PINGREQ", Hex(out, EncodeEmpty(kMqttPingreq, out, sizeof out)), "C0 00"},
        {"DISCONNECT", Hex(out, EncodeEmpty(kMqttDisconnect, out, sizeof out)), "E0 00"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.bytes) << c.name;

    // A payload past 127 bytes takes a two-byte length.
    std::string payload(200, 'x');
    uint32_t size = EncodePublish(SpanOf("t"), SpanOf(payload.c_str()), 0, 0, 0, out, sizeof out);
    EXPECT_EQ(size, 206u);
    EXPECT_EQ(Hex(out, 3), "30 CB 01");
}

// Feeds a stream, chunk bytes at a time, and describes every packet or failure it yields.
std::vector<std::string> ReadAll(const std::vector<uint8_t>& stream, size_t chunk) {
    PacketReader reader = {};
    std::vector<std::string> out;
    for (size_t at = 0; at < stream.size(); at += chunk) {
        uint32_t size = static_cast<uint32_t>(std::min(chunk, stream.size() - at));
        const uint8_t* data = stream.data() + at;
        while (size > 0) {
            uint32_t used = 0;
            ReadResult result = ReadPacket(&reader, data, size, &used);
            data += used;
            size -= used;
            if (result == kReadMalformed) return out.push_back("malformed"), out;
            if (result != kReadPacket) continue;
            InboundPublish p;
            uint16_t id;
            uint8_t code;
            Connack connack;
            std::string line = "type " + std::to_string(PacketType(&reader)) + " length " +
                               std::to_string(reader.remaining);
            if (PacketType(&reader) == kMqttPublish && DecodePublish(&reader, &p)) {
                line += " topic " + std::string(reinterpret_cast<const char*>(p.topic.data), p.topic.size) +
                        " id " + std::to_string(p.packetId) + " kept " + std::to_string(p.payload.size) +
                        (p.truncated ? " truncated" : "") + (p.retain ? " retained" : "");
            } else if (PacketType(&reader) == kMqttSuback && DecodeSuback(&reader, &id, &code)) {
                line += " code " + std::to_string(code);
            } else if (PacketType(&reader) == kMqttConnack && DecodeConnack(&reader, &connack)) {
                line += " code " + std::to_string(connack.returnCode);
            } else if (PacketType(&reader) != kMqttPingresp) {
                line += " undecodable";
            }
            out.push_back(line);
        }
    }
    return out;
}

TEST(MqttCodec, ReaderWholeAndSplit) {
    std::vector<uint8_t> stream = Bytes(
        "20 02 00 05 D0 00 90 03 00 01 80 90 03 00 02 01 "
        "33 0A 00 03 61 2F 62 00 07 68 69 00 ");
    // A PUBLISH of 1000 bytes: kept up to the reader's capacity, the rest counted.
    std::vector<uint8_t> big = Bytes("30 E8 07 00 01 74 ");
    big.resize(3 + 1000, 'x');
    stream.insert(stream.end(), big.begin(), big.end());
    // A QoS 1 PUBLISH whose 600-byte topic passes what is kept: read through, its identifier
    // found beyond the kept bytes, so it can be acknowledged.
    std::vector<uint8_t> longTopic = Bytes("32 DE 04 02 58 ");
    longTopic.resize(5 + 600, 'v');
    for (uint8_t b : Bytes("12 34 68 69 ")) longTopic.push_back(b);
    stream.insert(stream.end(), longTopic.begin(), longTopic.end());
    std::vector<uint8_t> tail = Bytes("D0 00 ");
    stream.insert(stream.end(), tail.begin(), tail.end());
    const std::vector<std::string> expected = {
        "type 2 length 2 code 5",
        "type 13 length 0",
        "type 9 length 3 code 128",
        "type 9 length 3 code 1",
        "type 3 length 10 topic a/b id 7 kept 3 retained",
        "type 3 length 1000 topic t id 0 kept 509 truncated",
        "type 3 length 606 topic  id 4660 kept 0 truncated",
        "type 13 length 0",
    };
    for (size_t chunk : {stream.size(), size_t{1}, size_t{2}, size_t{7}, size_t{300}}) {
        EXPECT_EQ(ReadAll(stream, chunk), expected) << "in chunks of " << chunk;
    }
}

TEST(MqttCodec, ReaderRefusesWhatBreaksTheProtocol) {
    const struct {
        const char* name;
        const char* bytes;
        const char* result;
    } cases[] = {
        {"a fifth length byte", "30 FF FF FF FF 01", "malformed"},
        {"a CONNACK longer than the reader keeps", "20 D8 04", "malformed"},
        {"CONNACK with reserved flags", "20 02 02 00", "type 2 length 2 undecodable"},
        {"CONNACK of three bytes", "20 03 00 00 00", "type 2 length 3 undecodable"},
        {"CONNACK with header flags", "21 02 00 00", "type 2 length 2 undecodable"},
        {"PUBLISH at QoS 3", "36 05 00 01 74 00 01", "type 3 length 5 undecodable"},
        {"PUBLISH at QoS 2", "34 05 00 01 74 00 01", "type 3 length 5 undecodable"},
        {"PUBLISH to a wildcard topic", "30 04 00 01 23 78", "type 3 length 4 undecodable"},
        {"PUBLISH with an empty topic", "30 03 00 00 78", "type 3 length 3 undecodable"},
        {"PUBLISH QoS 1 with id 0", "32 05 00 01 74 00 00", "type 3 length 5 undecodable"},
        {"PUBLISH whose topic overruns it", "30 04 00 09 74 74", "type 3 length 4 undecodable"},
        {"SUBACK with an unknown code", "90 03 00 01 03", "type 9 length 3 undecodable"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> stream = Bytes(std::string(c.bytes) + " ");
        std::vector<std::string> got = ReadAll(stream, stream.size());
        ASSERT_EQ(got.size(), 1u) << c.name;
        EXPECT_EQ(got[0], c.result) << c.name;
    }
}

}  // namespace
