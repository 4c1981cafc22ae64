// vardex-bridge's process entry: the command line, then a console run, a run under the service
// manager, or the service's install or uninstall.
//
// No C runtime: the linker starts the program here. A run waits in the kernel on the stop
// request, the socket's event and (publish) the mailslot reader's, for as long as the session
// has nothing due, and hands every event to the session (through TLS, with --tls) until it
// stops.
#include "bridge/app/bridge_app.h"
#include "bridge/app/bridge_version.h"
#include "bridge/core/bridge_config.h"
#include "bridge/core/bridge_session.h"
#include "bridge/core/client_certificate.h"
#include "bridge/core/pem.h"
#include "bridge/core/service_rules.h"
#include "bridge/core/text.h"
#include "bridge/core/tls_layer.h"
#include "bridge/platform/win32/win32_bridge_platform.h"
#include "bridge/platform/win32/win32_client_certificate.h"
#include "bridge/platform/win32/win32_service.h"
#include "bridge/platform/win32/win32_tls.h"
#include "platform/win32/win32_platform.h"

BridgeConfig bridgeConfig;

void Say(void (*write)(const char*), const char* first, const char* second, const char* third,
         const char* fourth) {
    char line[600];
    TextBuilder text = {line, sizeof line, 0, 0};
    AppendFormat(&text, "vardex-bridge: %s%s%s%s", first, second, third, fourth);
    FinishText(&text);
    write(line);
}

void Refuse(const char* first, const char* second, const char* third) {
    Say(WriteError, first, second, third);
    ReleaseClientCertificate();
    ExitWith(kExitUsage);
}

