// Choosing the scheduler's mode from the environment or the installation's
// configuration file, and making control objects of that mode.
#include "scheduler/schedmode.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "platform/kvo_base.h"
#include "scheduler/exactctrlobject.h"
#include "scheduler/threadctrlobject.h"

namespace {

constexpr const char* kModeVariable = "KVO_SCHED_MODE";
constexpr const char* kModeFile = "@/../config/kvo_vurizeda.ini";
constexpr const char* kModeSection = "scheduler";
constexpr const char* kModeKey = "mode";

// True for a known mode name, with *mode set.
bool ParseMode(const char* text, SchedMode* mode) {
    if (strcmp(text, "exact") == 0) {
        *mode = SCHED_MODE_EXACT;
        return true;
    }
    if (strcmp(text, "default") == 0) {
        *mode = SCHED_MODE_DEFAULT;
        return true;
    }
    return false;
}

}  // namespace

SchedMode ChooseSchedMode(const char* envValue, const char* fileValue, const char* filePath) {
    SchedMode mode = SCHED_MODE_DEFAULT;
    if (envValue != nullptr && envValue[0] != '\0') {
        if (!ParseMode(envValue, &mode)) {
            KVO_LOGW("%s=%s is not a scheduler mode (default, exact): using the default mode",
                     kModeVariable, envValue);
        }
    } else if (fileValue != nullptr) {
        if (!ParseMode(fileValue, &mode)) {
            KVO_LOGW(
                "[%s] %s = %s in %s is not a scheduler mode (default, exact): using the "
                "default mode",
                kModeSection, kModeKey, fileValue, filePath != nullptr ? filePath : "");
        }
    }
    if (mode == SCHED_MODE_EXACT) KVO_LOGI("scheduler mode: exact");
    return mode;
}

SchedMode ReadSchedMode() {
    const char* envValue = getenv(kModeVariable);
    if (envValue != nullptr && envValue[0] != '\0')
        return ChooseSchedMode(envValue, nullptr, nullptr);
    char path[PATH_MAX] = {0};
    kvo_dirutils_path_transform(kModeFile, path, sizeof path);
    // A missing file is the usual case for hosts that never configured a mode.
    kvo_ini_file_st* file = kvo_ini_file_load(path);
    if (file == nullptr) return SCHED_MODE_DEFAULT;
    const SchedMode mode =
        ChooseSchedMode(nullptr, kvo_ini_file_get(file, kModeSection, kModeKey), path);
    kvo_ini_file_free(file);
    return mode;
}

CLifeCycleImpl<ICtrlObject>* NewThreadCtrlObject(SchedMode mode, SchedEnv* env) {
    if (mode == SCHED_MODE_EXACT) return new (std::nothrow) CExactCtrlObject(env);
    return new (std::nothrow) CThreadCtrlObject(env);
}
