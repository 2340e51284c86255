// Recording stand-in for the scheduler behind ICpuCtrl: logs every call and keeps
// the limits the scheduler would hold, with its rules (one entry per thread, a
// percentage outside 0.1 to 100 refused and ending an existing entry); and a
// quota bound to it.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "quota/autocpu.h"
#include "quota/cpuctrl.h"

class FakeCpuCtrl : public ICpuCtrl {
public:
    enum class Op { kRegister, kUnregister, kAdd, kDel };
    struct Call {
        Op op;
        unsigned int tid;
        float percent;
        bool sleepHeld = false;  // the calling thread held the sleep signal off
    };

    explicit FakeCpuCtrl(unsigned int processors = 2) : m_processors(processors) {}

    int Register() override {
        Record({Op::kRegister, 0, 0.0f});
        return 1;
    }
    void Unregister() override { Record({Op::kUnregister, 0, 0.0f}); }
    int Add(unsigned int tid, float percent) override {
        const bool accepted = tid != 0 && percent >= 0.1f && percent <= 100.0f;
        std::function<void(unsigned int, float)> hook;
        {
            Hold hold(m_lock);
            Log({Op::kAdd, tid, percent, SleepHoldDepth() > 0});
            if (accepted) {
                m_limits[tid] = percent;
                m_creators.emplace(tid, std::this_thread::get_id());  // the first Add only
            } else {
                m_limits.erase(tid);  // a refused percentage ends the thread's limit
                m_creators.erase(tid);
            }
            hook = m_addHook;
        }
        if (hook) hook(tid, percent);
        return accepted ? 1 : 0;
    }
    void Del(unsigned int tid) override {
        Hold hold(m_lock);
        Log({Op::kDel, tid, 0.0f, SleepHoldDepth() > 0});
        m_limits.erase(tid);
        m_creators.erase(tid);
    }
    unsigned int ProcessorCount() override { return m_processors; }
    // Counted per thread; no real signal mask is touched.
    void HoldSleep(sigset_t* previous) override {
        sigemptyset(previous);
        ++SleepHoldDepth();
    }
    void ResumeSleep(const sigset_t* /*previous*/) override { --SleepHoldDepth(); }
    // How deep the calling thread holds the sleep signal off (0: not at all).
    static int& SleepHoldDepth() {
        static thread_local int depth = 0;
        return depth;
    }

    // Limits now held, by thread id.
    std::map<unsigned int, float> Limits() const { return Locked(m_limits); }
    // For each limit now held, the thread whose Add created it: the thread the
    // scheduler's control object would signal.
    std::map<unsigned int, std::thread::id> Creators() const { return Locked(m_creators); }
    std::vector<Call> Calls() const { return Locked(m_calls); }
    // Only the Add calls, in order, as (tid, percent).
    std::vector<std::pair<unsigned int, float>> Adds() const {
        std::vector<std::pair<unsigned int, float>> adds;
        for (const Call& call : Calls()) {
            if (call.op == Op::kAdd) adds.emplace_back(call.tid, call.percent);
        }
        return adds;
    }
    void ClearCalls() {
        Hold hold(m_lock);
        m_calls.clear();
    }
    // Called after each Add has taken effect, outside the fake's lock, on the
    // calling thread; lets a test act in the middle of a push. Null clears it.
    void SetAddHook(std::function<void(unsigned int tid, float percent)> hook) {
        Hold hold(m_lock);
        m_addHook = std::move(hook);
    }

private:
    using Hold = std::lock_guard<std::mutex>;
    // A copy of a member taken under the fake's lock.
    template <class T>
    T Locked(const T& value) const {
        Hold hold(m_lock);
        return value;
    }
    void Record(const Call& call) {
        Hold hold(m_lock);
        Log(call);
    }
    // Long concurrent runs log only their first calls. The caller holds m_lock.
    void Log(const Call& call) {
        if (m_calls.size() < 100000) m_calls.push_back(call);
    }

    mutable std::mutex m_lock;
    const unsigned int m_processors;
    std::function<void(unsigned int, float)> m_addHook;
    std::map<unsigned int, float> m_limits;
    std::map<unsigned int, std::thread::id> m_creators;
    std::vector<Call> m_calls;
};

// A quota over a fake scheduler with a bound configuration and groups.
struct QuotaRig {
    explicit QuotaRig(float ceiling, float minimum = 5, uint32_t cycle = 15, unsigned int cpus = 2,
                      std::list<_CpuGroupConf> g = {})
        : conf{ceiling, minimum, 50, 1, cycle, ceiling}, groups(std::move(g)), fake(cpus) {
        quota.SetCpuLimitConfig(&conf, groups);
        fake.ClearCalls();
    }
    std::vector<std::pair<unsigned int, float>> Push(
        float limit) {  // the Add calls one new process limit makes
        fake.ClearCalls();
        quota.SetCurrentCpuLimit(limit);
        return fake.Adds();
    }
    _CpuConf conf;
    std::list<_CpuGroupConf> groups;
    FakeCpuCtrl fake;
    CAutoCpu quota{&fake};
};
