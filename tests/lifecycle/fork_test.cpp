// A host that forks while some of its threads are limited: the child, whose
// only thread is the one that forked, must be able to allocate, log, use the
// scheduler and exit without deadlock or crash, however the fork falls on the
// schedule thread's pass.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "kvo_vurizeda.h"
#include "lifecycle/lifecycle_util.h"
#include "platform/kvo_base.h"
#include "scheduler/cpuschedule.h"
#include "support/watchdog.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' own allocators (GCC 12's runtimes) are not fork-safe: a child
// hangs in malloc when a parent thread held the allocator's lock at the fork.
constexpr bool kForkSafeAllocator = false;
#else
constexpr bool kForkSafeAllocator = true;
#endif

namespace {

// Exit codes of the child, one per step that can fail.
enum ChildResult {
    CHILD_OK = 0,
    CHILD_INHERITED = 9,
    CHILD_REGISTER = 10,
    CHILD_LIMIT = 11,
    CHILD_LEFT_OVER = 12
};

// Registered before main, so at exit it runs after every static destructor, the
// scheduler's included. A child leaves there: LeakSanitizer's exit check, which
// comes later, would count the blocks its parent's threads held as leaks,
// since those threads do not exist in the child.
const pid_t g_parentPid = getpid();
int g_childResult = 0;
void LeaveChildAfterDestructors() {
    if (getpid() != g_parentPid) _exit(g_childResult);
}
const int g_leaveRegistered = atexit(LeaveChildAfterDestructors);

uint32_t Gettid() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

// What a host's child typically does before it execs, or instead of it.
int ChildBody(bool limitItself) {
    // The parent's registrations and limits stay with the parent.
    CpuSchedule* scheduler = CpuSchedule::GetInstance();
    if (scheduler->InitCount() != 0 || scheduler->ObjectCount() != 0) return CHILD_INHERITED;
    std::vector<std::string> junk;
    for (int i = 0; i < 1000; ++i) junk.push_back(std::string(32 + i % 200, 'x'));
    KVO_LOGI("fork child %d: %zu strings", static_cast<int>(getpid()), junk.size());
    if (!limitItself) return CHILD_OK;
    if (RegisterCpuCtrl() != 1) return CHILD_REGISTER;
    const uint32_t tid = Gettid();
    if (AddCpuCtrlObject(tid, 50.0f) != 1) return CHILD_LIMIT;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    uint64_t sink = 0;
    while (std::chrono::steady_clock::now() < until) sink = SpinWork(sink);  // signals land here
    DelCpuCtrlObject(tid);
    UnRegisterCpuCtrl();
    // Only the child's own registration counted: the scheduler is stopped again.
    if (scheduler->InitCount() != 0 || scheduler->ObjectCount() != 0 || sink == 1) {
        return CHILD_LEFT_OVER;
    }
    return CHILD_OK;
}

// Forks; the child runs ChildBody and leaves with exit(), so the library's
// static destructors run in it too. Returns the child's wait status, -1 on hang.
int ForkAndWait(bool limitItself) {
    const pid_t child = fork();
    if (child == 0) {
        g_childResult = ChildBody(limitItself);
        exit(g_childResult);
    }
    if (child < 0) return -2;
    return WaitChild(child, 10000);
}

struct ForkCase {
    const char* what;
    bool limitItself;
    int forks;
};
const ForkCase kForkCases[] = {
    {"child allocates, logs and exits", false, 10},
    {"child limits a thread of its own", true, 10},
};

}  // namespace

TEST(Fork, ChildOfALimitedHostNeitherHangsNorCrashes) {
    if (!kForkSafeAllocator) GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
    RunWithWatchdog(120, "fork test", [] {
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        std::vector<std::unique_ptr<BusyThread>> threads;
        for (float limit : {20.0f, 30.0f, 50.0f, 70.0f}) {
            threads.push_back(std::make_unique<BusyThread>(limit));
        }
        for (auto& thread : threads) {
            thread->WaitStarted();
            ASSERT_TRUE(thread->registered());
        }
        for (const ForkCase& c : kForkCases) {
            for (int i = 0; i < c.forks; ++i) {
                // Spread the forks over the tick, so some fall inside a pass.
                usleep(static_cast<useconds_t>(7000 + 23000 * i % 250000));
                const int status = ForkAndWait(c.limitItself);
                ASSERT_NE(status, -1) << c.what << ": child hung (fork " << i << ")";
                ASSERT_TRUE(WIFEXITED(status)) << c.what << ": child died, status " << status;
                EXPECT_EQ(WEXITSTATUS(status), CHILD_OK) << c.what << " (fork " << i << ")";
            }
        }
        // The parent's limits are untouched by its children.
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), threads.size());
        for (auto& thread : threads) thread->Stop();
        threads.clear();
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
        UnRegisterCpuCtrl();
        EXPECT_EQ(CpuSchedule::GetInstance()->InitCount(), 0);
    });
}

namespace {

// A child of a host whose automatic controller runs: the monitor thread and the
// comm library's delivery thread exist only in the parent, so the child must see
// an uninitialised controller, and its exit must neither join nor wait for them.
int ControllerChildBody() {
    if (kvo_query_vurizeda_cpucnt() != 0) return CHILD_INHERITED;  // not initialised here
    kvo_perfctrl_uninit();  // nothing to stop: must return at once
    kvo_add_cpu_group("nosuch", Gettid());  // the group lock is usable in the child
    kvo_del_cpu_vurizeda(Gettid());         // and so is the monitor lock
    return CHILD_OK;
}

}  // namespace

TEST(Fork, ChildOfAnInitialisedControllerExitsCleanly) {
    if (!kForkSafeAllocator) GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
    RunWithWatchdog(120, "controller fork test", [] {
        char dir[] = "/tmp/kvo_fork_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string config = std::string(dir) + "/kvo.ini";
        FILE* file = fopen(config.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fputs("[td_cpu]\nadjust_cycle = 1\n[adapt_cpu]\nadjust_cycle = 1\n"
              "[user_behavior]\nbehavior_switch = 1\nallow_time = 60\n"
              "[cpu_group]\nscan = 20;60\n", file);
        fclose(file);
        ASSERT_EQ(kvo_perfctrl_init(config.c_str()), 0u);
        kvo_enable_vurizeda(2, 1);
        ASSERT_EQ(kvo_add_cpu_vurizeda(Gettid()), 0u);
        for (int i = 0; i < 10; ++i) {
            usleep(static_cast<useconds_t>(50000 + 37000 * i % 300000));
            const pid_t child = fork();
            if (child == 0) {
                g_childResult = ControllerChildBody();
                exit(g_childResult);
            }
            ASSERT_GT(child, 0);
            const int status = WaitChild(child, 10000);
            ASSERT_NE(status, -1) << "child hung (fork " << i << ")";
            ASSERT_TRUE(WIFEXITED(status)) << "child died, status " << status;
            EXPECT_EQ(WEXITSTATUS(status), CHILD_OK) << "fork " << i;
        }
        EXPECT_GT(kvo_query_vurizeda_cpucnt(), 0u);  // the parent is still initialised
        kvo_perfctrl_uninit();
        remove(config.c_str());
        rmdir(dir);
    });
}
