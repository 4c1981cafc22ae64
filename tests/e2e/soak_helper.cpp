// A test helper for the Wine soak runs, built with the real core and Win32 platform.
//
//   soak-helper search-tick  runs one search tick of the relay against the running
//                            stand-in monitor and prints its time and what it found
//   soak-helper handles NAME prints the handle count of the process whose file is NAME
//   soak-helper base NAME    prints the address at which that process's program was loaded
//   soak-helper send N       writes N reports " CPU:<i> MB:38", i from 1, to the local mailslot
//   soak-helper junk SIZE    writes one datagram of SIZE bytes that is no report
//   soak-helper pipe         writes each line of its input as one datagram (the line and a NUL)
//                            and prints "sent" when it has
//   soak-helper . relocated PATH
//                            loads the relay program at PATH away from its preferred address,
//                            its relocations applied by the loader, and runs it in this process.
//                            The relay reads its word from this process's command line, hence
//                            the "." before the command.
//   soak-helper import-pfx PATH PASSWORD
//                            adds the PFX's certificate with its key to the local machine's My
//                            store, as certlm.msc's import does, and prints its thumbprint
#include "core/poll_cycle.h"
#include "core/relay_state.h"
#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <tlhelp32.h>
#include <wincrypt.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int SearchTick() {
    Win32WindowSystem windowSystem;
    Win32MailslotClient mailslotClient;
    relayWindows = &windowSystem;
    relayMailslots = &mailslotClient;
    ParseCommandTail("", &relayState);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    PollTick();
    QueryPerformanceCounter(&end);
    double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                static_cast<double>(frequency.QuadPart);
    printf("search tick %.1f ms attached %d cpu-field %d mb-field %d\n", ms,
           relayState.monitorWindow != 0, relayState.cpu.field != 0, relayState.mb.field != 0);
    return relayState.monitorWindow != 0 ? 0 : 1;
}

// GetProcessHandleCount is not answered everywhere (Wine gives 0), so the count comes from the
// system's handle table, whose entries name their owning process.
typedef LONG(NTAPI* QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);

struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};

static long CountHandles(DWORD pid) {
    QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    static BYTE buffer[8 << 20];
    ULONG needed = 0;
    if (query(16 /* SystemHandleInformation */, buffer, sizeof buffer, &needed) != 0) return -1;
    const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer);
    long count = 0;
    for (ULONG i = 0; i < table->count; ++i) count += table->entries[i].ownerPid == pid;
    return count;
}

// The identifier of the process whose program file is name, or 0.
static DWORD FindProcess(const char* name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    DWORD pid = 0;
    for (BOOL more = Process32First(snapshot, &entry); more && pid == 0;
         more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, name) == 0) pid = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    if (pid == 0) printf("no process %s\n", name);
    return pid;
}

static int Handles(const char* name) {
    DWORD pid = FindProcess(name);
    if (pid == 0) return 1;
    long count = CountHandles(pid);
    if (count < 0) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
        DWORD reported = 0;
        if (process && GetProcessHandleCount(process, &reported)) count = static_cast<long>(reported);
        if (process) CloseHandle(process);
    }
    printf("handles %ld\n", count);
    return count >= 0 ? 0 : 1;
}

// The first module of a process's module list is its program.
static int Base(const char* name) {
    DWORD pid = FindProcess(name);
    if (pid == 0) return 1;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    MODULEENTRY32 module;
    module.dwSize = sizeof module;
    BOOL found = Module32First(snapshot, &module);
    CloseHandle(snapshot);
    if (!found) {
        printf("no modules for %s\n", name);
        return 1;
    }
    printf("base 0x%llx\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(module.modBaseAddr)));
    return 0;
}

// Loads the relay program at path away from its preferred address and runs it in this process.
// A loader relocates a program file only when it starts a process with it, and Wine always starts
// one at its preferred address, so the relay is loaded from a copy marked as a library: the
// loader then maps it elsewhere and applies its relocations, which is what is under test. This
// helper binds its imports itself (a library's would be bound by the loader, and its entry point
// called with the loader's lock held) and then calls its entry point.
static int RunRelocated(const char* path) {
    static unsigned char image[64 << 10];
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD size = 0;
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, image, sizeof image, &size, nullptr)) {
        printf("cannot read %s\n", path);
        return 2;
    }
    CloseHandle(file);
    IMAGE_NT_HEADERS* fileNt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        image + reinterpret_cast<IMAGE_DOS_HEADER*>(image)->e_lfanew);
    uintptr_t preferred = static_cast<uintptr_t>(fileNt->OptionalHeader.ImageBase);
    fileNt->FileHeader.Characteristics |= IMAGE_FILE_DLL;
    char copy[MAX_PATH];
    GetTempPathA(MAX_PATH - 32, copy);
    lstrcatA(copy, "vardex-relocated.dll");
    file = CreateFileA(copy, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, image, size, &written, nullptr);
    CloseHandle(file);

    // This helper usually sits at the same preferred address; make sure the range is taken.
    VirtualAlloc(reinterpret_cast<void*>(preferred), 0x10000, MEM_RESERVE, PAGE_NOACCESS);
    HMODULE module = LoadLibraryExA(copy, nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (module == nullptr) {
        printf("cannot load %s (error %lu)\n", copy, GetLastError());
        return 2;
    }
    unsigned char* base = reinterpret_cast<unsigned char*>(module);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);

    const IMAGE_DATA_DIRECTORY& iat = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
    DWORD old = 0;
    VirtualProtect(base + iat.VirtualAddress, iat.Size, PAGE_READWRITE, &old);
    const IMAGE_IMPORT_DESCRIPTOR* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
        base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
    for (; import->Name != 0; ++import) {
        HMODULE dll = LoadLibraryA(reinterpret_cast<const char*>(base + import->Name));
        const IMAGE_THUNK_DATA* names =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            const IMAGE_IMPORT_BY_NAME* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            slots->u1.Function = reinterpret_cast<uintptr_t>(
                GetProcAddress(dll, reinterpret_cast<const char*>(byName->Name)));
        }
    }
    VirtualProtect(base + iat.VirtualAddress, iat.Size, old, &old);

    printf("relocated 0x%llx to 0x%llx\n", static_cast<unsigned long long>(preferred),
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(base)));
    fflush(stdout);
    // The relay's entry takes nothing and ends the process itself, with the relay's exit code.
    void (*entry)() = reinterpret_cast<void (*)()>(base + nt->OptionalHeader.AddressOfEntryPoint);
    entry();
    return 2;
}

