// The bridge's session: connection life cycle with backoff and keepalive, and each role's work.
#include "bridge/core/bridge_session.h"

#include "bridge/core/text.h"

Network* bridgeNetwork;
MailslotClient* bridgeMailslots;
Console* bridgeConsole;

const char kLocalSlot[] = "\\\\.\\mailslot\\VARDslot";

namespace {

const char kHomeAssistantStatus[] = "homeassistant/status";
const char* const kSensorKey[2] = {"cpu", "mb"};
const char* const kSensorName[2] = {"CPU temperature", "Motherboard temperature"};

// Whether the tick count now has reached at, across a wrap.
int Due(uint32_t now, uint32_t at) { return static_cast<int32_t>(now - at) >= 0; }

uint32_t Until(uint32_t now, uint32_t at) { return Due(now, at) ? 0 : at - now; }

uint32_t KeepAliveMs(const BridgeState* s) { return s->config->keepAliveSeconds * 1000u; }

void Log(const char* first, const char* second = "", const char* third = "") {
    char line[512];
    TextBuilder text = {line, sizeof line, 0, 0};
    AppendText(&text, first);
    AppendText(&text, second);
    AppendText(&text, third);
    if (FinishText(&text) == 0) {
        // Too long to say whole (a long host name): say the start.
        TextBuilder start = {line, sizeof line, 0, 0};
        AppendText(&start, first);
        FinishText(&start);
    }
    bridgeConsole->WriteLine(line);
}

void LogCount(const char* first, uint32_t count, const char* last) {
    char number[12];
    TextBuilder text = {number, sizeof number, 0, 0};
    AppendInt(&text, static_cast<int32_t>(count & 0x7FFFFFFF));
    FinishText(&text);
    Log(first, number, last);
}

// A topic built from parts into a field of kTopicCapacity; 0 when it does not fit.
int BuildTopic(char* field, const char* a, const char* b, const char* c, const char* d = "") {
    TextBuilder text = {field, kTopicCapacity, 0, 0};
    AppendText(&text, a);
    AppendText(&text, b);
    AppendText(&text, c);
    AppendText(&text, d);
    return FinishText(&text) != 0;
}

// Home Assistant takes only [A-Za-z0-9_-] in a discovery topic's object id.
void AppendObjectId(TextBuilder* text, const char* name) {
    for (const char* p = name; *p != 0; ++p) {
        char c = *p;
        int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
        char kept = plain ? c : '_';
        AppendBytes(text, reinterpret_cast<const uint8_t*>(&kept), 1);
    }
}

uint32_t NextJitter(BridgeState* s) {
    // xorshift32: spread enough for jitter, and the same sequence for the same seed in tests.
    uint32_t x = s->random;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s->random = x;
    return x;
}

uint16_t NextPacketId(BridgeState* s) {
    s->lastPacketId = static_cast<uint16_t>(s->lastPacketId == 0xFFFF ? 1 : s->lastPacketId + 1);
    return s->lastPacketId;
}

void ScheduleReconnect(BridgeState* s, uint32_t now) {
    // Up to a quarter less than the base, so that bridges that lost one broker together do not
    // come back together, and no wait passes the base.
    uint32_t wait = s->backoffMs - NextJitter(s) % (s->backoffMs / 4 + 1);
    s->link = kLinkWaiting;
    s->dueAt = now + wait;
    s->backoffMs = s->backoffMs * 2 > kBackoffMaxMs ? kBackoffMaxMs : s->backoffMs * 2;
    s->reader.phase = 0;
}

void Fail(BridgeState* s, uint32_t now, const char* what, const char* why) {
    bridgeNetwork->Close();
    if (!s->downLogged) {
        Log(what, why, "; reconnecting with backoff (1 s doubling to 60 s)");
        s->downLogged = 1;
    }
    ScheduleReconnect(s, now);
}

void Lost(BridgeState* s, uint32_t now, const char* why) {
    Fail(s, now, "connection to the broker lost: ", why);
}

void Finish(BridgeState* s, int exitCode) {
    bridgeNetwork->Close();
    s->link = kLinkClosed;
    s->exitCode = exitCode;
}

// Sends what the encoder left in out; on failure the link is lost and 0 comes back.
int SendOut(BridgeState* s, uint32_t size, uint32_t now) {
    if (size == 0 || !bridgeNetwork->Send(s->out, size)) {
        Lost(s, now, size == 0 ? "a packet did not fit its buffer" : "send failed");
        return 0;
    }
    s->lastSentAt = now;
    return 1;
}

int Publish(BridgeState* s, const char* topic, ByteSpan payload, int retain, uint32_t now) {
    uint32_t size = EncodePublish(SpanOf(topic), payload, 1, retain, NextPacketId(s), s->out,
                                  kOutCapacity);
    return SendOut(s, size, now);
}

int PublishDiscovery(BridgeState* s, uint32_t now) {
    for (int sensor = 0; sensor < 2; ++sensor) {
        uint32_t size = FormatDiscovery(s, sensor, s->scratch, sizeof s->scratch);
        ByteSpan span = {reinterpret_cast<const uint8_t*>(s->scratch), size};
        if (size == 0 || !Publish(s, s->discoveryTopic[sensor], span, 1, now)) return 0;
    }
    return 1;
}

int PublishState(BridgeState* s, uint32_t now) {
    char json[40];
    uint32_t size = FormatStateJson(&s->latest, json, sizeof json);
    return Publish(s, s->stateTopic, ByteSpan{reinterpret_cast<const uint8_t*>(json), size}, 1,
                   now);
}

void CountDrop(BridgeState* s, uint32_t now, const char* what) {
    ++s->dropped;
    if (!s->dropEverLogged || now - s->dropLoggedAt >= kDropLogIntervalMs) {
        LogCount("dropped ", s->dropped - s->droppedLogged, what);
        s->droppedLogged = s->dropped;
        s->dropLoggedAt = now;
        s->dropEverLogged = 1;
    }
}

void Accepted(BridgeState* s, uint32_t now) {
    s->link = kLinkUp;
    s->backoffMs = kBackoffFirstMs;
    s->pingOutstanding = 0;
    s->lastHeardAt = now;
    Log("connected to ", s->config->host);
    s->downLogged = 0;
    if (s->config->role == kRoleDeliver) {
        uint32_t size = EncodeSubscribe(NextPacketId(s), SpanOf(s->reportTopic), 1, s->out,
                                        kOutCapacity);
        SendOut(s, size, now);
        return;
    }
    // Status first, so that the sensors are available the moment they are announced.
    if (!Publish(s, s->statusTopic, SpanOf("online"), 1, now)) return;
    if (s->config->discovery) {
        if (!PublishDiscovery(s, now)) return;
        uint32_t size = EncodeSubscribe(NextPacketId(s), SpanOf(kHomeAssistantStatus), 1, s->out,
                                        kOutCapacity);
        if (!SendOut(s, size, now)) return;
    }
    // What changed while the broker was away is not replayed: only the latest state.
    if (s->haveLatest) PublishState(s, now);
}

void HandleConnack(BridgeState* s, uint32_t now) {
    Connack connack;
    if (!DecodeConnack(&s->reader, &connack)) {
        Lost(s, now, "malformed CONNACK");
        return;
    }
    if (connack.returnCode == 0) {
        Accepted(s, now);
    } else if (connack.returnCode == 4 || connack.returnCode == 5) {
        // Retrying with the same credentials cannot mend this.
        Log("the broker refused ", s->clientId, connack.returnCode == 4
            ? ": bad user name or password (CONNACK 4)" : ": not authorised (CONNACK 5)");
        Finish(s, 3);
    } else {
        // Server unavailable and the like: the broker may think better of it later.
        if (!s->downLogged) {
            LogCount("the broker refused the connection with CONNACK ", connack.returnCode,
                     "; reconnecting with backoff");
        }
        s->downLogged = 1;
        bridgeNetwork->Close();
        ScheduleReconnect(s, now);
    }
}

// deliver: the name in "<prefix>/<name>/report", or 0 when the topic is not of that form.
int NameInTopic(const BridgeState* s, ByteSpan topic, char name[kMaxName + 1]) {
    uint32_t prefix = TextLength(s->config->prefix);
    const uint32_t suffix = 7;  // "/report"
    if (topic.size < prefix + 1 + 1 + suffix) return 0;
    for (uint32_t i = 0; i < prefix; ++i) {
        if (topic.data[i] != static_cast<uint8_t>(s->config->prefix[i])) return 0;
    }
    if (topic.data[prefix] != '/') return 0;
    const char* tail = "/report";
    for (uint32_t i = 0; i < suffix; ++i) {
        if (topic.data[topic.size - suffix + i] != static_cast<uint8_t>(tail[i])) return 0;
    }
    uint32_t length = topic.size - suffix - prefix - 1;
    if (length > kMaxName) return 0;
    for (uint32_t i = 0; i < length; ++i) {
        name[i] = static_cast<char>(topic.data[prefix + 1 + i]);
        if (name[i] == '/') return 0;
    }
    name[length] = 0;
    return 1;
}

void WriteToSlot(const uint8_t* bytes, uint32_t size) {
    FileHandle slot = bridgeMailslots->CreateFileA(kLocalSlot, GENERIC_WRITE, FILE_SHARE_READ,
                                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                   0);
    // No reader: the report is dropped, as a mailslot would drop it.
    if (slot == INVALID_HANDLE_VALUE) return;
    uint32_t written = 0;
    bridgeMailslots->WriteFile(slot, bytes, size, &written, nullptr);  // ignore errors
    bridgeMailslots->CloseHandle(slot);
}

void Deliver(BridgeState* s, const InboundPublish* p, uint32_t now) {
    char name[kMaxName + 1];
    if (p->retain || !NameInTopic(s, p->topic, name)) return;  // old news, or not a report topic
    // Never write back what this PC published itself: both roles on one PC cannot loop.
    if (TextEquals(name, s->config->name)) return;
    Report report;
    if (p->truncated || !CheckReport(p->payload, &report)) {
        CountDrop(s, now, " published payloads that were not reports");
        return;
    }
    if (s->config->head[0] == 0) {
        WriteToSlot(p->payload.data, p->payload.size);
        return;
    }
    uint8_t headed[kMaxReportBytes];
    uint32_t size = ReplaceLeadingWord(p->payload, &report, s->config->head, headed);
    if (size == 0) {
        CountDrop(s, now, " reports too long for --head");
        return;
    }
    WriteToSlot(headed, size);
}

void HandlePublish(BridgeState* s, uint32_t now) {
    InboundPublish p;
    if (!DecodePublish(&s->reader, &p)) {
        Lost(s, now, "malformed PUBLISH");
        return;
    }
    if (p.qos == 1 && !SendOut(s, EncodePuback(p.packetId, s->out, kOutCapacity), now)) return;
    if (s->config->role == kRoleDeliver) {
        Deliver(s, &p, now);
        return;
    }
    // Home Assistant says "online" when it starts; it has forgotten the sensors then.
    if (SpanEquals(p.topic, kHomeAssistantStatus) && !p.truncated &&
        SpanEquals(p.payload, "online")) {
        PublishDiscovery(s, now);
    }
}

// One whole packet from the broker.
void HandlePacket(BridgeState* s, uint32_t now) {
    s->lastHeardAt = now;
    uint8_t type = PacketType(&s->reader);
    if (s->link == kLinkHandshake) {
        if (type == kMqttConnack) {
            HandleConnack(s, now);
        } else {
            Lost(s, now, "the broker did not answer with CONNACK");
        }
        return;
    }
    uint16_t id;
    uint8_t code;
    if (type == kMqttPublish) {
        HandlePublish(s, now);
    } else if (type == kMqttPuback) {
        if (!DecodePuback(&s->reader, &id)) Lost(s, now, "malformed PUBACK");
    } else if (type == kMqttPingresp) {
        if (s->reader.header != kMqttPingresp << 4 || s->reader.remaining != 0) {
            Lost(s, now, "malformed PINGRESP");
        }
        s->pingOutstanding = 0;
    } else if (type == kMqttSuback) {
        if (!DecodeSuback(&s->reader, &id, &code)) {
            Lost(s, now, "malformed SUBACK");
        } else if (code == 0x80) {
            Log("the broker refused the subscription to ", s->config->role == kRoleDeliver
                ? s->reportTopic : kHomeAssistantStatus, ": not authorised");
            Finish(s, 3);
        }
    } else {
        Lost(s, now, "unexpected packet from the broker");
    }
}

}  // namespace

