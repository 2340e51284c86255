// kvo-bench-sched: how well the library holds a busy thread at a limit (mean,
// spread of 1-second windows, settling time), beside cpulimit holding a busy
// process; and what the schedule thread costs per limited thread per tick.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kvo_vurizeda.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Config {
    int runSeconds = 20;  // each limited run
    int fromSecond = 5;   // mean and spread over (fromSecond, runSeconds]
    int costSeconds = 6;  // each schedule-thread cost run
    bool cpulimit = true;
};

struct Figures {
    bool valid = false;
    double mean = 0;
    double stddev = 0;
    int settle = -1;  // first second whose window is within 10 % of the target
};

unsigned int Gettid() { return static_cast<unsigned int>(syscall(SYS_gettid)); }

double CpuSeconds(clockid_t clock) {
    timespec ts;
    if (clock_gettime(clock, &ts) != 0) return NAN;
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// The CPU clock of any thread of this process by kernel id, as glibc builds it
// for pthread_getcpuclockid: lets us time the library's own schedule thread.
clockid_t ThreadClockByTid(pid_t tid) {
    return static_cast<clockid_t>((~static_cast<unsigned int>(tid) << 3) | 6);
}

// Samples clock once a second for cfg.runSeconds and reduces the windows.
Figures Measure(clockid_t clock, double target, const Config& cfg) {
    std::vector<double> windows;
    const auto start = Clock::now();
    double lastCpu = CpuSeconds(clock);
    auto lastWall = start;
    for (int s = 1; s <= cfg.runSeconds; ++s) {
        std::this_thread::sleep_until(start + std::chrono::seconds(s));
        const double cpu = CpuSeconds(clock);
        const auto now = Clock::now();
        windows.push_back(100.0 * (cpu - lastCpu) /
                          std::chrono::duration<double>(now - lastWall).count());
        lastCpu = cpu;
        lastWall = now;
    }
    Figures f;
    double sum = 0, sq = 0;
    int n = 0;
    for (int s = 1; s <= cfg.runSeconds; ++s) {
        const double w = windows[static_cast<size_t>(s - 1)];
        if (f.settle < 0 && fabs(w - target) <= 0.1 * target) f.settle = s;
        if (s > cfg.fromSecond) {
            sum += w;
            sq += w * w;
            ++n;
        }
    }
    if (n == 0) return f;
    f.valid = true;
    f.mean = sum / n;
    f.stddev = sqrt(fmax(0.0, sq / n - f.mean * f.mean));
    return f;
}

void Spin(const std::atomic<bool>* stop) {
    volatile unsigned long sink = 0;
    while (!stop->load(std::memory_order_relaxed)) {
        for (int i = 0; i < 10000; ++i) sink = sink + i;
    }
}

Figures LibraryRun(float limit, const Config& cfg) {
    std::atomic<bool> stop{false};
    std::atomic<int> state{0};
    std::thread busy([&] {
        state = AddCpuCtrlObject(Gettid(), limit) == 1 ? 1 : -1;
        Spin(&stop);
        DelCpuCtrlObject(Gettid());
    });
    clockid_t clock;
    pthread_getcpuclockid(busy.native_handle(), &clock);
    while (state == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Figures f = state > 0 ? Measure(clock, limit, cfg) : Figures{};
    stop = true;
    busy.join();
    return f;
}

bool FindInPath(const char* name) {
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t end = dirs.find(':', pos);
        if (end == std::string::npos) end = dirs.size();
        const std::string file = dirs.substr(pos, end - pos) + "/" + name;
        if (access(file.c_str(), X_OK) == 0) return true;
        pos = end + 1;
    }
    return false;
}

// A busy child process held by `cpulimit -l P -p <pid>`.
Figures CpulimitRun(float limit, const Config& cfg) {
    const pid_t child = fork();
    if (child < 0) return {};
    if (child == 0) {
        volatile unsigned long sink = 0;
        for (;;) sink = sink + 1;
    }
    char limitText[32], pidText[32];
    snprintf(limitText, sizeof(limitText), "%g", limit);
    snprintf(pidText, sizeof(pidText), "%d", static_cast<int>(child));
    char* args[] = {const_cast<char*>("cpulimit"),
                    const_cast<char*>("-q"),
                    const_cast<char*>("-l"),
                    limitText,
                    const_cast<char*>("-p"),
                    pidText,
                    nullptr};
    pid_t limiter = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawnp(&limiter, "cpulimit", &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    Figures f;
    clockid_t clock;
    if (rc == 0 && clock_getcpuclockid(child, &clock) == 0) f = Measure(clock, limit, cfg);
    if (rc == 0) {
        kill(limiter, SIGTERM);
        waitpid(limiter, nullptr, 0);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return f;
}

std::string Cell(const Figures& f) {
    if (!f.valid) return "            n/a          ";
    char text[64];
    char settle[16];
    if (f.settle > 0) {
        snprintf(settle, sizeof(settle), "%3d s", f.settle);
    } else {
        snprintf(settle, sizeof(settle), "never");
    }
    snprintf(text, sizeof(text), "%6.1f %6.2f %7s", f.mean, f.stddev, settle);
    return text;
}

void HoldingTable(const Config& cfg) {
    const float limits[] = {10, 30, 50, 80};
    printf(
        "Holding a busy thread at a limit (%% of one processor); mean and standard\n"
        "deviation of 1-second windows over seconds %d to %d; settling: first second\n"
        "within 10%% of the limit.\n\n",
        cfg.fromSecond, cfg.runSeconds);
    printf("limit |   libkvo_vurizeda thread    |  cpulimit -l P process\n");
    printf("      |   mean    sd   settle       |   mean    sd   settle\n");
    for (float limit : limits) {
        const Figures ours = LibraryRun(limit, cfg);
        const Figures theirs = cfg.cpulimit ? CpulimitRun(limit, cfg) : Figures{};
        printf("%5.0f | %s    | %s\n", limit, Cell(ours).c_str(), Cell(theirs).c_str());
        fflush(stdout);
    }
}

// ---- Schedule thread cost -----------------------------------------------------

struct Sleeper {
    pthread_t thread;
    std::atomic<unsigned int> tid{0};
};

struct SleeperPool {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
    bool stop = false;
    float limit = 30;
};

void* SleeperMain(void* raw) {
    auto* self = static_cast<std::pair<Sleeper*, SleeperPool*>*>(raw);
    Sleeper* me = self->first;
    SleeperPool* pool = self->second;
    me->tid = Gettid();
    AddCpuCtrlObject(me->tid, pool->limit);
    pthread_mutex_lock(&pool->lock);
    while (!pool->stop) pthread_cond_wait(&pool->wake, &pool->lock);
    pthread_mutex_unlock(&pool->lock);
    DelCpuCtrlObject(me->tid);
    return nullptr;
}

// The threads of this process that the benchmark did not start: the schedule thread.
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

void CostRow(int count, const Config& cfg) {
    SleeperPool pool;
    std::vector<Sleeper> sleepers(static_cast<size_t>(count));
    std::vector<std::pair<Sleeper*, SleeperPool*>> args;
    args.reserve(sleepers.size());
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    int started = 0;
    for (auto& s : sleepers) {
        args.emplace_back(&s, &pool);
        if (pthread_create(&s.thread, &attr, SleeperMain, &args.back()) != 0) break;
        ++started;
    }
    pthread_attr_destroy(&attr);
    std::set<unsigned int> ours{Gettid()};
    for (int i = 0; i < started; ++i) {
        while (sleepers[static_cast<size_t>(i)].tid == 0) std::this_thread::yield();
        ours.insert(sleepers[static_cast<size_t>(i)].tid);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // registration settles

    const std::vector<pid_t> foreign = ForeignThreads(ours);
    std::vector<double> before;
    for (pid_t t : foreign) before.push_back(CpuSeconds(ThreadClockByTid(t)));
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(cfg.costSeconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = 0;
    for (size_t i = 0; i < foreign.size(); ++i) {
        const double now = CpuSeconds(ThreadClockByTid(foreign[i]));
        if (!isnan(now) && !isnan(before[i])) cpu += now - before[i];
    }

    pthread_mutex_lock(&pool.lock);
    pool.stop = true;
    pthread_cond_broadcast(&pool.wake);
    pthread_mutex_unlock(&pool.lock);
    for (int i = 0; i < started; ++i)
        pthread_join(sleepers[static_cast<size_t>(i)].thread, nullptr);

    const double ticks = wall / 0.25;
    printf("%7d | %10.3f | %12.2f | %zu\n", started, 100.0 * cpu / wall,
           started > 0 ? cpu * 1e6 / (ticks * started) : 0.0, foreign.size());
    fflush(stdout);
}

void CostTable(const Config& cfg) {
    printf("\nSchedule thread cost with limited threads that sleep (limit 30, %d s each)\n\n",
           cfg.costSeconds);
    printf("threads | thread CPU%% | us/thread/tick | library threads\n");
    for (int count : {1, 10, 100, 1000}) CostRow(count, cfg);
}

int ParseArgs(int argc, char** argv, Config* cfg) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            cfg->runSeconds = 8;
            cfg->fromSecond = 3;
            cfg->costSeconds = 3;
        } else if (arg == "--no-cpulimit") {
            cfg->cpulimit = false;
        } else {
            fprintf(stderr,
                    "usage: kvo-bench-sched [--quick] [--no-cpulimit]\n"
                    "  --quick        8 s runs (mean over seconds 3 to 8), 3 s cost runs\n"
                    "  --no-cpulimit  skip the cpulimit column\n");
            return arg == "--help" ? 0 : 2;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Config cfg;
    const int rc = ParseArgs(argc, argv, &cfg);
    if (rc >= 0) return rc;
    if (cfg.cpulimit && !FindInPath("cpulimit")) {
        printf("cpulimit is not installed: its column is left out\n");
        cfg.cpulimit = false;
    }
    if (RegisterCpuCtrl() != 1) {
        fprintf(stderr, "kvo-bench-sched: RegisterCpuCtrl failed: %s\n", strerror(errno));
        return 0;  // a benchmark reports; it does not fail
    }
    printf("%u processors online\n\n", static_cast<unsigned int>(sysconf(_SC_NPROCESSORS_ONLN)));
    HoldingTable(cfg);
    CostTable(cfg);
    UnRegisterCpuCtrl();
    return 0;
}
