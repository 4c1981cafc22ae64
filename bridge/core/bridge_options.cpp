// The table of the bridge's options.
#include "bridge/core/bridge_options.h"

#include "bridge/core/bridge_config.h"
#include "bridge/core/text.h"

#define VARDEX_FIELD(member) static_cast<uint16_t>(__builtin_offsetof(BridgeConfig, member))

namespace {

const uint8_t kBoth = kRolePublish | kRoleDeliver;
const char kPathRule[] = ": too long, or empty";

}  // namespace

// In the order --help shows them.
const OptionRow kOptionRows[] = {
    {"--broker", "BROKER", "HOST[:PORT]", kBoth, kCheckBroker, kSaveAsGiven, VARDEX_FIELD(host),
     0, kMaxHost, ": give HOST or HOST:PORT, PORT from 1 to 65535", "--broker HOST[:PORT]"},
    {"--name", "NAME", "NAME", kBoth, kCheckName, kSaveAsGiven, VARDEX_FIELD(name), 0, kMaxName,
     ": a name is 1 to 64 printable characters without '+', '#', '/' or spaces",
     "[--name NAME]"},
    {"--from", "FROM", "NAME|+", kRoleDeliver, kCheckNameOrAnyone, kSaveAsGiven,
     VARDEX_FIELD(from), 0, kMaxName,
     ": a name is 1 to 64 printable characters without '+', '#', '/' or spaces",
     "[--from NAME|+]"},
    {"--prefix", "PREFIX", "PREFIX", kBoth, kCheckPrefix, kSaveAsGiven, VARDEX_FIELD(prefix), 0,
     kMaxPrefix,
     ": a prefix is 1 to 128 printable characters without '+' or '#', not starting or ending "
     "with '/'",
     "[--prefix vardex]"},
    {"--discovery", "DISCOVERY", "homeassistant|off", kRolePublish, kCheckChoice, kSaveAsGiven,
     VARDEX_FIELD(discovery), 0, 0, ": give homeassistant or off",
     "[--discovery homeassistant|off]"},
    {"--unit", "UNIT", "C|F", kRolePublish, kCheckChoice, kSaveAsGiven, VARDEX_FIELD(fahrenheit),
     0, 1, ": give C or F", "[--unit C|F]"},
    {"--head", "HEAD", "WORD", kRoleDeliver, kCheckWord, kSaveAsGiven, VARDEX_FIELD(head), 0,
     kMaxHead, ": a head is 1 to 72 printable characters without spaces", "[--head WORD]"},
    {"--user", "MQTT_USER", "USER", kBoth, kCheckText, kSaveAsGiven, VARDEX_FIELD(user),
     VARDEX_FIELD(hasUser), kMaxUser, ": a user name is 1 to 128 characters", "[--user USER]"},
    {"--password-env", nullptr, "VAR", kBoth, kCheckPath, kSaveNever, VARDEX_FIELD(passwordEnv),
     0, kMaxPath, kPathRule, "[--password-env VAR | --password-file FILE]"},
    {"--password-file", "MQTT_PASSWORD_FILE", "FILE", kBoth, kCheckPath, kSaveFullPath,
     VARDEX_FIELD(passwordFile), 0, kMaxPath, kPathRule, nullptr},
    {"--keepalive", "KEEPALIVE", "SECONDS", kBoth, kCheckSeconds, kSaveAsGiven,
     VARDEX_FIELD(keepAliveSeconds), 0, 0, ": give whole seconds from 1 to 65535",
     "[--keepalive SECONDS]"},
    {"--client-id", "CLIENT_ID", "ID", kBoth, kCheckWord, kSaveAsGiven, VARDEX_FIELD(clientId), 0,
     kMaxClientId, ": a client id is 1 to 128 printable characters without spaces",
     "[--client-id ID]"},
    {"--tls", "TLS", nullptr, kBoth, kCheckFlag, kSaveAsGiven, 0, VARDEX_FIELD(tls), 0, "",
     "[--tls"},
    {"--cafile", "CAFILE", "FILE", kBoth, kCheckPath, kSaveFullPath, VARDEX_FIELD(caFile), 0,
     kMaxPath, kPathRule, "[--cafile FILE]"},
    {"--cert", "CERT_THUMBPRINT", "THUMBPRINT", kBoth, kCheckThumbprint, kSaveAsGiven,
     VARDEX_FIELD(certHash), VARDEX_FIELD(hasCertHash), 0,
     ": give the certificate's SHA-1 thumbprint, 40 hex digits (spaces allowed)",
     "[--cert THUMBPRINT |"},
    {"--cert-file", nullptr, "FILE.pfx", kBoth, kCheckPath, kSaveFullPath, VARDEX_FIELD(certFile),
     0, kMaxPath, kPathRule, "--cert-file FILE.pfx"},
    {"--cert-password-file", nullptr, "FILE", kBoth, kCheckPath, kSaveFullPath,
     VARDEX_FIELD(certPasswordFile), 0, kMaxPath, kPathRule, "[--cert-password-file FILE] |"},
    {"--cert-issuer", "CERT_ISSUER", "NAME", kBoth, kCheckText, kSaveAsGiven,
     VARDEX_FIELD(certIssuer), 0, kMaxIssuer, ": give the issuing CA's name, 1 to 200 characters",
     "--cert-issuer NAME]]"},
    {"--password", nullptr, "PASSWORD", kBoth, kCheckRefused, kSaveNever, 0, 0, 0,
     "a password is never taken on the command line (process lists show it): use "
     "--password-env VAR or --password-file FILE",
     nullptr},
};

const int kOptionRowCount = sizeof kOptionRows / sizeof kOptionRows[0];

const OptionRow* FindOption(const char* name) {
    for (int i = 0; i < kOptionRowCount; ++i) {
        if (TextEquals(name, kOptionRows[i].name)) return &kOptionRows[i];
    }
    return nullptr;
}