uint32_t FormatDiscovery(const BridgeState* s, int sensor, char* out, uint32_t capacity) {
    const BridgeConfig* c = s->config;
    TextBuilder t = {out, capacity, 0, 0};
    AppendText(&t, "{\"unique_id\":\"vardex_");
    AppendObjectId(&t, c->name);
    AppendText(&t, "_");
    AppendText(&t, kSensorKey[sensor]);
    AppendText(&t, "\",\"name\":\"");
    AppendText(&t, kSensorName[sensor]);
    AppendText(&t, "\",\"state_topic\":\"");
    AppendJsonEscaped(&t, s->stateTopic);
    AppendText(&t, "\",\"value_template\":\"{{ value_json.");
    AppendText(&t, kSensorKey[sensor]);
    AppendText(&t, " }}\",\"device_class\":\"temperature\",\"unit_of_measurement\":\"");
    AppendText(&t, c->fahrenheit ? "\xC2\xB0" "F" : "\xC2\xB0" "C");
    AppendText(&t, "\",\"state_class\":\"measurement\",\"availability_topic\":\"");
    AppendJsonEscaped(&t, s->statusTopic);
    AppendText(&t, "\",\"payload_available\":\"online\",\"payload_not_available\":\"offline\","
                   "\"device\":{\"identifiers\":[\"vardex_");
    AppendObjectId(&t, c->name);
    AppendText(&t, "\"],\"name\":\"");
    AppendJsonEscaped(&t, c->name);
    AppendText(&t, "\",\"model\":\"vardex-bridge\",\"sw_version\":\"");
    AppendJsonEscaped(&t, s->version);
    AppendText(&t, "\"}}");
    return FinishText(&t);
}

