// memset and memcpy for a program without a C runtime: GCC may emit calls to them for struct
// copies and clears. They sit in a library of their own, so they are linked only when called.
#include <stddef.h>

extern "C" void* memset(void* destination, int value, size_t count) {
    // volatile keeps the loop from being turned back into a call to memset.
    volatile unsigned char* d = static_cast<unsigned char*>(destination);
    while (count--) *d++ = static_cast<unsigned char>(value);
    return destination;
}

extern "C" void* memcpy(void* destination, const void* source, size_t count) {
    volatile unsigned char* d = static_cast<unsigned char*>(destination);
    const unsigned char* s = static_cast<const unsigned char*>(source);
    while (count--) *d++ = *s++;
    return destination;
}
