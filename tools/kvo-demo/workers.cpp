// Busy workers for kvo-demo, each measured through its own CPU clock.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "demo.h"

unsigned int Gettid() { return static_cast<unsigned int>(syscall(SYS_gettid)); }

double CpuSeconds(clockid_t clock) {
    timespec ts;
    if (clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

WorkerPool::WorkerPool(int count, bool (*setup)(void*), void (*teardown)(void*), void* context)
    : m_workers(static_cast<size_t>(count)) {
    int number = 0;
    for (Worker& w : m_workers) {
        Worker* self = &w;
        ++number;
        w.thread = std::thread([this, self, setup, teardown, context, number] {
            // Named, so that kvo-top tells the workers apart.
            const std::string name = "worker-" + std::to_string(number);
            pthread_setname_np(pthread_self(), name.c_str());
            self->state = setup(context) ? 1 : -1;
            volatile unsigned long sink = 0;
            while (!m_stop.load(std::memory_order_relaxed)) {
                for (int i = 0; i < 10000; ++i) sink = sink + i;
            }
            teardown(context);
        });
        pthread_getcpuclockid(w.thread.native_handle(), &w.clock);
    }
    for (Worker& w : m_workers) {
        while (w.state == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        w.lastCpu = CpuSeconds(w.clock);
    }
}

WorkerPool::~WorkerPool() { Stop(); }

void WorkerPool::Stop() {
    if (m_stopped) return;
    m_stopped = true;
    m_stop = true;
    for (Worker& w : m_workers) w.thread.join();
}

bool WorkerPool::AllLimited() const {
    for (const Worker& w : m_workers) {
        if (w.state != 1) return false;
    }
    return true;
}

std::vector<double> WorkerPool::SharesSince(double wallSeconds) {
    std::vector<double> shares;
    for (Worker& w : m_workers) {
        const double cpu = CpuSeconds(w.clock);
        shares.push_back(wallSeconds > 0 ? 100.0 * (cpu - w.lastCpu) / wallSeconds : 0);
        w.lastCpu = cpu;
    }
    return shares;
}
