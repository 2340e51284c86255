// Duty cycle of one thread: limits, the four-tick cycle, measurement and
// smoothing, the duty ratio and the signal, against made-up /proc readings.
#include "scheduler/threadctrlobject.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>

#include <memory>

#include "support/fake_sched_env.h"

namespace {

constexpr int kTid = 321;
constexpr long long kTick = 250;

// Owns one reference of a heap object and releases it at the end of the test.
struct ObjectRef {
    explicit ObjectRef(SchedEnv* env) : object(new CThreadCtrlObject(env)) {}
    ~ObjectRef() { object->Release(); }
    CThreadCtrlObject* operator->() const { return object; }
    CThreadCtrlObject* object;
};

class ThreadCtrlObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        env.tid = kTid;
        env.SetTotalTime(1000);
        env.SetThreadTime(kTid, 100, 0);
    }

    // Advances the made-up clocks: the system by dTotal ticks, the thread by dThread.
    void Advance(int64_t dTotal, int64_t dThread) {
        total += dTotal;
        thread += dThread;
        env.SetTotalTime(total);
        env.SetThreadTime(kTid, static_cast<uint64_t>(thread), 0);
    }

    size_t SignalCount() { return env.Signals().size(); }

    FakeSchedEnv env;
    int64_t total = 1000;
    int64_t thread = 100;
};

struct LimitCase {
    int tid;
    float limit;
    bool accepted;
};
const LimitCase kLimits[] = {
    {kTid, 0.1f, true}, {kTid, 100.0f, true}, {kTid, 50.0f, true},
    {0, 50.0f, false},  {kTid, 0.09f, false}, {kTid, 100.5f, false},
    {kTid, NAN, false}, {kTid, -1.0f, false}, {kTid, INFINITY, false},
};

TEST_F(ThreadCtrlObjectTest, AttachAndAdjustAcceptOnlyLimitsFromATenthTo100) {
    for (const auto& c : kLimits) {
        SCOPED_TRACE(testing::Message() << "tid " << c.tid << " limit " << c.limit);
        ObjectRef attached(&env);
        errno = 0;
        EXPECT_EQ(attached->Attach(c.tid, c.limit), c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(errno, EINVAL);
            // Nothing was bound: the per-tick step does nothing at all.
            env.ClearRecords();
            for (int i = 0; i < 4; ++i) attached->RefreshTime(kTick);
            EXPECT_TRUE(env.ReadPaths().empty());
        }
        if (c.tid == 0) continue;
        ObjectRef adjusted(&env);
        ASSERT_TRUE(adjusted->Attach(kTid, 50.0f));
        errno = 0;
        EXPECT_EQ(adjusted->AdjustCpuRatio(c.limit), c.accepted);
        EXPECT_EQ(adjusted->Limit(), c.accepted ? c.limit : 50.0f);
        if (!c.accepted) {
            EXPECT_EQ(errno, EINVAL);
        }
    }
}

TEST_F(ThreadCtrlObjectTest, AttachFailsWhenTheCallingThreadFailsItsExistenceTest) {
    for (int rc : {ESRCH, EINVAL}) {
        env.SetSignalResult(env.tid, rc);
        ObjectRef object(&env);
        errno = 0;
        EXPECT_FALSE(object->Attach(kTid, 50.0f));
        EXPECT_EQ(errno, rc);
    }
    env.SetSignalResult(env.tid, EPERM);  // any other answer means the thread exists
    ObjectRef object(&env);
    EXPECT_TRUE(object->Attach(kTid, 50.0f));
}

struct SecondTickCase {
    unsigned int cpus;
    float limit;
    int64_t sleepMs;
};
// The first calculation keeps the ratio at cpus * limit / 100: sleep = 250 minus
// the truncated run time, 0 when that is 1 or less, and at most the whole tick.
const SecondTickCase kSecondTick[] = {
    {1, 50.0f, 125}, {1, 20.0f, 200}, {2, 30.0f, 100}, {4, 10.0f, 150},
    {1, 99.5f, 2},   {1, 99.6f, 0},   {4, 50.0f, 0},   {1, 0.1f, 250},
};

