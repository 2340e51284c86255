// The library's exported functions: what the host calls to start, steer and stop
// the limiting of its threads.
#include "kvo_vurizeda.h"
#include "platform/kvo_base.h"

// ---- Limits by thread name from the installation's configuration file ----

namespace {
constexpr const char* kThreadLimitFile = "@/../config/kvo_vurizeda.ini";
constexpr const char* kThreadLimitSection = "thread_cpulimit";
constexpr size_t kThreadLimitPathSize = 4096;
}  // namespace

// Read anew on every call: the file may change while the host runs.
KVO_API int kvo_get_thread_cpulimit_percent(const char* thread_name) {
    if (thread_name == nullptr) return static_cast<int>(KVO_E_FAIL);
    char path[kThreadLimitPathSize] = {0};
    kvo_dirutils_path_transform(kThreadLimitFile, path, sizeof path);
    kvo_ini_file_st* file = kvo_ini_file_load(path);
    if (file == nullptr) {
        KVO_LOGW("Failed to load setting config: %s", path);
        return static_cast<int>(KVO_E_FAIL);
    }
    // A missing key answers with the failure code itself.
    const int percent =
        kvo_ini_file_get_int(file, kThreadLimitSection, thread_name, static_cast<int>(KVO_E_FAIL));
    kvo_ini_file_free(file);
    return percent;
}

extern "C" KVO_API unsigned int kvo_thread_cpu_limit_from_config(const char* thread_name) {
    // The caller's own id: the scheduler wants a thread's first registration from itself.
    const uint32_t tid = kvo_gettid();
    const int percent = kvo_get_thread_cpulimit_percent(thread_name);
    if (percent == static_cast<int>(KVO_E_FAIL)) {
        KVO_LOGE("get thread cpulimit percent failed, threadName: %s",
                 thread_name != nullptr ? thread_name : "(null)");
        return KVO_E_FAIL;
    }
    if (RegisterCpuCtrl() != 1) {
        KVO_LOGW("thread ctrl register failed, threadId: %u", tid);
        return KVO_E_FAIL;
    }
    // A refused percentage keeps the registration: the host takes it back with
    // kvo_thread_cpu_limit_unregister, as for a success.
    if (AddCpuCtrlObject(tid, static_cast<float>(percent)) != 1) {
        KVO_LOGW("thread ctrl failed, threadId: %u", tid);
        return KVO_E_FAIL;
    }
    return KVO_OK;
}

extern "C" KVO_API void kvo_thread_cpu_limit_unregister(void) { UnRegisterCpuCtrl(); }
