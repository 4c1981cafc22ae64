// The broker's certificate against the CA file or Windows' trust store, and the host: the
// certificate check that the TLS provider makes once the handshake is done. Declared without
// Windows types; only win32_trust.cpp includes the Windows headers.
#ifndef VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_TRUST_H
#define VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_TRUST_H

#include "bridge/core/pem.h"
#include "bridge/core/trust_verdict.h"

#include <stdint.h>

// Trusts only these certificates as roots for the broker; returns 0, or 1 + the index of one
// that Windows cannot read.
int TrustOnlyCertificates(const uint8_t* der, const DerSpan* certs, int count);
// certificate: the broker's, as the PCCERT_CONTEXT Schannel gave. On kTrustWrongName, names
// holds the names it does carry.
TrustVerdict JudgeBrokerCertificate(const void* certificate, const char* host, char* names,
                                    uint32_t namesSize);

// Whether a certificate (a PCCERT_CONTEXT) may be used for usage (an OID): 1 when its extended
// key usages name it or any usage, 0 when they do not, -1 when it lists none (any use).
int UsageAllows(const void* certificate, const char* usage);

#endif
