// What a SIGUSR1 flood from outside costs an unlimited thread: its work per
// second of its own CPU time, with and without the flood, beside two limited
// threads. Measured on the thread's CPU clock, so a busy machine does not skew it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "kvo_vurizeda.h"
#include "lifecycle/lifecycle_util.h"
#include "support/watchdog.h"

namespace {

// Loops per CPU second of thread over about wallMs.
double LoopsPerCpuSecond(BusyThread& thread, int wallMs) {
    const uint64_t loops0 = thread.loops;
    const int64_t cpu0 = thread.CpuNs();
    std::this_thread::sleep_for(std::chrono::milliseconds(wallMs));
    const double cpuSeconds = static_cast<double>(thread.CpuNs() - cpu0) / 1e9;
    return cpuSeconds > 0 ? static_cast<double>(thread.loops - loops0) / cpuSeconds : 0.0;
}

}  // namespace

TEST(SignalFloodLive, UnlimitedThreadKeepsMostOfItsSpeed) {
    RunWithWatchdog(60, "signal flood (live)", [] {
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        BusyThread limitedA(20.0f), limitedB(40.0f), free(0.0f);
        const double quiet = LoopsPerCpuSecond(free, 2000);
        const uint32_t tids[] = {limitedA.tid, limitedB.tid, free.tid};
        const pid_t flood = StartSignalFlood(tids, 3, 5000, 3.0);
        ASSERT_GT(flood, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const double flooded = LoopsPerCpuSecond(free, 2000);
        waitpid(flood, nullptr, 0);
        printf("unlimited thread under a 5 kHz SIGUSR1 flood: %.1f%% of its quiet speed\n",
               100.0 * flooded / quiet);
        ASSERT_GT(quiet, 0.0);
        // Each signal costs the unlimited thread a handler run and no sleep.
        EXPECT_GT(flooded, 0.5 * quiet);
    });
    UnRegisterCpuCtrl();
}
