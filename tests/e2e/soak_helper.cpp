// A test helper for the Wine soak runs, built with the real core and Win32 platform.
//
//   soak-helper search-tick  runs one search tick of the relay against the running
//                            stand-in monitor and prints its time and what it found
//   soak-helper handles NAME prints the handle count of the process whose file is NAME
#include "core/poll_cycle.h"
#include "core/relay_state.h"
#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <tlhelp32.h>

#include <stdio.h>
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

static int Handles(const char* name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, name) != 0) continue;
        long count = CountHandles(entry.th32ProcessID);
        if (count < 0) {
            HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID);
            DWORD reported = 0;
            if (process && GetProcessHandleCount(process, &reported)) count = static_cast<long>(reported);
            if (process) CloseHandle(process);
        }
        CloseHandle(snapshot);
        printf("handles %ld\n", count);
        return count >= 0 ? 0 : 1;
    }
    CloseHandle(snapshot);
    printf("no process %s\n", name);
    return 1;
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "search-tick") == 0) return SearchTick();
    if (argc >= 3 && strcmp(argv[1], "handles") == 0) return Handles(argv[2]);
    printf("usage: soak-helper search-tick | handles NAME\n");
    return 2;
}
