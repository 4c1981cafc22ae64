// Both roles against a fake broker connection and a fake clock: reconnect schedule, what goes
// out after a connect, keepalive, refusals, the deliver side's filters, and a clean stop.
#include "bridge/core/bridge_session.h"
#include "bridge/tests/fake_network.h"
#include "tests/fake_mailslot_client.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        bridgeNetwork = &network;
        bridgeMailslots = &mailslots;
        bridgeConsole = &console;
    }
    void Start(std::vector<const char*> words) {
        char message[200];
        ASSERT_EQ(ParseBridgeArgs(static_cast<int>(words.size()), words.data(), &config, message,
                                  sizeof message), kParseRun) << message;
        if (config.name[0] == 0) snprintf(config.name, sizeof config.name, "PC01");
        ASSERT_TRUE(BridgeStart(&state, &config, "1.2.3", now, 42));
    }
    void Advance(uint32_t ms) {
        now += ms;
        BridgeTimer(&state, now);
    }
    void Broker(const std::string& bytes) {
        BridgeReceived(&state, reinterpret_cast<const uint8_t*>(bytes.data()),
                       static_cast<uint32_t>(bytes.size()), now);
    }
    void BrokerPublish(const char* topic, const std::string& payload, int qos, int retain) {
        uint8_t out[4096];
        ByteSpan body = {reinterpret_cast<const uint8_t*>(payload.data()),
                         static_cast<uint32_t>(payload.size())};
        uint32_t size = EncodePublish(SpanOf(topic), body, qos, retain, qos ? 77 : 0, out,
                                      sizeof out);
        Broker(std::string(reinterpret_cast<char*>(out), size));
    }
    void Datagram(const std::string& bytes) {
        BridgeDatagram(&state, reinterpret_cast<const uint8_t*>(bytes.data()),
                       static_cast<uint32_t>(bytes.size()), now);
    }
    // Connects and has the broker accept.
    void Connect() {
        BridgeTimer(&state, now);
        BridgeConnected(&state, now);
        Broker(std::string("\x20\x02\x00\x00", 4));
    }

    FakeNetwork network;
    FakeMailslotClient mailslots;
    FakeConsole console;
    BridgeConfig config;
    BridgeState state;
    uint32_t now = 0xFFFFF000;  // close to the wrap, which every wait must survive
};

const std::string kReport("PC01 CPU:47 MB:38\0", 18);

TEST_F(SessionTest, ReconnectBacksOffWithJitterAndResetsOnceAccepted) {
    ASSERT_NO_FATAL_FAILURE(Start({"publish", "--broker", "broker.lan"}));
    network.refuseConnect = 1;
    std::vector<uint32_t> waits;
    BridgeTimer(&state, now);
    for (int i = 0; i < 9; ++i) {
        uint32_t wait = BridgeWaitMs(&state, now);
        waits.push_back(wait);
        Advance(wait);
    }
    const uint32_t bases[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000};
    for (int i = 0; i < 9; ++i) {
        EXPECT_LE(waits[i], bases[i]) << "wait " << i;
        EXPECT_GE(waits[i], bases[i] - bases[i] / 4) << "wait " << i;
    }
    EXPECT_NE(waits[6], waits[7]) << "no jitter";
    EXPECT_EQ(console.lines, Lines{"cannot reach the broker: no such host; reconnecting with "
                                   "backoff (1 s doubling to 60 s)"}) << "logged more than once";

    // Only a connection that held for a minute starts the backoff over.
    network.refuseConnect = 0;
    Advance(BridgeWaitMs(&state, now));
    BridgeConnected(&state, now);
    Broker(std::string("\x20\x02\x00\x00", 4));
    EXPECT_EQ(console.lines.back(), "connected to broker.lan");
    now += kStableMs - 1;
    BridgeConnectionLost(&state, now, "reset by peer");
    EXPECT_GE(BridgeWaitMs(&state, now), 45000u) << "backoff reset by a short connection";
    EXPECT_EQ(console.lines.back(), "connection to the broker lost: reset by peer; reconnecting "
                                    "with backoff (1 s doubling to 60 s)");
    Advance(BridgeWaitMs(&state, now));
    BridgeConnected(&state, now);
    Broker(std::string("\x20\x02\x00\x00", 4));
    now += kStableMs;
    BridgeConnectionLost(&state, now, "reset by peer");
    EXPECT_LE(BridgeWaitMs(&state, now), 1000u) << "backoff not reset by a connection that held";
}

