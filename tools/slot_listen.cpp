// slot-listen: owns the local mailslot VARDslot and prints every report as it arrives.
//
// Each datagram is printed on one line as its local arrival time, its byte count and its bytes
// in quotes, with a NUL shown as \0 and other unprintable bytes as \xNN:
//   14:03:27.512 18 bytes "PC01 CPU:47 MB:38\0"
// Options: --seconds S (stop after S seconds), --count N (stop after N datagrams).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void PrintDatagram(const unsigned char* bytes, DWORD count) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    printf("%02u:%02u:%02u.%03u %lu bytes \"", now.wHour, now.wMinute, now.wSecond,
           now.wMilliseconds, static_cast<unsigned long>(count));
    for (DWORD i = 0; i < count; ++i) {
        unsigned char c = bytes[i];
        if (c == 0) {
            printf("\\0");
        } else if (c == '"' || c == '\\') {
            printf("\\%c", c);
        } else if (c < 0x20 || c > 0x7E) {
            printf("\\x%02X", c);
        } else {
            putchar(c);
        }
    }
    printf("\"\n");
    fflush(stdout);
}

int main(int argc, char** argv) {
    double seconds = 0;
    long limit = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--seconds") == 0) seconds = atof(argv[i + 1]);
        if (strcmp(argv[i], "--count") == 0) limit = atol(argv[i + 1]);
    }
    const char* path = "\\\\.\\mailslot\\VARDslot";
    // A short read timeout lets the loop notice its deadline.
    HANDLE slot = CreateMailslotA(path, 0, 200, nullptr);
    if (slot == INVALID_HANDLE_VALUE) {
        printf("cannot create %s (error %lu)\n", path, GetLastError());
        return 2;
    }
    printf("listening on %s\n", path);
    fflush(stdout);

    // GetTickCount, not GetTickCount64 (Vista and later), so that this runs on XP too; the
    // elapsed time is an unsigned difference, which stays right across the 49.7-day wrap.
    const DWORD started = GetTickCount();
    const DWORD duration = static_cast<DWORD>(seconds * 1000);
    long received = 0;
    static unsigned char bytes[65536];
    while ((seconds <= 0 || GetTickCount() - started < duration) &&
           (limit <= 0 || received < limit)) {
        DWORD count = 0;
        if (ReadFile(slot, bytes, sizeof bytes, &count, nullptr)) {
            PrintDatagram(bytes, count);
            ++received;
        }
    }
    CloseHandle(slot);
    return 0;
}
