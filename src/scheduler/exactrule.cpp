// The exact mode's budget arithmetic.
#include "scheduler/exactrule.h"

#include <math.h>

namespace {

// ns * ppm / 10^6 without overflow for intervals of up to months: the interval
// is taken in whole microseconds first.
int64_t ShareOf(int64_t ns, int64_t ppm) { return ns / 1000 * ppm / 1000; }

// The rate a thread runs at while awake is learnt from intervals with at least
// this much awake time. It follows a rise at once and a fall by a quarter of
// the gap per tick, and is taken as at least a quarter: guessing it too high
// only costs the thread a tick of credit, guessing it too low lets it run
// beyond its budget when the processor frees up.
constexpr int64_t kMinAwakeNs = 2000000;
constexpr int64_t kMinRatePpm = CExactRule::kPpmPerProcessor / 4;
constexpr int64_t kRateFallDivisor = 4;

int64_t Clamp(int64_t value, int64_t low, int64_t high) {
    return value < low ? low : (value > high ? high : value);
}

}  // namespace

int64_t CExactRule::LimitPpm(float percent) {
    return static_cast<int64_t>(lroundf(percent * 10000.0f));
}

void CExactRule::Reset() {
    m_haveBaseline = false;
    m_creditNs = 0;
    m_sleepNs = 0;
    m_ratePpm = kPpmPerProcessor;
    m_lastShare = -1;
}

int64_t CExactRule::Step(int64_t cpuNs, int64_t wallNs, int64_t tickNs, int64_t limitPpm) {
    if (!m_haveBaseline) {
        // Nothing measured yet: no reason to hold the thread back.
        m_haveBaseline = true;
        m_lastCpuNs = cpuNs;
        m_lastWallNs = wallNs;
        m_appliedPpm = limitPpm;
        m_creditNs = 0;
        m_sleepNs = 0;
        m_ratePpm = kPpmPerProcessor;
        return 0;
    }
    const int64_t wall = wallNs - m_lastWallNs;
    if (wall <= 0) return m_sleepNs;  // no time has passed: the plan stands
    int64_t used = cpuNs - m_lastCpuNs;
    if (used < 0) used = 0;
    m_lastCpuNs = cpuNs;
    m_lastWallNs = wallNs;
    m_lastShare = static_cast<float>(static_cast<double>(used) * 100.0 / static_cast<double>(wall));
    // Awake: the interval less the sleep planned for it. Too short a time
    // awake says nothing about the rate; the last one stands.
    const int64_t awake = wall - m_sleepNs;
    if (awake >= kMinAwakeNs) {
        const int64_t seen = Clamp(used * kPpmPerProcessor / awake, 0, kPpmPerProcessor);
        m_ratePpm = seen >= m_ratePpm ? seen : m_ratePpm - (m_ratePpm - seen) / kRateFallDivisor;
        if (m_ratePpm < kMinRatePpm) m_ratePpm = kMinRatePpm;
    }

    // The interval ran under the plan made for the previous limit: judge it by
    // that one, so a change of limit neither forgives nor charges the past.
    m_creditNs += ShareOf(wall, m_appliedPpm) - used;
    m_appliedPpm = limitPpm;
    const int64_t allowance = ShareOf(tickNs, m_appliedPpm);
    m_creditNs = Clamp(m_creditNs, -allowance, tickNs - allowance);
    const int64_t awakeNeeded = (allowance + m_creditNs) * kPpmPerProcessor / m_ratePpm;
    m_sleepNs = Clamp(tickNs - awakeNeeded, 0, tickNs);
    return m_sleepNs;
}
