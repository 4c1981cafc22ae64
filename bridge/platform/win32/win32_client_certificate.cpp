// The client certificate: thin forwards to CRYPT32's stores, PKCS#12 import and key lookup.
#include "bridge/platform/win32/win32_client_certificate.h"

#include "bridge/core/client_certificate.h"
#include "bridge/core/text.h"
#include "bridge/platform/win32/win32_bridge_platform.h"
#include "bridge/platform/win32/win32_trust.h"

#include <windows.h>
#include <wincrypt.h>

namespace {

PCCERT_CONTEXT held;
HCERTSTORE pfxStore;
uint8_t pfxBytes[65536];

void SayIn(char* message, uint32_t size, const char* first, const char* second = "",
         const char* third = "", const char* fourth = "") {
    TextBuilder text = {message, size, 0, 0};
    AppendText(&text, first);
    AppendText(&text, second);
    AppendText(&text, third);
    AppendText(&text, fourth);
    FinishText(&text);
}

// Whole seconds from one time to the other, clamped to 32 bits; through a double, since 32-bit
// code without a C runtime has no 64-bit division.
int32_t Seconds(const FILETIME& from, const FILETIME& to) {
    int64_t a = static_cast<int64_t>(static_cast<uint64_t>(from.dwHighDateTime) << 32 |
                                     from.dwLowDateTime);
    int64_t b = static_cast<int64_t>(static_cast<uint64_t>(to.dwHighDateTime) << 32 |
                                     to.dwLowDateTime);
    double seconds = static_cast<double>(b - a) / 1e7;
    if (seconds > 2147483647.0) return 2147483647;
    if (seconds < -2147483647.0) return -2147483647;
    return static_cast<int32_t>(seconds);
}

int HasProperty(PCCERT_CONTEXT cert, DWORD property) {
    DWORD size = 0;
    return CertGetCertificateContextProperty(cert, property, nullptr, &size);
}

// A key in a key store names its provider; one imported to memory only has a handle.
int HasKey(PCCERT_CONTEXT cert) {
    return HasProperty(cert, CERT_KEY_PROV_INFO_PROP_ID) ||
           HasProperty(cert, CERT_KEY_CONTEXT_PROP_ID) ||
           HasProperty(cert, CERT_NCRYPT_KEY_HANDLE_PROP_ID);
}

// The facts the verdict needs: key, dates, usage.
ClientCertFacts FactsOf(PCCERT_CONTEXT cert) {
    ClientCertFacts f = {};
    f.found = cert != nullptr;
    if (cert == nullptr) return f;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    f.secondsToExpiry = Seconds(now, cert->pCertInfo->NotAfter);
    f.secondsSinceStart = Seconds(cert->pCertInfo->NotBefore, now);
    f.hasPrivateKey = HasKey(cert);
    if (f.hasPrivateKey) {
        // Cached with the certificate, so nothing is to be freed here. Keys behind CNG (a TPM)
        // need the newer flag, which XP refuses.
        HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
        DWORD keyKind = 0;
        BOOL free = FALSE;
        const DWORD flags = CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_SILENT_FLAG;
        const DWORD cng = CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG;
        f.keyUsable =
            CryptAcquireCertificatePrivateKey(cert, flags | cng, nullptr, &key, &keyKind, &free) ||
            CryptAcquireCertificatePrivateKey(cert, flags, nullptr, &key, &keyKind, &free);
    }
    int allows = UsageAllows(cert, szOID_PKIX_KP_CLIENT_AUTH);
    f.hasUsages = allows >= 0;
    f.usableByClients = allows == 1;
    return f;
}

PCCERT_CONTEXT FindInMy(DWORD location, const uint8_t hash[20]) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                     location | CERT_STORE_OPEN_EXISTING_FLAG |
                                         CERT_STORE_READONLY_FLAG,
                                     "MY");
    if (store == nullptr) return nullptr;
    CRYPT_HASH_BLOB blob = {20, const_cast<BYTE*>(hash)};
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_HASH,
                                                      &blob, nullptr);
    CertCloseStore(store, 0);  // the context keeps what it needs
    return found;
}

// The PFX's certificate that has its key with it (a PFX may carry the CA's too). Wine finds
// none with CERT_FIND_HAS_PRIVATE_KEY, so each is asked.
PCCERT_CONTEXT WithKey(HCERTSTORE store) {
    PCCERT_CONTEXT each = nullptr;
    while ((each = CertEnumCertificatesInStore(store, each)) != nullptr) {
        if (HasKey(each)) return CertDuplicateCertificateContext(each);
    }
    return nullptr;
}

