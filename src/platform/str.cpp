// Bounded string helpers.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform/kvo_base.h"

extern "C" int kvo_str_snprintf(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, size, format, args);
    va_end(args);
    return n;
}

// Copies what fits and always terminates (unless size is 0); returns the
// source length so callers can detect truncation.
extern "C" size_t kvo_str_strlcpy(char* destination, const char* source, size_t size) {
    if (source == nullptr) source = "";
    size_t length = strlen(source);
    if (destination == nullptr || size == 0) return length;
    size_t copy = length < size - 1 ? length : size - 1;
    memcpy(destination, source, copy);
    destination[copy] = '\0';
    return length;
}

static int AsciiLower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

extern "C" int kvo_strnicmp(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int ca = AsciiLower(static_cast<unsigned char>(a[i]));
        int cb = AsciiLower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}
