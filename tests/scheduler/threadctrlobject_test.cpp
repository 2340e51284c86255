// Duty cycle of one thread against made-up /proc readings: limits, the
// four-tick cycle, measurement and smoothing, the duty ratio and the signal;
// and the /proc reading and parsing beneath it.
#include "scheduler/threadctrlobject.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>

#include "scheduler/exactctrlobject.h"
#include "scheduler/procstat.h"
#include "support/fake_sched_env.h"

namespace {

constexpr int kTid = 321;          // the measured thread
constexpr uint32_t kCaller = 777;  // the thread that attached it: the one signalled

class ThreadCtrlObjectTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (object != nullptr) object->Release();
    }
    // A fresh object attached on cpus processors, with the clocks at their start.
    void Start(float limit, unsigned int cpus = 1) {
        TearDown();
        env.cpus = cpus;
        env.tid = kCaller;
        env.SetSignalResult(kCaller, 0);
        env.SetTotalTime(total = 1000);
        env.SetThreadTime(kTid, static_cast<uint64_t>(thread = 100), 0);
        env.ClearRecords();
        object = new CThreadCtrlObject(&env);
        ASSERT_TRUE(object->Attach(kTid, limit));
    }
    // One schedule tick after the system's clock moved by dTotal, the thread's by dThread.
    void Tick(int64_t dTotal = 0, int64_t dThread = 0) {
        env.SetTotalTime(total += dTotal);
        env.SetThreadTime(kTid, static_cast<uint64_t>(thread += dThread), 0);
        if (gone) env.RemoveThread(kTid);
        object->RefreshTime(250);
    }

    FakeSchedEnv env;
    CThreadCtrlObject* object = nullptr;
    int64_t total = 0, thread = 0;
    bool gone = false;  // the measured thread has ended: its stat file is missing
};

// Both modes' objects: the same range, checked on Attach and on AdjustCpuRatio.
template <class Object>
void CheckLimitRange(FakeSchedEnv* env) {
    Object object(env);
    ASSERT_TRUE(object.Attach(kTid, 50));
    float limit = 50;
    for (float l : {0.1f, 100.0f, 0.09f, 100.5f, NAN, -1.0f}) {
        const bool ok = l == 0.1f || l == 100.0f;
        errno = 0;
        EXPECT_EQ(Object(env).Attach(kTid, l), ok) << l;
        EXPECT_EQ(errno, ok ? 0 : EINVAL);
        errno = 0;
        EXPECT_EQ(object.AdjustCpuRatio(l), ok) << l;
        EXPECT_EQ(errno, ok ? 0 : EINVAL);
        if (ok) limit = l;
        EXPECT_EQ(object.Limit(), limit);
    }
    EXPECT_FALSE(Object(env).Attach(0, 50)) << "no thread id";
}

TEST_F(ThreadCtrlObjectTest, AttachAndAdjustAcceptOnlyLimitsFromATenthTo100) {
    env.tid = kCaller;
    CheckLimitRange<CThreadCtrlObject>(&env);
    CheckLimitRange<CExactCtrlObject>(&env);
    env.SetSignalResult(kCaller, ESRCH);  // the caller fails its existence test
    EXPECT_FALSE(CThreadCtrlObject(&env).Attach(kTid, 50));
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ThreadCtrlObjectTest, SecondTickSleepFollowsTheScaledLimit) {
    // Ratio and sleep after the first calculation: the sleep is 250 minus the
    // truncated run time, 0 when that is 1 or less.
    // cpus, limit, ratio, sleep
    const float kCases[][4] = {{1, 50, 0.5f, 125}, {1, 20, 0.2f, 200},    {2, 30, 0.6f, 100},
                               {4, 10, 0.4f, 150}, {1, 99.5f, 0.995f, 2}, {1, 99.6f, 0.996f, 0},
                               {4, 50, 0.999f, 0}, {1, 0.1f, 0.001f, 250}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c[0] << " cpus, limit " << c[1]);
        const auto sleepMs = static_cast<int64_t>(c[3]);
        Start(c[1], static_cast<unsigned int>(c[0]));
        Tick();
        EXPECT_EQ(object->SleepMs(), 0) << "no sleep in the first tick";
        Tick();
        EXPECT_NEAR(object->Ratio(), c[2], 1e-6);
        object->Dojob();
        EXPECT_EQ(env.Sleeps(), std::vector<int64_t>{sleepMs});
        const auto signals = env.Signals();
        EXPECT_EQ(signals.size(), sleepMs > 0 ? 1u : 0u);
        for (const auto& s : signals) EXPECT_TRUE(s.tid == kCaller && s.sig == SIGUSR1);
    }
}

