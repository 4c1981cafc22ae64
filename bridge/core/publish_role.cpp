// The publish role: the relay's reports from the local mailslot to the broker, with the state,
// availability and Home Assistant's discovery configs.
#include "bridge/core/session_parts.h"

#include "bridge/core/text.h"

namespace {

const char kHomeAssistantStatus[] = "homeassistant/status";
const char* const kSensorKey[2] = {"cpu", "mb"};
const char* const kSensorName[2] = {"CPU temperature", "Motherboard temperature"};

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

}  // namespace

void AppendObjectId(TextBuilder* text, const char* name) {
    for (const char* p = name; *p != 0; ++p) {
        char c = *p;
        int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
        char kept = plain ? c : '_';
        AppendBytes(text, reinterpret_cast<const uint8_t*>(&kept), 1);
    }
}

namespace {

void Accepted(BridgeState* s, uint32_t now) {
    // Status first, so that the sensors are available the moment they are announced.
    if (!Publish(s, s->statusTopic, SpanOf("online"), 1, now)) return;
    if (s->config->discovery) {
        if (!PublishDiscovery(s, now)) return;
        if (!s->statusRefused && !Subscribe(s, kHomeAssistantStatus, now)) return;
    }
    // What changed while the broker was away is not replayed: only the latest state.
    if (s->haveLatest) PublishState(s, now);
}

void Received(BridgeState* s, const InboundPublish* p, uint32_t now) {
    // Home Assistant says "online" when it starts; it has forgotten the sensors then.
    if (!p->truncated && SpanEquals(p->topic, kHomeAssistantStatus) &&
        SpanEquals(p->payload, "online")) {
        PublishDiscovery(s, now);
    }
}

void SubscribeRefused(BridgeState* s, uint32_t) {
    // An extra: the sensors are announced at every connect all the same.
    if (s->statusRefused) return;
    s->statusRefused = 1;
    Log(kLogWarning, kSubscriptionRefused, kHomeAssistantStatus,
        ": not authorised; the sensors are announced at each connect, but not again when "
        "Home Assistant restarts");
}

void Datagram(BridgeState* s, const uint8_t* data, uint32_t size, uint32_t now) {
    Report report;
    ByteSpan datagram = {data, size};
    if (!CheckReport(datagram, &report)) {
        CountDrop(s, now, " datagram that was not a report", " datagrams that were not reports");
        return;
    }
    s->latest = report;
    s->haveLatest = 1;
    if (s->link != kLinkUp) return;  // not queued: the state goes out after reconnect
    if (Publish(s, s->reportTopic, datagram, 0, now)) PublishState(s, now);
}

}  // namespace

// The discovery config with its fields as codes: 1 the name as an object id, 2 the sensor's
// key, 3 its name, 4 the unit, then JSON-escaped: 5 the state topic, 6 the status topic, 7 the
// name, 8 the version.
const char kDiscovery[] =
    "{\"unique_id\":\"vardex_\1_\2\",\"name\":\"\3\",\"state_topic\":\"\5\","
    "\"value_template\":\"{{ value_json.\2 }}\",\"device_class\":\"temperature\","
    "\"unit_of_measurement\":\"\4\",\"state_class\":\"measurement\","
    "\"availability_topic\":\"\6\","
    "\"payload_available\":\"online\",\"payload_not_available\":\"offline\","
    "\"device\":{\"identifiers\":[\"vardex_\1\"],\"name\":\"\7\",\"model\":\"vardex-bridge\","
    "\"sw_version\":\"\10\"}}";

uint32_t FormatDiscovery(const BridgeState* s, int sensor, char* out, uint32_t capacity) {
    const BridgeConfig* c = s->config;
    const char* escaped[4] = {s->stateTopic, s->statusTopic, c->name, s->version};
    TextBuilder t = {out, capacity, 0, 0};
    for (const char* p = kDiscovery; *p != 0; ++p) {
        int code = static_cast<uint8_t>(*p);
        if (code == 1) {
            AppendObjectId(&t, c->name);
        } else if (code == 2) {
            AppendText(&t, kSensorKey[sensor]);
        } else if (code == 3) {
            AppendText(&t, kSensorName[sensor]);
        } else if (code == 4) {
            AppendText(&t, c->fahrenheit ? "\xC2\xB0" "F" : "\xC2\xB0" "C");
        } else if (code <= 8) {
            AppendJsonEscaped(&t, escaped[code - 5]);
        } else {
            AppendBytes(&t, reinterpret_cast<const uint8_t*>(p), 1);
        }
    }
    return FinishText(&t);
}

const Role kPublishRole = {"vardex-publish-", 1, 0, Accepted, Received, SubscribeRefused,
                           Datagram};
