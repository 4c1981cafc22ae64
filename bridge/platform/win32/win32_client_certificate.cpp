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
// Why the held certificate's key cannot be used: CryptAcquireCertificatePrivateKey's error.
DWORD keyError;
// Install keeps the imported key with the certificate it put in LocalMachine\My.
int keepImportedKeys;
// A certificate install put in LocalMachine\My, taken out again unless the service was
// installed.
BYTE storedHash[20];
int storedNew;
// The key set of the import: Wine names the user's in the certificate's CRYPT_KEY_PROV_INFO
// after importing to the machine's.
DWORD importedTo;

// Each key a run imported is recorded here while the run lasts, named by its container, so
// that the next run deletes what a killed one could not.
const wchar_t kKeyRecords[] = L"Software\\vardex\\vardex-bridge\\Imported keys";
struct KeyRecord {
    uint32_t process;
    uint32_t provType;
    uint32_t provFlags;
    wchar_t provider[128];
};
KeyRecord record;
wchar_t recordName[260];
alignas(CRYPT_KEY_PROV_INFO) uint8_t provInfo[2048];  // a CRYPT_KEY_PROV_INFO and its strings

void SayIn(char* message, uint32_t size, const char* first, const char* second = "",
         const char* third = "", const char* fourth = "") {
    TextBuilder text = {message, size, 0, 0};
    AppendFormat(&text, "%s%s%s%s", first, second, third, fourth);
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

BRIDGE_NOINLINE int HasProperty(PCCERT_CONTEXT cert, DWORD property) {
    DWORD size = 0;
    return CertGetCertificateContextProperty(cert, property, nullptr, &size);
}

// A key in a key store names its provider; one imported to memory only has a handle.
int HasKey(PCCERT_CONTEXT cert) {
    return HasProperty(cert, CERT_KEY_PROV_INFO_PROP_ID) ||
           HasProperty(cert, CERT_KEY_CONTEXT_PROP_ID) ||
           HasProperty(cert, CERT_NCRYPT_KEY_HANDLE_PROP_ID);
}

FILETIME Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}

// The facts the verdict needs: key, dates, usage.
ClientCertFacts FactsOf(PCCERT_CONTEXT cert, FILETIME now) {
    ClientCertFacts f = {};
    f.found = cert != nullptr;
    if (cert == nullptr) return f;
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
        keyError = f.keyUsable ? 0 : GetLastError();
    }
    int allows = UsageAllows(cert, szOID_PKIX_KP_CLIENT_AUTH);
    f.hasUsages = allows >= 0;
    f.usableByClients = allows == 1;
    return f;
}

// The certificate's CRYPT_KEY_PROV_INFO in provInfo, or null when its key is not in a key set.
const CRYPT_KEY_PROV_INFO* KeySetOf(PCCERT_CONTEXT cert) {
    DWORD size = sizeof provInfo;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, provInfo, &size)) {
        return nullptr;
    }
    const CRYPT_KEY_PROV_INFO* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(provInfo);
    return info->pwszContainerName != nullptr ? info : nullptr;
}

// CNG is there from Vista on: looked up when needed, so the bridge still starts on XP.
typedef LONG(WINAPI* OpenProviderCall)(ULONG_PTR*, LPCWSTR, DWORD);
typedef LONG(WINAPI* OpenKeyCall)(ULONG_PTR, ULONG_PTR*, LPCWSTR, DWORD, DWORD);
typedef LONG(WINAPI* DeleteKeyCall)(ULONG_PTR, DWORD);
typedef LONG(WINAPI* FreeObjectCall)(ULONG_PTR);

