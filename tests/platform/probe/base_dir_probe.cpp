// A small shared library holding its own copy of the platform code, so tests
// can see what "@" means, and what the logger keeps, when that code lives in a
// .so rather than a program.
#include <stddef.h>

#include "platform/kvo_base.h"

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

PROBE_EXPORT int kvo_probe_path_transform(const char* in, char* out, size_t size) {
    return kvo_dirutils_path_transform(in, out, size);
}

// Writes one INFO line through the probe's own copy of the logger.
PROBE_EXPORT void kvo_probe_log(const char* text) { KVO_LOGI("%s", text); }