int BridgeStart(BridgeState* s, const BridgeConfig* c, const char* version, uint32_t now,
                uint32_t seed) {
    ZeroBytes(s, sizeof *s);
    s->config = c;
    s->version = version;
    s->exitCode = -1;
    s->link = kLinkWaiting;
    s->dueAt = now;
    s->backoffMs = kBackoffFirstMs;
    s->random = seed != 0 ? seed : 0x9E3779B9u;
    const char* role = c->role == kRolePublish ? "vardex-publish-" : "vardex-deliver-";
    int ok = BuildTopic(s->clientId, role, c->name, "") &&
             BuildTopic(s->statusTopic, c->prefix, "/", c->name, "/status") &&
             BuildTopic(s->stateTopic, c->prefix, "/", c->name, "/state") &&
             BuildTopic(s->reportTopic, c->prefix, "/",
                        c->role == kRolePublish ? c->name : c->from, "/report");
    for (int sensor = 0; sensor < 2 && ok; ++sensor) {
        TextBuilder t = {s->discoveryTopic[sensor], kTopicCapacity, 0, 0};
        AppendText(&t, "homeassistant/sensor/vardex_");
        AppendObjectId(&t, c->name);
        AppendText(&t, sensor == 0 ? "_cpu/config" : "_mb/config");
        ok = FinishText(&t) != 0;
    }
    if (!ok) {
        Log("the prefix and name make topics too long");
        s->exitCode = 2;
        s->link = kLinkClosed;
    }
    return ok;
}

