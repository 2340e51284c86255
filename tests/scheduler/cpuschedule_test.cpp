// The registry and its life cycle, driven pass by pass against the fake seam:
// counting of registrations, create versus adjust, refusals, terminated
// entries, visiting order and the handler's non-waiting lookup.
#include "scheduler/cpuschedule.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>

#include <memory>

#include "scheduler/threadctrlobject.h"
#include "support/fake_sched_env.h"

namespace {

constexpr int64_t kNoPace = 3600 * 1000;  // the schedule thread never ticks on its own
constexpr auto kThread = CpuSchedule::CTRL_OBJECT_THREAD;

class ScheduleTest : public ::testing::Test {
protected:
    void TearDown() override { sched.reset(); }

    bool Add(unsigned int id, float percent, uint32_t caller) {
        env.tid = caller;
        return sched->RegisterObject(kThread, id, percent);
    }

    float LimitOf(unsigned int id) {
        ICtrlObject* object = sched->AcquireObject(kThread, id);
        if (object == nullptr) return -1;
        const float limit = static_cast<CThreadCtrlObject*>(object)->Limit();
        object->Release();
        return limit;
    }

    std::vector<uint32_t> SignalTargets() {
        std::vector<uint32_t> tids;
        for (const auto& s : env.Signals()) tids.push_back(s.tid);
        return tids;
    }

    FakeSchedEnv env;  // outlives the scheduler
    std::unique_ptr<CpuSchedule> sched = std::make_unique<CpuSchedule>(&env, kNoPace, kNoPace);
};

TEST_F(ScheduleTest, RegistrationsAreCountedAndTheLastOneReleasesEveryObject) {
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(sched->Initialize());
    EXPECT_EQ(sched->InitCount(), 2);
    ASSERT_TRUE(Add(5, 30, 5));
    ICtrlObject* held = sched->AcquireObject(kThread, 5);
    ASSERT_NE(held, nullptr);

    sched->UnInitialize();
    EXPECT_EQ(sched->InitCount(), 1);
    EXPECT_EQ(sched->ObjectCount(), 1u) << "one registration left: still running";

    sched->UnInitialize();
    EXPECT_EQ(sched->InitCount(), 0);
    EXPECT_EQ(sched->ObjectCount(), 0u);
    EXPECT_EQ(held->Release(), 0u) << "the registry's reference went with the stop";

    sched->UnInitialize();  // more often than Initialize: harmless
    EXPECT_EQ(sched->InitCount(), 0);
    ASSERT_TRUE(sched->Initialize());
    EXPECT_EQ(sched->InitCount(), 1);
    EXPECT_TRUE(Add(5, 30, 5));
}

TEST_F(ScheduleTest, AddFailsAndDelDoesNothingWhileStopped) {
    errno = 0;
    EXPECT_FALSE(Add(5, 30, 5)) << "never started";
    EXPECT_EQ(errno, EAGAIN);
    sched->UnRegisterObject(kThread, 5);
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(5, 30, 5));
    sched->UnInitialize();
    errno = 0;
    EXPECT_FALSE(Add(6, 30, 6)) << "stopped";
    EXPECT_EQ(errno, EAGAIN);
    sched->UnRegisterObject(kThread, 5);
    EXPECT_EQ(sched->ObjectCount(), 0u);
}

TEST_F(ScheduleTest, SecondAddChangesTheLimitButNotTheSignalledThread) {
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(5, 30, 501));
    ICtrlObject* first = sched->AcquireObject(kThread, 5);
    ASSERT_TRUE(Add(5, 60, 502));
    ICtrlObject* second = sched->AcquireObject(kThread, 5);
    EXPECT_EQ(first, second);
    EXPECT_EQ(sched->ObjectCount(), 1u);
    EXPECT_FLOAT_EQ(LimitOf(5), 60.0f);
    EXPECT_FLOAT_EQ(first->GetCurrentCpu(), 60.0f);
    first->Release();
    second->Release();

    ASSERT_TRUE(Add(5, 20, 503));  // low enough to need a sleep on one processor
    sched->SchedulePass();
    sched->SchedulePass();
    EXPECT_EQ(SignalTargets(), std::vector<uint32_t>{501});
}

TEST_F(ScheduleTest, RefusedPercentageRemovesTheEntry) {
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(5, 30, 5));
    ICtrlObject* held = sched->AcquireObject(kThread, 5);
    errno = 0;
    EXPECT_FALSE(Add(5, 150, 5));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sched->ObjectCount(), 0u);
    EXPECT_EQ(held->Release(), 0u) << "both the registry's and the lookup's reference went";
    EXPECT_TRUE(Add(5, 30, 5)) << "a later add creates a fresh object";
}

TEST_F(ScheduleTest, BadArgumentsRegisterNothing) {
    ASSERT_TRUE(sched->Initialize());
    const struct {
        unsigned int id;
        float percent;
    } kEinval[] = {{0, 50}, {5, 0.05f}, {5, 150}, {5, NAN}, {5, -3}};
    for (const auto& c : kEinval) {
        errno = 0;
        EXPECT_FALSE(Add(c.id, c.percent, 5)) << c.id << " " << c.percent;
        EXPECT_EQ(errno, EINVAL);
    }
    for (int type : {0, 1, 3}) {
        EXPECT_FALSE(sched->RegisterObject(static_cast<CpuSchedule::CtrlObjectType>(type), 5, 50))
            << "type " << type;
    }
    EXPECT_EQ(sched->ObjectCount(), 0u);
}