// The PFX opened with each way Windows may take it; 0 with a line when none does.
int ImportPfx(const char* path, int asService, const char* password, char* message,
              uint32_t messageSize) {
    int size = ReadFileStart(path, pfxBytes, sizeof pfxBytes);
    if (size < 0 || static_cast<uint32_t>(size) == sizeof pfxBytes) {
        SayIn(message, messageSize, size < 0 ? "cannot read the certificate file "
                                           : "the certificate file is over 64 KiB: ", path);
        return 0;
    }
    CRYPT_DATA_BLOB blob = {static_cast<DWORD>(size), pfxBytes};
    if (!PFXIsPFXBlob(&blob)) {
        SayIn(message, messageSize, "the certificate file ", path, " is not a PFX (PKCS#12) file");
        return 0;
    }
    wchar_t wide[kMaxPassword + 1];
    wide[0] = 0;
    if (password != nullptr &&
        MultiByteToWideChar(CP_UTF8, 0, password, -1, wide, kMaxPassword + 1) == 0) {
        wide[0] = 0;  // not UTF-8: tried as empty, and refused as a wrong password
    }
    uint32_t flags[3];
    int count = PfxImportFlags(asService, flags);
    int refused = 0;
    for (int i = 0; i < count && pfxStore == nullptr; ++i) {
        // Without a password, a PFX may have been made with an empty one or with none at all.
        for (int form = 0; form < (password != nullptr ? 1 : 2) && pfxStore == nullptr; ++form) {
            const wchar_t* given = password != nullptr ? wide : form == 0 ? L"" : nullptr;
            pfxStore = PFXImportCertStore(&blob, given, flags[i]);
            DWORD error = pfxStore == nullptr ? GetLastError() : 0;
            // Windows says ERROR_INVALID_PASSWORD; Wine says nothing.
            refused |= pfxStore == nullptr && (error == ERROR_INVALID_PASSWORD || error == 0);
        }
    }
    ZeroBytes(wide, sizeof wide);
    if (pfxStore == nullptr) {
        SayIn(message, messageSize, "the certificate file ", path,
            refused ? " does not open with that password (--cert-password-file)"
                    : " cannot be imported");
        return 0;
    }
    held = WithKey(pfxStore);
    if (held == nullptr) {
        SayIn(message, messageSize, "the certificate file ", path, " holds no certificate with "
            "its private key");
        return 0;
    }
    return 1;
}

}  // namespace

int LoadClientCertificate(const BridgeConfig* config, int asService, const char* pfxPassword,
                          char* message, uint32_t messageSize, int32_t* secondsToExpiry) {
    if (config->certFile[0] != 0) {
        if (!ImportPfx(config->certFile, asService, pfxPassword, message, messageSize)) return 0;
    } else {
        if (!asService) held = FindInMy(CERT_SYSTEM_STORE_CURRENT_USER, config->certHash);
        if (held == nullptr) held = FindInMy(CERT_SYSTEM_STORE_LOCAL_MACHINE, config->certHash);
    }
    ClientCertFacts facts = FactsOf(held);
    ClientCertVerdict verdict = JudgeClientCertificate(&facts);
    *secondsToExpiry = facts.secondsToExpiry;
    if (verdict == kClientCertOk) return 1;
    const char* where = config->certFile[0] != 0 ? config->certFile
                      : asService ? "with that thumbprint (a service looks in the local "
                                    "machine's My store only)"
                                  : "with that thumbprint (looked for in the My stores of the "
                                    "current user and of the local machine)";
    if (verdict == kClientCertKeyUnusable) {
        char account[128];
        DWORD size = sizeof account;
        if (!GetUserNameA(account, &size)) account[0] = 0;
        SayIn(message, messageSize, "the client certificate's private key cannot be used by the "
            "account ", account[0] != 0 ? account : "running the bridge", ": let it read the key "
            "(certificates console: All Tasks > Manage Private Keys)");
    } else {
        SayIn(message, messageSize, "the client certificate ", where, " ",
            ClientCertVerdictText(verdict));
    }
    if (held != nullptr) CertFreeCertificateContext(held);
    held = nullptr;
    return 0;
}

const void* ClientCertificate() { return held; }

int32_t ClientCertificateSecondsToExpiry() {
    if (held == nullptr) return 0;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Seconds(now, held->pCertInfo->NotAfter);
}

void ClientCertificateName(char* out, uint32_t size) {
    out[0] = 0;
    if (held == nullptr || size < 2) return;
    // In the ANSI code page, as the command line's --user arrives. CertGetNameString cuts a
    // name to the buffer: one that fills it whole may have been cut.
    DWORD count = CertGetNameStringA(held, CERT_NAME_ATTR_TYPE, 0,
                                     const_cast<char*>(szOID_COMMON_NAME), out, size);
    if (count >= size) out[0] = 0;
}
