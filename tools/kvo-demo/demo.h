// Shared parts of kvo-demo: options, busy workers measured by their own CPU clocks.
#pragma once

#include <time.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

struct Options {
    int threads = 3;
    float limit = 30.0f;
    int seconds = 10;
    const char* fromConfig = nullptr;  // a thread name of [thread_cpulimit], or none
};

unsigned int Gettid();
// SIGINT and SIGTERM end the run early, so that the demo still cleans up.
void CatchStopSignals();
bool DemoStopped();
double CpuSeconds(clockid_t clock);

// One busy thread; start() runs setup on the thread itself (threads register
// themselves), then spins until stop is set.
struct Worker {
    std::thread thread;
    clockid_t clock{};
    std::atomic<int> state{0};  // 0 starting, 1 limited, -1 refused
    double lastCpu = 0;
};

class WorkerPool {
public:
    // setup runs on each new thread and says whether it could be limited;
    // teardown runs there before it ends.
    WorkerPool(int count, bool (*setup)(void*), void (*teardown)(void*), void* context);
    ~WorkerPool();
    bool AllLimited() const;
    // Percent of one processor each worker used since the previous call.
    std::vector<double> SharesSince(double wallSeconds);
    size_t size() const { return m_workers.size(); }
    void Stop();

private:
    std::vector<Worker> m_workers;
    std::atomic<bool> m_stop{false};
    bool m_stopped = false;
};

int RunFixedLimit(Options options);
int RunAutomatic(Options options);
