// Exact-mode control object: reads one limited thread's CPU time in
// nanoseconds on every tick and signals it to sleep what the budget rule says.
#pragma once

#include <stdint.h>

#include "scheduler/ctrlobjectbase.h"
#include "scheduler/exactrule.h"

// GetCurrentCpu: the share of one processor measured over the last tick (the
// limit until the first tick has been measured).
class CExactCtrlObject : public CCtrlObjectBase {
public:
    explicit CExactCtrlObject(SchedEnv* env = SchedEnv::Default());

    // Read-only view for tools and tests.
    int64_t CreditNs() const { return m_rule.CreditNs(); }

    bool Attach(int tid, float limit) override;
    bool AdjustCpuRatio(float limit) override;
    void RefreshTime(long long elapsedMs) override;
    // Signal handler side: sleeps until the end of the sleep planned at the
    // tick, so a signal that arrived late sleeps that much less. One atomic
    // load, a clock read and a nanosleep.
    void Dojob() override;

private:
    // Read inside the signal handler: atomic and 8-aligned, never torn on i386.
    alignas(8) int64_t m_wakeNs;  // monotonic time at which the planned sleep ends
    CExactRule m_rule;            // schedule thread only (and Attach, before publication)

    // Figures for the status answer; written and read on the schedule thread only.
    void CountForSecond(int64_t cpuNs, int64_t nowNs, bool measured, bool signalled);
    int m_ticksInSecond = 0;
    int64_t m_prevCpuNs = -1;  // the last measurement, -1 when none
    int64_t m_prevNowNs = 0;
    int64_t m_secondCpuNs = 0;
    int64_t m_secondWallNs = 0;
};
