// Recording stand-in for the scheduler behind ICpuCtrl: logs every call and keeps
// the limits the scheduler would hold, with its rules (one entry per thread, a
// percentage outside 0.1 to 100 refused and ending an existing entry).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

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

    int Register() override;
    void Unregister() override;
    int Add(unsigned int tid, float percent) override;
    void Del(unsigned int tid) override;
    unsigned int ProcessorCount() override { return m_processors; }
    // Counted per thread; no real signal mask is touched.
    void HoldSleep(sigset_t* previous) override;
    void ResumeSleep(const sigset_t* previous) override;
    // How deep the calling thread holds the sleep signal off (0: not at all).
    static int SleepHoldDepth();

    // Limits now held, by thread id.
    std::map<unsigned int, float> Limits() const { return Locked(m_limits); }
    // For each limit now held, the thread whose Add created it: the thread the
    // scheduler's control object would signal.
    std::map<unsigned int, std::thread::id> Creators() const { return Locked(m_creators); }
    std::vector<Call> Calls() const { return Locked(m_calls); }
    // Only the Add calls, in order, as (tid, percent).
    std::vector<std::pair<unsigned int, float>> Adds() const;
    int Registrations() const { return Locked(m_registrations); }
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
    // Off: limits are still kept but calls are not logged (long concurrent runs).
    void SetRecording(bool on) {
        Hold hold(m_lock);
        m_recording = on;
    }

private:
    using Hold = std::lock_guard<std::mutex>;
    // A copy of a member taken under the fake's lock.
    template <class T>
    T Locked(const T& value) const {
        Hold hold(m_lock);
        return value;
    }
    void Record(const Call& call);  // the caller holds m_lock

    mutable std::mutex m_lock;
    const unsigned int m_processors;
    int m_registrations = 0;
    bool m_recording = true;
    std::function<void(unsigned int, float)> m_addHook;
    std::map<unsigned int, float> m_limits;
    std::map<unsigned int, std::thread::id> m_creators;
    std::vector<Call> m_calls;
};
