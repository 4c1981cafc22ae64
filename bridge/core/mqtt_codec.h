// MQTT 3.1.1 packets: the ones the bridge sends, built into the caller's buffer, and an
// incremental reader with decoders for the ones a broker sends back.
//
// No I/O here: bytes in, bytes out. The session (bridge_session) decides what to send; the
// platform moves the bytes.
#ifndef VARDEX_BRIDGE_CORE_MQTT_CODEC_H
#define VARDEX_BRIDGE_CORE_MQTT_CODEC_H

#include <stdint.h>

// A run of bytes the caller owns.
struct ByteSpan {
    const uint8_t* data;
    uint32_t size;
};

ByteSpan SpanOf(const char* text);
int SpanEquals(ByteSpan span, const char* text);

// Packet types, as the first byte's high nibble carries them.
const uint8_t kMqttConnect = 1;
const uint8_t kMqttConnack = 2;
const uint8_t kMqttPublish = 3;
const uint8_t kMqttPuback = 4;
const uint8_t kMqttSubscribe = 8;
const uint8_t kMqttSuback = 9;
const uint8_t kMqttPingreq = 12;
const uint8_t kMqttPingresp = 13;
const uint8_t kMqttDisconnect = 14;

// The largest remaining length the protocol can express.
const uint32_t kMqttMaxRemaining = 268435455;

struct ConnectOptions {
    ByteSpan clientId;
    uint16_t keepAliveSeconds;
    int cleanSession;
    int hasWill;  // the will's topic and message follow, with its QoS and retain flag
    ByteSpan willTopic;
    ByteSpan willMessage;
    int willQos;
    int willRetain;
    int hasUser;
    ByteSpan user;
    int hasPassword;  // the protocol allows a password only beside a user name
    ByteSpan password;
};

// Each encoder writes one whole packet into out and returns its length, or returns 0 when it
// does not fit capacity or its fields break the protocol's rules (a string over 65535 bytes, a
// QoS above 1 here, a packet identifier 0 where one is needed).
uint32_t EncodeRemainingLength(uint32_t length, uint8_t out[4]);
uint32_t EncodeConnect(const ConnectOptions* options, uint8_t* out, uint32_t capacity);
uint32_t EncodePublish(ByteSpan topic, ByteSpan payload, int qos, int retain, uint16_t packetId,
                       uint8_t* out, uint32_t capacity);
uint32_t EncodeSubscribe(uint16_t packetId, ByteSpan filter, int qos, uint8_t* out,
                         uint32_t capacity);
uint32_t EncodePuback(uint16_t packetId, uint8_t* out, uint32_t capacity);
// PINGREQ and DISCONNECT: a type and a remaining length of 0.
uint32_t EncodeEmpty(uint8_t type, uint8_t* out, uint32_t capacity);

// Room for a PUBLISH's topic, identifier and a report with plenty to spare; the reader keeps at
// most this much of any packet and counts the rest, so no buffer grows with input.
const uint32_t kReaderCapacity = 512;

struct PacketReader {
    int phase;                // which part of a packet comes next; 0 at the start of one
    uint8_t header;           // the fixed header's first byte
    uint32_t remaining;       // the body's length as the header gave it
    uint32_t lengthShift;     // where the next length byte's seven bits go
    uint32_t received;        // body bytes seen so far
    uint8_t body[kReaderCapacity];  // the first kReaderCapacity bytes of the body
    uint8_t publishId[2];     // PUBLISH: the two bytes after the topic, wherever they fall
};

enum ReadResult { kReadMore, kReadPacket, kReadMalformed };

// Consumes bytes until one packet is complete (kReadPacket: header, remaining and body hold it;
// the next call starts the next packet) or the bytes run out (kReadMore). *used says how many
// bytes were consumed. kReadMalformed: the stream cannot be trusted any further; a body larger
// than kReaderCapacity is malformed for every type but PUBLISH, whose excess is counted, not kept.
ReadResult ReadPacket(PacketReader* reader, const uint8_t* data, uint32_t size, uint32_t* used);

struct Connack {
    int sessionPresent;
    int returnCode;  // 0 accepted; 4 bad user name or password, 5 not authorised
};

struct InboundPublish {
    int qos;
    int retain;
    int duplicate;
    ByteSpan topic;
    uint16_t packetId;  // 0 for QoS 0
    ByteSpan payload;   // what the reader kept of it
    int truncated;      // 1 when the payload was longer than the reader keeps
    int topicTruncated; // 1 when the topic was: topic and payload are then empty
};

// Each decoder reads the packet the reader holds; 0 means it breaks the protocol. A PUBLISH
// too large to keep is not broken: it decodes, marked truncated, so it can be acknowledged.
int DecodeConnack(const PacketReader* reader, Connack* connack);
int DecodePublish(const PacketReader* reader, InboundPublish* publish);
// The first return code of a SUBACK for one filter: 0-2 the granted QoS, 0x80 failure.
int DecodeSuback(const PacketReader* reader, uint16_t* packetId, uint8_t* returnCode);
int DecodePuback(const PacketReader* reader, uint16_t* packetId);

inline uint8_t PacketType(const PacketReader* reader) { return reader->header >> 4; }

#endif
