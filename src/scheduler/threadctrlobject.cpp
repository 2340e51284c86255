// Per-thread duty cycle: measurement, smoothing, duty ratio and signalling.
#include "scheduler/threadctrlobject.h"

#include <math.h>
#include <signal.h>
#include <stdlib.h>

#include "platform/kvo_word.h"
#include "scheduler/procstat.h"

#if defined(__i386__) && !defined(__SSE2_MATH__)
// The duty cycle is single-precision arithmetic: on 32-bit x86 it runs in SSE
// registers, as on x86-64, rather than in the x87's wider ones, so both builds
// round every step alike and compute the same sleeps.
#pragma GCC target("sse2", "fpmath=sse")
#endif

namespace {

// The duty-ratio constants work in single precision, as the ratio itself does.
constexpr float kPi = 3.1415925f;
constexpr int64_t kMeasureAfterMs = 500;  // measure on ticks 2, 3 and 4 of a second
constexpr int64_t kRecalcAfterMs = 300;   // recalculate on the same ticks
constexpr int64_t kCycleMs = 1000;        // then a new one-second mark

// now - before in clock ticks, wrapping like the counters: /proc may hold any
// 64-bit figure, and a signed overflow must not decide a thread's sleep.
int64_t TickDelta(int64_t now, int64_t before) {
    return static_cast<int64_t>(static_cast<uint64_t>(now) - static_cast<uint64_t>(before));
}

struct StepRule {
    float alpha;  // weight of the new target
    int steps;    // how often R may be pulled toward the limit
};

StepRule StepFor(float distance) {
    if (distance >= 5.0f) return {0.25f, 8};
    if (distance >= 2.0f) return {0.125f, 4};
    if (distance >= 1.0f) return {0.025f, 2};
    return {0.025f, 1};
}

}  // namespace

CThreadCtrlObject::CThreadCtrlObject(SchedEnv* env)
    : CCtrlObjectBase(env),
      m_cpuCount(0),
      m_sampleCpu(0),
      m_scaledLimit(0),
      m_ratio(0),
      m_history{0, 0},
      m_historyIndex(0),
      m_lastThreadTime(0),
      m_lastTotalTime(0),
      m_elapsedMs(0),
      m_markMs(0),
      m_secondThreadTicks(0),
      m_secondTotalTicks(0) {
    m_cpuCount = static_cast<int>(m_env->CpuCount());
}

bool CThreadCtrlObject::Attach(int tid, float limit) {
    if (!AttachThreads(tid, limit)) return false;
    // Runs before the object is published: plain stores are enough.
    m_cpuCount = static_cast<int>(m_env->CpuCount());
    m_sampleCpu = 0;
    m_scaledLimit = static_cast<float>(m_cpuCount) * limit / 100.0f;
    m_ratio = m_scaledLimit;
    __atomic_store_n(&m_sleepMs, 0, __ATOMIC_RELAXED);
    m_history[0] = m_history[1] = 0;
    m_historyIndex = 0;
    m_lastThreadTime = 0;
    m_lastTotalTime = 0;
    return true;
}

// Not excluded from the per-tick step: each field is stored whole, and a tick
// that reads a mix of old and new values only delays the new limit by a tick.
bool CThreadCtrlObject::AdjustCpuRatio(float limit) {
    if (!StoreLimit(limit)) return false;
    WordStore(m_scaledLimit, static_cast<float>(m_cpuCount) * limit / 100.0f);
    WordStore(m_currentCpu, limit);
    WordStore(m_historyIndex, 0);
    return true;
}

void CThreadCtrlObject::RefreshTime(long long elapsedMs) {
    if (IsTerminated() || m_tid == 0) return;
    m_elapsedMs += elapsedMs;
    GetThreadCpu();
    CalcRatio(elapsedMs);
    NotifyThread();
    if (m_elapsedMs - m_markMs >= kCycleMs) {
        m_markMs = m_elapsedMs;
        CloseSecond();
    }
}

// The three measurements of a one-second cycle span exactly the second since the
// previous mark, so their sums give the share over that second.
void CThreadCtrlObject::CloseSecond() {
    m_counters.Close(m_secondTotalTicks > 0 ? static_cast<double>(m_secondThreadTicks) /
                                                  m_secondTotalTicks * 100.0 * m_cpuCount
                                            : -1);
    m_secondThreadTicks = 0;
    m_secondTotalTicks = 0;
}

// Runs inside the SIGUSR1 handler of the limited thread: one atomic load and a
// nanosleep, nothing else.
void CThreadCtrlObject::Dojob() { m_env->SleepMs(SleepMs()); }

