// The TLS plumbing: handshake rounds, whole records to the provider, the rest kept for later.
#include "bridge/core/tls_layer.h"

#include "bridge/core/text.h"

namespace {

const int kTlsIdle = 0;
const int kTlsConnecting = 1;  // TCP under way
const int kTlsHandshake = 2;
const int kTlsOpen = 3;

const uint8_t kRecordAlert = 0x15;
const uint8_t kRecordHandshake = 0x16;

void Consume(TlsLayer* t, uint32_t count) {
    uint32_t left = t->inSize - count;
    for (uint32_t i = 0; i < left; ++i) t->in[i] = t->in[count + i];
    t->inSize = left;
}

void SayCode(char* why, uint32_t size, const char* what, uint32_t code) {
    static const char kHex[] = "0123456789ABCDEF";
    char hex[11] = {'0', 'x'};
    for (int i = 0; i < 8; ++i) hex[2 + i] = kHex[(code >> (28 - 4 * i)) & 15];
    hex[10] = 0;
    TextBuilder text = {why, size, 0, 0};
    AppendText(&text, what);
    AppendText(&text, " (");
    AppendText(&text, hex);
    AppendText(&text, ")");
    FinishText(&text);
}

// The connection failed before the session heard of it: it tries the next address, or backs off.
void HandshakeFailed(TlsLayer* t, uint32_t now, const char* why) {
    t->provider->End();
    t->phase = kTlsIdle;
    BridgeConnectionLost(t->session, now, why);
}

int SendRaw(TlsLayer* t, const uint8_t* data, uint32_t size) {
    return size == 0 || t->raw->Send(data, size);
}

// The handshake is done: the certificate decides whether the session ever hears of it.
void Established(TlsLayer* t, uint32_t now) {
    char names[200];
    names[0] = 0;
    TrustVerdict verdict = t->provider->CheckPeer(t->host, names, sizeof names);
    if (verdict != kTrustOk) {
        char line[400];
        TextBuilder text = {line, sizeof line, 0, 0};
        AppendText(&text, TrustVerdictText(verdict));
        if (verdict == kTrustWrongName) {
            AppendText(&text, ": it names ");
            AppendText(&text, names[0] != 0 ? names : "nothing");
            AppendText(&text, ", not ");
            AppendText(&text, t->host);
        }
        FinishText(&text);
        // Like refused credentials: asking again cannot mend it.
        BridgeRefused(t->session, now, line);
        return;
    }
    if (!t->provider->Sizes(&t->sizes) ||
        t->sizes.header + t->sizes.trailer + kOutCapacity > sizeof(TlsBuffers::out)) {
        HandshakeFailed(t, now, "TLS gave record sizes the bridge cannot use");
        return;
    }
    t->phase = kTlsOpen;
    BridgeConnected(t->session, now);
}

// Handshake rounds over what has arrived; returns 0 once the layer was closed or failed.
int Handshake(TlsLayer* t, uint32_t now) {
    while (t->phase == kTlsHandshake) {
        SspiResult r = t->provider->Handshake(t->in, t->inSize);
        if (r.status == kSspiIncomplete) return 1;
        if (r.status != kSspiOk && r.status != kSspiContinue) {
            char why[160];
            // A broker that answers in anything but TLS records is not speaking TLS here.
            if (t->inSize > 0 && t->in[0] != kRecordHandshake && t->in[0] != kRecordAlert) {
                SayCode(why, sizeof why, "the broker did not answer in TLS: is the port a plain "
                        "MQTT one? (1883 usually is)", r.code);
            } else {
                SayCode(why, sizeof why, "the TLS handshake failed", r.code);
            }
            HandshakeFailed(t, now, why);
            return 0;
        }
        if (!SendRaw(t, r.output, r.outputSize)) {
            HandshakeFailed(t, now, "send failed during the TLS handshake");
            return 0;
        }
        Consume(t, r.extra <= t->inSize ? t->inSize - r.extra : t->inSize);
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
            // Handshake messages after the handshake (TLS 1.3 tickets): a handshake round over
            // them, after the record they came in.
            uint32_t size = r.outputSize <= sizeof(TlsBuffers::out) ? r.outputSize : 0;
            for (uint32_t i = 0; i < size; ++i) t->out[i] = r.output[i];
            Consume(t, total);
            SspiResult again = t->provider->Handshake(t->out, size);
            if ((again.status != kSspiOk && again.status != kSspiContinue) ||
                !SendRaw(t, again.output, again.outputSize)) {
                char why[160];
                SayCode(why, sizeof why, "TLS renegotiation failed", again.code);
                BridgeConnectionLost(t->session, now, why);
                return;
            }
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

}  // namespace

void TlsStart(TlsLayer* layer, Network* raw, TlsProvider* provider, BridgeState* session,
              TlsBuffers* buffers) {
    layer->in = buffers->in;
    layer->out = buffers->out;
    layer->raw = raw;
    layer->provider = provider;
    layer->session = session;
    layer->phase = kTlsIdle;
    layer->inSize = 0;
    layer->generation = 0;
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
    inSize = 0;
    ++generation;
    phase = kTlsConnecting;
    return raw->ConnectNext(why, whySize);
}

int TlsLayer::Send(const uint8_t* data, uint32_t size) {
    if (phase != kTlsOpen) return 0;
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
    inSize = 0;
    ++generation;
    raw->Close();
}

void TlsLayer::Shutdown() {
    if (phase == kTlsOpen) {
        SspiResult r = provider->CloseNotify();
        SendRaw(this, r.output, r.outputSize);  // ignore errors: closing either way
    }
    provider->End();
    phase = kTlsIdle;
    inSize = 0;
    ++generation;
    raw->Shutdown();
}

void TlsLayer::Connected(uint32_t now) {
    if (phase != kTlsConnecting) return;
    uint8_t address[16];
    provider->Begin(host, ParseIpLiteral(host, address) == 0);
    phase = kTlsHandshake;
    inSize = 0;
    Handshake(this, now);
}

void TlsLayer::Received(const uint8_t* data, uint32_t size, uint32_t now) {
    while (size > 0 && (phase == kTlsHandshake || phase == kTlsOpen)) {
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
        if (phase == kTlsHandshake && !Handshake(this, now)) return;
        Records(this, now);
    }
}

void TlsLayer::Closed(uint32_t now, const char* why) {
    if (phase == kTlsHandshake) {
        provider->End();
        phase = kTlsIdle;
        // A plain MQTT broker takes the ClientHello for a broken packet and hangs up.
        BridgeConnectionLost(session, now, "the broker closed the connection during the TLS "
                             "handshake: is the port a plain MQTT one? (1883 usually is)");
        return;
    }
    BridgeConnectionLost(session, now, why);
}

void TlsLayer::ConnectFailed(uint32_t now, const char* why) {
    BridgeConnectFailed(session, now, why);
}
