// The bridge's command line: word splitting as Windows programs do it, and every option's checks.
#include "bridge/core/bridge_config.h"

#include "bridge/core/bridge_options.h"
#include "bridge/core/text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const char* line, uint32_t storage = 256) {
    std::vector<char> buffer(storage);
    const char* words[8];
    int count = SplitCommandLine(line, buffer.data(), storage, words, 8);
    if (count < 0) return {"<too long>"};
    return std::vector<std::string>(words, words + count);
}

TEST(BridgeConfig, SplitCommandLine) {
    using W = std::vector<std::string>;
    EXPECT_EQ(Split("b.exe publish  --broker\th:1"), (W{"b.exe", "publish", "--broker", "h:1"}));
    EXPECT_EQ(Split("\"C:\\Program Files\\b.exe\" a"), (W{"C:\\Program Files\\b.exe", "a"}));
    EXPECT_EQ(Split("b --name \"a b\"c"), (W{"b", "--name", "a bc"}));
    EXPECT_EQ(Split("b \\\\\"x y\""), (W{"b", "\\x y"}));      // 2n backslashes: n, and a quote
    EXPECT_EQ(Split("b \\\"x"), (W{"b", "\"x"}));              // 2n+1: n and a literal quote
    EXPECT_EQ(Split("b a\\\\b"), (W{"b", "a\\\\b"}));           // not before a quote: as they are
    EXPECT_EQ(Split("b \"a\"\"b\""), (W{"b", "a\"b"}));        // two quotes inside quotes
    EXPECT_EQ(Split("b \"\""), (W{"b", ""}));                  // an empty quoted word
    EXPECT_EQ(Split("   "), W{});
    EXPECT_EQ(Split("a b c d e f g h i"), W{"<too long>"});   // more words than room
    EXPECT_EQ(Split("abcdefgh", 8), W{"<too long>"});         // more bytes than room
}

struct Outcome {
    ParseOutcome outcome;
    BridgeConfig config;
    std::string message;
};

Outcome Parse(std::vector<const char*> words) {
    Outcome o;
    char message[200];
    o.outcome = ParseBridgeArgs(static_cast<int>(words.size()), words.data(), &o.config, message,
                                sizeof message);
    o.message = message;
    return o;
}

TEST(BridgeConfig, GoodCommandLines) {
    Outcome o = Parse({"publish", "--broker", "mqtt.lan"});
    ASSERT_EQ(o.outcome, kParseRun);
    EXPECT_EQ(o.config.role, kRolePublish);
    EXPECT_STREQ(o.config.host, "mqtt.lan");
    EXPECT_EQ(o.config.port, 1883);
    EXPECT_STREQ(o.config.prefix, "vardex");
    EXPECT_STREQ(o.config.name, "");  // the entry puts the computer name here
    EXPECT_EQ(o.config.discovery, 1);
    EXPECT_EQ(o.config.keepAliveSeconds, 30);

    o = Parse({"deliver", "--broker", "[::1]:8883", "--name", "PC02", "--from", "PC01", "--head",
               "PC01", "--prefix", "home/pcs", "--user", "u", "--password-file", "C:\\p.txt",
               "--keepalive", "5"});
    ASSERT_EQ(o.outcome, kParseRun) << o.message;
    EXPECT_STREQ(o.config.host, "::1");
    EXPECT_EQ(o.config.port, 8883);
    EXPECT_STREQ(o.config.from, "PC01");
    EXPECT_STREQ(o.config.head, "PC01");
    EXPECT_STREQ(o.config.prefix, "home/pcs");
    EXPECT_STREQ(o.config.passwordFile, "C:\\p.txt");
    EXPECT_EQ(o.config.keepAliveSeconds, 5);

    o = Parse({"publish", "--broker", "h", "--discovery", "off", "--unit", "F"});
    EXPECT_EQ(o.config.discovery, 0);
    EXPECT_EQ(o.config.fahrenheit, 1);
    EXPECT_EQ(o.config.command, kCommandRun);
    EXPECT_EQ(Parse({"publish", "--broker", "h", "--help"}).outcome, kParseHelp);

    const struct {
        std::vector<const char*> words;
        BridgeCommand command;
        int role;
    } verbs[] = {
        {{"install", "deliver", "--broker", "h", "--user", "u", "--password-file", "p"},
         kCommandInstall, kRoleDeliver},
        {{"install", "publish", "--broker", "h", "--tls", "--cert-issuer",
          "CN=Fleet CA, O=Example"}, kCommandInstall, kRolePublish},
        {{"uninstall", "publish"}, kCommandUninstall, kRolePublish},
        {{"service", "publish", "--broker", "h", "--client-id", "pc-7"}, kCommandService,
         kRolePublish},
    };
    for (const auto& v : verbs) {
        o = Parse(v.words);
        ASSERT_EQ(o.outcome, kParseRun) << v.words[0] << ": " << o.message;
        EXPECT_EQ(o.config.command, v.command) << v.words[0];
        EXPECT_EQ(o.config.role, v.role) << v.words[0];
    }
    EXPECT_STREQ(o.config.clientId, "pc-7");
    const std::string id128(128, 'i');
    o = Parse({"publish", "--broker", "h", "--client-id", id128.c_str()});
    EXPECT_EQ(o.config.clientId, id128) << o.message;
    EXPECT_EQ(Parse({"--version"}).outcome, kParseVersion);

    o = Parse({"publish", "--broker", "h", "--tls", "--cafile", "C:\\ca.pem"});
    EXPECT_EQ(o.config.port, 8883);
    EXPECT_EQ(o.config.tls, 1);
    EXPECT_STREQ(o.config.caFile, "C:\\ca.pem");
    EXPECT_STREQ(o.config.passwordFile, "");
    // Both roles take the TLS options, and --help says so under each.
    char text[2048];
    ASSERT_GT(BridgeUsage(text, sizeof text), 0u);
    std::string usage = text;
    EXPECT_NE(usage.find("--tls", usage.find("deliver --broker")), std::string::npos);
    EXPECT_NE(usage.find("--tls"), usage.rfind("--tls"));
    EXPECT_LT(usage.find("--tls"), usage.find("deliver --broker"));
}

