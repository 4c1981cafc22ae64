// An independent parse of a field's reading, for the fuzz targets to hold the core against.
#ifndef VARDEX_TESTS_FUZZ_REFERENCE_H
#define VARDEX_TESTS_FUZZ_REFERENCE_H

#include <string.h>

// The leading integer of at most the first nine characters, computed in 64 bits.
inline long long ReferenceLeadingInteger(const char* text) {
    char first[10] = {};
    strncpy(first, text, 9);
    const char* p = first;
    while (*p == ' ' || (*p >= 9 && *p <= 13)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long value = 0;
    while (*p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
    return negative ? -value : value;
}

#endif
