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

// What a handshake that a plain MQTT listener broke off most likely means.
const char kPlainPort[] = ": is the port a plain MQTT one? (1883 usually is)";

void Consume(TlsLayer* t, uint32_t count) {
    uint32_t left = t->inSize - count;
    for (uint32_t i = 0; i < left; ++i) t->in[i] = t->in[count + i];
    t->inSize = left;
}

// Windows' names for the statuses its TLS gives most, for lines people search the web with,
// without their "SEC_": keyed by their low byte, the rest being 0x800903xx for an E_ name and
// 0x000903xx for an I_ one.
const char kStatusNames[] =
    "\x21" "I_INCOMPLETE_CREDENTIALS\0"
    "\x01" "E_INSUFFICIENT_MEMORY\0"
    "\x02" "E_INVALID_HANDLE\0"
    "\x03" "E_UNSUPPORTED_FUNCTION\0"
    "\x05" "E_INTERNAL_ERROR\0"
    "\x06" "E_SECPKG_NOT_FOUND\0"
    "\x07" "E_NOT_OWNER\0"
    "\x09" "E_INVALID_TOKEN\0"
    "\x0E" "E_UNKNOWN_CREDENTIALS\0"
    "\x0F" "E_NO_CREDENTIALS\0"
    "\x10" "E_MESSAGE_ALTERED\0"
    "\x12" "E_NO_AUTHENTICATING_AUTHORITY\0"
    "\x18" "E_CONTEXT_EXPIRED\0"
    "\x23" "E_WRONG_PRINCIPAL\0"
    "\x26" "E_UNTRUSTED_ROOT\0"
    "\x27" "E_ILLEGAL_MESSAGE\0"
    "\x28" "E_CERT_UNKNOWN\0"
    "\x29" "E_CERT_EXPIRED\0"
    "\x31" "E_DECRYPT_FAILURE\0"
    "\x32" "E_ALGORITHM_MISMATCH\0"
    "\x4A" "E_CERT_WRONG_USAGE\0"
    "\x53" "E_ISSUING_CA_UNTRUSTED\0"
    "\x5E" "E_INVALID_PARAMETER\0"
    "\x68" "E_APPLICATION_PROTOCOL_MISMATCH\0";

// TLS alert descriptions by number.
const char kAlertNames[] =
    "\x01" "close_notify\0" "\x0B" "unexpected_message\0" "\x15" "bad_record_mac\0"
    "\x17" "record_overflow\0" "\x29" "handshake_failure\0" "\x2B" "bad_certificate\0"
    "\x2C" "unsupported_certificate\0" "\x2D" "certificate_revoked\0"
    "\x2E" "certificate_expired\0" "\x2F" "certificate_unknown\0" "\x30" "illegal_parameter\0"
    "\x31" "unknown_ca\0" "\x32" "access_denied\0" "\x33" "decode_error\0" "\x34" "decrypt_error\0"
    "\x47" "protocol_version\0" "\x48" "insufficient_security\0" "\x51" "internal_error\0"
    "\x57" "inappropriate_fallback\0" "\x5B" "user_canceled\0" "\x6E" "missing_extension\0"
    "\x6F" "unsupported_extension\0" "\x71" "unrecognized_name\0" "\x75" "certificate_required\0"
    "\x79" "no_application_protocol\0";

// "SEC_E_INTERNAL_ERROR (0x80090304)", or the number alone for a status without a name here.
void AppendStatus(TextBuilder* text, uint32_t code) {
    const char* name = (code & 0x7FFFFF00) == 0x00090300
                           ? PackedName(kStatusNames, static_cast<int>(code & 0xFF))
                           : nullptr;
    if (name == nullptr || (name[0] == 'E') != static_cast<int>(code >> 31)) {
        AppendFormat(text, "%x", code);
        return;
    }
    AppendFormat(text, "SEC_%s (%x)", name, code);
}

BRIDGE_NOINLINE void AppendCode(TextBuilder* text, uint32_t code) {
    AppendText(text, ": ");
    AppendStatus(text, code);
}

void AppendAlert(TextBuilder* text, int description) {
    const char* name = PackedName(kAlertNames, description);
    if (name != nullptr) {
        AppendFormat(text, "%s (%d)", name, description);
        return;
    }
    AppendFormat(text, "number %d", description);
}