template <typename Call>
Call Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Deletes a key container that PFXImportCertStore made, the way its provider deletes one.
void DeleteKeySet(const wchar_t* container, const wchar_t* provider, DWORD provType,
                  DWORD provFlags) {
    KeyDeletion how = KeyDeletionFor(provType, provFlags);
    if (!how.cng) {
        HCRYPTPROV unused = 0;
        CryptAcquireContextW(&unused, container, provider, provType, how.flags);
        return;
    }
    HMODULE ncrypt = LoadLibraryA("ncrypt.dll");
    if (ncrypt == nullptr) return;
    OpenProviderCall openProvider = Lookup<OpenProviderCall>(ncrypt, "NCryptOpenStorageProvider");
    OpenKeyCall openKey = Lookup<OpenKeyCall>(ncrypt, "NCryptOpenKey");
    DeleteKeyCall deleteKey = Lookup<DeleteKeyCall>(ncrypt, "NCryptDeleteKey");
    FreeObjectCall freeObject = Lookup<FreeObjectCall>(ncrypt, "NCryptFreeObject");
    ULONG_PTR store = 0;
    ULONG_PTR key = 0;
    if (openProvider != nullptr && openKey != nullptr && deleteKey != nullptr &&
        freeObject != nullptr && openProvider(&store, provider, 0) == 0) {
        // NCryptDeleteKey frees the key's handle too.
        if (openKey(store, &key, container, 0, how.flags) == 0) deleteKey(key, 0);
        freeObject(store);
    }
    FreeLibrary(ncrypt);
}

HKEY OpenRecords() {
    HKEY records = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kKeyRecords, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &records,
                        nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return records;
}

// The keys that runs killed before they could delete them: their process has ended.
void DeleteLeftoverKeys() {
    HKEY records = OpenRecords();
    if (records == nullptr) return;
    DWORD index = 0;
    for (;;) {
        DWORD nameSize = sizeof recordName / sizeof recordName[0];
        DWORD size = sizeof record;
        DWORD type = 0;
        ZeroBytes(&record, sizeof record);
        LONG got = RegEnumValueW(records, index, recordName, &nameSize, nullptr, &type,
                                 reinterpret_cast<BYTE*>(&record), &size);
        if (got == ERROR_NO_MORE_ITEMS) break;
        HANDLE run = got == ERROR_SUCCESS ? OpenProcess(SYNCHRONIZE, FALSE, record.process)
                                          : nullptr;
        DWORD openError = run == nullptr ? GetLastError() : 0;
        int ended = run != nullptr && WaitForSingleObject(run, 0) == WAIT_OBJECT_0;
        if (run != nullptr) CloseHandle(run);
        if (got != ERROR_SUCCESS || type != REG_BINARY ||
            !RecordedRunEnded(run != nullptr, openError, ended)) {
            ++index;
            continue;
        }
        record.provider[127] = 0;
        DeleteKeySet(recordName, record.provider, record.provType, record.provFlags);
        RegDeleteValueW(records, recordName);  // the next one moves to this index
    }
    RegCloseKey(records);
}

// Records or forgets (remember 0) the key sets of the PFX's certificates; deletes them with
// forget when keep is 0.
void KeySetsOfPfx(int remember, int keep) {
    HKEY records = OpenRecords();
    PCCERT_CONTEXT each = nullptr;
    while ((each = CertEnumCertificatesInStore(pfxStore, each)) != nullptr) {
        const CRYPT_KEY_PROV_INFO* info = KeySetOf(each);
        if (info == nullptr) continue;
        if (remember) {
            ZeroBytes(&record, sizeof record);
            record.process = GetCurrentProcessId();
            record.provType = info->dwProvType;
            record.provFlags = info->dwFlags | importedTo;
            for (int i = 0; i < 127 && info->pwszProvName != nullptr &&
                            info->pwszProvName[i] != 0; ++i) {
                record.provider[i] = info->pwszProvName[i];
            }
            if (records != nullptr) {
                RegSetValueExW(records, info->pwszContainerName, 0, REG_BINARY,
                               reinterpret_cast<const BYTE*>(&record), sizeof record);
            }
            continue;
        }
        if (!keep) {
            DeleteKeySet(info->pwszContainerName, info->pwszProvName, info->dwProvType,
                         info->dwFlags | importedTo);
        }
        if (records != nullptr) RegDeleteValueW(records, info->pwszContainerName);
    }
    if (records != nullptr) RegCloseKey(records);
}

