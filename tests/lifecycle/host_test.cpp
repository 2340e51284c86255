// A host's hard moments. SIGUSR1 sent from outside at a high rate, to limited and
// unlimited threads and to the process, while limits change: nothing crashes or
// deadlocks, every thread keeps making progress, and everything comes down
// cleanly. A fork while threads are limited and the automatic controller runs:
// the child, whose only thread is the one that forked, must be able to
// allocate, log, use the library and exit without deadlock or crash, however
// the fork falls on the schedule thread's pass.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "kvo_vurizeda.h"
#include "lifecycle/lifecycle_util.h"
#include "platform/kvo_base.h"
#include "scheduler/cpuschedule.h"
#include "support/log_capture.h"
#include "support/watchdog.h"

namespace {

// What a host's child typically does before it execs, or instead of it. It
// leaves through exit(), so the library's static destructors run in it too,
// with 0 or the step that failed.
int ChildBody() {
    alarm(10);  // a hung child dies of SIGALRM
    const auto tid = static_cast<uint32_t>(syscall(SYS_gettid));
    // The parent's registrations, limits, monitor and delivery threads stay there.
    CpuSchedule* scheduler = CpuSchedule::GetInstance();
    if (scheduler->InitCount() != 0 || scheduler->ObjectCount() != 0) return 1;
    if (kvo_query_vurizeda_cpucnt() != 0) return 2;
    std::vector<std::string> junk;
    for (int i = 0; i < 1000; ++i) junk.push_back(std::string(32 + i % 200, 'x'));
    KVO_LOGI("fork child %d: %zu strings", static_cast<int>(getpid()), junk.size());
    kvo_perfctrl_uninit();             // nothing to stop: returns at once
    kvo_add_cpu_group("nosuch", tid);  // the group lock is usable in the child
    kvo_del_cpu_vurizeda(tid);         // and so is the monitor lock
    if (RegisterCpuCtrl() != 1 || AddCpuCtrlObject(tid, 50.0f) != 1) return 3;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) {
    }  // signals land here
    DelCpuCtrlObject(tid);
    UnRegisterCpuCtrl();
    // Only the child's own registration counted: the scheduler is stopped again.
    return scheduler->InitCount() != 0 || scheduler->ObjectCount() != 0 ? 4 : 0;
}

}  // namespace

TEST(Fork, ChildOfALimitedHostNeitherHangsNorCrashes) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' own allocators (GCC 12's runtimes) are not fork-safe: a child
    // hangs in malloc when a parent thread held the allocator's lock at the fork.
    GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
#endif
    RunWithWatchdog(120, "fork test", [] {
        TempDir dir;
        const std::string config =
            dir.Write("kvo.ini",
                      "[td_cpu]\nadjust_cycle = 1\n[adapt_cpu]\nadjust_cycle = 1\n"
                      "[user_behavior]\nbehavior_switch = 1\nallow_time = 60\n"
                      "[cpu_group]\nscan = 20;60\n");
        ASSERT_EQ(kvo_perfctrl_init(config.c_str()), 0u);
        kvo_enable_vurizeda(2, 1);
        ASSERT_EQ(kvo_add_cpu_vurizeda(static_cast<uint32_t>(syscall(SYS_gettid))), 0u);
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        const size_t before = CpuSchedule::GetInstance()->ObjectCount();
        std::vector<std::unique_ptr<BusyThread>> threads;
        for (float limit : {20.0f, 30.0f, 50.0f, 70.0f}) {
            threads.push_back(std::make_unique<BusyThread>(limit));
        }
        for (int i = 0; i < 10; ++i) {
            usleep(static_cast<useconds_t>(7000 + 23000 * i));  // some forks fall inside a pass
            const pid_t child = fork();
            if (child == 0) exit(ChildBody());
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status)) << "child died or hung, status " << status;
            EXPECT_EQ(WEXITSTATUS(status), 0) << "fork " << i;
        }
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), before + 4) << "the parent's stay";
        threads.clear();
        UnRegisterCpuCtrl();
        EXPECT_GT(kvo_query_vurizeda_cpucnt(), 0u);  // the parent is still initialised
        kvo_perfctrl_uninit();
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
    });
}

TEST(SignalFlood, OutsideSignalsNeitherCrashNorStallAnyThread) {
    RunWithWatchdog(60, "signal flood", [] {
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        std::vector<std::unique_ptr<BusyThread>> threads;
        std::vector<uint32_t> tids;
        for (float limit : {20.0f, 40.0f, 0.0f, 0.0f}) {  // 0: not limited
            threads.push_back(std::make_unique<BusyThread>(limit));
            tids.push_back(threads.back()->tid);
        }
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 2u);
        const pid_t flood = StartSignalFlood(tids.data(), 4, 5000, 3.0);
        int status = -1;
        for (int i = 0; waitpid(flood, &status, WNOHANG) == 0; ++i) {  // the first limit moves
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(AddCpuCtrlObject(tids[0], i % 2 ? 20.0f : 35.0f), 1);
        }
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "sender status " << status;
        std::vector<uint64_t> before;
        for (auto& thread : threads) before.push_back(thread->loops);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        for (size_t i = 0; i < threads.size(); ++i) {
            EXPECT_GT(threads[i]->loops, before[i]) << "thread " << i << " stalled";
        }
        threads.clear();
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
        UnRegisterCpuCtrl();
    });
}
