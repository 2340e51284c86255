// The exact mode against a fake clock and a modelled thread: the sleeps the
// budget plans tick by tick for a busy thread, one that wants less than its
// limit, one that gets no processor or half of one, a limit changed mid-run and
// late ticks, limit 100; the handler's sleep and a thread that ends.
#include "scheduler/exactctrlobject.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <vector>

#include "support/fake_sched_env.h"

namespace {

constexpr int kTid = 321;          // the measured thread
constexpr uint32_t kCaller = 777;  // the thread that attached it: the one signalled
constexpr int64_t kMs = 1000000;

// A stretch of ticks in which the thread behaves one way.
struct Phase {
    int ticks;
    float limit;   // set with AdjustCpuRatio before the stretch
    int wantPct;   // CPU the thread would use with nothing holding it, % of a tick
    int availPct;  // share of its waking time the processor gives it
    int wallMs;    // wall time between ticks
};

class ExactCtrlObjectTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (object != nullptr) object->Release();
    }
    // A fresh object, the clocks and records at their start.
    void Start(float limit) {
        TearDown();
        env.ClearRecords();
        sleptNs = 0;
        env.tid = kCaller;
        env.SetThreadCpuNs(kTid, cpuNs = 5 * kMs);
        env.monotonicNs = 1000 * kMs;
        object = new CExactCtrlObject(&env);
        ASSERT_TRUE(object->Attach(kTid, limit));
    }
    // One tick: the thread ran what it wanted of the time it was not asleep.
    // Returns its share of the interval, percent of one processor.
    double Tick(const Phase& p) {
        const int64_t awake = p.wallMs * kMs - sleptNs;
        const int64_t used =
            std::min<int64_t>(p.wantPct * p.wallMs * kMs / 100, awake * p.availPct / 100);
        env.SetThreadCpuNs(kTid, cpuNs += used);
        env.monotonicNs += p.wallMs * kMs;
        object->RefreshTime(250);
        sleptNs = object->SleepMs() * kMs;
        return 100.0 * static_cast<double>(used) / static_cast<double>(p.wallMs * kMs);
    }

    FakeSchedEnv env;
    CExactCtrlObject* object = nullptr;
    int64_t cpuNs = 0;
    int64_t sleptNs = 0;  // what the thread sleeps in the coming interval
};

struct PlanCase {
    const char* name;
    float limit;
    std::vector<Phase> phases;
    std::vector<int64_t> sleepsMs;  // planned at each tick
};

const PlanCase kPlans[] = {
    // The first interval ran free: one tick of sleep repays what the credit may
    // carry, then exactly the limit's share.
    {"busy", 30, {{4, 30, 100, 100, 250}}, {250, 175, 175, 175}},
    // Under its limit a thread is not signalled at all; its credit stops at
    // what cancels the sleep, so turning busy costs one free tick, never more.
    {"wants less, then busy",
     30,
     {{6, 30, 10, 100, 250}, {3, 30, 100, 100, 250}},
     {89, 0, 0, 0, 0, 0, 175, 175, 175}},
    {"no processor, then a whole one",
     30,
     {{4, 30, 100, 0, 250}, {2, 30, 100, 100, 250}},
     {50, 0, 0, 0, 175, 175}},
    // Each interval is judged by the limit it ran under; the next plan follows
    // the new limit at once, without overshoot either way.
    {"limit changed mid-run",
     80,
     {{3, 80, 100, 100, 250}, {3, 20, 100, 100, 250}, {2, 80, 100, 100, 250}},
     {100, 50, 50, 200, 200, 200, 50, 50}},
    // Late ticks earn their longer wall time: 130 of every 260 ms is 50 %.
    {"late ticks", 50, {{4, 50, 100, 100, 260}}, {250, 130, 130, 130}},
    {"limit 100 never signals", 100, {{4, 100, 100, 100, 250}}, {0, 0, 0, 0}},
};

TEST_F(ExactCtrlObjectTest, BudgetPlansTheSleepOfEveryTick) {
    for (const PlanCase& c : kPlans) {
        SCOPED_TRACE(c.name);
        Start(c.limit);
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
        size_t signalled = 0;
        for (int64_t s : c.sleepsMs) signalled += s > 0 ? 1 : 0;
        const auto signals = env.Signals();
        EXPECT_EQ(signals.size(), signalled) << "a signal for every planned sleep, none otherwise";
        for (const auto& s : signals) EXPECT_TRUE(s.tid == kCaller && s.sig == SIGUSR1);
    }
}

