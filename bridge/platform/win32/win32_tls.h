// TLS through Windows' own Schannel (SSPI) and the certificate check through crypt32: the
// provider the TLS layer drives. Declared without Windows types; only win32_tls.cpp includes the
// Windows headers.
#ifndef VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_TLS_H
#define VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_TLS_H

#include "bridge/core/pem.h"
#include "bridge/core/tls_provider.h"

#include <stdint.h>

struct Win32Tls final : TlsProvider {
    // The client credentials (TLS 1.2, and 1.3 where Windows has it), with the client
    // certificate (a PCCERT_CONTEXT, or null) to present. Returns 0, or Windows' status; then
    // with a certificate, *withoutCertificate is what the same call says without it. Called
    // again, it lets the earlier credentials go.
    uint32_t Start(const void* certificate, uint32_t* withoutCertificate);
    // Trusts only these certificates as roots for the broker; returns 0, or 1 + the index of
    // one that Windows cannot read.
    int TrustOnly(const uint8_t* der, const DerSpan* certs, int count);

    void Begin(const char* host, int sendName) override;
    SspiResult Handshake(const uint8_t* in, uint32_t size) override;
    int Sizes(TlsSizes* sizes) override;
    int Version() override;
    int OnlyTls12() override;
    SspiResult Decrypt(uint8_t* record, uint32_t size) override;
    uint32_t Encrypt(uint8_t* buffer, uint32_t size) override;
    SspiResult CloseNotify() override;
    TrustVerdict CheckPeer(const char* host, char* names, uint32_t namesSize) override;
    int ClientIssuer(const uint8_t** der, uint32_t* size, char* text,
                     uint32_t textSize) override;
    void End() override;
};

#endif
