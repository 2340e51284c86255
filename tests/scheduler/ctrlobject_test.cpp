// The control objects of both modes against made-up clocks: the limits, the
// duty ratio's ticks, measurement, smoothing and signal; the exact mode's
// budget tick by tick and its handler's sleep; the figures the default mode reports; and
// the /proc reading and parsing beneath.
#include <errno.h>
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>

#include <vector>

#include "scheduler/exactctrlobject.h"
#include "scheduler/procstat.h"
#include "scheduler/threadctrlobject.h"
#include "support/fake_sched_env.h"

namespace {

constexpr int kTid = 321;          // the measured thread
constexpr uint32_t kCaller = 777;  // the thread that attached it: the one signalled
constexpr int64_t kMs = 1000000;

// One object of either mode at a time, attached by kCaller with the records empty.
template <class Object>
class CtrlTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (object != nullptr) object->Release();
    }
    void Attach(float limit) {
        TearDown();
        env.tid = kCaller;
        env.signalResults.clear();
        env.signals.clear();
        env.sleeps.clear();
        object = new Object(&env);
        ASSERT_TRUE(object->Attach(kTid, limit));
    }
    // Every signal went to the caller, as SIGUSR1, and there were `count`.
    void ExpectSignals(size_t count) {
        EXPECT_EQ(env.signals.size(), count);
        for (const auto& s : env.signals) EXPECT_TRUE(s.tid == kCaller && s.sig == SIGUSR1);
    }

    FakeSchedEnv env;
    Object* object = nullptr;
};

class ThreadCtrlObjectTest : public CtrlTest<CThreadCtrlObject> {
protected:
    // A fresh object on cpus processors, with the clocks at their start.
    void Start(float limit, unsigned int cpus = 1) {
        env.cpus = cpus;
        env.SetTotalTime(total = 1000);
        env.SetThreadTime(kTid, static_cast<uint64_t>(thread = 100), 0);
        Attach(limit);
    }
    // One schedule tick after the system's clock moved by dTotal, the thread's by dThread.
    void Tick(int64_t dTotal = 0, int64_t dThread = 0) {
        env.SetTotalTime(total += dTotal);
        env.SetThreadTime(kTid, static_cast<uint64_t>(thread += dThread), 0);
        if (gone) env.files.erase(env.ThreadStatPath(kTid));
        object->RefreshTime(250);
    }

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
    env.signalResults[kCaller] = ESRCH;  // the caller fails its existence test
    EXPECT_FALSE(CThreadCtrlObject(&env).Attach(kTid, 50));
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ThreadCtrlObjectTest, FirstCalculationsFollowTheScaledLimitThenTheFirstSample) {
    // After the first calculation the sleep is 250 minus the truncated run time,
    // 0 when that is 1 or less; the first sample then moves usage, ratio and sleep.
    // cpus, limit, ratio, sleep; thread ticks per 100 (0: no sample), usage, ratio, sleep
    // clang-format off
    const float kCases[][8] = {
        {4, 10, 0.4f, 150}, {1, 99.5f, 0.995f, 2}, {1, 99.6f, 0.996f, 0}, {4, 50, 0.999f, 0},
        // w = 0.175 (risen to the limit); D = 1.75: alpha 0.025, angle 1 degree.
        {1, 50, 0.5f, 125, 60, 0.825f * 50 + 0.175f * 60, 0.4993713f, 126},
        // D = 2.275: alpha 0.125, R pulled four times, angle 2 degrees (k = 0).
        {1, 50, 0.5f, 125, 63, 0.825f * 50 + 0.175f * 63, 0.4934204f, 127},
        // D = 14: alpha 0.25, angle 24 degrees, k = 8, R below the band.
        {1, 20, 0.2f, 200, 100, 0.825f * 20 + 0.175f * 100, 0.1772885f, 206}};
    // clang-format on
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c[0] << " cpus, limit " << c[1] << ", " << c[4]);
        const auto sleepMs = static_cast<int64_t>(c[3]), ticks = static_cast<int64_t>(c[4]);
        Start(c[1], static_cast<unsigned int>(c[0]));
        Tick();
        EXPECT_EQ(object->SleepMs(), 0) << "no sleep in the first tick";
        Tick(100, ticks);  // the baseline
        EXPECT_NEAR(object->Ratio(), c[2], 1e-6);
        object->Dojob();
        EXPECT_EQ(env.sleeps, std::vector<int64_t>{sleepMs});
        ExpectSignals(sleepMs > 0 ? 1 : 0);
        if (ticks == 0) continue;
        Tick(100, ticks);
        EXPECT_FLOAT_EQ(object->GetCurrentCpu(), c[5]);
        EXPECT_NEAR(object->Ratio(), c[6], 1e-6);
        EXPECT_EQ(object->SleepMs(), static_cast<int64_t>(c[7]));
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
        env.signalResults[kCaller] = rc;
        Tick();
        Tick();
        const bool ended = rc == ESRCH || rc == EINVAL;
        EXPECT_EQ(object->IsTerminated(), ended) << rc;
        env.signals.clear();
        Tick();
        EXPECT_EQ(env.signals.empty(), ended) << "a terminated object does nothing";
    }
}

