// vardex-bridge's process entry: the command line, the password and the name, then one wait
// loop that hands every event to the session until it stops.
//
// No C runtime: the linker starts the program here. The loop waits in the kernel on the stop
// request, the socket's event and (publish) the mailslot reader's, for as long as the session
// has nothing due.
#include "bridge/app/bridge_version.h"
#include "bridge/core/bridge_config.h"
#include "bridge/core/bridge_session.h"
#include "bridge/core/text.h"
#include "bridge/platform/win32/win32_bridge_platform.h"
#include "platform/win32/win32_platform.h"

namespace {

BridgeConfig config;
BridgeState state;
char words[4096];

[[noreturn]] void Refuse(const char* first, const char* second = "", const char* third = "") {
    char line[400];
    TextBuilder text = {line, sizeof line, 0, 0};
    AppendText(&text, "vardex-bridge: ");
    AppendText(&text, first);
    AppendText(&text, second);
    AppendText(&text, third);
    FinishText(&text);
    WriteError(line);
    ExitWith(2);
}

// The password from where the command line said, never from the command line itself.
void ReadPassword() {
    int got = 0;
    if (config.passwordEnv[0] != 0) {
        got = EnvironmentValue(config.passwordEnv, config.password, sizeof config.password);
        if (got == -1) Refuse("the environment variable ", config.passwordEnv, " is not set");
    } else if (config.passwordFile[0] != 0) {
        got = FirstLineOf(config.passwordFile, config.password, sizeof config.password);
        if (got == -1) Refuse("cannot read the password file ", config.passwordFile);
    } else {
        return;
    }
    if (got == -2) Refuse("the password is longer than 256 bytes");
    config.hasPassword = 1;
}

int Run(Win32Network& network, Win32Console& console, Win32MailslotClient& slotWriter,
        SlotReader& slotReader) {
    const char* list[32];
    int count = SplitCommandLine(CommandLine(), words, sizeof words, list, 32);
    if (count < 0) Refuse("the command line is too long");
    char message[300];
    switch (ParseBridgeArgs(count - 1, list + 1, &config, message, sizeof message)) {
        case kParseHelp:
            WriteOut(kBridgeUsage);
            return 0;
        case kParseVersion:
            WriteOut("vardex-bridge " VARDEX_VERSION_TEXT);
            return 0;
        case kParseError:
            Refuse(message);
        case kParseRun:
            break;
    }
    if (config.name[0] == 0) {
        char computer[kMaxName + 1];
        if (!ComputerName(computer, sizeof computer) || !IsValidName(computer)) {
            Refuse("the computer name cannot be used as a name here; give --name NAME");
        }
        for (uint32_t i = 0; i <= TextLength(computer); ++i) config.name[i] = computer[i];
    }
    ReadPassword();

    bridgeNetwork = &network;
    bridgeMailslots = &slotWriter;
    bridgeConsole = &console;
    if (!network.Start()) Refuse("Winsock 2.2 is not available");
    uintptr_t events[3] = {WatchStopRequests(), network.Event(), 0};
    uint32_t eventCount = 2;
    if (config.role == kRolePublish) {
        if (!slotReader.Start()) {
            Refuse("another program owns \\\\.\\mailslot\\VARDslot (stop it first: only one "
                   "program can read a mailslot)");
        }
        events[eventCount++] = slotReader.Ready();
    }
    uint32_t now = TickCount();
    if (!BridgeStart(&state, &config, VARDEX_VERSION_TEXT, now, now ^ 0x5A5A5A5A)) return 2;
    console.WriteLine(config.role == kRolePublish ? "publishing the reports of \\\\.\\mailslot\\VARDslot"
                                                  : "delivering reports to \\\\.\\mailslot\\VARDslot");

    while (state.exitCode < 0) {
        now = TickCount();
        BridgeTimer(&state, now);
        if (state.exitCode >= 0) break;
        uint32_t which = WaitForAny(events, eventCount, BridgeWaitMs(&state, now));
        now = TickCount();
        char why[160];
        if (which == 0) {
            BridgeStop(&state, now);
        } else if (which == 1) {
            NetworkEvent event;
            while ((event = network.Take(why, sizeof why)) == kNetData) {
                BridgeReceived(&state, network.Received(), network.receivedSize, now);
            }
            if (event == kNetConnected) BridgeConnected(&state, now);
            if (event == kNetConnectFailed) BridgeConnectFailed(&state, now, why);
            if (event == kNetClosed) BridgeConnectionLost(&state, now, why);
        } else if (which == 2) {
            BridgeDatagram(&state, slotReader.Data(), slotReader.Size(), now);
            slotReader.Taken();
        }
    }
    return state.exitCode;
}

}  // namespace

// 32-bit Windows starts a process with its stack aligned to 4 bytes only.
#if defined(__i386__)
#define BRIDGE_ENTRY_ALIGN __attribute__((force_align_arg_pointer))
#else
#define BRIDGE_ENTRY_ALIGN
#endif

extern "C" BRIDGE_ENTRY_ALIGN void BridgeEntry() {
    Win32Network network;
    Win32Console console;
    Win32MailslotClient slotWriter;
    SlotReader slotReader;
    int code = Run(network, console, slotWriter, slotReader);
    StopDone();
    ExitWith(code);
}
