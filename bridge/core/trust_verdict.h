// Whether the broker's certificate may be trusted, decided from what Windows' chain engine and
// SSL policy found, and the one-line reason when it may not. Platform-free: the Windows side
// gathers the facts (bridge/platform/win32/win32_tls.cpp), this judges them.
//
// The numbers are Windows' own (wincrypt.h, winerror.h), written out so this needs no header.
#ifndef VARDEX_BRIDGE_CORE_TRUST_VERDICT_H
#define VARDEX_BRIDGE_CORE_TRUST_VERDICT_H

#include <stdint.h>

#include "bridge/core/text.h"

// CERT_TRUST_STATUS.dwErrorStatus bits of a chain.
const uint32_t kChainNotTimeValid = 0x00000001;
const uint32_t kChainRevoked = 0x00000004;
const uint32_t kChainBadSignature = 0x00000008;
const uint32_t kChainWrongUsage = 0x00000010;
const uint32_t kChainUntrustedRoot = 0x00000020;
const uint32_t kChainInvalidBasicConstraints = 0x00000400;
const uint32_t kChainNameConstraints = 0x0000F800;  // invalid, unsupported, undefined,
                                                     // not permitted, excluded
const uint32_t kChainPartial = 0x00010000;

// CertGetCertificateChain's dwFlags. Nothing is fetched while the chain is built: a broker's
// certificate that names AIA or CRL addresses would otherwise send a service, as SYSTEM, out to
// them. With a CA file, Windows' roots are not wanted, so neither is their update.
const uint32_t kChainCacheOnlyUrlRetrieval = 0x00000004;
const uint32_t kChainDisableAuthRootAutoUpdate = 0x00000100;
uint32_t ChainBuildFlags(int haveCaFile);

// CertVerifyCertificateChainPolicy's verdicts.
const uint32_t kPolicyExpired = 0x800B0101;
const uint32_t kPolicyUntrustedRoot = 0x800B0109;
const uint32_t kPolicyChaining = 0x800B010A;
const uint32_t kPolicyNameMismatch = 0x800B010F;
const uint32_t kPolicyWrongUsage = 0x800B0110;
const uint32_t kPolicyRevoked = 0x80092010;
const uint32_t kPolicyBadSignature = 0x80096004;

struct ChainFacts {
    uint32_t chainErrors;    // of the whole chain
    int haveCaFile;          // --cafile given: only its certificates may be the root
    int rootInCaFile;        // the chain's root is, byte for byte, one of them
    uint32_t policyError;    // the SSL policy's answer for the host (0: none)
    int hostIsAddress;       // --broker named an IP address, which the policy cannot match
    int addressInCertificate;  // then: one of the certificate's IP address entries is it
    // Read from the certificates between the broker's and the root, which the chain engine
    // does not judge alike everywhere (Wine refuses an issuer without basic constraints, which
    // Microsoft documents as accepted, and passes one whose usage forbids servers):
    int issuerNotCa;          // one is no CA: kIssuerSaysNotCa or kIssuerUnconstrained
    int issuerNotForServers;  // one has extended key usages without server authentication
};

const int kIssuerSaysNotCa = 1;      // its basic constraints say cA false
const int kIssuerUnconstrained = 2;  // it has none (only a self-signed root may lack them)

enum TrustVerdict {
    kTrustOk,
    kTrustUnknownAuthority,
    kTrustExpired,
    kTrustWrongName,
    kTrustWrongUsage,
    kTrustRevoked,
    kTrustBadSignature,
    kTrustIssuerNotCa,
    kTrustIssuerUnconstrained,
    kTrustIssuerNotForServers,
    kTrustNameConstraint,
    kTrustOldProtocol,  // not from the chain: the connection is older than TLS 1.2
    kTrustOther,
};

TrustVerdict JudgeChain(const ChainFacts* facts);
// What failed, as the start of a log line ("the broker's certificate ...").
void AppendTrustVerdict(TextBuilder* text, TrustVerdict verdict);

// The address an IP literal names: 4 bytes for a dotted IPv4 address, 16 for an IPv6 one
// (with :: and a dotted tail allowed); 0 when the text is a host name instead.
int ParseIpLiteral(const char* text, uint8_t out[16]);

#endif
