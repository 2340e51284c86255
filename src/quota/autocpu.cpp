// CAutoCpu: the sample window and its three decision rules, the bounded process
// limit spread over the monitored threads, and the CPU groups.
#include "quota/autocpu.h"

#include <math.h>

#include "platform/kvo_word.h"

namespace {

// The scheduler accepts a per-thread limit from 0.1 to 100 percent of one processor;
// a share outside that range falls back to half a processor.
constexpr double kMinThreadShare = 0.1;
constexpr float kMaxThreadShare = 100.0f;
constexpr float kFallbackThreadShare = 50.0f;
constexpr float kStartLimit = 50.0f;

// Rounds through memory to the declared type. On 32-bit x86 the x87 unit keeps
// intermediates in extended precision, which would move the window averages and
// the share's range tests off what the same figures give on x86-64.
template <class T>
T Rounded(T value) {
    volatile T stored = value;
    return stored;
}

// What the quota reads before a configuration is bound: the record's own defaults
// (minimum 5, window of 15 samples), so early monitor calls behave as after init.
const _CpuConf& UnboundCpuConf() {
    static const _CpuConf conf = [] {
        _Autoconf defaults{};
        AutoconfSetDefaults(&defaults);
        return defaults.cpu_conf;
    }();
    return conf;
}

// Scope in which the thread holds a quota lock: a limited host thread put to
// sleep there by the scheduler would stall every other caller (and the
// collector's pushes) for most of a tick, so its sleep waits for the scope's end.
class SleepHeldOff {
public:
    explicit SleepHeldOff(ICpuCtrl* ctrl) : m_ctrl(ctrl) { m_ctrl->HoldSleep(&m_previous); }
    ~SleepHeldOff() { m_ctrl->ResumeSleep(&m_previous); }
    SleepHeldOff(const SleepHeldOff&) = delete;
    SleepHeldOff& operator=(const SleepHeldOff&) = delete;

private:
    ICpuCtrl* m_ctrl;
    sigset_t m_previous;
};

}  // namespace

CAutoCpu::CAutoCpu(ICpuCtrl* ctrl)
    : m_autoSysMaxCpu(kStartLimit),
      m_curCpuLimit(kStartLimit),
      m_lastSysAvgCpu(0.0f),
      m_lastProcAvgCpu(0.0f),
      m_cpuConf(nullptr),
      m_cpuCount(1),
      m_ctrl(ctrl != nullptr ? ctrl : ICpuCtrl::Default()) {
    (void)m_ctrl->Register();
    const unsigned int processors = m_ctrl->ProcessorCount();
    m_cpuCount = processors != 0 ? processors : 1;
}

// Taken in one fork handler and released in another: no scoped guard fits.
void CAutoCpu::LockForFork() {
    m_monitorLock.Lock();
    m_groupLock.WriteLock();
}

void CAutoCpu::UnlockAfterFork() {
    m_groupLock.WriteUnlock();
    m_monitorLock.Unlock();
}

void CAutoCpu::RenewLocksInChild() {
    m_monitorLock.RenewInChild();
    m_groupLock.RenewInChild();
}

CAutoCpu::~CAutoCpu() {
    // Control objects of our threads are left to the scheduler's own teardown.
    m_ctrl->Unregister();
    m_cpuGroups.clear();
    m_monitorThreads.clear();
    m_cpuFactors.clear();
}

// ---- Quota ----------------------------------------------------------------

float CAutoCpu::ProcMin() const {
    const _CpuConf* conf = m_cpuConf.load(std::memory_order_acquire);
    return WordLoad(conf != nullptr ? conf->proc_min : UnboundCpuConf().proc_min);
}

uint32_t CAutoCpu::AdjustCycle() const {
    const _CpuConf* conf = m_cpuConf.load(std::memory_order_acquire);
    const uint32_t cycle =
        WordLoad(conf != nullptr ? conf->adjust_cycle : UnboundCpuConf().adjust_cycle);
    return cycle != 0 ? cycle : 1;  // an empty window would never decide
}

void CAutoCpu::AdjustCpu(_CpuFactor* sample) {
    const float limit = CalcCpuBySub(sample);
    if (limit == 0.0f) {
        return;
    }
    SetCurrentCpuLimit(limit);
}

