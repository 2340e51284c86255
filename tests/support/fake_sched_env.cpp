// Test doubles of the scheduler's OS seam.
#include "support/fake_sched_env.h"

#include <errno.h>
#include <string.h>

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

bool FakeSchedEnv::ThreadCpuNs(uint32_t t, int64_t* ns) {
    auto it = cpuNs.find(t);
    if (it == cpuNs.end()) return false;
    *ns = it->second;
    return true;
}

bool FakeSchedEnv::ReadFile(const char* path, char* buf, unsigned int maxBytes, unsigned int* got) {
    auto it = files.find(path);
    if (it == files.end()) return false;
    const unsigned int n = static_cast<unsigned int>(std::min<size_t>(it->second.size(), maxBytes));
    memcpy(buf, it->second.data(), n);
    *got = n;
    return true;
}

int FakeSchedEnv::SignalThread(uint32_t t, int sig) {
    if (sig != 0) signals.push_back({t, sig});
    auto it = signalResults.find(t);
    return it == signalResults.end() ? 0 : it->second;
}

void FakeSchedEnv::SleepMs(int64_t ms) {
    sleeps.push_back(ms);
    errno = EINTR;  // as an interrupted nanosleep leaves it: callers must not leak it
}

bool FakeSchedEnv::InstallSigusr1(void (*)(int)) {
    if (!installOk) errno = EINVAL;
    return installOk;
}

void RecordingSchedEnv::SleepMs(int64_t ms) {
    if (ms > 0) __atomic_add_fetch(&m_sleepCount, 1, __ATOMIC_SEQ_CST);
    Real()->SleepMs(ms);
}
