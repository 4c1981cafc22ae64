// What the link and the two roles share inside the session: logging, sending, dropping, and
// each role's answers to the link's events. Not for the entry: it sees bridge_session.h only.
#ifndef VARDEX_BRIDGE_CORE_SESSION_PARTS_H
#define VARDEX_BRIDGE_CORE_SESSION_PARTS_H

#include "bridge/core/bridge_session.h"
#include "bridge/core/text.h"

#include <stdint.h>

void Log(LogLevel level, const char* first, const char* second = "", const char* third = "");
// The start of either role's line on a refused subscription, kept once.
extern const char kSubscriptionRefused[];
// "<first><count> <one or many><last>", with the noun as the count needs it.
void LogCount(LogLevel level, const char* first, uint32_t count, const char* one,
              const char* many, const char* last = "");

uint16_t NextPacketId(BridgeState* s);
// Sends what the encoder left in out; on failure the link is lost and 0 comes back.
int SendOut(BridgeState* s, uint32_t size, uint32_t now);
int Publish(BridgeState* s, const char* topic, ByteSpan payload, int retain, uint32_t now);
int Subscribe(BridgeState* s, const char* filter, uint32_t now);
void Lost(BridgeState* s, uint32_t now, const char* why);
void Finish(BridgeState* s, int exitCode);
// The broker refused the bridge: why is logged as one error line, then as BridgeRefused says.
void Refused(BridgeState* s, uint32_t now, const char* why);
// One more datagram or payload that was not a report; logged at most once a minute, as
// "dropped N <one|many>".
void CountDrop(BridgeState* s, uint32_t now, const char* one, const char* many);

// Home Assistant takes only [A-Za-z0-9_-] in a discovery topic's object id: the rest become _.
void AppendObjectId(TextBuilder* text, const char* name);

// A role: what sets it apart, and its answers to the link's events, chosen once at start so
// that the link never asks which role it runs.
struct Role {
    const char* clientIdHead;  // "vardex-publish-": the client id, with the name after it
    int announces;             // a retained online status, offline as the will and at a stop
    int readsOthers;           // the report topic names --from, not --name
    // The broker accepted; a PUBLISH from it; it refused the subscription; a datagram from the
    // local mailslot (publish only).
    void (*accepted)(BridgeState* s, uint32_t now);
    void (*received)(BridgeState* s, const InboundPublish* p, uint32_t now);
    void (*subscribeRefused)(BridgeState* s, uint32_t now);
    void (*datagram)(BridgeState* s, const uint8_t* data, uint32_t size, uint32_t now);
};
extern const Role kPublishRole;
extern const Role kDeliverRole;

#endif
