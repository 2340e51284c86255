// End to end on real CPU: a busy thread that limits itself through the exported
// interface is held near its limit, and a busy thread beside it is not slowed.
// Shares are percent of one processor from each thread's own CPU clock.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kvo_vurizeda.h"

namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Spins for total, and returns the CPU share (percent of one processor) of the
// part after warmup, measured on the calling thread's own clock.
double BusyShare(Clock::duration warmup, Clock::duration total) {
    const auto start = Clock::now();
    volatile unsigned sink = 0;
    while (Clock::now() - start < warmup) sink = sink + 1;
    const double cpu0 = ThreadCpuSeconds();
    const auto t0 = Clock::now();
    while (Clock::now() - start < total) sink = sink + 1;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (ThreadCpuSeconds() - cpu0) / wall;
}

TEST(CpuShareLive, LimitedThreadHeldNearItsLimitAndItsNeighbourRunsFree) {
    ASSERT_EQ(RegisterCpuCtrl(), 1);
    std::atomic<double> limitedShare{-1}, freeShare{-1};
    std::thread limited([&] {
        const unsigned tid = static_cast<unsigned>(syscall(SYS_gettid));
        if (AddCpuCtrlObject(tid, 30) != 1) return;
        limitedShare = BusyShare(std::chrono::seconds(2), std::chrono::seconds(7));
        DelCpuCtrlObject(tid);
    });
    std::thread unlimited(
        [&] { freeShare = BusyShare(std::chrono::seconds(2), std::chrono::seconds(7)); });
    limited.join();
    unlimited.join();
    UnRegisterCpuCtrl();

    const double l = limitedShare, u = freeShare;
    printf("limited to 30: %.1f%%, unlimited: %.1f%%\n", l, u);
    EXPECT_LE(l, 45.0);
    if (u >= 45.0) {
        // The machine had room: the limit binds, and only the limited thread sleeps.
        EXPECT_GE(l, 15.0);
        EXPECT_GE(u, 1.4 * l);
    } else {
        // A crowded machine holds both threads below the limit: it must not hold
        // the limited one far below its neighbour.
        EXPECT_GE(l, 0.4 * u);
    }
}

}  // namespace
