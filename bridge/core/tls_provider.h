// The few calls of Windows' TLS (Schannel, through SSPI) and certificate check (crypt32) that the
// bridge makes, behind a small interface.
//
// Abstract so that the TLS plumbing (bridge/core/tls_layer) runs on the host against a scripted
// fake; the real one is bridge/platform/win32/win32_tls.cpp.
#ifndef VARDEX_BRIDGE_CORE_TLS_PROVIDER_H
#define VARDEX_BRIDGE_CORE_TLS_PROVIDER_H

#include "bridge/core/trust_verdict.h"

#include <stdint.h>

// What an SSPI call said, by the SECURITY_STATUS values the plumbing acts on.
enum SspiStatus {
    kSspiOk,              // SEC_E_OK
    kSspiContinue,        // SEC_I_CONTINUE_NEEDED: send the token, then read on
    kSspiIncomplete,      // SEC_E_INCOMPLETE_MESSAGE: the input holds no whole message yet
    kSspiContextExpired,  // SEC_I_CONTEXT_EXPIRED: the peer's close_notify (Windows), or our own
    kSspiRenegotiate,     // SEC_I_RENEGOTIATE: handshake messages follow (TLS 1.3 on Windows)
    kSspiIncompleteCredentials,  // SEC_I_INCOMPLETE_CREDENTIALS: the server asks for a client
                                 // certificate; the same input again goes on without one
    kSspiFailed,          // anything else; code says what
};

// Where bytes are concerned, Windows' rules: a token is Schannel's own memory, valid until the
// next call; plaintext lies inside the record that was decrypted; of SECBUFFER_EXTRA only the
// size counts (Microsoft: its pvBuffer is not a copy and may be null), so the extra bytes are
// always the last `extra` bytes of the input.
struct SspiResult {
    SspiStatus status;
    uint32_t code;          // the SECURITY_STATUS itself, for the log
    uint32_t extra;         // input bytes at its end that were not used (SECBUFFER_EXTRA); on
                            // kSspiRenegotiate, those for the next handshake round
    const uint8_t* output;  // Handshake: a token to send, or on failure the alert Schannel
    uint32_t outputSize;    // made (a whole alert record), if any; Decrypt: the plaintext,
                            // inside the record
};

struct TlsSizes {
    uint32_t header;
    uint32_t trailer;
    uint32_t maxMessage;
};

struct TlsProvider {
    // A fresh client context. sendName: the host goes out as SNI (never for an address).
    virtual void Begin(const char* host, int sendName) = 0;
    // One round of the handshake over the bytes received so far; in is empty on the first.
    // Also the rounds over handshake messages after it (kSspiRenegotiate).
    virtual SspiResult Handshake(const uint8_t* in, uint32_t size) = 0;
    virtual int Sizes(TlsSizes* sizes) = 0;
    // The version agreed, as 12 or 13; 0 when unknown.
    virtual int Version() = 0;
    // From the next connection on, TLS 1.2 only; 0 when that cannot be had.
    virtual int OnlyTls12() = 0;
    // Decrypts exactly one whole record, in place.
    virtual SspiResult Decrypt(uint8_t* record, uint32_t size) = 0;
    // Encrypts the size bytes at buffer + header into one record starting at buffer; returns
    // the record's length, 0 on failure. The buffer has room for header and trailer.
    virtual uint32_t Encrypt(uint8_t* buffer, uint32_t size) = 0;
    // The close_notify to send before a clean close, whatever the status that came with it;
    // outputSize 0 when there is none.
    virtual SspiResult CloseNotify() = 0;
    // The broker's certificate against the CA file or Windows' trust store, and host. On
    // kTrustWrongName, names holds the names the certificate does carry.
    virtual TrustVerdict CheckPeer(const char* host, char* names, uint32_t namesSize) = 0;
    // The client certificate's issuer as DER (a Name, as in the certificate) and as text (text
    // may be null); 0 when there is no client certificate.
    virtual int ClientIssuer(const uint8_t** der, uint32_t* size, char* text,
                             uint32_t textSize) = 0;
    virtual void End() = 0;

protected:
    ~TlsProvider() = default;
};

#endif
