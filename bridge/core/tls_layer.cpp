// The TLS plumbing: handshake rounds, whole records to the provider, the rest kept for later.
#include "bridge/core/tls_layer.h"

#include "bridge/core/text.h"

namespace {

const int kTlsIdle = 0;
const int kTlsConnecting = 1;  // TCP under way
const int kTlsHandshake = 2;
const int kTlsOpen = 3;
const int kTlsAfterHandshake = 4;  // open, with handshake messages after the handshake to take

const uint8_t kRecordAlert = 0x15;
const uint8_t kRecordHandshake = 0x16;
const uint8_t kCertificateRequest = 13;
const uint8_t kAlertCertificateRequired = 116;

void Consume(TlsLayer* t, uint32_t count) {
    uint32_t left = t->inSize - count;
    for (uint32_t i = 0; i < left; ++i) t->in[i] = t->in[count + i];
    t->inSize = left;
}

void AppendCode(TextBuilder* text, uint32_t code) {
    static const char kHex[] = "0123456789ABCDEF";
    char hex[14] = {' ', '(', '0', 'x'};
    for (int i = 0; i < 8; ++i) hex[4 + i] = kHex[(code >> (28 - 4 * i)) & 15];
    hex[12] = ')';
    hex[13] = 0;
    AppendText(text, hex);
}

void SayCode(char* why, uint32_t size, const char* what, uint32_t code) {
    TextBuilder text = {why, size, 0, 0};
    AppendText(&text, what);
    AppendCode(&text, code);
    FinishText(&text);
}

int SendRaw(TlsLayer* t, const uint8_t* data, uint32_t size) {
    return size == 0 || t->raw->Send(data, size);
}

// The connection failed before the session heard of it: it tries the next address, or backs off.
void HandshakeFailed(TlsLayer* t, uint32_t now, const char* why) {
    t->provider->End();
    t->phase = kTlsIdle;
    BridgeConnectionLost(t->session, now, why);
}

// Whether the server's flight so far asks for a client certificate: a CertificateRequest among
// its plaintext handshake messages. TLS 1.3 encrypts it; there Windows says
// SEC_I_INCOMPLETE_CREDENTIALS instead, and Wine has no TLS 1.3.
void NoteCertificateRequest(TlsLayer* t) {
    uint32_t at = 0;
    while (at + 5 <= t->inSize) {
        uint32_t end = at + 5 + (static_cast<uint32_t>(t->in[at + 3]) << 8 | t->in[at + 4]);
        if (end > t->inSize) return;
        for (uint32_t m = at + 5; t->in[at] == kRecordHandshake && m + 4 <= end;
             m += 4 + (static_cast<uint32_t>(t->in[m + 1]) << 16 |
                       static_cast<uint32_t>(t->in[m + 2]) << 8 | t->in[m + 3])) {
            if (t->in[m] == kCertificateRequest) t->askedForCertificate = 1;
        }
        at = end;
    }
}

void SayAsked(TlsLayer* t) {
    if (t->saidAsked) return;
    t->saidAsked = 1;
    bridgeConsole->WriteLine(kLogInfo, "the broker asks for a client certificate; going on "
                             "without one");
}

// A handshake round failed: the alert Schannel made goes out, then a line on what is likely.
void RoundFailed(TlsLayer* t, uint32_t now, const SspiResult& r) {
    SendRaw(t, r.output, r.outputSize);  // ignore errors: the connection ends either way
    char why[240];
    if (t->phase == kTlsAfterHandshake) {
        // Seen only where TLS 1.3 sends tickets (Windows 11); TLS 1.2 has no such messages.
        TextBuilder text = {why, sizeof why, 0, 0};
        AppendText(&text, "TLS messages after the handshake could not be taken");
        AppendCode(&text, r.code);
        if (!t->onlyTls12 && t->provider->OnlyTls12()) {
            t->onlyTls12 = 1;
            AppendText(&text, "; the next connections ask for TLS 1.2 only");
        }
        FinishText(&text);
        HandshakeFailed(t, now, why);
        return;
    }
    int alert = t->inSize > 0 && t->in[0] == kRecordAlert;
    if ((alert && t->askedForCertificate) ||
        (alert && t->inSize >= 7 && t->in[6] == kAlertCertificateRequired)) {
        // The broker asked for a certificate and ended the handshake over the one it got, or
        // because none came: asking again cannot mend either.
        t->provider->End();
        t->phase = kTlsIdle;
        SayCode(why, sizeof why, t->presentsCertificate
                    ? "the broker refused the client certificate: the TLS handshake ended with "
                      "its alert"
                    : "the broker requires a client certificate, and none was given (--cert or "
                      "--cert-file): the TLS handshake ended with its alert", r.code);
        BridgeRefused(t->session, now, why);
        return;
    }
    // A broker that answers in anything but TLS records is not speaking TLS here.
    if (t->inSize > 0 && t->in[0] != kRecordHandshake && !alert) {
        SayCode(why, sizeof why, "the broker did not answer in TLS: is the port a plain MQTT "
                "one? (1883 usually is)", r.code);
    } else {
        SayCode(why, sizeof why, "the TLS handshake failed", r.code);
    }
    HandshakeFailed(t, now, why);
}

void AppendTrustLine(TextBuilder* text, TrustVerdict verdict, const char* host,
                     const char* names) {
    AppendText(text, TrustVerdictText(verdict));
    if (verdict != kTrustWrongName) return;
    uint8_t address[16];
    AppendText(text, ": it names ");
    AppendText(text, names[0] != 0 ? names : "nothing");
    if (ParseIpLiteral(host, address) != 0) {
        // A common name or DNS entry that reads like the address does not count for one.
        AppendText(text, "; an address must be one of its IP address entries, and ");
        AppendText(text, host);
        AppendText(text, " is not");
    } else {
        AppendText(text, ", not ");
        AppendText(text, host);
    }
}

// The handshake is done: the certificate decides whether the session ever hears of it.
void Established(TlsLayer* t, uint32_t now) {
    char names[200];
    names[0] = 0;
    TrustVerdict verdict = t->provider->CheckPeer(t->host, names, sizeof names);
    if (verdict != kTrustOk) {
        char line[480];
        TextBuilder text = {line, sizeof line, 0, 0};
        AppendTrustLine(&text, verdict, t->host, names);
        if (FinishText(&text) == 0) {
            TextBuilder shorter = {line, sizeof line, 0, 0};
            AppendText(&shorter, TrustVerdictText(verdict));
            FinishText(&shorter);
        }
        // Like refused credentials: asking again cannot mend it.
        BridgeRefused(t->session, now, line);
        return;
    }
    if (!t->provider->Sizes(&t->sizes) ||
        t->sizes.header + t->sizes.trailer + kOutCapacity > sizeof(TlsBuffers::out)) {
        HandshakeFailed(t, now, "TLS gave record sizes the bridge cannot use");
        return;
    }
    if (t->askedForCertificate && !t->presentsCertificate) SayAsked(t);
    int version = t->provider->Version();
    TextBuilder text = {t->transport, sizeof t->transport, 0, 0};
    AppendText(&text, " over TLS");
    if (version == 12) AppendText(&text, " 1.2");
    if (version == 13) AppendText(&text, " 1.3");
    FinishText(&text);
    t->session->transport = t->transport;
    t->phase = kTlsOpen;
    BridgeConnected(t->session, now);
}

// Handshake rounds over what has arrived, during the handshake or over messages after it;
// returns 0 once the layer was closed or failed.
int Handshake(TlsLayer* t, uint32_t now) {
    while (t->phase == kTlsHandshake || t->phase == kTlsAfterHandshake) {
        if (t->phase == kTlsAfterHandshake && t->inSize == 0) return 1;
        if (t->phase == kTlsHandshake) NoteCertificateRequest(t);
        SspiResult r = t->provider->Handshake(t->in, t->inSize);
        if (r.status == kSspiIncomplete) return 1;
        if (r.status == kSspiIncompleteCredentials && !t->retriedCredentials) {
            // Schannel's documented answer: the same call again goes on without a certificate.
            t->retriedCredentials = 1;
            t->askedForCertificate = 1;
            if (!t->presentsCertificate) SayAsked(t);
            continue;
        }
        if (r.status != kSspiOk && r.status != kSspiContinue) {
            RoundFailed(t, now, r);
            return 0;
        }
        if (!SendRaw(t, r.output, r.outputSize)) {
            HandshakeFailed(t, now, "send failed during the TLS handshake");
            return 0;
        }
        Consume(t, r.extra <= t->inSize ? t->inSize - r.extra : t->inSize);
        if (r.status == kSspiOk && t->phase == kTlsAfterHandshake) {
            t->phase = kTlsOpen;
            return 1;
        }
        if (r.status == kSspiOk) {
            uint32_t generation = t->generation;
            Established(t, now);
            return t->generation == generation && t->phase == kTlsOpen;
        }
        if (t->inSize == 0) return 1;
    }
    return 1;
}

// Whole records, one at a time, to the provider; the plaintext to the session.
void Records(TlsLayer* t, uint32_t now) {
    while (t->phase == kTlsOpen && t->inSize >= 5) {
        uint32_t total = 5 + (static_cast<uint32_t>(t->in[3]) << 8 | t->in[4]);
        if (total > kTlsRecordMax) {
            BridgeConnectionLost(t->session, now, "a TLS record larger than TLS allows");
            return;
        }
        if (t->inSize < total) return;
        uint8_t type = t->in[0];
        SspiResult r = t->provider->Decrypt(t->in, total);
        if (r.status == kSspiContextExpired ||
            (r.status == kSspiOk && r.outputSize == 0 && type == kRecordAlert)) {
            // close_notify: Windows says so, Wine decrypts it to nothing.
            BridgeConnectionLost(t->session, now, "the broker closed the TLS connection");
            return;
        }
        if (r.status == kSspiRenegotiate) {
            // Handshake messages (TLS 1.3's session tickets, on Windows): the record's last
            // `extra` bytes go to handshake rounds in its place, before the records after it.
            Consume(t, total - (r.extra <= total ? r.extra : total));
            t->phase = kTlsAfterHandshake;
            if (!Handshake(t, now)) return;
            continue;
        }
        if (r.status != kSspiOk) {
            char why[160];
            SayCode(why, sizeof why, "a TLS record could not be decrypted", r.code);
            BridgeConnectionLost(t->session, now, why);
            return;
        }
        uint32_t generation = t->generation;
        if (r.outputSize > 0) BridgeReceived(t->session, r.output, r.outputSize, now);
        if (t->generation != generation) return;  // the session closed the connection
        Consume(t, total);
    }
}

void Restart(TlsLayer* t) {
    t->inSize = 0;
    t->askedForCertificate = 0;
    t->retriedCredentials = 0;
}

}  // namespace

