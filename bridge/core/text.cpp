// Text built into fixed buffers.
#include "bridge/core/text.h"

void AppendBytes(TextBuilder* text, const uint8_t* bytes, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) {
        // One place is kept for the NUL.
        if (text->size + 1 >= text->capacity) {
            text->failed = 1;
            return;
        }
        text->out[text->size++] = static_cast<char>(bytes[i]);
    }
}

void AppendText(TextBuilder* text, const char* part) {
    AppendBytes(text, reinterpret_cast<const uint8_t*>(part), TextLength(part));
}

namespace {

void AppendHex(TextBuilder* text, uint32_t value) {
    char hex[11] = {'0', 'x'};
    for (int i = 0; i < 8; ++i) hex[2 + i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 15];
    hex[10] = 0;
    AppendText(text, hex);
}

}  // namespace

void AppendInt(TextBuilder* text, int32_t value) {
    char digits[12];
    int count = 0;
    // Work on the negative side: it holds the most negative value too.
    int32_t rest = value < 0 ? value : -value;
    do {
        digits[count++] = static_cast<char>('0' - rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (value < 0) digits[count++] = '-';
    while (count > 0) {
        char c = digits[--count];
        AppendBytes(text, reinterpret_cast<const uint8_t*>(&c), 1);
    }
}

void AppendFormat(TextBuilder* text, const char* format, ...) {
    // The compiler's own variadic calls: the core includes no header but <stdint.h>.
    __builtin_va_list args;
    __builtin_va_start(args, format);
    for (const char* p = format; *p != 0; ++p) {
        if (*p == '%' && p[1] != 0) {
            ++p;
            if (*p == 's') {
                // The analyzer sees the list started only through <stdarg.h>'s macro.
                // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
                AppendText(text, __builtin_va_arg(args, const char*));
                continue;
            }
            if (*p == 'd') {
                // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
                AppendInt(text, __builtin_va_arg(args, int32_t));
                continue;
            }
            if (*p == 'x') {
                // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
                AppendHex(text, __builtin_va_arg(args, uint32_t));
                continue;
            }
        }
        AppendBytes(text, reinterpret_cast<const uint8_t*>(p), 1);
    }
    __builtin_va_end(args);
}

void AppendJsonEscaped(TextBuilder* text, const char* part) {
    static const char kHex[] = "0123456789abcdef";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(part); *p != 0; ++p) {
        if (*p == '"' || *p == '\\') {
            const uint8_t escaped[2] = {'\\', *p};
            AppendBytes(text, escaped, sizeof escaped);
        } else if (*p < 0x20 || *p == 0x7F) {
            const uint8_t escaped[6] = {'\\', 'u', '0', '0', static_cast<uint8_t>(kHex[*p >> 4]),
                                        static_cast<uint8_t>(kHex[*p & 15])};
            AppendBytes(text, escaped, sizeof escaped);
        } else {
            AppendBytes(text, p, 1);
        }
    }
}

uint32_t FinishText(TextBuilder* text) {
    if (text->capacity == 0) return 0;
    if (text->failed) text->size = 0;
    text->out[text->size] = 0;
    return text->size;
}

BRIDGE_NOINLINE void ZeroBytes(void* record, uint32_t size) {
    // volatile keeps the compiler from turning the loop into a call to memset.
    volatile uint8_t* p = static_cast<uint8_t*>(record);
    while (size-- > 0) *p++ = 0;
}

uint32_t TextLength(const char* text) {
    uint32_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

int TextEquals(const char* a, const char* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

const char* PackedName(const char* table, int key) {
    for (const char* p = table; *p != 0; p += TextLength(p) + 1) {
        if (static_cast<uint8_t>(*p) - 1 == key) return p + 1;
    }
    return nullptr;
}