TEST_F(ThreadCtrlObjectTest, SecondTickSleepFollowsTheScaledLimit) {
    for (const auto& c : kSecondTick) {
        SCOPED_TRACE(testing::Message() << c.cpus << " cpus, limit " << c.limit);
        env.cpus = c.cpus;
        env.ClearRecords();
        ObjectRef object(&env);
        ASSERT_TRUE(object->Attach(kTid, c.limit));
        object->RefreshTime(kTick);
        EXPECT_EQ(object->SleepMs(), 0) << "no sleep in the first tick";
        EXPECT_EQ(SignalCount(), 0u);
        object->RefreshTime(kTick);
        EXPECT_EQ(object->SleepMs(), c.sleepMs);
        EXPECT_EQ(SignalCount(), c.sleepMs > 0 && c.limit < 100.0f ? 1u : 0u);
    }
}

TEST_F(ThreadCtrlObjectTest, FourProcessorsAtFiftyRunFreelyWithRatioJustBelowOne) {
    env.cpus = 4;
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 50.0f));
    EXPECT_FLOAT_EQ(object->Ratio(), 2.0f) << "ratio starts at the scaled limit";
    object->RefreshTime(kTick);
    object->RefreshTime(kTick);
    EXPECT_FLOAT_EQ(object->Ratio(), 0.999f);
    EXPECT_EQ(object->SleepMs(), 0);
}

TEST_F(ThreadCtrlObjectTest, SignalGoesToTheAttachingThreadAndDojobSleepsTheSleepTime) {
    env.tid = 777;  // a thread registering another: the registering one sleeps
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 50.0f));
    object->RefreshTime(kTick);
    object->RefreshTime(kTick);
    auto signals = env.Signals();
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_EQ(signals[0].tid, 777u);
    EXPECT_EQ(signals[0].sig, SIGUSR1);
    object->Dojob();
    EXPECT_EQ(env.Sleeps(), std::vector<int64_t>{125});
}

TEST_F(ThreadCtrlObjectTest, OneSecondCycleMeasuresOnTicksTwoToFourOnly) {
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 50.0f));
    const int expectReads[] = {0, 1, 1, 1, 0, 1, 1, 1, 0};
    for (int tick = 0; tick < 9; ++tick) {
        SCOPED_TRACE(testing::Message() << "tick " << tick + 1);
        env.ClearRecords();
        Advance(100, 50);
        object->RefreshTime(kTick);
        EXPECT_EQ(env.ReadCount("/proc/stat"), expectReads[tick]);
        EXPECT_EQ(env.ReadCount(env.ThreadStatPath(kTid)), expectReads[tick]);
        // Every tick signals with the sleep last calculated, from tick 2 on.
        EXPECT_EQ(SignalCount(), tick == 0 ? 0u : 1u);
    }
}

TEST_F(ThreadCtrlObjectTest, FirstSampleOfSixtyOnFiftyGivesTheWorkedFigures) {
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 50.0f));
    object->RefreshTime(kTick);
    Advance(100, 60);
    object->RefreshTime(kTick);  // baseline only; ratio stays 0.5
    EXPECT_FLOAT_EQ(object->GetCurrentCpu(), 50.0f);
    EXPECT_EQ(object->SleepMs(), 125);
    Advance(100, 60);
    object->RefreshTime(kTick);  // sample 60: w = 0.175 with the other slot empty
    EXPECT_FLOAT_EQ(object->SampleCpu(), 60.0f);
    EXPECT_FLOAT_EQ(object->GetCurrentCpu(), 0.825f * 50.0f + 0.175f * 60.0f);
    // D = 1.75: alpha 0.025, R stepped once, angle 1 degree so k = 0.
    EXPECT_NEAR(object->Ratio(), 0.4993713f, 1e-6);
    EXPECT_EQ(object->SleepMs(), 126);
}

TEST_F(ThreadCtrlObjectTest, LargeDistancePullsTheTargetTowardTheLimit) {
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 20.0f));
    object->RefreshTime(kTick);
    Advance(100, 100);
    object->RefreshTime(kTick);
    Advance(100, 100);
    object->RefreshTime(kTick);  // sample 100 on limit 20 from U = 20
    EXPECT_FLOAT_EQ(object->GetCurrentCpu(), 0.825f * 20.0f + 0.175f * 100.0f);
    // D = 14: alpha 0.25, angle 24 degrees, k = 8, R = 0.0692 below the band.
    EXPECT_NEAR(object->Ratio(), 0.1772885f, 1e-6);
    EXPECT_EQ(object->SleepMs(), 206);
}

