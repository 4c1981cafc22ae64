// The bridge's command line: word splitting, option parsing and the checks on every value.
#include "bridge/core/bridge_config.h"

#include "bridge/core/bridge_options.h"
#include "bridge/core/text.h"

namespace {

// What --help says after the roles' option rows; those are wrapped to fit an 80-column console.
const char kUsageRest[] =
    "  vardex-bridge install publish|deliver OPTIONS   (as a service; --password-file only)\r\n"
    "  vardex-bridge reconfigure publish|deliver OPTIONS   (install over the service)\r\n"
    "  vardex-bridge uninstall publish|deliver\r\n"
    "  vardex-bridge --help | --version\r\n"
    "publish reads the relay's reports from \\\\.\\mailslot\\VARDslot and publishes them under\r\n"
    "PREFIX/NAME/; deliver writes the reports published under PREFIX/FROM/ to that mailslot.\r\n"
    "PORT defaults to 1883 (8883 with --tls), --keepalive to 30, --name to the computer name,\r\n"
    "--from to +. --tls checks the broker's certificate against Windows' trust store, or\r\n"
    "against the certificates in FILE alone; --cert, --cert-file or --cert-issuer present a\r\n"
    "client certificate: by thumbprint or the CA's newest from the My store, or from a PKCS#12\r\n"
    "file.";
const uint32_t kUsageWidth = 79;
const char kUsageBreak[] = "\r\n     ";  // the space before the next row makes six

}  // namespace

uint32_t BridgeUsage(char* out, uint32_t capacity) {
    TextBuilder text = {out, capacity, 0, 0};
    AppendText(&text, "usage:");
    for (int role = kRolePublish; role <= kRoleDeliver; ++role) {
        uint32_t lineStart = text.size + 2;
        AppendFormat(&text, "\r\n  vardex-bridge %s", role == kRolePublish ? "publish" : "deliver");
        uint32_t column = text.size - lineStart;
        for (int i = 0; i < kOptionRowCount; ++i) {
            const OptionRow* row = &kOptionRows[i];
            if ((row->roles & role) == 0 || row->usage == nullptr) continue;
            uint32_t length = TextLength(row->usage);
            if (column + 1 + length > kUsageWidth) {
                AppendText(&text, kUsageBreak);
                column = TextLength(kUsageBreak) - 2;
            }
            AppendFormat(&text, " %s", row->usage);
            column += 1 + length;
        }
    }
    AppendFormat(&text, "\r\n%s", kUsageRest);
    return FinishText(&text);
}

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

// The word of a choice's "a|b|c" that value is, from 0; -1 when none.
int ChoiceIndex(const char* choices, const char* value) {
    int index = 0;
    const char* v = value;
    for (const char* c = choices;; ++c) {
        if (*c == '|' || *c == 0) {
            if (v != nullptr && *v == 0) return index;
            if (*c == 0) return -1;
            ++index;
            v = value;
        } else if (v != nullptr && *v == *c) {
            ++v;
        } else {
            v = nullptr;
        }
    }
}

// Checks value by the row's rule and stores it where the row says; 0 when it is bad.
int TakeValue(const OptionRow* row, const char* value, BridgeConfig* config) {
    char* field = reinterpret_cast<char*>(config) + row->field;
    switch (row->check) {
        case kCheckBroker:
            return ParseBroker(value, config);
        case kCheckNameOrAnyone:
            if (TextEquals(value, "+")) return CopyField(field, row->limit, value);
            return IsValidName(value) && CopyField(field, row->limit, value);
        case kCheckName:
            return IsValidName(value) && CopyField(field, row->limit, value);
        case kCheckPrefix:
            return IsValidPrefix(value) && CopyField(field, row->limit, value);
        case kCheckChoice: {
            int index = ChoiceIndex(row->valueName, value);
            *reinterpret_cast<int*>(field) = index == row->limit;
            return index >= 0;
        }
        case kCheckWord:
            return *value != 0 && AllIn(value, 0x21, 0x7E) && CopyField(field, row->limit, value);
        case kCheckText:
            return *value != 0 && AllIn(value, 0x20, 0xFF) && CopyField(field, row->limit, value);
        case kCheckPath:
            return *value != 0 && CopyField(field, row->limit, value);
        case kCheckThumbprint:
            return ParseThumbprint(value, reinterpret_cast<uint8_t*>(field));
        case kCheckSeconds:
            return ParsePort(value, reinterpret_cast<uint16_t*>(field));
        default:
            return 0;
    }
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
    for (int i = 1; i < count; ++i) {
        const char* option = words[i];
        const OptionRow* row = FindOption(option);
        if (row != nullptr && row->check == kCheckRefused) {
            SetMessage(message, messageSize, row->rule, nullptr, "");
            return kParseError;
        }
        if (row != nullptr && row->save == kSaveNever && config->command == kCommandInstall) {
            SetMessage(message, messageSize, "a service has no user's environment: install "
                       "takes the password from --password-file FILE", nullptr, "");
            return kParseError;
        }
        if (row == nullptr) {
            SetMessage(message, messageSize, "unknown option", option, " (--help lists them)");
            return kParseError;
        }
        if ((row->roles & config->role) == 0) {
            SetMessage(message, messageSize,
                       config->role == kRolePublish ? "publish does not take" : "deliver does "
                       "not take", option, "");
            return kParseError;
        }
        if (row->check != kCheckFlag) {
            if (i + 1 >= count) {
                SetMessage(message, messageSize, option, nullptr, " needs a value");
                return kParseError;
            }
            const char* value = words[++i];
            const char* other = TextEquals(option, "--password-env")    ? config->passwordFile
                              : TextEquals(option, "--password-file") ? config->passwordEnv
                                                                        : "";
            if (other[0] != 0) {
                SetMessage(message, messageSize, "give --password-env or --password-file, not "
                           "both", nullptr, "");
                return kParseError;
            }
            if (!TakeValue(row, value, config)) {
                SetMessage(message, messageSize, option, value, row->rule);
                return kParseError;
            }
        }
        if (row->given != 0) {
            *reinterpret_cast<int*>(reinterpret_cast<char*>(config) + row->given) = 1;
        }
    }
    if (config->host[0] == 0) {
        SetMessage(message, messageSize, "--broker HOST[:PORT] is needed", nullptr, "");
        return kParseError;
    }
    if (config->caFile[0] != 0 && !config->tls) {
        SetMessage(message, messageSize, "--cafile goes with --tls: without it nothing is "
                   "encrypted or checked", nullptr, "");
        return kParseError;
    }
    const char* certRule = nullptr;
    int certs = config->hasCertHash + (config->certFile[0] != 0) + (config->certIssuer[0] != 0);
    if (certs > 1) {
        certRule = "give one of --cert, --cert-file and --cert-issuer";
    } else if (certs != 0 && !config->tls) {
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
