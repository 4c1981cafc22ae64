// vardex-setup.dll: the installer package's custom actions, which read the remembered settings,
// keep the MQTT password out of the installer's log and tables, and let the bridge itself make,
// reconfigure or remove its service.
#include "bridge/core/package_settings.h"
#include "bridge/core/text.h"
#include "bridge_messages.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

namespace {

const char kSettingsKey[] = "SOFTWARE\\vardex\\bridge";
const char kPasswordName[] = "mqtt-password.txt";
// SYSTEM and the Administrators group alone, inherited by nothing else (the README's icacls).
const char kSecretsAcl[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const UINT kFailed = ERROR_INSTALL_FAILURE;

char settings[16384];
char value[1024];
char line[1024];
char command[8192];
char output[8192];

void ZeroSecrets() {
    ZeroBytes(settings, sizeof settings);
    ZeroBytes(value, sizeof value);
}

// A line in the installer's log; as an error it is also what the installer shows and fails with.
void Tell(MSIHANDLE install, INSTALLMESSAGE kind, const char* text) {
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringA(record, 0, "[1]");  // the text as it is, brackets and all
    MsiRecordSetStringA(record, 1, text);
    if (kind == INSTALLMESSAGE_ERROR) kind = INSTALLMESSAGE(kind | MB_OK | MB_ICONERROR);
    MsiProcessMessage(install, kind, record);  // ignore errors: nowhere else to say it
    MsiCloseHandle(record);
}

// The bridge's refusal in the Application log as well, under its own source.
void TellEventLog(const char* text) {
    HANDLE source = RegisterEventSourceA(nullptr, "vardex-bridge");
    if (source == nullptr) return;
    const char* strings[1] = {text};
    ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, VARDEX_BRIDGE_LINE, nullptr, 1, 0, strings,
                 nullptr);  // ignore errors: the installer's log has the line too
    DeregisterEventSource(source);
}

// A remembered setting from the key (which may be null); 1 when there, else out is empty.
int ReadRemembered(HKEY key, const char* name, char* out, DWORD capacity) {
    DWORD size = capacity - 1;
    DWORD type = 0;
    out[0] = 0;
    if (key == nullptr || RegQueryValueExA(key, name, nullptr, &type,
                                           reinterpret_cast<BYTE*>(out), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        out[0] = 0;
        return 0;
    }
    out[size] = 0;
    return out[0] != 0;
}

void AddSetting(TextBuilder* text, const char* name, const char* setting) {
    if (setting[0] == 0) return;
    AppendText(text, name);
    AppendText(text, "=");
    AppendText(text, setting);
    AppendText(text, "\n");
}

int StartsWith(const char* text, const char* start) {
    while (*start != 0 && *text == *start) {
        ++text;
        ++start;
    }
    return *start == 0;
}

// Whether a line of the settings starts with start.
int HasLine(const char* text, const char* start) {
    for (const char* p = text; *p != 0; ++p) {
        if ((p == text || p[-1] == '\n') && StartsWith(p, start)) return 1;
    }
    return 0;
}

// A property whose value did not fit: the install fails rather than going on without it (or
// with the remembered value in its place).
const char* overlong;

int GetProperty(MSIHANDLE install, const char* name, char* out, DWORD capacity) {
    DWORD size = capacity;
    UINT result = MsiGetPropertyA(install, name, out, &size);
    if (result == ERROR_MORE_DATA) overlong = name;
    if (result != ERROR_SUCCESS) out[0] = 0;
    return out[0] != 0;
}

// Runs the bridge's command line, each line it writes into the installer's log; its exit code,
// with its last line in line.
DWORD RunBridge(MSIHANDLE install) {
    Tell(install, INSTALLMESSAGE_INFO, command);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    line[0] = 0;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return GetLastError();
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &process);
    DWORD code = started ? 0 : GetLastError();
    CloseHandle(writeEnd);
    DWORD used = 0;
    DWORD got = 0;
    // Read to the end, so that the bridge never waits on a full pipe; past the buffer's room
    // the rest is read into line and dropped.
    while (started && ReadFile(readEnd, used < sizeof output - 1 ? output + used : line,
                               used < sizeof output - 1 ? sizeof output - 1 - used : sizeof line,
                               &got, nullptr) &&
           got > 0) {
        if (used < sizeof output - 1) used += got;
    }
    CloseHandle(readEnd);
    if (!started) return code;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    output[used] = 0;
    for (char* p = output; *p != 0;) {
        char* end = p;
        while (*end != 0 && *end != '\r' && *end != '\n') ++end;
        char next = *end;
        *end = 0;
        if (end > p) {
            Tell(install, INSTALLMESSAGE_INFO, p);
            TextBuilder last = {line, sizeof line, 0, 0};
            AppendText(&last, p);
            FinishText(&last);
        }
        p = next == 0 ? end : end + 1;
    }
    return code;
}

// Whether the secrets folder is a plain folder: a link could send the file elsewhere. Who owns
// it matters less, since the file is made new with access of its own that does not inherit.
int PlainFolder(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The password into its own file under the secrets folder, which only SYSTEM and the
// Administrators read; the file's path is what the service is given.
int WritePassword(const char* folder, const char* password, char* path, uint32_t capacity) {
    SECURITY_ATTRIBUTES secured = {sizeof secured, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kSecretsAcl, 1,
                                                              &secured.lpSecurityDescriptor,
                                                              nullptr)) {
        return 0;
    }
    TextBuilder text = {path, capacity, 0, 0};
    AppendText(&text, folder);
    AppendText(&text, "vardex");
    FinishText(&text);
    CreateDirectoryA(path, &secured);  // ignore errors: there already, as an earlier one made it
    // One made earlier gets the secured access again, whatever was done to it meanwhile.
    int ok = PlainFolder(path) &&
             SetFileSecurityA(path, DACL_SECURITY_INFORMATION, secured.lpSecurityDescriptor);
    text.size = 0;
    AppendText(&text, folder);
    AppendText(&text, "vardex\\");
    AppendText(&text, kPasswordName);
    ok = ok && FinishText(&text) != 0;
    // A new file gets the secured descriptor; Windows ignores it when a file is opened that is
    // there already, so an old one goes first, and one that does not go fails the write.
    if (ok) DeleteFileA(path);  // ignore errors: CREATE_NEW below fails if it is still there
    HANDLE file = ok ? CreateFileA(path, GENERIC_WRITE, 0, &secured, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)
                     : INVALID_HANDLE_VALUE;
    LocalFree(secured.lpSecurityDescriptor);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    DWORD length = TextLength(password);
    ok = WriteFile(file, password, length, &written, nullptr) && written == length;
    CloseHandle(file);
    return ok;
}

// The settings kept for the next install, repair or upgrade (HKLM), the password excepted.
void Remember(const char* all) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    const char* names[kMaxPackageProperties];
    int count = RememberedProperties(names, kMaxPackageProperties);
    for (int i = 0; i < count; ++i) {
        if (SettingValue(all, names[i], value, sizeof value)) {
            RegSetValueExA(key, names[i], 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                           TextLength(value) + 1);
        } else {
            RegDeleteValueA(key, names[i]);
        }
    }
    RegCloseKey(key);
}

