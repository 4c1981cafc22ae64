// The bridge's TLS on Windows: thin forwards to SECUR32 (Schannel) and CRYPT32.
#include "bridge/platform/win32/win32_tls.h"

#include "bridge/core/text.h"

#define SECURITY_WIN32
// SCH_CREDENTIALS, the structure that can ask for TLS 1.3, is declared only with this.
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <subauth.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

namespace {

// The SSL policy's fdwChecks, as wininet.h names them (not included for two numbers).
const DWORD kIgnoreUnknownCa = 0x00000100;
const DWORD kIgnoreNameMismatch = 0x00001000;

CredHandle credentials;
int haveCredentials;
CtxtHandle context;
int haveContext;
HCERTSTORE trusted;  // the CA file's certificates, when there is one
char target[256];
int useTarget;
void* token;  // the last token and alert Schannel allocated, freed at the next call
void* alert;
DWORD request;

const DWORD kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
const DWORD kCredentialFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;

void FreeToken() {
    if (token != nullptr) FreeContextBuffer(token);
    if (alert != nullptr) FreeContextBuffer(alert);
    token = alert = nullptr;
}

SspiResult ResultOf(SECURITY_STATUS status) {
    SspiResult r = {kSspiFailed, static_cast<uint32_t>(status), 0, nullptr, 0};
    switch (status) {
        case SEC_E_OK: r.status = kSspiOk; break;
        case SEC_I_CONTINUE_NEEDED: r.status = kSspiContinue; break;
        case SEC_E_INCOMPLETE_MESSAGE: r.status = kSspiIncomplete; break;
        case SEC_I_CONTEXT_EXPIRED: r.status = kSspiContextExpired; break;
        case SEC_I_RENEGOTIATE: r.status = kSspiRenegotiate; break;
        case SEC_I_INCOMPLETE_CREDENTIALS: r.status = kSspiIncompleteCredentials; break;
        default: break;
    }
    return r;
}

// One InitializeSecurityContext round over in; none at the start and for the close_notify.
// The context handle goes in as phNewContext on every call, as Microsoft documents; an alert
// buffer takes the alert Schannel makes when the round fails.
SspiResult Round(const uint8_t* in, uint32_t size) {
    FreeToken();
    SecBuffer inBuffers[2] = {{size, SECBUFFER_TOKEN, const_cast<uint8_t*>(in)},
                              {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, inBuffers};
    SecBuffer outBuffers[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, outBuffers};
    ULONG attributes = 0;
    SECURITY_STATUS status = InitializeSecurityContextA(
        &credentials, haveContext ? &context : nullptr, useTarget ? target : nullptr, request, 0,
        0, haveContext && in != nullptr ? &inDesc : nullptr, 0, &context, &outDesc, &attributes,
        nullptr);
    if (!haveContext && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) haveContext = 1;
    SspiResult r = ResultOf(status);
    token = outBuffers[0].pvBuffer;
    alert = outBuffers[1].pvBuffer;
    // Schannel's documented answer to a server that asks for a certificate: the same input
    // again, going on with the credentials given, which hold none.
    if (r.status == kSspiIncompleteCredentials) request |= ISC_REQ_USE_SUPPLIED_CREDS;
    const SecBuffer& out = r.status == kSspiFailed ? outBuffers[1] : outBuffers[0];
    if (out.pvBuffer != nullptr && r.status != kSspiIncomplete &&
        r.status != kSspiIncompleteCredentials) {
        r.output = static_cast<const uint8_t*>(out.pvBuffer);
        r.outputSize = out.cbBuffer;
    }
    if (inBuffers[1].BufferType == SECBUFFER_EXTRA) r.extra = inBuffers[1].cbBuffer;
    return r;
}

int AcquireTls12Only(CredHandle* into) {
    SCHANNEL_CRED classic = {};
    classic.dwVersion = SCHANNEL_CRED_VERSION;
    classic.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    classic.dwFlags = kCredentialFlags;
    TimeStamp expiry;
    return AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                     SECPKG_CRED_OUTBOUND, nullptr, &classic, nullptr, nullptr,
                                     into, &expiry) == SEC_E_OK;
}

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

// What an issuing certificate says of itself: whether its basic constraints deny it is a CA
// (none at all is accepted, as Windows documents), and whether it has extended key usages of
// which none is server authentication or any usage.
void JudgeIssuer(PCCERT_CONTEXT cert, ChainFacts* facts) {
    const CERT_INFO* info = cert->pCertInfo;
    PCERT_EXTENSION basic = CertFindExtension(szOID_BASIC_CONSTRAINTS2, info->cExtension,
                                              info->rgExtension);
    if (basic != nullptr) {
        CERT_BASIC_CONSTRAINTS2_INFO constraints = {};
        DWORD size = sizeof constraints;
        if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, basic->Value.pbData,
                                 basic->Value.cbData, 0, nullptr, &constraints, &size) ||
            !constraints.fCA) {
            facts->issuerNotCa = 1;
        }
    }
    PCERT_EXTENSION usage = CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension,
                                              info->rgExtension);
    if (usage == nullptr) return;
    CERT_ENHKEY_USAGE* usages = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, usage->Value.pbData,
                             usage->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &usages,
                             &size)) {
        facts->issuerNotForServers = 1;
        return;
    }
    int serves = 0;
    for (DWORD i = 0; i < usages->cUsageIdentifier; ++i) {
        const char* oid = usages->rgpszUsageIdentifier[i];
        serves |= TextEquals(oid, szOID_PKIX_KP_SERVER_AUTH) ||
                  TextEquals(oid, szOID_ANY_ENHANCED_KEY_USAGE);
    }
    LocalFree(usages);
    if (!serves) facts->issuerNotForServers = 1;
}

}  // namespace

