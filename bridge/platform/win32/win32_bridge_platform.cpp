// The bridge's Windows side: thin forwards to WS2_32 and KERNEL32.
#include "bridge/platform/win32/win32_bridge_platform.h"

#include "bridge/core/service_rules.h"
#include "bridge/core/text.h"

// After our headers: they define some of the same constant names, as macros.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace {

// "what (error N)"; a code of 0 is no error and goes unsaid.
void SayError(char* why, uint32_t size, const char* what, int code) {
    TextBuilder text = {why, size, 0, 0};
    AppendText(&text, what);
    if (code != 0) {
        AppendFormat(&text, " (error %d)", code);
    }
    FinishText(&text);
}

HANDLE Handle(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

uint8_t received[4096];

}  // namespace

const uint8_t* Win32Network::Received() const { return received; }

int Win32Network::Start() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    event = reinterpret_cast<uintptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    return event != 0;
}

int Win32Network::TryNext(char* why, uint32_t whySize) {
    int last = 0;
    while (next != nullptr) {
        addrinfo* address = static_cast<addrinfo*>(next);
        next = address->ai_next;
        SOCKET s = ::socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) {
            last = WSAGetLastError();
            continue;
        }
        // Reports are small and each should leave at once.
        BOOL on = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        // The event makes the socket non-blocking: the connect finishes in the main wait.
        WSAEventSelect(s, Handle(event), FD_CONNECT | FD_READ | FD_CLOSE);
        if (::connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0 ||
            WSAGetLastError() == WSAEWOULDBLOCK) {
            socket = s;
            return 1;
        }
        last = WSAGetLastError();
        closesocket(s);
    }
    SayError(why, whySize, "cannot connect", last);
    return 0;
}

int Win32Network::Connect(const char* host, uint16_t port, char* why, uint32_t whySize) {
    Close();
    char service[8];
    TextBuilder text = {service, sizeof service, 0, 0};
    AppendInt(&text, port);
    FinishText(&text);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    int code = getaddrinfo(host, service, &hints, &list);
    if (code != 0) {
        SayError(why, whySize, "cannot resolve the broker's name", code);
        return 0;
    }
    addresses = list;
    next = list;
    int count = 0;
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) ++count;
    return TryNext(why, whySize) ? count : 0;
}

int Win32Network::ConnectNext(char* why, uint32_t whySize) {
    CloseSocket();
    ResetEvent(Handle(event));
    return TryNext(why, whySize);
}

NetworkEvent Win32Network::Take(char* why, uint32_t whySize) {
    receivedSize = 0;
    if (socket == INVALID_SOCKET) {
        ResetEvent(Handle(event));
        return kNetNothing;
    }
    WSANETWORKEVENTS events;
    if (WSAEnumNetworkEvents(socket, Handle(event), &events) != 0) {
        SayError(why, whySize, "socket failed", WSAGetLastError());
        return kNetClosed;
    }
    if (events.lNetworkEvents & FD_CONNECT) {
        int code = events.iErrorCode[FD_CONNECT_BIT];
        if (code == 0) {
            // Bytes or a close told together with the connect are read on the next round.
            if (events.lNetworkEvents & FD_CLOSE) closeSeen = 1;
            if (events.lNetworkEvents & (FD_READ | FD_CLOSE)) SetEvent(Handle(event));
            return kNetConnected;
        }
        CloseSocket();
        SayError(why, whySize, "connection refused or unreachable", code);
        return kNetConnectFailed;
    }
    // FD_CLOSE is told once, maybe before the last bytes are read: remember it until they are.
    if (events.lNetworkEvents & FD_CLOSE) closeSeen = 1;
    int got = recv(socket, reinterpret_cast<char*>(received), sizeof received, 0);
    if (got > 0) {
        receivedSize = static_cast<uint32_t>(got);
        return kNetData;
    }
    if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        if (!closeSeen) return kNetNothing;
        SayError(why, whySize, "the broker closed the connection", events.iErrorCode[FD_CLOSE_BIT]);
        return kNetClosed;
    }
    SayError(why, whySize, got == 0 ? "the broker closed the connection" : "receive failed",
             got == 0 ? 0 : WSAGetLastError());
    return kNetClosed;
}

int Win32Network::Send(const uint8_t* data, uint32_t size) {
    while (size > 0 && socket != INVALID_SOCKET) {
        int sent = ::send(socket, reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
        if (sent > 0) {
            data += sent;
            size -= static_cast<uint32_t>(sent);
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) return 0;
        // A full send buffer: wait a little for room; a broker that takes nothing for seconds
        // is as good as gone.
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(socket, &writable);
        timeval limit = {5, 0};
        if (select(0, nullptr, &writable, nullptr, &limit) != 1) return 0;
    }
    return size == 0;
}

void Win32Network::CloseSocket() {
    closeSeen = 0;
    if (socket != INVALID_SOCKET) {
        closesocket(socket);
        socket = INVALID_SOCKET;
    }
}

void Win32Network::Shutdown() {
    if (socket != INVALID_SOCKET) {
        // The broker answers the goodbye (a PUBACK for offline) and closes its side; closing
        // ours with those bytes unread would send a reset instead of the last of the data.
        ::shutdown(socket, SD_SEND);
        DWORD start = GetTickCount();
        for (;;) {
            DWORD spent = GetTickCount() - start;
            if (spent >= 2000) break;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket, &readable);
            timeval limit = {0, static_cast<long>((2000 - spent) * 1000)};
            if (select(0, &readable, nullptr, nullptr, &limit) != 1) break;
            if (recv(socket, reinterpret_cast<char*>(received), sizeof received, 0) <= 0) break;
        }
    }
    Close();
}

