// kvo-bench-sched: how well the library holds a busy thread at a limit (mean,
// spread of 1-second windows, settling time), beside cpulimit holding a busy
// process; what the schedule thread costs per limited thread per tick; and how
// much an unlimited thread beside the limited ones is slowed. With --out DIR it
// also writes DIR/shares.csv (the share of every second) and DIR/report.md.
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
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "kvo_vurizeda.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Config {
    int runSeconds = 20;  // each limited run
    int fromSecond = 5;   // mean and spread over (fromSecond, runSeconds]
    int costSeconds = 6;  // each schedule-thread cost run
    bool cpulimit = true;
    std::string outDir;  // empty: no files
};

struct Figures {
    bool valid = false;
    double mean = 0;
    double stddev = 0;
    int settle = -1;              // first second whose window is within 10 % of the target
    std::vector<double> windows;  // share of each second, percent of one processor
};

struct HoldingRow {
    float limit;
    Figures ours;
    Figures theirs;
};

struct CostFigures {
    int threads = 0;
    double cpuPercent = 0;  // the library's threads, percent of one processor
    double usPerThreadTick = 0;
    size_t libraryThreads = 0;
    double freeWallRate = 0;  // the unlimited thread's loops per wall second
    double freeCpuRate = 0;   // and per second of its own CPU time
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
    f.windows = windows;
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

void Spin(const std::atomic<bool>* stop, std::atomic<uint64_t>* loops = nullptr) {
    volatile unsigned long sink = 0;
    while (!stop->load(std::memory_order_relaxed)) {
        for (int i = 0; i < 10000; ++i) sink = sink + i;
        if (loops != nullptr) loops->fetch_add(1, std::memory_order_relaxed);
    }
}

// A thread that is never limited, spinning beside the limited ones.
struct FreeSpinner {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> loops{0};
    std::atomic<unsigned int> tid{0};
    std::thread thread{[this] {
        tid = Gettid();
        Spin(&stop, &loops);
    }};
    ~FreeSpinner() {
        stop = true;
        thread.join();
    }
};

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

std::vector<HoldingRow> HoldingTable(const Config& cfg) {
    std::vector<HoldingRow> rows;
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
        rows.push_back({limit, ours, theirs});
    }
    return rows;
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

CostFigures CostRow(int count, const Config& cfg) {
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
    FreeSpinner spinner;
    while (spinner.tid == 0) std::this_thread::yield();
    clockid_t spinnerClock;
    pthread_getcpuclockid(spinner.thread.native_handle(), &spinnerClock);
    std::set<unsigned int> ours{Gettid(), spinner.tid};
    for (int i = 0; i < started; ++i) {
        while (sleepers[static_cast<size_t>(i)].tid == 0) std::this_thread::yield();
        ours.insert(sleepers[static_cast<size_t>(i)].tid);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // registration settles

    const std::vector<pid_t> foreign = ForeignThreads(ours);
    std::vector<double> before;
    for (pid_t t : foreign) before.push_back(CpuSeconds(ThreadClockByTid(t)));
    const uint64_t loops0 = spinner.loops;
    const double spinnerCpu0 = CpuSeconds(spinnerClock);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(cfg.costSeconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double loops = static_cast<double>(spinner.loops - loops0);
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
    for (int i = 0; i < started; ++i)
        pthread_join(sleepers[static_cast<size_t>(i)].thread, nullptr);

    CostFigures f;
    f.threads = started;
    f.cpuPercent = 100.0 * cpu / wall;
    f.usPerThreadTick = started > 0 ? cpu * 1e6 / (wall / 0.25 * started) : 0.0;
    f.libraryThreads = foreign.size();
    f.freeWallRate = loops / wall;
    f.freeCpuRate = spinnerCpu > 0 ? loops / spinnerCpu : 0.0;
    return f;
}

// Percent of the baseline, as text.
std::string Relative(double value, double base) {
    char text[32];
    snprintf(text, sizeof(text), base > 0 ? "%.1f" : "n/a", 100.0 * value / base);
    return text;
}

std::vector<CostFigures> CostTable(const Config& cfg) {
    printf(
        "\nSchedule thread cost with limited threads that sleep (limit 30, %d s each), and\n"
        "the work rate of an unlimited busy thread beside them, in percent of the row\n"
        "without limited threads (per wall second, and per second of its own CPU)\n\n",
        cfg.costSeconds);
    printf("threads | thread CPU%% | us/thread/tick | library threads | unlimited wall%% cpu%%\n");
    std::vector<CostFigures> rows;
    for (int count : {0, 1, 10, 100, 1000}) {
        rows.push_back(CostRow(count, cfg));
        const CostFigures& f = rows.back();
        printf("%7d | %10.3f | %14.2f | %15zu | %14s %5s\n", f.threads, f.cpuPercent,
               f.usPerThreadTick, f.libraryThreads,
               Relative(f.freeWallRate, rows[0].freeWallRate).c_str(),
               Relative(f.freeCpuRate, rows[0].freeCpuRate).c_str());
        fflush(stdout);
    }
    return rows;
}

// ---- Files for bench/report -------------------------------------------------------

void WriteShares(const std::string& path, const std::vector<HoldingRow>& rows) {
    std::ofstream out(path);
    out << "tool,limit,second,share\n";
    for (const HoldingRow& row : rows) {
        for (const auto& tool : {std::make_pair("libkvo_vurizeda", &row.ours),
                                 std::make_pair("cpulimit", &row.theirs)}) {
            const std::vector<double>& w = tool.second->windows;
            for (size_t s = 0; s < w.size(); ++s) {
                out << tool.first << ',' << row.limit << ',' << s + 1 << ',' << w[s] << '\n';
            }
        }
    }
}

std::string MdCell(const Figures& f) {
    if (!f.valid) return "n/a | n/a | n/a";
    char text[64];
    snprintf(text, sizeof(text), "%.1f | %.2f | ", f.mean, f.stddev);
    return text + (f.settle > 0 ? std::to_string(f.settle) + " s" : std::string("never"));
}

void WriteMarkdown(const std::string& path, const Config& cfg,
                   const std::vector<HoldingRow>& holding, const std::vector<CostFigures>& cost) {
    std::ofstream out(path);
    out << "## Holding a busy thread at a limit\n\n"
        << "Percent of one processor, " << sysconf(_SC_NPROCESSORS_ONLN)
        << " processors online. Mean and standard deviation of the 1-second windows over "
           "seconds "
        << cfg.fromSecond << " to " << cfg.runSeconds
        << "; settling: the first second within 10 % of the limit. libkvo_vurizeda holds one "
           "thread of a process; `cpulimit -l P` holds a whole busy process.\n\n"
        << "| limit | library mean | library sd | library settling "
           "| cpulimit mean | cpulimit sd | cpulimit settling |\n"
        << "|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const HoldingRow& row : holding) {
        out << "| " << row.limit << " | " << MdCell(row.ours) << " | " << MdCell(row.theirs)
            << " |\n";
    }
    out << "\n## Cost of the schedule thread, and an unlimited thread beside it\n\n"
        << "Limited threads that sleep (limit 30), " << cfg.costSeconds
        << " s per row. Unlimited thread: the work rate of a busy thread that is not limited, "
           "in percent of the row without limited threads, per wall second and per second "
           "of its own CPU time.\n\n"
        << "| limited threads | library threads' CPU % | µs per limited thread per tick "
           "| unlimited thread, wall % | unlimited thread, own CPU % |\n"
        << "|---:|---:|---:|---:|---:|\n";
    for (const CostFigures& f : cost) {
        char line[160];
        snprintf(line, sizeof(line), "| %d | %.3f | %.2f | %s | %s |\n", f.threads, f.cpuPercent,
                 f.usPerThreadTick, Relative(f.freeWallRate, cost[0].freeWallRate).c_str(),
                 Relative(f.freeCpuRate, cost[0].freeCpuRate).c_str());
        out << line;
    }
}

// -1 to run, otherwise the exit status (0 after --help or --version).
int ParseArgs(int argc, char** argv, Config* cfg) {
    CliArgs cli("kvo-bench-sched", argc, argv);
    bool bad = false;
    while (cli.Next() && !bad) {
        const char* text = nullptr;
        if (cli.Is("--help") || cli.Is("-h")) {
            printf(
                "usage: kvo-bench-sched [--quick] [--no-cpulimit] [--out DIR]\n"
                "  --quick        8 s runs (mean over seconds 3 to 8), 3 s cost runs\n"
                "  --no-cpulimit  skip the cpulimit column\n"
                "  --out DIR      also write DIR/shares.csv and DIR/report.md\n"
                "  --version      print the version\n");
            return 0;
        } else if (cli.Is("--version")) {
            return CliPrintVersion("kvo-bench-sched");
        } else if (cli.IsFlag("--quick", &bad)) {
            cfg->runSeconds = 8;
            cfg->fromSecond = 3;
            cfg->costSeconds = 3;
        } else if (cli.IsFlag("--no-cpulimit", &bad)) {
            cfg->cpulimit = false;
        } else if (cli.Is("--out")) {
            bad = !cli.Text(&text);
            if (!bad) cfg->outDir = text;
        } else {
            return cli.Unknown();
        }
    }
    return bad ? kCliUsageError : -1;
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
    const std::vector<HoldingRow> holding = HoldingTable(cfg);
    const std::vector<CostFigures> cost = CostTable(cfg);
    UnRegisterCpuCtrl();
    if (!cfg.outDir.empty()) {
        WriteShares(cfg.outDir + "/shares.csv", holding);
        WriteMarkdown(cfg.outDir + "/report.md", cfg, holding, cost);
    }
    return 0;
}