BRIDGE_NOINLINE HCERTSTORE OpenMy(DWORD location) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                         location | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
                         "MY");
}

PCCERT_CONTEXT FindInMy(DWORD location, const uint8_t hash[20]) {
    HCERTSTORE store = OpenMy(location);
    if (store == nullptr) return nullptr;
    CRYPT_HASH_BLOB blob = {20, const_cast<BYTE*>(hash)};
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_HASH,
                                                      &blob, nullptr);
    CertCloseStore(store, 0);  // the context keeps what it needs
    return found;
}

// A certificate's SHA-1 thumbprint as 40 hex digits, as the certificates dialog shows it.
void ThumbprintOf(PCCERT_CONTEXT cert, char out[41]) {
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &size)) size = 0;
    for (DWORD i = 0; i < size; ++i) {
        out[2 * i] = "0123456789ABCDEF"[hash[i] >> 4];
        out[2 * i + 1] = "0123456789ABCDEF"[hash[i] & 15];
    }
    out[2 * size] = 0;
}

// Whether the certificate's issuer is the CA named: its subject as certutil and the
// certificate dialog show it (its common name first), or that name alone (the certificates
// console's Issued By).
int FromIssuer(PCCERT_CONTEXT cert, const char* name) {
    char shown[kMaxIssuer + 2];
    CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Issuer,
                   CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, shown, sizeof shown);
    if (IssuerNamed(name, shown)) return 1;
    shown[0] = 0;
    CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, CERT_NAME_ISSUER_FLAG,
                       const_cast<char*>(szOID_COMMON_NAME), shown, sizeof shown);
    return IssuerNamed(name, shown);
}

// The certificates of the CA in the My stores searched, at most this many.
const int kIssuedMax = 16;
PCCERT_CONTEXT issued[kIssuedMax];
ClientCertFacts issuedFacts[kIssuedMax];

// Of a full list, the one to give up first: one that cannot be used, else the oldest.
int LeastWanted(const ClientCertFacts* facts, int count) {
    int least = 0;
    for (int i = 1; i < count; ++i) {
        int unusable = JudgeClientCertificate(&facts[i]) != kClientCertOk;
        int leastUnusable = JudgeClientCertificate(&facts[least]) != kClientCertOk;
        int older = facts[i].secondsSinceStart > facts[least].secondsSinceStart;
        if (unusable > leastUnusable || (unusable == leastUnusable && older)) {
            least = i;
        }
    }
    return least;
}

