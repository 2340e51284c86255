// What every control object shares whatever its rule: the attached pair of
// threads, the limit and usage words, the planned sleep, the end flag and the
// status counters.
#pragma once

#include <stdint.h>

#include "scheduler/ctrlfigures.h"
#include "scheduler/ctrlobject.h"
#include "scheduler/schedenv.h"

class CCtrlObjectBase : public CLifeCycleImpl<ICtrlObject>, public IStatusFigures {
public:
    ~CCtrlObjectBase() override;

    void Detach() override;
    float GetCurrentCpu() override;
    bool IsTerminated() override;
    void ResumeIfSuspend() override;

    // Read-only views for tools and tests.
    int64_t SleepMs() const { return __atomic_load_n(&m_sleepMs, __ATOMIC_RELAXED); }
    float Limit() const;
    _ThreadFigures Figures() const override;

protected:
    explicit CCtrlObjectBase(SchedEnv* env);

    // Attach's common half: refuses a bad tid or limit, and a calling thread
    // that cannot be signalled (errno set, false); else records both threads
    // and the limit.
    bool AttachThreads(int tid, float limit);
    // AdjustCpuRatio's common half: refuses a limit out of range (errno set,
    // false); else stores the new limit word.
    bool StoreLimit(float limit);
    // A signal result that says the target has ended ends this object too.
    void DetachIfGone(int signalResult);

    SchedEnv* const m_env;
    // The thread that called Attach, by kernel id: the target of SIGUSR1. A kernel
    // id of an ended thread is refused (ESRCH), where a pthread_t could be reused.
    uint32_t m_thread;
    int m_tid;  // the thread whose CPU time is measured; 0 = not attached
    // Also written by AdjustCpuRatio on the registering thread: whole-word access only.
    float m_limit;
    float m_currentCpu;
    // Read by Dojob inside the signal handler: atomic, so never half-written on i386.
    alignas(8) int64_t m_sleepMs;  // 8-aligned: a 4-aligned i386 qword may tear
    bool m_terminated;
    _SecondCounters m_counters;  // schedule thread only
};
