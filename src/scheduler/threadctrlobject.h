// Per-thread duty cycle: measures one limited thread and decides how long it
// sleeps in each schedule tick, then signals it to sleep.
#pragma once

#include <stdint.h>

#include "scheduler/ctrlobjectbase.h"

class CThreadCtrlObject : public CCtrlObjectBase {
public:
    explicit CThreadCtrlObject(SchedEnv* env = SchedEnv::Default());

    bool Attach(int tid, float limit) override;
    bool AdjustCpuRatio(float limit) override;
    void RefreshTime(long long elapsedMs) override;
    void Dojob() override;

    void NotifyThread();
    void CalcRatio(long long tickMs);
    void GetThreadCpu();

    // Read-only views for the scheduler's tools and tests.
    float Ratio() const { return m_ratio; }
    float SampleCpu() const { return m_sampleCpu; }

    // Weight of a new sample against the smoothed usage U, for limit L.
    static float SmoothingWeight(float usage, float limit, float sample);

private:
    float HistoryMean() const;
    void CloseSecond();

    int m_cpuCount;
    float m_sampleCpu;
    // m_scaledLimit and m_historyIndex are also written by AdjustCpuRatio on the
    // registering thread: whole-word loads and stores only.
    float m_scaledLimit;
    float m_ratio;
    float m_history[2];
    int m_historyIndex;
    int64_t m_lastThreadTime;
    int64_t m_lastTotalTime;
    int64_t m_elapsedMs;
    int64_t m_markMs;

    // Figures for the status answer; written and read on the schedule thread only.
    int64_t m_secondThreadTicks;  // measured since the last one-second mark
    int64_t m_secondTotalTicks;
};
