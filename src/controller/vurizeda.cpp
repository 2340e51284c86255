// The automatic controller: start-up and teardown, the switches, the user-monitor
// thread, and the reactions to collector samples and to the user's activity.
#include "controller/vurizeda.h"

#include <string.h>

#include "platform/cl_ev.h"
#include "platform/kvo_word.h"

namespace {
constexpr int64_t kReadyTimeoutMs = 10000;
constexpr int64_t kLoopWaitMs = 200;
constexpr int kMonitorTypeBoth = 3;  // pointer and keyboard
}  // namespace

CVuriZeda::CVuriZeda() : CAutoCpu() { Construct(); }

CVuriZeda::CVuriZeda(ICpuCtrl* ctrl) : CAutoCpu(ctrl) { Construct(); }

void CVuriZeda::Construct() {
    AutoconfSetDefaults(&m_autoConf);
    m_readyEvent = nullptr;
    m_exitEvent = nullptr;
    m_monitorThread = 0;
    memset(m_confPath, 0, sizeof(m_confPath));
    m_procId = 0;
    m_hooks.ready_timeout_ms = kReadyTimeoutMs;
    m_hooks.skip_ready = 0;
    kvo_atomic32_set(&m_initState, 0);
    kvo_atomic32_set(&m_enableIO, 0);
    kvo_atomic32_set(&m_enableCpu, 0);
}

// A host that exits (or unloads the library) without kvo_perfctrl_uninit would
// leave the monitor thread and the comm delivery thread running on members that
// are about to be destroyed: tear them down first. After an uninit this is a no-op.
CVuriZeda::~CVuriZeda() {
    if (kvo_atomic32_get(&m_initState) != 0 || m_monitorThread != 0) UnInitialize();
}

CVuriZeda* CVuriZeda::GetInstance() {
    // One-time construction; a constructor that throws leaves it for the next call.
    static CVuriZeda s_inst;
    // Registered after the scheduler's handlers (the base registered first), so
    // our locks are taken before the scheduler's at a fork, in the usual order.
    static const int s_forkHandlers = pthread_atfork(PrepareForkCb, ParentForkCb, ChildForkCb);
    (void)s_forkHandlers;
    return &s_inst;
}

// The quota's locks are taken in one fork handler and released in another, which
// the analysis cannot follow across callbacks.
void CVuriZeda::PrepareForkCb() NO_THREAD_SAFETY_ANALYSIS { GetInstance()->LockForFork(); }

void CVuriZeda::ParentForkCb() NO_THREAD_SAFETY_ANALYSIS { GetInstance()->UnlockAfterFork(); }

void CVuriZeda::ChildForkCb() {
    CVuriZeda* self = GetInstance();
    self->RenewLocksInChild();
    self->ForgetThreadsInChild();
}

// A forked child has neither the monitor thread nor the comm library's delivery
// thread: nothing may join or wait for them, at uninit or at exit. The child
// starts uninitialised; the parent's events are left allocated.
void CVuriZeda::ForgetThreadsInChild() {
    m_monitorThread = 0;
    m_readyEvent = nullptr;
    m_exitEvent = nullptr;
    kvo_atomic32_set(&m_initState, 0);
}

void CVuriZeda::SetConfPath(const char* path) {
    kvo_str_strlcpy(m_confPath, path, sizeof(m_confPath));
}

uint32_t CVuriZeda::Initialize() {
    m_procId = kvo_process_get_cur_pid();
    if (LoadAutoConfig(&m_autoConf, m_confPath) == KVO_OK) {
        // The groups follow the file: rebuilt before the CPU configuration is bound.
        LoadCpuGroups(&m_autoConf, m_confPath);
    }
    uint32_t r = StartUserMonitorThread();
    if (r != KVO_OK) {
        UnInitialize();
        return r;
    }
    SetCpuLimitConfig(&m_autoConf.cpu_conf, m_autoConf.groups);
    r = m_collector.RegCollectData(OnReciveDataCb, this);
    if (r != KVO_OK) {
        UnInitialize();
        return r;
    }
    kvo_atomic32_set(&m_initState, 1);
    return KVO_OK;
}

// Every step runs whatever scenes_type says: the IO scene starts the same monitor
// thread and collector registration, and neither may outlive this object.
void CVuriZeda::UnInitialize() {
    m_collector.UnRegCollectData();
    EnableCpu(0);
    StopUserMonitorThread();
    kvo_atomic32_set(&m_initState, 0);
}

int CVuriZeda::GetInitState() { return kvo_atomic32_get(&m_initState); }

uint32_t CVuriZeda::EnableCpu(int enable) {
    if (enable == 0) ClearMonitorThread();
    kvo_atomic32_set(&m_enableCpu, enable);
    return KVO_OK;
}

int CVuriZeda::GetEnableCpu() { return kvo_atomic32_get(&m_enableCpu); }

uint32_t CVuriZeda::EnableIO(int /*enable*/) { return KVO_E_DISABLED; }

int CVuriZeda::GetEnableIO() { return kvo_atomic32_get(&m_enableIO); }

uint32_t CVuriZeda::SetLimitIOUpper(unsigned int /*read*/, unsigned int /*write*/) {
    return KVO_E_DISABLED;
}

uint32_t CVuriZeda::InitializeIOPartition() { return KVO_E_FAIL; }

_Autoconf* CVuriZeda::GetVuriZedaconf() { return &m_autoConf; }

unsigned int CVuriZeda::GetCurProcId() { return m_procId; }

unsigned int CVuriZeda::QueryVuriZedaCpuCnt() {
    return QueryCpuCount(kvo_cpu_count(), WordLoad(m_autoConf.cpu_conf.sys_max_unused));
}