struct WeightCase {
    float usage, limit, sample, weight;
};
const WeightCase kWeights[] = {
    {50, 50, 60, 0.175f},       // risen to the limit: 0.175
    {60, 10, 30, 0.25f},        // rho = 6: ten times 0.025
    {40, 50, 45, 0.025f},       // still below the limit
    {5, 10, 30, 0.525f},        // rho = s / L = 3, risen across the limit
    {5, 10, 100, 1.75f},        // rho = 10: ten times 0.175
    {30, 10, 5, 0.075f},        // rho = U / L = 3
    {10, 10, 10, 0.025f},       // the sample has not risen above U
    {9.6f, 10, 10.5f, 0.175f},  // U / L = 0.96 counts as rho, inside 1.05
};

TEST(ThreadCtrlObjectWeight, WeightFollowsRelativeLoadAndDirection) {
    for (const auto& c : kWeights) {
        SCOPED_TRACE(testing::Message() << c.usage << "/" << c.limit << " s " << c.sample);
        EXPECT_FLOAT_EQ(CThreadCtrlObject::SmoothingWeight(c.usage, c.limit, c.sample), c.weight);
    }
}

TEST_F(ThreadCtrlObjectTest, SamplesAreClampedBetweenAThousandthAnd100) {
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 50.0f));
    object->RefreshTime(kTick);
    Advance(100, 0);
    object->RefreshTime(kTick);
    Advance(100, 150);  // coarse ticks can give more than the whole processor
    object->RefreshTime(kTick);
    EXPECT_FLOAT_EQ(object->SampleCpu(), 100.0f);
    Advance(100, 0);
    object->RefreshTime(kTick);
    EXPECT_FLOAT_EQ(object->SampleCpu(), 0.001f);
}

TEST_F(ThreadCtrlObjectTest, HugeProcFiguresGiveAClampedSampleNotAnOverflow) {
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 50.0f));
    object->RefreshTime(kTick);
    Advance(100, 50);
    object->RefreshTime(kTick);  // baseline at ordinary figures
    env.SetFile("/proc/stat", "cpu  -9223372036854775807 0 0 0 0 0 0\n");
    env.SetThreadTime(kTid, 9223372036854775808ull, 0);
    object->RefreshTime(kTick);  // both differences wrap past the 64-bit range
    EXPECT_GE(object->SampleCpu(), 0.001f);
    EXPECT_LE(object->SampleCpu(), 100.0f);
}

TEST_F(ThreadCtrlObjectTest, UnchangedSystemTimeSkipsTheMeasurement) {
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 50.0f));
    object->RefreshTime(kTick);
    Advance(100, 50);
    object->RefreshTime(kTick);  // baseline
    Advance(0, 90);              // the system clock did not move
    object->RefreshTime(kTick);
    EXPECT_FLOAT_EQ(object->SampleCpu(), 0.0f);
    Advance(100, 10);  // compared with the baseline: (90 + 10) / 100
    object->RefreshTime(kTick);
    EXPECT_FLOAT_EQ(object->SampleCpu(), 100.0f);
}

TEST_F(ThreadCtrlObjectTest, EndedThreadStopsMovingTheUsage) {
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 50.0f));
    object->RefreshTime(kTick);
    Advance(100, 50);
    object->RefreshTime(kTick);
    Advance(100, 50);
    object->RefreshTime(kTick);
    Advance(100, 0);
    env.RemoveThread(kTid);
    object->RefreshTime(kTick);  // reads 0: negative delta, clamped sample
    EXPECT_FLOAT_EQ(object->SampleCpu(), 0.001f);
    const float frozen = object->GetCurrentCpu();
    for (int i = 0; i < 8; ++i) {
        Advance(100, 0);
        env.RemoveThread(kTid);
        object->RefreshTime(kTick);
    }
    EXPECT_EQ(object->GetCurrentCpu(), frozen);
    EXPECT_FALSE(object->IsTerminated()) << "only a failed signal ends the object";
}

