// What passes as a report, the state message made from it, and the report under another word.
#include "bridge/core/report_check.h"

#include <gtest/gtest.h>

#include <string>

namespace {

ByteSpan Span(const std::string& bytes) {
    return ByteSpan{reinterpret_cast<const uint8_t*>(bytes.data()),
                    static_cast<uint32_t>(bytes.size())};
}

std::string WithNul(const std::string& text) { return text + std::string(1, '\0'); }

TEST(ReportCheck, Table) {
    const std::string word73(73, 'W');
    // "<word> CPU:1 MB:2" with a word making the datagram exactly n bytes.
    auto sized = [](size_t n) { return WithNul(std::string(n - 12, 'P') + " CPU:1 MB:2"); };
    const struct {
        const char* name;
        std::string datagram;
        bool ok;
        int32_t cpu;
        int32_t mb;
    } cases[] = {
        {"named", WithNul("PC01 CPU:47 MB:38"), true, 47, 38},
        {"no word", WithNul(" CPU:47 MB:38"), true, 47, 38},
        {"dot", WithNul(". CPU:05 MB:-3"), true, 5, -3},
        {"DEL in the word, as the relay takes it", WithNul("P\x7f CPU:1 MB:2"), true, 1, 2},
        {"32-bit extremes", WithNul(" CPU:-2147483648 MB:2147483647"), true, INT32_MIN, INT32_MAX},
        {"100 bytes", sized(100), true, 1, 2},
        {"101 bytes", sized(101), false, 0, 0},
        {"no NUL", "PC01 CPU:47 MB:38", false, 0, 0},
        {"inner NUL", WithNul(std::string("PC01 CPU:4\0 MB:38", 17)), false, 0, 0},
        {"two NULs at the end", WithNul(WithNul("PC01 CPU:47 MB:38")), false, 0, 0},
        {"only a NUL", WithNul(""), false, 0, 0},
        {"empty", "", false, 0, 0},
        {"non-ASCII word", WithNul("PC\xe9 CPU:47 MB:38"), false, 0, 0},
        {"control in the word", WithNul("PC\t1 CPU:47 MB:38"), false, 0, 0},
        {"two spaces", WithNul("PC01  CPU:47 MB:38"), false, 0, 0},
        {"lower case", WithNul("PC01 cpu:47 MB:38"), false, 0, 0},
        {"plus sign", WithNul("PC01 CPU:+47 MB:38"), false, 0, 0},
        {"bare minus", WithNul("PC01 CPU:- MB:38"), false, 0, 0},
        {"no digits", WithNul("PC01 CPU: MB:38"), false, 0, 0},
        {"decimal point", WithNul("PC01 CPU:47.5 MB:38"), false, 0, 0},
        {"past 32 bits", WithNul("PC01 CPU:2147483648 MB:38"), false, 0, 0},
        {"below 32 bits", WithNul("PC01 CPU:-2147483649 MB:38"), false, 0, 0},
        {"trailing text", WithNul("PC01 CPU:47 MB:38 C"), false, 0, 0},
        {"MB first", WithNul("PC01 MB:38 CPU:47"), false, 0, 0},
        {"word alone", WithNul("PC01"), false, 0, 0},
        {"73-byte word still fits", WithNul(word73 + " CPU:1 MB:2"), true, 1, 2},
    };
    for (const auto& c : cases) {
        Report report = {};
        EXPECT_EQ(CheckReport(Span(c.datagram), &report), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(report.cpu, c.cpu) << c.name;
            EXPECT_EQ(report.mb, c.mb) << c.name;
        }
    }
}

TEST(ReportCheck, StateAndHead) {
    const struct {
        std::string datagram;
        const char* head;
        const char* json;
        std::string headed;  // empty: too long for the head
    } cases[] = {
        {WithNul("PC01 CPU:47 MB:38"), "HOME", "{\"cpu\":47,\"mb\":38}", WithNul("HOME CPU:47 MB:38")},
        {WithNul(" CPU:05 MB:-3"), "PC01", "{\"cpu\":5,\"mb\":-3}", WithNul("PC01 CPU:05 MB:-3")},
        {WithNul(". CPU:-2147483648 MB:0"), "X", "{\"cpu\":-2147483648,\"mb\":0}",
         WithNul("X CPU:-2147483648 MB:0")},
        // 28 bytes of text after the word, a 72-byte head: 100 bytes with the NUL, still fits.
        {WithNul(". CPU:-1234567890 MB:1234567"), "HHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHH",
         "{\"cpu\":-1234567890,\"mb\":1234567}",
         WithNul(std::string(72, 'H') + " CPU:-1234567890 MB:1234567")},
        {WithNul(". CPU:-1234567890 MB:12345678"), "HHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHH",
         "{\"cpu\":-1234567890,\"mb\":12345678}", ""},
    };
    for (const auto& c : cases) {
        Report report = {};
        ASSERT_TRUE(CheckReport(Span(c.datagram), &report)) << c.datagram;
        char json[40];
        FormatStateJson(&report, json, sizeof json);
        EXPECT_STREQ(json, c.json);
        uint8_t out[kMaxReportBytes];
        uint32_t size = ReplaceLeadingWord(Span(c.datagram), &report, c.head, out);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), size), c.headed) << c.datagram;
    }
}

}  // namespace
