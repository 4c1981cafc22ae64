// The client certificate's verdict and its expiry warning.
#include "bridge/core/client_certificate.h"

ClientCertVerdict JudgeClientCertificate(const ClientCertFacts* f) {
    if (!f->found) return kClientCertNotFound;
    if (f->secondsToExpiry < 0) return kClientCertExpired;
    if (f->secondsSinceStart < 0) return kClientCertNotYetValid;
    // A broker checks the usage: one without client authentication is refused at the handshake.
    if (f->hasUsages && !f->usableByClients) return kClientCertNotForClients;
    if (!f->hasPrivateKey) return kClientCertNoKey;
    if (!f->keyUsable) return kClientCertKeyUnusable;
    return kClientCertOk;
}

const char* ClientCertVerdictText(ClientCertVerdict verdict) {
    switch (verdict) {
        case kClientCertOk: return "can be used";
        case kClientCertNotFound: return "is not in the My store";
        case kClientCertNoKey: return "has no private key with it";
        case kClientCertKeyUnusable: return "has a private key that this account cannot use";
        case kClientCertExpired: return "has expired";
        case kClientCertNotYetValid: return "is not valid yet";
        default:
            return "may not be used by a client: its extended key usage lacks client "
                   "authentication";
    }
}

namespace {

// The next character of a name that counts, in lower case; 0 at its end. Spaces count inside
// a value only.
char NameChar(const char** at, char previous) {
    const char* p = *at;
    const char* after = p;
    while (*after == ' ') ++after;
    if (after != p && (previous == 0 || previous == ',' || previous == '=' || *after == 0 ||
                       *after == ',' || *after == '=')) {
        p = after;
    }
    char c = *p;
    *at = c != 0 ? p + 1 : p;
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

}  // namespace

int IssuerNamed(const char* given, const char* shown) {
    char a = 0;
    char b = 0;
    do {
        a = NameChar(&given, a);
        b = NameChar(&shown, b);
        if (a != b) return 0;
    } while (a != 0);
    return 1;
}

int NewestUsable(const ClientCertFacts* facts, int count) {
    int best = -1;
    for (int i = 0; i < count; ++i) {
        const ClientCertFacts* f = &facts[i];
        if (JudgeClientCertificate(f) != kClientCertOk) continue;
        // Started later: fewer seconds since its start.
        const ClientCertFacts* b = best >= 0 ? &facts[best] : nullptr;
        if (b == nullptr || f->secondsSinceStart < b->secondsSinceStart ||
            (f->secondsSinceStart == b->secondsSinceStart &&
             f->secondsToExpiry > b->secondsToExpiry)) {
            best = i;
        }
    }
    return best;
}

int ExpiryWarningDays(int32_t secondsToExpiry) {
    if (secondsToExpiry < 0 || secondsToExpiry >= kExpiryWarningSeconds) return -1;
    return static_cast<int>(secondsToExpiry / 86400);
}

int PfxImportFlags(int asService, uint32_t out[2]) {
    int count = 0;
    if (asService) out[count++] = kPfxMachineKeyset;
    out[count++] = kPfxUserKeyset;
    return count;
}

KeyDeletion KeyDeletionFor(uint32_t provType, uint32_t provInfoFlags) {
    uint32_t where = provInfoFlags & (kPfxMachineKeyset | kCryptSilent);
    if (provType == 0) return KeyDeletion{1, where};
    return KeyDeletion{0, where | kCryptDeleteKeyset};
}

int RecordedRunEnded(int opened, uint32_t openError, int signaled) {
    return opened ? signaled != 0 : openError != kErrorAccessDenied;
}