TEST_F(ThreadCtrlObjectTest, FailedSignalTerminatesOnlyForAGoneThread) {
    const struct {
        int rc;
        bool terminated;
    } kCases[] = {{ESRCH, true}, {EINVAL, true}, {EPERM, false}, {EAGAIN, false}};
    for (const auto& c : kCases) {
        env.SetSignalResult(env.tid, 0);
        ObjectRef object(&env);
        ASSERT_TRUE(object->Attach(kTid, 50.0f));
        env.SetSignalResult(env.tid, c.rc);
        object->RefreshTime(kTick);
        object->RefreshTime(kTick);
        EXPECT_EQ(object->IsTerminated(), c.terminated) << "rc " << c.rc;
        if (c.terminated) {
            env.ClearRecords();
            object->RefreshTime(kTick);
            EXPECT_TRUE(env.ReadPaths().empty());
            EXPECT_TRUE(env.Signals().empty());
        }
    }
}

TEST_F(ThreadCtrlObjectTest, AdjustKeepsRatioAndSleepButResetsUsage) {
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 30.0f));
    object->RefreshTime(kTick);
    object->RefreshTime(kTick);
    ASSERT_EQ(object->SleepMs(), 175);
    ASSERT_TRUE(object->AdjustCpuRatio(100.0f));
    EXPECT_EQ(object->SleepMs(), 175);
    EXPECT_FLOAT_EQ(object->Ratio(), 0.3f);
    EXPECT_FLOAT_EQ(object->GetCurrentCpu(), 100.0f);
    // At 100 the thread is never signalled, whatever sleep is left over.
    env.ClearRecords();
    object->NotifyThread();
    EXPECT_TRUE(env.Signals().empty());
}

TEST_F(ThreadCtrlObjectTest, SampleAfterAdjustGoesToSlotZeroBesideTheOldSlotOne) {
    ObjectRef object(&env);
    ASSERT_TRUE(object->Attach(kTid, 50.0f));
    object->RefreshTime(kTick);
    Advance(100, 50);
    object->RefreshTime(kTick);
    Advance(100, 20);
    object->RefreshTime(kTick);  // slot 0 = 20
    Advance(100, 80);
    object->RefreshTime(kTick);  // slot 1 = 80
    ASSERT_TRUE(object->AdjustCpuRatio(40.0f));
    object->RefreshTime(kTick);  // first tick of the next second: no measurement
    Advance(100, 60);
    object->RefreshTime(kTick);  // slot 0 = 60, mean with slot 1: 70
    // U = L = 40, s = 60 has risen across the limit: w = 0.175.
    EXPECT_FLOAT_EQ(object->GetCurrentCpu(), 0.825f * 40.0f + 0.175f * 70.0f);
}

// A control object that counts its destruction.
class CountedObject : public CLifeCycleImpl<ICtrlObject> {
public:
    explicit CountedObject(int* destroyed) : m_destroyed(destroyed) {}
    ~CountedObject() override { ++*m_destroyed; }
    bool Attach(int, float) override { return true; }
    void Detach() override {}
    bool AdjustCpuRatio(float) override { return true; }
    void RefreshTime(long long) override {}
    float GetCurrentCpu() override { return 0; }
    bool IsTerminated() override { return false; }
    void ResumeIfSuspend() override {}
    void Dojob() override {}

private:
    int* m_destroyed;
};

TEST(LifeCycle, LastReleaseDestroysAtOnceButInAHandlerWaitsForTheDrain) {
    int destroyed = 0;
    CDeadList<ICtrlObject> dead;
    auto* a = new CountedObject(&destroyed);
    auto* b = new CountedObject(&destroyed);
    auto* c = new CountedObject(&destroyed);
    EXPECT_EQ(c->AddRef(), 2u);
    EXPECT_EQ(c->Release(), 1u);
    EXPECT_EQ(c->Release(), 0u) << "an ordinary last Release destroys at once";
    EXPECT_EQ(destroyed, 1);
    a->AddRef();
    EXPECT_EQ(a->ReleaseNoDestroy(), 1u);
    EXPECT_EQ(a->ReleaseNoDestroy(), 0u);
    EXPECT_EQ(b->ReleaseNoDestroy(), 0u);
    dead.Push(a);
    dead.Push(b);
    EXPECT_EQ(destroyed, 1) << "nothing is freed before the drain";
    EXPECT_FALSE(dead.Empty());
    dead.Drain();
    EXPECT_EQ(destroyed, 3);
    EXPECT_TRUE(dead.Empty());
}

}  // namespace