void CThreadCtrlObject::NotifyThread() {
    if (WordLoad(m_limit) >= 100.0f || SleepMs() <= 0) return;
    const int rc = m_env->SignalThread(m_thread, SIGUSR1);
    DetachIfGone(rc);
    if (rc == 0) m_counters.CountSignal();
}

void CThreadCtrlObject::CalcRatio(long long tickMs) {
    const float usage = WordLoad(m_currentCpu);
    if (m_elapsedMs - m_markMs < kRecalcAfterMs || usage <= 0.000001) return;
    const float limit = WordLoad(m_limit);
    const float scaled = WordLoad(m_scaledLimit);
    const float distance = fabsf(usage - limit);
    const StepRule rule = StepFor(distance);

    // R = S * (L/U)^2, then pulled toward the limit while it stays in [0.1, 0.9].
    double r = static_cast<double>(limit) * scaled / usage * limit / usage;
    if (r >= 0.1 && r <= 0.9) {
        for (int i = 1; i < rule.steps; ++i) {
            r = static_cast<float>(r) * limit / usage;
            if (r > 0.9 || r < 0.1) break;
        }
    }

    // The further usage lies from the limit (angle of D over the larger of the
    // two, in 3-degree steps), the harder the target is pulled toward it.
    const float larger = usage > limit ? usage : limit;
    const int theta = static_cast<int>(asinf(distance / larger) * 180.0f / kPi);
    const int k = theta / 3;
    const float s = sinf(static_cast<float>(k) * kPi / 180.0f);
    const double target = usage > limit ? r * (1.0f - s) : r * (1.0f + s);

    float ratio =
        (1.0f - rule.alpha) * m_ratio + rule.alpha * sqrtf(m_ratio * static_cast<float>(target));
    if (ratio > 1.0f) {
        ratio = 0.999f;
    } else if (ratio < 0.001f) {
        ratio = 0.001f;
    }
    m_ratio = ratio;

    const int64_t run = static_cast<int64_t>(static_cast<float>(tickMs) * m_ratio);
    int64_t sleepMs = tickMs - run;
    if (sleepMs <= 1) sleepMs = 0;
    __atomic_store_n(&m_sleepMs, sleepMs, __ATOMIC_RELAXED);
}

void CThreadCtrlObject::GetThreadCpu() {
    if (m_elapsedMs - m_markMs < kMeasureAfterMs) return;
    const int64_t total = GetTotalCpuTime(m_env);
    const int64_t deltaTotal = TickDelta(total, m_lastTotalTime);
    if (deltaTotal == 0) return;
    m_lastTotalTime = total;

    const int64_t threadTime = static_cast<int64_t>(GetThreadTime(m_tid, m_env));
    if (m_lastThreadTime == 0) {
        m_lastThreadTime = threadTime;  // baseline only
        return;
    }
    const int64_t deltaThread = TickDelta(threadTime, m_lastThreadTime);
    m_lastThreadTime = threadTime;
    if (deltaThread >= 0) {  // a vanished thread reads as 0: no share from that
        m_secondThreadTicks += deltaThread;
        m_secondTotalTicks += deltaTotal;
    }

    float sample =
        static_cast<float>(static_cast<double>(deltaThread) / deltaTotal * 100.0 * m_cpuCount);
    if (sample - 100.0f > 0.000001) {
        sample = 100.0f;
    } else if (sample <= 0.000001) {
        sample = 0.001f;
    }
    m_sampleCpu = sample;

    const float usage = WordLoad(m_currentCpu);
    const float weight = SmoothingWeight(usage, WordLoad(m_limit), sample);
    const int slot = WordLoad(m_historyIndex);
    m_history[slot] = sample;
    WordStore(m_historyIndex, (slot + 1) % 2);
    WordStore(m_currentCpu, (1.0f - weight) * usage + weight * HistoryMean());
}

float CThreadCtrlObject::SmoothingWeight(float usage, float limit, float sample) {
    const float relative = usage / limit >= 0.95 ? usage / limit : sample / limit;
    // A sample that has just risen from at or below the limit to at or above it
    // counts seven times as much.
    const float base = (usage <= limit && limit <= sample && sample > usage) ? 0.175f : 0.025f;
    if (relative <= 1.05) return base;
    if (relative < 5.0) return relative * base;
    return 10.0f * base;
}

float CThreadCtrlObject::HistoryMean() const {
    const float h0 = m_history[0];
    const float h1 = m_history[1];
    if (h0 <= 0) return 0;
    if (h1 <= 0) return h0;
    return (h0 + h1) / 2;
}
