// Helpers of the life-cycle tests: busy host threads that may limit themselves,
// a SIGUSR1 sender in another process, and waiting for a child with a deadline.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <thread>

// A host thread that spins, allocating and freeing as it goes so that signals
// land inside malloc too. With a limit it registers itself with the scheduler.
class BusyThread {
public:
    explicit BusyThread(float limit = 0.0f);
    ~BusyThread();  // stops and joins
    BusyThread(const BusyThread&) = delete;
    BusyThread& operator=(const BusyThread&) = delete;

    void WaitStarted();  // until the thread runs (and has registered, if limited)
    void Stop();
    uint32_t tid() const { return m_tid.load(); }
    bool registered() const { return m_registered.load(); }
    uint64_t loops() const { return m_loops.load(std::memory_order_relaxed); }
    // CPU time the thread has used, in nanoseconds.
    int64_t CpuNs() const;

private:
    void Run();

    const float m_limit;
    std::atomic<uint32_t> m_tid{0};
    std::atomic<bool> m_registered{false};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_loops{0};
    pthread_t m_handle{};
    std::thread m_thread;
};

// Another process that sends SIGUSR1 at rate Hz, for seconds, in turn to each
// of the given threads of this process and, every fourth time, to the process.
pid_t StartSignalFlood(const uint32_t* tids, int count, int rateHz, double seconds);

// Waits for child up to timeoutMs; kills it when it overstays. Returns its wait
// status, or -1 when it had to be killed.
int WaitChild(pid_t child, int timeoutMs);

// A short stretch of pure computation, the unit of work of the busy threads.
uint64_t SpinWork(uint64_t seed);