TEST_F(ExactCtrlObjectTest, PartOfAProcessorStillAveragesToTheLimitWithoutSwinging) {
    // A thread that gets only part of a processor while awake is kept awake
    // longer; when that part swings every tick, the rate learnt is wrong for
    // the next tick every time and the credit makes up for it.
    struct Pattern {
        const char* name;
        int availEven, availOdd;  // % of the awake time, on even and odd ticks
        double sleepMs;           // where the sleep settles; < 0: it swings
    };
    const Pattern kPatterns[] = {{"half", 50, 50, 100}, {"swinging", 100, 40, -1}};
    for (const Pattern& p : kPatterns) {
        SCOPED_TRACE(p.name);
        Start(30);
        double sum = 0;
        for (int i = 0; i < 40; ++i) {
            const double share = Tick({1, 30, 100, i % 2 == 0 ? p.availEven : p.availOdd, 250});
            if (i < 8) continue;
            sum += share;
            EXPECT_LT(share, 60.0) << "tick " << i;
        }
        EXPECT_NEAR(sum / 32, 30.0, 1.0);
        if (p.sleepMs >= 0) {
            EXPECT_NEAR(static_cast<double>(object->SleepMs()), p.sleepMs, 1.0);
        }
    }
}

TEST_F(ExactCtrlObjectTest, HandlerSleepsUntilThePlannedEndOfTheSleep) {
    Start(30);
    Tick({1, 30, 100, 100, 250});  // plans 250 ms from now
    const int64_t tickAt = env.monotonicNs;
    // {delivered after, sleeps}: a late delivery sleeps that much less.
    const int64_t kCases[][2] = {{0, 250}, {100, 150}, {249, 1}, {250, 0}, {400, 0}};
    for (const auto& c : kCases) {
        env.ClearRecords();
        env.monotonicNs = tickAt + c[0] * kMs;
        object->Dojob();
        const auto sleeps = env.Sleeps();
        EXPECT_EQ(sleeps, c[1] > 0 ? std::vector<int64_t>{c[1]} : std::vector<int64_t>{})
            << "delivered " << c[0] << " ms late";
    }
}

TEST_F(ExactCtrlObjectTest, UnreadableThreadIsNotSleptAndEndsWhenItsTargetIsGone) {
    Start(30);
    Tick({1, 30, 100, 100, 250});
    env.ClearRecords();
    env.ForgetThreadCpu(kTid);
    object->RefreshTime(250);
    EXPECT_EQ(object->SleepMs(), 0) << "nothing to judge: no sleep";
    EXPECT_TRUE(env.Signals().empty());
    EXPECT_FALSE(object->IsTerminated()) << "the signalled thread still exists";
    // Readable again: a new baseline first, then a whole interval judged.
    env.SetThreadCpuNs(kTid, cpuNs);
    object->RefreshTime(250);
    EXPECT_EQ(object->SleepMs(), 0);
    sleptNs = 0;
    Tick({1, 30, 100, 100, 250});
    EXPECT_EQ(object->SleepMs(), 250);
    env.ForgetThreadCpu(kTid);
    env.SetSignalResult(kCaller, ESRCH);
    object->RefreshTime(250);
    EXPECT_TRUE(object->IsTerminated());
}

// The status port's figures: 40 % of each interval used, 20 % allowed.
TEST_F(ExactCtrlObjectTest, FiguresShowTheLastSecond) {
    Start(20);
    size_t signalsBefore = 0;
    for (int tick = 1; tick <= 8; ++tick) {
        if (tick == 5) signalsBefore = env.Signals().size();
        env.SetThreadCpuNs(kTid, cpuNs += 100 * kMs);
        env.monotonicNs += 250 * kMs;
        object->RefreshTime(250);
    }
    const _ThreadFigures f = object->Figures();
    EXPECT_FLOAT_EQ(f.share, 40.0f);
    EXPECT_EQ(f.signalsLastSecond, env.Signals().size() - signalsBefore);
    EXPECT_GT(f.signalsLastSecond, 0u) << "it is put to sleep";
    EXPECT_EQ(f.signalsSent, env.Signals().size());
    EXPECT_EQ(f.limit, 20.0f);
}

}  // namespace