void BridgeTimer(BridgeState* s, uint32_t now) {
    if (s->link == kLinkWaiting && Due(now, s->dueAt)) {
        char why[160];
        why[0] = 0;
        if (bridgeNetwork->Connect(s->config->host, s->config->port, why, sizeof why)) {
            s->link = kLinkConnecting;
            s->dueAt = now + kConnectTimeoutMs;
        } else {
            Fail(s, now, "cannot reach the broker: ", why);
        }
    } else if ((s->link == kLinkConnecting || s->link == kLinkHandshake) && Due(now, s->dueAt)) {
        Fail(s, now, "cannot reach the broker: ", s->link == kLinkConnecting
             ? "no connection within 10 s" : "no CONNACK within 10 s");
    } else if (s->link == kLinkUp) {
        uint32_t keepAlive = KeepAliveMs(s);
        if (s->pingOutstanding) {
            if (now - s->pingSentAt >= keepAlive) Lost(s, now, "no PINGRESP within the keepalive");
        } else if (now - s->lastSentAt >= keepAlive || now - s->lastHeardAt >= keepAlive) {
            // Sent also when only the broker has been quiet: a dead broker shows this way even
            // while reports keep going out.
            if (SendOut(s, EncodeEmpty(kMqttPingreq, s->out, kOutCapacity), now)) {
                s->pingOutstanding = 1;
                s->pingSentAt = now;
            }
        }
    }
}

