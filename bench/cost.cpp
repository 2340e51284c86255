// The schedule thread's cost, measured in a child process per mode: limited
// threads that sleep on a condition (so the library only measures them), an
// unlimited spinner beside them, and the CPU clocks of the library's threads.
#include "cost.h"

#include <dirent.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "kvo_vurizeda.h"
#include "processes.h"
#include "windows.h"

namespace {

using Clock = std::chrono::steady_clock;

unsigned int Gettid() { return static_cast<unsigned int>(syscall(SYS_gettid)); }

// The CPU clock of any thread of this process by kernel id, as glibc builds it
// for pthread_getcpuclockid: times the library's own schedule thread.
clockid_t ThreadClockByTid(pid_t tid) {
    return static_cast<clockid_t>((~static_cast<unsigned int>(tid) << 3) | 6);
}

struct SleeperPool {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
    bool stop = false;
    std::atomic<int> registered{0};
    std::set<unsigned int> tids;  // under lock
};

void* SleeperMain(void* raw) {
    auto* pool = static_cast<SleeperPool*>(raw);
    const unsigned int tid = Gettid();
    AddCpuCtrlObject(tid, 30);
    pthread_mutex_lock(&pool->lock);
    pool->tids.insert(tid);
    ++pool->registered;
    while (!pool->stop) pthread_cond_wait(&pool->wake, &pool->lock);
    pthread_mutex_unlock(&pool->lock);
    DelCpuCtrlObject(tid);
    return nullptr;
}

// The threads of this process that the benchmark did not start: the library's.
std::vector<pid_t> ForeignThreads(const std::set<unsigned int>& ours) {
    std::vector<pid_t> tids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return tids;
    while (dirent* entry = readdir(dir)) {
        const long tid = strtol(entry->d_name, nullptr, 10);
        if (tid > 0 && ours.count(static_cast<unsigned int>(tid)) == 0) {
            tids.push_back(static_cast<pid_t>(tid));
        }
    }
    closedir(dir);
    return tids;
}

}  // namespace

int CostChildMain(int count, int seconds) {
    if (RegisterCpuCtrl() != 1) return 1;
    SleeperPool pool;
    std::vector<pthread_t> sleepers;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    for (int i = 0; i < count; ++i) {
        pthread_t t;
        if (pthread_create(&t, &attr, SleeperMain, &pool) != 0) break;
        sleepers.push_back(t);
    }
    pthread_attr_destroy(&attr);
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> loops{0};
    std::atomic<unsigned int> spinnerTid{0};
    std::thread spinner([&] {
        spinnerTid = Gettid();
        Spin(&stop, &loops);
    });
    while (spinnerTid == 0 || pool.registered < static_cast<int>(sleepers.size())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    clockid_t spinnerClock;
    pthread_getcpuclockid(spinner.native_handle(), &spinnerClock);
    std::set<unsigned int> ours{Gettid(), spinnerTid};
    pthread_mutex_lock(&pool.lock);
    ours.insert(pool.tids.begin(), pool.tids.end());
    pthread_mutex_unlock(&pool.lock);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // registration settles

    const std::vector<pid_t> foreign = ForeignThreads(ours);
    std::vector<double> before;
    for (pid_t t : foreign) before.push_back(CpuSeconds(ThreadClockByTid(t)));
    const unsigned long loops0 = loops;
    const double spinnerCpu0 = CpuSeconds(spinnerClock);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double spun = static_cast<double>(loops - loops0);
    const double spinnerCpu = CpuSeconds(spinnerClock) - spinnerCpu0;
    double cpu = 0;
    for (size_t i = 0; i < foreign.size(); ++i) {
        const double now = CpuSeconds(ThreadClockByTid(foreign[i]));
        if (!isnan(now) && !isnan(before[i])) cpu += now - before[i];
    }

    pthread_mutex_lock(&pool.lock);
    pool.stop = true;
    pthread_cond_broadcast(&pool.wake);
    pthread_mutex_unlock(&pool.lock);
    for (pthread_t t : sleepers) pthread_join(t, nullptr);
    stop = true;
    spinner.join();
    UnRegisterCpuCtrl();

    const double ticks = wall / 0.25 * static_cast<double>(sleepers.size());
    printf("cost %zu %.6f %.6f %zu %.1f %.1f\n", sleepers.size(), 100.0 * cpu / wall,
           sleepers.empty() ? 0.0 : cpu * 1e6 / ticks, foreign.size(), spun / wall,
           spinnerCpu > 0 ? spun / spinnerCpu : 0.0);
    return 0;
}

std::vector<CostFigures> CostTable(const Config& cfg) {
    std::vector<CostFigures> rows;
    for (const char* mode : {"default", "exact"}) {
        for (int count : {0, 1, 10, 100, 1000}) {
            CostFigures f;
            f.mode = mode;
            f.threads = count;
            std::string out;
            if (RunSelf({"--child-cost", std::to_string(count), std::to_string(cfg.costSeconds)},
                        mode, &out)) {
                std::istringstream line(out.substr(
                    out.find("cost ") == std::string::npos ? out.size() : out.find("cost ") + 5));
                f.valid =
                    static_cast<bool>(line >> f.threads >> f.cpuPercent >> f.usPerThreadTick >>
                                      f.libraryThreads >> f.freeWallRate >> f.freeCpuRate);
            }
            rows.push_back(f);
        }
    }
    return rows;
}