// One more than the processors the idle ceiling amounts to (rounded up), at most n.
unsigned int QueryCpuCount(unsigned int n, float sysMaxUnused) {
    long double x = (long double)n * sysMaxUnused;
    unsigned long long q = (unsigned long long)x / 100;
    if (x / 100 > (long double)q) q += 1;
    unsigned long long r = q + 1;
    if (r > n) r = n;
    return (unsigned int)r;
}

uint32_t CVuriZeda::StartUserMonitorThread() {
    uint32_t r = kvo_event_init(&m_readyEvent, 0, 1);
    if (r != 0) {
        KVO_LOGW("init ready event failed with err 0x%08x", r);
        StopUserMonitorThread();
        return r;
    }
    r = kvo_event_init(&m_exitEvent, 0, 1);
    if (r != 0) {
        KVO_LOGW("init exit event failed with err 0x%08x", r);
        StopUserMonitorThread();
        return r;
    }
    int t = cl_ev_create_isolated_thread(&m_monitorThread, 0, ThreadLoopCb, this);
    if (t != 0) {
        m_monitorThread = 0;
        KVO_LOGW("create thread failed");
        StopUserMonitorThread();
        return (uint32_t)t;
    }
    r = kvo_event_timedwait(m_readyEvent, m_hooks.ready_timeout_ms);
    if (r != 0) {
        KVO_LOGW("wait ready event failed with err 0x%08x", r);
        StopUserMonitorThread();
        return r;
    }
    return KVO_OK;
}

// Joins before destroying the events: the thread waits on m_exitEvent until then.
void CVuriZeda::StopUserMonitorThread() {
    if (m_exitEvent != nullptr) kvo_event_set(m_exitEvent);
    if (m_monitorThread != 0) {
        pthread_join(m_monitorThread, nullptr);
        m_monitorThread = 0;
    }
    if (m_readyEvent != nullptr) {
        kvo_event_destroy(m_readyEvent);
        m_readyEvent = nullptr;
    }
    if (m_exitEvent != nullptr) {
        kvo_event_destroy(m_exitEvent);
        m_exitEvent = nullptr;
    }
}

uint32_t ThreadLoopCb(void* context) {
    CVuriZeda* self = static_cast<CVuriZeda*>(context);
    uint32_t r = self->PreLoop();
    if (r == KVO_OK) r = self->ThreadRunLoop();
    self->ExitLoop((int)r);
}

uint32_t CVuriZeda::PreLoop() {
    KVO_LOGI("auto perf ipc thread init success");
    if (m_readyEvent != nullptr && !m_hooks.skip_ready) kvo_event_set(m_readyEvent);
    if (m_userBehavior.Initialize(&m_autoConf.behavior_conf, nullptr, OnStatusChangeCb, this) !=
        KVO_OK) {
        KVO_LOGE("init user behavior failed");
        return KVO_E_FAIL;
    }
    if (m_devmon.Initialize(m_autoConf.behavior_conf.behavior_switch, kMonitorTypeBoth,
                            OnDevMontorCb, this) != KVO_OK) {
        KVO_LOGE("init device monitor failed");
        return KVO_E_FAIL;
    }
    return KVO_OK;
}

uint32_t CVuriZeda::ThreadRunLoop() {
    uint32_t r = 0;
    do {
        r = (uint32_t)cl_event_loop_once();
        m_devmon.LoopEventOnce();
    } while (kvo_event_timedwait(m_exitEvent, kLoopWaitMs) != 0);
    return r;
}

void CVuriZeda::ExitLoop(int code) {
    m_devmon.Uninitialize();
    m_userBehavior.UnInitialize();
    kvo_thread_exit((uint32_t)code);
}

void CVuriZeda::OnStatusChangeCb(_MSG_STATUS status, void* context) {
    static_cast<CVuriZeda*>(context)->OnStatusChangeImpl(status);
}

// Groups first, then the ceiling; the values are read afresh so that a ceiling the
// host set in the meantime is replaced at each change of activity.
void CVuriZeda::OnStatusChangeImpl(_MSG_STATUS status) {
    if (status == MSG_STATUS_USING) {
        KVO_LOGI("current is using will set low");
        SetCurGroupCpuLimit(0);
        SetCurrentAutoSysMaxCpu(WordLoad(m_autoConf.cpu_conf.sys_max));
    } else if (status == MSG_STATUS_NOT_USING) {
        KVO_LOGI("current not using will set high");
        SetCurGroupCpuLimit(1);
        SetCurrentAutoSysMaxCpu(WordLoad(m_autoConf.cpu_conf.sys_max_unused));
    } else {
        KVO_LOGW("msg status error");
    }
}

void CVuriZeda::OnReciveDataCb(_SysInfo* sys, _ProcInfo* proc, void* context) {
    if (sys == nullptr || proc == nullptr || context == nullptr) return;
    static_cast<CVuriZeda*>(context)->OnReciveDataImpl(sys, proc);
}

void CVuriZeda::OnReciveDataImpl(_SysInfo* sys, _ProcInfo* proc) {
    KVO_LOGD("sys cpu:%2.2f, proc cpu:%2.2f\r\n", (double)sys->cpu, (double)proc->cpu);
    if (GetEnableCpu() == 0) return;
    _CpuFactor factor;
    factor.sys_cpu = 0;
    factor.proc_cpu = 0;
    factor.sys_cpu = sys->cpu;
    factor.proc_cpu = proc->cpu;
    AdjustCpu(&factor);
}

void CVuriZeda::OnDevMontorCb(unsigned int notice, void* context) {
    static_cast<CVuriZeda*>(context)->m_userBehavior.DevMonNotify(notice);
}
