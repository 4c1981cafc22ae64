// The session's link to the broker: connect through each of the name's addresses, CONNACK,
// backoff that starts over only after a connection held, refusals asked again more slowly,
// keepalive, and a clean stop.
#include "bridge/core/session_parts.h"

#include "bridge/core/text.h"

namespace {

// Whether the tick count now has reached at, across a wrap.
int Due(uint32_t now, uint32_t at) { return static_cast<int32_t>(now - at) >= 0; }

uint32_t Until(uint32_t now, uint32_t at) { return Due(now, at) ? 0 : at - now; }

uint32_t KeepAliveMs(const BridgeState* s) { return s->config->keepAliveSeconds * 1000u; }

// A topic built from parts into a field of kTopicCapacity; 0 when it does not fit.
int BuildTopic(char* field, const char* a, const char* b, const char* c, const char* d = "") {
    TextBuilder text = {field, kTopicCapacity, 0, 0};
    AppendFormat(&text, "%s%s%s%s", a, b, c, d);
    return FinishText(&text) != 0;
}

BRIDGE_NOINLINE uint32_t NextJitter(BridgeState* s) {
    // xorshift32: spread enough for jitter, and the same sequence for the same seed in tests.
    uint32_t x = s->random;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s->random = x;
    return x;
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
        Log(kLogWarning, what, why, "; reconnecting with backoff (1 s doubling to 60 s)");
        s->downLogged = 1;
    }
    ScheduleReconnect(s, now);
}

// A connection the broker accepted has ended. One that held starts the backoff over; one that
// ended at once does not, or a broker that accepts and then drops would be asked once a second.
void Ended(BridgeState* s, uint32_t now) {
    s->wasConnected = 1;
    // Not at the CONNACK: a broker that accepts and then refuses deliver's subscription would
    // be asked every 30 s for ever.
    s->refusalMs = kRefusalFirstMs;
    if (now - s->upSince >= kStableMs) {
        s->backoffMs = kBackoffFirstMs;
        s->quickDrops = 0;
        return;
    }
    if (++s->quickDrops == kQuickDropsHinted) {
        Log(kLogWarning, "connections keep ending right after the broker accepts them; usually "
            "another client uses the id ", s->clientId, " (give each PC its own --name or "
            "--client-id), or a packet is over the broker's size limit (try --discovery off)");
    }
}

void Accepted(BridgeState* s, uint32_t now) {
    s->link = kLinkUp;
    s->upSince = now;
    s->pingOutstanding = 0;
    s->lastHeardAt = now;
    Log(kLogInfo, "connected to ", s->config->host, s->transport != nullptr ? s->transport : "");
    s->downLogged = 0;
    s->role->accepted(s, now);
}

void HandleConnack(BridgeState* s, uint32_t now) {
    Connack connack;
    if (!DecodeConnack(&s->reader, &connack)) {
        Lost(s, now, "malformed CONNACK");
        return;
    }
    int code = connack.returnCode;
    if (code == 0) {
        Accepted(s, now);
        return;
    }
    // Asking again at once cannot mend these.
    const char* refusal = PackedName(
        "\2: it does not speak MQTT 3.1.1 (CONNACK 1)\0"
        "\3: identifier rejected (CONNACK 2); give another with --client-id\0"
        "\5: bad user name or password (CONNACK 4)\0"
        "\6: not authorised (CONNACK 5)\0",
        code);
    if (refusal != nullptr) {
        char line[400];
        TextBuilder text = {line, sizeof line, 0, 0};
        AppendFormat(&text, "the broker refused %s%s", s->clientId, refusal);
        if ((code == 4 || code == 5) && s->config->certName[0] != 0 && !s->config->hasUser) {
            // Some brokers (ejabberd) name a client by its certificate only when the user name
            // is the certificate's name too.
            AppendFormat(&text, "; the broker may want --user set to the certificate's name, %s",
                         s->config->certName);
        }
        Refused(s, now, FinishText(&text) != 0 ? line : "the broker refused the connection");
        return;
    }
    // Server unavailable, and codes outside the standard: the broker may think better of it.
    if (!s->downLogged) {
        LogCount(kLogWarning, "the broker refused the connection with CONNACK ",
                 static_cast<uint32_t>(code), "", "", "; reconnecting with backoff");
    }
    s->downLogged = 1;
    bridgeNetwork->Close();
    ScheduleReconnect(s, now);
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
        InboundPublish p;
        if (!DecodePublish(&s->reader, &p)) {
            Lost(s, now, "malformed PUBLISH");
            return;
        }
        if (p.qos == 1 && !SendOut(s, EncodePuback(p.packetId, s->out, kOutCapacity), now)) return;
        s->role->received(s, &p, now);
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
            s->role->subscribeRefused(s, now);
        }
    } else {
        Lost(s, now, "unexpected packet from the broker");
    }
}

