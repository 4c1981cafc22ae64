// The report check and the texts made from a checked report.
#include "bridge/core/report_check.h"

#include "bridge/core/text.h"

namespace {

// An optional minus and at least one digit, up to the expected end; the value must fit 32 bits.
int ParseInt(const uint8_t* text, uint32_t size, int32_t* value) {
    uint32_t at = 0;
    int negative = size > 0 && text[0] == '-';
    at += negative;
    if (at == size) return 0;
    // Accumulate as a negative number: its range holds the most negative 32-bit value too.
    int64_t total = 0;
    for (; at < size; ++at) {
        if (text[at] < '0' || text[at] > '9') return 0;
        total = total * 10 - (text[at] - '0');
        if (total < -2147483648LL) return 0;
    }
    if (!negative && total < -2147483647LL) return 0;
    *value = static_cast<int32_t>(negative ? total : -total);
    return 1;
}

int Matches(const uint8_t* at, const uint8_t* end, const char* literal) {
    for (; *literal != 0; ++literal, ++at) {
        if (at >= end || *at != static_cast<uint8_t>(*literal)) return 0;
    }
    return 1;
}

}  // namespace

int CheckReport(ByteSpan datagram, Report* report) {
    if (datagram.size < 2 || datagram.size > kMaxReportBytes) return 0;
    const uint8_t* text = datagram.data;
    const uint8_t* end = text + datagram.size - 1;  // the NUL
    if (*end != 0) return 0;

    const uint8_t* p = text;
    while (p < end && *p >= 0x21 && *p <= 0x7F) ++p;
    report->wordSize = static_cast<uint32_t>(p - text);
    if (!Matches(p, end, " CPU:")) return 0;
    const uint8_t* cpu = p + 5;
    const uint8_t* space = cpu;
    while (space < end && *space != ' ') ++space;
    if (!ParseInt(cpu, static_cast<uint32_t>(space - cpu), &report->cpu)) return 0;
    if (!Matches(space, end, " MB:")) return 0;
    const uint8_t* mb = space + 4;
    // Whatever follows must be the number, to the NUL: a second NUL or a space is not a digit.
    return ParseInt(mb, static_cast<uint32_t>(end - mb), &report->mb);
}

uint32_t FormatStateJson(const Report* report, char* out, uint32_t capacity) {
    TextBuilder text = {out, capacity, 0, 0};
    AppendFormat(&text, "{\"cpu\":%d,\"mb\":%d}", report->cpu, report->mb);
    return FinishText(&text);
}

uint32_t ReplaceLeadingWord(ByteSpan datagram, const Report* report, const char* head,
                            uint8_t out[kMaxReportBytes]) {
    ByteSpan word = SpanOf(head);
    uint32_t rest = datagram.size - report->wordSize;  // " CPU:.. MB:.." and the NUL
    if (word.size + rest > kMaxReportBytes) return 0;
    for (uint32_t i = 0; i < word.size; ++i) out[i] = word.data[i];
    for (uint32_t i = 0; i < rest; ++i) out[word.size + i] = datagram.data[report->wordSize + i];
    return word.size + rest;
}