TEST_F(SessionTest, ABrokerThatAcceptsAndDropsIsNotAskedOnceASecond) {
    ASSERT_NO_FATAL_FAILURE(Start({"publish", "--broker", "b", "--discovery", "off"}));
    int connections = 0;
    const uint32_t start = now;
    for (;;) {
        Advance(BridgeWaitMs(&state, now));
        if (now - start >= 30000) break;
        BridgeConnected(&state, now);
        Broker(std::string("\x20\x02\x00\x00", 4));
        ++connections;
        BridgeConnectionLost(&state, now, "the broker closed the connection");
    }
    EXPECT_LE(connections, 6);
    int hints = 0;
    for (const std::string& line : console.lines) {
        hints += line.find("another client uses the id vardex-publish-PC01") != std::string::npos;
    }
    EXPECT_EQ(hints, 1);
    // A connection that held starts the count over: the next run of quick drops is hinted too.
    BridgeConnected(&state, now);
    Broker(std::string("\x20\x02\x00\x00", 4));
    now += kStableMs;
    BridgeConnectionLost(&state, now, "gone");
    for (uint32_t i = 0; i < kQuickDropsHinted; ++i) {
        Advance(BridgeWaitMs(&state, now));
        BridgeConnected(&state, now);
        Broker(std::string("\x20\x02\x00\x00", 4));
        BridgeConnectionLost(&state, now, "the broker closed the connection");
    }
    hints = 0;
    for (const std::string& line : console.lines) {
        hints += line.find("another client uses the id vardex-publish-PC01") != std::string::npos;
    }
    EXPECT_EQ(hints, 2);
}

TEST_F(SessionTest, EachAddressGetsItsShareOfTheConnectTime) {
    const struct {
        int addresses;
        uint32_t share;
    } cases[] = {{1, 10000}, {2, 5000}, {8, kAddressMinimumMs}};
    for (const auto& c : cases) {
        SetUp();
        ASSERT_NO_FATAL_FAILURE(Start({"deliver", "--broker", "home.local"}));
        network.addresses = c.addresses;
        BridgeTimer(&state, now);
        EXPECT_EQ(BridgeWaitMs(&state, now), c.share) << c.addresses;
        network.Take();
        // The first address drops the attempt silently, the next refuses at once: every address
        // is tried before the attempt fails.
        Advance(c.share);
        for (int i = 2; i < c.addresses; ++i) BridgeConnectFailed(&state, now, "refused");
        EXPECT_EQ(state.link, c.addresses > 1 ? kLinkConnecting : kLinkWaiting) << c.addresses;
        if (c.addresses > 1) {
            EXPECT_EQ(BridgeWaitMs(&state, now), c.share) << c.addresses << ": the last's share";
        }
        std::vector<std::string> want(static_cast<size_t>(c.addresses - 1), "next");
        if (c.addresses == 1) want.push_back("close");
        EXPECT_EQ(network.Take(), want) << c.addresses;
    }
}

