// The bridge's command line: word splitting, option parsing and the checks on every value.
#include "bridge/core/bridge_config.h"

#include "bridge/core/text.h"

const char kBridgeUsage[] =
    "usage:\r\n"
    "  vardex-bridge publish --broker HOST[:PORT] [--name NAME] [--prefix vardex]\r\n"
    "      [--discovery homeassistant|off] [--unit C|F] [--user USER]\r\n"
    "      [--password-env VAR | --password-file FILE] [--keepalive SECONDS]\r\n"
    "      [--client-id ID] [--tls [--cafile FILE] [--cert THUMBPRINT |\r\n"
    "      --cert-file FILE.pfx [--cert-password-file FILE]]]\r\n"
    "  vardex-bridge deliver --broker HOST[:PORT] [--name NAME] [--from NAME|+]\r\n"
    "      [--prefix vardex] [--head WORD] [--user USER]\r\n"
    "      [--password-env VAR | --password-file FILE] [--keepalive SECONDS]\r\n"
    "      [--client-id ID] [--tls [--cafile FILE] [--cert THUMBPRINT |\r\n"
    "      --cert-file FILE.pfx [--cert-password-file FILE]]]\r\n"
    "  vardex-bridge install publish|deliver OPTIONS   (as a service; --password-file only)\r\n"
    "  vardex-bridge uninstall publish|deliver\r\n"
    "  vardex-bridge --help | --version\r\n"
    "publish reads the relay's reports from \\\\.\\mailslot\\VARDslot and publishes them under\r\n"
    "PREFIX/NAME/; deliver writes the reports published under PREFIX/FROM/ to that mailslot.\r\n"
    "PORT defaults to 1883 (8883 with --tls), --keepalive to 30, --name to the computer name,\r\n"
    "--from to +. --tls checks the broker's certificate against Windows' trust store, or\r\n"
    "against the certificates in FILE alone; --cert or --cert-file present a client\r\n"
    "certificate, from the My store by thumbprint or from a PKCS#12 file.";

int SplitCommandLine(const char* line, char* storage, uint32_t storageSize, const char** words,
                     int maxWords) {
    uint32_t used = 0;
    int count = 0;
    const char* p = line;
    while (*p != 0) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == 0) break;
        if (count == maxWords) return -1;
        words[count++] = storage + used;
        int quoted = 0;
        while (*p != 0 && (quoted || (*p != ' ' && *p != '\t'))) {
            uint32_t slashes = 0;
            while (*p == '\\') {
                ++slashes;
                ++p;
            }
            uint32_t literal = *p == '"' ? slashes / 2 : slashes;
            for (uint32_t i = 0; i < literal; ++i) {
                if (used + 1 >= storageSize) return -1;
                storage[used++] = '\\';
            }
            if (*p == '"' && slashes % 2 == 0) {
                // Inside quotes, two quotes in a row are one literal quote.
                if (quoted && p[1] == '"') {
                    ++p;
                    if (used + 1 >= storageSize) return -1;
                    storage[used++] = '"';
                } else {
                    quoted = !quoted;
                }
                ++p;
            } else if (*p != 0 && (quoted || (*p != ' ' && *p != '\t'))) {
                if (used + 1 >= storageSize) return -1;
                storage[used++] = *p++;
            }
        }
        if (used >= storageSize) return -1;
        storage[used++] = 0;
    }
    return count;
}

namespace {

int Contains(const char* text, char c) {
    for (; *text != 0; ++text) {
        if (*text == c) return 1;
    }
    return 0;
}

int AllIn(const char* text, unsigned char low, unsigned char high) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        if (*p < low || *p > high) return 0;
    }
    return 1;
}

// Copies value into a field of capacity + 1 bytes; 0 when it is longer.
int CopyField(char* field, uint32_t capacity, const char* value) {
    uint32_t length = TextLength(value);
    if (length > capacity) return 0;
    for (uint32_t i = 0; i <= length; ++i) field[i] = value[i];
    return 1;
}

// A decimal number from 1 to 65535, nothing else.
int ParsePort(const char* text, uint16_t* value) {
    uint32_t total = 0;
    if (*text == 0) return 0;
    for (; *text != 0; ++text) {
        if (*text < '0' || *text > '9') return 0;
        total = total * 10 + static_cast<uint32_t>(*text - '0');
        if (total > 65535) return 0;
    }
    if (total == 0) return 0;
    *value = static_cast<uint16_t>(total);
    return 1;
}

