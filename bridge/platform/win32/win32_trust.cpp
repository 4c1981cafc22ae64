// The broker's certificate judged on Windows: the chain built by CRYPT32 over what the broker
// sent and the CA file's certificates (with the file as its only roots where Windows allows),
// its issuers read, the SSL policy asked about the name; the verdict itself is
// bridge/core/trust_verdict's.
#include "bridge/platform/win32/win32_trust.h"

#include "bridge/core/text.h"

#include <stddef.h>
#include <windows.h>
#include <wincrypt.h>

namespace {

// The SSL policy's fdwChecks, as wininet.h names them (not included for two numbers).
const DWORD kIgnoreUnknownCa = 0x00000100;
const DWORD kIgnoreNameMismatch = 0x00001000;

HCERTSTORE trusted;  // the CA file's certificates, when there is one
// A chain engine whose only roots are the CA file's, so that no path to a root of Windows' (a
// cross-signed copy of the CA, say) is chosen instead; null before Windows 7, which has none.
HCERTCHAINENGINE exclusive;

// The host as the wide string the SSL policy takes; host names are plain ASCII here.
void Widen(const char* text, wchar_t* out, uint32_t size) {
    uint32_t i = 0;
    for (; text[i] != 0 && i + 1 < size; ++i) out[i] = static_cast<unsigned char>(text[i]);
    out[i] = 0;
}

void AppendAddress(TextBuilder* text, const CRYPT_DATA_BLOB* address) {
    static const char kHex[] = "0123456789abcdef";
    for (DWORD i = 0; i < address->cbData; ++i) {
        if (address->cbData == 4) {
            if (i > 0) AppendText(text, ".");
            AppendInt(text, address->pbData[i]);
        } else {
            if (i > 0 && i % 2 == 0) AppendText(text, ":");
            char pair[3] = {kHex[address->pbData[i] >> 4], kHex[address->pbData[i] & 15], 0};
            AppendText(text, pair);
        }
    }
}

// The certificate's alternate names: whether one is the address, and all of them as text.
int AlternateNames(PCCERT_CONTEXT cert, const uint8_t* address, int addressSize, char* names,
                   uint32_t namesSize) {
    TextBuilder text = {names, namesSize, 0, 0};
    int matched = 0;
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2,
                                                  cert->pCertInfo->cExtension,
                                                  cert->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO* info = nullptr;
    DWORD size = 0;
    if (extension != nullptr &&
        CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                            extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info,
                            &size)) {
        for (DWORD i = 0; i < info->cAltEntry; ++i) {
            const CERT_ALT_NAME_ENTRY* entry = &info->rgAltEntry[i];
            if (entry->dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
                if (text.size > 0) AppendText(&text, ", ");
                for (const wchar_t* p = entry->pwszDNSName; *p != 0; ++p) {
                    char c = *p < 0x80 ? static_cast<char>(*p) : '?';
                    AppendBytes(&text, reinterpret_cast<const uint8_t*>(&c), 1);
                }
            } else if (entry->dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
                if (text.size > 0) AppendText(&text, ", ");
                AppendAddress(&text, &entry->IPAddress);
                const CRYPT_DATA_BLOB* ip = &entry->IPAddress;
                if (addressSize > 0 && ip->cbData == static_cast<DWORD>(addressSize)) {
                    int same = 1;
                    for (int b = 0; b < addressSize; ++b) same &= ip->pbData[b] == address[b];
                    matched |= same;
                }
            }
        }
        LocalFree(info);
    }
    if (FinishText(&text) == 0) {
        // No alternate names (or too many to say): the subject's common name.
        CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                           names, namesSize);
    }
    return matched;
}

// Whether cert is, byte for byte, one of the CA file's.
int InCaFile(PCCERT_CONTEXT cert) {
    int found = 0;
    PCCERT_CONTEXT each = nullptr;
    while (!found && (each = CertEnumCertificatesInStore(trusted, each)) != nullptr) {
        if (each->cbCertEncoded == cert->cbCertEncoded) {
            found = 1;
            for (DWORD i = 0; i < cert->cbCertEncoded && found; ++i) {
                found = each->pbCertEncoded[i] == cert->pbCertEncoded[i];
            }
        }
    }
    if (each != nullptr) CertFreeCertificateContext(each);
    return found;
}

// What an issuing certificate says of itself: whether it is a CA by its basic constraints (one
// without them is none, though Windows' engine passes it), and whether it has extended key
// usages of which none is server authentication or any usage.
void JudgeIssuer(PCCERT_CONTEXT cert, ChainFacts* facts) {
    const CERT_INFO* info = cert->pCertInfo;
    PCERT_EXTENSION basic = CertFindExtension(szOID_BASIC_CONSTRAINTS2, info->cExtension,
                                              info->rgExtension);
    if (basic == nullptr) {
        if (!facts->issuerNotCa) facts->issuerNotCa = kIssuerUnconstrained;
    } else {
        CERT_BASIC_CONSTRAINTS2_INFO constraints = {};
        DWORD size = sizeof constraints;
        if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, basic->Value.pbData,
                                 basic->Value.cbData, 0, nullptr, &constraints, &size) ||
            !constraints.fCA) {
            facts->issuerNotCa = kIssuerSaysNotCa;
        }
    }
    if (UsageAllows(cert, szOID_PKIX_KP_SERVER_AUTH) == 0) facts->issuerNotForServers = 1;
}

