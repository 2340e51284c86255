// A host's hard moments: forks while threads are limited and the controller runs,
// under a flood of outside SIGUSR1 while limits change.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
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

    std::atomic<uint32_t> tid{0};
    std::atomic<uint64_t> loops{0};
    uint64_t seen = 0;  // loops at the test's last look

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;  // last: starts once the members above exist
};

// Another process sends SIGUSR1 at about rateHz for `seconds`, in turn to each
// of the threads and, every fourth time, to the process.
pid_t StartSignalFlood(const std::list<BusyThread>& threads, int rateHz, double seconds) {
    std::vector<uint32_t> tids;  // before the fork: the child may not allocate
    for (const BusyThread& thread : threads) tids.push_back(thread.tid);
    const pid_t target = getpid();
    const pid_t child = fork();
    if (child != 0) return child;
    // The child of a threaded process: system calls only, then _exit.
    const timespec step = {0, 1000000000L / rateHz};
    for (long i = 0; i < static_cast<long>(seconds * rateHz) && getppid() == target; ++i) {
        if (i % 4 == 3)
            kill(target, SIGUSR1);  // any thread may take it
        else
            syscall(SYS_tgkill, target, tids[i % tids.size()], SIGUSR1);
        nanosleep(&step, nullptr);
    }
    _exit(0);
}

// What a host's child typically does before it execs, or instead of it. It
// leaves through exit(), so the library's static destructors run in it too,
// with 0 or the step that failed.
// Unused under the sanitizers, whose runtimes are not fork-safe.
[[maybe_unused]] int ChildBody() {
    alarm(10);  // a hung child dies of SIGALRM
    const auto tid = static_cast<uint32_t>(syscall(SYS_gettid));
    // The parent's registrations, limits, monitor and delivery threads stay there.
    CpuSchedule* scheduler = CpuSchedule::GetInstance();
    if (scheduler->InitCount() != 0 || scheduler->ObjectCount() != 0) return 1;
    if (kvo_query_vurizeda_cpucnt() != 0) return 2;
    KVO_LOGI("fork child %d", static_cast<int>(getpid()));  // the log lock is usable
    kvo_perfctrl_uninit();                                  // nothing to stop: returns at once
    kvo_add_cpu_group("nosuch", tid);                       // the group lock is usable in the child
    kvo_del_cpu_vurizeda(tid);                              // and so is the monitor lock
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

// A 5 kHz flood from outside while the first limit moves and the host forks:
// every thread keeps going and every child ends by itself with 0.
TEST(Fork, ChildrenOfALimitedHostUnderASignalFloodNeitherHangNorCrash) {
    RunWithWatchdog(120, "fork and flood", [] {
        TempDir dir;
        const std::string config =
            dir.Write("kvo.ini",
                      "[td_cpu]\nadjust_cycle = 1\n[adapt_cpu]\nadjust_cycle = 1\n"
                      "[user_behavior]\nbehavior_switch = 1\nallow_time = 60\n");
        ASSERT_EQ(kvo_perfctrl_init(config.c_str()), 0u);
        kvo_enable_vurizeda(2, 1);
        ASSERT_EQ(kvo_add_cpu_vurizeda(static_cast<uint32_t>(syscall(SYS_gettid))), 0u);
        const size_t before = CpuSchedule::GetInstance()->ObjectCount();
        std::list<BusyThread> threads;
        for (float limit : {20.0f, 40.0f, 0.0f, 0.0f}) threads.emplace_back(limit);  // 0: unlimited
        const pid_t flood = StartSignalFlood(threads, 5000, 3.0);
        for (int i = 0; i < 10; ++i) {
            usleep(static_cast<useconds_t>(7000 + 23000 * i));  // some forks fall inside a pass
            EXPECT_EQ(AddCpuCtrlObject(threads.front().tid, i % 2 ? 20.0f : 35.0f), 1);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
            // The sanitizers' own allocators (GCC 12's runtimes) are not fork-safe: a
            // child hangs in malloc when a parent thread held the allocator's lock.
            const pid_t child = fork();
            if (child == 0) exit(ChildBody());
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status)) << "child died or hung, status " << status;
            EXPECT_EQ(WEXITSTATUS(status), 0) << "fork " << i;
#endif
        }
        int status = -1;
        ASSERT_EQ(waitpid(flood, &status, 0), flood);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "sender status " << status;
        for (BusyThread& thread : threads) thread.seen = thread.loops;
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        for (BusyThread& thread : threads) EXPECT_GT(thread.loops, thread.seen) << "stalled";
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), before + 2) << "the parent's stay";
        threads.clear();
        kvo_perfctrl_uninit();
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
    });
}