// HOST, HOST:PORT, [IPv6] or [IPv6]:PORT.
int ParseBroker(const char* text, BridgeConfig* config) {
    const char* end = text + TextLength(text);
    const char* hostStart = text;
    const char* hostEnd;
    const char* port = nullptr;
    if (*text == '[') {
        hostStart = text + 1;
        hostEnd = hostStart;
        while (hostEnd < end && *hostEnd != ']') ++hostEnd;
        if (hostEnd == end) return 0;
        if (hostEnd[1] == ':') {
            port = hostEnd + 2;
        } else if (hostEnd[1] != 0) {
            return 0;
        }
    } else {
        hostEnd = text;
        while (hostEnd < end && *hostEnd != ':') ++hostEnd;
        if (hostEnd < end) port = hostEnd + 1;
    }
    uint32_t length = static_cast<uint32_t>(hostEnd - hostStart);
    if (length == 0 || length > kMaxHost) return 0;
    for (uint32_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(hostStart[i]);
        if (c < 0x21 || c > 0x7E || c == '[' || c == ']') return 0;
        config->host[i] = hostStart[i];
    }
    config->host[length] = 0;
    config->port = 0;  // 0 until the end: the default depends on --tls
    return port == nullptr || ParsePort(port, &config->port);
}

int IsValidPrefix(const char* prefix) {
    uint32_t length = TextLength(prefix);
    return length > 0 && length <= kMaxPrefix && !Contains(prefix, '+') &&
           !Contains(prefix, '#') && prefix[0] != '/' && prefix[length - 1] != '/' &&
           AllIn(prefix, 0x20, 0x7E);
}

void SetMessage(char* message, uint32_t size, const char* first, const char* value,
                const char* last) {
    TextBuilder text = {message, size, 0, 0};
    AppendText(&text, first);
    if (value != nullptr) {
        AppendText(&text, " \"");
        // A value too long for the line is named by its start.
        for (uint32_t i = 0; i < 40 && value[i] != 0; ++i) {
            char c = static_cast<unsigned char>(value[i]) < 0x20 ? '?' : value[i];
            AppendBytes(&text, reinterpret_cast<const uint8_t*>(&c), 1);
        }
        AppendText(&text, "\"");
    }
    AppendText(&text, last);
    FinishText(&text);
}

}  // namespace

int IsValidName(const char* name) {
    uint32_t length = TextLength(name);
    return length > 0 && length <= kMaxName && AllIn(name, 0x21, 0x7E) && !Contains(name, '+') &&
           !Contains(name, '#') && !Contains(name, '/');
}

