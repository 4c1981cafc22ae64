// Text built into a caller's fixed buffer, NUL-terminated; once anything does not fit, the
// whole text is void (length 0), never cut short.
#ifndef VARDEX_BRIDGE_CORE_TEXT_H
#define VARDEX_BRIDGE_CORE_TEXT_H

#include <stdint.h>

// A small helper kept as one function: inlined at each use it made the bridge larger (measured on
// both builds; on x64 a function also costs an unwind entry, so each one was weighed).
#define BRIDGE_NOINLINE __attribute__((noinline))

struct TextBuilder {
    char* out;
    uint32_t capacity;  // including the NUL
    uint32_t size;
    int failed;
};

void AppendText(TextBuilder* text, const char* part);
void AppendBytes(TextBuilder* text, const uint8_t* bytes, uint32_t size);
void AppendInt(TextBuilder* text, int32_t value);
// The format's bytes with each %s taken by the next text, each %d by the next int32_t and each
// %x by the next uint32_t as 0x and eight upper-case hex digits, as Windows' documentation
// writes status codes (any other character after % stands for itself): one call in place of a
// run of the appends above.
void AppendFormat(TextBuilder* text, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The part as the inside of a JSON string: quote, backslash and controls escaped.
void AppendJsonEscaped(TextBuilder* text, const char* part);
// Terminates the text; returns its length, or 0 (with an empty text) when it did not fit.
uint32_t FinishText(TextBuilder* text);

// Zeroes a record without a temporary copy of it on the stack.
void ZeroBytes(void* record, uint32_t size);

// Length of a NUL-terminated text, and whether two are equal.
uint32_t TextLength(const char* text);
int TextEquals(const char* a, const char* b);
// The text for key in a table packed as one text: every entry is its key plus one as a byte,
// then the text and its NUL; an empty entry ends the table. Null when key has none.
const char* PackedName(const char* table, int key);

#endif