void TlsStart(TlsLayer* layer, Network* raw, TlsProvider* provider, BridgeState* session,
              TlsBuffers* buffers) {
    layer->in = buffers->in;
    layer->out = buffers->out;
    layer->raw = raw;
    layer->provider = provider;
    layer->session = session;
    layer->phase = kTlsIdle;
    layer->generation = 0;
    layer->saidAsked = 0;
    layer->onlyTls12 = 0;
    layer->presentsCertificate = 0;
    Restart(layer);
}

int TlsLayer::Connect(const char* name, uint16_t number, char* why, uint32_t whySize) {
    Close();
    uint32_t i = 0;
    for (; i < kMaxHost && name[i] != 0; ++i) host[i] = name[i];
    host[i] = 0;
    port = number;
    int addresses = raw->Connect(name, number, why, whySize);
    if (addresses > 0) phase = kTlsConnecting;
    return addresses;
}

int TlsLayer::ConnectNext(char* why, uint32_t whySize) {
    provider->End();
    Restart(this);
    ++generation;
    phase = kTlsConnecting;
    return raw->ConnectNext(why, whySize);
}

int TlsLayer::Send(const uint8_t* data, uint32_t size) {
    if (phase != kTlsOpen && phase != kTlsAfterHandshake) return 0;
    while (size > 0) {
        uint32_t part = size < sizes.maxMessage ? size : sizes.maxMessage;
        if (part > kOutCapacity) part = kOutCapacity;
        for (uint32_t i = 0; i < part; ++i) out[sizes.header + i] = data[i];
        uint32_t record = provider->Encrypt(out, part);
        int sent = record != 0 && raw->Send(out, record);
        // The plaintext (a CONNECT's password among it) does not stay behind.
        ZeroBytes(out, sizeof(TlsBuffers::out));
        if (!sent) return 0;
        data += part;
        size -= part;
    }
    return 1;
}

