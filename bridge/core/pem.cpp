// PEM certificate blocks to DER.
#include "bridge/core/pem.h"

namespace {

const char kBegin[] = "-----BEGIN CERTIFICATE-----";
const char kEnd[] = "-----END CERTIFICATE-----";

// Where the marker starts at or after from, or size when it is not there.
uint32_t Find(const uint8_t* text, uint32_t size, uint32_t from, const char* marker) {
    uint32_t length = 0;
    while (marker[length] != 0) ++length;
    for (uint32_t at = from; at + length <= size; ++at) {
        uint32_t i = 0;
        while (i < length && text[at + i] == static_cast<uint8_t>(marker[i])) ++i;
        if (i == length) return at;
    }
    return size;
}

// 0-63 for a base64 character, -1 for white space, -2 for anything else.
int Sextet(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return -1;
    return -2;
}

}  // namespace

int ReadPemCertificates(const uint8_t* text, uint32_t size, uint8_t* out, uint32_t outCapacity,
                        DerSpan* certs, int maxCerts) {
    int count = 0;
    uint32_t written = 0;
    uint32_t at = 0;
    for (;;) {
        uint32_t begin = Find(text, size, at, kBegin);
        if (begin == size) break;
        uint32_t body = begin + sizeof kBegin - 1;
        uint32_t end = Find(text, size, body, kEnd);
        if (end == size) return kPemBroken;
        if (count == maxCerts) return kPemTooMany;
        uint32_t start = written;
        uint32_t bits = 0;
        int pending = 0;
        int padding = 0;
        for (uint32_t i = body; i < end; ++i) {
            if (text[i] == '=') {
                ++padding;
                continue;
            }
            int value = Sextet(text[i]);
            if (value == -1) continue;
            // Nothing may follow the padding, and no other character belongs in a block.
            if (value == -2 || padding > 0) return kPemBroken;
            bits = bits << 6 | static_cast<uint32_t>(value);
            pending += 6;
            if (pending >= 8) {
                pending -= 8;
                if (written == outCapacity) return kPemTooMany;
                out[written++] = static_cast<uint8_t>(bits >> pending);
            }
        }
        // Leftover bits are what the padding stood for; a whole leftover character is not.
        if (pending >= 6 || padding > 2 || written == start) return kPemBroken;
        certs[count].offset = start;
        certs[count].size = written - start;
        ++count;
        at = end + sizeof kEnd - 1;
    }
    return count == 0 ? kPemNoCertificate : count;
}
