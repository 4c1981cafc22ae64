// The certificate verdict and IP literals.
#include "bridge/core/trust_verdict.h"

uint32_t ChainBuildFlags(int haveCaFile) {
    return kChainCacheOnlyUrlRetrieval | (haveCaFile ? kChainDisableAuthRootAutoUpdate : 0);
}

TrustVerdict JudgeChain(const ChainFacts* f) {
    uint32_t errors = f->chainErrors;
    // A CA file replaces Windows' roots: its certificate ends the chain, or nothing does.
    if (f->haveCaFile) {
        if (!f->rootInCaFile) return kTrustUnknownAuthority;
        errors &= ~kChainUntrustedRoot;
    }
    // An issuer that may not sign for servers lets whoever holds its key be any broker.
    // Windows' engine passes an issuer without basic constraints; OpenSSL does not, nor this.
    if (f->issuerNotCa == kIssuerUnconstrained) return kTrustIssuerUnconstrained;
    if (f->issuerNotCa) return kTrustIssuerNotCa;
    if (f->issuerNotForServers) return kTrustIssuerNotForServers;
    // The chain's own faults first: they say more than the policy's first error would.
    if (errors & kChainNotTimeValid) return kTrustExpired;
    if (errors & kChainBadSignature) return kTrustBadSignature;
    if (errors & kChainRevoked) return kTrustRevoked;
    if (errors & kChainWrongUsage) return kTrustWrongUsage;
    if (errors & kChainInvalidBasicConstraints) return kTrustIssuerNotCa;
    if (errors & kChainNameConstraints) return kTrustNameConstraint;
    if (errors & (kChainUntrustedRoot | kChainPartial)) return kTrustUnknownAuthority;
    if (errors != 0) return kTrustOther;
    uint32_t policy = f->policyError;
    // The policy matches host names only; an address was compared against the certificate's
    // address entries instead.
    if (f->hostIsAddress) {
        if (!f->addressInCertificate) return kTrustWrongName;
        if (policy == kPolicyNameMismatch) policy = 0;
    }
    if (f->haveCaFile && (policy == kPolicyUntrustedRoot || policy == kPolicyChaining)) policy = 0;
    switch (policy) {
        case 0: return kTrustOk;
        case kPolicyExpired: return kTrustExpired;
        case kPolicyUntrustedRoot:
        case kPolicyChaining: return kTrustUnknownAuthority;
        case kPolicyNameMismatch: return kTrustWrongName;
        case kPolicyWrongUsage: return kTrustWrongUsage;
        case kPolicyRevoked: return kTrustRevoked;
        case kPolicyBadSignature: return kTrustBadSignature;
        default: return kTrustOther;
    }
}

namespace {

// The verdicts' texts in their order, each after "the broker's certificate" unless it starts
// with a letter; a '~' stands for " cannot be trusted", a '^' for that and ": a certificate
// above it is not a CA (".
const char kVerdictTexts[] =
    " is trusted\0"
    " is signed by an unknown authority\0"
    ", or one above it, has expired or is not yet valid\0"
    " is for another name\0"
    " is not one for a server (its usage forbids it)\0"
    " has been revoked\0"
    " chain has a bad signature\0"
    "^its basic constraints say so)\0"
    "^it has no basic constraints)\0"
    "~: a CA above it may not sign for servers (its extended key usage lacks server "
    "authentication)\0"
    "~: it breaks a name constraint of a CA above it\0"
    "this Windows and the broker agreed on a TLS older than 1.2, which the bridge refuses "
    "(Windows before 7 has no TLS 1.2 client; Windows 7 needs its update)\0"
    "~";

}  // namespace

void AppendTrustVerdict(TextBuilder* text, TrustVerdict verdict) {
    const char* p = kVerdictTexts;
    for (int i = 0; i < verdict && i < kTrustOther; ++i) p += TextLength(p) + 1;
    if (*p >= 'a' && *p <= 'z') {
        AppendText(text, p);
        return;
    }
    AppendText(text, "the broker's certificate");
    if (*p == '~' || *p == '^') {
        AppendText(text, " cannot be trusted");
        if (*p == '^') AppendText(text, ": a certificate above it is not a CA (");
        ++p;
    }
    AppendText(text, p);
}

namespace {

// A decimal number from 0 to 255 at *p, moving past it; -1 when there is none.
int DecimalOctet(const char** p) {
    int value = 0;
    int digits = 0;
    while (**p >= '0' && **p <= '9') {
        value = value * 10 + (**p - '0');
        ++*p;
        if (++digits > 3 || value > 255) return -1;
    }
    return digits == 0 ? -1 : value;
}

int ParseIpv4(const char* p, uint8_t out[4]) {
    for (int i = 0; i < 4; ++i) {
        int octet = DecimalOctet(&p);
        if (octet < 0) return 0;
        out[i] = static_cast<uint8_t>(octet);
        if (i < 3 && *p++ != '.') return 0;
    }
    return *p == 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int ParseIpv6(const char* p, uint8_t out[16]) {
    uint8_t head[16] = {};
    uint8_t tail[16] = {};
    int headSize = 0;
    int tailSize = 0;
    int gap = 0;  // "::" seen: what follows goes to the tail
    if (p[0] == ':' && p[1] == ':') {
        gap = 1;
        p += 2;
    } else if (*p == ':') {
        return 0;
    }
    while (*p != 0) {
        uint8_t* group = gap ? tail : head;
        int* used = gap ? &tailSize : &headSize;
        // A dotted IPv4 tail stands for the last two groups.
        const char* q = p;
        while (*q != 0 && *q != ':' && *q != '.') ++q;
        if (*q == '.') {
            if (*used > 12 || !ParseIpv4(p, group + *used)) return 0;
            *used += 4;
            break;
        }
        int value = 0;
        int digits = 0;
        while (HexDigit(*p) >= 0) {
            value = value << 4 | HexDigit(*p++);
            if (++digits > 4) return 0;
        }
        if (digits == 0 || *used > 14) return 0;
        group[(*used)++] = static_cast<uint8_t>(value >> 8);
        group[(*used)++] = static_cast<uint8_t>(value);
        if (*p == 0) break;
        if (*p++ != ':') return 0;
        if (*p == ':') {
            if (gap) return 0;
            gap = 1;
            ++p;
            if (*p == 0) break;
        } else if (*p == 0) {
            return 0;  // a lone trailing colon
        }
    }
    int total = headSize + tailSize;
    if (total > 16 || (!gap && total != 16) || (gap && total > 14)) return 0;
    for (int i = 0; i < 16; ++i) out[i] = 0;
    for (int i = 0; i < headSize; ++i) out[i] = head[i];
    for (int i = 0; i < tailSize; ++i) out[16 - tailSize + i] = tail[i];
    return 1;
}

}  // namespace

int ParseIpLiteral(const char* text, uint8_t out[16]) {
    for (const char* p = text; *p != 0; ++p) {
        if (*p == ':') return ParseIpv6(text, out) ? 16 : 0;
    }
    return ParseIpv4(text, out) ? 4 : 0;
}
