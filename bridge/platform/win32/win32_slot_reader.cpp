// The local mailslot's owner for publish: made with the service's access rules, read whole
// datagram by datagram on a thread of its own.
#include "bridge/platform/win32/win32_bridge_platform.h"

#include <windows.h>
#include <sddl.h>

namespace {

HANDLE Handle(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

// One datagram at a time: as large as a local mailslot message may be made here, so every
// datagram is read whole and none can stay behind to block the slot.
const DWORD kSlotMessageMax = 65535;
uint8_t slotData[kSlotMessageMax];
DWORD slotSize;

DWORD WINAPI ReadSlot(LPVOID context) {
    SlotReader* reader = static_cast<SlotReader*>(context);
    // A mailslot's handle is made for overlapped reads, and ReadFile on such a handle wants an
    // OVERLAPPED (without one it may say a read is done that is not). The wait for it happens
    // here, on a thread of its own; under Wine the read itself blocks.
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = done;
        BOOL read = done != nullptr &&
                    ReadFile(Handle(reader->slot), slotData, kSlotMessageMax, &slotSize,
                             &overlapped);
        if (!read && done != nullptr && GetLastError() == ERROR_IO_PENDING) {
            read = GetOverlappedResult(Handle(reader->slot), &overlapped, &slotSize, TRUE);
        }
        if (!read) {
            // Told, not hidden: a publish that reads nothing would look alive and report nothing.
            DWORD error = GetLastError();
            reader->failure = error != 0 ? error : ERROR_GEN_FAILURE;
            SetEvent(Handle(reader->ready));
            return 1;
        }
        SetEvent(Handle(reader->ready));
        WaitForSingleObject(Handle(reader->taken), INFINITE);
    }
}

// SYSTEM and Administrators in full, and whoever is signed in at the console or over Remote
// Desktop may read and write: the relay runs as that user, the service as SYSTEM.
const char kServiceSlotAccess[] = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";

}  // namespace

uint32_t SlotReader::Start(int forService) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    if (forService && !ConvertStringSecurityDescriptorToSecurityDescriptorA(
                          kServiceSlotAccess, SDDL_REVISION_1,
                          &attributes.lpSecurityDescriptor, nullptr)) {
        return GetLastError();
    }
    // A writer of a message over the maximum gets an error: nothing oversized enters the slot.
    HANDLE created = CreateMailslotA("\\\\.\\mailslot\\VARDslot", kSlotMessageMax,
                                     MAILSLOT_WAIT_FOREVER, forService ? &attributes : nullptr);
    DWORD error = GetLastError();
    if (attributes.lpSecurityDescriptor != nullptr) LocalFree(attributes.lpSecurityDescriptor);
    if (created == INVALID_HANDLE_VALUE) return error != 0 ? error : ERROR_GEN_FAILURE;
    slot = reinterpret_cast<uintptr_t>(created);
    ready = reinterpret_cast<uintptr_t>(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    taken = reinterpret_cast<uintptr_t>(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (ready == 0 || taken == 0) return GetLastError();
    HANDLE thread = CreateThread(nullptr, 0, ReadSlot, this, 0, nullptr);
    if (thread == nullptr) return GetLastError();
    ::CloseHandle(thread);
    return 0;
}

void SlotReader::Taken() { SetEvent(Handle(taken)); }
const uint8_t* SlotReader::Data() const { return slotData; }
uint32_t SlotReader::Size() const { return slotSize; }
