// The library's exported functions: what the host calls to start, steer and stop
// the limiting of its threads. Each checks its arguments and the controller's
// switches, calls one operation and writes one log line.
#include "controller/vurizeda.h"
#include "kvo_vurizeda.h"
#include "platform/kvo_base.h"
#include "platform/kvo_word.h"

namespace {
constexpr int kTypeIO = 1;
constexpr int kTypeCpu = 2;

// IO limiting is not provided: the IO switch never turns on.
unsigned int RefuseIO() {
    if (CVuriZeda::GetInstance()->GetEnableIO() == 0) KVO_LOGW("current not enable io");
    return KVO_E_DISABLED;
}
}  // namespace

extern "C" {

unsigned int kvo_perfctrl_init(const char* conf_file) {
    if (conf_file == nullptr) {
        KVO_LOGW("initialize perfctrl invalid param");
        return KVO_E_INVALID_PARAM;
    }
    CVuriZeda* inst = CVuriZeda::GetInstance();
    if (inst->GetInitState() != 0) return KVO_OK;
    inst->SetConfPath(conf_file);
    uint32_t r = inst->Initialize();
    if (r != KVO_OK) {
        KVO_LOGW("initialize perfctrl failed with error code = 0x%08x", r);
        return KVO_E_FAIL;
    }
    KVO_LOGI("perfctrl init success");
    return KVO_OK;
}

void kvo_perfctrl_uninit(void) {
    CVuriZeda* inst = CVuriZeda::GetInstance();
    if (inst->GetInitState() == 0) return;
    inst->UnInitialize();
    KVO_LOGI("perfctrl uninit success");
}

unsigned int kvo_enable_vurizeda(int type, int enable) {
    // IO before CPU; the IO request is always refused and its result ignored.
    if (type & kTypeIO) CVuriZeda::GetInstance()->EnableIO(enable);
    if (type & kTypeCpu) CVuriZeda::GetInstance()->EnableCpu(enable);
    KVO_LOGI("tpye %d auto perf switch to %d", type, enable);
    return KVO_OK;
}

unsigned int kvo_add_cpu_vurizeda(unsigned int tid) {
    CVuriZeda* inst = CVuriZeda::GetInstance();
    if (inst->GetEnableCpu() == 0) {
        KVO_LOGW("current not init cpu limit");
        return KVO_E_DISABLED;
    }
    inst->AddMonitorThread(tid);
    KVO_LOGI("add thread id %u to cpu auto perf", tid);
    return KVO_OK;
}

void kvo_del_cpu_vurizeda(unsigned int tid) {
    CVuriZeda::GetInstance()->DelMonitorThread(tid);
    KVO_LOGI("del thread id %u to cpu auto perf", tid);
}

unsigned int kvo_set_cpu_vurizeda_upper(float percent) {
    CVuriZeda* inst = CVuriZeda::GetInstance();
    if (inst->GetEnableCpu() == 0) {
        KVO_LOGW("current not enable cpu limit");
        return KVO_E_DISABLED;
    }
    inst->SetCurrentAutoSysMaxCpu(percent);
    KVO_LOGI("set cpu auto perf upper limit %0.2f", (double)percent);
    return KVO_OK;
}

unsigned int kvo_set_cpu_vurizeda_lower(float percent) {
    CVuriZeda* inst = CVuriZeda::GetInstance();
    if (inst->GetEnableCpu() == 0) {
        KVO_LOGW("current not enable cpu limit");
        return KVO_E_DISABLED;
    }
    // Read by the delivery thread at its next decision: one whole-word store.
    WordStore(inst->GetVuriZedaconf()->cpu_conf.proc_min, percent);
    KVO_LOGI("set cpu auto perf lower limit %0.2f", (double)percent);
    return KVO_OK;
}

unsigned int kvo_query_vurizeda_cpucnt(void) {
    CVuriZeda* inst = CVuriZeda::GetInstance();
    if (inst->GetInitState() == 0) return 0;
    return inst->QueryVuriZedaCpuCnt();
}

unsigned int kvo_add_cpu_group(const char* group, unsigned int tid) {
    if (group == nullptr || tid == 0) return KVO_E_INVALID_PARAM;
    KVO_LOGI("add cpu group(%s) thread id(%u) cpu limit", group, tid);
    return CVuriZeda::GetInstance()->AddGroupThread(group, tid);
}

unsigned int kvo_del_cpu_group(const char* group, unsigned int tid) {
    if (group == nullptr || tid == 0) return KVO_E_INVALID_PARAM;
    KVO_LOGI("del cpu group(%s) thread id(%u) cpu limit", group, tid);
    return CVuriZeda::GetInstance()->DelGroupThread(group, tid);
}

unsigned int kvo_add_thread_cpu_limit(unsigned int tid, float percent) {
    if (AddCpuCtrlObject(tid, percent) == 0) {
        KVO_LOGW("add thread id %u to cpu limit failed", tid);
        return KVO_E_FAIL;
    }
    KVO_LOGI("add thread id %u to cpu limit", tid);
    return KVO_OK;
}

void kvo_del_thread_cpu_limit(unsigned int tid) {
    DelCpuCtrlObject(tid);
    KVO_LOGI("del thread id %u to cpu limit", tid);
}

void kvo_resume_update_thread(unsigned int tid) {
    ResumeUpdateThread(tid);
    KVO_LOGI("resume and update thread id %u real state", tid);
}

unsigned int kvo_set_io_vurizeda_upper(unsigned int /*read*/, unsigned int /*write*/) {
    return RefuseIO();
}

unsigned int kvo_set_io_vurizeda_lower(unsigned int /*read*/, unsigned int /*write*/) {
    return RefuseIO();
}

void kvo_add_io_exclusions_handle(const void* /*handle*/) {}

void kvo_del_io_exclusions_handle(const void* /*handle*/) {}

}  // extern "C"

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
