// Real SIGUSR1 deliveries against the hazards of a signal-driven sleep: the
// interrupted thread holding the registry lock or the allocator, registries
// changing under the handler, threads that end, stray signals, unbalanced
// registrations, process exit and library unload. Each body runs under a
// watchdog: a deadlock aborts the suite.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "kvo_vurizeda.h"
#include "scheduler/cpuschedule.h"
#include "support/fake_sched_env.h"
#include "support/watchdog.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kThread = CpuSchedule::CTRL_OBJECT_THREAD;

uint32_t Gettid() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

int SignalThread(uint32_t tid, int sig) {
    return syscall(SYS_tgkill, static_cast<long>(getpid()), static_cast<long>(tid), sig) == 0
               ? 0
               : errno;
}

// Polls cond until it holds or the deadline passes; the result says which.
template <class Cond>
bool WaitFor(Cond cond, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (!cond()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void Spin(std::chrono::milliseconds how_long) {
    const auto end = Clock::now() + how_long;
    volatile unsigned sink = 0;
    while (Clock::now() < end) {
        for (int i = 0; i < 1000; ++i) sink = sink + i;
    }
}

// A test scheduler over the real environment with its sleeps counted; passes
// are driven by hand, the real signal and the real handler do the rest.
class RealSignalTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sched->Initialize()); }
    void TearDown() override { sched.reset(); }

    RecordingSchedEnv env;
    std::unique_ptr<CpuSchedule> sched =
        std::make_unique<CpuSchedule>(&env, 3600 * 1000, 3600 * 1000);
};

TEST_F(RealSignalTest, OnlyAThreadWithAnEntrySleepsInItsHandler) {
    RunWithWatchdog(60, "signal delivery", [&] {
        std::atomic<uint32_t> limitedTid{0};
        std::atomic<bool> stop{false};
        std::thread limited([&] {
            limitedTid = Gettid();
            ASSERT_TRUE(sched->RegisterObject(kThread, limitedTid, 20));
            while (!stop) Spin(std::chrono::milliseconds(5));
        });
        ASSERT_TRUE(WaitFor([&] { return sched->ObjectCount() == 1; }, std::chrono::seconds(10)));
        sched->SchedulePass();
        sched->SchedulePass();  // signals the limited thread
        EXPECT_TRUE(WaitFor([&] { return env.SleepCount() >= 1; }, std::chrono::seconds(10)));
        EXPECT_EQ(env.LastSleepTid(), limitedTid.load());

        // A stray SIGUSR1 from outside: the limited thread sleeps once more,
        // this unlimited thread not at all.
        const int before = env.SleepCount();
        EXPECT_EQ(SignalThread(limitedTid, SIGUSR1), 0);
        EXPECT_TRUE(WaitFor([&] { return env.SleepCount() > before; }, std::chrono::seconds(10)));
        const int after = env.SleepCount();
        EXPECT_EQ(SignalThread(Gettid(), SIGUSR1), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(env.SleepCount(), after);
        EXPECT_EQ(env.LastSleepTid(), limitedTid.load());

        stop = true;
        limited.join();
    });
}

TEST_F(RealSignalTest, SignalWhileHoldingTheRegistryLockNeverDeadlocks) {
    RunWithWatchdog(60, "signal under the registry lock", [&] {
        const uint32_t self = Gettid();
        ASSERT_TRUE(sched->RegisterObject(kThread, self, 20));
        sched->SchedulePass();
        sched->SchedulePass();  // a sleep is due from now on
        kvo_rwlock_t lock = sched->RegistryLockForTest();
        for (int i = 0; i < 200; ++i) {
            kvo_rwlock_exclusive_acquire(lock);
            SignalThread(self, SIGUSR1);  // the handler runs while we hold the lock
            kvo_rwlock_exclusive_release(lock);
        }
        const int before = env.SleepCount();
        kvo_rwlock_shared_acquire(lock);
        SignalThread(self, SIGUSR1);  // shared holder: the handler gets in and sleeps
        kvo_rwlock_shared_release(lock);
        EXPECT_TRUE(WaitFor([&] { return env.SleepCount() > before; }, std::chrono::seconds(10)));
        sched->UnRegisterObject(kThread, self);
    });
}

TEST_F(RealSignalTest, RemovalWhileTheOwnerSleepsDefersTheLastRelease) {
    RunWithWatchdog(60, "removal during the sleep", [&] {
        for (int round = 0; round < 8; ++round) {
            std::atomic<uint32_t> tid{0};
            std::atomic<bool> stop{false};
            std::thread limited([&] {
                tid = Gettid();
                ASSERT_TRUE(sched->RegisterObject(kThread, tid, 0.1f));  // sleeps whole ticks
                while (!stop) Spin(std::chrono::milliseconds(1));
            });
            ASSERT_TRUE(
                WaitFor([&] { return sched->ObjectCount() == 1; }, std::chrono::seconds(10)));
            const int before = env.SleepCount();
            sched->SchedulePass();
            sched->SchedulePass();
            ASSERT_TRUE(
                WaitFor([&] { return env.SleepCount() > before; }, std::chrono::seconds(10)));
            // The thread is inside its 250 ms sleep: once the entry is gone its
            // handler holds the last reference, and must not free it there.
            sched->UnRegisterObject(kThread, tid);
            stop = true;
            limited.join();
            sched->SchedulePass();  // destroys what the handler left behind
        }
    });
}

// ---- Through the exported interface: the singleton and the real schedule thread

class ExportedTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(RegisterCpuCtrl(), 1); }
    void TearDown() override {
        UnRegisterCpuCtrl();
        EXPECT_EQ(CpuSchedule::GetInstance()->InitCount(), 0);
    }
};

