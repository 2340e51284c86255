// A thread limited by its name in the installation's file really runs near the
// configured share of one processor.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <thread>

#include "kvo_vurizeda.h"
#include "platform/kvo_result.h"
#include "support/log_capture.h"

namespace {

double Seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

TEST(ThreadLimitLive, ThreadLimitedByNameRunsNearItsPercentage) {
    TempDir dir;
    std::filesystem::create_directories(dir.File("lib"));
    std::filesystem::create_directories(dir.File("config"));
    WriteFile(dir.File("config/kvo_vurizeda.ini"), "[thread_cpulimit]\nkvo-live-worker = 20\n");
    ScopedEnv base("KVO_BASE_DIR", dir.File("lib").c_str());
    unsigned int result = 1;
    double share = -1.0;
    std::thread([&] {
        result = kvo_thread_cpu_limit_from_config("kvo-live-worker");
        // Spin 1 s to settle, then measure this thread's share of one processor over 5 s.
        for (double start = Seconds(CLOCK_MONOTONIC); Seconds(CLOCK_MONOTONIC) - start < 1.0;) {
        }
        const double wall = Seconds(CLOCK_MONOTONIC), cpu = Seconds(CLOCK_THREAD_CPUTIME_ID);
        while (Seconds(CLOCK_MONOTONIC) - wall < 5.0) {
        }
        share = (Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu) / (Seconds(CLOCK_MONOTONIC) - wall);
    }).join();
    kvo_thread_cpu_limit_unregister();
    ASSERT_EQ(result, KVO_OK);
    printf("share of one processor at a configured 20%%: %.1f%%\n", share * 100.0);
    // Loose band: the machine is shared, and an unlimited spinner would sit near 100%.
    EXPECT_GT(share, 0.05);
    EXPECT_LT(share, 0.35);
}

}  // namespace