TEST_F(ThreadCtrlObjectTest, AdjustKeepsTheHistoryButRestartsItsSlotAndUsage) {
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

TEST_F(ThreadCtrlObjectTest, FiguresCoverTheLastFullSecond) {
    Start(50);
    EXPECT_EQ(object->Figures().share, -1.0f) << "nothing measured yet";
    Tick(100, 0);
    Tick(100, 50);  // baseline
    Tick(100, 40);
    Tick(100, 30);  // the mark: 70 of 200
    EXPECT_FLOAT_EQ(object->Figures().share, 35.0f);
    const size_t signalsBefore = env.signals.size();
    for (int i = 0; i < 4; ++i) Tick(100, 10);  // the first tick's time counts at the second
    const _ThreadFigures f = object->Figures();
    EXPECT_FLOAT_EQ(f.share, 10.0f);
    EXPECT_EQ(f.signalsLastSecond, env.signals.size() - signalsBefore);
    EXPECT_GT(f.signalsLastSecond, 0u) << "it is put to sleep";
    EXPECT_EQ(f.signalsSent, env.signals.size());
    EXPECT_EQ(f.sleepMs, object->SleepMs());
    EXPECT_EQ(f.target, kCaller);
    env.signalResults[kCaller] = EPERM;  // refused signals are not counted
    for (int i = 0; i < 4; ++i) Tick(100, 10);
    EXPECT_EQ(object->Figures().signalsLastSecond, 0u);
}

// ---- The exact mode, against a fake clock and a modelled thread

// A stretch of ticks in which the thread behaves one way.
struct Phase {
    int ticks;
    float limit;   // set with AdjustCpuRatio before the stretch
    int wantPct;   // CPU the thread would use with nothing holding it, % of a tick
    int availPct;  // share of its waking time the processor gives it
    int wallMs;    // wall time between ticks
};

class ExactCtrlObjectTest : public CtrlTest<CExactCtrlObject> {
protected:
    void Start(float limit) {
        sleptNs = 0;
        env.cpuNs[kTid] = cpuNs = 5 * kMs;
        env.monotonicNs = 1000 * kMs;
        Attach(limit);
    }
    // One tick: the thread ran what it wanted of the time it was not asleep.
    // Returns its share of the interval, percent of one processor.
    double Tick(const Phase& p) {
        const int64_t awake = p.wallMs * kMs - sleptNs;
        const int64_t used =
            std::min<int64_t>(p.wantPct * p.wallMs * kMs / 100, awake * p.availPct / 100);
        env.cpuNs[kTid] = cpuNs += used;
        env.monotonicNs += p.wallMs * kMs;
        object->RefreshTime(250);
        sleptNs = object->SleepMs() * kMs;
        return 100.0 * static_cast<double>(used) / static_cast<double>(p.wallMs * kMs);
    }

    int64_t cpuNs = 0;
    int64_t sleptNs = 0;  // what the thread sleeps in the coming interval
};

struct PlanCase {
    const char* name;
    std::vector<Phase> phases;      // the first one's limit is the one attached
    std::vector<int64_t> sleepsMs;  // planned at each tick
};

const PlanCase kPlans[] = {
    // The first interval ran free: one tick of sleep repays what the credit may
    // carry, then exactly the limit's share.
    {"busy", {{4, 30, 100, 100, 250}}, {250, 175, 175, 175}},
    // Under its limit a thread is not signalled at all; its credit stops at
    // what cancels the sleep, so turning busy costs one free tick, never more.
    {"wants less, then busy",
     {{6, 30, 10, 100, 250}, {3, 30, 100, 100, 250}},
     {89, 0, 0, 0, 0, 0, 175, 175, 175}},
    // Each interval is judged by the limit it ran under; the next plan follows
    // the new limit at once, without overshoot either way.
    {"limit changed mid-run",
     {{3, 80, 100, 100, 250}, {3, 20, 100, 100, 250}, {2, 80, 100, 100, 250}},
     {100, 50, 50, 200, 200, 200, 50, 50}},
    // Late ticks earn their longer wall time: 130 of every 260 ms is 50 %.
    {"late ticks", {{4, 50, 100, 100, 260}}, {250, 130, 130, 130}},
    {"limit 100 never signals", {{4, 100, 100, 100, 250}}, {0, 0, 0, 0}},
};

TEST_F(ExactCtrlObjectTest, BudgetPlansTheSleepOfEveryTick) {
    for (const PlanCase& c : kPlans) {
        SCOPED_TRACE(c.name);
        Start(c.phases[0].limit);
        std::vector<int64_t> sleeps;
        for (const Phase& p : c.phases) {
            ASSERT_TRUE(object->AdjustCpuRatio(p.limit));
            for (int i = 0; i < p.ticks; ++i) {
                Tick(p);
                sleeps.push_back(object->SleepMs());
                // Never beyond what a sleep of 0 to one tick can pay back or use.
                const int64_t allowance = static_cast<int64_t>(2.5f * p.limit) * kMs;
                EXPECT_GE(object->CreditNs(), -allowance);
                EXPECT_LE(object->CreditNs(), 250 * kMs - allowance);
            }
        }
        EXPECT_EQ(sleeps, c.sleepsMs);
        // A signal for every planned sleep, none otherwise.
        ExpectSignals(static_cast<size_t>(
            std::count_if(sleeps.begin(), sleeps.end(), [](int64_t s) { return s > 0; })));
    }
}

TEST_F(ExactCtrlObjectTest, PartOfAProcessorStillAveragesToTheLimitWithoutSwinging) {
    // A thread that gets only part of a processor while awake is kept awake
    // longer; when that part swings every tick, the rate learnt is wrong for
    // the next tick every time and the credit makes up for it.
    Start(30);
    double sum = 0;
    for (int i = 0; i < 40; ++i) {
        const double share = Tick({1, 30, 100, i % 2 == 0 ? 100 : 40, 250});
        if (i < 8) continue;
        sum += share;
        EXPECT_LT(share, 60.0) << "tick " << i;
    }
    EXPECT_NEAR(sum / 32, 30.0, 1.0);
}

TEST_F(ExactCtrlObjectTest, HandlerSleepsUntilThePlannedEndOfTheSleep) {
    Start(30);
    Tick({1, 30, 100, 100, 250});  // plans 250 ms from now
    const int64_t tickAt = env.monotonicNs;
    // {delivered after, sleeps}: a late delivery sleeps that much less.
    const int64_t kCases[][2] = {{0, 250}, {100, 150}, {249, 1}, {250, 0}, {400, 0}};
    for (const auto& c : kCases) {
        env.sleeps.clear();
        env.monotonicNs = tickAt + c[0] * kMs;
        object->Dojob();
        EXPECT_EQ(env.sleeps, c[1] > 0 ? std::vector<int64_t>{c[1]} : std::vector<int64_t>{})
            << "delivered " << c[0] << " ms late";
    }
}

TEST_F(ExactCtrlObjectTest, UnreadableThreadIsNotSleptAndEndsWhenItsTargetIsGone) {
    Start(30);
    Tick({1, 30, 100, 100, 250});
    env.signals.clear();
    env.cpuNs.erase(kTid);
    object->RefreshTime(250);
    EXPECT_EQ(object->SleepMs(), 0) << "nothing to judge: no sleep";
    EXPECT_TRUE(env.signals.empty());
    EXPECT_FALSE(object->IsTerminated()) << "the signalled thread still exists";
    env.signalResults[kCaller] = ESRCH;
    object->RefreshTime(250);
    EXPECT_TRUE(object->IsTerminated());
}

// ---- /proc reading and parsing

TEST(ProcStat, OneCutReadThreadTimeAfterTheFirstParenthesisAndTheSystemTotal) {
    FakeSchedEnv env;
    char buf[10];
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
    // The total is the sum of the first seven numbers of the first line.
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
    env.files.erase("/proc/stat");
    EXPECT_EQ(GetTotalCpuTime(&env), 0);
}

}  // namespace