ParseOutcome ParseBridgeArgs(int count, const char* const* words, BridgeConfig* config,
                             char* message, uint32_t messageSize) {
    ZeroBytes(config, sizeof *config);
    CopyField(config->prefix, kMaxPrefix, "vardex");
    CopyField(config->from, kMaxName, "+");
    config->discovery = 1;
    config->keepAliveSeconds = 30;
    message[0] = 0;
    for (int i = 0; i < count; ++i) {
        if (TextEquals(words[i], "--help")) return kParseHelp;
        if (TextEquals(words[i], "--version")) return kParseVersion;
    }
    config->command = kCommandRun;
    if (count > 0 && (TextEquals(words[0], "install") || TextEquals(words[0], "uninstall") ||
                      TextEquals(words[0], "service"))) {
        config->command = words[0][0] == 'i' ? kCommandInstall
                        : words[0][0] == 'u' ? kCommandUninstall : kCommandService;
        ++words;
        --count;
    }
    if (count == 0) {
        SetMessage(message, messageSize, "name a role, publish or deliver (--help lists the "
                   "options)", nullptr, "");
        return kParseError;
    }
    if (TextEquals(words[0], "publish")) {
        config->role = kRolePublish;
    } else if (TextEquals(words[0], "deliver")) {
        config->role = kRoleDeliver;
    } else {
        SetMessage(message, messageSize, "unknown role", words[0],
                   ": name publish or deliver (--help lists the options)");
        return kParseError;
    }
    if (config->command == kCommandUninstall) {
        if (count == 1) return kParseRun;
        SetMessage(message, messageSize, "uninstall takes the role alone, not", words[1], "");
        return kParseError;
    }
    int haveBroker = 0;
    for (int i = 1; i < count; ++i) {
        const char* option = words[i];
        int publishOnly = TextEquals(option, "--discovery") || TextEquals(option, "--unit");
        int deliverOnly = TextEquals(option, "--from") || TextEquals(option, "--head");
        int known = publishOnly || deliverOnly || TextEquals(option, "--broker") ||
                    TextEquals(option, "--name") || TextEquals(option, "--prefix") ||
                    TextEquals(option, "--user") || TextEquals(option, "--password-env") ||
                    TextEquals(option, "--password-file") || TextEquals(option, "--keepalive") ||
                    TextEquals(option, "--client-id") || TextEquals(option, "--cafile") ||
                    TextEquals(option, "--cert") || TextEquals(option, "--cert-file") ||
                    TextEquals(option, "--cert-password-file");
        if (TextEquals(option, "--tls")) {
            config->tls = 1;
            continue;
        }
        if (TextEquals(option, "--password")) {
            SetMessage(message, messageSize, "a password is never taken on the command line "
                       "(process lists show it): use --password-env VAR or --password-file FILE",
                       nullptr, "");
            return kParseError;
        }
        if (config->command == kCommandInstall && TextEquals(option, "--password-env")) {
            SetMessage(message, messageSize, "a service has no user's environment: install "
                       "takes the password from --password-file FILE", nullptr, "");
            return kParseError;
        }
        if (!known) {
            SetMessage(message, messageSize, "unknown option", option, " (--help lists them)");
            return kParseError;
        }
        if ((publishOnly && config->role != kRolePublish) ||
            (deliverOnly && config->role != kRoleDeliver)) {
            SetMessage(message, messageSize,
                       config->role == kRolePublish ? "publish does not take" : "deliver does "
                       "not take", option, "");
            return kParseError;
        }
        if (i + 1 >= count) {
            SetMessage(message, messageSize, option, nullptr, " needs a value");
            return kParseError;
        }
        const char* value = words[++i];
        int ok = 1;
        const char* rule = "";
        if (TextEquals(option, "--broker")) {
            ok = ParseBroker(value, config);
            haveBroker = 1;
            rule = ": give HOST or HOST:PORT, PORT from 1 to 65535";
        } else if (TextEquals(option, "--name") || TextEquals(option, "--from")) {
            int anyone = TextEquals(option, "--from") && TextEquals(value, "+");
            ok = anyone || IsValidName(value);
            if (ok) CopyField(option[2] == 'n' ? config->name : config->from, kMaxName, value);
            rule = ": a name is 1 to 64 printable characters without '+', '#', '/' or spaces";
        } else if (TextEquals(option, "--prefix")) {
            ok = IsValidPrefix(value) && CopyField(config->prefix, kMaxPrefix, value);
            rule = ": a prefix is 1 to 128 printable characters without '+' or '#', not "
                   "starting or ending with '/'";
        } else if (TextEquals(option, "--discovery")) {
            ok = TextEquals(value, "homeassistant") || TextEquals(value, "off");
            config->discovery = TextEquals(value, "homeassistant");
            rule = ": give homeassistant or off";
        } else if (TextEquals(option, "--unit")) {
            ok = TextEquals(value, "C") || TextEquals(value, "F");
            config->fahrenheit = TextEquals(value, "F");
            rule = ": give C or F";
        } else if (TextEquals(option, "--head")) {
            ok = *value != 0 && AllIn(value, 0x21, 0x7E) && CopyField(config->head, kMaxHead, value);
            rule = ": a head is 1 to 72 printable characters without spaces";
        } else if (TextEquals(option, "--user")) {
            ok = *value != 0 && AllIn(value, 0x20, 0xFF) && CopyField(config->user, kMaxUser, value);
            config->hasUser = ok;
            rule = ": a user name is 1 to 128 characters";
        } else if (TextEquals(option, "--password-env") || TextEquals(option, "--password-file")) {
            int env = option[11] == 'e';
            if ((env && config->passwordFile[0] != 0) || (!env && config->passwordEnv[0] != 0)) {
                SetMessage(message, messageSize, "give --password-env or --password-file, not "
                           "both", nullptr, "");
                return kParseError;
            }
            ok = *value != 0 &&
                 CopyField(env ? config->passwordEnv : config->passwordFile, kMaxPath, value);
            rule = ": too long, or empty";
        } else if (TextEquals(option, "--cafile")) {
            ok = *value != 0 && CopyField(config->caFile, kMaxPath, value);
            rule = ": too long, or empty";
        } else if (TextEquals(option, "--cert")) {
            ok = ParseThumbprint(value, config->certHash);
            config->hasCertHash = ok;
            rule = ": give the certificate's SHA-1 thumbprint, 40 hex digits (spaces allowed)";
        } else if (TextEquals(option, "--cert-file") ||
                   TextEquals(option, "--cert-password-file")) {
            char* field = TextEquals(option, "--cert-file") ? config->certFile
                                                            : config->certPasswordFile;
            ok = *value != 0 && CopyField(field, kMaxPath, value);
            rule = ": too long, or empty";
        } else if (TextEquals(option, "--client-id")) {
            ok = *value != 0 && AllIn(value, 0x21, 0x7E) &&
                 CopyField(config->clientId, kMaxClientId, value);
            rule = ": a client id is 1 to 128 printable characters without spaces";
        } else {
            ok = ParsePort(value, &config->keepAliveSeconds);
            rule = ": give whole seconds from 1 to 65535";
        }
        if (!ok) {
            SetMessage(message, messageSize, option, value, rule);
            return kParseError;
        }
    }
    if (!haveBroker) {
        SetMessage(message, messageSize, "--broker HOST[:PORT] is needed", nullptr, "");
        return kParseError;
    }
    if (config->caFile[0] != 0 && !config->tls) {
        SetMessage(message, messageSize, "--cafile goes with --tls: without it nothing is "
                   "encrypted or checked", nullptr, "");
        return kParseError;
    }
    const char* certRule = nullptr;
    if (config->hasCertHash && config->certFile[0] != 0) {
        certRule = "give --cert THUMBPRINT or --cert-file FILE.pfx, not both";
    } else if ((config->hasCertHash || config->certFile[0] != 0) && !config->tls) {
        certRule = "a client certificate goes with --tls";
    } else if (config->certPasswordFile[0] != 0 && config->certFile[0] == 0) {
        certRule = "--cert-password-file goes with --cert-file";
    }
    if (certRule != nullptr) {
        SetMessage(message, messageSize, certRule, nullptr, "");
        return kParseError;
    }
    if (config->port == 0) config->port = config->tls ? 8883 : 1883;
    if ((config->passwordEnv[0] != 0 || config->passwordFile[0] != 0) && !config->hasUser) {
        SetMessage(message, messageSize, "a password needs --user: MQTT sends none without a "
                   "user name", nullptr, "");
        return kParseError;
    }
    return kParseRun;
}