void StartConnect(BridgeState* s, uint32_t now) {
    char why[160];
    why[0] = 0;
    int addresses = bridgeNetwork->Connect(s->config->host, s->config->port, why, sizeof why);
    if (addresses <= 0) {
        Fail(s, now, "cannot reach the broker: ", why);
        return;
    }
    uint32_t share = kConnectTimeoutMs / static_cast<uint32_t>(addresses);
    s->addressShareMs = share < kAddressMinimumMs ? kAddressMinimumMs : share;
    s->addressesLeft = addresses - 1;
    s->link = kLinkConnecting;
    s->dueAt = now + s->addressShareMs;
}

// The address being tried failed or took its whole share: on to the next, if there is one.
void NextAddress(BridgeState* s, uint32_t now, const char* why) {
    char next[160];
    next[0] = 0;
    if (s->addressesLeft > 0) {
        --s->addressesLeft;
        if (bridgeNetwork->ConnectNext(next, sizeof next)) {
            s->dueAt = now + s->addressShareMs;
            return;
        }
    }
    Fail(s, now, "cannot reach the broker: ", next[0] != 0 ? next : why);
}

}  // namespace

void Lost(BridgeState* s, uint32_t now, const char* why) {
    if (s->link == kLinkUp) Ended(s, now);
    Fail(s, now, "connection to the broker lost: ", why);
}

void Finish(BridgeState* s, int exitCode) {
    bridgeNetwork->Close();
    s->link = kLinkClosed;
    s->exitCode = exitCode;
}

void Refused(BridgeState* s, uint32_t now, const char* why) {
    if (s->config->command != kCommandService && !s->wasConnected) {
        // Someone watches a console run's first connect: the answer is theirs to mend.
        Log(kLogError, why);
        Finish(s, kExitRefused);
        return;
    }
    // The broker's administrator may mend it meanwhile. Up to a quarter less than the base, as
    // the reconnects' jitter.
    if (s->link == kLinkUp) s->wasConnected = 1;
    uint32_t wait = s->refusalMs - NextJitter(s) % (s->refusalMs / 4 + 1);
    s->refusalMs = s->refusalMs * 2 > kRefusalMaxMs ? kRefusalMaxMs : s->refusalMs * 2;
    uint32_t seconds = (wait + 999) / 1000;
    char when[40];
    TextBuilder text = {when, sizeof when, 0, 0};
    AppendText(&text, "; trying again in ");
    if (seconds >= 120) {
        AppendFormat(&text, "%d min", static_cast<int32_t>(seconds / 60));
        seconds %= 60;
        if (seconds != 0) AppendText(&text, " ");
    }
    if (seconds != 0) {
        AppendFormat(&text, "%d s", static_cast<int32_t>(seconds));
    }
    FinishText(&text);
    Log(kLogError, why, when);
    bridgeNetwork->Close();
    s->link = kLinkWaiting;
    s->dueAt = now + wait;
    s->reader.phase = 0;
    s->downLogged = 0;  // what goes wrong next is worth its own line
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
    s->refusalMs = kRefusalFirstMs;
    s->random = seed != 0 ? seed : 0x9E3779B9u;
    s->role = c->role == kRolePublish ? &kPublishRole : &kDeliverRole;
    int ok = (c->clientId[0] != 0 ? BuildTopic(s->clientId, c->clientId, "", "")
                                  : BuildTopic(s->clientId, s->role->clientIdHead, c->name, "")) &&
             BuildTopic(s->statusTopic, c->prefix, "/", c->name, "/status") &&
             BuildTopic(s->stateTopic, c->prefix, "/", c->name, "/state") &&
             BuildTopic(s->reportTopic, c->prefix, "/",
                        s->role->readsOthers ? c->from : c->name, "/report");
    for (int sensor = 0; sensor < 2 && ok; ++sensor) {
        TextBuilder t = {s->discoveryTopic[sensor], kTopicCapacity, 0, 0};
        AppendText(&t, "homeassistant/sensor/vardex_");
        AppendObjectId(&t, c->name);
        AppendText(&t, sensor == 0 ? "_cpu/config" : "_mb/config");
        ok = FinishText(&t) != 0;
    }
    if (!ok) {
        Log(kLogError, "the prefix and name make topics too long");
        s->exitCode = kExitUsage;
        s->link = kLinkClosed;
    }
    return ok;
}

