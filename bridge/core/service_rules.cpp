// The service's decisions: names, the quoted image path, controls, status and exit codes.
#include "bridge/core/service_rules.h"

#include "bridge/core/bridge_config.h"
#include "bridge/core/bridge_options.h"
#include "bridge/core/text.h"

const char kEventSource[] = "vardex-bridge";
const char kServiceDescription[] =
    "Carries the vardex relay's temperature reports between this PC's mailslot VARDslot and an "
    "MQTT broker.";

BRIDGE_NOINLINE const char* ServiceName(int role) {
    return role == kRolePublish ? "vardex-bridge-publish" : "vardex-bridge-deliver";
}

const char* ServiceDisplayName(int role) {
    return role == kRolePublish ? "vardex-bridge (publish)" : "vardex-bridge (deliver)";
}

namespace {

BRIDGE_NOINLINE void AppendChar(TextBuilder* text, char c) {
    AppendBytes(text, reinterpret_cast<const uint8_t*>(&c), 1);
}

void AppendBackslashes(TextBuilder* text, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) AppendChar(text, '\\');
}

}  // namespace

void AppendQuotedWord(TextBuilder* text, const char* word) {
    int plain = *word != 0;
    for (const char* p = word; *p != 0; ++p) {
        if (*p == ' ' || *p == '\t' || *p == '"') plain = 0;
    }
    if (plain) {
        AppendText(text, word);
        return;
    }
    AppendChar(text, '"');
    uint32_t slashes = 0;
    for (const char* p = word; *p != 0; ++p) {
        if (*p == '\\') {
            ++slashes;
            continue;
        }
        if (*p == '"') {
            AppendBackslashes(text, slashes * 2 + 1);
        } else {
            AppendBackslashes(text, slashes);
        }
        slashes = 0;
        AppendChar(text, *p);
    }
    AppendBackslashes(text, slashes * 2);  // the closing quote follows them
    AppendChar(text, '"');
}

uint32_t BuildImagePath(const char* program, const char* const* words, int count, char* out,
                        uint32_t capacity) {
    TextBuilder text = {out, capacity, 0, 0};
    // Always quoted: Windows would otherwise try "C:\Program.exe" for C:\Program Files\...
    AppendChar(&text, '"');
    AppendFormat(&text, "%s\" service", program);
    for (int i = 0; i < count; ++i) {
        AppendChar(&text, ' ');
        AppendQuotedWord(&text, words[i]);
    }
    return FinishText(&text);
}

int WordsWithThumbprint(const char* const* words, int count, const char* thumbprint,
                        const char** out) {
    int written = 0;
    int placed = 0;
    for (int i = 0; i < count; ++i) {
        // Options and their values in pairs, by the table, so that a value spelled like an
        // option (--name --cert-file) stays a value.
        const OptionRow* row = i > 0 ? FindOption(words[i]) : nullptr;
        int valued = row != nullptr && row->check != kCheckFlag && i + 1 < count;
        int file = valued && (TextEquals(words[i], "--cert-file") ||
                              TextEquals(words[i], "--cert-password-file"));
        if (file && !placed) {
            out[written++] = "--cert";
            out[written++] = thumbprint;
            placed = 1;
        }
        if (!file) out[written++] = words[i];
        if (valued) {
            ++i;
            if (!file) out[written++] = words[i];
        }
    }
    return written;
}

int ServiceEnter(ServiceTracker* t, ServicePhase phase, ServiceReport* r) {
    if (t->phase == kPhaseStopped) {
        r->state = 0;
        return 0;
    }
    // Pending states count up from 1 within each state, and only when the state changes: the
    // one hint covers each of them whole.
    t->checkPoint = phase == kPhaseStarting || phase == kPhaseStopping
                        ? (phase == t->phase ? t->checkPoint + 1 : 1)
                        : 0;
    t->phase = phase;
    *r = ServiceReport{kServiceStopped, 0, 0, 0, t->checkPoint, 0};
    switch (phase) {
        case kPhaseStarting:
            r->state = kServiceStartPending;
            r->waitHintMs = kStartHintMs;
            break;
        case kPhaseRunning:
            r->state = kServiceRunning;
            r->controlsAccepted = kAcceptStop | kAcceptShutdown;
            break;
        case kPhaseStopping:
            r->state = kServiceStopPending;
            r->waitHintMs = kGoodbyeWorstMs;
            break;
        case kPhaseStopped:
            break;
    }
    return 1;
}

