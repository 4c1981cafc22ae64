// The certificates of a PEM file (--cafile): each "BEGIN CERTIFICATE" block's base64 decoded to
// DER into the caller's buffer. Text around the blocks, and blocks of other kinds, are skipped,
// as OpenSSL's tools skip them.
#ifndef VARDEX_BRIDGE_CORE_PEM_H
#define VARDEX_BRIDGE_CORE_PEM_H

#include <stdint.h>

struct DerSpan {
    uint32_t offset;  // into the caller's output buffer
    uint32_t size;
};

const int kPemNoCertificate = -1;  // not one BEGIN CERTIFICATE block
const int kPemBroken = -2;         // a block without its END line, or with a bad base64 character
const int kPemTooMany = -3;        // more certificates, or more bytes, than the caller made room for

// Decodes every certificate block of text into out, one after another, and says where each is
// in certs. Returns how many, or one of the errors above.
int ReadPemCertificates(const uint8_t* text, uint32_t size, uint8_t* out, uint32_t outCapacity,
                        DerSpan* certs, int maxCerts);

#endif
