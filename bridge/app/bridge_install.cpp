// install and uninstall: the service registered with its words and files checked, or removed.
#include "bridge/app/bridge_app.h"
#include "bridge/core/bridge_options.h"
#include "bridge/core/service_rules.h"
#include "bridge/core/text.h"
#include "bridge/platform/win32/win32_bridge_platform.h"
#include "bridge/platform/win32/win32_client_certificate.h"
#include "bridge/platform/win32/win32_service.h"

namespace {

char imagePath[4096];
char thumbprint[41];  // --cert's value in the service's words

// A console word on install's and uninstall's errors, with Windows' own words for them.
int ServiceError(const char* verb, const char* what, uint32_t error) {
    char text[300];
    ErrorText(error, text, sizeof text);
    const char* hint = error == 5 ? " (run it from an elevated prompt: Run as administrator)" : "";
    char step[200];
    TextBuilder out = {step, sizeof step, 0, 0};
    AppendFormat(&out, "%s%s: cannot %s: ", verb, ServiceName(bridgeConfig.role), what);
    FinishText(&out);
    Say(WriteError, step, text, hint);
    return ExitCodeForServiceError(error);
}

}  // namespace

int Install(const char* const* words, int count, int takeOver) {
    // A service runs elsewhere than this prompt: each file by its full path, and read now so
    // that a wrong one fails here, not at the next boot.
    const char* installWords[32];
    for (int i = 0; i < count; ++i) installWords[i] = words[i];
    for (int i = 1; i < count; ++i) {
        const OptionRow* row = FindOption(words[i]);  // the parser took every word
        if (row == nullptr || row->check == kCheckFlag) continue;
        ++i;
        if (row->save != kSaveFullPath) continue;
        char* full = reinterpret_cast<char*>(&bridgeConfig) + row->field;
        if (!FullPath(words[i], full, row->limit + 1u)) Refuse("a file's full path is too long");
        const char* unseen = nullptr;
        switch (VisibleToService(full, DriveType(full), FileAttributes(full))) {
            case kFileSeen:
                break;
            case kFileOnMappedDrive:
                unseen = " is on a mapped network drive, which the service (LocalSystem) cannot "
                         "see";
                break;
            case kFileOnShare:
                unseen = " is on a network share, which the service reaches as this computer's "
                         "account, not as you";
                break;
            case kFileOnlineOnly:
                unseen = " is kept online only (a OneDrive file not on this PC), and the service "
                         "cannot fetch it";
                break;
        }
        if (unseen != nullptr) Refuse(full, unseen, ": copy the file to a local folder");
        installWords[i] = full;
    }
    char message[kMessageSize];
    if (!ReadPassword(message) || !ReadCaFile(message)) Refuse(message);
    ZeroBytes(bridgeConfig.password, sizeof bridgeConfig.password);
    char program[kMaxPath + 1];
    if (!ProgramPath(program, sizeof program)) Refuse("this program's path is too long");
    // A PFX goes into the machine's store once, and the service finds it there by thumbprint:
    // its command line keeps no PFX and no PFX password, and both files may be deleted.
    const char* serviceWords[32];
    const char* const* given = installWords;
    if (bridgeConfig.certFile[0] != 0) {
        if (!LoadCertificate(1, message, thumbprint)) Refuse(message);
        if (message[0] != 0) Say(WriteError, message);
        count = WordsWithThumbprint(installWords, count, thumbprint, serviceWords);
        given = serviceWords;
    } else if (!LoadCertificate(1, message)) {
        Refuse(message);
    }
    if (!BuildImagePath(program, given, count, imagePath, sizeof imagePath)) {
        Refuse("the command line is too long for a service");
    }
    const char* what = "";
    uint32_t error = InstallService(bridgeConfig.role, imagePath, program, takeOver, &what);
    // A certificate this install put in the store goes again when the service is not installed.
    if (error != 0) return ServiceError("install ", what, error);
    KeepStoredCertificate();
    if (bridgeConfig.certFile[0] != 0) {
        Say(WriteOut, "the client certificate is in the local machine's My store, where the "
            "service finds it by its thumbprint ", thumbprint, ": the PFX and its password file "
            "may be deleted");
    }
    Say(WriteOut, "installed the service ", ServiceName(bridgeConfig.role),
        " (automatic start, LocalSystem); start it now with: sc.exe start ",
        ServiceName(bridgeConfig.role));
    return kExitOk;
}

int Uninstall() {
    const char* what = "";
    int stopped = 1;
    uint32_t error = UninstallService(bridgeConfig.role, &what, &stopped);
    if (error != 0) return ServiceError("uninstall ", what, error);
    Say(WriteOut, "removed the service ", ServiceName(bridgeConfig.role),
        stopped ? "" : " (it did not stop within 30 s: Windows removes it once it stops)",
        "; a client certificate that install put in the local machine's My store stays there "
        "(certlm.msc removes it)");
    return kExitOk;
}