float CAutoCpu::CalcCpuBySub(_CpuFactor* sample) { return CalcCpu(sample, Rule::kSub); }
float CAutoCpu::CalcCpuQuota(_CpuFactor* sample) { return CalcCpu(sample, Rule::kQuota); }
float CAutoCpu::CalcCpuEqual(_CpuFactor* sample) { return CalcCpu(sample, Rule::kEqual); }

// The window step shared by the three rules: a baseline window first, then one
// decision per full window of fresh samples.
float CAutoCpu::CalcCpu(_CpuFactor* sample, Rule rule) {
    if (sample == nullptr) {
        return 0.0f;
    }
    const size_t window = AdjustCycle();
    if (m_cpuFactors.size() >= window) {
        m_cpuFactors.pop_front();
    }
    m_cpuFactors.push_back(*sample);
    if (m_cpuFactors.size() < window) {
        return 0.0f;
    }
    double sumSys = 0.0;
    double sumProc = 0.0;
    for (const _CpuFactor& factor : m_cpuFactors) {
        sumSys += factor.sys_cpu;
        sumProc += factor.proc_cpu;
    }
    const double count = static_cast<double>(m_cpuFactors.size());
    const float avgSys = Rounded(static_cast<float>(Rounded(sumSys / count)));
    const float avgProc = Rounded(static_cast<float>(Rounded(sumProc / count)));
    if (m_lastSysAvgCpu == 0.0f || m_lastProcAvgCpu == 0.0f) {
        // Baseline: keep the samples so the next one slides the window.
        m_lastSysAvgCpu = avgSys;
        m_lastProcAvgCpu = avgProc;
        return 0.0f;
    }
    float result = 0.0f;
    switch (rule) {
        case Rule::kSub:
            result = RuleBySub(avgSys, avgProc);
            break;
        case Rule::kQuota:
            result = RuleQuota(avgSys);
            break;
        case Rule::kEqual:
            result = RuleEqual(avgSys);
            break;
    }
    m_lastSysAvgCpu = avgSys;
    m_lastProcAvgCpu = avgProc;
    m_cpuFactors.clear();
    return Rounded(result);
}

// Grants what the process used plus the headroom under the ceiling, or minus
// the overshoot above it.
float CAutoCpu::RuleBySub(float avgSys, float avgProc) {
    const float ceiling = WordLoad(m_autoSysMaxCpu);
    float result;
    if (avgSys >= ceiling) {
        const float over = avgSys - ceiling;
        result = avgProc > over ? avgProc - over : ProcMin();
    } else {
        result = ceiling - avgSys + avgProc;
    }
    KVO_LOGD(
        "current system avg cpu %0.2f,  proc avg cpu %0.2f, last proc limit %0.2f, cur proc "
        "limit %0.2f",
        avgSys, avgProc, WordLoad(m_curCpuLimit), result);
    return result;
}

// Steps by bands of the deviation from the ceiling, widest band first.
float CAutoCpu::RuleQuota(float avgSys) {
    const float ceiling = WordLoad(m_autoSysMaxCpu);
    const float limit = WordLoad(m_curCpuLimit);
    KVO_LOGD("current system avg cpu %0.2f", avgSys);
    const bool down = avgSys >= ceiling;
    const float deviation =
        Rounded(static_cast<float>(fabs(static_cast<double>(avgSys) - ceiling)));
    const double headroom = 100.0 - ceiling;
    float step;
    if (deviation < 2.0) {
        step = 0.0f;
    } else if (deviation > headroom / 1.4) {
        step = 10.0f;
    } else if (deviation > headroom / 1.6) {
        step = 5.0f;
    } else if (deviation > headroom / 1.8) {
        step = deviation;
    } else if (deviation > headroom / 2) {
        step = static_cast<float>(deviation / 1.5);
    } else {
        step = static_cast<float>(deviation * 0.5);
    }
    return down ? limit - step : limit + step;
}

