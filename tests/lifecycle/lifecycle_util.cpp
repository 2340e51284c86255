// Helpers of the life-cycle tests (see lifecycle_util.h).
#include "lifecycle/lifecycle_util.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "kvo_vurizeda.h"

uint64_t SpinWork(uint64_t seed) {
    uint64_t x = seed | 1;
    for (int i = 0; i < 2000; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
    return x;
}

BusyThread::BusyThread(float limit) : m_limit(limit), m_thread([this] { Run(); }) {}

BusyThread::~BusyThread() {
    Stop();
    if (m_thread.joinable()) m_thread.join();
}

void BusyThread::Run() {
    m_handle = pthread_self();
    m_tid = static_cast<uint32_t>(syscall(SYS_gettid));
    if (m_limit > 0.0f) m_registered = AddCpuCtrlObject(m_tid, m_limit) == 1;
    m_started = true;
    uint64_t sink = 0;
    while (!m_stop.load(std::memory_order_relaxed)) {
        const size_t bytes = 64 + sink % 4096;
        char* scratch = static_cast<char*>(malloc(bytes));  // the handler may land in malloc
        if (scratch == nullptr) continue;
        scratch[bytes - 1] = static_cast<char>(sink);
        sink = SpinWork(sink + static_cast<uint64_t>(scratch[bytes - 1]));
        free(scratch);
        m_loops.fetch_add(1, std::memory_order_relaxed);
    }
    if (m_registered) DelCpuCtrlObject(m_tid);
}

void BusyThread::WaitStarted() {
    while (!m_started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void BusyThread::Stop() { m_stop = true; }

int64_t BusyThread::CpuNs() const {
    clockid_t clock;
    struct timespec now;
    if (pthread_getcpuclockid(m_handle, &clock) != 0 || clock_gettime(clock, &now) != 0) return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

pid_t StartSignalFlood(const uint32_t* tids, int count, int rateHz, double seconds) {
    const pid_t target = getpid();
    const pid_t child = fork();
    if (child != 0) return child;
    // The child of a threaded process: system calls only, then _exit.
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    const long stepNs = 1000000000L / rateHz;
    const long total = static_cast<long>(seconds * rateHz);
    for (long i = 0; i < total; ++i) {
        if (getppid() != target) _exit(2);  // the test has gone
        if (i % 4 == 3 || count == 0) {
            kill(target, SIGUSR1);
        } else {
            syscall(SYS_tgkill, target, tids[i % count], SIGUSR1);
        }
        next.tv_nsec += stepNs;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    _exit(0);
}

int WaitChild(pid_t child, int timeoutMs) {
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) return status;
        if (done < 0) return -1;
        usleep(5000);
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
}
