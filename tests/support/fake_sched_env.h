// Test doubles of the scheduler's OS seam: FakeSchedEnv scripts /proc and
// records signals and sleeps; RecordingSchedEnv has real signals and sleeps,
// counted.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "scheduler/schedenv.h"

// Unlocked: only the test's thread calls it (a test scheduler's own thread never ticks).
class FakeSchedEnv : public SchedEnv {
public:
    // Knobs the test sets before the code under test runs.
    uint32_t tid = 4242;  // what CurrentTid returns
    uint32_t pid = 1000;  // what ProcessId returns
    unsigned int cpus = 1;
    bool installOk = true;
    int64_t monotonicNs = 0;                   // what MonotonicNs returns
    std::map<std::string, std::string> files;  // what ReadFile finds
    std::map<uint32_t, int64_t> cpuNs;         // what ThreadCpuNs reports; others fail
    std::map<uint32_t, int> signalResults;     // of SignalThread per thread; else 0
    struct Signal {
        uint32_t tid;
        int sig;
    };
    std::vector<Signal> signals;  // every SignalThread call but probes (sig 0)
    std::vector<int64_t> sleeps;

    void SetFile(const std::string& path, const std::string& text) { files[path] = text; }
    // Writes /proc/stat with the given total in the user field.
    void SetTotalTime(int64_t total);
    // Where thread t's stat line lives (the fuzz target writes raw text there).
    std::string ThreadStatPath(uint32_t t) const;
    // Writes the stat line of thread t with the given utime and stime.
    void SetThreadTime(uint32_t t, uint64_t utime, uint64_t stime);

    bool ReadFile(const char* path, char* buf, unsigned int maxBytes, unsigned int* got) override;
    int SignalThread(uint32_t t, int sig) override;
    uint32_t CurrentTid() override { return tid; }
    uint32_t ProcessId() override { return pid; }
    unsigned int CpuCount() override { return cpus; }
    void SleepMs(int64_t ms) override;
    int64_t MonotonicNs() override { return monotonicNs; }
    bool ThreadCpuNs(uint32_t t, int64_t* ns) override;
    bool InstallSigusr1(void (*handler)(int)) override;
    void RestoreSigusr1(void (*)(int)) override {}
    void HoldSleep(sigset_t* previous) override { sigemptyset(previous); }
    void ResumeSleep(const sigset_t*) override {}
};

// The fake with the real signals, thread ids and sleeps, each sleep counted
// (async-signal-safe counters), for tests that deliver real signals to a test
// scheduler; /proc stays scripted (empty: a limit alone sets the sleep).
class RecordingSchedEnv : public FakeSchedEnv {
public:
    int SleepCount() const { return __atomic_load_n(&m_sleepCount, __ATOMIC_SEQ_CST); }

    int SignalThread(uint32_t t, int sig) override { return Real()->SignalThread(t, sig); }
    uint32_t CurrentTid() override { return Real()->CurrentTid(); }
    void SleepMs(int64_t ms) override;
    bool InstallSigusr1(void (*handler)(int)) override { return Real()->InstallSigusr1(handler); }
    void RestoreSigusr1(void (*handler)(int)) override { Real()->RestoreSigusr1(handler); }
    void HoldSleep(sigset_t* previous) override { Real()->HoldSleep(previous); }
    void ResumeSleep(const sigset_t* previous) override { Real()->ResumeSleep(previous); }

private:
    static SchedEnv* Real() { return SchedEnv::Default(); }
    int m_sleepCount = 0;
};
