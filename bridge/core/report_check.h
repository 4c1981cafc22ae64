// What counts as a relay's report, and the texts the bridge makes from one: the state message,
// the report under another leading word.
#ifndef VARDEX_BRIDGE_CORE_REPORT_CHECK_H
#define VARDEX_BRIDGE_CORE_REPORT_CHECK_H

#include "bridge/core/mqtt_codec.h"

#include <stdint.h>

// A report with its NUL, as the relay sends it: at most 99 characters of text.
const uint32_t kMaxReportBytes = 100;

struct Report {
    uint32_t wordSize;  // the leading word's length; the text from there on is " CPU:.. MB:.."
    int32_t cpu;
    int32_t mb;
};

// Accepts exactly "<word> CPU:<int> MB:<int>" and its one NUL, at most kMaxReportBytes in all:
// the word empty or of bytes 0x21-0x7F (what the relay takes as a word), each int an optional
// minus and one or more decimal digits whose value fits 32 bits.
int CheckReport(ByteSpan datagram, Report* report);

// {"cpu":47,"mb":38} into out (room for any two 32-bit values); returns its length.
uint32_t FormatStateJson(const Report* report, char* out, uint32_t capacity);

// The report's bytes with its leading word replaced by head: returns the new length with its
// NUL, or 0 when that would pass kMaxReportBytes.
uint32_t ReplaceLeadingWord(ByteSpan datagram, const Report* report, const char* head,
                            uint8_t out[kMaxReportBytes]);

#endif
