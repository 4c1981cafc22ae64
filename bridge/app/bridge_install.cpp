// install and uninstall: the service registered with its words and files checked, or removed.
#include "bridge/app/bridge_app.h"
#include "bridge/core/service_rules.h"
#include "bridge/core/text.h"
#include "bridge/platform/win32/win32_bridge_platform.h"
#include "bridge/platform/win32/win32_service.h"

namespace {

char imagePath[4096];

// A console word on install's and uninstall's errors, with Windows' own words for them.
int ServiceError(const char* verb, const char* what, uint32_t error) {
    char text[300];
    ErrorText(error, text, sizeof text);
    const char* hint = error == 5 ? " (run it from an elevated prompt: Run as administrator)" : "";
    char step[200];
    TextBuilder out = {step, sizeof step, 0, 0};
    AppendText(&out, verb);
    AppendText(&out, ServiceName(bridgeConfig.role));
    AppendText(&out, ": cannot ");
    AppendText(&out, what);
    AppendText(&out, ": ");
    FinishText(&out);
    Say(WriteError, step, text, hint);
    return ExitCodeForServiceError(error);
}

}  // namespace

int Install(const char* const* words, int count, int takeOver) {
    // A service runs elsewhere than this prompt: each file by its full path, and read now so
    // that a wrong one fails here, not at the next boot.
    const struct {
        const char* option;
        char* field;
    } files[] = {{"--password-file", bridgeConfig.passwordFile},
                 {"--cafile", bridgeConfig.caFile},
                 {"--cert-file", bridgeConfig.certFile},
                 {"--cert-password-file", bridgeConfig.certPasswordFile}};
    const int kFiles = sizeof files / sizeof files[0];
    char fullPaths[kFiles][kMaxPath + 1];
    const char* installWords[32];
    for (int i = 0; i < count; ++i) {
        installWords[i] = words[i];
        for (int f = 0; f < kFiles && i > 0; ++f) {
            if (!TextEquals(words[i - 1], files[f].option)) continue;
            char* full = fullPaths[f];
            if (!FullPath(words[i], full, kMaxPath + 1)) Refuse("a file's full path is too long");
            if (!VisibleToService(full, DriveType(full))) {
                Refuse(full, " is on a mapped network drive, which the service (LocalSystem) "
                       "cannot see: copy the file to a local folder");
            }
            installWords[i] = full;
            for (uint32_t c = 0; c <= TextLength(full); ++c) files[f].field[c] = full[c];
        }
    }
    char message[kMessageSize];
    if (!ReadPassword(message) || !ReadCaFile(message) || !LoadCertificate(1, message)) {
        Refuse(message);
    }
    ZeroBytes(bridgeConfig.password, sizeof bridgeConfig.password);
    char program[kMaxPath + 1];
    if (!ProgramPath(program, sizeof program)) Refuse("this program's path is too long");
    if (!BuildImagePath(program, installWords, count, imagePath, sizeof imagePath)) {
        Refuse("the command line is too long for a service");
    }
    const char* what = "";
    uint32_t error = InstallService(bridgeConfig.role, imagePath, program, takeOver, &what);
    if (error != 0) return ServiceError("install ", what, error);
    Say(WriteOut, "installed the service ", ServiceName(bridgeConfig.role),
        " (automatic start, LocalSystem); start it now with: sc start ",
        ServiceName(bridgeConfig.role));
    return kExitOk;
}

int Uninstall() {
    const char* what = "";
    int stopped = 1;
    uint32_t error = UninstallService(bridgeConfig.role, &what, &stopped);
    if (error != 0) return ServiceError("uninstall ", what, error);
    Say(WriteOut, "removed the service ", ServiceName(bridgeConfig.role),
        stopped ? "" : " (it did not stop within 30 s: Windows removes it once it stops)");
    return kExitOk;
}
