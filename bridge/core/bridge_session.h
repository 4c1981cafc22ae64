// The bridge's one state record and the events that drive it, for both roles.
//
// The link (bridge_link.cpp) keeps the connection: connect, backoff, CONNACK, keepalive, stop.
// Once the broker accepts, each role does its work: publish_role.cpp and deliver_role.cpp.
// The entry feeds events in (time due, connected, bytes arrived, connection lost, datagram
// arrived, stop) and asks how long it may wait for the next; every byte out goes through
// bridgeNetwork, every datagram out through bridgeMailslots, every log line through
// bridgeConsole. Time is a millisecond tick count that may wrap.
#ifndef VARDEX_BRIDGE_CORE_BRIDGE_SESSION_H
#define VARDEX_BRIDGE_CORE_BRIDGE_SESSION_H

#include "bridge/core/bridge_config.h"
#include "bridge/core/mqtt_codec.h"
#include "bridge/core/report_check.h"
#include "bridge/core/network.h"
#include "platform/mailslot_client.h"

#include <stdint.h>

const uint32_t kBackoffFirstMs = 1000;
const uint32_t kBackoffMaxMs = 60000;
// How long a TCP connect, shared among the name's addresses, and then the broker's CONNACK may
// take. Each address gets its share, at least the minimum, so that one that drops the attempt
// silently (often IPv6 first) leaves time for the next.
const uint32_t kConnectTimeoutMs = 10000;
const uint32_t kAddressMinimumMs = 2500;
// A connection that held this long was a good one: only then does the backoff start over.
const uint32_t kStableMs = 60000;
// This many accepted connections in a row that ended before kStableMs get a line on the usual
// causes.
const uint32_t kQuickDropsHinted = 3;
const uint32_t kDropLogIntervalMs = 60000;
// After a refusal by the broker, a service (and a console run that has been connected) asks
// again after this, doubling up to the maximum: Home Assistant's Mosquitto add-on refuses every
// client for minutes after the box starts, until Home Assistant itself is up.
const uint32_t kRefusalFirstMs = 30000;
const uint32_t kRefusalMaxMs = 600000;
const uint32_t kWaitForever = 0xFFFFFFFF;

const uint32_t kTopicCapacity = 256;
const uint32_t kOutCapacity = 2048;

enum BridgeLink {
    kLinkWaiting,     // no connection; the next attempt is due at dueAt
    kLinkConnecting,  // TCP connect under way until dueAt
    kLinkHandshake,   // CONNECT sent; the CONNACK is due by dueAt
    kLinkUp,          // accepted by the broker
    kLinkClosed,      // stopped for good; exitCode says how
};

struct Role;

struct BridgeState {
    const BridgeConfig* config;
    const Role* role;
    const char* version;
    const char* transport;  // how the connection runs, for the "connected" line: null, or
                            // " over TLS 1.3" and the like, set by the TLS layer
    BridgeLink link;
    uint32_t dueAt;
    uint32_t backoffMs;     // the base of the next wait; doubles per failure up to the maximum
    int addressesLeft;      // connecting: the name's addresses not yet tried
    uint32_t addressShareMs;
    uint32_t upSince;       // when the broker last accepted
    uint32_t quickDrops;    // accepted connections in a row that ended before kStableMs
    uint32_t refusalMs;     // the base of the wait after the next refusal
    int wasConnected;       // an accepted connection has ended: refusals are asked again
    uint32_t random;        // the jitter generator's state
    uint32_t lastSentAt;    // while up: the last packet out, and the last one in
    uint32_t lastHeardAt;
    int pingOutstanding;
    uint32_t pingSentAt;
    uint16_t lastPacketId;
    int downLogged;         // a failure was logged; quiet until the link is up again
    int statusRefused;      // publish: the broker refused homeassistant/status once; said once
    int haveLatest;         // publish: the latest accepted report, sent again after reconnect
    Report latest;
    uint32_t dropped;       // datagrams or payloads that were not reports
    uint32_t droppedLogged;
    uint32_t dropLoggedAt;
    int dropEverLogged;
    int exitCode;           // -1 while running
    char clientId[kTopicCapacity];
    char statusTopic[kTopicCapacity];
    char stateTopic[kTopicCapacity];
    char reportTopic[kTopicCapacity];  // publish: where reports go; deliver: the filter
    char discoveryTopic[2][kTopicCapacity];
    PacketReader reader;
    uint8_t out[kOutCapacity];
    char scratch[kOutCapacity - 512];  // a discovery config while it is encoded
};

extern Network* bridgeNetwork;
extern MailslotClient* bridgeMailslots;
extern Console* bridgeConsole;

// Where the relay's reports go on this PC, and where deliver writes them.
extern const char kLocalSlot[];

// Readies the state for config (which must outlive it); the first connect is due at once.
// seed varies the reconnect jitter between processes. Returns 0, with a log line, when the
// topics would not fit their buffers.
int BridgeStart(BridgeState* state, const BridgeConfig* config, const char* version,
                uint32_t now, uint32_t seed);
// Does whatever is due by now: a connect, a keepalive ping, a timeout.
void BridgeTimer(BridgeState* state, uint32_t now);
void BridgeConnected(BridgeState* state, uint32_t now);
void BridgeConnectFailed(BridgeState* state, uint32_t now, const char* why);
void BridgeReceived(BridgeState* state, const uint8_t* data, uint32_t size, uint32_t now);
void BridgeConnectionLost(BridgeState* state, uint32_t now, const char* why);
// The connection was refused in a way that asking again at once cannot mend (the broker's
// certificate, or its answer to the client certificate): the line is logged as an error. A
// service, or a console run that has been connected before, asks again after the refusal
// backoff; a console run at its first connect ends with kExitRefused.
void BridgeRefused(BridgeState* state, uint32_t now, const char* why);
// publish: one datagram read whole from the local mailslot.
void BridgeDatagram(BridgeState* state, const uint8_t* data, uint32_t size, uint32_t now);
// A clean stop: offline status and DISCONNECT when connected, then the connection shut down;
// exitCode as given (0 when asked to stop, non-zero when the entry cannot go on).
void BridgeStop(BridgeState* state, uint32_t now, int exitCode);
// How long the entry may wait before BridgeTimer has something to do.
uint32_t BridgeWaitMs(const BridgeState* state, uint32_t now);

// The session as the raw connection's listener, for a connection without TLS.
struct SessionEvents final : LinkEvents {
    void Connected(uint32_t now) override { BridgeConnected(session, now); }
    void Received(const uint8_t* data, uint32_t size, uint32_t now) override {
        BridgeReceived(session, data, size, now);
    }
    void Closed(uint32_t now, const char* why) override {
        BridgeConnectionLost(session, now, why);
    }
    void ConnectFailed(uint32_t now, const char* why) override {
        BridgeConnectFailed(session, now, why);
    }
    BridgeState* session;
};

// The discovery config for sensor 0 (CPU) or 1 (MB) into out; returns its length, 0 when it
// does not fit.
uint32_t FormatDiscovery(const BridgeState* state, int sensor, char* out, uint32_t capacity);

#endif
