// The registry and its life cycle, driven pass by pass against the fake seam:
// counting of registrations, create versus adjust, refusals, terminated
// entries, visiting order and the handler's non-waiting lookup.
#include "scheduler/cpuschedule.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>

#include "scheduler/threadctrlobject.h"
#include "support/fake_sched_env.h"

namespace {

constexpr auto kThread = CpuSchedule::CTRL_OBJECT_THREAD;

class ScheduleTest : public ::testing::Test {
protected:
    // The caller is also the thread signalled, so signals name the id registered.
    bool Add(unsigned int id, float percent, uint32_t caller = 0) {
        env.tid = caller != 0 ? caller : id;
        return sched->RegisterObject(kThread, id, percent);
    }
    float LimitOf(unsigned int id) {
        ICtrlObject* object = sched->AcquireObject(kThread, id);
        const float limit = object ? static_cast<CThreadCtrlObject*>(object)->Limit() : -1;
        if (object) object->Release();
        return limit;
    }
    std::vector<uint32_t> Signalled() {
        std::vector<uint32_t> tids;
        for (const auto& s : env.Signals()) tids.push_back(s.tid);
        return tids;
    }

    FakeSchedEnv env;  // outlives the scheduler; the schedule thread never ticks
    std::unique_ptr<CpuSchedule> sched = std::make_unique<CpuSchedule>(&env, 3600000, 3600000);
};

TEST_F(ScheduleTest, RegistrationsAreCountedAndTheLastOneReleasesEveryObject) {
    errno = 0;
    EXPECT_FALSE(Add(5, 30)) << "never started";
    EXPECT_EQ(errno, EAGAIN);
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
    EXPECT_EQ(sched->InitCount(), 0);
    errno = 0;
    EXPECT_FALSE(Add(6, 30)) << "stopped";
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_TRUE(sched->Initialize());
    EXPECT_EQ(sched->InitCount(), 1);
    EXPECT_TRUE(Add(5, 30));
    ASSERT_TRUE(sched->Initialize());
    held = sched->AcquireObject(kThread, 5);
    sched.reset();  // stops despite the registrations left
    EXPECT_EQ(held->Release(), 0u);
}

TEST_F(ScheduleTest, SecondAddAdjustsTheLimitButKeepsTheSignalledThread) {
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(5, 30, 501));
    ICtrlObject* first = sched->AcquireObject(kThread, 5);
    ASSERT_TRUE(Add(5, 20, 502));
    EXPECT_EQ(sched->ObjectCount(), 1u);
    EXPECT_FLOAT_EQ(LimitOf(5), 20.0f);
    EXPECT_FLOAT_EQ(first->GetCurrentCpu(), 20.0f) << "the same object, adjusted";
    first->Release();
    sched->SchedulePass();
    sched->SchedulePass();
    EXPECT_EQ(Signalled(), std::vector<uint32_t>{501});

    errno = 0;
    EXPECT_FALSE(Add(5, 150)) << "a refused limit ends the limiting";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sched->ObjectCount(), 0u);
    EXPECT_FALSE(Add(0, 50));
    EXPECT_FALSE(sched->RegisterObject(static_cast<CpuSchedule::CtrlObjectType>(1), 5, 50));
    EXPECT_EQ(sched->ObjectCount(), 0u);
}

TEST_F(ScheduleTest, PassesVisitInAscendingIdAndDropTerminatedEntriesOneLater) {
    ASSERT_TRUE(sched->Initialize());
    for (unsigned int id : {30, 10, 20, 40}) ASSERT_TRUE(Add(id, 20));
    sched->UnRegisterObject(kThread, 99);
    sched->UnRegisterObject(kThread, 40);
    env.SetSignalResult(10, ESRCH);  // thread 10 ends
    EXPECT_TRUE(sched->SchedulePass());
    EXPECT_TRUE(sched->SchedulePass());  // the signal to 10 fails: terminated
    EXPECT_EQ(Signalled(), (std::vector<uint32_t>{10, 20, 30}));
    EXPECT_EQ(sched->ObjectCount(), 3u) << "noticed in this pass, removed in the next";
    EXPECT_TRUE(Add(10, 40)) << "a terminated entry still takes a new limit";
    EXPECT_FLOAT_EQ(LimitOf(10), 40.0f);
    EXPECT_TRUE(sched->SchedulePass());
    EXPECT_EQ(sched->ObjectCount(), 2u);
    EXPECT_EQ(sched->AcquireObject(kThread, 10), nullptr);
    sched->UnRegisterObject(kThread, 20);
    sched->UnRegisterObject(kThread, 30);
    EXPECT_FALSE(sched->SchedulePass()) << "an empty registry asks for the idle pace";
}

TEST_F(ScheduleTest, FailedStartLeavesNothingBehindAndCanBeRetried) {
    env.installOk = false;
    errno = 0;
    EXPECT_FALSE(sched->Initialize());
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(sched->InitCount(), 0);
    EXPECT_EQ(sched->RegistryLockForTest(), nullptr);
    env.installOk = true;
    EXPECT_TRUE(sched->Initialize());
    EXPECT_TRUE(Add(5, 30));
}

TEST_F(ScheduleTest, HandlerSleepsOnlyInAThreadWithAnEntryAndNeverWaitsForTheLock) {
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(5, 50));  // one processor: 125 ms from the second pass
    sched->SchedulePass();
    sched->SchedulePass();
    errno = 1234;
    CpuSchedule::SignalHandler(SIGUSR1);  // "in" thread 5
    EXPECT_EQ(errno, 1234) << "the sleep's EINTR must not leak into the interrupted code";
    CpuSchedule::SignalHandler(SIGUSR2);
    env.tid = 6;
    CpuSchedule::SignalHandler(SIGUSR1);
    EXPECT_EQ(env.Sleeps(), std::vector<int64_t>{125});

    kvo_rwlock_t lock = sched->RegistryLockForTest();
    kvo_rwlock_exclusive_acquire(lock);
    sched->ProcessObject(kThread, 5);  // would deadlock if it waited
    kvo_rwlock_exclusive_release(lock);
    EXPECT_EQ(env.Sleeps().size(), 1u) << "busy lock: this tick's sleep is skipped";
    kvo_rwlock_shared_acquire(lock);
    sched->ProcessObject(kThread, 5);  // a shared holder still gets its sleep
    kvo_rwlock_shared_release(lock);
    EXPECT_EQ(env.Sleeps().size(), 2u);
    sched->UnInitialize();
    env.tid = 5;
    CpuSchedule::SignalHandler(SIGUSR1);
    EXPECT_EQ(env.Sleeps().size(), 2u) << "a stopped scheduler ignores the signal";
}

}  // namespace
