// The bridge's TLS on Windows: thin forwards to SECUR32 (Schannel); the broker's certificate is
// judged in win32_trust.cpp.
#include "bridge/platform/win32/win32_tls.h"

#include "bridge/platform/win32/win32_trust.h"

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

CredHandle credentials;
int haveCredentials;
CtxtHandle context;
int haveContext;
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
    // Filled in place: a list initialiser of constants becomes a copy from initialised data.
    SecBuffer outBuffers[2] = {};
    outBuffers[0].BufferType = SECBUFFER_TOKEN;
    outBuffers[1].BufferType = SECBUFFER_ALERT;
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

// The client certificate to present when the broker asks, if one was given.
PCCERT_CONTEXT clientCertificate;

// Credentials for TLS 1.2 alone, with the client certificate if one is given; Windows' status.
SECURITY_STATUS AcquireTls12Only(CredHandle* into, PCCERT_CONTEXT certificate) {
    SCHANNEL_CRED classic = {};
    classic.dwVersion = SCHANNEL_CRED_VERSION;
    classic.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    classic.dwFlags = kCredentialFlags;
    classic.cCreds = certificate != nullptr ? 1 : 0;
    classic.paCred = &certificate;
    TimeStamp expiry;
    return AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                     SECPKG_CRED_OUTBOUND, nullptr, &classic, nullptr, nullptr,
                                     into, &expiry);
}

// TLS 1.3 needs the newer structure, which Windows before 10 (1809) refuses: then TLS 1.2,
// asked for by name, since Windows 7 leaves it off unless asked. The status is the last one's.
SECURITY_STATUS Acquire(CredHandle* into, PCCERT_CONTEXT certificate) {
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT |
                                        SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
    SCH_CREDENTIALS modern = {};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = kCredentialFlags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    modern.cCreds = certificate != nullptr ? 1 : 0;
    modern.paCred = &certificate;
    TimeStamp expiry;
    if (AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &modern, nullptr, nullptr, into, &expiry) == SEC_E_OK) {
        return SEC_E_OK;
    }
    return AcquireTls12Only(into, certificate);
}

}  // namespace

uint32_t Win32Tls::Start(const void* certificate, uint32_t* withoutCertificate) {
    // Again for each new choice of certificate: a context of the old credentials may still be
    // open, and Schannel keeps what it needs.
    if (haveCredentials) FreeCredentialsHandle(&credentials);
    clientCertificate = static_cast<PCCERT_CONTEXT>(certificate);
    SECURITY_STATUS status = Acquire(&credentials, clientCertificate);
    haveCredentials = status == SEC_E_OK;
    *withoutCertificate = static_cast<uint32_t>(status);
    if (haveCredentials || clientCertificate == nullptr) return static_cast<uint32_t>(status);
    // Once more without the certificate, to tell a certificate Windows cannot use from a
    // Windows without the TLS asked for.
    CredHandle plain;
    SECURITY_STATUS without = Acquire(&plain, nullptr);
    if (without == SEC_E_OK) FreeCredentialsHandle(&plain);
    *withoutCertificate = static_cast<uint32_t>(without);
    return static_cast<uint32_t>(status);
}

int Win32Tls::OnlyTls12() {
    CredHandle fresh;
    if (AcquireTls12Only(&fresh, clientCertificate) != SEC_E_OK) return 0;
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
    return TrustOnlyCertificates(der, certs, count);
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
    TrustVerdict verdict = JudgeBrokerCertificate(cert, host, names, namesSize);
    CertFreeCertificateContext(cert);
    return verdict;
}

int Win32Tls::ClientIssuer(const uint8_t** der, uint32_t* size, char* text, uint32_t textSize) {
    if (clientCertificate == nullptr) return 0;
    CERT_NAME_BLOB* issuer = &clientCertificate->pCertInfo->Issuer;
    *der = issuer->pbData;
    *size = issuer->cbData;
    if (text != nullptr && textSize > 0) {
        // Read as the core reads the broker's list of CAs: "CN=..., O=...", in encoded order.
        text[0] = 0;
        CertNameToStrA(X509_ASN_ENCODING, issuer, CERT_X500_NAME_STR, text, textSize);
    }
    return 1;
}

void Win32Tls::End() {
    FreeToken();
    if (haveContext) DeleteSecurityContext(&context);
    haveContext = 0;
}
