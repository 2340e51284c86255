// Helpers of the life-cycle tests: busy host threads that may limit themselves,
// and a SIGUSR1 sender in another process.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <thread>

// A host thread that spins, allocating and freeing as it goes so that signals
// land inside malloc too. With a limit above 0 it registers itself first; the
// constructor returns once it runs, the destructor stops and joins it.
class BusyThread {
public:
    explicit BusyThread(float limit);
    ~BusyThread();
    int64_t CpuNs();  // CPU time the thread has used

    std::atomic<uint32_t> tid{0};
    std::atomic<uint64_t> loops{0};

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;  // last: starts once the members above exist
};

// Another process that sends SIGUSR1 at about rate Hz for seconds, in turn to
// each of the given threads of this process and, every fourth time, to the process.
pid_t StartSignalFlood(const uint32_t* tids, int count, int rateHz, double seconds);
