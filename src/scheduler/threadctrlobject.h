// Per-thread duty cycle: measures one limited thread and decides how long it
// sleeps in each schedule tick, then signals it to sleep.
#pragma once

#include <stdint.h>

#include "scheduler/ctrlfigures.h"
#include "scheduler/ctrlobject.h"
#include "scheduler/schedenv.h"

class CThreadCtrlObject : public CLifeCycleImpl<ICtrlObject>, public IStatusFigures {
public:
    explicit CThreadCtrlObject(SchedEnv* env = SchedEnv::Default());
    ~CThreadCtrlObject() override;

    bool Attach(int tid, float limit) override;
    void Detach() override;
    bool AdjustCpuRatio(float limit) override;
    void RefreshTime(long long elapsedMs) override;
    float GetCurrentCpu() override;
    bool IsTerminated() override;
    void ResumeIfSuspend() override;
    void Dojob() override;

    void NotifyThread();
    void CalcRatio(long long tickMs);
    void GetThreadCpu();

    // Read-only views for the scheduler's tools and tests.
    int64_t SleepMs() const { return __atomic_load_n(&m_sleepMs, __ATOMIC_RELAXED); }
    float Ratio() const { return m_ratio; }
    float SampleCpu() const { return m_sampleCpu; }
    float Limit() const;
    _ThreadFigures Figures() const override;

    // Weight of a new sample against the smoothed usage U, for limit L.
    static float SmoothingWeight(float usage, float limit, float sample);

private:
    float HistoryMean() const;
    void CloseSecond();

    SchedEnv* const m_env;
    // The thread that called Attach, by kernel id: the target of SIGUSR1. A kernel
    // id of an ended thread is refused (ESRCH), where a pthread_t could be reused.
    uint32_t m_thread;
    int m_tid;  // the thread whose CPU time is measured; 0 = not attached
    int m_cpuCount;
    float m_sampleCpu;
    // m_limit, m_scaledLimit, m_currentCpu and m_historyIndex are also written by
    // AdjustCpuRatio on the registering thread: whole-word loads and stores only.
    float m_limit;
    float m_scaledLimit;
    float m_ratio;
    // Read by Dojob inside the signal handler: atomic, so never half-written on i386.
    alignas(8) int64_t m_sleepMs;  // 8-aligned: a 4-aligned i386 qword may tear
    float m_currentCpu;
    float m_history[2];
    int m_historyIndex;
    int64_t m_lastThreadTime;
    int64_t m_lastTotalTime;
    int64_t m_elapsedMs;
    int64_t m_markMs;
    bool m_terminated;

    // Figures for the status answer; written and read on the schedule thread only.
    _SecondCounters m_counters;
    int64_t m_secondThreadTicks;  // measured since the last one-second mark
    int64_t m_secondTotalTicks;
};
