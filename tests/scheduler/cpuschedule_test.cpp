// The registry and its life cycle, driven pass by pass against the fake seam:
// counting of registrations, create versus adjust, refusals, terminated
// entries, visiting order and the handler's lookup.
#include "scheduler/cpuschedule.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>

#include "support/fake_sched_env.h"

namespace {

constexpr auto kThread = CpuSchedule::CTRL_OBJECT_THREAD;

class ScheduleTest : public ::testing::Test {
protected:
    // By default a thread limits itself, so a signal names the id registered.
    bool Add(unsigned int id, float percent, uint32_t caller = 0) {
        env.tid = caller != 0 ? caller : id;
        return sched->RegisterObject(kThread, id, percent);
    }
    std::vector<uint32_t> Signalled() {
        std::vector<uint32_t> tids;
        for (const auto& s : env.Signals()) tids.push_back(s.tid);
        return tids;
    }

    FakeSchedEnv env;  // outlives the scheduler, whose own thread never ticks
    std::unique_ptr<CpuSchedule> sched = std::make_unique<CpuSchedule>(&env, 3600000, 3600000);
};

TEST_F(ScheduleTest, RegistrationsAreCountedAndTheLastOneReleasesEveryObject) {
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
    ASSERT_TRUE(sched->Initialize());
    EXPECT_TRUE(Add(5, 30));
    sched.reset();  // stops despite the registrations left: a leak check sees the rest
}

TEST_F(ScheduleTest, SecondAddAdjustsTheLimitButKeepsTheSignalledThread) {
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
    errno = 0;
    EXPECT_FALSE(Add(5, 150)) << "a refused limit ends the limiting";
    EXPECT_EQ(errno, EINVAL);
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
}

TEST_F(ScheduleTest, HandlerSleepsOnlyInAThreadWithAnEntryAndKeepsErrno) {
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
    sched->UnInitialize();
    env.tid = 5;
    CpuSchedule::SignalHandler(SIGUSR1);  // stopped: ignored
    EXPECT_EQ(env.Sleeps(), std::vector<int64_t>{125});
}

}  // namespace