ControlAction ActionForControl(uint32_t control) {
    if (control == kControlStop || control == kControlShutdown || control == kControlPreshutdown) {
        return kActionStop;
    }
    return control == kControlInterrogate ? kActionReport : kActionNotImplemented;
}

ControlAction ServiceControl(ServiceTracker* t, uint32_t control, ServiceReport* r) {
    ControlAction action = ActionForControl(control);
    r->state = 0;
    if (action == kActionStop) {
        t->stopAsked = 1;
        if (t->phase == kPhaseRunning) ServiceEnter(t, kPhaseStopping, r);
    }
    return action;
}

ServiceEnd ServiceFinish(ServiceTracker* t, int code, ServiceReport* r) {
    // A stop someone asked for is a clean end, whatever the bridge was doing meanwhile.
    if (t->stopAsked) code = 0;
    r->state = 0;
    if (code == kExitFailed) return kEndRestart;
    ServiceEnter(t, kPhaseStopped, r);
    if (code != 0) {
        r->win32ExitCode = kErrorServiceSpecific;
        r->serviceExitCode = static_cast<uint32_t>(code);
    }
    return kEndStopped;
}

FileSight VisibleToService(const char* fullPath, uint32_t driveType, uint32_t attributes) {
    const uint32_t kDriveRemote = 4;
    const uint32_t kInvalidAttributes = 0xFFFFFFFF;
    // FILE_ATTRIBUTE_OFFLINE, _RECALL_ON_OPEN and _RECALL_ON_DATA_ACCESS: the data is elsewhere.
    const uint32_t kOnlineOnly = 0x00001000 | 0x00040000 | 0x00400000;
    if (fullPath[0] == '\\' && fullPath[1] == '\\') {
        // \\?\ and \\.\ name a path whole; after them UNC\ is a share, anything else local.
        const char* rest = fullPath + 2;
        int device = (rest[0] == '?' || rest[0] == '.') && rest[1] == '\\';
        if (!device) return kFileOnShare;
        rest += 2;
        if ((rest[0] | 0x20) == 'u' && (rest[1] | 0x20) == 'n' && (rest[2] | 0x20) == 'c' &&
            rest[3] == '\\') {
            return kFileOnShare;
        }
    }
    if (driveType == kDriveRemote) return kFileOnMappedDrive;
    if (attributes != kInvalidAttributes && (attributes & kOnlineOnly) != 0) return kFileOnlineOnly;
    return kFileSeen;
}

int ExitCodeForServiceError(uint32_t error) {
    switch (error) {
        case 5: return kExitNotElevated;        // ERROR_ACCESS_DENIED
        case 1073: return kExitInstalled;       // ERROR_SERVICE_EXISTS
        case 1060: return kExitNotInstalled;    // ERROR_SERVICE_DOES_NOT_EXIST
        default: return kExitServiceFailed;
    }
}

ConsoleAnswer AnswerConsoleEvent(uint32_t event, int interactiveStation) {
    switch (event) {
        case 0:  // CTRL_C_EVENT
        case 1:  // CTRL_BREAK_EVENT
            return kConsoleStop;
        case 2:  // CTRL_CLOSE_EVENT
        case 6:  // CTRL_SHUTDOWN_EVENT
            return kConsoleStopAndWait;
        case 5:  // CTRL_LOGOFF_EVENT
            return interactiveStation ? kConsoleStopAndWait : kConsoleIgnore;
        default:
            return kConsoleIgnore;
    }
}