int PasswordFromFile(const uint8_t* bytes, uint32_t size, char* out, uint32_t outSize) {
    if (size >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) ||
                      (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
        return kPasswordUtf16;
    }
    uint32_t at = 0;
    if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) at = 3;
    uint32_t end = at;
    while (end < size && bytes[end] != '\r' && bytes[end] != '\n') ++end;
    while (end > at && (bytes[end - 1] == ' ' || bytes[end - 1] == '\t')) --end;
    if (end - at + 1 > outSize) return kPasswordTooLong;
    uint32_t length = 0;
    while (at < end) out[length++] = static_cast<char>(bytes[at++]);
    out[length] = 0;
    return static_cast<int>(length);
}

int ParseThumbprint(const char* text, uint8_t out[20]) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    if (p[0] == 0xE2 && p[1] == 0x80 && p[2] == 0x8E) p += 3;
    if (p[0] == '?') ++p;
    uint32_t digits = 0;
    for (; *p != 0; ++p) {
        if (*p == ' ') continue;
        int value = *p >= '0' && *p <= '9'   ? *p - '0'
                  : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                  : *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                                             : -1;
        if (value < 0 || digits == 40) return 0;
        if (digits % 2 == 0) out[digits / 2] = 0;
        out[digits / 2] = static_cast<uint8_t>(out[digits / 2] << 4 | value);
        ++digits;
    }
    return digits == 40;
}