int Win32Tls::Start() {
    // TLS 1.3 needs the newer structure, which Windows before 10 (1809) refuses: then TLS 1.2,
    // asked for by name, since Windows 7 leaves it off unless asked.
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT |
                                        SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
    SCH_CREDENTIALS modern = {};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = kCredentialFlags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    TimeStamp expiry;
    haveCredentials = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                                SECPKG_CRED_OUTBOUND, nullptr, &modern, nullptr,
                                                nullptr, &credentials, &expiry) == SEC_E_OK ||
                      AcquireTls12Only(&credentials);
    return haveCredentials;
}

int Win32Tls::OnlyTls12() {
    CredHandle fresh;
    if (!AcquireTls12Only(&fresh)) return 0;
    // A context of the old credentials may still be open; Schannel keeps what it needs.
    if (haveCredentials) FreeCredentialsHandle(&credentials);
    credentials = fresh;
    haveCredentials = 1;
    return 1;
}

int Win32Tls::Version() {
    SecPkgContext_ConnectionInfo connection;
    if (QueryContextAttributesA(&context, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK) {
        return 0;
    }
    return (connection.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0   ? 13
         : (connection.dwProtocol & SP_PROT_TLS1_2_CLIENT) != 0 ? 12 : 0;
}

int Win32Tls::TrustOnly(const uint8_t* der, const DerSpan* certs, int count) {
    trusted = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (trusted == nullptr) return 1;
    for (int i = 0; i < count; ++i) {
        if (!CertAddEncodedCertificateToStore(trusted, X509_ASN_ENCODING, der + certs[i].offset,
                                              certs[i].size, CERT_STORE_ADD_ALWAYS, nullptr)) {
            return 1 + i;
        }
    }
    return 0;
}

void Win32Tls::Begin(const char* host, int sendName) {
    End();
    uint32_t i = 0;
    for (; host[i] != 0 && i + 1 < sizeof target; ++i) target[i] = host[i];
    target[i] = 0;
    useTarget = sendName;
    request = kRequest;
}

SspiResult Win32Tls::Handshake(const uint8_t* in, uint32_t size) { return Round(in, size); }

int Win32Tls::Sizes(TlsSizes* sizes) {
    SecPkgContext_StreamSizes stream;
    if (QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &stream) != SEC_E_OK) {
        return 0;
    }
    sizes->header = stream.cbHeader;
    sizes->trailer = stream.cbTrailer;
    sizes->maxMessage = stream.cbMaximumMessage;
    return 1;
}

SspiResult Win32Tls::Decrypt(uint8_t* record, uint32_t size) {
    SecBuffer buffers[4] = {{size, SECBUFFER_DATA, record},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    SspiResult r = ResultOf(DecryptMessage(&context, &desc, 0, nullptr));
    for (int i = 0; i < 4; ++i) {
        // On SEC_I_RENEGOTIATE only the extra buffer's size counts: its bytes are the last of
        // the record, for InitializeSecurityContext.
        if (r.status == kSspiOk && buffers[i].BufferType == SECBUFFER_DATA &&
            buffers[i].pvBuffer != nullptr) {
            r.output = static_cast<const uint8_t*>(buffers[i].pvBuffer);
            r.outputSize = buffers[i].cbBuffer;
        }
        if (buffers[i].BufferType == SECBUFFER_EXTRA) r.extra = buffers[i].cbBuffer;
    }
    return r;
}

uint32_t Win32Tls::Encrypt(uint8_t* buffer, uint32_t size) {
    SecPkgContext_StreamSizes stream;
    if (QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &stream) != SEC_E_OK) {
        return 0;
    }
    SecBuffer buffers[4] = {{stream.cbHeader, SECBUFFER_STREAM_HEADER, buffer},
                            {size, SECBUFFER_DATA, buffer + stream.cbHeader},
                            {stream.cbTrailer, SECBUFFER_STREAM_TRAILER,
                             buffer + stream.cbHeader + size},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&context, 0, &desc, 0) != SEC_E_OK) return 0;
    return buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
}

SspiResult Win32Tls::CloseNotify() {
    SspiResult none = {kSspiFailed, 0, 0, nullptr, 0};
    if (!haveContext) return none;
    DWORD kind = SCHANNEL_SHUTDOWN;
    SecBuffer buffer = {sizeof kind, SECBUFFER_TOKEN, &kind};
    SecBufferDesc desc = {SECBUFFER_VERSION, 1, &buffer};
    if (ApplyControlToken(&context, &desc) != SEC_E_OK) return none;
    return Round(nullptr, 0);
}

TrustVerdict Win32Tls::CheckPeer(const char* host, char* names, uint32_t namesSize) {
    SecPkgContext_ConnectionInfo connection;
    if (QueryContextAttributesA(&context, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK ||
        !(connection.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT))) {
        return kTrustOldProtocol;
    }
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        cert == nullptr) {
        return kTrustOther;
    }
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
    if (CertGetCertificateChain(nullptr, cert, nullptr, search, &para,
                                ChainBuildFlags(trusted != nullptr), nullptr, &chain)) {
        facts.chainErrors = chain->TrustStatus.dwErrorStatus;
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        facts.rootInCaFile = trusted != nullptr && InCaFile(root);
        for (DWORD i = 1; i + 1 < simple->cElement; ++i) {
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
    CertFreeCertificateContext(cert);
    return verdict;
}

void Win32Tls::End() {
    FreeToken();
    if (haveContext) DeleteSecurityContext(&context);
    haveContext = 0;
}