// The description of the alert record at bytes (a whole plaintext one), or -1.
BRIDGE_NOINLINE int AlertAt(const uint8_t* bytes, uint32_t size) {
    if (bytes == nullptr || size < 7 || bytes[0] != kRecordAlert || bytes[3] != 0 ||
        bytes[4] != 2) {
        return -1;
    }
    return bytes[6];
}

// The broker's alert among the whole records received and not yet used, or -1. TLS 1.3
// encrypts its alerts after the ServerHello; those stay unread.
int BrokerAlert(const TlsLayer* t) {
    for (uint32_t at = 0; at + 5 <= t->inSize;) {
        uint32_t end = at + 5 + (static_cast<uint32_t>(t->in[at + 3]) << 8 | t->in[at + 4]);
        if (end > t->inSize) return -1;
        if (t->in[at] == kRecordAlert) return AlertAt(t->in + at, end - at);
        at = end;
    }
    return -1;
}

// How a failed handshake ended: whose alert, if any, then Windows' status.
void AppendEnding(TextBuilder* text, int brokerAlert, const SspiResult& r) {
    // Microsoft says only that SECBUFFER_ALERT holds an alert message: the record that goes out
    // is read, and the bare two bytes of one too.
    int own = r.outputSize == 2 && (r.output[0] == 1 || r.output[0] == 2)
                  ? r.output[1]
                  : AlertAt(r.output, r.outputSize);
    int broker = brokerAlert >= 0;
    if (broker || own >= 0) {
        AppendText(text, broker ? "the broker's alert " : "Windows sent the alert ");
        AppendAlert(text, broker ? brokerAlert : own);
        AppendText(text, broker ? "; Windows says " : " and says ");
    } else {
        AppendText(text, "Windows says ");
    }
    AppendStatus(text, r.code);
}