void TlsLayer::Close() {
    if (phase != kTlsIdle) provider->End();
    phase = kTlsIdle;
    Restart(this);
    ++generation;
    raw->Close();
}

void TlsLayer::Shutdown() {
    if (phase == kTlsOpen || phase == kTlsAfterHandshake) {
        SspiResult r = provider->CloseNotify();
        SendRaw(this, r.output, r.outputSize);  // ignore errors: closing either way
    }
    provider->End();
    phase = kTlsIdle;
    Restart(this);
    ++generation;
    raw->Shutdown();
}

void TlsLayer::Connected(uint32_t now) {
    if (phase != kTlsConnecting) return;
    uint8_t address[16];
    provider->Begin(host, ParseIpLiteral(host, address) == 0);
    phase = kTlsHandshake;
    Restart(this);
    Handshake(this, now);
}

void TlsLayer::Received(const uint8_t* data, uint32_t size, uint32_t now) {
    while (size > 0 && (phase == kTlsHandshake || phase == kTlsOpen ||
                        phase == kTlsAfterHandshake)) {
        uint32_t room = kTlsRecordMax - inSize;
        uint32_t take = size < room ? size : room;
        if (take == 0) {
            // Only a handshake message larger than the buffer gets here: a certificate chain
            // of more than 18 KiB.
            if (phase == kTlsHandshake) {
                HandshakeFailed(this, now, "the broker's TLS handshake is larger than 18 KiB");
            } else {
                BridgeConnectionLost(session, now, "a TLS record larger than TLS allows");
            }
            return;
        }
        for (uint32_t i = 0; i < take; ++i) in[inSize + i] = data[i];
        inSize += take;
        data += take;
        size -= take;
        if ((phase == kTlsHandshake || phase == kTlsAfterHandshake) && !Handshake(this, now)) {
            return;
        }
        Records(this, now);
    }
}

void TlsLayer::Closed(uint32_t now, const char* why) {
    if (phase == kTlsHandshake) {
        provider->End();
        phase = kTlsIdle;
        // A plain MQTT broker takes the ClientHello for a broken packet and hangs up; one that
        // asked for a certificate may hang up when none comes.
        BridgeConnectionLost(session, now, askedForCertificate
            ? "the broker closed the connection during the TLS handshake, after it asked for a "
              "client certificate, which the bridge has none of"
            : "the broker closed the connection during the TLS handshake: is the port a plain "
              "MQTT one? (1883 usually is)");
        return;
    }
    BridgeConnectionLost(session, now, why);
}

void TlsLayer::ConnectFailed(uint32_t now, const char* why) {
    BridgeConnectFailed(session, now, why);
}