TEST_F(ScheduleTest, TerminatedEntriesLeaveOnTheNextPass) {
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(5, 50, 900));
    ASSERT_TRUE(Add(6, 50, 600));
    env.SetSignalResult(900, ESRCH);  // thread 900 ends
    EXPECT_TRUE(sched->SchedulePass());
    EXPECT_TRUE(sched->SchedulePass());  // the signal to 900 fails: terminated
    EXPECT_EQ(sched->ObjectCount(), 2u) << "noticed in this pass, removed in the next";
    EXPECT_TRUE(Add(5, 40, 900)) << "a terminated entry still takes a new limit";
    EXPECT_FLOAT_EQ(LimitOf(5), 40.0f);
    EXPECT_TRUE(sched->SchedulePass());
    EXPECT_EQ(sched->ObjectCount(), 1u);
    EXPECT_FLOAT_EQ(LimitOf(6), 50.0f);
    sched->UnRegisterObject(kThread, 6);
    EXPECT_FALSE(sched->SchedulePass()) << "an empty registry asks for the idle pace";
}

TEST_F(ScheduleTest, PassVisitsThreadsInAscendingId) {
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(30, 20, 1030));
    ASSERT_TRUE(Add(10, 20, 1010));
    ASSERT_TRUE(Add(20, 20, 1020));
    sched->SchedulePass();
    sched->SchedulePass();
    EXPECT_EQ(SignalTargets(), (std::vector<uint32_t>{1010, 1020, 1030}));
}

TEST_F(ScheduleTest, DelRemovesOnlyItsOwnEntry) {
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(5, 30, 5));
    ASSERT_TRUE(Add(6, 30, 6));
    sched->UnRegisterObject(kThread, 99);
    EXPECT_EQ(sched->ObjectCount(), 2u);
    sched->UnRegisterObject(kThread, 5);
    EXPECT_EQ(sched->ObjectCount(), 1u);
    EXPECT_EQ(sched->AcquireObject(kThread, 5), nullptr);
    EXPECT_FLOAT_EQ(LimitOf(6), 30.0f);
}

TEST_F(ScheduleTest, FailedStartLeavesNothingBehindAndCanBeRetried) {
    env.installOk = false;
    errno = 0;
    EXPECT_FALSE(sched->Initialize());
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(sched->InitCount(), 0);
    EXPECT_EQ(sched->RegistryLockForTest(), nullptr);
    EXPECT_FALSE(Add(5, 30, 5));
    env.installOk = true;
    EXPECT_TRUE(sched->Initialize());
    EXPECT_TRUE(Add(5, 30, 5));
}

class HandlerTest : public ScheduleTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(sched->Initialize());
        ASSERT_TRUE(Add(5, 50, 5));  // one processor: 125 ms from the second pass
        sched->SchedulePass();
        sched->SchedulePass();
        env.ClearRecords();
        env.tid = 5;  // the handler runs "in" thread 5
    }
};

TEST_F(HandlerTest, HandlerSleepsOnlyInThreadsWithAnEntryAndKeepsErrno) {
    errno = 1234;
    CpuSchedule::SignalHandler(SIGUSR1);
    EXPECT_EQ(errno, 1234) << "the sleep's EINTR must not leak into the interrupted code";
    EXPECT_EQ(env.Sleeps(), std::vector<int64_t>{125});

    CpuSchedule::SignalHandler(SIGUSR2);
    env.tid = 6;
    CpuSchedule::SignalHandler(SIGUSR1);
    EXPECT_EQ(env.Sleeps().size(), 1u);
}

TEST_F(HandlerTest, LookupSkipsWhileTheRegistryIsHeldExclusively) {
    kvo_rwlock_t lock = sched->RegistryLockForTest();
    kvo_rwlock_exclusive_acquire(lock);
    sched->ProcessObject(kThread, 5);  // would deadlock if it waited
    kvo_rwlock_exclusive_release(lock);
    EXPECT_TRUE(env.Sleeps().empty()) << "busy lock: this tick's sleep is skipped";

    kvo_rwlock_shared_acquire(lock);
    sched->ProcessObject(kThread, 5);  // a shared holder still gets its sleep
    kvo_rwlock_shared_release(lock);
    sched->ProcessObject(kThread, 5);
    EXPECT_EQ(env.Sleeps(), (std::vector<int64_t>{125, 125}));
}

TEST_F(HandlerTest, StoppedSchedulerIgnoresTheSignal) {
    sched->UnInitialize();
    CpuSchedule::SignalHandler(SIGUSR1);
    EXPECT_TRUE(env.Sleeps().empty());
}

TEST_F(ScheduleTest, DestructorStopsDespiteOutstandingRegistrations) {
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(sched->Initialize());
    ASSERT_TRUE(Add(5, 30, 5));
    ICtrlObject* held = sched->AcquireObject(kThread, 5);
    sched.reset();
    EXPECT_EQ(held->Release(), 0u);
}

}  // namespace