TEST_F(SessionTest, PublishSendsStatusDiscoveryAndOnlyTheLatestState) {
    ASSERT_NO_FATAL_FAILURE(Start({"publish", "--broker", "b:1884", "--user", "u"}));
    snprintf(config.password, sizeof config.password, "pw-in-memory");
    config.hasPassword = 1;
    // Reports while the broker is away are not queued; the latest becomes the state.
    Datagram(std::string("PC01 CPU:46 MB:38\0", 18));
    Datagram(kReport);
    BridgeTimer(&state, now);
    BridgeConnected(&state, now);
    EXPECT_EQ(network.Take(), (Lines{
        "connect b:1884",
        "CONNECT vardex-publish-PC01 keepalive 30 clean will r1 q1 vardex/PC01/status offline "
        "user u password pw-in-memory"}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(state.out), sizeof state.out).find("pw-in"),
              std::string::npos) << "the password stayed in the send buffer";
    Broker(std::string("\x20\x02\x00\x00", 4));
    Lines sent = network.Take();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], "PUBLISH q1 r1 vardex/PC01/status online");
    EXPECT_EQ(sent[1].rfind("PUBLISH q1 r1 homeassistant/sensor/vardex_PC01_cpu/config {", 0), 0u);
    EXPECT_EQ(sent[2].rfind("PUBLISH q1 r1 homeassistant/sensor/vardex_PC01_mb/config {", 0), 0u);
    EXPECT_EQ(sent[3], "SUBSCRIBE homeassistant/status q1");
    EXPECT_EQ(sent[4], "PUBLISH q1 r1 vardex/PC01/state {\"cpu\":47,\"mb\":38}");

    // While up, each report goes out byte for byte, then the state.
    Datagram(std::string(" CPU:48 MB:38\0", 14));
    EXPECT_EQ(network.Take(), (Lines{"PUBLISH q1 r0 vardex/PC01/report  CPU:48 MB:38@",
                                     "PUBLISH q1 r1 vardex/PC01/state {\"cpu\":48,\"mb\":38}"}));
    EXPECT_NE(network.sentBytes.find(std::string(" CPU:48 MB:38\0", 14)), std::string::npos);

    // Anything else is dropped, with one log line a minute at most.
    size_t logged = console.lines.size();
    Datagram(std::string(500, 'x'));
    Datagram("PC01 CPU:47 MB:38");
    EXPECT_EQ(network.Take(), Lines{});
    EXPECT_EQ(console.lines.size(), logged + 1);
    EXPECT_EQ(console.lines.back(), "dropped 1 datagram that was not a report");
    now += kDropLogIntervalMs;
    Datagram("x");
    EXPECT_EQ(console.lines.back(), "dropped 2 datagrams that were not reports");

    // Home Assistant coming back online gets the sensors again.
    BrokerPublish("homeassistant/status", "online", 0, 0);
    sent = network.Take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_NE(sent[1].find("vardex_PC01_mb/config"), std::string::npos);

    // A refused homeassistant/status is an extra lost: said once, and reports go on.
    for (int i = 0; i < 2; ++i) {
        Broker(std::string("\x90\x03\x00\x04\x80", 5));
        BridgeConnectionLost(&state, now, "gone");
        Advance(BridgeWaitMs(&state, now));
        BridgeConnected(&state, now);
        Broker(std::string("\x20\x02\x00\x00", 4));
    }
    EXPECT_EQ(state.link, kLinkUp);
    int said = 0;
    for (const std::string& line : console.lines) said += line.find("homeassistant/status") != std::string::npos;
    EXPECT_EQ(said, 1);
    sent = network.Take();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "SUBSCRIBE homeassistant/status q1"), 0)
        << "subscribed again after the refusal";
    Datagram(kReport);
    EXPECT_EQ(network.Take().size(), 2u);
}

TEST_F(SessionTest, DiscoveryConfig) {
    ASSERT_NO_FATAL_FAILURE(
        Start({"publish", "--broker", "b", "--name", "PC.1", "--prefix", "home", "--unit", "F"}));
    char json[1536];
    ASSERT_GT(FormatDiscovery(&state, 1, json, sizeof json), 0u);
    EXPECT_STREQ(json,
        "{\"unique_id\":\"vardex_PC_1_mb\",\"name\":\"Motherboard temperature\","
        "\"state_topic\":\"home/PC.1/state\",\"value_template\":\"{{ value_json.mb }}\","
        "\"device_class\":\"temperature\",\"unit_of_measurement\":\"\xC2\xB0" "F\","
        "\"state_class\":\"measurement\",\"availability_topic\":\"home/PC.1/status\","
        "\"payload_available\":\"online\",\"payload_not_available\":\"offline\","
        "\"device\":{\"identifiers\":[\"vardex_PC_1\"],\"name\":\"PC.1\","
        "\"model\":\"vardex-bridge\",\"sw_version\":\"1.2.3\"}}");
    // Home Assistant takes only letters, digits, _ and - in the topic's object id.
    EXPECT_STREQ(state.discoveryTopic[0], "homeassistant/sensor/vardex_PC_1_cpu/config");
}