TEST_F(ThreadCtrlObjectTest, FirstSampleMovesUsageRatioAndSleep) {
    const float kCases[][5] = {
        // limit, thread ticks per 100, usage, ratio and sleep after the first sample.
        // w = 0.175 (risen to the limit); D = 1.75: alpha 0.025, angle 1 degree.
        {50, 60, 0.825f * 50 + 0.175f * 60, 0.4993713f, 126},
        // D = 2.275: alpha 0.125, R pulled four times, angle 2 degrees (k = 0).
        {50, 63, 0.825f * 50 + 0.175f * 63, 0.4934204f, 127},
        // D = 14: alpha 0.25, angle 24 degrees, k = 8, R below the band.
        {20, 100, 0.825f * 20 + 0.175f * 100, 0.1772885f, 206},
    };
    for (const auto& c : kCases) {
        Start(c[0]);
        Tick();
        Tick(100, static_cast<int64_t>(c[1]));  // baseline only
        Tick(100, static_cast<int64_t>(c[1]));
        EXPECT_FLOAT_EQ(object->GetCurrentCpu(), c[2]);
        EXPECT_NEAR(object->Ratio(), c[3], 1e-6);
        EXPECT_EQ(object->SleepMs(), static_cast<int64_t>(c[4]));
    }
}

TEST(ThreadCtrlObjectWeight, WeightFollowsRelativeLoadAndDirection) {
    const float kCases[][4] = {
        // usage, limit, sample, weight
        {50, 50, 60, 0.175f}, {60, 10, 30, 0.25f},       {40, 50, 45, 0.025f},
        {5, 10, 30, 0.525f},  {5, 10, 100, 1.75f},       {30, 10, 5, 0.075f},
        {10, 10, 10, 0.025f}, {9.6f, 10, 10.5f, 0.175f},  // U / L = 0.96 is rho
    };
    for (const auto& c : kCases) {
        EXPECT_FLOAT_EQ(CThreadCtrlObject::SmoothingWeight(c[0], c[1], c[2]), c[3])
            << c[0] << "/" << c[1] << " s " << c[2];
    }
}

TEST_F(ThreadCtrlObjectTest, SamplesAreClampedAndAGoneThreadFreezesTheUsage) {
    Start(50);
    Tick();
    Tick(100, 50);  // baseline
    Tick(0, 90);    // the system clock did not move: no sample, no new baseline
    EXPECT_FLOAT_EQ(object->SampleCpu(), 0.0f);
    Tick(100, 20);  // (90 + 20) / 100, from coarse ticks: held at 100
    EXPECT_FLOAT_EQ(object->SampleCpu(), 100.0f);
    gone = true;
    Tick(100);  // first tick of the next second: no measurement
    Tick(100);  // reads 0: a negative delta
    EXPECT_FLOAT_EQ(object->SampleCpu(), 0.001f);
    const float frozen = object->GetCurrentCpu();
    for (int i = 0; i < 8; ++i) Tick(100);
    EXPECT_EQ(object->GetCurrentCpu(), frozen);
    EXPECT_FALSE(object->IsTerminated()) << "only a failed signal ends the object";
}

TEST_F(ThreadCtrlObjectTest, FailedSignalTerminatesOnlyForAGoneThread) {
    for (int rc : {ESRCH, EINVAL, EPERM, EAGAIN}) {
        Start(50);
        env.SetSignalResult(kCaller, rc);
        Tick();
        Tick();
        const bool ended = rc == ESRCH || rc == EINVAL;
        EXPECT_EQ(object->IsTerminated(), ended) << rc;
        env.ClearRecords();
        Tick();
        EXPECT_EQ(env.ReadPaths().empty(), ended) << "a terminated object does nothing";
    }
}

TEST_F(ThreadCtrlObjectTest, AdjustKeepsRatioSleepAndHistoryButRestartsItsSlotAndUsage) {
    Start(30);
    Tick();
    Tick();
    ASSERT_EQ(object->SleepMs(), 175);
    ASSERT_TRUE(object->AdjustCpuRatio(100));
    EXPECT_EQ(object->SleepMs(), 175);
    EXPECT_FLOAT_EQ(object->Ratio(), 0.3f);
    EXPECT_FLOAT_EQ(object->GetCurrentCpu(), 100.0f);
    Tick();
    EXPECT_EQ(env.Signals().size(), 1u) << "at 100 the thread is never signalled";
    // Slot 0 = 20, slot 1 = 80 or not yet; after the change the next sample
    // goes to slot 0: the mean with a kept slot 1 is 70, else 80 alone.
    for (bool second : {true, false}) {
        Start(50);
        Tick();
        Tick(100, 50);
        Tick(100, 20);
        if (second) Tick(100, 80);
        ASSERT_TRUE(object->AdjustCpuRatio(40));
        if (second) Tick();           // first tick of the next second: no measurement
        Tick(100, second ? 60 : 80);  // risen across 40: w = 0.175
        EXPECT_FLOAT_EQ(object->GetCurrentCpu(), 0.825f * 40 + 0.175f * (second ? 70 : 80));
    }
}

