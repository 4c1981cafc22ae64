// Fuzzes the CA file's PEM reading: whatever the text, the certificates found lie inside the
// output, one after another, and decoding the same text again gives the same result.
#include "bridge/core/pem.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t out[4096];
    DerSpan certs[8];
    int count = ReadPemCertificates(data, static_cast<uint32_t>(size), out, sizeof out, certs, 8);
    if (count > 8 || count < kPemTooMany || count == 0) abort();
    uint32_t end = 0;
    for (int i = 0; i < count; ++i) {
        if (certs[i].offset != end || certs[i].size == 0 || certs[i].size > sizeof out - end) abort();
        end += certs[i].size;
    }
    uint8_t again[4096];
    DerSpan certsAgain[8];
    int count2 = ReadPemCertificates(data, static_cast<uint32_t>(size), again, sizeof again,
                                     certsAgain, 8);
    if (count2 != count || (count > 0 && memcmp(out, again, end) != 0)) abort();
    return 0;
}