// The engine for the CA file. Its configuration grew with Windows 7 (hExclusiveRoot) and again
// with Windows 8 (dwExclusiveFlags), so Windows 8's size is tried first, then Windows 7's (the
// only one Wine 8 takes, and honours). Where neither is taken, the default engine and the check
// that the root is one of the file's do the work, as before Windows 7.
void MakeExclusiveEngine() {
    const DWORD sizes[] = {sizeof(CERT_CHAIN_ENGINE_CONFIG),
                           offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags)};
    for (DWORD size : sizes) {
        CERT_CHAIN_ENGINE_CONFIG config = {};
        config.cbSize = size;
        config.hExclusiveRoot = trusted;
        if (CertCreateCertificateChainEngine(&config, &exclusive)) return;
        exclusive = nullptr;
    }
}

}  // namespace

int UsageAllows(const void* certificate, const char* usage) {
    const CERT_INFO* info = static_cast<PCCERT_CONTEXT>(certificate)->pCertInfo;
    PCERT_EXTENSION extension = CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension,
                                                  info->rgExtension);
    if (extension == nullptr) return -1;
    CERT_ENHKEY_USAGE* usages = nullptr;
    DWORD size = 0;
    // One that cannot be read allows nothing.
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &usages,
                             &size)) {
        return 0;
    }
    int allows = 0;
    for (DWORD i = 0; i < usages->cUsageIdentifier; ++i) {
        const char* oid = usages->rgpszUsageIdentifier[i];
        allows |= TextEquals(oid, usage) || TextEquals(oid, szOID_ANY_ENHANCED_KEY_USAGE);
    }
    LocalFree(usages);
    return allows;
}

int TrustOnlyCertificates(const uint8_t* der, const DerSpan* certs, int count) {
    trusted = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (trusted == nullptr) return 1;
    for (int i = 0; i < count; ++i) {
        if (!CertAddEncodedCertificateToStore(trusted, X509_ASN_ENCODING, der + certs[i].offset,
                                              certs[i].size, CERT_STORE_ADD_ALWAYS, nullptr)) {
            return 1 + i;
        }
    }
    MakeExclusiveEngine();
    return 0;
}

TrustVerdict JudgeBrokerCertificate(const void* certificate, const char* host, char* names,
                                    uint32_t namesSize) {
    PCCERT_CONTEXT cert = static_cast<PCCERT_CONTEXT>(certificate);
    ChainFacts facts = {};
    uint8_t address[16];
    int addressSize = ParseIpLiteral(host, address);
    facts.hostIsAddress = addressSize != 0;
    facts.addressInCertificate = AlternateNames(cert, address, addressSize, names, namesSize);
    facts.haveCaFile = trusted != nullptr;

    // The chain over the certificates the broker sent and, with a CA file, the file's.
    HCERTSTORE search = cert->hCertStore;
    HCERTSTORE collection = nullptr;
    if (trusted != nullptr) {
        collection = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
        if (collection != nullptr) {
            CertAddStoreToCollection(collection, cert->hCertStore, 0, 0);
            CertAddStoreToCollection(collection, trusted, 0, 0);
            search = collection;
        }
    }
    LPSTR serverUsage = const_cast<char*>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverUsage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    TrustVerdict verdict = kTrustOther;
    static_assert(kChainCacheOnlyUrlRetrieval == CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL &&
                  kChainDisableAuthRootAutoUpdate == CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE,
                  "the chain flags are Windows' own");
    if (CertGetCertificateChain(exclusive, cert, nullptr, search, &para,
                                ChainBuildFlags(trusted != nullptr), nullptr, &chain)) {
        facts.chainErrors = chain->TrustStatus.dwErrorStatus;
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        facts.rootInCaFile = trusted != nullptr && InCaFile(root);
        // Every issuer up to the root; a self-signed root is trusted for being in the CA file
        // or Windows' store, with or without basic constraints.
        DWORD issuers = simple->cElement;
        if (simple->rgpElement[issuers - 1]->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED) {
            --issuers;
        }
        for (DWORD i = 1; i < issuers; ++i) {
            JudgeIssuer(simple->rgpElement[i]->pCertContext, &facts);
        }

        wchar_t wideHost[256];
        Widen(host, wideHost, 256);
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.pwszServerName = wideHost;
        CERT_CHAIN_POLICY_PARA policy = {};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        // The policy reports its first error only: what the checks above already decided is
        // kept out of its way.
        if (facts.hostIsAddress) ssl.fdwChecks |= kIgnoreNameMismatch;
        if (facts.rootInCaFile) {
            ssl.fdwChecks |= kIgnoreUnknownCa;
            policy.dwFlags |= CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
        }
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof status;
        if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
            facts.policyError = status.dwError;
            verdict = JudgeChain(&facts);
        }
        CertFreeCertificateChain(chain);
    }
    if (collection != nullptr) CertCloseStore(collection, 0);
    return verdict;
}