// --cert-issuer: the newest certificate of the CA that can be used becomes the held one (one
// already held stays held when it is still the newest). 0 with a line in message saying what
// was looked for and why each of the CA's certificates was passed over.
int ChooseByIssuer(const BridgeConfig* config, int asService, char* message,
                   uint32_t messageSize) {
    int count = 0;
    FILETIME now = Now();
    for (int machine = asService; machine < 2; ++machine) {
        HCERTSTORE store = OpenMy(machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE
                                          : CERT_SYSTEM_STORE_CURRENT_USER);
        PCCERT_CONTEXT each = nullptr;
        while (store != nullptr && (each = CertEnumCertificatesInStore(store, each)) != nullptr) {
            if (!FromIssuer(each, config->certIssuer)) continue;
            ClientCertFacts facts = FactsOf(each, now);
            int at = count;
            if (count < kIssuedMax) {
                ++count;
            } else {
                // Full: it takes the place of the least wanted only when it is wanted more, so
                // that the newest usable one is never missed.
                at = LeastWanted(issuedFacts, count);
                ClientCertFacts pair[2] = {issuedFacts[at], facts};
                if (NewestUsable(pair, 2) != 1) continue;
                CertFreeCertificateContext(issued[at]);
            }
            issuedFacts[at] = facts;
            issued[at] = CertDuplicateCertificateContext(each);
        }
        if (each != nullptr) CertFreeCertificateContext(each);
        if (store != nullptr) CertCloseStore(store, 0);
    }
    int best = NewestUsable(issuedFacts, count);
    char chosen[41];
    char kept[41];
    kept[0] = 0;
    if (best >= 0) ThumbprintOf(issued[best], chosen);
    if (held != nullptr) ThumbprintOf(held, kept);
    if (best >= 0 && !TextEquals(chosen, kept)) {
        ReleaseClientCertificate();
        held = issued[best];
        issued[best] = nullptr;
    }
    TextBuilder text = {message, messageSize, 0, 0};
    AppendFormat(&text, "no client certificate issued by %s%s%s", config->certIssuer,
                 count == 0 ? " is in " : " can be used, in ",
                 asService ? "the local machine's My store"
                           : "the My stores of the current user and of the local machine");
    for (int i = 0; i < count; ++i) {
        if (best >= 0) {
            if (issued[i] != nullptr) CertFreeCertificateContext(issued[i]);
            continue;
        }
        // As many of the passed-over ones as the line holds.
        TextBuilder before = text;
        char thumbprint[41];
        ThumbprintOf(issued[i], thumbprint);
        CertFreeCertificateContext(issued[i]);
        AppendFormat(&text, "%s%s %s", i == 0 ? ": " : "; ", thumbprint,
                     ClientCertVerdictText(JudgeClientCertificate(&issuedFacts[i])));
        if (text.failed) text = before;
    }
    FinishText(&text);
    if (best < 0) ReleaseClientCertificate();
    return best >= 0;
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
int ImportPfx(const BridgeConfig* config, int asService, const char* password, char* message,
              uint32_t messageSize) {
    const char* path = config->certFile;
    int size = ReadFileStart(path, pfxBytes, sizeof pfxBytes);
    if (size < 0 || static_cast<uint32_t>(size) == sizeof pfxBytes) {
        SayIn(message, messageSize, size < 0 ? "cannot read " : "", "the certificate file ",
              size < 0 ? "" : "is over 64 KiB: ", path);
        return 0;
    }
    CRYPT_DATA_BLOB blob = {static_cast<DWORD>(size), pfxBytes};
    if (!PFXIsPFXBlob(&blob)) {
        SayIn(message, messageSize, "the certificate file ", path, " is not a PFX (PKCS#12) file");
        return 0;
    }
    wchar_t wide[kMaxPassword + 1];
    wide[0] = 0;
    // Not UTF-8 is an error: converted without the flag, it would be another password.
    if (password != nullptr && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, password, -1,
                                                   wide, kMaxPassword + 1) == 0) {
        ZeroBytes(wide, sizeof wide);  // what was converted before the bad character
        SayIn(message, messageSize, "the certificate's password file ",
              config->certPasswordFile, " is not ASCII or UTF-8 text");
        return 0;
    }
    DeleteLeftoverKeys();
    uint32_t flags[2];
    int count = PfxImportFlags(asService, flags);
    int refused = 0;
    for (int i = 0; i < count && held == nullptr; ++i) {
        // Without a password, a PFX may have been made with an empty one or with none at all.
        for (int form = 0; form < (password != nullptr ? 1 : 2) && pfxStore == nullptr; ++form) {
            const wchar_t* given = password != nullptr ? wide : form == 0 ? L"" : nullptr;
            pfxStore = PFXImportCertStore(&blob, given, flags[i]);
            DWORD error = pfxStore == nullptr ? GetLastError() : 0;
            // Windows says ERROR_INVALID_PASSWORD; Wine says nothing.
            refused |= pfxStore == nullptr && (error == ERROR_INVALID_PASSWORD || error == 0);
        }
        if (pfxStore == nullptr) continue;
        importedTo = flags[i] & kPfxMachineKeyset;
        KeySetsOfPfx(1, 0);
        held = WithKey(pfxStore);
        // Wine imports to the machine's key set a key nobody can use: the next way is tried.
        if (i + 1 < count && (held == nullptr || !FactsOf(held, Now()).keyUsable)) {
            ReleaseClientCertificate();
        }
    }
    ZeroBytes(wide, sizeof wide);
    // The PFX's bytes hold the key, encrypted with that password: not kept for the run.
    ZeroBytes(pfxBytes, sizeof pfxBytes);
    if (pfxStore != nullptr && held != nullptr) return 1;
    SayIn(message, messageSize, "the certificate file ", path,
          pfxStore != nullptr ? " holds no certificate with its private key"
          : refused ? " does not open with that password (--cert-password-file), or it is "
                      "encrypted with AES, which Windows before 10 version 1809 cannot read "
                      "(export it with: openssl pkcs12 -export -legacy)"
                    : " cannot be imported");
    return 0;
}

}  // namespace