// Fixed steps: large when the load moves the wrong way, small otherwise.
float CAutoCpu::RuleEqual(float avgSys) {
    const float ceiling = WordLoad(m_autoSysMaxCpu);
    const float limit = WordLoad(m_curCpuLimit);
    KVO_LOGD("current system avg cpu %0.2f", avgSys);
    const bool rising = avgSys > m_lastSysAvgCpu;
    if (avgSys >= ceiling) {
        return rising ? limit - 5.0f : limit - 1.0f;
    }
    return rising ? limit + 1.0f : limit + 5.0f;
}

void CAutoCpu::SetCurrentCpuLimit(float limit) { PushCurrentLimit(limit, nullptr); }

// A control object signals the thread that made the first Add of its id, so a
// push never makes that first Add for another thread: an id whose own join has
// not created its object yet (or whose object a refused push ended) is skipped
// and gets its share from its own join. The id joining now is always pushed.
void CAutoCpu::PushCurrentLimit(float limit, const unsigned int* joining) {
    float bounded = limit;
    const float ceiling = WordLoad(m_autoSysMaxCpu);
    if (bounded > ceiling) {
        bounded = ceiling;
    }
    const float minimum = ProcMin();
    if (minimum > bounded) {
        bounded = minimum;  // the minimum wins over a lower ceiling
    }
    KVO_LOGD("current set cpu %0.2f", bounded);

    const SleepHeldOff held(m_ctrl);
    {
        // Lock order: m_monitorLock, then the scheduler's registry lock (inside Add).
        // The joined marks are read and written under the same lock as the push.
        KvoMutexLock hold(&m_monitorLock);
        if (!m_monitorThreads.empty()) {
            const double exact = Rounded(static_cast<double>(m_cpuCount) * bounded /
                                         static_cast<double>(m_monitorThreads.size()));
            float share = Rounded(static_cast<float>(exact));
            if (exact < kMinThreadShare || share > kMaxThreadShare) {
                share = kFallbackThreadShare;
            }
            for (unsigned int tid : m_monitorThreads) {
                const bool own = joining != nullptr && *joining == tid;
                if (!own && m_monitorJoined.count(tid) == 0) {
                    continue;
                }
                if (m_ctrl->Add(tid, share) == 1) {
                    if (own) m_monitorJoined.insert(tid);
                } else {
                    m_monitorJoined.erase(tid);  // no object now: only its own join may make one
                }
            }
        }
    }
    WordStore(m_curCpuLimit, bounded);
}

float CAutoCpu::GetCurrentCpuLimit() { return WordLoad(m_curCpuLimit); }

void CAutoCpu::SetCurrentAutoSysMaxCpu(float ceiling) { WordStore(m_autoSysMaxCpu, ceiling); }

// ---- Monitored threads ----------------------------------------------------

void CAutoCpu::AddMonitorThread(unsigned int tid) {
    const SleepHeldOff held(m_ctrl);
    {
        KvoMutexLock hold(&m_monitorLock);
        m_monitorThreads.insert(tid);
    }
    PushCurrentLimit(WordLoad(m_curCpuLimit), &tid);
}

void CAutoCpu::DelMonitorThread(unsigned int tid) {
    const SleepHeldOff held(m_ctrl);
    {
        // Lock order: m_monitorLock, then the scheduler's registry lock (inside Del).
        KvoMutexLock hold(&m_monitorLock);
        m_monitorThreads.erase(tid);
        m_monitorJoined.erase(tid);  // a rejoin makes its object anew
        m_ctrl->Del(tid);            // also a limit the host set directly
    }
    SetCurrentCpuLimit(WordLoad(m_curCpuLimit));
}

void CAutoCpu::ClearMonitorThread() {
    const SleepHeldOff held(m_ctrl);
    // Lock order: m_monitorLock, then the scheduler's registry lock (inside Del).
    KvoMutexLock hold(&m_monitorLock);
    for (unsigned int tid : m_monitorThreads) {
        m_ctrl->Del(tid);
    }
    m_monitorThreads.clear();
    m_monitorJoined.clear();
}

// ---- CPU groups -------------------------------------------------------------

