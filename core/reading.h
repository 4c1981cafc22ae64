// Reading one field into its slot, the report text, and its delivery as one datagram.
#ifndef VARDEX_CORE_READING_H
#define VARDEX_CORE_READING_H

#include "core/relay_state.h"

// Room for nine characters of field text and a NUL; the read asks for at most this many bytes.
const int kFieldTextCapacity = 10;
// Room for a 99-character report and its NUL.
const int kReportCapacity = 100;

// Reads slot->field and applies the change rule: a nonzero value that differs from lastValue
// is taken and marks the slot changed; any other read marks it unchanged; a read of no
// characters leaves the slot exactly as it was.
void UpdateReadingSlot(ReadingSlot* slot);

// Writes "<targetName> CPU:<cpu> MB:<mb>" into buffer and returns its length. Returns 0 with
// an empty buffer when the text could not fit (a name over kMaxTargetName characters or a
// value wider than nine characters), which the relay's own inputs never produce.
int FormatReport(const char* targetName, int32_t cpuValue, int32_t mbValue,
                 char buffer[kReportCapacity]);

// Opens the mailslot, writes text and its NUL in one message, closes. A failed open drops the
// report silently.
void SendToMailslot(const char* path, const char* text);

#endif