TEST(BridgeConfig, RefusedCommandLines) {
    const std::string name65(65, 'n');
    const std::string head73(73, 'h');
    const std::string id129(129, 'i');
    const struct {
        std::vector<const char*> words;
        const char* says;
    } cases[] = {
        {{}, "name a role"},
        {{"relay", "--broker", "h"}, "unknown role"},
        {{"publish"}, "--broker HOST[:PORT] is needed"},
        {{"publish", "--broker"}, "needs a value"},
        {{"publish", "--broker", "h:0"}, "--broker"},
        {{"publish", "--broker", "h:65536"}, "--broker"},
        {{"publish", "--broker", "h:"}, "--broker"},
        {{"publish", "--broker", ":1883"}, "--broker"},
        {{"publish", "--broker", "[::1"}, "--broker"},
        {{"publish", "--broker", "h", "--password", "x"}, "never taken on the command line"},
        {{"publish", "--broker", "h", "--bogus", "x"}, "unknown option"},
        {{"publish", "--broker", "h", "--head", "X"}, "publish does not take"},
        {{"deliver", "--broker", "h", "--unit", "F"}, "deliver does not take"},
        {{"publish", "--broker", "h", "--name", ""}, "--name"},
        {{"publish", "--broker", "h", "--name", "a/b"}, "--name"},
        {{"publish", "--broker", "h", "--name", "a+b"}, "--name"},
        {{"publish", "--broker", "h", "--name", "a#"}, "--name"},
        {{"publish", "--broker", "h", "--name", "a b"}, "--name"},
        {{"publish", "--broker", "h", "--name", "\x7f"}, "--name"},
        {{"publish", "--broker", "h", "--name", name65.c_str()}, "--name"},
        {{"publish", "--broker", "h", "--name", "+"}, "--name"},
        {{"deliver", "--broker", "h", "--from", "a/b"}, "--from"},
        {{"deliver", "--broker", "h", "--head", ""}, "--head"},
        {{"deliver", "--broker", "h", "--head", head73.c_str()}, "--head"},
        {{"deliver", "--broker", "h", "--head", "a\x7f"}, "--head"},
        {{"publish", "--broker", "h", "--prefix", ""}, "--prefix"},
        {{"publish", "--broker", "h", "--prefix", "/v"}, "--prefix"},
        {{"publish", "--broker", "h", "--prefix", "v/"}, "--prefix"},
        {{"publish", "--broker", "h", "--prefix", "v/#"}, "--prefix"},
        {{"publish", "--broker", "h", "--prefix", "v+"}, "--prefix"},
        {{"publish", "--broker", "h", "--discovery", "on"}, "--discovery"},
        {{"publish", "--broker", "h", "--unit", "K"}, "--unit"},
        {{"publish", "--broker", "h", "--keepalive", "0"}, "--keepalive"},
        {{"publish", "--broker", "h", "--keepalive", "1e3"}, "--keepalive"},
        {{"publish", "--broker", "h", "--password-env", "P"}, "a password needs --user"},
        {{"publish", "--broker", "h", "--user", "u", "--password-env", "P", "--password-file",
          "f"}, "not both"},
        {{"publish", "--broker", "h", "--client-id", "a b"}, "--client-id"},
        {{"publish", "--broker", "h", "--client-id", id129.c_str()}, "--client-id"},
        {{"publish", "--broker", "h", "--tls", "--cafile", ""}, "--cafile"},
        {{"publish", "--broker", "h", "--cafile", "ca.pem"}, "--cafile goes with --tls"},
        {{"publish", "--broker", "h", "--cert-file", "c.pfx"}, "goes with --tls"},
        {{"publish", "--broker", "h", "--tls", "--cert", "12ab"}, "40 hex digits"},
        {{"publish", "--broker", "h", "--tls", "--cert-file", "c.pfx", "--cert",
          "0123456789abcdef0123456789abcdef01234567"}, "give one of --cert, --cert-file and"},
        {{"publish", "--broker", "h", "--tls", "--cert-file", "c.pfx", "--cert-issuer", "CA"},
         "give one of"},
        {{"publish", "--broker", "h", "--cert-issuer", "Fleet CA"}, "goes with --tls"},
        {{"publish", "--broker", "h", "--tls", "--cert-issuer", "a\x01"}, "--cert-issuer"},
        {{"publish", "--broker", "h", "--tls", "--cert-password-file", "p"},
         "--cert-password-file goes with --cert-file"},
        {{"install"}, "name a role"},
        {{"install", "publish", "--broker", "h", "--user", "u", "--password-env", "P"},
         "install takes the password from --password-file"},
        {{"install", "publish", "--name", "a/b", "--broker", "h"}, "--name"},
        {{"uninstall", "deliver", "--broker", "h"}, "uninstall takes the role alone"},
    };
    for (const auto& c : cases) {
        Outcome o = Parse(c.words);
        std::string line;
        for (const char* w : c.words) line += std::string(w) + " ";
        EXPECT_EQ(o.outcome, kParseError) << line;
        EXPECT_NE(o.message.find(c.says), std::string::npos) << line << "-> " << o.message;
        EXPECT_EQ(o.message.find('\n'), std::string::npos) << line;
    }
}

