// Recording stand-in for the scheduler behind ICpuCtrl: the Add calls in order and
// the limits the scheduler would hold, with its rules (one entry per thread, a
// percentage outside 0.1 to 100 refused and ending an existing entry); and a
// quota bound to it.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "quota/autocpu.h"
#include "quota/cpuctrl.h"

class FakeCpuCtrl : public ICpuCtrl {
public:
    using AddCalls = std::vector<std::pair<unsigned int, float>>;

    explicit FakeCpuCtrl(unsigned int processors = 2) : m_processors(processors) {}

    int Register() override { return ++registrations > 0 ? 1 : 0; }
    void Unregister() override { --registrations; }
    int Add(unsigned int tid, float percent) override {
        const bool accepted = tid != 0 && percent >= 0.1f && percent <= 100.0f;
        std::unique_lock<std::mutex> hold(m_lock);
        if (sleepHoldDepth == 0) ++unheld;
        // Long concurrent runs keep only their first calls.
        if (m_adds.size() < 100000) m_adds.emplace_back(tid, percent);
        if (accepted) {
            m_limits[tid] = percent;
            m_creators.emplace(tid, std::this_thread::get_id());  // the first Add only
        } else {
            m_limits.erase(tid);  // a refused percentage ends the thread's limit
            m_creators.erase(tid);
        }
        hold.unlock();  // the hook may call in again
        if (m_addHook) m_addHook(tid, percent);
        return accepted ? 1 : 0;
    }
    void Del(unsigned int tid) override {
        Hold hold(m_lock);
        if (sleepHoldDepth == 0) ++unheld;
        m_limits.erase(tid);
        m_creators.erase(tid);
    }
    unsigned int ProcessorCount() override { return m_processors; }
    // Counted per thread; no real signal mask is touched.
    void HoldSleep(sigset_t* previous) override {
        sigemptyset(previous);
        ++sleepHoldDepth;
    }
    void ResumeSleep(const sigset_t* /*previous*/) override { --sleepHoldDepth; }
    // How deep the calling thread holds the sleep signal off (0: not at all).
    static inline thread_local int sleepHoldDepth = 0;

    // Limits now held, by thread id.
    std::map<unsigned int, float> Limits() const { return Locked(m_limits); }
    // For each limit now held, the thread whose Add created it: the thread the
    // scheduler's control object would signal.
    std::map<unsigned int, std::thread::id> Creators() const { return Locked(m_creators); }
    // The Add calls since the last ClearCalls, in order.
    AddCalls Adds() const { return Locked(m_adds); }
    void ClearCalls() {
        Hold hold(m_lock);
        m_adds.clear();
        unheld = 0;
    }
    // Called after each Add has taken effect, outside the fake's lock, on the
    // calling thread; lets a test act in the middle of a push. Set it only while
    // no call is under way; null clears it.
    void SetAddHook(std::function<void(unsigned int tid, float percent)> hook) {
        m_addHook = std::move(hook);
    }

    std::atomic<int> registrations{0};  // Register calls not yet undone
    std::atomic<int> unheld{0};  // Add and Del calls since ClearCalls without the sleep held off

private:
    using Hold = std::lock_guard<std::mutex>;
    // A copy of a member taken under the fake's lock.
    template <class T>
    T Locked(const T& value) const {
        Hold hold(m_lock);
        return value;
    }

    mutable std::mutex m_lock;
    const unsigned int m_processors;
    std::function<void(unsigned int, float)> m_addHook;
    std::map<unsigned int, float> m_limits;
    std::map<unsigned int, std::thread::id> m_creators;
    AddCalls m_adds;
};

// A quota over a fake scheduler with a bound configuration and groups.
struct QuotaRig {
    explicit QuotaRig(float ceiling, float minimum = 5, uint32_t cycle = 15, unsigned int cpus = 2,
                      std::list<_CpuGroupConf> g = {})
        : conf{ceiling, minimum, 50, 1, cycle, ceiling}, groups(std::move(g)), fake(cpus) {
        quota.SetCpuLimitConfig(&conf, groups);
        fake.ClearCalls();
    }
    // The Add calls one new process limit makes.
    FakeCpuCtrl::AddCalls Push(float limit) {
        fake.ClearCalls();
        quota.SetCurrentCpuLimit(limit);
        return fake.Adds();
    }
    _CpuConf conf;
    std::list<_CpuGroupConf> groups;
    FakeCpuCtrl fake;
    CAutoCpu quota{&fake};
};