void BridgeConnected(BridgeState* s, uint32_t now) {
    if (s->link != kLinkConnecting) return;
    ConnectOptions o = {};
    o.clientId = SpanOf(s->clientId);
    o.keepAliveSeconds = s->config->keepAliveSeconds;
    o.cleanSession = 1;
    if (s->config->role == kRolePublish) {
        o.hasWill = 1;
        o.willTopic = SpanOf(s->statusTopic);
        o.willMessage = SpanOf("offline");
        o.willQos = 1;
        o.willRetain = 1;
    }
    o.hasUser = s->config->hasUser;
    o.user = SpanOf(s->config->user);
    o.hasPassword = s->config->hasPassword;
    o.password = SpanOf(s->config->password);
    s->reader.phase = 0;
    if (SendOut(s, EncodeConnect(&o, s->out, kOutCapacity), now)) {
        s->link = kLinkHandshake;
        s->dueAt = now + kConnectTimeoutMs;
    }
}

void BridgeConnectFailed(BridgeState* s, uint32_t now, const char* why) {
    if (s->link == kLinkConnecting) Fail(s, now, "cannot reach the broker: ", why);
}

void BridgeReceived(BridgeState* s, const uint8_t* data, uint32_t size, uint32_t now) {
    while (size > 0 && (s->link == kLinkHandshake || s->link == kLinkUp)) {
        uint32_t used = 0;
        ReadResult result = ReadPacket(&s->reader, data, size, &used);
        data += used;
        size -= used;
        if (result == kReadMalformed) {
            Lost(s, now, "malformed or oversized packet from the broker");
        } else if (result == kReadPacket) {
            HandlePacket(s, now);
        }
    }
}

void BridgeConnectionLost(BridgeState* s, uint32_t now, const char* why) {
    if (s->link == kLinkConnecting) {
        Fail(s, now, "cannot reach the broker: ", why);
    } else if (s->link == kLinkHandshake || s->link == kLinkUp) {
        Lost(s, now, why);
    }
}

void BridgeDatagram(BridgeState* s, const uint8_t* data, uint32_t size, uint32_t now) {
    Report report;
    ByteSpan datagram = {data, size};
    if (!CheckReport(datagram, &report)) {
        CountDrop(s, now, " datagrams that were not reports");
        return;
    }
    s->latest = report;
    s->haveLatest = 1;
    if (s->link != kLinkUp) return;  // not queued: the state goes out after reconnect
    if (Publish(s, s->reportTopic, datagram, 0, now)) PublishState(s, now);
}

void BridgeStop(BridgeState* s, uint32_t now) {
    if (s->link == kLinkClosed) return;
    if (s->link == kLinkUp) {
        int sent = s->config->role != kRolePublish ||
                   Publish(s, s->statusTopic, SpanOf("offline"), 1, now);
        if (sent) SendOut(s, EncodeEmpty(kMqttDisconnect, s->out, kOutCapacity), now);
    }
    Log("stopped");
    Finish(s, 0);
}

uint32_t BridgeWaitMs(const BridgeState* s, uint32_t now) {
    switch (s->link) {
        case kLinkWaiting:
        case kLinkConnecting:
        case kLinkHandshake:
            return Until(now, s->dueAt);
        case kLinkUp: {
            uint32_t keepAlive = KeepAliveMs(s);
            if (s->pingOutstanding) return Until(now, s->pingSentAt + keepAlive);
            uint32_t sent = Until(now, s->lastSentAt + keepAlive);
            uint32_t heard = Until(now, s->lastHeardAt + keepAlive);
            return sent < heard ? sent : heard;
        }
        default:
            return kWaitForever;
    }
}
