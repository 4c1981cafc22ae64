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
    {"--broker", "HOST[:PORT]", kBoth, kCheckBroker, kSaveAsGiven, VARDEX_FIELD(host),
     0, kMaxHost, ": give HOST or HOST:PORT, PORT from 1 to 65535", "--broker HOST[:PORT]"},
    {"--name", "NAME", kBoth, kCheckName, kSaveAsGiven, VARDEX_FIELD(name), 0, kMaxName,
     ": a name is 1 to 64 printable characters without '+', '#', '/' or spaces",
     "[--name NAME]"},
    {"--from", "NAME|+", kRoleDeliver, kCheckNameOrAnyone, kSaveAsGiven,
     VARDEX_FIELD(from), 0, kMaxName,
     ": a name is 1 to 64 printable characters without '+', '#', '/' or spaces",
     "[--from NAME|+]"},
    {"--prefix", "PREFIX", kBoth, kCheckPrefix, kSaveAsGiven, VARDEX_FIELD(prefix), 0,
     kMaxPrefix,
     ": a prefix is 1 to 128 printable characters without '+' or '#', not starting or ending "
     "with '/'",
     "[--prefix vardex]"},
    {"--discovery", "homeassistant|off", kRolePublish, kCheckChoice, kSaveAsGiven,
     VARDEX_FIELD(discovery), 0, 0, ": give homeassistant or off",
     "[--discovery homeassistant|off]"},
    {"--unit", "C|F", kRolePublish, kCheckChoice, kSaveAsGiven, VARDEX_FIELD(fahrenheit),
     0, 1, ": give C or F", "[--unit C|F]"},
    {"--head", "WORD", kRoleDeliver, kCheckWord, kSaveAsGiven, VARDEX_FIELD(head), 0,
     kMaxHead, ": a head is 1 to 72 printable characters without spaces", "[--head WORD]"},
    {"--user", "USER", kBoth, kCheckText, kSaveAsGiven, VARDEX_FIELD(user),
     VARDEX_FIELD(hasUser), kMaxUser, ": a user name is 1 to 128 characters", "[--user USER]"},
    {"--password-env", "VAR", kBoth, kCheckPath, kSaveNever, VARDEX_FIELD(passwordEnv),
     0, kMaxPath, kPathRule, "[--password-env VAR | --password-file FILE]"},
    {"--password-file", "FILE", kBoth, kCheckPath, kSaveFullPath,
     VARDEX_FIELD(passwordFile), 0, kMaxPath, kPathRule, nullptr},
    {"--keepalive", "SECONDS", kBoth, kCheckSeconds, kSaveAsGiven,
     VARDEX_FIELD(keepAliveSeconds), 0, 0, ": give whole seconds from 1 to 65535",
     "[--keepalive SECONDS]"},
    {"--client-id", "ID", kBoth, kCheckWord, kSaveAsGiven, VARDEX_FIELD(clientId), 0,
     kMaxClientId, ": a client id is 1 to 128 printable characters without spaces",
     "[--client-id ID]"},
    {"--tls", nullptr, kBoth, kCheckFlag, kSaveAsGiven, 0, VARDEX_FIELD(tls), 0, "",
     "[--tls"},
    {"--cafile", "FILE", kBoth, kCheckPath, kSaveFullPath, VARDEX_FIELD(caFile), 0,
     kMaxPath, kPathRule, "[--cafile FILE]"},
    {"--cert", "THUMBPRINT", kBoth, kCheckThumbprint, kSaveAsGiven,
     VARDEX_FIELD(certHash), VARDEX_FIELD(hasCertHash), 0,
     ": give the certificate's SHA-1 thumbprint, 40 hex digits (spaces allowed)",
     "[--cert THUMBPRINT |"},
    {"--cert-file", "FILE.pfx", kBoth, kCheckPath, kSaveFullPath, VARDEX_FIELD(certFile),
     0, kMaxPath, kPathRule, "--cert-file FILE.pfx"},
    {"--cert-password-file", "FILE", kBoth, kCheckPath, kSaveFullPath,
     VARDEX_FIELD(certPasswordFile), 0, kMaxPath, kPathRule, "[--cert-password-file FILE] |"},
    {"--cert-issuer", "NAME", kBoth, kCheckText, kSaveAsGiven,
     VARDEX_FIELD(certIssuer), 0, kMaxIssuer, ": give the issuing CA's name, 1 to 200 characters",
     "--cert-issuer NAME]]"},
    {"--password", "PASSWORD", kBoth, kCheckRefused, kSaveNever, 0, 0, 0,
     "a password is never taken on the command line (process lists show it): use "
     "--password-env VAR or --password-file FILE",
     nullptr},
};

const int kOptionRowCount = sizeof kOptionRows / sizeof kOptionRows[0];

namespace {

// Each option the installer package has a property for, and the property; the bridge itself
// never reads them, so they stay out of its rows.
const char kOptionProperties[] =
    "--broker\0BROKER\0" "--name\0NAME\0" "--from\0FROM\0" "--prefix\0PREFIX\0"
    "--discovery\0DISCOVERY\0" "--unit\0UNIT\0" "--head\0HEAD\0" "--user\0MQTT_USER\0"
    "--password-file\0MQTT_PASSWORD_FILE\0" "--keepalive\0KEEPALIVE\0" "--client-id\0CLIENT_ID\0"
    "--tls\0TLS\0" "--cafile\0CAFILE\0" "--cert\0CERT_THUMBPRINT\0" "--cert-issuer\0CERT_ISSUER\0";

}  // namespace

const OptionRow* FindOption(const char* name) {
    for (int i = 0; i < kOptionRowCount; ++i) {
        if (TextEquals(name, kOptionRows[i].name)) return &kOptionRows[i];
    }
    return nullptr;
}

const char* OptionProperty(const OptionRow* row) {
    for (const char* p = kOptionProperties; *p != 0; p += TextLength(p) + 1) {
        const char* property = p + TextLength(p) + 1;
        if (TextEquals(p, row->name)) return property;
        p = property;
    }
    return nullptr;
}
