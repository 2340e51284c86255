// The scheduler's registry pass by pass against the fake seam; then real SIGUSR1
// against the handler's hazards (registry lock held, entries going, a signal
// after the stop), under a watchdog against deadlock.
#include "scheduler/cpuschedule.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "support/fake_sched_env.h"
#include "support/watchdog.h"

#if defined(__SANITIZE_THREAD__)
constexpr bool kSignalsDeferred = true;
#else
constexpr bool kSignalsDeferred = false;
#endif

namespace {

using std::chrono::milliseconds;
constexpr auto kThread = CpuSchedule::CTRL_OBJECT_THREAD;

uint32_t Gettid() { return static_cast<uint32_t>(syscall(SYS_gettid)); }
void SignalThread(uint32_t tid) { syscall(SYS_tgkill, getpid(), tid, SIGUSR1); }
// Polls cond for up to ten seconds; the result says whether it came true.
template <class Cond>
bool WaitFor(Cond cond) {
    for (int i = 0; i < 2000 && !cond(); ++i) std::this_thread::sleep_for(milliseconds(5));
    return cond();
}

class ScheduleTest : public ::testing::Test {
protected:
    // By default a thread limits itself, so a signal names the id registered.
    bool Add(unsigned int id, float percent, uint32_t caller = 0) {
        env.tid = caller != 0 ? caller : id;
        return sched->RegisterObject(kThread, id, percent);
    }
    std::vector<uint32_t> Signalled() {
        std::vector<uint32_t> tids;
        for (const auto& s : env.signals) tids.push_back(s.tid);
        return tids;
    }

    FakeSchedEnv env;  // outlives the scheduler, whose own thread never ticks
    std::unique_ptr<CpuSchedule> sched = std::make_unique<CpuSchedule>(&env, 3600000, 3600000);
};

TEST_F(ScheduleTest, RegistrationsAreCountedAndTheLastOneReleasesEveryObject) {
    env.installOk = false;
    errno = 0;
    EXPECT_FALSE(sched->Initialize()) << "a failed start leaves nothing behind";
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(sched->RegistryLockForTest(), nullptr);
    env.installOk = true;
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(5, 30));
    ICtrlObject* held = sched->AcquireObject(kThread, 5);
    sched->UnInitialize();
    EXPECT_EQ(sched->ObjectCount(), 1u) << "one registration left: still running";
    sched->UnInitialize();
    EXPECT_EQ(sched->ObjectCount(), 0u);
    EXPECT_EQ(held->Release(), 0u) << "the registry's reference went with the stop";
    sched->UnInitialize();  // more often than Initialize: harmless
    errno = 0;
    EXPECT_FALSE(Add(6, 30)) << "stopped";
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_TRUE(sched->Initialize());
    EXPECT_EQ(sched->InitCount(), 1);
    EXPECT_TRUE(Add(5, 30));  // left to the destructor: a leak check sees the rest
}

TEST_F(ScheduleTest, SecondAddAdjustsTheLimitKeepsTheSignalledThreadAndOnlyItSleeps) {
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(5, 30, 501));
    ICtrlObject* first = sched->AcquireObject(kThread, 5);
    ASSERT_TRUE(Add(5, 20, 502));
    EXPECT_EQ(sched->ObjectCount(), 1u);
    EXPECT_FLOAT_EQ(first->GetCurrentCpu(), 20.0f) << "the same object, adjusted";
    first->Release();
    sched->SchedulePass();
    sched->SchedulePass();
    EXPECT_EQ(Signalled(), std::vector<uint32_t>{501});
    errno = 1234;
    env.tid = 5;
    CpuSchedule::SignalHandler(SIGUSR1);  // "in" thread 5
    EXPECT_EQ(errno, 1234) << "the sleep's EINTR must not leak into the interrupted code";
    CpuSchedule::SignalHandler(SIGUSR2);
    env.tid = 6;
    CpuSchedule::SignalHandler(SIGUSR1);  // no entry: no sleep
    // The ratio 0.3 of the first limit, moved once toward 0.2: 250 - 74.
    EXPECT_EQ(env.sleeps, std::vector<int64_t>{176});
    EXPECT_FALSE(sched->RegisterObject(static_cast<CpuSchedule::CtrlObjectType>(1), 6, 50));
}

