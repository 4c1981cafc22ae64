// Fuzzes the bridge's report check against a plain reference reading of the same rule, and
// checks that what it makes of an accepted report (the state, a new leading word) is sound.
#include "bridge/core/report_check.h"

#include <stdlib.h>
#include <string.h>

#include <string>

// "<word> CPU:<int> MB:<int>" and one NUL, at most 100 bytes, read the slow way.
static bool Reference(const std::string& d, long long* cpu, long long* mb) {
    if (d.size() < 2 || d.size() > 100 || d.back() != '\0') return false;
    std::string text = d.substr(0, d.size() - 1);
    if (text.find('\0') != std::string::npos) return false;
    size_t space = text.find(' ');
    if (space == std::string::npos) return false;
    for (size_t i = 0; i < space; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x21 || c > 0x7F) return false;
    }
    std::string rest = text.substr(space);
    if (rest.compare(0, 5, " CPU:") != 0) return false;
    size_t mbAt = rest.find(" MB:");
    if (mbAt == std::string::npos) return false;
    auto number = [](const std::string& s, long long* value) {
        size_t i = s.size() > 0 && s[0] == '-' ? 1 : 0;
        if (i == s.size()) return false;
        for (size_t j = i; j < s.size(); ++j) {
            if (s[j] < '0' || s[j] > '9') return false;
        }
        size_t first = s.find_first_not_of('0', i);
        if (first != std::string::npos && s.size() - first > 10) return false;
        *value = strtoll(s.c_str(), nullptr, 10);
        return *value >= INT32_MIN && *value <= INT32_MAX;
    };
    return number(rest.substr(5, mbAt - 5), cpu) && number(rest.substr(mbAt + 4), mb);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string datagram(reinterpret_cast<const char*>(data), size);
    long long cpu = 0, mb = 0;
    bool expected = Reference(datagram, &cpu, &mb);
    Report report;
    ByteSpan span = {data, static_cast<uint32_t>(size)};
    bool got = CheckReport(span, &report);
    if (got != expected) abort();
    if (!got) return 0;
    if (report.cpu != cpu || report.mb != mb) abort();

    char json[40];
    uint32_t length = FormatStateJson(&report, json, sizeof json);
    std::string want = "{\"cpu\":" + std::to_string(report.cpu) + ",\"mb\":" +
                       std::to_string(report.mb) + "}";
    if (length == 0 || want != json) abort();

    uint8_t headed[kMaxReportBytes];
    uint32_t headedSize = ReplaceLeadingWord(span, &report, "HEAD", headed);
    Report again;
    if (headedSize != 0 && (!CheckReport(ByteSpan{headed, headedSize}, &again) ||
                            again.cpu != report.cpu || again.mb != report.mb)) {
        abort();
    }
    if (headedSize == 0 && size - report.wordSize + 4 <= kMaxReportBytes) abort();
    return 0;
}
