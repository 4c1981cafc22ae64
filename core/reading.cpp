// Field reads with their change rule, the report text and its one-datagram delivery.
#include "core/reading.h"

static int TextLength(const char* text) {
    int length = 0;
    while (text[length] != 0) ++length;
    return length;
}

static int LeadingInteger(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    int negative = 0;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // At most nine characters reach here, so the value cannot overflow 32 bits.
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        ++p;
    }
    return negative ? -value : value;
}

void UpdateReadingSlot(ReadingSlot* slot) {
    char text[kFieldTextCapacity];
    text[0] = 0;
    int copied = relayWindows->GetWindowTextA(slot->field, text, kFieldTextCapacity);
    // Nothing read means nothing learned: the slot, its changed flag included, stays as it was.
    if (copied <= 0) return;
    text[copied < kFieldTextCapacity ? copied : kFieldTextCapacity - 1] = 0;

    int value = LeadingInteger(text);
    if (value != 0 && value != slot->lastValue) {
        slot->lastValue = value;
        slot->changed = 1;
    } else {
        // 0 is what a blank or half-drawn field parses to, so it is never taken as a reading.
        slot->changed = 0;
    }
}

static int FitsNineCharacters(int32_t value) {
    return value >= -99999999 && value <= 999999999;
}

int FormatReport(const char* targetName, int32_t cpuValue, int32_t mbValue,
                 char buffer[kReportCapacity]) {
    buffer[0] = 0;
    if (TextLength(targetName) > kMaxTargetName || !FitsNineCharacters(cpuValue) ||
        !FitsNineCharacters(mbValue)) {
        return 0;
    }
    return relayWindows->wsprintfA(buffer, "%s CPU:%02d MB:%02d", targetName, cpuValue,
                                   mbValue);
}

void SendToMailslot(const char* path, const char* text) {
    FileHandle slot = relayMailslots->CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (slot == INVALID_HANDLE_VALUE) return;
    // The NUL travels with the text: the reader takes the datagram as a C string.
    uint32_t written = 0;
    relayMailslots->WriteFile(slot, text, static_cast<uint32_t>(TextLength(text)) + 1, &written,
                              nullptr);
    relayMailslots->CloseHandle(slot);
}