// Stops the role's service if it runs, then starts it, so that it runs with what it was just
// given.
void Restart(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return;
    SC_HANDLE service = OpenServiceA(manager, name,
                                     SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            DWORD start = GetTickCount();
            while (QueryServiceStatus(service, &status) &&
                   status.dwCurrentState != SERVICE_STOPPED && GetTickCount() - start < 30000) {
                Sleep(250);
            }
        }
        StartServiceA(service, 0, nullptr);  // ignore errors: its own lines say why
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

// The bridge's uninstall of a role's service and, with the last of them, its log source.
void RemoveRole(MSIHANDLE install, const char* folder, const char* role) {
    TextBuilder text = {command, sizeof command, 0, 0};
    AppendText(&text, "\"");
    AppendText(&text, folder);
    AppendText(&text, "vardex-bridge.exe\" uninstall ");
    AppendText(&text, TextEquals(role, "deliver") ? "deliver" : "publish");
    if (FinishText(&text) != 0) RunBridge(install);  // its lines are in the log either way
}

}  // namespace

// Immediate: each property not given is taken from the remembered settings; a first install
// without BROKER fails here; the deferred actions get what they need as their data.
extern "C" __attribute__((dllexport)) UINT __stdcall ReadSettings(MSIHANDLE install) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        key = nullptr;
    }
    const char* names[kMaxPackageProperties];
    int count = RememberedProperties(names, kMaxPackageProperties);
    TextBuilder text = {settings, sizeof settings, 0, 0};
    char before[16];
    for (int i = 0; i < count; ++i) {
        if (!GetProperty(install, names[i], value, sizeof value) &&
            ReadRemembered(key, names[i], value, sizeof value)) {
            MsiSetPropertyA(install, names[i], value);
        }
        if (TextEquals(names[i], "ROLE")) {
            if (value[0] == 0) {
                // Named from here on, for the package's stop of vardex-bridge-[ROLE] too.
                MsiSetPropertyA(install, "ROLE", "publish");
                AddSetting(&text, "ROLE", "publish");
            }
            // A new role replaces the service of the old one.
            if (ReadRemembered(key, "ROLE", before, sizeof before) &&
                !TextEquals(before, value[0] != 0 ? value : "publish")) {
                AddSetting(&text, "PREVIOUS_ROLE", before);
            }
        }
        AddSetting(&text, names[i], value);
    }
    if (key != nullptr) RegCloseKey(key);
    GetProperty(install, "REMOVE", value, sizeof value);
    int removing = TextEquals(value, "ALL");
    if (!removing && !SettingValue(settings, "BROKER", value, sizeof value)) {
        Tell(install, INSTALLMESSAGE_ERROR,
             "vardex-bridge: BROKER is required at the first install: msiexec /i PACKAGE.msi "
             "BROKER=HOST[:PORT] (and the other settings)");
        ZeroSecrets();
        return kFailed;
    }
    GetProperty(install, "INSTALLDIR", value, sizeof value);
    AddSetting(&text, "INSTALLDIR", value);
    GetProperty(install, "CommonAppDataFolder", value, sizeof value);
    AddSetting(&text, "SECRETS", value);
    if (!removing && GetProperty(install, "MQTT_PASSWORD", value, sizeof value)) {
        AddSetting(&text, "MQTT_PASSWORD", value);
        MsiSetPropertyA(install, "MQTT_PASSWORD", "");  // from here on only the hidden data has it
    }
    if (overlong != nullptr) {
        TextBuilder says = {line, sizeof line, 0, 0};
        AppendText(&says, "vardex-bridge: ");
        AppendText(&says, overlong);
        AppendText(&says, " is over 1023 bytes");
        FinishText(&says);
        Tell(install, INSTALLMESSAGE_ERROR, line);
        ZeroSecrets();
        return kFailed;
    }
    if (FinishText(&text) == 0) {
        Tell(install, INSTALLMESSAGE_ERROR, "vardex-bridge: the settings are too long");
        ZeroSecrets();
        return kFailed;
    }
    // Both are in MsiHiddenProperties: neither is logged.
    MsiSetPropertyA(install, removing ? "VardexRemoveService" : "VardexSetUpService", settings);
    ZeroSecrets();
    return ERROR_SUCCESS;
}

