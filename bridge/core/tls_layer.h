// MQTT over TLS: the record and handshake plumbing between the raw connection and the session.
//
// The session sees a Network like any other: bytes it sends are encrypted, and it hears
// BridgeConnected only once the handshake is done and the broker's certificate trusted. The raw
// connection's events come in here instead of going to the session: Connected starts the
// handshake, Received feeds it or the records, Closed and ConnectFailed pass on. Whole records
// only go to the provider; what arrives split waits, what arrives beyond one is kept. Handshake
// messages after the handshake (TLS 1.3's session tickets) get handshake rounds of their own,
// and what follows them in the same read goes on to the session at once.
#ifndef VARDEX_BRIDGE_CORE_TLS_LAYER_H
#define VARDEX_BRIDGE_CORE_TLS_LAYER_H

#include "bridge/core/bridge_config.h"
#include "bridge/core/bridge_session.h"
#include "bridge/core/network.h"
#include "bridge/core/tls_provider.h"

#include <stdint.h>

// A record's header and the largest body TLS allows (2^14 plus 2048 of expansion).
const uint32_t kTlsRecordMax = 5 + 16384 + 2048;

// The layer's buffers, apart from it: the layer has a virtual table and so lives on the entry's
// stack, which is no place for 20 KiB.
struct TlsBuffers {
    uint8_t in[kTlsRecordMax];
    uint8_t out[kOutCapacity + 5 + 2048];  // a header and the most TLS may add
};

struct TlsLayer final : Network, LinkEvents {
    int Connect(const char* name, uint16_t number, char* why, uint32_t whySize) override;
    int ConnectNext(char* why, uint32_t whySize) override;
    int Send(const uint8_t* data, uint32_t size) override;
    void Close() override;
    void Shutdown() override;

    // The raw connection's events.
    void Connected(uint32_t now) override;
    void Received(const uint8_t* data, uint32_t size, uint32_t now) override;
    void Closed(uint32_t now, const char* why) override;
    void ConnectFailed(uint32_t now, const char* why) override;

    Network* raw;
    TlsProvider* provider;
    BridgeState* session;
    int phase;  // kTlsIdle ...
    int askedForCertificate;  // this handshake: the broker asked for a client certificate
    int retriedCredentials;   // this handshake: gone on without one once
    int saidAsked;            // the line about it was said (once a run)
    int onlyTls12;            // after a failed round over post-handshake messages
    int presentsCertificate;  // a client certificate goes to a broker that asks for one
    // Chooses the client certificate again before each handshake (--cert-issuer), so that a
    // renewed one is used without a restart; 0 with a line in why when none can be had, which
    // is refused as a broker's refusal is. Null: the one given stays.
    int (*chooseCertificate)(char* why, uint32_t whySize);
    int issuerListed;         // this handshake: the broker's list of client CAs holds the
                              // certificate's issuer (1), does not (0), or was not seen (-1)
    char brokerCas[160];      // when it does not: the CAs it lists, as text
    char transport[16];       // " over TLS 1.3", for the session's "connected" line
    uint16_t port;
    char host[kMaxHost + 1];
    uint32_t generation;  // counts closes, so a loop notices the session closed it meanwhile
    TlsSizes sizes;
    uint32_t inSize;
    uint8_t* in;   // kTlsRecordMax bytes: what arrived and is not used yet
    uint8_t* out;  // a record on its way out
};

// Readies layer over raw and provider for session, with buffers of its own.
void TlsStart(TlsLayer* layer, Network* raw, TlsProvider* provider, BridgeState* session,
              TlsBuffers* buffers);

// Reads the body of a TLS 1.2 CertificateRequest (untrusted bytes): whether its list of CAs
// holds issuer (a DER Name) (1), or not (0, with the CAs it lists as text in names), or -1
// when it lists none or cannot be read.
int CertificateRequestLists(const uint8_t* body, uint32_t size, const uint8_t* issuer,
                            uint32_t issuerSize, char* names, uint32_t namesSize);

// The line for Windows refusing the TLS credentials (AcquireCredentialsHandle), code its
// status; with a client certificate, withoutCode is what the same call said without it.
// windowsText: Windows' words for the code. Returns 1 when the line blames the certificate.
int CredentialsFailed(char* line, uint32_t size, uint32_t code, const char* windowsText,
                      int certificate, uint32_t withoutCode);

#endif
