// The real mailslot client: thin forwards to KERNEL32, apart from the window system so that a
// program without windows (the bridge) links it alone.
#include "platform/win32/win32_platform.h"

// After our header: it defines some of the same constant names, as macros.
#include <windows.h>

// The written count passes straight through.
static_assert(sizeof(uint32_t) == sizeof(DWORD), "the written count must match DWORD");

FileHandle Win32MailslotClient::CreateFileA(const char* path, uint32_t desiredAccess,
                                            uint32_t shareMode, void* securityAttributes,
                                            uint32_t creationDisposition,
                                            uint32_t flagsAndAttributes, FileHandle templateFile) {
    return reinterpret_cast<FileHandle>(::CreateFileA(
        path, desiredAccess, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
        creationDisposition, flagsAndAttributes, reinterpret_cast<HANDLE>(templateFile)));
}

int Win32MailslotClient::WriteFile(FileHandle file, const void* buffer, uint32_t count,
                                   uint32_t* written, void* overlapped) {
    return ::WriteFile(reinterpret_cast<HANDLE>(file), buffer, count,
                       reinterpret_cast<DWORD*>(written), static_cast<LPOVERLAPPED>(overlapped));
}

int Win32MailslotClient::CloseHandle(FileHandle handle) {
    return ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}