namespace {

BridgeState state;
char words[4096];
const char* list[32];
int wordCount;

// The platform's objects; see win32_bridge_platform.h for why they are not globals.
struct Platform {
    Win32Network* network;
    Win32MailslotClient* slotWriter;
    SlotReader* slotReader;
    Win32Tls* tls;
    TlsLayer* tlsLayer;
    SessionEvents* plain;
};
Platform platform;
TlsBuffers tlsBuffers;

// A line on the mailslot: before, its name, after, then Windows' words for error unless 0. The
// name is said in one place only.
void LogSlot(LogLevel level, const char* before, const char* after, uint32_t error) {
    char text[300];
    text[0] = 0;
    if (error != 0) ErrorText(error, text, sizeof text);
    char line[400];
    TextBuilder out = {line, sizeof line, 0, 0};
    AppendFormat(&out, "%s%s%s%s", before, kLocalSlot, after, text);
    FinishText(&out);
    bridgeConsole->WriteLine(level, line);
}

// A client certificate close to its end gets a warning at start and once a day: a service
// running for months would otherwise just stop being let in.
void WarnOfExpiry() {
    int days = ExpiryWarningDays(ClientCertificateSecondsToExpiry());
    if (days < 0) return;
    char line[200];
    TextBuilder text = {line, sizeof line, 0, 0};
    AppendText(&text, "the client certificate expires ");
    if (days == 0) {
        AppendText(&text, "within a day");
    } else {
        AppendFormat(&text, "in %d%s", days, days == 1 ? " day" : " days");
    }
    AppendText(&text, ": renew it, or the broker will refuse the bridge");
    FinishText(&text);
    bridgeConsole->WriteLine(kLogWarning, line);
}

// Names the certificate presented: at the start and at each new choice of --cert-issuer.
void SayCertificate() {
    if (ClientCertificate() == nullptr) return;
    char line[kMessageSize];
    ClientCertificateSummary(line, sizeof line);
    bridgeConsole->WriteLine(kLogInfo, line);
}

int runAsService;

// --cert-issuer: the newest certificate of the CA, chosen again before each handshake; new
// credentials when the choice changed, so a renewed certificate is used without a restart.
int ChooseCertificate(char* why, uint32_t whySize) {
    const void* before = ClientCertificate();
    int32_t seconds = 0;
    if (!LoadClientCertificate(&bridgeConfig, runAsService, nullptr, why, whySize, &seconds)) {
        return 0;
    }
    if (ClientCertificate() == before) return 1;
    uint32_t without = 0;
    uint32_t status = platform.tls->Start(ClientCertificate(), &without);
    if (status != 0) {
        char windowsWords[300];
        ErrorText(status, windowsWords, sizeof windowsWords);
        CredentialsFailed(why, whySize, status, windowsWords, 1, without);
        ReleaseClientCertificate();  // so that the next connect acquires them again
        return 0;
    }
    ClientCertificateName(bridgeConfig.certName, sizeof bridgeConfig.certName);
    SayCertificate();
    return 1;
}

// The wait's results, by the place of each event in the list.
const uint32_t kWakeStop = 0;
const uint32_t kWakeNetwork = 1;
const uint32_t kWakeSlot = 2;

// One run of the session until it stops; returns its exit code.
int RunSession(uintptr_t stopEvent, int asService) {
    Win32Network& network = *platform.network;
    SlotReader& slotReader = *platform.slotReader;
    TlsLayer& tls = *platform.tlsLayer;
    bridgeNetwork = &network;
    bridgeMailslots = platform.slotWriter;
    platform.plain->session = &state;
    // Where the raw connection's events go: the session, or TLS in front of it.
    LinkEvents* link = platform.plain;
    if (!network.Start()) {
        bridgeConsole->WriteLine(kLogError, "Winsock 2.2 is not available");
        return kExitFailed;
    }
    if (bridgeConfig.tls) {
        uint32_t without = 0;
        uint32_t status = platform.tls->Start(ClientCertificate(), &without);
        if (status != 0) {
            char windowsWords[300];
            ErrorText(status, windowsWords, sizeof windowsWords);
            char line[kMessageSize];
            int certificate = CredentialsFailed(line, sizeof line, status, windowsWords,
                                                ClientCertificate() != nullptr, without);
            bridgeConsole->WriteLine(kLogError, line);
            // A certificate this PC cannot use is like a file that cannot be used.
            return certificate ? kExitUsage : kExitRefused;
        }
        int bad = caFile.count > 0
                      ? platform.tls->TrustOnly(caFile.der, caFile.certs, caFile.count)
                      : 0;
        if (bad != 0) {
            char line[kMessageSize];
            TextBuilder text = {line, sizeof line, 0, 0};
            AppendFormat(&text, "Windows cannot read certificate %d of the CA file %s",
                         bad, bridgeConfig.caFile);
            FinishText(&text);
            bridgeConsole->WriteLine(kLogError, line);
            return kExitUsage;
        }
        TlsStart(&tls, &network, platform.tls, &state, &tlsBuffers);
        tls.presentsCertificate = ClientCertificate() != nullptr;
        if (bridgeConfig.certIssuer[0] != 0) {
            runAsService = asService;
            tls.chooseCertificate = ChooseCertificate;
            SayCertificate();
        }
        bridgeNetwork = &tls;
        link = &tls;
    }
    uintptr_t events[3] = {stopEvent, network.Event(), 0};
    uint32_t eventCount = 2;
    if (bridgeConfig.role == kRolePublish) {
        uint32_t error = slotReader.Start(asService);
        if (error == kErrorAlreadyExists) {
            LogSlot(kLogError, "another program owns ",
                    " (stop it first: only one program can read a mailslot)", 0);
            return kExitUsage;
        }
        if (error != 0) {
            LogSlot(kLogError, "cannot read ", ": ", error);
            return kExitFailed;
        }
        events[eventCount++] = slotReader.Ready();
    }
    uint32_t now = TickCount();
    if (!BridgeStart(&state, &bridgeConfig, VARDEX_VERSION_TEXT, now, now ^ 0x5A5A5A5A)) {
        return state.exitCode;
    }
    LogSlot(kLogInfo, bridgeConfig.role == kRolePublish ? "publishing the reports of "
                                                        : "delivering reports to ",
            "", 0);
    if (asService) ServiceRunning();
    int watchExpiry = ClientCertificate() != nullptr || bridgeConfig.certIssuer[0] != 0;
    uint32_t warnedAt = now;
    if (watchExpiry) WarnOfExpiry();

    while (state.exitCode < 0) {
        now = TickCount();
        BridgeTimer(&state, now);
        if (state.exitCode >= 0) break;
        uint32_t wait = BridgeWaitMs(&state, now);
        if (watchExpiry) {
            if (now - warnedAt >= kExpiryWarningEveryMs) {
                WarnOfExpiry();
                warnedAt = now;
            }
            uint32_t left = kExpiryWarningEveryMs - (now - warnedAt);
            if (left < wait) wait = left;
        }
        uint32_t which = WaitForAny(events, eventCount, wait);
        now = TickCount();
        char why[160];
        if (which == kWakeStop) {
            if (asService) ServiceStopping();
            BridgeStop(&state, now, kExitOk);
        } else if (which == kWakeNetwork) {
            NetworkEvent event;
            while ((event = network.Take(why, sizeof why)) == kNetData) {
                link->Received(network.Received(), network.receivedSize, now);
            }
            if (event == kNetConnected) {
                link->Connected(now);
            } else if (event == kNetConnectFailed) {
                link->ConnectFailed(now, why);
            } else if (event == kNetClosed) {
                link->Closed(now, why);
            }
        } else if (which == kWakeSlot && slotReader.Failure() != 0) {
            LogSlot(kLogError, "reading ", " failed: ", slotReader.Failure());
            if (asService) ServiceStopping();
            BridgeStop(&state, now, kExitFailed);
        } else if (which == kWakeSlot) {
            BridgeDatagram(&state, slotReader.Data(), slotReader.Size(), now);
            slotReader.Taken();
        }
    }
    return state.exitCode;
}

// A start-up failure ends at once: the manager hears STOPPED with the code within its wait
// hint, not a time-out a minute later.
int ServiceBodyRun(uintptr_t stopEvent) {
    char message[kMessageSize];
    int code = kExitUsage;
    if (Prepare(message, 1)) {
        code = RunSession(stopEvent, 1);
    } else {
        bridgeConsole->WriteLine(kLogError, message);
    }
    if (code == kExitFailed) {
        bridgeConsole->WriteLine(kLogWarning, "the service ends as a failure, so that Windows "
                                 "restarts it (after 5 s, then every minute)");
    }
    // Before STOPPED is told: the process may end at any moment after it.
    ReleaseClientCertificate();
    return code;
}

int Run() {
    wordCount = SplitCommandLine(CommandLine(), words, sizeof words, list, 32);
    if (wordCount < 0) Refuse("the command line is too long");
    // reconfigure is install that takes over the role's service when it is there already (the
    // installer package runs it at every install, repair and upgrade).
    int takeOver = wordCount > 1 && TextEquals(list[1], "reconfigure");
    if (takeOver) list[1] = "install";
    char message[300];
    switch (ParseBridgeArgs(wordCount - 1, list + 1, &bridgeConfig, message, sizeof message)) {
        case kParseHelp: {
            char usage[2048];
            WriteOut(BridgeUsage(usage, sizeof usage) != 0 ? usage : "");
            return kExitOk;
        }
        case kParseVersion:
            WriteOut("vardex-bridge " VARDEX_VERSION_TEXT);
            return kExitOk;
        case kParseError:
            Refuse(message);
        case kParseRun:
            break;
    }
    switch (bridgeConfig.command) {
        case kCommandInstall:
            return Install(list + 2, wordCount - 2, takeOver);
        case kCommandUninstall:
            return Uninstall();
        case kCommandService: {
            EventLogConsole log;
            bridgeConsole = &log;
            int code = RunService(ServiceName(bridgeConfig.role), ServiceBodyRun);
            if (code < 0) {
                Refuse("the word service is for the service manager; to run in this console, "
                       "leave it out");
            }
            return code;
        }
        case kCommandRun:
            break;
    }
    Win32Console console;
    bridgeConsole = &console;
    if (!Prepare(message, 0)) Refuse(message);
    return RunSession(WatchStopRequests(), 0);
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
    Win32MailslotClient slotWriter;
    SlotReader slotReader;
    Win32Tls tls;
    TlsLayer tlsLayer;
    SessionEvents plain;
    // cppcheck-suppress danglingLifetime ; this function never returns: ExitWith ends the process
    platform = Platform{&network, &slotWriter, &slotReader, &tls, &tlsLayer, &plain};
    int code = Run();
    // A PFX's key goes before a closing console's handler lets Windows end the process.
    ReleaseClientCertificate();
    StopDone();
    ExitWith(code);
}
