// kvo-demo's fixed limits: each busy thread limits itself to a percentage of one
// processor, given on the command line or looked up by name in the configuration.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <chrono>

#include "demo.h"
#include "kvo_vurizeda.h"

namespace {

constexpr int kWarmupSeconds = 2;  // the summary leaves out the settling at the start

struct FixedSetup {
    float limit;
    const char* name;
};

thread_local bool t_registeredByName = false;

// The thread to be limited registers itself, with its own kernel thread id, or by
// its name, which also counts one more registration with the scheduler.
bool LimitSelf(void* context) {
    auto* setup = static_cast<FixedSetup*>(context);
    if (setup->name == nullptr) return AddCpuCtrlObject(Gettid(), setup->limit) == 1;
    t_registeredByName = kvo_thread_cpu_limit_from_config(setup->name) == 0;
    return t_registeredByName;
}

void UnlimitSelf(void*) {
    DelCpuCtrlObject(Gettid());
    if (t_registeredByName) kvo_thread_cpu_limit_unregister();
}

}  // namespace

int RunFixedLimit(Options options) {
    if (options.fromConfig != nullptr) {
        options.limit = static_cast<float>(kvo_get_thread_cpulimit_percent(options.fromConfig));
    }
    if (RegisterCpuCtrl() != 1) {
        fprintf(stderr, "kvo-demo: RegisterCpuCtrl failed: %s\n", strerror(errno));
        return 1;
    }
    FixedSetup setup{options.limit, options.fromConfig};
    WorkerPool pool(options.threads, LimitSelf, UnlimitSelf, &setup);
    if (!pool.AllLimited()) {
        fprintf(stderr, "kvo-demo: %s\n",
                options.fromConfig != nullptr
                    ? "no usable limit for that name in the installation's configuration"
                    : "a thread could not be limited");
        pool.Stop();
        UnRegisterCpuCtrl();
        return 1;
    }
    printf("fixed limits: %zu busy threads, each limited to %.1f%% of one processor, for %d s\n",
           pool.size(), options.limit, options.seconds);

    std::vector<double> sums(pool.size(), 0.0);
    const auto start = std::chrono::steady_clock::now();
    auto previous = start;
    int second = 1;
    for (; second <= options.seconds && !DemoStopped(); ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        const auto now = std::chrono::steady_clock::now();
        const std::vector<double> shares =
            pool.SharesSince(std::chrono::duration<double>(now - previous).count());
        previous = now;
        printf("%3ds ", second);
        for (size_t i = 0; i < shares.size(); ++i) {
            printf(" thread %zu: %5.1f%%", i + 1, shares[i]);
            if (second > kWarmupSeconds) sums[i] += shares[i];
        }
        printf("  (limit %.1f%%)\n", options.limit);
        fflush(stdout);
    }
    pool.Stop();
    UnRegisterCpuCtrl();
    if (DemoStopped()) return 1;

    const int measured = options.seconds - kWarmupSeconds;
    if (measured <= 0) {
        printf("summary: run longer than %d s for a mean\n", kWarmupSeconds);
        return 0;
    }
    double total = 0;
    printf("summary (mean after the first %d s):", kWarmupSeconds);
    for (size_t i = 0; i < sums.size(); ++i) {
        printf(" thread %zu %.1f%%", i + 1, sums[i] / measured);
        total += sums[i] / measured;
    }
    const double mean = total / sums.size();
    printf("; mean %.1f%% against a limit of %.1f%% (%+.1f)\n", mean, options.limit,
           mean - options.limit);
    return 0;
}
