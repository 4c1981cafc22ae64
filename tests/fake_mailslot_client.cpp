// The recording mailslot client the core tests run against.
#include "tests/fake_mailslot_client.h"

#include <stdio.h>
#include <string.h>

FakeMailslotCall* FakeMailslotClient::Next() {
    if (callCount == kMaxCalls) return nullptr;
    FakeMailslotCall* c = &calls[callCount++];
    memset(c, 0, sizeof *c);
    return c;
}

FileHandle FakeMailslotClient::CreateFileA(const char* path, uint32_t desiredAccess,
                                           uint32_t shareMode, void* securityAttributes,
                                           uint32_t creationDisposition,
                                           uint32_t flagsAndAttributes, FileHandle templateFile) {
    FileHandle result = refuseOpens ? INVALID_HANDLE_VALUE : nextHandle++;
    if (FakeMailslotCall* c = Next()) {
        c->op = kCreateFileA;
        c->handle = result;
        c->pathLength = static_cast<int>(strlen(path));
        snprintf(c->path, sizeof c->path, "%s", path);
        c->access = desiredAccess;
        c->share = shareMode;
        c->security = securityAttributes;
        c->disposition = creationDisposition;
        c->attributes = flagsAndAttributes;
        c->templateFile = templateFile;
    }
    return result;
}

int FakeMailslotClient::WriteFile(FileHandle file, const void* buffer, uint32_t count,
                                  uint32_t* written, void* overlapped) {
    if (FakeMailslotCall* c = Next()) {
        c->op = kWriteFile;
        c->handle = file;
        c->count = count;
        memcpy(c->bytes, buffer, count < sizeof c->bytes ? count : sizeof c->bytes);
        c->writtenGiven = written != nullptr;
        c->overlappedGiven = overlapped != nullptr;
    }
    if (written) *written = count;
    return 1;
}

int FakeMailslotClient::CloseHandle(FileHandle handle) {
    if (FakeMailslotCall* c = Next()) {
        c->op = kCloseHandle;
        c->handle = handle;
    }
    return 1;
}

std::vector<std::string> FakeMailslotClient::Datagrams() const {
    std::vector<std::string> out;
    for (int i = 0; i < callCount; ++i) {
        const FakeMailslotCall& c = calls[i];
        if (c.op != kWriteFile) continue;
        size_t n = c.count < sizeof c.bytes ? c.count : sizeof c.bytes;
        out.push_back(std::string(reinterpret_cast<const char*>(c.bytes), n));
    }
    return out;
}

std::vector<std::string> FakeMailslotClient::Log() const {
    std::vector<std::string> lines;
    for (int i = 0; i < callCount; ++i) {
        const FakeMailslotCall& c = calls[i];
        char line[400];
        switch (c.op) {
            case kCreateFileA:
                snprintf(line, sizeof line, "CreateFileA(%s)->%lu", c.path,
                         static_cast<unsigned long>(c.handle));
                break;
            case kWriteFile:
                snprintf(line, sizeof line, "WriteFile(%lu,%u)", static_cast<unsigned long>(c.handle),
                         c.count);
                break;
            case kCloseHandle:
                snprintf(line, sizeof line, "CloseHandle(%lu)", static_cast<unsigned long>(c.handle));
                break;
        }
        lines.push_back(line);
    }
    return lines;
}
