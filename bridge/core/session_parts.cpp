// What the link and the two roles share: the session's seams, its log lines, and its sends.
#include "bridge/core/session_parts.h"

#include "bridge/core/text.h"

Network* bridgeNetwork;
MailslotClient* bridgeMailslots;
Console* bridgeConsole;

const char kLocalSlot[] = "\\\\.\\mailslot\\VARDslot";
const char kSubscriptionRefused[] = "the broker refused the subscription to ";

void Log(LogLevel level, const char* first, const char* second, const char* third) {
    char line[512];
    TextBuilder text = {line, sizeof line, 0, 0};
    AppendFormat(&text, "%s%s%s", first, second, third);
    if (FinishText(&text) == 0) {
        // Too long to say whole (a long host name): say the start.
        TextBuilder start = {line, sizeof line, 0, 0};
        AppendText(&start, first);
        FinishText(&start);
    }
    bridgeConsole->WriteLine(level, line);
}

void LogCount(LogLevel level, const char* first, uint32_t count, const char* one,
              const char* many, const char* last) {
    char middle[120];
    TextBuilder text = {middle, sizeof middle, 0, 0};
    AppendFormat(&text, "%d%s", static_cast<int32_t>(count & 0x7FFFFFFF), count == 1 ? one : many);
    FinishText(&text);
    Log(level, first, middle, last);
}

uint16_t NextPacketId(BridgeState* s) {
    s->lastPacketId = static_cast<uint16_t>(s->lastPacketId == 0xFFFF ? 1 : s->lastPacketId + 1);
    return s->lastPacketId;
}

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

int Subscribe(BridgeState* s, const char* filter, uint32_t now) {
    return SendOut(s, EncodeSubscribe(NextPacketId(s), SpanOf(filter), 1, s->out, kOutCapacity),
                   now);
}

void CountDrop(BridgeState* s, uint32_t now, const char* one, const char* many) {
    ++s->dropped;
    if (!s->dropEverLogged || now - s->dropLoggedAt >= kDropLogIntervalMs) {
        LogCount(kLogWarning, "dropped ", s->dropped - s->droppedLogged, one, many);
        s->droppedLogged = s->dropped;
        s->dropLoggedAt = now;
        s->dropEverLogged = 1;
    }
}
