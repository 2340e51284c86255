// kvo-demo: busy threads that each limit themselves through the library, with
// each thread's measured CPU printed beside its limit once a second.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kvo_vurizeda.h"

namespace {

enum class Mode { kFixedLimit };

struct Options {
    Mode mode = Mode::kFixedLimit;
    int threads = 3;
    float limit = 30.0f;
    int seconds = 10;
    const char* fromConfig = nullptr;  // a thread name of [thread_cpulimit], or none
};

constexpr int kWarmupSeconds = 2;  // the summary leaves out the settling at the start

void Usage(FILE* out) {
    fprintf(out,
            "usage: kvo-demo [--threads N] [--limit P | --from-config NAME] [--seconds S]\n"
            "  Starts N busy threads (default 3), each limiting itself to P percent of one\n"
            "  processor (default 30), and prints their measured CPU every second for S\n"
            "  seconds (default 10), then a summary. With --from-config each thread looks\n"
            "  its limit up by NAME in [thread_cpulimit] of <prefix>/config/kvo_vurizeda.ini.\n");
}

bool ParseNumber(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= low && v <= high)) return false;
    *value = v;
    return true;
}

// Returns 0 when options were read, otherwise the exit code to leave with.
int ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return -1;
        }
        double value = 0;
        const bool hasValue = i + 1 < argc;
        if (arg == "--threads" && hasValue && ParseNumber(argv[++i], 1, 64, &value)) {
            options->threads = static_cast<int>(value);
        } else if (arg == "--limit" && hasValue && ParseNumber(argv[++i], 0.1, 100, &value)) {
            options->limit = static_cast<float>(value);
        } else if (arg == "--from-config" && hasValue) {
            options->fromConfig = argv[++i];
        } else if (arg == "--seconds" && hasValue && ParseNumber(argv[++i], 1, 3600, &value)) {
            options->seconds = static_cast<int>(value);
        } else {
            fprintf(stderr, "kvo-demo: bad or incomplete option '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    return 0;
}

unsigned int Gettid() { return static_cast<unsigned int>(syscall(SYS_gettid)); }

double CpuSeconds(clockid_t clock) {
    timespec ts;
    if (clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// One busy thread that limits itself; its CPU clock is read from outside.
struct Worker {
    std::thread thread;
    clockid_t clock{};
    std::atomic<int> state{0};  // 0 starting, 1 limited, -1 refused
};

void BusyLoop(Worker* self, float limit, const char* name, const std::atomic<bool>* stop) {
    // The thread to be limited registers itself, with its own kernel thread id, or
    // by its name, which also counts one more registration with the scheduler.
    const bool limited = name != nullptr ? kvo_thread_cpu_limit_from_config(name) == 0
                                         : AddCpuCtrlObject(Gettid(), limit) == 1;
    self->state = limited ? 1 : -1;
    volatile unsigned long sink = 0;
    while (!stop->load(std::memory_order_relaxed)) {
        for (int i = 0; i < 10000; ++i) sink = sink + i;
    }
    DelCpuCtrlObject(Gettid());
    if (name != nullptr && limited) kvo_thread_cpu_limit_unregister();
}

int RunFixedLimit(Options options) {
    if (options.fromConfig != nullptr) {
        options.limit = static_cast<float>(kvo_get_thread_cpulimit_percent(options.fromConfig));
    }
    if (RegisterCpuCtrl() != 1) {
        fprintf(stderr, "kvo-demo: RegisterCpuCtrl failed: %s\n", strerror(errno));
        return 1;
    }
    std::atomic<bool> stop{false};
    std::vector<Worker> workers(static_cast<size_t>(options.threads));
    for (auto& w : workers) {
        w.thread = std::thread(BusyLoop, &w, options.limit, options.fromConfig, &stop);
        pthread_getcpuclockid(w.thread.native_handle(), &w.clock);
    }
    bool refused = false;
    for (auto& w : workers) {
        while (w.state == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (w.state < 0) fprintf(stderr, "kvo-demo: a thread could not be limited\n");
        refused = refused || w.state < 0;
    }
    if (options.fromConfig != nullptr && refused) {
        fprintf(stderr, "kvo-demo: no usable limit for '%s' in the installation's configuration\n",
                options.fromConfig);
        stop = true;
        for (auto& w : workers) w.thread.join();
        UnRegisterCpuCtrl();
        return 1;
    }
    printf("%d busy threads, each limited to %.1f%% of one processor, for %d s\n", options.threads,
           options.limit, options.seconds);

    const size_t n = workers.size();
    std::vector<double> last(n), firstAfterWarmup(n);
    for (size_t i = 0; i < n; ++i) last[i] = CpuSeconds(workers[i].clock);
    const auto start = std::chrono::steady_clock::now();
    auto previous = start;
    for (int second = 1; second <= options.seconds; ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        const auto now = std::chrono::steady_clock::now();
        const double wall = std::chrono::duration<double>(now - previous).count();
        previous = now;
        printf("%3ds ", second);
        for (size_t i = 0; i < n; ++i) {
            const double cpu = CpuSeconds(workers[i].clock);
            printf(" thread %zu: %5.1f%%", i + 1, 100.0 * (cpu - last[i]) / wall);
            last[i] = cpu;
            if (second == kWarmupSeconds) firstAfterWarmup[i] = cpu;
        }
        printf("  (limit %.1f%%)\n", options.limit);
        fflush(stdout);
    }
    const double measured =
        std::chrono::duration<double>(previous - start).count() - kWarmupSeconds;

    stop = true;
    for (auto& w : workers) w.thread.join();
    UnRegisterCpuCtrl();

    if (options.seconds <= kWarmupSeconds) {
        printf("summary: run longer than %d s for a mean\n", kWarmupSeconds);
        return 0;
    }
    double sum = 0;
    printf("summary (mean after the first %d s):", kWarmupSeconds);
    for (size_t i = 0; i < n; ++i) {
        const double share = 100.0 * (last[i] - firstAfterWarmup[i]) / measured;
        sum += share;
        printf(" thread %zu %.1f%%", i + 1, share);
    }
    const double mean = sum / n;
    printf("; mean %.1f%% against a limit of %.1f%% (%+.1f)\n", mean, options.limit,
           mean - options.limit);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    switch (options.mode) {
        case Mode::kFixedLimit:
            return RunFixedLimit(options);
    }
    return 2;
}
