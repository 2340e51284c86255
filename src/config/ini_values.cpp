// Numbers read from configuration text the same way on 32- and 64-bit targets.
#include "config/ini_values.h"

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>

// strtoul base 10 as a 32-bit unsigned long reads it, on every target: leading
// blanks and a sign are taken, a minus gives the two's complement, text without
// digits gives 0 and overflow gives 4294967295.
uint32_t ReadU32(const char* text) {
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    uint64_t magnitude = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
        if (magnitude > UINT32_MAX) return UINT32_MAX;
    }
    const uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

// strtol base 10 with the range of a 32-bit long, so both targets agree.
int32_t ReadI32(const char* text) {
    const long long value = strtoll(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

bool ReadKey(kvo_ini_file_st* file, const char* section, const char* key, uint32_t* value) {
    const char* text = kvo_ini_file_get(file, section, key);
    if (text == nullptr) return false;
    *value = ReadU32(text);
    return true;
}
