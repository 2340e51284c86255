// Test doubles of the scheduler's OS seam.
#include "support/fake_sched_env.h"

#include <errno.h>
#include <string.h>

void FakeSchedEnv::SetFile(const std::string& path, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_files[path] = text;
}

void FakeSchedEnv::RemoveFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_files.erase(path);
}

void FakeSchedEnv::SetTotalTime(int64_t total) {
    SetFile("/proc/stat",
            "cpu  " + std::to_string(total) + " 0 0 0 0 0 0 0 0 0\ncpu0 1 2 3 4 5 6 7 0 0 0\n");
}

std::string FakeSchedEnv::ThreadStatPath(uint32_t t) const {
    return "/proc/" + std::to_string(pid) + "/task/" + std::to_string(t) + "/stat";
}

void FakeSchedEnv::SetThreadTime(uint32_t t, uint64_t utime, uint64_t stime) {
    SetFile(ThreadStatPath(t), std::to_string(t) + " (worker) R 1 2 3 0 -1 4194560 10 0 0 0 " +
                                   std::to_string(utime) + " " + std::to_string(stime) +
                                   " 0 0 20 0 1 0 100 0 0 18446744073709551615\n");
}

void FakeSchedEnv::RemoveThread(uint32_t t) { RemoveFile(ThreadStatPath(t)); }

void FakeSchedEnv::SetThreadCpuNs(uint32_t t, int64_t ns) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_cpuNs[t] = ns;
}

void FakeSchedEnv::ForgetThreadCpu(uint32_t t) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_cpuNs.erase(t);
}

bool FakeSchedEnv::ThreadCpuNs(uint32_t t, int64_t* ns) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_cpuNs.find(t);
    if (it == m_cpuNs.end()) return false;
    *ns = it->second;
    return true;
}

void FakeSchedEnv::SetSignalResult(uint32_t t, int rc) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_signalResults[t] = rc;
}

void FakeSchedEnv::ClearRecords() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_signals.clear();
    m_sleeps.clear();
    m_reads.clear();
}

bool FakeSchedEnv::ReadFile(const char* path, char* buf, unsigned int maxBytes, unsigned int* got) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_reads.emplace_back(path);
    auto it = m_files.find(path);
    if (it == m_files.end()) return false;
    const unsigned int n = static_cast<unsigned int>(std::min<size_t>(it->second.size(), maxBytes));
    memcpy(buf, it->second.data(), n);
    *got = n;
    return true;
}

int FakeSchedEnv::SignalThread(uint32_t t, int sig) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (sig != 0) m_signals.push_back({t, sig});
    auto it = m_signalResults.find(t);
    return it == m_signalResults.end() ? 0 : it->second;
}

void FakeSchedEnv::SleepMs(int64_t ms) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_sleeps.push_back(ms);
    errno = EINTR;  // as an interrupted nanosleep leaves it: callers must not leak it
}

bool FakeSchedEnv::InstallSigusr1(void (*)(int)) {
    if (!installOk) errno = EINVAL;
    return installOk;
}

void RecordingSchedEnv::SleepMs(int64_t ms) {
    if (ms > 0) {
        __atomic_add_fetch(&m_sleepCount, 1, __ATOMIC_SEQ_CST);
        __atomic_store_n(&m_lastSleepTid, static_cast<int64_t>(Real()->CurrentTid()),
                         __ATOMIC_SEQ_CST);
    }
    Real()->SleepMs(ms);
}