void Win32Network::Close() {
    CloseSocket();
    if (addresses != nullptr) {
        freeaddrinfo(static_cast<addrinfo*>(addresses));
        addresses = next = nullptr;
    }
    ResetEvent(Handle(event));
}

void Win32Console::WriteLine(LogLevel, const char* text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[600];
    TextBuilder out = {line, sizeof line, 0, 0};
    char clock[] = "hh:mm:ss vardex-bridge: ";
    const int parts[3] = {now.wHour, now.wMinute, now.wSecond};
    for (int i = 0; i < 3; ++i) {
        clock[3 * i] = static_cast<char>('0' + parts[i] / 10);
        clock[3 * i + 1] = static_cast<char>('0' + parts[i] % 10);
    }
    AppendFormat(&out, "%s%s\r\n", clock, text);
    uint32_t size = FinishText(&out);
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, size, &written, nullptr);  // ignore errors
}

namespace {

void WriteLineTo(DWORD which, const char* text) {
    DWORD written;
    HANDLE out = GetStdHandle(which);
    WriteFile(out, text, TextLength(text), &written, nullptr);  // ignore errors
    WriteFile(out, "\r\n", 2, &written, nullptr);
}

}  // namespace

void WriteError(const char* text) { WriteLineTo(STD_ERROR_HANDLE, text); }

void WriteOut(const char* text) { WriteLineTo(STD_OUTPUT_HANDLE, text); }

int ComputerName(char* out, uint32_t size) {
    DWORD length = size;
    return GetComputerNameA(out, &length) != 0;
}

int EnvironmentValue(const char* name, char* out, uint32_t size) {
    DWORD length = GetEnvironmentVariableA(name, out, size);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return -1;
    return length >= size ? -2 : static_cast<int>(length);
}

int ReadFileStart(const char* path, uint8_t* out, uint32_t size) {
    HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    DWORD got = 0;
    BOOL ok = ReadFile(file, out, size, &got, nullptr);
    ::CloseHandle(file);
    return ok ? static_cast<int>(got) : -1;
}

uint32_t ProgramPath(char* out, uint32_t size) {
    DWORD length = GetModuleFileNameA(nullptr, out, size);
    // XP fills the buffer without a NUL when the path does not fit.
    return length > 0 && length < size ? length : 0;
}

uint32_t FullPath(const char* path, char* out, uint32_t size) {
    DWORD length = GetFullPathNameA(path, size, out, nullptr);
    return length > 0 && length < size ? length : 0;
}

uint32_t DriveType(const char* fullPath) {
    if (fullPath[0] == '\\' && fullPath[1] == '\\' && (fullPath[2] == '?' || fullPath[2] == '.') &&
        fullPath[3] == '\\') {
        fullPath += 4;
    }
    if (fullPath[0] == 0 || fullPath[1] != ':') return 0;
    char root[4] = {fullPath[0], ':', '\\', 0};
    return GetDriveTypeA(root);
}

uint32_t FileAttributes(const char* path) { return GetFileAttributesA(path); }

uint32_t LastError() { return GetLastError(); }

void ErrorText(uint32_t error, char* out, uint32_t size) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, out, size, nullptr);
    // Its text ends in a line end; a system without words for the code gets the number.
    while (length > 0 && (out[length - 1] == '\r' || out[length - 1] == '\n' ||
                          out[length - 1] == ' ')) {
        --length;
    }
    if (length == 0) {
        TextBuilder text = {out, size, 0, 0};
        // An HRESULT in hex, as Windows' documentation writes it.
        AppendFormat(&text, error >> 31 ? "error %x" : "error %d", error);
        FinishText(&text);
        return;
    }
    out[length] = 0;
}

uint32_t TickCount() { return GetTickCount(); }

const char* CommandLine() { return GetCommandLineA(); }

namespace {

HANDLE stopRequested;
HANDLE stopDone;
int interactive;

BOOL WINAPI OnConsoleEvent(DWORD kind) {
    ConsoleAnswer answer = AnswerConsoleEvent(kind, interactive);
    if (answer == kConsoleIgnore) return TRUE;  // handled: Windows' default would end us
    SetEvent(stopRequested);
    // Windows ends the process when this returns from close, log-off or shutdown.
    if (answer == kConsoleStopAndWait) WaitForSingleObject(stopDone, 4000);
    return TRUE;
}

}  // namespace

int IsInteractiveLogon() {
    // S-1-5-4, the INTERACTIVE group, which a desktop's logon carries and a batch or service
    // logon does not; a fixed SID needs no allocation. Constant, so that it is not a copy made
    // from initialised data.
    static const struct {
        SID sid;
    } kInteractive = {{SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_INTERACTIVE_RID}}};
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, const_cast<SID*>(&kInteractive.sid), &member)) {
        return 1;  // as before
    }
    return member != FALSE;
}

uintptr_t WatchStopRequests() {
    stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    stopDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    interactive = IsInteractiveLogon();
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    return reinterpret_cast<uintptr_t>(stopRequested);
}

void StopDone() { SetEvent(stopDone); }

uint32_t WaitForAny(const uintptr_t* events, uint32_t count, uint32_t milliseconds) {
    HANDLE handles[4];
    for (uint32_t i = 0; i < count && i < 4; ++i) handles[i] = Handle(events[i]);
    DWORD result = WaitForMultipleObjects(count, handles, FALSE, milliseconds);
    return result < WAIT_OBJECT_0 + count ? result - WAIT_OBJECT_0 : kWaitTimedOut;
}

void WaitForEvent(uintptr_t event, uint32_t milliseconds) {
    WaitForSingleObject(Handle(event), milliseconds);
}

void ExitWith(int code) { ExitProcess(static_cast<UINT>(code)); }