TEST_F(ScheduleTest, PassesVisitInAscendingIdAndDropTerminatedEntriesOneLater) {
    ASSERT_TRUE(sched->Initialize());
    for (unsigned int id : {30, 10, 20, 40}) ASSERT_TRUE(Add(id, 20));
    sched->UnRegisterObject(kThread, 99);
    sched->UnRegisterObject(kThread, 40);
    env.signalResults[10] = ESRCH;  // thread 10 ends
    EXPECT_TRUE(sched->SchedulePass());
    EXPECT_TRUE(sched->SchedulePass());  // the signal to 10 fails: terminated
    EXPECT_EQ(Signalled(), (std::vector<uint32_t>{10, 20, 30}));
    EXPECT_EQ(sched->ObjectCount(), 3u) << "noticed in this pass, removed in the next";
    EXPECT_TRUE(Add(10, 40)) << "a terminated entry still takes a new limit";
    EXPECT_TRUE(sched->SchedulePass());
    EXPECT_EQ(sched->ObjectCount(), 2u);
    EXPECT_EQ(sched->AcquireObject(kThread, 10), nullptr);
    sched->UnRegisterObject(kThread, 20);
    sched->UnRegisterObject(kThread, 30);
    EXPECT_FALSE(sched->SchedulePass()) << "an empty registry asks for the idle pace";
}

// ---- Real SIGUSR1 deliveries

// A test scheduler over the real environment with its sleeps counted; passes
// are driven by hand, the real signal and the real handler do the rest.
TEST(RealSignal, LimitedThreadSleepsUnderTheRegistryLockAndWhileItsEntryGoes) {
    RecordingSchedEnv env;
    CpuSchedule sched(&env, 3600000, 3600000);
    ASSERT_TRUE(sched.Initialize());
    RunWithWatchdog(60, "signals against the registry", [&] {
        const uint32_t self = Gettid();
        ASSERT_TRUE(sched.RegisterObject(kThread, self, 20));
        sched.SchedulePass();
        sched.SchedulePass();  // signals this thread: a sleep is due from now on
        EXPECT_EQ(env.SleepCount(), 1);
        kvo_rwlock_t lock = sched.RegistryLockForTest();
        for (int i = 0; i < 200; ++i) {
            kvo_rwlock_exclusive_acquire(lock);
            SignalThread(self);  // the handler runs while we hold the lock: skips
            kvo_rwlock_exclusive_release(lock);
        }
        // ThreadSanitizer delivers a signal at the next intercepted call, here
        // after the release, so only the absence of a deadlock can be checked.
        const int afterExclusive = kSignalsDeferred ? env.SleepCount() : 1;
        kvo_rwlock_shared_acquire(lock);
        SignalThread(self);  // shared holder: the handler gets in and sleeps
        kvo_rwlock_shared_release(lock);
        EXPECT_EQ(env.SleepCount(), afterExclusive + 1);
        sched.UnRegisterObject(kThread, self);
        for (int round = 0; round < 8; ++round) {
            std::atomic<uint32_t> tid{0};
            std::thread limited([&] {
                ASSERT_TRUE(sched.RegisterObject(kThread, Gettid(), 0.1f));  // whole ticks
                tid = Gettid();
                while (tid != 0) std::this_thread::sleep_for(milliseconds(1));
            });
            ASSERT_TRUE(WaitFor([&] { return tid != 0; }));
            const int before = env.SleepCount();
            sched.SchedulePass();
            sched.SchedulePass();
            ASSERT_TRUE(WaitFor([&] { return env.SleepCount() > before; }));
            // Inside its 250 ms sleep the handler now holds the last reference.
            sched.UnRegisterObject(kThread, tid.exchange(0));
            limited.join();
            sched.SchedulePass();  // destroys what the handler left behind
        }
        const int sleeps = env.SleepCount();
        sched.UnInitialize();
        SignalThread(self);  // stopped: the handler stays in place and finds nothing
        EXPECT_EQ(env.SleepCount(), sleeps);
    });
}

}  // namespace
