// The deliver role: reports published by other PCs, checked, into the local mailslot.
#include "bridge/core/session_parts.h"

#include "bridge/core/text.h"

namespace {

// The name in "<prefix>/<name>/report", or 0 when the topic is not of that form.
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

void Accepted(BridgeState* s, uint32_t now) { Subscribe(s, s->reportTopic, now); }

void Received(BridgeState* s, const InboundPublish* p, uint32_t now) {
    char name[kMaxName + 1];
    // Old news, or not a report topic (one longer than the reader keeps cannot be one).
    if (p->retain || p->topicTruncated || !NameInTopic(s, p->topic, name)) return;
    // Never write back what this PC published itself: both roles on one PC cannot loop.
    if (TextEquals(name, s->config->name)) return;
    Report report;
    if (p->truncated || !CheckReport(p->payload, &report)) {
        CountDrop(s, now, " published payload that was not a report",
                  " published payloads that were not reports");
        return;
    }
    if (s->config->head[0] == 0) {
        WriteToSlot(p->payload.data, p->payload.size);
        return;
    }
    uint8_t headed[kMaxReportBytes];
    uint32_t size = ReplaceLeadingWord(p->payload, &report, s->config->head, headed);
    if (size == 0) {
        CountDrop(s, now, " report too long for --head", " reports too long for --head");
        return;
    }
    WriteToSlot(headed, size);
}

void SubscribeRefused(BridgeState* s, uint32_t now) {
    // Without its one subscription deliver has nothing to do: a refusal like the broker's.
    char line[kTopicCapacity + 64];
    TextBuilder text = {line, sizeof line, 0, 0};
    AppendFormat(&text, "%s%s: not authorised", kSubscriptionRefused, s->reportTopic);
    Refused(s, now, FinishText(&text) != 0 ? line : "the broker refused the subscription");
}

}  // namespace

// Deliver reads no mailslot: the entry never hands it a datagram.
const Role kDeliverRole = {"vardex-deliver-", 0, 1, Accepted, Received, SubscribeRefused,
                           nullptr};
