// The exact mode's rule: from a thread's CPU time and the clock at each tick,
// how long the thread sleeps in the next tick to hold a share of one processor.
#pragma once

#include <stdint.h>

// A budget with clamped carry-over. Every interval earns the limit's share of
// its wall time and spends the CPU time the thread used; the balance (credit)
// decides the next sleep: the thread may run one tick's allowance plus its
// credit, and stays awake long enough to run that much at the rate it ran
// while awake in the last interval (all of the time for a busy thread with a
// processor of its own; less for one that shares a processor or waits for
// work), sleeping the rest. The credit is clamped to exactly the range the
// sleep can express (0 to one tick), so it never winds up while the thread
// wants less than its limit or cannot get a processor, and a debt is never
// larger than one tick of sleep repays. Integers only: every build computes
// the same sleeps.
class CExactRule {
public:
    static constexpr int64_t kPpmPerProcessor = 1000000;

    // A limit in percent of one processor, in millionths of one processor.
    static int64_t LimitPpm(float percent);

    // Forgets the last reading: the next Step only takes a baseline.
    void Reset();

    // One tick. cpuNs: the thread's CPU time now; wallNs: the monotonic clock
    // now; tickNs: the length of the coming tick; limitPpm: the limit from now
    // on. Returns the sleep planned for the coming tick, 0 to tickNs.
    int64_t Step(int64_t cpuNs, int64_t wallNs, int64_t tickNs, int64_t limitPpm);

    int64_t CreditNs() const { return m_creditNs; }
    int64_t SleepNs() const { return m_sleepNs; }
    // The share of one processor used over the last interval, percent; -1 when
    // no interval has been measured since the last baseline.
    float LastShare() const { return m_lastShare; }

private:
    bool m_haveBaseline = false;
    int64_t m_lastCpuNs = 0;
    int64_t m_lastWallNs = 0;
    int64_t m_appliedPpm = 0;  // the limit the running plan was made for
    int64_t m_creditNs = 0;
    int64_t m_sleepNs = 0;
    int64_t m_ratePpm = kPpmPerProcessor;  // CPU time per awake time, last interval
    float m_lastShare = -1;
};