TEST_F(SessionTest, RefusalsAndBrokenStreams) {
    const struct {
        const char* name;
        std::string answer;  // empty: the TLS layer refuses, with the line in log
        int exitCode;  // at a console run's first connect; -1: goes on, reconnecting
        const char* log;
        const char* certName = "";  // the client certificate's, with no --user
    } cases[] = {
        {"bad password", std::string("\x20\x02\x00\x04", 4), 3,
         "the broker refused vardex-deliver-PC01: bad user name or password (CONNACK 4)"},
        {"not authorised", std::string("\x20\x02\x00\x05", 4), 3,
         "the broker refused vardex-deliver-PC01: not authorised (CONNACK 5)"},
        {"server unavailable", std::string("\x20\x02\x00\x03", 4), -1,
         "the broker refused the connection with CONNACK 3; reconnecting with backoff"},
        {"a code outside the standard", std::string("\x20\x02\x00\x06", 4), -1,
         "the broker refused the connection with CONNACK 6; reconnecting with backoff"},
        {"protocol level", std::string("\x20\x02\x00\x01", 4), 3,
         "the broker refused vardex-deliver-PC01: it does not speak MQTT 3.1.1 (CONNACK 1)"},
        {"identifier rejected", std::string("\x20\x02\x00\x02", 4), 3,
         "the broker refused vardex-deliver-PC01: identifier rejected (CONNACK 2); give another "
         "with --client-id"},
        {"not a CONNACK first", std::string("\xD0\x00", 2), -1,
         "connection to the broker lost: the broker did not answer with CONNACK; reconnecting "
         "with backoff (1 s doubling to 60 s)"},
        {"malformed length", std::string("\x20\xFF\xFF\xFF\xFF\x01", 6), -1,
         "connection to the broker lost: malformed or oversized packet from the broker; "
         "reconnecting with backoff (1 s doubling to 60 s)"},
        {"subscription refused", std::string("\x20\x02\x00\x00\x90\x03\x00\x01\x80", 9), 3,
         "the broker refused the subscription to vardex/+/report: not authorised"},
        {"the broker's certificate", "", 3, "the broker's certificate has expired"},
        {"the client certificate", "", 3, "the broker refused the client certificate"},
        // ejabberd takes a certificate's name only as the user name too.
        {"not authorised, a certificate and no --user", std::string("\x20\x02\x00\x05", 4), 3,
         "the broker refused vardex-deliver-PC01: not authorised (CONNACK 5); the broker may "
         "want --user set to the certificate's name, PC64", "PC64"},
        {"bad user name, a certificate and no --user", std::string("\x20\x02\x00\x04", 4), 3,
         "the broker refused vardex-deliver-PC01: bad user name or password (CONNACK 4); the "
         "broker may want --user set to the certificate's name, PC64", "PC64"},
        {"identifier rejected, a certificate", std::string("\x20\x02\x00\x02", 4), 3,
         "the broker refused vardex-deliver-PC01: identifier rejected (CONNACK 2); give another "
         "with --client-id", "PC64"},
    };
    // A refusal ends a console run's first connect. A service, or a console run that has been
    // connected, asks again after 30 s less up to a quarter, and says so in the refusal's line.
    enum { kConsoleFirst, kService, kConsoleAfter };
    for (const auto& c : cases) {
        for (int mode = kConsoleFirst; mode <= kConsoleAfter; ++mode) {
            if (c.exitCode != 3 && mode != kConsoleFirst) continue;  // the same in every mode
            const std::string name = std::string(c.name) + " (mode " + std::to_string(mode) + ")";
            SetUp();
            ASSERT_NO_FATAL_FAILURE(mode == kService ? Start({"service", "deliver", "--broker", "b"})
                                                     : Start({"deliver", "--broker", "b"}));
            snprintf(config.certName, sizeof config.certName, "%s", c.certName);
            BridgeTimer(&state, now);
            if (mode == kConsoleAfter) {
                BridgeConnected(&state, now);
                Broker(std::string("\x20\x02\x00\x00", 4));
                BridgeConnectionLost(&state, now, "gone");
                Advance(BridgeWaitMs(&state, now));
            }
            const int retried = c.exitCode == 3 && mode != kConsoleFirst;
            for (int round = 0; round < 2 && state.link != kLinkClosed; ++round) {
                console.lines.clear();
                network.Take();
                if (!c.answer.empty()) BridgeConnected(&state, now);
                if (c.answer.empty()) {
                    BridgeRefused(&state, now, c.log);
                } else {
                    Broker(c.answer);
                }
                EXPECT_EQ(state.exitCode, retried ? -1 : c.exitCode) << name;
                EXPECT_EQ(network.calls.size() > 0 ? network.calls.back() : "", "close") << name;
                uint32_t wait = BridgeWaitMs(&state, now);
                std::string want = c.log;
                if (retried) {
                    EXPECT_LE(wait, kRefusalFirstMs << round) << name;
                    EXPECT_GE(wait, (kRefusalFirstMs << round) / 4 * 3) << name;
                    want += "; trying again in " + std::to_string((wait + 999) / 1000) + " s";
                }
                // Each refusal is said; anything else once until the broker accepts again.
                Lines said;
                for (const std::string& line : console.lines) {
                    if (line != "connected to b") said.push_back(line);
                }
                EXPECT_EQ(said, round == 0 || retried ? Lines{want} : Lines{}) << name;
                EXPECT_EQ(state.link, c.exitCode == 3 && !retried ? kLinkClosed : kLinkWaiting)
                    << name;
                Advance(wait);
            }
        }
    }
    // A TLS port hangs up on a plain CONNECT: the hint is for plain runs only.
    for (int tls = 0; tls <= 1; ++tls) {
        SetUp();
        ASSERT_NO_FATAL_FAILURE(tls ? Start({"deliver", "--broker", "b", "--tls"})
                                    : Start({"deliver", "--broker", "b"}));
        BridgeTimer(&state, now);
        BridgeConnected(&state, now);
        BridgeConnectionLost(&state, now, "the broker closed the connection");
        EXPECT_EQ(console.lines.back().find("give --tls") != std::string::npos, !tls) << tls;
    }
}