// Datagrams for the bridge's runs, written as the relay writes them: open, write, close.
static int Send(long count, long junkSize) {
    static char junk[70000];
    long sent = 0;
    for (long i = 1; i <= count; ++i) {
        char text[100];
        int length = junkSize > 0 ? 0 : snprintf(text, sizeof text, " CPU:%ld MB:38", i) + 1;
        HANDLE slot = CreateFileA("\\\\.\\mailslot\\VARDslot", GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (slot == INVALID_HANDLE_VALUE) continue;
        if (junkSize > 0) memset(junk, 'x', sizeof junk);
        DWORD written = 0;
        DWORD size = junkSize > 0 ? static_cast<DWORD>(junkSize) : static_cast<DWORD>(length);
        sent += WriteFile(slot, junkSize > 0 ? junk : text, size, &written, nullptr) != 0;
        CloseHandle(slot);
    }
    printf("sent %ld\n", sent);
    return sent == count ? 0 : 1;
}

static int Pipe() {
    char line[200];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        line[strcspn(line, "\r\n")] = 0;
        HANDLE slot = CreateFileA("\\\\.\\mailslot\\VARDslot", GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        BOOL ok = slot != INVALID_HANDLE_VALUE &&
                  WriteFile(slot, line, static_cast<DWORD>(strlen(line)) + 1, &written, nullptr);
        if (slot != INVALID_HANDLE_VALUE) CloseHandle(slot);
        printf(ok ? "sent\n" : "not sent\n");
        fflush(stdout);
    }
    return 0;
}

// Keys go to the user's key set: Wine's machine key set does not work, and Wine finds the key
// from the store's certificate either way.
static int ImportPfx(const char* path, const char* password) {
    static BYTE bytes[65536];
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return 1;
    DWORD size = static_cast<DWORD>(fread(bytes, 1, sizeof bytes, f));
    fclose(f);
    wchar_t wide[256];
    MultiByteToWideChar(CP_UTF8, 0, password, -1, wide, 256);
    CRYPT_DATA_BLOB blob = {size, bytes};
    HCERTSTORE pfx = PFXImportCertStore(&blob, wide, CRYPT_USER_KEYSET);
    HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                  CERT_SYSTEM_STORE_LOCAL_MACHINE, "MY");
    if (pfx == nullptr || my == nullptr) return 2;
    PCCERT_CONTEXT each = nullptr;
    while ((each = CertEnumCertificatesInStore(pfx, each)) != nullptr) {
        DWORD length = 0;
        if (!CertGetCertificateContextProperty(each, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                               &length)) {
            continue;
        }
        if (!CertAddCertificateContextToStore(my, each, CERT_STORE_ADD_REPLACE_EXISTING,
                                              nullptr)) {
            return 3;
        }
        BYTE hash[20];
        length = sizeof hash;
        CertGetCertificateContextProperty(each, CERT_HASH_PROP_ID, hash, &length);
        for (DWORD i = 0; i < length; ++i) printf("%02x", hash[i]);
        printf("\n");
        CertFreeCertificateContext(each);
        // Wine writes a registry store out when it is closed.
        return CertCloseStore(my, 0) ? 0 : 5;
    }
    return 4;
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "pipe") == 0) return Pipe();
    if (argc >= 4 && strcmp(argv[1], "import-pfx") == 0) return ImportPfx(argv[2], argv[3]);
    if (argc >= 3 && strcmp(argv[1], "send") == 0) return Send(atol(argv[2]), 0);
    if (argc >= 3 && strcmp(argv[1], "junk") == 0) return Send(1, atol(argv[2]));
    if (argc >= 2 && strcmp(argv[1], "search-tick") == 0) return SearchTick();
    if (argc >= 3 && strcmp(argv[1], "handles") == 0) return Handles(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "base") == 0) return Base(argv[2]);
    if (argc >= 4 && strcmp(argv[2], "relocated") == 0) return RunRelocated(argv[3]);
    printf("usage: soak-helper search-tick | handles NAME | base NAME | . relocated PATH\n");
    return 2;
}
