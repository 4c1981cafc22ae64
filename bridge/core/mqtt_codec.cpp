// MQTT 3.1.1 packet encoding and the incremental packet reader.
#include "bridge/core/mqtt_codec.h"

#include "bridge/core/text.h"

ByteSpan SpanOf(const char* text) {
    uint32_t size = 0;
    while (text[size] != 0) ++size;
    return ByteSpan{reinterpret_cast<const uint8_t*>(text), size};
}

int SpanEquals(ByteSpan span, const char* text) {
    ByteSpan other = SpanOf(text);
    if (span.size != other.size) return 0;
    for (uint32_t i = 0; i < span.size; ++i) {
        if (span.data[i] != other.data[i]) return 0;
    }
    return 1;
}

namespace {

// Appends to a caller's buffer; once anything has not fitted, the whole packet is void.
struct Writer {
    uint8_t* out;
    uint32_t capacity;
    uint32_t size;
    int failed;

    void Byte(uint8_t value) {
        if (size >= capacity) {
            failed = 1;
            return;
        }
        out[size++] = value;
    }
    void Word(uint16_t value) {
        Byte(static_cast<uint8_t>(value >> 8));
        Byte(static_cast<uint8_t>(value));
    }
    BRIDGE_NOINLINE void Bytes(ByteSpan span) {
        for (uint32_t i = 0; i < span.size; ++i) Byte(span.data[i]);
    }
    void String(ByteSpan span) {
        if (span.size > 0xFFFF) failed = 1;
        Word(static_cast<uint16_t>(span.size));
        Bytes(span);
    }
    void Header(uint8_t first, uint32_t remaining) {
        uint8_t length[4];
        uint32_t count = EncodeRemainingLength(remaining, length);
        if (count == 0) failed = 1;
        Byte(first);
        Bytes(ByteSpan{length, count});
    }
    uint32_t Done() const { return failed ? 0 : size; }
};

uint32_t StringSize(ByteSpan span) { return 2 + span.size; }

}  // namespace

uint32_t EncodeRemainingLength(uint32_t length, uint8_t out[4]) {
    if (length > kMqttMaxRemaining) return 0;
    uint32_t count = 0;
    do {
        uint8_t digit = length % 128;
        length /= 128;
        out[count++] = static_cast<uint8_t>(length > 0 ? digit | 0x80 : digit);
    } while (length > 0);
    return count;
}

uint32_t EncodeConnect(const ConnectOptions* o, uint8_t* out, uint32_t capacity) {
    if (o->willQos < 0 || o->willQos > 1 || (o->hasPassword && !o->hasUser)) return 0;
    uint8_t flags = o->cleanSession ? 0x02 : 0;
    uint32_t remaining = 10 + StringSize(o->clientId);
    if (o->hasWill) {
        flags |= 0x04 | static_cast<uint8_t>(o->willQos << 3) | (o->willRetain ? 0x20 : 0);
        remaining += StringSize(o->willTopic) + StringSize(o->willMessage);
    }
    if (o->hasUser) {
        flags |= 0x80;
        remaining += StringSize(o->user);
    }
    if (o->hasPassword) {
        flags |= 0x40;
        remaining += StringSize(o->password);
    }
    Writer w{out, capacity, 0, 0};
    w.Header(kMqttConnect << 4, remaining);
    w.String(SpanOf("MQTT"));
    w.Byte(4);  // protocol level 4: 3.1.1
    w.Byte(flags);
    w.Word(o->keepAliveSeconds);
    w.String(o->clientId);
    if (o->hasWill) {
        w.String(o->willTopic);
        w.String(o->willMessage);
    }
    if (o->hasUser) w.String(o->user);
    if (o->hasPassword) w.String(o->password);
    return w.Done();
}

uint32_t EncodePublish(ByteSpan topic, ByteSpan payload, int qos, int retain, uint16_t packetId,
                       uint8_t* out, uint32_t capacity) {
    if (qos < 0 || qos > 1 || (qos > 0 && packetId == 0)) return 0;
    uint32_t remaining = StringSize(topic) + (qos > 0 ? 2 : 0) + payload.size;
    Writer w{out, capacity, 0, 0};
    w.Header(static_cast<uint8_t>(kMqttPublish << 4 | qos << 1 | (retain ? 1 : 0)), remaining);
    w.String(topic);
    if (qos > 0) w.Word(packetId);
    w.Bytes(payload);
    return w.Done();
}

uint32_t EncodeSubscribe(uint16_t packetId, ByteSpan filter, int qos, uint8_t* out,
                         uint32_t capacity) {
    if (packetId == 0 || qos < 0 || qos > 1) return 0;
    Writer w{out, capacity, 0, 0};
    // SUBSCRIBE's reserved flags are 0010.
    w.Header(kMqttSubscribe << 4 | 0x02, 2 + StringSize(filter) + 1);
    w.Word(packetId);
    w.String(filter);
    w.Byte(static_cast<uint8_t>(qos));
    return w.Done();
}

uint32_t EncodePuback(uint16_t packetId, uint8_t* out, uint32_t capacity) {
    Writer w{out, capacity, 0, 0};
    w.Header(kMqttPuback << 4, 2);
    w.Word(packetId);
    return w.Done();
}

