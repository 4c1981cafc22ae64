// vardex-bridge's process entry: the command line, then a console run, a run under the service
// manager, or the service's install or uninstall.
//
// No C runtime: the linker starts the program here. A run waits in the kernel on the stop
// request, the socket's event and (publish) the mailslot reader's, for as long as the session
// has nothing due, and hands every event to the session until it stops.
#include "bridge/app/bridge_version.h"
#include "bridge/core/bridge_config.h"
#include "bridge/core/bridge_session.h"
#include "bridge/core/pem.h"
#include "bridge/core/service_rules.h"
#include "bridge/core/text.h"
#include "bridge/core/tls_layer.h"
#include "bridge/platform/win32/win32_bridge_platform.h"
#include "bridge/platform/win32/win32_service.h"
#include "bridge/platform/win32/win32_tls.h"
#include "platform/win32/win32_platform.h"

namespace {

BridgeConfig config;
BridgeState state;
char words[4096];
const char* list[32];
int wordCount;
char imagePath[4096];
const uint32_t kMessageSize = 400;

// The platform's objects; see win32_bridge_platform.h for why they are not globals.
struct Platform {
    Win32Network* network;
    Win32MailslotClient* slotWriter;
    SlotReader* slotReader;
    Win32Tls* tls;
    TlsLayer* tlsLayer;
};
Platform platform;
TlsBuffers tlsBuffers;

// The CA file: a few certificates, not a whole bundle.
const uint32_t kCaFileMax = 65536;
uint8_t caText[kCaFileMax];
uint8_t caDer[49152];
DerSpan caCerts[32];
int caCount;

void Say(void (*write)(const char*), const char* first, const char* second = "",
         const char* third = "", const char* fourth = "") {
    char line[600];
    TextBuilder text = {line, sizeof line, 0, 0};
    AppendText(&text, "vardex-bridge: ");
    AppendText(&text, first);
    AppendText(&text, second);
    AppendText(&text, third);
    AppendText(&text, fourth);
    FinishText(&text);
    write(line);
}

[[noreturn]] void Refuse(const char* first, const char* second = "", const char* third = "") {
    Say(WriteError, first, second, third);
    ExitWith(kExitUsage);
}

void SetLine(char* message, const char* first, const char* second = "", const char* third = "") {
    TextBuilder text = {message, kMessageSize, 0, 0};
    AppendText(&text, first);
    AppendText(&text, second);
    AppendText(&text, third);
    FinishText(&text);
}

// "cannot read the password file C:\pw.txt: Access is denied.", in Windows' own words: a
// service reads as LocalSystem what install read as the user who installed it.
void CannotRead(char* message, const char* what, const char* path) {
    char error[200];
    ErrorText(LastError(), error, sizeof error);
    TextBuilder text = {message, kMessageSize, 0, 0};
    AppendText(&text, "cannot read ");
    AppendText(&text, what);
    AppendText(&text, path);
    AppendText(&text, ": ");
    AppendText(&text, error);
    FinishText(&text);
}

// The password from where the command line said, never from the command line itself; 0 with a
// line in message when it cannot be had.
int ReadPassword(char* message) {
    int got = 0;
    if (config.passwordEnv[0] != 0) {
        got = EnvironmentValue(config.passwordEnv, config.password, sizeof config.password);
        if (got == -1) {
            SetLine(message, "the environment variable ", config.passwordEnv, " is not set");
            return 0;
        }
    } else if (config.passwordFile[0] != 0) {
        // Room for a byte-order mark, the longest password and a line end, so a longer line
        // shows as one.
        uint8_t start[kMaxPassword + 8];
        int size = ReadFileStart(config.passwordFile, start, sizeof start);
        if (size < 0) {
            CannotRead(message, "the password file ", config.passwordFile);
            return 0;
        }
        got = PasswordFromFile(start, static_cast<uint32_t>(size), config.password,
                               sizeof config.password);
        ZeroBytes(start, sizeof start);
        if (got == kPasswordUtf16) {
            SetLine(message, "the password file ", config.passwordFile, " is UTF-16; write it "
                    "as ASCII or UTF-8 (PowerShell: Set-Content -NoNewline -Encoding ASCII)");
            return 0;
        }
    } else {
        return 1;
    }
    if (got < 0) {
        SetLine(message, "the password is longer than 256 bytes");
        return 0;
    }
    config.hasPassword = 1;
    return 1;
}

// The certificates of --cafile; 0 with a line in message when they cannot be had.
int ReadCaFile(char* message) {
    if (config.caFile[0] == 0) return 1;
    int size = ReadFileStart(config.caFile, caText, kCaFileMax);
    if (size < 0) {
        CannotRead(message, "the CA file ", config.caFile);
        return 0;
    }
    if (static_cast<uint32_t>(size) == kCaFileMax) {
        SetLine(message, "the CA file ", config.caFile, " is over 64 KiB: give the broker's CA "
                "alone, not a bundle (without --cafile Windows' own roots are used)");
        return 0;
    }
    caCount = ReadPemCertificates(caText, static_cast<uint32_t>(size), caDer, sizeof caDer,
                                  caCerts, 32);
    if (caCount == kPemNoCertificate) {
        SetLine(message, "the CA file ", config.caFile, " holds no PEM certificate (BEGIN "
                "CERTIFICATE)");
    } else if (caCount == kPemBroken) {
        SetLine(message, "the CA file ", config.caFile, " has a certificate block that is not "
                "valid base64 or has no END line");
    } else if (caCount < 0) {
        SetLine(message, "the CA file ", config.caFile, " holds more than 32 certificates or "
                "48 KiB of them");
    }
    return caCount > 0;
}

// What a run needs besides the command line: the name, the password, the CA file.
int Prepare(char* message) {
    if (config.name[0] == 0) {
        char computer[kMaxName + 1];
        if (!ComputerName(computer, sizeof computer) || !IsValidName(computer)) {
            SetLine(message, "the computer name cannot be used as a name here; give --name NAME");
            return 0;
        }
        for (uint32_t i = 0; i <= TextLength(computer); ++i) config.name[i] = computer[i];
    }
    return ReadPassword(message) && ReadCaFile(message);
}

void LogError(const char* what, uint32_t error) {
    char text[300];
    ErrorText(error, text, sizeof text);
    char line[400];
    TextBuilder out = {line, sizeof line, 0, 0};
    AppendText(&out, what);
    AppendText(&out, text);
    FinishText(&out);
    bridgeConsole->WriteLine(kLogError, line);
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
    if (!network.Start()) {
        bridgeConsole->WriteLine(kLogError, "Winsock 2.2 is not available");
        return kExitFailed;
    }
    if (config.tls) {
        if (!platform.tls->Start()) {
            bridgeConsole->WriteLine(kLogError, "this Windows has no TLS 1.2 client, which "
                                     "--tls needs (Windows before 7 has none; Windows 7 needs "
                                     "its update for TLS 1.2)");
            return kExitRefused;
        }
        int bad = caCount > 0 ? platform.tls->TrustOnly(caDer, caCerts, caCount) : 0;
        if (bad != 0) {
            char line[kMessageSize];
            TextBuilder text = {line, sizeof line, 0, 0};
            AppendText(&text, "Windows cannot read certificate ");
            AppendInt(&text, bad);
            AppendText(&text, " of the CA file ");
            AppendText(&text, config.caFile);
            FinishText(&text);
            bridgeConsole->WriteLine(kLogError, line);
            return kExitUsage;
        }
        TlsStart(&tls, &network, platform.tls, &state, &tlsBuffers);
        bridgeNetwork = &tls;
    }
    uintptr_t events[3] = {stopEvent, network.Event(), 0};
    uint32_t eventCount = 2;
    if (config.role == kRolePublish) {
        uint32_t error = slotReader.Start(asService);
        if (error == kErrorAlreadyExists) {
            bridgeConsole->WriteLine(kLogError, "another program owns \\\\.\\mailslot\\VARDslot "
                                     "(stop it first: only one program can read a mailslot)");
            return kExitUsage;
        }
        if (error != 0) {
            LogError("cannot read \\\\.\\mailslot\\VARDslot: ", error);
            return kExitFailed;
        }
        events[eventCount++] = slotReader.Ready();
    }
    uint32_t now = TickCount();
    if (!BridgeStart(&state, &config, VARDEX_VERSION_TEXT, now, now ^ 0x5A5A5A5A)) {
        return state.exitCode;
    }
    bridgeConsole->WriteLine(kLogInfo, config.role == kRolePublish
                             ? "publishing the reports of \\\\.\\mailslot\\VARDslot"
                             : "delivering reports to \\\\.\\mailslot\\VARDslot");
    if (asService) ServiceRunning();

    while (state.exitCode < 0) {
        now = TickCount();
        BridgeTimer(&state, now);
        if (state.exitCode >= 0) break;
        uint32_t which = WaitForAny(events, eventCount, BridgeWaitMs(&state, now));
        now = TickCount();
        char why[160];
        if (which == kWakeStop) {
            if (asService) ServiceStopping();
            BridgeStop(&state, now, kExitOk);
        } else if (which == kWakeNetwork) {
            NetworkEvent event;
            // Over TLS the raw connection's events go to the layer, which tells the session.
            while ((event = network.Take(why, sizeof why)) == kNetData) {
                if (config.tls) {
                    tls.Received(network.Received(), network.receivedSize, now);
                } else {
                    BridgeReceived(&state, network.Received(), network.receivedSize, now);
                }
            }
            if (event == kNetConnected) {
                if (config.tls) tls.Connected(now); else BridgeConnected(&state, now);
            } else if (event == kNetConnectFailed) {
                if (config.tls) tls.ConnectFailed(now, why); else BridgeConnectFailed(&state, now, why);
            } else if (event == kNetClosed) {
                if (config.tls) tls.Closed(now, why); else BridgeConnectionLost(&state, now, why);
            }
        } else if (which == kWakeSlot && slotReader.Failure() != 0) {
            LogError("reading \\\\.\\mailslot\\VARDslot failed: ", slotReader.Failure());
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
    if (Prepare(message)) {
        code = RunSession(stopEvent, 1);
    } else {
        bridgeConsole->WriteLine(kLogError, message);
    }
    if (code == kExitFailed) {
        bridgeConsole->WriteLine(kLogWarning, "the service ends as a failure, so that Windows "
                                 "restarts it (after 5 s, then every minute)");
    }
    return code;
}

// A console word on install's and uninstall's errors, with Windows' own words for them.
int ServiceError(const char* verb, const char* what, uint32_t error) {
    char text[300];
    ErrorText(error, text, sizeof text);
    const char* hint = error == 5 ? " (run it from an elevated prompt: Run as administrator)" : "";
    char step[200];
    TextBuilder out = {step, sizeof step, 0, 0};
    AppendText(&out, verb);
    AppendText(&out, ServiceName(config.role));
    AppendText(&out, ": cannot ");
    AppendText(&out, what);
    AppendText(&out, ": ");
    FinishText(&out);
    Say(WriteError, step, text, hint);
    return ExitCodeForServiceError(error);
}

int Install() {
    // A service runs elsewhere than this prompt: the password file by its full path, read now
    // so that a wrong one fails here, not at the next boot.
    char fullPaths[2][kMaxPath + 1];
    const char* installWords[32];
    int count = wordCount - 2;  // the program's name and "install" go
    for (int i = 0; i < count; ++i) {
        installWords[i] = list[i + 2];
        int password = i > 0 && TextEquals(list[i + 1], "--password-file");
        if (password || (i > 0 && TextEquals(list[i + 1], "--cafile"))) {
            char* full = fullPaths[password ? 0 : 1];
            if (!FullPath(list[i + 2], full, kMaxPath + 1)) Refuse("a file's full path is too long");
            if (OnMappedDrive(full)) {
                Refuse(full, " is on a mapped network drive, which the service (LocalSystem) "
                       "cannot see: copy the file to a local folder");
            }
            installWords[i] = full;
            char* field = password ? config.passwordFile : config.caFile;
            for (uint32_t c = 0; c <= TextLength(full); ++c) field[c] = full[c];
        }
    }
    char message[kMessageSize];
    if (!ReadPassword(message) || !ReadCaFile(message)) Refuse(message);
    ZeroBytes(config.password, sizeof config.password);
    char program[kMaxPath + 1];
    if (!ProgramPath(program, sizeof program)) Refuse("this program's path is too long");
    if (!BuildImagePath(program, installWords, count, imagePath, sizeof imagePath)) {
        Refuse("the command line is too long for a service");
    }
    const char* what = "";
    uint32_t error = InstallService(config.role, imagePath, program, &what);
    if (error != 0) return ServiceError("install ", what, error);
    Say(WriteOut, "installed the service ", ServiceName(config.role),
        " (automatic start, LocalSystem); start it now with: sc start ",
        ServiceName(config.role));
    return kExitOk;
}

int Uninstall() {
    const char* what = "";
    int stopped = 1;
    uint32_t error = UninstallService(config.role, &what, &stopped);
    if (error != 0) return ServiceError("uninstall ", what, error);
    Say(WriteOut, "removed the service ", ServiceName(config.role),
        stopped ? "" : " (it did not stop within 30 s: Windows removes it once it stops)");
    return kExitOk;
}

int Run() {
    wordCount = SplitCommandLine(CommandLine(), words, sizeof words, list, 32);
    if (wordCount < 0) Refuse("the command line is too long");
    char message[300];
    switch (ParseBridgeArgs(wordCount - 1, list + 1, &config, message, sizeof message)) {
        case kParseHelp:
            WriteOut(kBridgeUsage);
            return kExitOk;
        case kParseVersion:
            WriteOut("vardex-bridge " VARDEX_VERSION_TEXT);
            return kExitOk;
        case kParseError:
            Refuse(message);
        case kParseRun:
            break;
    }
    switch (config.command) {
        case kCommandInstall:
            return Install();
        case kCommandUninstall:
            return Uninstall();
        case kCommandService: {
            EventLogConsole log;
            bridgeConsole = &log;
            int code = RunService(ServiceName(config.role), ServiceBodyRun);
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
    if (!Prepare(message)) Refuse(message);
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
    // cppcheck-suppress danglingLifetime ; this function never returns: ExitWith ends the process
    platform = Platform{&network, &slotWriter, &slotReader, &tls, &tlsLayer};
    int code = Run();
    StopDone();
    ExitWith(code);
}