BRIDGE_NOINLINE void SayCode(char* why, uint32_t size, const char* what, uint32_t code) {
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
// its plaintext handshake messages, whose list of CAs is read against the certificate's
// issuer. TLS 1.3 encrypts it; there Windows says SEC_I_INCOMPLETE_CREDENTIALS instead, and
// Wine has no TLS 1.3.
void NoteCertificateRequest(TlsLayer* t) {
    uint32_t at = 0;
    while (at + 5 <= t->inSize) {
        uint32_t end = at + 5 + (static_cast<uint32_t>(t->in[at + 3]) << 8 | t->in[at + 4]);
        if (end > t->inSize) return;
        for (uint32_t m = at + 5; t->in[at] == kRecordHandshake && m + 4 <= end;
             m += 4 + (static_cast<uint32_t>(t->in[m + 1]) << 16 |
                       static_cast<uint32_t>(t->in[m + 2]) << 8 | t->in[m + 3])) {
            if (t->in[m] != kCertificateRequest) continue;
            t->askedForCertificate = 1;
            uint32_t length = static_cast<uint32_t>(t->in[m + 1]) << 16 |
                              static_cast<uint32_t>(t->in[m + 2]) << 8 | t->in[m + 3];
            const uint8_t* issuer = nullptr;
            uint32_t issuerSize = 0;
            // A request split over records keeps its list unread: no line rather than a wrong one.
            if (t->presentsCertificate && length <= end - m - 4 &&
                t->provider->ClientIssuer(&issuer, &issuerSize, nullptr, 0)) {
                t->issuerListed = CertificateRequestLists(t->in + m + 4, length, issuer,
                                                          issuerSize, t->brokerCas,
                                                          sizeof t->brokerCas);
            }
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

// When the broker listed the CAs it takes client certificates from and the certificate's
// issuer is not among them, that comes first: a Schannel that picks by the list (Wine's) sends
// no certificate at all, and whatever the broker says next follows from that.
void AppendUnlisted(TlsLayer* t, TextBuilder* text) {
    char issuer[160];
    const uint8_t* der = nullptr;
    uint32_t size = 0;
    issuer[0] = 0;
    if (!t->provider->ClientIssuer(&der, &size, issuer, sizeof issuer)) return;
    AppendFormat(text, "the broker accepts client certificates from: %s; this one is from %s: ",
                 t->brokerCas, issuer[0] != 0 ? issuer : "another CA");
}

// A handshake round failed: the alert Schannel made goes out, then a line on what is likely.
void RoundFailed(TlsLayer* t, uint32_t now, const SspiResult& r) {
    SendRaw(t, r.output, r.outputSize);  // ignore errors: the connection ends either way
    char why[400];
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
    int alert = BrokerAlert(t);
    TextBuilder text = {why, sizeof why, 0, 0};
    if (t->askedForCertificate && t->presentsCertificate) {
        // The broker asked and a certificate was there to give: whatever failed, it is about
        // that certificate (its CA, its key, the broker's verdict), which asking again cannot
        // mend.
        if (t->issuerListed == 0) {
            AppendUnlisted(t, &text);
        } else if (t->retriedCredentials) {
            AppendText(&text, "the broker asked for a client certificate, and Windows did not "
                       "send the bridge's (SEC_I_INCOMPLETE_CREDENTIALS: it cannot use it "
                       "here): ");
        } else if (alert >= 0) {
            AppendText(&text, "the broker refused the client certificate: ");
        } else {
            AppendText(&text, "the TLS handshake failed after the bridge presented its client "
                       "certificate: ");
        }
    } else if (alert >= 0 && (t->askedForCertificate || alert == kAlertCertificateRequired)) {
        // The broker asked for a certificate and ended the handshake because none came.
        AppendFormat(&text, "the broker requires a client certificate, and %s",
                     t->presentsCertificate
                         ? "Windows did not send the bridge's: "
                         : "none was given (--cert, --cert-file or --cert-issuer): ");
    } else {
        // A broker that answers in anything but TLS records is not speaking TLS here.
        if (t->inSize > 0 && t->in[0] != kRecordHandshake && t->in[0] != kRecordAlert) {
            AppendFormat(&text, "the broker did not answer in TLS%s", kPlainPort);
            AppendCode(&text, r.code);
        } else {
            AppendText(&text, "the TLS handshake failed: ");
            AppendEnding(&text, alert, r);
        }
        FinishText(&text);
        HandshakeFailed(t, now, why);
        return;
    }
    AppendEnding(&text, alert, r);
    if (FinishText(&text) == 0) SayCode(why, sizeof why, "the TLS handshake failed", r.code);
    t->provider->End();
    t->phase = kTlsIdle;
    BridgeRefused(t->session, now, why);
}

void AppendTrustLine(TextBuilder* text, TrustVerdict verdict, const char* host,
                     const char* names) {
    AppendTrustVerdict(text, verdict);
    if (verdict != kTrustWrongName) return;
    uint8_t address[16];
    AppendFormat(text, ": it names %s", names[0] != 0 ? names : "nothing");
    if (ParseIpLiteral(host, address) != 0) {
        // A common name or DNS entry that reads like the address does not count for one.
        AppendFormat(text, "; an address must be one of its IP address entries, and %s is not",
                     host);
    } else {
        AppendFormat(text, ", not %s", host);
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
            AppendTrustVerdict(&shorter, verdict);
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
    if (t->askedForCertificate && t->presentsCertificate && t->issuerListed == 0) {
        // A broker that asks but does not insist: whatever it makes of a client without one
        // comes after this line.
        char line[400];
        TextBuilder text = {line, sizeof line, 0, 0};
        AppendUnlisted(t, &text);
        AppendText(&text, "going on without it");
        if (FinishText(&text) > 0) bridgeConsole->WriteLine(kLogWarning, line);
    }
    int version = t->provider->Version();
    TextBuilder text = {t->transport, sizeof t->transport, 0, 0};
    AppendFormat(&text, " over TLS%s", version == 12 ? " 1.2" : version == 13 ? " 1.3" : "");
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

BRIDGE_NOINLINE void Restart(TlsLayer* t) {
    t->inSize = 0;
    t->askedForCertificate = 0;
    t->retriedCredentials = 0;
    t->issuerListed = -1;
    t->brokerCas[0] = 0;
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
    layer->chooseCertificate = nullptr;
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
    if (chooseCertificate != nullptr) {
        char why[400];
        if (!chooseCertificate(why, sizeof why)) {
            BridgeRefused(session, now, why);
            return;
        }
        presentsCertificate = 1;
    }
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
        // asked for a certificate may hang up when none comes, or over the one it got.
        char line[400];
        TextBuilder text = {line, sizeof line, 0, 0};
        if (askedForCertificate && presentsCertificate && issuerListed == 0) {
            AppendUnlisted(this, &text);
        }
        static const char kClosed[] = "the broker closed the connection during the TLS handshake";
        AppendText(&text, kClosed);
        if (!askedForCertificate) {
            AppendText(&text, kPlainPort);
        } else {
            AppendText(&text, ", after it asked for a client certificate");
            if (!presentsCertificate) AppendText(&text, ", which the bridge has none of");
        }
        if (FinishText(&text) == 0) {
            TextBuilder shorter = {line, sizeof line, 0, 0};
            AppendText(&shorter, kClosed);
            FinishText(&shorter);
        }
        BridgeConnectionLost(session, now, line);
        return;
    }
    BridgeConnectionLost(session, now, why);
}

void TlsLayer::ConnectFailed(uint32_t now, const char* why) {
    BridgeConnectFailed(session, now, why);
}

namespace {

// One DER item at *at, ending by end: its tag and its contents' place; *at moves past it.
// 0 when it does not fit (lengths of more than two bytes never do here).
int DerItem(const uint8_t* p, uint32_t end, uint32_t* at, uint8_t* tag, uint32_t* start,
            uint32_t* length) {
    if (*at >= end || end - *at < 2) return 0;
    uint32_t i = *at + 2;
    uint32_t n = p[*at + 1];
    if (n & 0x80) {
        uint32_t count = n & 0x7F;
        if (count == 0 || count > 2 || end - i < count) return 0;
        n = 0;
        for (uint32_t k = 0; k < count; ++k) n = n << 8 | p[i++];
    }
    if (n > end - i) return 0;
    *tag = p[*at];
    *start = i;
    *length = n;
    *at = i + n;
    return 1;
}

// Windows' labels (CertNameToStr) for the attributes CA names carry; others are left out.
const char* AttributeLabel(const uint8_t* oid, uint32_t size) {
    static const uint8_t kEmail[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01};
    static const uint8_t kDomain[] = {0x09, 0x92, 0x26, 0x89, 0x93, 0xF2, 0x2C, 0x64, 0x01, 0x19};
    if (size == 3 && oid[0] == 0x55 && oid[1] == 0x04) {  // 2.5.4.x
        static const char kLabels[] =
            "\x04" "CN\0" "\x07" "C\0" "\x08" "L\0" "\x09" "S\0" "\x0B" "O\0" "\x0C" "OU\0";
        return PackedName(kLabels, oid[2]);
    }
    int email = size == sizeof kEmail, domain = size == sizeof kDomain;
    for (uint32_t i = 0; i < size; ++i) {
        if (email && oid[i] != kEmail[i]) email = 0;
        if (domain && oid[i] != kDomain[i]) domain = 0;
    }
    return email ? "E" : domain ? "DC" : nullptr;
}

// A value as CertNameToStr writes it: quoted when it holds a separator; controls as '?'.
void AppendValue(TextBuilder* text, uint8_t tag, const uint8_t* v, uint32_t size) {
    int quote = size > 0 && (v[0] == ' ' || v[size - 1] == ' ');
    for (uint32_t i = 0; i < size; ++i) {
        for (const char* s = ",+=\"<>#;\n"; *s != 0; ++s) {
            quote |= v[i] == static_cast<uint8_t>(*s);
        }
    }
    if (quote) AppendText(text, "\"");
    uint32_t step = tag == 0x1E ? 2 : 1;  // BMPString: the ASCII ones of its UTF-16 units
    for (uint32_t i = 0; i + step <= size; i += step) {
        uint8_t c = v[i + step - 1];
        if (c < 0x20 || c == 0x7F || (step == 2 && v[i] != 0)) c = '?';
        AppendBytes(text, &c, 1);
        if (c == '"') AppendBytes(text, &c, 1);
    }
    if (quote) AppendText(text, "\"");
}

// A DER Name as text, "CN=..., O=..." in its encoded order; 0 when it cannot be read.
int AppendName(TextBuilder* text, const uint8_t* der, uint32_t size) {
    uint32_t at = 0, start, length;
    uint8_t tag;
    if (!DerItem(der, size, &at, &tag, &start, &length) || tag != 0x30 || at != size) return 0;
    const char* separator = "";
    for (uint32_t rdn = start; rdn < start + length;) {
        uint32_t setStart, setLength;
        if (!DerItem(der, start + length, &rdn, &tag, &setStart, &setLength) || tag != 0x31) {
            return 0;
        }
        for (uint32_t ava = setStart; ava < setStart + setLength;) {
            uint32_t avaStart, avaLength, oid, oidLength, value, valueLength;
            uint8_t valueTag;
            if (!DerItem(der, setStart + setLength, &ava, &tag, &avaStart, &avaLength) ||
                tag != 0x30) {
                return 0;
            }
            uint32_t in = avaStart;
            if (!DerItem(der, avaStart + avaLength, &in, &tag, &oid, &oidLength) || tag != 0x06 ||
                !DerItem(der, avaStart + avaLength, &in, &valueTag, &value, &valueLength)) {
                return 0;
            }
            const char* label = AttributeLabel(der + oid, oidLength);
            if (label == nullptr) continue;
            AppendFormat(text, "%s%s=", separator, label);
            AppendValue(text, valueTag, der + value, valueLength);
            separator = ava < setStart + setLength ? " + " : ", ";
        }
        separator = *separator != 0 ? ", " : "";
    }
    return 1;
}

int IsNoTls12Client(uint32_t code) {
    // Schannel refuses TLS 1.2 it does not have as an algorithm mismatch; Windows without the
    // newer credential structure as an unsupported function; no Schannel at all as no package.
    return code == 0x80090331 || code == 0x80090302 || code == 0x80090305;
}

}  // namespace

int CertificateRequestLists(const uint8_t* body, uint32_t size, const uint8_t* issuer,
                            uint32_t issuerSize, char* names, uint32_t namesSize) {
    // certificate_types<1..255>, supported_signature_algorithms<2..2^16-2>,
    // certificate_authorities<0..2^16-1> of DistinguishedName<1..2^16-1>.
    names[0] = 0;
    if (size < 1) return -1;
    uint32_t at = 1 + body[0];
    if (at > size || size - at < 2) return -1;
    at += 2 + (static_cast<uint32_t>(body[at]) << 8 | body[at + 1]);
    if (at > size || size - at < 2) return -1;
    uint32_t listSize = static_cast<uint32_t>(body[at]) << 8 | body[at + 1];
    at += 2;
    if (listSize == 0 || listSize > size - at) return -1;  // an empty list takes any CA
    uint32_t end = at + listSize;
    TextBuilder text = {names, namesSize, 0, 0};
    int listed = 0, more = 0;
    while (at < end) {
        uint32_t n = end - at < 2 ? 0 : static_cast<uint32_t>(body[at]) << 8 | body[at + 1];
        at += 2;
        if (n == 0 || at > end || n > end - at) {
            names[0] = 0;
            return -1;
        }
        int same = n == issuerSize;
        for (uint32_t i = 0; same && i < n; ++i) same = body[at + i] == issuer[i];
        listed |= same;
        char one[128];
        TextBuilder name = {one, sizeof one, 0, 0};
        if (AppendName(&name, body + at, n) && FinishText(&name) > 0) {
            // Room is kept for "; ..." after the names that fit.
            if (text.size + 2 + name.size + 6 <= namesSize) {
                if (text.size > 0) AppendText(&text, "; ");
                AppendText(&text, one);
            } else {
                more = 1;
            }
        }
        at += n;
    }
    if (more) AppendText(&text, text.size > 0 ? "; ..." : "...");
    FinishText(&text);
    if (listed) names[0] = 0;
    return listed;
}

int CredentialsFailed(char* line, uint32_t size, uint32_t code, const char* windowsText,
                      int certificate, uint32_t withoutCode) {
    int blamesCertificate = certificate && withoutCode == 0;
    // Without a certificate the same failure says what this Windows lacks, not the certificate.
    uint32_t judged = certificate && !blamesCertificate ? withoutCode : code;
    TextBuilder text = {line, size, 0, 0};
    AppendText(&text, blamesCertificate ? "Windows' TLS cannot use the client certificate"
                      : IsNoTls12Client(judged)
                          ? "this Windows has no TLS 1.2 client, which --tls needs (Windows "
                            "before 7 has none; Windows 7 needs its update for TLS 1.2)"
                          : "Windows' TLS would not start");
    AppendCode(&text, judged);
    if (windowsText != nullptr && windowsText[0] != 0 && judged == code) {
        AppendFormat(&text, ", %s", windowsText);
    }
    if (FinishText(&text) == 0) {
        TextBuilder shorter = {line, size, 0, 0};
        AppendText(&shorter, "Windows' TLS would not start");
        AppendCode(&shorter, judged);
        FinishText(&shorter);
    }
    return blamesCertificate;
}