TEST_F(ExportedTest, ThreadThatKeepsAddingAndRemovingItsOwnLimit) {
    RunWithWatchdog(120, "self add/remove", [] {
        std::thread worker([] {
            const uint32_t self = Gettid();
            const auto end = Clock::now() + std::chrono::seconds(3);
            while (Clock::now() < end) {
                ASSERT_EQ(AddCpuCtrlObject(self, 10), 1);
                Spin(std::chrono::milliseconds(2));
                ASSERT_EQ(AddCpuCtrlObject(self, 40), 1);
                DelCpuCtrlObject(self);
            }
        });
        worker.join();
    });
    EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
}

TEST_F(ExportedTest, LimitedThreadInsideMallocWhileOthersChangeTheRegistry) {
    RunWithWatchdog(120, "allocator under signals", [] {
        std::atomic<bool> stop{false};
        std::atomic<long> allocations{0};
        std::thread allocating([&] {
            ASSERT_EQ(AddCpuCtrlObject(Gettid(), 10), 1);
            std::vector<void*> blocks(64, nullptr);
            unsigned seed = 7;
            while (!stop) {
                seed = seed * 1103515245u + 12345u;
                void*& slot = blocks[seed % blocks.size()];
                free(slot);
                slot = malloc(16 + seed % 4096);
                ++allocations;
            }
            for (void* p : blocks) free(p);
            DelCpuCtrlObject(Gettid());
        });
        std::thread churn([&] {
            const uint32_t self = Gettid();
            while (!stop) {
                ASSERT_EQ(AddCpuCtrlObject(self, 50), 1);  // allocates a node and an object
                DelCpuCtrlObject(self);
            }
        });
        std::this_thread::sleep_for(std::chrono::seconds(3));
        stop = true;
        allocating.join();
        churn.join();
        EXPECT_GT(allocations.load(), 0);
    });
}

TEST_F(ExportedTest, ThreadRemovingAndReAddingAnothersEntry) {
    RunWithWatchdog(120, "remove/re-add another thread", [] {
        std::atomic<bool> stop{false};
        std::atomic<uint32_t> victim{0};
        std::thread limited([&] {
            victim = Gettid();
            ASSERT_EQ(AddCpuCtrlObject(victim, 30), 1);
            while (!stop) Spin(std::chrono::milliseconds(5));
            DelCpuCtrlObject(victim);
        });
        ASSERT_TRUE(WaitFor([&] { return victim != 0; }, std::chrono::seconds(10)));
        std::thread meddler([&] {
            while (!stop) {
                DelCpuCtrlObject(victim);
                ASSERT_EQ(AddCpuCtrlObject(victim, 30), 1);
            }
        });
        std::this_thread::sleep_for(std::chrono::seconds(3));
        stop = true;
        meddler.join();
        limited.join();
    });
}

TEST_F(ExportedTest, LimitedThreadThatEndsIsRemoved) {
    RunWithWatchdog(60, "ended thread", [] {
        std::thread shortLived([] {
            ASSERT_EQ(AddCpuCtrlObject(Gettid(), 10), 1);
            Spin(std::chrono::milliseconds(300));
        });
        shortLived.join();
        // The next due signal fails (ESRCH) and the pass after removes the entry.
        EXPECT_TRUE(WaitFor([] { return CpuSchedule::GetInstance()->ObjectCount() == 0; },
                            std::chrono::seconds(15)));
    });
}

TEST(ExportedLifecycle, UnregisteringMoreOftenThanRegisteringIsHarmless) {
    ASSERT_EQ(RegisterCpuCtrl(), 1);
    UnRegisterCpuCtrl();
    UnRegisterCpuCtrl();
    UnRegisterCpuCtrl();
    EXPECT_EQ(CpuSchedule::GetInstance()->InitCount(), 0);
    ResumeUpdateThread(Gettid());
    // Stopped, the handler stays in place and does nothing.
    EXPECT_EQ(SignalThread(Gettid(), SIGUSR1), 0);
    errno = 0;
    EXPECT_EQ(AddCpuCtrlObject(Gettid(), 30), 0);
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_EQ(RegisterCpuCtrl(), 1);
    EXPECT_EQ(AddCpuCtrlObject(Gettid(), 30), 1);
    UnRegisterCpuCtrl();
    EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
}

TEST(ExportedLifecycle, ProcessExitWithRegistrationsOutstanding) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            RegisterCpuCtrl();
            RegisterCpuCtrl();
            std::thread([] {
                AddCpuCtrlObject(Gettid(), 20);
                for (;;) Spin(std::chrono::milliseconds(10));
            }).detach();
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ExportedLifecycle, UnloadedLibraryLeavesNoHandlerBehind) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            void* lib = dlopen(KVO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
            if (lib == nullptr) exit(2);
            auto reg = reinterpret_cast<int (*)()>(dlsym(lib, "RegisterCpuCtrl"));
            auto add = reinterpret_cast<int (*)(unsigned, float)>(dlsym(lib, "AddCpuCtrlObject"));
            auto unreg = reinterpret_cast<void (*)()>(dlsym(lib, "UnRegisterCpuCtrl"));
            if (reg == nullptr || add == nullptr || unreg == nullptr) exit(3);
            if (reg() != 1 || add(Gettid(), 20) != 1) exit(4);
            Spin(std::chrono::milliseconds(800));  // limited: signalled and sleeping
            unreg();
            dlclose(lib);
            // The handler's code is gone; the signal must not jump into it.
            SignalThread(Gettid(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
