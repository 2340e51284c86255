// End to end on real CPU: a busy thread that limits itself through the exported
// interface is held near its limit, and a busy thread beside it is not slowed.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "kvo_vurizeda.h"

namespace {

double Seconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Spins for 7 s; returns the share (percent of one processor) after the first
// 2 s on the calling thread's own CPU clock, so a busy machine does not skew it.
double BusyShare() {
    const double start = Seconds(CLOCK_MONOTONIC);
    while (Seconds(CLOCK_MONOTONIC) < start + 2) {
    }
    const double cpu0 = Seconds(CLOCK_THREAD_CPUTIME_ID), wall0 = Seconds(CLOCK_MONOTONIC);
    while (Seconds(CLOCK_MONOTONIC) < start + 7) {
    }
    return 100 * (Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0) / (Seconds(CLOCK_MONOTONIC) - wall0);
}

TEST(CpuShareLive, LimitedThreadHeldNearItsLimitAndItsNeighbourRunsFree) {
    ASSERT_EQ(RegisterCpuCtrl(), 1);
    double l = -1, u = -1;
    std::thread limited([&] {
        const unsigned tid = static_cast<unsigned>(syscall(SYS_gettid));
        if (AddCpuCtrlObject(tid, 30) == 1) l = BusyShare();
        DelCpuCtrlObject(tid);
    });
    std::thread unlimited([&] { u = BusyShare(); });
    limited.join();
    unlimited.join();
    UnRegisterCpuCtrl();
    printf("limited to 30: %.1f%%, unlimited: %.1f%%\n", l, u);
    EXPECT_LE(l, 45.0);
    if (u >= 45.0) {  // the machine had room: the limit binds, only on the limited thread
        EXPECT_GE(l, 15.0);
        EXPECT_GE(u, 1.4 * l);
    } else {  // a crowded machine: the limited thread must not fall far below its neighbour
        EXPECT_GE(l, 0.4 * u);
    }
}

}  // namespace