BRIDGE_NOINLINE uint32_t EncodeEmpty(uint8_t type, uint8_t* out, uint32_t capacity) {
    Writer w{out, capacity, 0, 0};
    w.Header(static_cast<uint8_t>(type << 4), 0);
    return w.Done();
}

namespace {

const int kPhaseHeader = 0;
const int kPhaseLength = 1;
const int kPhaseBody = 2;
const int kPhaseDone = 3;

// A body larger than the reader keeps is fine only for PUBLISH.
int BodyFits(const PacketReader* reader) {
    return reader->remaining <= kReaderCapacity || (reader->header >> 4) == kMqttPublish;
}

}  // namespace

ReadResult ReadPacket(PacketReader* r, const uint8_t* data, uint32_t size, uint32_t* used) {
    if (r->phase == kPhaseDone) r->phase = kPhaseHeader;
    uint32_t at = 0;
    ReadResult result = kReadMore;
    while (result == kReadMore && (at < size || r->phase == kPhaseBody)) {
        if (r->phase == kPhaseHeader) {
            r->header = data[at++];
            r->remaining = 0;
            r->lengthShift = 0;
            r->received = 0;
            r->phase = kPhaseLength;
        } else if (r->phase == kPhaseLength) {
            uint8_t digit = data[at++];
            r->remaining |= static_cast<uint32_t>(digit & 0x7F) << r->lengthShift;
            r->lengthShift += 7;
            if (digit & 0x80) {
                // A fourth byte may not ask for a fifth.
                if (r->lengthShift >= 28) result = kReadMalformed;
            } else if (!BodyFits(r)) {
                result = kReadMalformed;
            } else {
                r->phase = kPhaseBody;
            }
        } else {
            uint32_t left = r->remaining - r->received;
            if (left == 0) {
                r->phase = kPhaseDone;
                result = kReadPacket;
                break;
            }
            uint32_t take = size - at < left ? size - at : left;
            if (take == 0) break;
            int publish = (r->header >> 4) == kMqttPublish;
            for (uint32_t i = 0; i < take; ++i) {
                uint32_t position = r->received + i;
                if (position < kReaderCapacity) r->body[position] = data[at + i];
                // The packet identifier may lie beyond what is kept, after a long topic.
                if (publish && position >= 2) {
                    uint32_t after = 2 + (static_cast<uint32_t>(r->body[0]) << 8 | r->body[1]);
                    if (position == after || position == after + 1) {
                        r->publishId[position - after] = data[at + i];
                    }
                }
            }
            r->received += take;
            at += take;
        }
    }
    if (result == kReadMalformed) r->phase = kPhaseHeader;
    *used = at;
    return result;
}

namespace {

uint32_t Kept(const PacketReader* r) {
    return r->remaining < kReaderCapacity ? r->remaining : kReaderCapacity;
}

uint16_t WordAt(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

int DecodeConnack(const PacketReader* r, Connack* connack) {
    if (r->header != (kMqttConnack << 4) || r->remaining != 2 || (r->body[0] & 0xFE) != 0) {
        return 0;
    }
    connack->sessionPresent = r->body[0] & 1;
    connack->returnCode = r->body[1];
    return 1;
}

int DecodePublish(const PacketReader* r, InboundPublish* p) {
    if ((r->header >> 4) != kMqttPublish) return 0;
    p->qos = (r->header >> 1) & 3;
    p->retain = r->header & 1;
    p->duplicate = (r->header >> 3) & 1;
    if (p->qos > 1) return 0;  // the bridge subscribes at QoS 1, so a broker never sends 2
    uint32_t kept = Kept(r);
    if (kept < 2) return 0;
    uint32_t topicSize = WordAt(r->body);
    uint32_t headSize = 2 + topicSize + (p->qos > 0 ? 2 : 0);
    if (topicSize == 0 || headSize > r->remaining) return 0;
    p->packetId = p->qos > 0 ? WordAt(r->publishId) : 0;
    if (p->qos > 0 && p->packetId == 0) return 0;
    uint32_t topicKept = topicSize < kept - 2 ? topicSize : kept - 2;
    for (uint32_t i = 0; i < topicKept; ++i) {
        uint8_t c = r->body[2 + i];
        if (c == '+' || c == '#' || c == 0) return 0;
    }
    // A topic longer than the reader keeps is none the bridge subscribed to: the packet is
    // read through and acknowledged, its content dropped.
    p->topicTruncated = headSize > kept;
    p->truncated = r->remaining > kept;
    if (p->topicTruncated) {
        p->topic = ByteSpan{r->body + 2, 0};
        p->payload = ByteSpan{r->body + 2, 0};
        return 1;
    }
    p->topic = ByteSpan{r->body + 2, topicSize};
    p->payload = ByteSpan{r->body + headSize, kept - headSize};
    return 1;
}

int DecodeSuback(const PacketReader* r, uint16_t* packetId, uint8_t* returnCode) {
    if (r->header != (kMqttSuback << 4) || r->remaining < 3) return 0;
    *packetId = WordAt(r->body);
    *returnCode = r->body[2];
    return *returnCode <= 2 || *returnCode == 0x80;
}

int DecodePuback(const PacketReader* r, uint16_t* packetId) {
    if (r->header != (kMqttPuback << 4) || r->remaining != 2) return 0;
    *packetId = WordAt(r->body);
    return 1;
}