int LoadClientCertificate(const BridgeConfig* config, int asService, const char* pfxPassword,
                          char* message, uint32_t messageSize, int32_t* secondsToExpiry) {
    if (config->certIssuer[0] != 0) {
        int chosen = ChooseByIssuer(config, asService, message, messageSize);
        *secondsToExpiry = ClientCertificateSecondsToExpiry();
        return chosen;
    }
    if (config->certFile[0] != 0) {
        if (!ImportPfx(config, asService, pfxPassword, message, messageSize)) return 0;
    } else {
        if (!asService) held = FindInMy(CERT_SYSTEM_STORE_CURRENT_USER, config->certHash);
        if (held == nullptr) held = FindInMy(CERT_SYSTEM_STORE_LOCAL_MACHINE, config->certHash);
    }
    ClientCertFacts facts = FactsOf(held, Now());
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
        char why[200];
        ErrorText(keyError, why, sizeof why);
        TextBuilder text = {message, messageSize, 0, 0};
        AppendFormat(&text, "the client certificate's private key cannot be used by the account "
                     "%s: %s (to let it read the key: certificates console, All Tasks > Manage "
                     "Private Keys)", account[0] != 0 ? account : "running the bridge", why);
        FinishText(&text);
    } else {
        SayIn(message, messageSize, "the client certificate ", where, " ",
            ClientCertVerdictText(verdict));
    }
    ReleaseClientCertificate();
    return 0;
}

void ReleaseClientCertificate() {
    if (storedNew) {
        storedNew = 0;
        keepImportedKeys = 0;
        HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                      CERT_SYSTEM_STORE_LOCAL_MACHINE, "MY");
        CRYPT_HASH_BLOB blob = {sizeof storedHash, storedHash};
        PCCERT_CONTEXT there = my == nullptr ? nullptr
                             : CertFindCertificateInStore(my, X509_ASN_ENCODING, 0,
                                                          CERT_FIND_HASH, &blob, nullptr);
        if (there != nullptr) CertDeleteCertificateFromStore(there);  // frees it too
        // Wine writes a deletion out on a forced commit only.
        if (my != nullptr) {
            CertControlStore(my, CERT_STORE_CTRL_COMMIT_FORCE_FLAG, CERT_STORE_CTRL_COMMIT,
                             nullptr);
            CertCloseStore(my, 0);
        }
    }
    if (held != nullptr) CertFreeCertificateContext(held);
    held = nullptr;
    if (pfxStore == nullptr) return;
    KeySetsOfPfx(0, keepImportedKeys);
    CertCloseStore(pfxStore, 0);
    pfxStore = nullptr;
}

