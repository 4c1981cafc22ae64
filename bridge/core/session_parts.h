// What the link and the two roles share inside the session: logging, sending, dropping, and
// each role's answers to the link's events. Not for the entry: it sees bridge_session.h only.
#ifndef VARDEX_BRIDGE_CORE_SESSION_PARTS_H
#define VARDEX_BRIDGE_CORE_SESSION_PARTS_H

#include "bridge/core/bridge_session.h"
#include "bridge/core/text.h"

#include <stdint.h>

void Log(LogLevel level, const char* first, const char* second = "", const char* third = "");
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
// One more datagram or payload that was not a report; logged at most once a minute, as
// "dropped N <one|many>".
void CountDrop(BridgeState* s, uint32_t now, const char* one, const char* many);

// Home Assistant takes only [A-Za-z0-9_-] in a discovery topic's object id: the rest become _.
void AppendObjectId(TextBuilder* text, const char* name);

// Each role's part, called by the link once the broker has accepted, for each PUBLISH and
// SUBACK from it, and (publish) for each datagram.
void PublishAccepted(BridgeState* s, uint32_t now);
void PublishReceived(BridgeState* s, const InboundPublish* p, uint32_t now);
void PublishSubscribeRefused(BridgeState* s);
void DeliverAccepted(BridgeState* s, uint32_t now);
void DeliverReceived(BridgeState* s, const InboundPublish* p, uint32_t now);
void DeliverSubscribeRefused(BridgeState* s);

#endif
