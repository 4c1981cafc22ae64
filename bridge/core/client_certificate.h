// Whether the client certificate can be presented, judged from what Windows read of it, and
// when its coming expiry is worth a warning. Platform-free: the Windows side gathers the facts
// (bridge/platform/win32/win32_client_certificate.cpp), this judges them.
#ifndef VARDEX_BRIDGE_CORE_CLIENT_CERTIFICATE_H
#define VARDEX_BRIDGE_CORE_CLIENT_CERTIFICATE_H

#include <stdint.h>

struct ClientCertFacts {
    int found;
    int hasPrivateKey;          // the certificate is tied to a key, in a key store or in memory
    int keyUsable;              // and this account can use that key
    int32_t secondsToExpiry;    // until notAfter; negative once past (both clamped to
                                // about 68 years either way)
    int32_t secondsSinceStart;  // since notBefore; negative before it
    int hasUsages;              // an extended key usage extension is there
    int usableByClients;        // and it names client authentication or any usage
};

enum ClientCertVerdict {
    kClientCertOk,
    kClientCertNotFound,
    kClientCertNoKey,
    kClientCertKeyUnusable,
    kClientCertExpired,
    kClientCertNotYetValid,
    kClientCertNotForClients,
};

ClientCertVerdict JudgeClientCertificate(const ClientCertFacts* facts);
// What is wrong, as the end of "the client certificate ..." lines.
const char* ClientCertVerdictText(ClientCertVerdict verdict);

// How soon a warning is due before expiry, and how often it repeats.
const int32_t kExpiryWarningSeconds = 14 * 86400;
const uint32_t kExpiryWarningEveryMs = 86400000;
// Whole days left when a warning is due, rounded down; -1 while expiry is further off.
int ExpiryWarningDays(int32_t secondsToExpiry);

// PFXImportCertStore's flags, in the order to try them: the key kept in memory only (Windows 8
// and later; older ones refuse the flag), then kept in a key set: the machine's for a service,
// where Windows keeps LocalMachine\My's keys, then the user's, since Wine's machine key set does
// not work. Returns how many were written to out.
const uint32_t kPfxNoPersistKey = 0x00008000;   // PKCS12_NO_PERSIST_KEY
const uint32_t kPfxMachineKeyset = 0x00000020;  // CRYPT_MACHINE_KEYSET
const uint32_t kPfxUserKeyset = 0x00001000;     // CRYPT_USER_KEYSET
int PfxImportFlags(int asService, uint32_t out[3]);

#endif
