// Checked reading of our environment variables, with one warning per variable.
#include "platform/env.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "platform/kvo_base.h"

namespace {

// Names already warned about (our own string constants). A plain array with no
// destructor: a library being unloaded may still ask while its statics go.
constexpr int kMaxWarned = 32;
pthread_mutex_t g_warnedLock = PTHREAD_MUTEX_INITIALIZER;
const char* g_warned[kMaxWarned];  // guarded by g_warnedLock
int g_warnedCount = 0;             // guarded by g_warnedLock

int FindWarned(const char* name) {
    for (int i = 0; i < g_warnedCount; ++i) {
        if (strcmp(g_warned[i], name) == 0) return i;
    }
    return -1;
}

bool IsEmpty(const char* text) { return text == nullptr || *text == '\0'; }

bool OneOf(const char* text, const char* const* words) {
    for (; *words != nullptr; ++words) {
        if (strcasecmp(text, *words) == 0) return true;
    }
    return false;
}

}  // namespace

std::string KvoEnvDecimal(long value) {
    char text[24];
    snprintf(text, sizeof text, "%ld", value);
    return text;
}

bool KvoEnvParseInteger(const char* text, long low, long high, long fallback, long* value,
                        std::string* problem) {
    *value = fallback;
    if (IsEmpty(text)) return true;
    char* end = nullptr;
    errno = 0;
    const long long parsed = strtoll(text, &end, 10);
    const std::string range = KvoEnvDecimal(low) + ".." + KvoEnvDecimal(high);
    if (end == text || *end != '\0') {
        *problem = "not a whole number (range " + range + ")";
        return false;
    }
    if (errno == ERANGE || parsed < low || parsed > high) {
        const bool below = errno == ERANGE ? parsed < 0 : parsed < low;
        *value = below ? low : high;
        *problem = std::string(below ? "below" : "above") + " the range " + range;
        return false;
    }
    *value = static_cast<long>(parsed);
    return true;
}

bool KvoEnvParseSwitch(const char* text, bool fallback, bool* value, std::string* problem) {
    static const char* const kOff[] = {"0", "off", "no", "false", "disabled", nullptr};
    static const char* const kOn[] = {"1", "on", "yes", "true", "enabled", nullptr};
    *value = fallback;
    if (IsEmpty(text)) return true;
    if (OneOf(text, kOff) || OneOf(text, kOn)) {
        *value = OneOf(text, kOn);
        return true;
    }
    *problem = "neither on (1, on, yes, true, enabled) nor off (0, off, no, false, disabled)";
    return false;
}

long KvoEnvInteger(const char* name, long low, long high, long fallback) {
    const char* text = getenv(name);
    long value = fallback;
    std::string problem;
    if (!KvoEnvParseInteger(text, low, high, fallback, &value, &problem)) {
        KvoEnvWarn(name, text, problem, KvoEnvDecimal(value));
    }
    return value;
}

bool KvoEnvSwitch(const char* name, bool fallback) {
    const char* text = getenv(name);
    bool value = fallback;
    std::string problem;
    if (!KvoEnvParseSwitch(text, fallback, &value, &problem)) {
        KvoEnvWarn(name, text, problem, value ? "on" : "off");
    }
    return value;
}

bool KvoEnvFirstWarning(const char* name) {
    pthread_mutex_lock(&g_warnedLock);
    const bool first = FindWarned(name) < 0;
    if (first && g_warnedCount < kMaxWarned) g_warned[g_warnedCount++] = name;
    pthread_mutex_unlock(&g_warnedLock);
    return first;
}

std::string KvoEnvWarningText(const char* name, const char* value, const std::string& problem,
                              const std::string& instead) {
    return std::string(name) + "=\"" + (value != nullptr ? value : "") + "\": " + problem +
           "; using " + instead;
}

void KvoEnvWarn(const char* name, const char* value, const std::string& problem,
                const std::string& instead) {
    if (!KvoEnvFirstWarning(name)) return;
    KVO_LOGW("%s", KvoEnvWarningText(name, value, problem, instead).c_str());
}

void KvoEnvForgetWarning(const char* name) {
    pthread_mutex_lock(&g_warnedLock);
    const int at = FindWarned(name);
    if (at >= 0) g_warned[at] = g_warned[--g_warnedCount];
    pthread_mutex_unlock(&g_warnedLock);
}
