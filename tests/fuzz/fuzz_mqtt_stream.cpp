// Fuzzes the bridge with whatever a broker might send: the bytes, cut into chunks, reach a
// deliver session that has just been accepted. It must never crash, never keep more than its
// reader holds, and never write anything to the mailslot that is not a report.
#include "bridge/core/bridge_session.h"
#include "bridge/tests/fake_network.h"
#include "tests/fake_mailslot_client.h"

#include <stdlib.h>

static FakeNetwork* network = new FakeNetwork;
static FakeMailslotClient* mailslots = new FakeMailslotClient;
static FakeConsole* console = new FakeConsole;
static BridgeConfig* config = new BridgeConfig;
static BridgeState* state = new BridgeState;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    bridgeNetwork = network;
    bridgeMailslots = mailslots;
    bridgeConsole = console;
    network->calls.clear();
    network->sentBytes.clear();
    console->lines.clear();
    mailslots->Reset();

    // The first byte picks the role and --head, the second the chunk size.
    const char* words[] = {(data[0] & 1) ? "deliver" : "publish", "--broker", "b", "--name",
                           "PC02", "--head", "HEAD"};
    char message[200];
    int count = (data[0] & 1) && (data[0] & 2) ? 7 : 5;
    if (ParseBridgeArgs(count, words, config, message, sizeof message) != kParseRun) abort();
    uint32_t now = 1000;
    BridgeStart(state, config, "1.0.0", now, 7);
    BridgeTimer(state, now);
    BridgeConnected(state, now);
    const uint8_t accept[] = {0x20, 0x02, 0x00, 0x00};
    BridgeReceived(state, accept, sizeof accept, now);
    if (state->link != kLinkUp) abort();

    size_t chunk = data[1] % 64 + 1;
    for (size_t at = 2; at < size && state->link == kLinkUp; at += chunk) {
        size_t take = size - at < chunk ? size - at : chunk;
        BridgeReceived(state, data + at, static_cast<uint32_t>(take), now);
        now += 100;
        BridgeTimer(state, now);
    }
    for (const std::string& datagram : mailslots->Datagrams()) {
        Report report;
        ByteSpan span = {reinterpret_cast<const uint8_t*>(datagram.data()),
                         static_cast<uint32_t>(datagram.size())};
        if (!CheckReport(span, &report)) abort();
    }
    return 0;
}
