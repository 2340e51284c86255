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
    std::lock_guard<std::mutex> hold(m_lock);
    Record({Op::kRegister, 0, 0.0f});
    ++m_registrations;
    return 1;
}

void FakeCpuCtrl::Unregister() {
    std::lock_guard<std::mutex> hold(m_lock);
    Record({Op::kUnregister, 0, 0.0f});
    if (m_registrations > 0) {
        --m_registrations;
    }
}

int FakeCpuCtrl::Add(unsigned int tid, float percent) {
    int accepted = 1;
    std::function<void(unsigned int, float)> hook;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        Record({Op::kAdd, tid, percent, t_sleepHoldDepth > 0});
        if (tid == 0 || !(percent >= 0.1f && percent <= 100.0f)) {
            m_limits.erase(tid);  // a refused percentage ends the thread's limit
            m_creators.erase(tid);
            accepted = 0;
        } else {
            m_limits[tid] = percent;
            m_creators.emplace(tid, std::this_thread::get_id());  // the first Add only
        }
        hook = m_addHook;
    }
    if (hook) {
        hook(tid, percent);
    }
    return accepted;
}

void FakeCpuCtrl::Del(unsigned int tid) {
    std::lock_guard<std::mutex> hold(m_lock);
    Record({Op::kDel, tid, 0.0f, t_sleepHoldDepth > 0});
    m_limits.erase(tid);
    m_creators.erase(tid);
}

unsigned int FakeCpuCtrl::ProcessorCount() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_processors;
}

void FakeCpuCtrl::SetProcessorCount(unsigned int processors) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_processors = processors;
}

std::map<unsigned int, float> FakeCpuCtrl::Limits() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_limits;
}

bool FakeCpuCtrl::HasLimit(unsigned int tid) const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_limits.count(tid) != 0;
}

std::map<unsigned int, std::thread::id> FakeCpuCtrl::Creators() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_creators;
}

std::vector<FakeCpuCtrl::Call> FakeCpuCtrl::Calls() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_calls;
}

std::vector<std::pair<unsigned int, float>> FakeCpuCtrl::Adds() const {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<std::pair<unsigned int, float>> adds;
    for (const Call& call : m_calls) {
        if (call.op == Op::kAdd) {
            adds.emplace_back(call.tid, call.percent);
        }
    }
    return adds;
}

int FakeCpuCtrl::Registrations() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_registrations;
}

void FakeCpuCtrl::SetAddHook(std::function<void(unsigned int, float)> hook) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_addHook = std::move(hook);
}

void FakeCpuCtrl::SetRecording(bool on) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_recording = on;
}

void FakeCpuCtrl::Record(const Call& call) {
    if (m_recording) {
        m_calls.push_back(call);
    }
}

void FakeCpuCtrl::ClearCalls() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_calls.clear();
}
