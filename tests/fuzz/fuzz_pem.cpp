// Fuzzes the CA file's PEM reading: whatever the text, the certificates found lie inside the
// output, one after another, and decoding the same text again gives the same result. The same
// bytes also go through the reading of a broker's CertificateRequest and its CA names.
#include "bridge/core/pem.h"
#include "bridge/core/tls_layer.h"

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
    // The issuer is the input's own tail, so that "listed" is reachable.
    char names[64] = {0};
    uint32_t tail = size > 16 ? 16 : static_cast<uint32_t>(size);
    int listed = CertificateRequestLists(data, static_cast<uint32_t>(size), data + size - tail,
                                         tail, names, sizeof names);
    if (listed < -1 || listed > 1 || memchr(names, 0, sizeof names) == nullptr) abort();
    return 0;
}
