#include "support/fake_cpu_ctrl.h"

namespace {
thread_local int t_sleepHoldDepth = 0;
}  // namespace

void FakeCpuCtrl::HoldSleep(sigset_t* previous) {
    sigemptyset(previous);
    ++t_sleepHoldDepth;
}

void FakeCpuCtrl::ResumeSleep(const sigset_t* /*previous*/) { --t_sleepHoldDepth; }

int FakeCpuCtrl::SleepHoldDepth() { return t_sleepHoldDepth; }

int FakeCpuCtrl::Register() {
    Hold hold(m_lock);
    Record({Op::kRegister, 0, 0.0f});
    ++m_registrations;
    return 1;
}

void FakeCpuCtrl::Unregister() {
    Hold hold(m_lock);
    Record({Op::kUnregister, 0, 0.0f});
    if (m_registrations > 0) --m_registrations;
}

int FakeCpuCtrl::Add(unsigned int tid, float percent) {
    const bool accepted = tid != 0 && percent >= 0.1f && percent <= 100.0f;
    std::function<void(unsigned int, float)> hook;
    {
        Hold hold(m_lock);
        Record({Op::kAdd, tid, percent, t_sleepHoldDepth > 0});
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

void FakeCpuCtrl::Del(unsigned int tid) {
    Hold hold(m_lock);
    Record({Op::kDel, tid, 0.0f, t_sleepHoldDepth > 0});
    m_limits.erase(tid);
    m_creators.erase(tid);
}

std::vector<std::pair<unsigned int, float>> FakeCpuCtrl::Adds() const {
    std::vector<std::pair<unsigned int, float>> adds;
    for (const Call& call : Calls()) {
        if (call.op == Op::kAdd) adds.emplace_back(call.tid, call.percent);
    }
    return adds;
}

void FakeCpuCtrl::Record(const Call& call) {
    if (m_recording) m_calls.push_back(call);
}
