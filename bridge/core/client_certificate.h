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

// --cert-issuer: whether given names a CA as Windows shows its name (shown): the whole subject
// as certutil and the certificate dialog write it ("CN=Fleet CA, O=Example"), or its common
// name alone. Letters of either case; spaces around ',' and '=' do not count.
int IssuerNamed(const char* given, const char* shown);
// Among count certificates of that CA, the newest that can be used (latest notBefore, then
// latest notAfter; the first of equals): its index, or -1.
int NewestUsable(const ClientCertFacts* facts, int count);

// How soon a warning is due before expiry, and how often it repeats.
const int32_t kExpiryWarningSeconds = 14 * 86400;
const uint32_t kExpiryWarningEveryMs = 86400000;
// Whole days left when a warning is due, rounded down; -1 while expiry is further off.
int ExpiryWarningDays(int32_t secondsToExpiry);

// PFXImportCertStore's flags, in the order to try them. The key is always kept in a key set:
// Schannel signs in LSASS, which cannot use a key kept in this process only
// (PKCS12_NO_PERSIST_KEY), so the run deletes it again when it ends. A console run's goes to
// the user's key set; a service's (and install's) to the machine's, where Windows keeps
// LocalMachine\My's keys, then the user's, since Wine's machine key set does not work. Never
// CRYPT_EXPORTABLE. Returns how many were written to out.
const uint32_t kPfxMachineKeyset = 0x00000020;  // CRYPT_MACHINE_KEYSET
const uint32_t kPfxUserKeyset = 0x00001000;     // CRYPT_USER_KEYSET
int PfxImportFlags(int asService, uint32_t out[2]);

// How an imported key is deleted, from its certificate's CRYPT_KEY_PROV_INFO: a provider type
// of 0 names a CNG key storage provider (NCryptOpenKey's flags, then NCryptDeleteKey), any
// other a CryptoAPI one (CryptAcquireContext's flags, with CRYPT_DELETEKEYSET). Only the
// machine and silent flags carry over; the others there say how to open the key, not where.
struct KeyDeletion {
    int cng;
    uint32_t flags;
};
const uint32_t kCryptDeleteKeyset = 0x00000010;  // CRYPT_DELETEKEYSET
const uint32_t kCryptSilent = 0x00000040;        // CRYPT_SILENT, NCRYPT_SILENT_FLAG
KeyDeletion KeyDeletionFor(uint32_t provType, uint32_t provInfoFlags);

// Whether a key recorded by another run of the bridge is a leftover to delete: that run has
// ended (killed, so it could not delete its key). opened: OpenProcess gave a handle for the
// recorded process id, and signaled: that process has ended; else openError, its error. Only
// ERROR_ACCESS_DENIED says that a process is there (an elevated run, say); Windows documents
// no one code for an id that no process has.
const uint32_t kErrorAccessDenied = 5;
int RecordedRunEnded(int opened, uint32_t openError, int signaled);

#endif
