// Exact-mode control object: reads one limited thread's CPU time in
// nanoseconds on every tick and signals it to sleep what the budget rule says.
#pragma once

#include <stdint.h>

#include "scheduler/ctrlfigures.h"
#include "scheduler/ctrlobject.h"
#include "scheduler/exactrule.h"
#include "scheduler/schedenv.h"

class CExactCtrlObject : public CLifeCycleImpl<ICtrlObject>, public IStatusFigures {
public:
    explicit CExactCtrlObject(SchedEnv* env = SchedEnv::Default());
    ~CExactCtrlObject() override;

    bool Attach(int tid, float limit) override;
    void Detach() override;
    bool AdjustCpuRatio(float limit) override;
    void RefreshTime(long long elapsedMs) override;
    // The share of one processor measured over the last tick (the limit until
    // the first tick has been measured).
    float GetCurrentCpu() override;
    bool IsTerminated() override;
    void ResumeIfSuspend() override;
    // Signal handler side: sleeps until the end of the sleep planned at the
    // tick, so a signal that arrived late sleeps that much less. One atomic
    // load, a clock read and a nanosleep.
    void Dojob() override;

    // Read-only views for tools and tests.
    int64_t SleepMs() const { return __atomic_load_n(&m_sleepMs, __ATOMIC_RELAXED); }
    float Limit() const;
    int64_t CreditNs() const { return m_rule.CreditNs(); }
    _ThreadFigures Figures() const override;

private:
    SchedEnv* const m_env;
    uint32_t m_thread;  // the thread that called Attach, by kernel id: signalled
    int m_tid;          // the thread whose CPU time is measured; 0 = not attached
    // Written by AdjustCpuRatio on the registering thread: whole-word access only.
    float m_limit;
    float m_currentCpu;
    // Read inside the signal handler: atomic and 8-aligned, never torn on i386.
    alignas(8) int64_t m_wakeNs;   // monotonic time at which the planned sleep ends
    alignas(8) int64_t m_sleepMs;  // the planned sleep, rounded, for the views
    CExactRule m_rule;             // schedule thread only (and Attach, before publication)
    bool m_terminated;

    // Figures for the status answer; written and read on the schedule thread only.
    void CountForSecond(int64_t cpuNs, int64_t nowNs, bool measured, bool signalled);
    int m_ticksInSecond = 0;
    int64_t m_prevCpuNs = -1;  // the last measurement, -1 when none
    int64_t m_prevNowNs = 0;
    int64_t m_secondCpuNs = 0;
    int64_t m_secondWallNs = 0;
    _SecondCounters m_counters;
};
