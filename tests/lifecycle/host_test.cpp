// A host's hard moments: forks while threads are limited and the controller runs,
// and a flood of outside SIGUSR1 while limits change.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "kvo_vurizeda.h"
#include "platform/kvo_base.h"
#include "scheduler/cpuschedule.h"
#include "support/log_capture.h"
#include "support/watchdog.h"

namespace {

// A host thread that spins, allocating and freeing so that signals land inside
// malloc too. With a limit above 0 it registers itself first; the constructor
// returns once it runs, the destructor stops and joins it.
class BusyThread {
public:
    explicit BusyThread(float limit)
        : m_thread([this, limit] {
              const auto self = static_cast<uint32_t>(syscall(SYS_gettid));
              const bool limited = limit > 0 && AddCpuCtrlObject(self, limit) == 1;
              tid = self;
              for (uint64_t x = self; !m_stop.load(std::memory_order_relaxed); ++loops) {
                  void* scratch = malloc(64 + x % 4096);
                  x ^= reinterpret_cast<uintptr_t>(scratch);
                  for (int i = 0; i < 2000; ++i)
                      x = x * 6364136223846793005ull + 1442695040888963407ull;
                  free(scratch);
              }
              if (limited) DelCpuCtrlObject(self);
          }) {
        while (tid == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~BusyThread() {
        m_stop = true;
        m_thread.join();
    }
    double CpuSeconds() {  // CPU time the thread has used
        clockid_t clock;
        timespec now{};
        if (pthread_getcpuclockid(m_thread.native_handle(), &clock) == 0)
            clock_gettime(clock, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    }

    std::atomic<uint32_t> tid{0};
    std::atomic<uint64_t> loops{0};

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;  // last: starts once the members above exist
};

// Another process sends SIGUSR1 at about rateHz for `seconds`, in turn to each
// of the threads and, every fourth time, to the process.
pid_t StartSignalFlood(const uint32_t* tids, int count, int rateHz, double seconds) {
    const pid_t target = getpid();
    const pid_t child = fork();
    if (child != 0) return child;
    // The child of a threaded process: system calls only, then _exit.
    const timespec step = {0, 1000000000L / rateHz};
    for (long i = 0; i < static_cast<long>(seconds * rateHz) && getppid() == target; ++i) {
        if (i % 4 == 3)
            kill(target, SIGUSR1);  // any thread may take it
        else
            syscall(SYS_tgkill, target, tids[i % count], SIGUSR1);
        nanosleep(&step, nullptr);
    }
    _exit(0);
}

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
        std::list<BusyThread> threads;
        for (float limit : {20.0f, 30.0f, 50.0f, 70.0f}) threads.emplace_back(limit);
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

namespace {

// Work per second of the thread's own CPU time over about wallMs, so a busy
// machine does not skew it; `meanwhile` runs every 20 ms.
double LoopsPerCpuSecond(BusyThread& thread, int wallMs, const std::function<void()>& meanwhile) {
    const uint64_t loops0 = thread.loops;
    const double cpu0 = thread.CpuSeconds();
    for (int waited = 0; waited < wallMs; waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        meanwhile();
    }
    const double cpuSeconds = thread.CpuSeconds() - cpu0;
    return cpuSeconds > 0 ? static_cast<double>(thread.loops - loops0) / cpuSeconds : 0.0;
}

}  // namespace

// A 5 kHz flood while the first limit moves: every thread keeps going, and the
// unlimited one pays a handler run per signal, never a sleep.
TEST(SignalFlood, OutsideSignalsNeitherCrashNorStallAnyThread) {
    RunWithWatchdog(60, "signal flood", [] {
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        std::list<BusyThread> threads;
        std::vector<uint32_t> tids;
        for (float limit : {20.0f, 40.0f, 0.0f, 0.0f}) {  // 0: not limited
            tids.push_back(threads.emplace_back(limit).tid);
        }
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 2u);
        BusyThread& unlimited = threads.back();
        const double quiet = LoopsPerCpuSecond(unlimited, 1500, [] {});
        const pid_t flood = StartSignalFlood(tids.data(), 4, 5000, 3.0);
        int turn = 0;
        auto moveLimit = [&] {
            EXPECT_EQ(AddCpuCtrlObject(tids[0], ++turn % 2 ? 20.0f : 35.0f), 1);
        };
        LoopsPerCpuSecond(unlimited, 300, moveLimit);  // the sender starts up
        const double flooded = LoopsPerCpuSecond(unlimited, 2000, moveLimit);
        int status = -1;
        ASSERT_EQ(waitpid(flood, &status, 0), flood);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "sender status " << status;
        std::vector<uint64_t> before;
        for (BusyThread& thread : threads) before.push_back(thread.loops);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        size_t i = 0;
        for (BusyThread& thread : threads) EXPECT_GT(thread.loops, before[i++]) << "stalled";
        printf("unlimited thread under the flood: %.1f%% of its quiet speed\n",
               quiet > 0 ? 100.0 * flooded / quiet : 0.0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        EXPECT_GT(flooded, 0.5 * quiet);  // the sanitizers make each handler run costly
#endif
        threads.clear();
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
        UnRegisterCpuCtrl();
    });
}
