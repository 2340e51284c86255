// The automatic controller: one process-wide object that owns the configuration
// record, the quota (its base), the collector link and the user-monitor thread.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "activity/devmon.h"
#include "activity/userbehavior.h"
#include "collector/collector.h"
#include "config/autoconf.h"
#include "platform/kvo_base.h"
#include "quota/autocpu.h"

// Test seam for the start-up handshake with the user-monitor thread; production
// uses the defaults (10 s wait, ready event set as soon as the thread runs).
struct _VuriZedaHooks {
    int64_t ready_timeout_ms;  // how long Initialize waits for the monitor thread
    int skip_ready;            // non-zero: the monitor thread never sets the ready event
};

class CVuriZeda : public CAutoCpu {
public:
    CVuriZeda();
    explicit CVuriZeda(ICpuCtrl* ctrl);
    ~CVuriZeda() override;

    static CVuriZeda* GetInstance();

    void SetConfPath(const char* path);
    uint32_t Initialize();
    void UnInitialize();
    int GetInitState();
    uint32_t EnableCpu(int enable);
    int GetEnableCpu();
    uint32_t EnableIO(int enable);
    int GetEnableIO();
    uint32_t SetLimitIOUpper(unsigned int read, unsigned int write);
    uint32_t InitializeIOPartition();
    _Autoconf* GetVuriZedaconf();
    unsigned int GetCurProcId();
    unsigned int QueryVuriZedaCpuCnt();

    uint32_t StartUserMonitorThread();
    void StopUserMonitorThread();
    uint32_t PreLoop();
    uint32_t ThreadRunLoop();
    [[noreturn]] void ExitLoop(int code);

    static void OnStatusChangeCb(_MSG_STATUS status, void* context);
    void OnStatusChangeImpl(_MSG_STATUS status);
    static void OnReciveDataCb(_SysInfo* sys, _ProcInfo* proc, void* context);
    void OnReciveDataImpl(_SysInfo* sys, _ProcInfo* proc);
    static void OnDevMontorCb(unsigned int notice, void* context);

    _VuriZedaHooks* Hooks() { return &m_hooks; }

    static void PrepareForkCb();
    static void ParentForkCb();
    static void ChildForkCb();
    pthread_t MonitorThread() const { return m_monitorThread; }

private:
    char m_confPath[4096];
    uint32_t m_procId;
    // Value-initialised: the defaults leave scenes_type to the file, and the
    // first load reads it before any key can have set it.
    _Autoconf m_autoConf{};
    volatile int32_t m_initState;
    volatile int32_t m_enableCpu;
    volatile int32_t m_enableIO;
    kvo_event_t m_readyEvent;
    kvo_event_t m_exitEvent;
    CUserBehavior m_userBehavior;
    pthread_t m_monitorThread;
    Devmon m_devmon;
    CCollector m_collector;
    _VuriZedaHooks m_hooks;

    void Construct();
    void ForgetThreadsInChild();
};

// Entry of the user-monitor thread; context is the CVuriZeda.
uint32_t ThreadLoopCb(void* context);

// The arithmetic of QueryVuriZedaCpuCnt for n processors.
unsigned int QueryCpuCount(unsigned int n, float sysMaxUnused);
