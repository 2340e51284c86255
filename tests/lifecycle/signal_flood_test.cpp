// SIGUSR1 sent from outside at a high rate, to limited and unlimited threads and
// to the process, while limits change: nothing crashes or deadlocks, every
// thread keeps making progress, and everything comes down cleanly afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "kvo_vurizeda.h"
#include "lifecycle/lifecycle_util.h"
#include "scheduler/cpuschedule.h"
#include "support/watchdog.h"

namespace {

constexpr int kFloodHz = 5000;
constexpr double kFloodSeconds = 3.0;

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

TEST(SignalFlood, OutsideSignalsNeitherCrashNorStallAnyThread) {
    RunWithWatchdog(60, "signal flood", [] {
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        std::vector<std::unique_ptr<BusyThread>> threads;
        for (float limit : {20.0f, 40.0f, 0.0f, 0.0f}) {  // 0: not limited
            threads.push_back(std::make_unique<BusyThread>(limit));
        }
        std::vector<uint32_t> tids;
        for (auto& thread : threads) {
            thread->WaitStarted();
            ASSERT_EQ(thread->registered(), thread != threads[2] && thread != threads[3]);
            tids.push_back(thread->tid());
        }
        const pid_t flood =
            StartSignalFlood(tids.data(), static_cast<int>(tids.size()), kFloodHz, kFloodSeconds);
        ASSERT_GT(flood, 0);
        // Registry writes while signals land: the first limit moves to and fro.
        int status = -1;
        for (int i = 0; waitpid(flood, &status, WNOHANG) == 0; ++i) {
            SleepMs(20);
            EXPECT_EQ(AddCpuCtrlObject(tids[0], i % 2 ? 20.0f : 35.0f), 1);
        }
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "sender status " << status;

        // Every thread, limited or not, still gets work done after the flood.
        std::vector<uint64_t> before;
        for (auto& thread : threads) before.push_back(thread->loops());
        SleepMs(1500);
        for (size_t i = 0; i < threads.size(); ++i) {
            EXPECT_GT(threads[i]->loops(), before[i]) << "thread " << i << " stalled";
        }
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 2u);
        threads.clear();
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
        UnRegisterCpuCtrl();
    });
}
