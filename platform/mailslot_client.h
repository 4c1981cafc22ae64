// The file operations the relay uses to deliver a datagram to a mailslot, behind an interface.
//
// The real implementation (platform/win32) forwards to KERNEL32; tests use a recording fake.
#ifndef VARDEX_PLATFORM_MAILSLOT_CLIENT_H
#define VARDEX_PLATFORM_MAILSLOT_CLIENT_H

#include <stdint.h>

// An open file or mailslot handle, opaque to the core.
typedef uintptr_t FileHandle;

const FileHandle INVALID_HANDLE_VALUE = static_cast<FileHandle>(-1);
const uint32_t GENERIC_WRITE = 0x40000000;
const uint32_t FILE_SHARE_READ = 0x00000001;
const uint32_t OPEN_EXISTING = 3;
const uint32_t FILE_ATTRIBUTE_NORMAL = 0x00000080;

// Abstract so it can be mocked out for tests; the real one is platform/win32.
struct MailslotClient {
    // Returns INVALID_HANDLE_VALUE when the path cannot be opened.
    virtual FileHandle CreateFileA(const char* path, uint32_t desiredAccess, uint32_t shareMode,
                                   void* securityAttributes, uint32_t creationDisposition,
                                   uint32_t flagsAndAttributes, FileHandle templateFile) = 0;
    // written must point somewhere when overlapped is 0: older Windows stores through it.
    virtual int WriteFile(FileHandle file, const void* buffer, uint32_t count, uint32_t* written,
                          void* overlapped) = 0;
    virtual int CloseHandle(FileHandle handle) = 0;

protected:
    // Trivial, so that the one real instance needs no code at start or exit.
    ~MailslotClient() = default;
};

#endif