void BridgeTimer(BridgeState* s, uint32_t now) {
    if (s->link == kLinkWaiting && Due(now, s->dueAt)) {
        StartConnect(s, now);
    } else if (s->link == kLinkConnecting && Due(now, s->dueAt)) {
        NextAddress(s, now, "no connection within 10 s");
    } else if (s->link == kLinkHandshake && Due(now, s->dueAt)) {
        Fail(s, now, "cannot reach the broker: ", "no CONNACK within 10 s");
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
    if (s->role->announces) {
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
    uint32_t size = EncodeConnect(&o, s->out, kOutCapacity);
    int sent = SendOut(s, size, now);
    // The password has no business lingering in the send buffer.
    ZeroBytes(s->out, size);
    if (sent) {
        s->link = kLinkHandshake;
        s->dueAt = now + kConnectTimeoutMs;
    }
}

void BridgeConnectFailed(BridgeState* s, uint32_t now, const char* why) {
    if (s->link == kLinkConnecting) NextAddress(s, now, why);
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
        NextAddress(s, now, why);
    } else if (s->link == kLinkHandshake && !s->config->tls) {
        // A TLS listener takes a plain CONNECT for a broken handshake and hangs up.
        char line[300];
        TextBuilder text = {line, sizeof line, 0, 0};
        AppendFormat(&text, "%s before its CONNACK: if the port wants TLS (8883 usually does), "
                     "give --tls", why);
        Lost(s, now, FinishText(&text) != 0 ? line : why);
    } else if (s->link == kLinkHandshake || s->link == kLinkUp) {
        Lost(s, now, why);
    }
}

BRIDGE_NOINLINE void BridgeRefused(BridgeState* s, uint32_t now, const char* why) {
    if (s->link == kLinkClosed) return;
    Refused(s, now, why);
}

void BridgeStop(BridgeState* s, uint32_t now, int exitCode) {
    if (s->link == kLinkClosed) return;
    int goodbye = 0;
    if (s->link == kLinkUp) {
        int sent = !s->role->announces ||
                   Publish(s, s->statusTopic, SpanOf("offline"), 1, now);
        goodbye = sent && SendOut(s, EncodeEmpty(kMqttDisconnect, s->out, kOutCapacity), now);
    }
    Log(kLogInfo, "stopped");
    if (goodbye) bridgeNetwork->Shutdown();
    Finish(s, exitCode);
}

void BridgeDatagram(BridgeState* s, const uint8_t* data, uint32_t size, uint32_t now) {
    if (s->role->datagram != nullptr) s->role->datagram(s, data, size, now);
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