// The table's own rules: the installer's properties are distinct upper-case names, --help
// shows every option that is taken and names nothing else.
TEST(BridgeConfig, OptionTable) {
    std::set<std::string> properties;
    char text[2048];
    ASSERT_GT(BridgeUsage(text, sizeof text), 0u);
    const std::string usage = text;
    for (int i = 0; i < kOptionRowCount; ++i) {
        const OptionRow& row = kOptionRows[i];
        const char* property = OptionProperty(&row);
        if (property != nullptr) {
            EXPECT_TRUE(properties.insert(property).second) << property;
            EXPECT_EQ(std::string(property).find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_"),
                      std::string::npos) << property;
        }
        EXPECT_EQ(row.valueName == nullptr, row.check == kCheckFlag) << row.name;
        const bool shown = usage.find(std::string(row.name) + ' ') != std::string::npos ||
                           usage.find(std::string(row.name) + ']') != std::string::npos;
        EXPECT_EQ(shown, row.check != kCheckRefused) << row.name;
    }
    // The package's properties, found through the rows' names (a misspelt name loses one).
    EXPECT_EQ(properties, (std::set<std::string>{"BROKER", "NAME", "FROM", "PREFIX", "DISCOVERY",
                                                 "UNIT", "HEAD", "MQTT_USER", "MQTT_PASSWORD_FILE",
                                                 "KEEPALIVE", "CLIENT_ID", "TLS", "CAFILE",
                                                 "CERT_THUMBPRINT", "CERT_ISSUER"}));
    for (size_t at = usage.find("--"); at != std::string::npos; at = usage.find("--", at + 2)) {
        const size_t end = usage.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2);
        const std::string word = usage.substr(at, end - at);
        EXPECT_TRUE(FindOption(word.c_str()) != nullptr || word == "--help" ||
                    word == "--version") << word;
    }
}

// The lines' one formatter: texts, numbers to the most negative, and the whole line or nothing.
TEST(BridgeConfig, AppendFormat) {
    const struct {
        uint32_t capacity;
        const char* expected;
    } cases[] = {{64, "at ab: -2147483648 100%d"}, {25, "at ab: -2147483648 100%d"}, {24, ""}};
    for (const auto& c : cases) {
        char out[64] = {};
        TextBuilder text = {out, c.capacity, 0, 0};
        AppendFormat(&text, "at %s: %d %d%%d", "ab", INT32_MIN, 100);
        FinishText(&text);
        EXPECT_STREQ(out, c.expected) << c.capacity;
    }
}