TEST_F(SessionTest, RefusalsAreAskedAgainMoreSlowlyUntilAccepted) {
    ASSERT_NO_FATAL_FAILURE(Start({"service", "publish", "--broker", "b", "--discovery", "off"}));
    const std::string refused("\x20\x02\x00\x05", 4);
    const uint32_t bases[] = {30000, 60000, 120000, 240000, 480000, 600000, 600000};
    std::vector<uint32_t> waits;
    BridgeTimer(&state, now);
    for (uint32_t base : bases) {
        BridgeConnected(&state, now);
        Broker(refused);
        uint32_t wait = BridgeWaitMs(&state, now);
        EXPECT_LE(wait, base);
        EXPECT_GE(wait, base / 4 * 3);
        waits.push_back(wait);
        Advance(wait);
    }
    EXPECT_NE(waits[5], waits[6]) << "no jitter";
    EXPECT_NE(console.lines[5].find("; trying again in 8 min"), std::string::npos)
        << console.lines[5];
    // Unreachable between refusals: the ordinary backoff, untouched by the refusals.
    BridgeConnectFailed(&state, now, "refused");
    EXPECT_LE(BridgeWaitMs(&state, now), kBackoffFirstMs);
    EXPECT_EQ(console.lines.back(), "cannot reach the broker: refused; reconnecting with "
                                    "backoff (1 s doubling to 60 s)");
    Advance(BridgeWaitMs(&state, now));
    BridgeConnected(&state, now);
    Broker(std::string("\x20\x02\x00\x00", 4));
    EXPECT_EQ(console.lines.back(), "connected to b");
    EXPECT_EQ(state.exitCode, -1);
    // Once an accepted connection ended, the refusals' wait starts over.
    BridgeConnectionLost(&state, now, "gone");
    Advance(BridgeWaitMs(&state, now));
    BridgeConnected(&state, now);
    Broker(refused);
    EXPECT_LE(BridgeWaitMs(&state, now), kRefusalFirstMs);
}

TEST_F(SessionTest, KeepaliveFindsABrokerThatStoppedAnswering) {
    ASSERT_NO_FATAL_FAILURE(
        Start({"publish", "--broker", "b", "--keepalive", "10", "--discovery", "off"}));
    Connect();
    network.Take();
    EXPECT_EQ(BridgeWaitMs(&state, now), 10000u);
    Advance(10000);
    EXPECT_EQ(network.Take(), Lines{"PINGREQ"});
    Advance(5000);
    Broker(std::string("\xD0\x00", 2));  // answered: stays up
    // Reports keep going out, but the broker stays silent: a ping goes out all the same, ten
    // seconds after the broker was last heard.
    for (int i = 0; i < 4; ++i) {
        Advance(2000);
        Datagram(kReport);
    }
    network.Take();
    Advance(2000);
    EXPECT_EQ(network.Take(), Lines{"PINGREQ"});
    Advance(9999);
    EXPECT_EQ(state.link, kLinkUp);
    Advance(1);
    EXPECT_EQ(network.Take(), Lines{"close"});
    EXPECT_EQ(state.link, kLinkWaiting);
    // Reconnecting sends the latest state again, and no report.
    Advance(BridgeWaitMs(&state, now));
    BridgeConnected(&state, now);
    Broker(std::string("\x20\x02\x00\x00", 4));
    EXPECT_EQ(network.Take().back(), "PUBLISH q1 r1 vardex/PC01/state {\"cpu\":47,\"mb\":38}");
}

