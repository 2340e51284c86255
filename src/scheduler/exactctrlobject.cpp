// Exact-mode control object: measurement, budget step and signalling.
#include "scheduler/exactctrlobject.h"

#include <signal.h>

#include "platform/kvo_word.h"

namespace {

constexpr int64_t kNsPerMs = 1000000;

int64_t RoundToMs(int64_t ns) { return (ns + kNsPerMs / 2) / kNsPerMs; }

}  // namespace

CExactCtrlObject::CExactCtrlObject(SchedEnv* env) : CCtrlObjectBase(env), m_wakeNs(0) {}

bool CExactCtrlObject::Attach(int tid, float limit) {
    if (!AttachThreads(tid, limit)) return false;
    m_rule.Reset();
    // The baseline now, so the first tick already judges a whole interval.
    int64_t cpuNs = 0;
    if (m_env->ThreadCpuNs(static_cast<uint32_t>(tid), &cpuNs)) {
        m_rule.Step(cpuNs, m_env->MonotonicNs(), 0, CExactRule::LimitPpm(limit));
    }
    return true;
}

// Only the limit word changes; the next tick sees it and judges the interval
// that ran under the old limit by the old one.
bool CExactCtrlObject::AdjustCpuRatio(float limit) { return StoreLimit(limit); }

void CExactCtrlObject::RefreshTime(long long elapsedMs) {
    if (IsTerminated() || m_tid == 0) return;
    const float limit = WordLoad(m_limit);
    int64_t cpuNs = 0;
    if (!m_env->ThreadCpuNs(static_cast<uint32_t>(m_tid), &cpuNs)) {
        // Unmeasurable: no sleep, and a fresh baseline once it reads again. An
        // ended target is noticed here, as a due signal would notice it.
        m_rule.Reset();
        __atomic_store_n(&m_sleepMs, 0, __ATOMIC_RELAXED);
        DetachIfGone(m_env->SignalThread(m_thread, 0));
        CountForSecond(0, 0, false, false);
        return;
    }
    const int64_t now = m_env->MonotonicNs();
    const int64_t sleepNs =
        m_rule.Step(cpuNs, now, elapsedMs * kNsPerMs, CExactRule::LimitPpm(limit));
    if (m_rule.LastShare() >= 0) WordStore(m_currentCpu, m_rule.LastShare());
    const int64_t sleepMs = RoundToMs(sleepNs);
    __atomic_store_n(&m_sleepMs, sleepMs, __ATOMIC_RELAXED);
    if (limit >= 100.0f || sleepMs <= 0) {
        CountForSecond(cpuNs, now, true, false);
        return;
    }
    // The end of the sleep is published before the signal that reads it.
    __atomic_store_n(&m_wakeNs, now + sleepNs, __ATOMIC_RELEASE);
    const int rc = m_env->SignalThread(m_thread, SIGUSR1);
    DetachIfGone(rc);
    CountForSecond(cpuNs, now, true, rc == 0);
}

// Four ticks make the second whose share and signals the status answer shows.
void CExactCtrlObject::CountForSecond(int64_t cpuNs, int64_t nowNs, bool measured, bool signalled) {
    if (measured && m_prevCpuNs >= 0 && cpuNs >= m_prevCpuNs && nowNs > m_prevNowNs) {
        m_secondCpuNs += cpuNs - m_prevCpuNs;
        m_secondWallNs += nowNs - m_prevNowNs;
    }
    m_prevCpuNs = measured ? cpuNs : -1;
    m_prevNowNs = nowNs;
    if (signalled) m_counters.CountSignal();
    if (++m_ticksInSecond < 4) return;
    m_counters.Close(
        m_secondWallNs > 0 ? 100.0 * static_cast<double>(m_secondCpuNs) / m_secondWallNs : -1);
    m_ticksInSecond = 0;
    m_secondCpuNs = 0;
    m_secondWallNs = 0;
}

void CExactCtrlObject::Dojob() {
    const int64_t left = __atomic_load_n(&m_wakeNs, __ATOMIC_ACQUIRE) - m_env->MonotonicNs();
    if (left > 0) m_env->SleepMs(RoundToMs(left));
}