TEST_F(ThreadCtrlObjectTest, ReleaseInTheHandlerLeavesTheLastOneToTheDrain) {
    Start(50);
    CDeadList<ICtrlObject> dead;
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    EXPECT_EQ(object->ReleaseNoDestroy(), 0u);
    EXPECT_FALSE(object->IsTerminated()) << "still alive: the destructor detaches";
    dead.Push(object);
    object = nullptr;
    dead.Drain();  // frees it: a leak check catches a drain that does not
    EXPECT_TRUE(dead.Empty());
}

// What the status port reports: the share over the last full second and the
// signals that went out in it.
TEST_F(ThreadCtrlObjectTest, FiguresCoverTheLastFullSecond) {
    Start(50);
    EXPECT_EQ(object->Figures().share, -1.0f) << "nothing measured yet";
    Tick(100, 0);
    Tick(100, 50);  // baseline
    Tick(100, 40);
    Tick(100, 30);  // the mark: 70 of 200
    EXPECT_FLOAT_EQ(object->Figures().share, 35.0f);
    const size_t signalsBefore = env.Signals().size();
    for (int i = 0; i < 4; ++i) Tick(100, 10);  // the first tick's time counts at the second
    const _ThreadFigures f = object->Figures();
    EXPECT_FLOAT_EQ(f.share, 10.0f);
    EXPECT_EQ(f.signalsLastSecond, env.Signals().size() - signalsBefore);
    EXPECT_GT(f.signalsLastSecond, 0u);
    EXPECT_EQ(f.signalsSent, env.Signals().size());
    EXPECT_EQ(f.sleepMs, object->SleepMs());
    EXPECT_EQ(f.target, kCaller);
    env.SetSignalResult(kCaller, EPERM);  // refused signals are not counted
    for (int i = 0; i < 4; ++i) Tick(100, 10);
    EXPECT_EQ(object->Figures().signalsLastSecond, 0u);
}

TEST(ProcStat, OneCutReadAndThreadTimeIsUserPlusSystemTimeAfterTheFirstParenthesis) {
    FakeSchedEnv env;
    char buf[10];
    EXPECT_FALSE(ReadProcFile(nullptr, sizeof(buf), "stat", 0, 0, nullptr, &env));
    EXPECT_FALSE(ReadProcFile(buf, sizeof(buf), nullptr, 0, 0, nullptr, &env));
    env.SetFile("/proc/7/status", "0123456789abcdef");
    unsigned int len = 0;
    ASSERT_TRUE(ReadProcFile(buf, sizeof(buf), "status", 7, 0, &len, &env));
    EXPECT_EQ(len, 9u);
    EXPECT_STREQ(buf, "012345678");
    env.pid = 55;
    const std::pair<const char*, uint64_t> kLines[] = {
        {"66 (my worker 2) R 1 12 12 0 -1 4194560 100 0 0 0 7 3 0 0 20 0 1 0\n", 10},
        {"66 (w) R 1 12 12 0 -1 0 0 0 0 0 4294967296 5 0 0\n", 4294967301ull},  // 64-bit
        {"66 (a) b) R 1 12 12 0 -1 4194560 100 0 0 0 70 30 0 0\n", 0},          // first ')' counts
        {"66 (worker) S 1 12 12 0 -1 4194560 100 0 0 0 70\n", 0},               // cut before stime
    };
    for (const auto& c : kLines) {
        env.SetFile("/proc/55/task/66/stat", c.first);
        EXPECT_EQ(GetThreadTime(66, &env), c.second) << c.first;
    }
    env.SetFile("/proc/55/stat", kLines[0].first);
    EXPECT_EQ(GetThreadTime(0, &env), 10u) << "tid 0: the whole process";
    EXPECT_EQ(GetThreadTime(67, &env), 0u);
    EXPECT_EQ(GetThreadTime(1), 0u) << "thread 1 is not one of ours";
}

TEST(ProcStat, TotalIsTheSumOfTheFirstSevenNumbersOfTheFirstLine) {
    FakeSchedEnv env;
    const std::pair<const char*, int64_t> kTotals[] = {
        {"cpu  1 2 3 4 5 6 7 8 9 10\ncpu0 1000 1000\n", 28},    // steal, guests: not counted
        {"cpu 10 20\n", 30},                                    // missing fields count as 0
        {"cpuXXXXXXXXXXXX 1 2 3\n", 0},                         // a long label is cut
        {"cpu  9223372036854775807 1 0 0 0 0 0\n", INT64_MIN},  // wraps, no overflow
    };
    for (const auto& c : kTotals) {
        env.SetFile("/proc/stat", c.first);
        EXPECT_EQ(GetTotalCpuTime(&env), c.second) << c.first;
    }
    env.RemoveFile("/proc/stat");
    EXPECT_EQ(GetTotalCpuTime(&env), 0);
    EXPECT_GT(GetTotalCpuTime(), 0) << "the real /proc/stat";
}

}  // namespace