TEST_F(SessionTest, DeliverWritesOnlyFreshReportsOfOthers) {
    ASSERT_NO_FATAL_FAILURE(Start({"deliver", "--broker", "b", "--name", "PC02", "--head", "PC02"}));
    Connect();
    EXPECT_EQ(network.Take().back(), "SUBSCRIBE vardex/+/report q1");
    const struct {
        const char* name;
        const char* topic;
        std::string payload;
        int retain;
        const char* written;  // what reaches the mailslot; nullptr for nothing
    } cases[] = {
        {"a report, headed", "vardex/PC01/report", kReport, 0, "PC02 CPU:47 MB:38"},
        {"no word, headed", "vardex/PC03/report", std::string(" CPU:1 MB:2\0", 12), 0,
         "PC02 CPU:1 MB:2"},
        {"retained", "vardex/PC01/report", kReport, 1, nullptr},
        {"its own name", "vardex/PC02/report", kReport, 0, nullptr},
        {"oversized", "vardex/PC01/report", std::string(2000, 'x'), 0, nullptr},
        {"101 bytes", "vardex/PC01/report", std::string(89, 'P') + " CPU:1 MB:2" + '\0', 0,
         nullptr},
        {"not a report", "vardex/PC01/report", "hello", 0, nullptr},
        {"too long once headed", "vardex/PC01/report",
         " CPU:" + std::string(85, '0') + "1 MB:1" + '\0', 0, nullptr},
        {"another topic", "vardex/PC01/state", kReport, 0, nullptr},
        {"a deeper topic", "vardex/a/b/report", kReport, 0, nullptr},
        {"a topic longer than the reader keeps", nullptr, kReport, 1, nullptr},
    };
    const std::string longTopic = "vardex/" + std::string(600, 'x') + "/report";
    for (const auto& c : cases) {
        mailslots.Reset();
        for (int qos = 0; qos <= 1; ++qos) {
            BrokerPublish(c.topic ? c.topic : longTopic.c_str(), c.payload, qos, c.retain);
            Lines sent = network.Take();
            EXPECT_EQ(sent, qos ? Lines{"PUBACK 77"} : Lines{}) << c.name;
        }
        std::vector<std::string> want;
        if (c.written) want = {std::string(c.written) + '\0', std::string(c.written) + '\0'};
        EXPECT_EQ(mailslots.Datagrams(), want) << c.name;
        EXPECT_EQ(state.link, kLinkUp) << c.name;
    }
    // Without --head the report goes on byte for byte.
    SetUp();
    ASSERT_NO_FATAL_FAILURE(Start({"deliver", "--broker", "b", "--name", "PC02"}));
    Connect();
    mailslots.Reset();
    BrokerPublish("vardex/PC01/report", kReport, 1, 0);
    EXPECT_EQ(mailslots.Datagrams(), std::vector<std::string>{kReport});
    EXPECT_EQ(mailslots.Call(0).path, std::string("\\\\.\\mailslot\\VARDslot"));
}

TEST_F(SessionTest, CleanStop) {
    ASSERT_NO_FATAL_FAILURE(Start({"publish", "--broker", "b", "--discovery", "off"}));
    Connect();
    network.Take();
    BridgeStop(&state, now, 0);
    EXPECT_EQ(network.Take(), (Lines{"PUBLISH q1 r1 vardex/PC01/status offline", "DISCONNECT",
                                     "shutdown", "close"}));
    EXPECT_EQ(state.exitCode, 0);
    EXPECT_EQ(BridgeWaitMs(&state, now), kWaitForever);
}

}  // namespace