void CAutoCpu::SetCpuLimitConfig(_CpuConf* conf, std::list<_CpuGroupConf>& groups) {
    m_cpuConf.store(conf, std::memory_order_release);
    if (conf != nullptr) {
        WordStore(m_autoSysMaxCpu, WordLoad(conf->sys_max));
    }
    for (const _CpuGroupConf& entry : groups) {
        const SleepHeldOff held(m_ctrl);
        KvoWriteLock hold(&m_groupLock);
        _CpuGroup& group = m_cpuGroups[entry.name];  // a later entry of one name wins
        group.using_limit = entry.using_limit;
        group.not_using_limit = entry.not_using_limit;
        group.cur_limit = entry.using_limit;
        group.threads.clear();
        group.joined.clear();
    }
}

template <class Change>
uint32_t CAutoCpu::ChangeGroup(const char* name, const unsigned int* joining, Change change) {
    if (name == nullptr) {
        return KVO_E_NO_GROUP;
    }
    const SleepHeldOff held(m_ctrl);
    {
        KvoWriteLock hold(&m_groupLock);
        auto found = m_cpuGroups.find(name);
        if (found == m_cpuGroups.end()) {
            return KVO_E_NO_GROUP;
        }
        change(found->second);
    }
    PushGroup(name, joining);
    return KVO_OK;
}

uint32_t CAutoCpu::AddGroupThread(const char* name, unsigned int tid) {
    return ChangeGroup(name, &tid, [tid](_CpuGroup& group) {
        group.threads.insert(tid);
        group.joined.emplace(tid, false);  // a member already there keeps its mark
    });
}

uint32_t CAutoCpu::DelGroupThread(const char* name, unsigned int tid) {
    // Lock order: m_groupLock, then the scheduler's registry lock (inside Del).
    return ChangeGroup(name, nullptr, [this, tid](_CpuGroup& group) {
        group.threads.erase(tid);
        group.joined.erase(tid);
        m_ctrl->Del(tid);  // also when tid was not a member
    });
}

void CAutoCpu::SetGroupCpuLimit(const char* name) { PushGroup(name, nullptr); }

void CAutoCpu::PushGroup(const char* name, const unsigned int* joining) {
    if (name == nullptr) {
        return;
    }
    const SleepHeldOff held(m_ctrl);
    // Lock order: m_groupLock, then the scheduler's registry lock (inside Add).
    KvoReadLock hold(&m_groupLock);
    auto found = m_cpuGroups.find(name);
    if (found != m_cpuGroups.end()) {
        PushGroupLocked(found->second, joining);
    }
}

// Exclusive for the whole switch: cur_limit is written with no reader present,
// and a host's push of the old limit cannot interleave with ours and leave a
// group's threads at mixed shares. The push does not take the lock again.
void CAutoCpu::SetCurGroupCpuLimit(int notUsing) {
    const SleepHeldOff held(m_ctrl);
    // Lock order: m_groupLock, then the scheduler's registry lock (inside Add).
    KvoWriteLock hold(&m_groupLock);
    for (auto& named : m_cpuGroups) {
        _CpuGroup& group = named.second;
        const float target = notUsing != 0 ? group.not_using_limit : group.using_limit;
        if (group.cur_limit != target) {
            group.cur_limit = target;
            PushGroupLocked(group, nullptr);
        }
    }
}

// A group's limit is split evenly and left unbounded: the scheduler refuses a
// share outside its range, which leaves those threads unlimited. As for the
// monitored threads, only a member's own join makes its first Add. The marks
// are atomic because pushes under the shared lock run side by side; the map
// itself changes only under the exclusive lock.
void CAutoCpu::PushGroupLocked(_CpuGroup& group, const unsigned int* joining) {
    if (group.threads.empty()) {
        return;
    }
    const float share = Rounded(group.cur_limit / static_cast<float>(group.threads.size()));
    for (unsigned int tid : group.threads) {
        auto joined = group.joined.find(tid);  // never inserts: the lock may be shared
        if (joined == group.joined.end()) {
            continue;
        }
        const bool own = joining != nullptr && *joining == tid;
        if (!own && !joined->second.load(std::memory_order_relaxed)) {
            continue;
        }
        const bool made = m_ctrl->Add(tid, share) == 1;
        if (own || !made) {
            joined->second.store(made, std::memory_order_relaxed);
        }
    }
}
