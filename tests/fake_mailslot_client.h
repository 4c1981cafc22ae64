// A mailslot client in memory: records every open with its flags, every write and every close.
#ifndef VARDEX_TESTS_FAKE_MAILSLOT_CLIENT_H
#define VARDEX_TESTS_FAKE_MAILSLOT_CLIENT_H

#include "platform/mailslot_client.h"

#include <string>
#include <vector>

enum FakeMailslotOp { kCreateFileA, kWriteFile, kCloseHandle };

struct FakeMailslotCall {
    FakeMailslotOp op;
    FileHandle handle;  // returned by an open, passed to a write or a close
    // An open's arguments.
    char path[300];
    int pathLength;
    uint32_t access;
    uint32_t share;
    void* security;
    uint32_t disposition;
    uint32_t attributes;
    FileHandle templateFile;
    // A write's bytes.
    unsigned char bytes[128];
    uint32_t count;
    bool writtenGiven;
    bool overlappedGiven;
};

class FakeMailslotClient final : public MailslotClient {
public:
    static const int kMaxCalls = 4096;
    bool refuseOpens = false;

    void ClearLog() { callCount = 0; }
    void Reset() {
        callCount = 0;
        refuseOpens = false;
    }
    int CallCount() const { return callCount; }
    const FakeMailslotCall& Call(int i) const { return calls[i]; }
    // The bytes of every write, in order, each exactly as written (NUL included).
    std::vector<std::string> Datagrams() const;
    std::vector<std::string> Log() const;

    FileHandle CreateFileA(const char* path, uint32_t desiredAccess, uint32_t shareMode,
                           void* securityAttributes, uint32_t creationDisposition,
                           uint32_t flagsAndAttributes, FileHandle templateFile) override;
    int WriteFile(FileHandle file, const void* buffer, uint32_t count, uint32_t* written,
                  void* overlapped) override;
    int CloseHandle(FileHandle handle) override;

private:
    FakeMailslotCall* Next();
    FakeMailslotCall calls[kMaxCalls] = {};
    int callCount = 0;
    FileHandle nextHandle = 0x40;
};

#endif