TEST(BridgeConfig, ThumbprintsAsWindowsShowsThem) {
    const std::string hex = "0123456789abcdef0123456789ABCDEF01234567";
    const struct {
        std::string text;
        int ok;
    } cases[] = {
        {hex, 1},
        {"01 23 45 67 89 ab cd ef 01 23 45 67 89 AB CD EF 01 23 45 67", 1},
        {"\xE2\x80\x8E" + hex, 1},  // the dialog's left-to-right mark, as UTF-8
        {"?" + hex, 1},               // and as an ANSI command line gives it
        {hex.substr(1), 0},
        {hex + "0", 0},
        {hex.substr(0, 39) + "g", 0},
        {"", 0},
    };
    for (const auto& c : cases) {
        uint8_t out[20] = {};
        EXPECT_EQ(ParseThumbprint(c.text.c_str(), out), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(out[0], 0x01) << c.text;
            EXPECT_EQ(out[19], 0x67) << c.text;
            EXPECT_EQ(out[13], 0xAB) << c.text;
        }
    }
}

TEST(BridgeConfig, PasswordFileAsWindowsToolsWriteIt) {
    const struct {
        const char* name;
        std::string bytes;
        int result;  // the length, or an error
        const char* password;
    } cases[] = {
        {"plain, CRLF", "s3cret pass\r\nnext", 11, "s3cret pass"},
        {"no line end", "pw", 2, "pw"},
        {"UTF-8 mark (Notepad)", "\xEF\xBB\xBFpw\n", 2, "pw"},
        {"echo pw > file", "pw \r\n", 2, "pw"},
        {"trailing tab", "pw\t\t", 2, "pw"},
        {"inner spaces kept", " p w\n", 4, " p w"},
        {"empty", "", 0, ""},
        {"UTF-16 LE (PowerShell 5.1)", std::string("\xFF\xFEp\0w\0", 6), kPasswordUtf16, ""},
        {"UTF-16 BE", std::string("\xFE\xFF\0p\0w", 6), kPasswordUtf16, ""},
        {"too long", std::string(12, 'x'), kPasswordTooLong, ""},
    };
    for (const auto& c : cases) {
        char out[12] = "unset";
        int got = PasswordFromFile(reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                   static_cast<uint32_t>(c.bytes.size()), out, sizeof out);
        EXPECT_EQ(got, c.result) << c.name;
        if (got >= 0) {
            EXPECT_STREQ(out, c.password) << c.name;
        }
    }
}

// Every vardex-bridge command line in the README's code blocks, as a user would paste it: an
// option renamed or tightened breaks the build here before it breaks a reader's set-up.
TEST(BridgeConfig, ReadmeExamples) {
    std::ifstream readme(VARDEX_README);
    ASSERT_TRUE(readme.is_open()) << VARDEX_README;
    struct Example {
        int line;
        std::string text;
    };
    std::vector<Example> examples;
    std::string text;
    for (int number = 1; std::getline(readme, text); ++number) {
        size_t start = text.find_first_not_of(' ');
        if (start == std::string::npos || start < 4) continue;  // not in a code block
        if (text.compare(start, 2, "& ") == 0) start += 2;      // PowerShell's call operator
        size_t end = text.find(' ', start);
        std::string program = text.substr(start, end == std::string::npos ? end : end - start);
        size_t at = program.rfind("vardex-bridge");
        if (at == std::string::npos || (at != 0 && program[at - 1] != '\\')) continue;
        std::string rest = program.substr(at);
        if (rest != "vardex-bridge" && rest != "vardex-bridge-x86.exe" &&
            rest != "vardex-bridge-x64.exe") {
            continue;
        }
        examples.push_back({number, text.substr(start)});
    }
    int roles[3] = {};  // publish, deliver, install: each has its examples
    for (const Example& e : examples) {
        char storage[1024];
        const char* words[64];
        int count = SplitCommandLine(e.text.c_str(), storage, sizeof storage, words, 64);
        ASSERT_GT(count, 1) << "README.md:" << e.line;
        // As the program's entry does: reconfigure is install over the service that is there.
        if (std::string(words[1]) == "reconfigure") words[1] = "install";
        Outcome o = Parse(std::vector<const char*>(words + 1, words + count));
        EXPECT_NE(o.outcome, kParseError) << "README.md:" << e.line << ": " << e.text << "\n  "
                                          << o.message;
        if (o.outcome != kParseRun) continue;
        if (o.config.command == kCommandInstall) ++roles[2];
        ++roles[o.config.role == kRolePublish ? 0 : 1];
    }
    EXPECT_GE(examples.size(), 5u);
    EXPECT_GT(roles[0], 0);
    EXPECT_GT(roles[1], 0);
    EXPECT_GT(roles[2], 0);
}

}  // namespace