// Deferred, as LocalSystem: the password file, the remembered settings, then the bridge's
// reconfigure, which makes the service or takes over the one there, and a (re)start.
extern "C" __attribute__((dllexport)) UINT __stdcall SetUpService(MSIHANDLE install) {
    GetProperty(install, "CustomActionData", settings, sizeof settings);
    char password[512];
    char path[MAX_PATH + 1];
    char folder[MAX_PATH + 1];
    SettingValue(settings, "SECRETS", folder, sizeof folder);
    // A password too long for its buffer fails the install rather than going unused.
    int given = SettingValue(settings, "MQTT_PASSWORD", password, sizeof password);
    if (!given && HasLine(settings, "MQTT_PASSWORD=")) {
        Tell(install, INSTALLMESSAGE_ERROR, "vardex-bridge: MQTT_PASSWORD is over 511 bytes");
        ZeroSecrets();
        return kFailed;
    }
    if (given) {
        int written = WritePassword(folder, password, path, sizeof path);
        ZeroBytes(password, sizeof password);
        if (!written) {
            Tell(install, INSTALLMESSAGE_ERROR,
                 "vardex-bridge: cannot write the password file in %ProgramData%\\vardex (a "
                 "folder, not a link; remove one made otherwise)");
            ZeroSecrets();
            return kFailed;
        }
        // The file stands for the password from now on, in the settings and the service; the
        // password is the settings' last line (ReadSettings).
        TextBuilder text = {settings, sizeof settings, TextLength(settings), 0};
        while (text.size > 0 && !(settings[text.size - 1] == '\n' &&
                                  StartsWith(settings + text.size, "MQTT_PASSWORD="))) {
            --text.size;
        }
        ZeroBytes(settings + text.size, static_cast<uint32_t>(sizeof settings - text.size));
        AddSetting(&text, "MQTT_PASSWORD_FILE", path);
        FinishText(&text);
    }
    SettingValue(settings, "INSTALLDIR", folder, sizeof folder);
    TextBuilder program = {path, sizeof path, 0, 0};
    AppendText(&program, folder);
    AppendText(&program, "vardex-bridge.exe");
    FinishText(&program);
    UINT result = ERROR_SUCCESS;
    if (BuildReconfigureCommand(path, settings, command, sizeof command) == 0) {
        Tell(install, INSTALLMESSAGE_ERROR, "vardex-bridge: the settings are too long");
        result = kFailed;
    } else if (RunBridge(install) != 0) {
        Tell(install, INSTALLMESSAGE_ERROR, line[0] != 0 ? line : "vardex-bridge did not run");
        TellEventLog(line);
        result = kFailed;
    } else {
        Remember(settings);  // only settings the bridge took, so a bad one is not kept
        SettingValue(settings, "ROLE", value, sizeof value);
        Restart(TextEquals(value, "deliver") ? "vardex-bridge-deliver" : "vardex-bridge-publish");
        if (SettingValue(settings, "PREVIOUS_ROLE", value, sizeof value)) {
            RemoveRole(install, folder, value);
        }
    }
    ZeroSecrets();
    return result;
}

// Deferred, at uninstall: the bridge removes its service and Event Log source; the remembered
// settings go too. The secrets folder stays.
extern "C" __attribute__((dllexport)) UINT __stdcall RemoveService(MSIHANDLE install) {
    GetProperty(install, "CustomActionData", settings, sizeof settings);
    char folder[MAX_PATH + 1];
    SettingValue(settings, "INSTALLDIR", folder, sizeof folder);
    SettingValue(settings, "ROLE", value, sizeof value);
    RemoveRole(install, folder, value);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSettingsKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\vardex");  // only when nothing else is in it
    ZeroSecrets();
    return ERROR_SUCCESS;
}

extern "C" BOOL WINAPI SetupEntry(HINSTANCE, DWORD, LPVOID) { return TRUE; }