int StoreClientCertificate(const BridgeConfig* config, const char* pfxPassword,
                           char thumbprint[41], char* message, uint32_t messageSize) {
    int32_t seconds = 0;
    if (!LoadClientCertificate(config, 1, pfxPassword, message, messageSize, &seconds)) return 0;
    HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                  CERT_SYSTEM_STORE_LOCAL_MACHINE, "MY");
    BYTE* hash = storedHash;
    DWORD size = sizeof storedHash;
    CRYPT_HASH_BLOB blob = {sizeof storedHash, storedHash};
    PCCERT_CONTEXT there = nullptr;
    int stored = my != nullptr &&
                 CertGetCertificateContextProperty(held, CERT_SHA1_HASH_PROP_ID, hash, &size);
    if (stored) {
        there = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_HASH, &blob,
                                           nullptr);
    }
    // Already there with its key (installed before): that one stays, and this import's key goes
    // unless it is the very one it uses (Wine keeps a user's keys in one container).
    int keep = 1;
    int ownKey = 0;  // the stored certificate uses this import's key
    if (there != nullptr && HasKey(there)) {
        const CRYPT_KEY_PROV_INFO* info = KeySetOf(there);
        recordName[0] = 0;  // KeySetOf's buffer is used again below
        for (int i = 0; info != nullptr && i < 259 && info->pwszContainerName[i] != 0; ++i) {
            recordName[i] = info->pwszContainerName[i];
            recordName[i + 1] = 0;
        }
        const CRYPT_KEY_PROV_INFO* mine = KeySetOf(held);
        keep = mine != nullptr && lstrcmpiW(recordName, mine->pwszContainerName) == 0;
    } else if (stored) {
        // The certificate and where its key is, nothing else: the held context also caches a
        // handle to the key, which means nothing to another process.
        PCCERT_CONTEXT added = nullptr;
        const CRYPT_KEY_PROV_INFO* info = KeySetOf(held);
        stored = info != nullptr &&
                 CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING, held->pbCertEncoded,
                                                  held->cbCertEncoded,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, &added) &&
                 CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, info);
        if (added != nullptr) CertFreeCertificateContext(added);
        storedNew = stored && there == nullptr;
        ownKey = stored;
    }
    DWORD error = stored ? 0 : GetLastError();
    if (there != nullptr) CertFreeCertificateContext(there);
    // Wine writes a registry store out when it is closed.
    if (my != nullptr && !CertCloseStore(my, 0) && stored) {
        stored = 0;
        error = GetLastError();
    }
    if (!stored) {
        char why[200];
        ErrorText(error, why, sizeof why);
        SayIn(message, messageSize, "cannot put the client certificate into the local machine's "
              "My store: ", why, error == ERROR_ACCESS_DENIED ? " (run it from an elevated "
              "prompt: Run as administrator)" : "");
        ReleaseClientCertificate();
        return 0;
    }
    ThumbprintOf(held, thumbprint);
    keepImportedKeys = keep;
    message[0] = 0;
    // Windows gave the machine's key set no key this account could use, and the user's key set
    // took it: the service, as LocalSystem, may then be unable to sign with it.
    if (ownKey && !importedTo) {
        SayIn(message, messageSize, "warning: the client certificate's private key went into "
              "this account's key set, not the local machine's, and the service may not be able "
              "to use it: if it says so, import the PFX with certlm.msc and install with --cert");
    }
    return 1;
}

void KeepStoredCertificate() {
    storedNew = 0;
    ReleaseClientCertificate();
}

const void* ClientCertificate() { return held; }

int32_t ClientCertificateSecondsToExpiry() {
    return held != nullptr ? Seconds(Now(), held->pCertInfo->NotAfter) : 2147483647;
}

void ClientCertificateSummary(char* out, uint32_t size) {
    char subject[kMaxIssuer + 2];
    char thumbprint[41];
    subject[0] = thumbprint[0] = 0;
    if (held != nullptr) {
        CertNameToStrA(X509_ASN_ENCODING, &held->pCertInfo->Subject,
                       CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, subject, sizeof subject);
        ThumbprintOf(held, thumbprint);
    }
    TextBuilder text = {out, size, 0, 0};
    AppendFormat(&text, "presenting the client certificate %s, thumbprint %s, expires in %d days",
                 subject, thumbprint, ClientCertificateSecondsToExpiry() / 86400);
    FinishText(&text);
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
