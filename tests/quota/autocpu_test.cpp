// CAutoCpu: the sample window, the three rules, bounding and sharing of the
// process limit, monitored threads and CPU groups, observed through the seam.
#include "quota/autocpu.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/kvo_word.h"
#include "support/fake_cpu_ctrl.h"
#include "support/log_capture.h"

namespace {

using Op = FakeCpuCtrl::Op;
using Adds = std::vector<std::pair<unsigned int, float>>;

_CpuConf MakeConf(float sysMax, float procMin, uint32_t cycle) {
    _CpuConf conf{};
    conf.sys_max = sysMax;
    conf.proc_min = procMin;
    conf.proc_default = 50.0f;
    conf.collect_gap = 1;
    conf.adjust_cycle = cycle;
    conf.sys_max_unused = sysMax;
    return conf;
}

// A quota over a fake scheduler with a bound configuration and groups.
struct Rig {
    explicit Rig(_CpuConf c, unsigned int processors = 2,
                 std::list<_CpuGroupConf> g = std::list<_CpuGroupConf>())
        : conf(c), groups(std::move(g)), fake(processors), quota(&fake) {
        quota.SetCpuLimitConfig(&conf, groups);
        fake.ClearCalls();
    }
    _CpuConf conf;
    std::list<_CpuGroupConf> groups;
    FakeCpuCtrl fake;
    CAutoCpu quota;
};

float Feed(CAutoCpu& quota, float sys, float proc) {
    _CpuFactor sample{sys, proc};
    return quota.CalcCpuBySub(&sample);
}

// ---- Window -------------------------------------------------------------------

struct WindowCase {
    const char* name;
    std::vector<_CpuFactor> samples;
    std::vector<float> want;  // CalcCpuBySub's result for each sample
};

TEST(AutoCpuWindow, BaselineThenOneDecisionPerFreshWindow) {
    const WindowCase cases[] = {
        // Baseline on 1-3; sample 4 decides over 2-4 (sys 30, proc 3): 50 - 30 + 3.
        // Then 5-7 alone (sys 12, proc 2): 50 - 12 + 2.
        {"slide then disjoint windows",
         {{10, 1}, {20, 2}, {30, 3}, {40, 4}, {11, 1}, {12, 2}, {13, 3}},
         {0, 0, 0, 23, 0, 0, 40}},
        // The decision over 2-4 has process average 0: it still decides (50 - 20),
        // the next full window (5-7) is only a baseline, sample 8 decides over 6-8.
        {"idle process window",
         {{20, 3}, {20, 0}, {20, 0}, {20, 0}, {10, 2}, {20, 4}, {30, 6}, {40, 8}},
         {0, 0, 0, 30, 0, 0, 0, 26}},
        // A system average of exactly 0 also makes a baseline, sliding by one.
        {"idle system baseline", {{0, 1}, {0, 1}, {0, 1}, {10, 1}, {20, 1}}, {0, 0, 0, 0, 41}},
    };
    for (const WindowCase& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(MakeConf(50, 5, 3));
        for (size_t i = 0; i < c.samples.size(); ++i) {
            EXPECT_FLOAT_EQ(Feed(rig.quota, c.samples[i].sys_cpu, c.samples[i].proc_cpu), c.want[i])
                << "sample " << i + 1;
        }
    }
}

TEST(AutoCpuWindow, AveragesAreSummedInDoublePrecision) {
    // 600 samples of 0.1: a float sum drifts by dozens of ulps, a double sum
    // averages back to 0.1f.
    const struct {
        float ceiling, sys, proc, want;
    } cases[] = {
        {30, 30, 0.1f, 0.1f},                      // at the ceiling: the process average
        {0.3f, 0.1f, 0.25f, 0.3f - 0.1f + 0.25f},  // headroom over the system average
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        Rig rig(MakeConf(c.ceiling, 0.01f, 600));
        for (int i = 0; i < 600; ++i) {
            ASSERT_EQ(Feed(rig.quota, c.sys, c.proc), 0.0f);  // the baseline window
        }
        EXPECT_FLOAT_EQ(Feed(rig.quota, c.sys, c.proc), c.want);  // slid by one: decides
    }
}

// ---- The three rules, each decided on the sample after a one-sample baseline ----

enum class Which { kSub, kQuota, kEqual };

float Decide(CAutoCpu& quota, Which which, _CpuFactor baseline, _CpuFactor decision) {
    float (CAutoCpu::*calc)(_CpuFactor*) = which == Which::kSub     ? &CAutoCpu::CalcCpuBySub
                                           : which == Which::kQuota ? &CAutoCpu::CalcCpuQuota
                                                                    : &CAutoCpu::CalcCpuEqual;
    EXPECT_EQ((quota.*calc)(&baseline), 0.0f);
    return (quota.*calc)(&decision);
}

struct SubCase {
    float sys, proc, want;
};

TEST(AutoCpuRules, SubtractionGrantsUseMinusOvershootOrPlusHeadroom) {
    // Ceiling 30, minimum 7.
    const SubCase cases[] = {
        {40, 15, 5},  // over 10, proc above it: 15 - 10
        {40, 8, 7},   // proc below the overshoot: the minimum
        {40, 10, 7},  // proc equal to the overshoot: the minimum
        {30, 4, 4},   // at the ceiling: nothing over
        {20, 5, 15},  // 10 of headroom on top of the 5 used
        {29.5f, 0.5f, 1},
    };
    for (const SubCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sys << "/" << c.proc);
        Rig rig(MakeConf(30, 7, 1));
        EXPECT_FLOAT_EQ(Decide(rig.quota, Which::kSub, {1, 1}, {c.sys, c.proc}), c.want);
    }
}

TEST(AutoCpuRules, SubtractionReadsTheMinimumAtDecisionTime) {
    Rig rig(MakeConf(30, 7, 1));
    Feed(rig.quota, 1, 1);
    WordStore(rig.conf.proc_min, 9.0f);  // as the host's lower setter does
    EXPECT_FLOAT_EQ(Feed(rig.quota, 40, 8), 9.0f);
}

struct QuotaCase {
    float sys, want;
};

TEST(AutoCpuRules, BandedStepsByDeviationFromTheCeiling) {
    // Ceiling 50 (headroom 50), limit in force 40. Bands above 35.71, 31.25,
    // 27.78 and 25 step by 10, 5, D and D / 1.5; below that D / 2; under 2 none.
    const QuotaCase cases[] = {
        {51, 40},              // D 1: no change
        {48.5f, 40},           // D 1.5 below: no change
        {90, 30},              // D 40: only 10
        {82, 35},              // D 32: only 5
        {79, 11},              // D 29: the whole deviation
        {76, 40 - 26 / 1.5f},  // D 26
        {60, 35},              // D 10: half
        {52, 39},              // D 2 is not below 2: half
        {10, 50},              // D 40 under the ceiling: up by 10
        {20, 70},              // D 30 under: up by D
    };
    for (const QuotaCase& c : cases) {
        SCOPED_TRACE(c.sys);
        Rig rig(MakeConf(50, 5, 1));
        rig.quota.SetCurrentCpuLimit(40);
        EXPECT_NEAR(Decide(rig.quota, Which::kQuota, {1, 1}, {c.sys, 1}), c.want, 1e-4);
    }
}

struct EqualCase {
    float previous, sys, want;
};

TEST(AutoCpuRules, FixedStepsByCeilingAndTrend) {
    // Ceiling 50, limit in force 40; the trend compares with the previous window.
    const EqualCase cases[] = {
        {55, 60, 35},  // above, rising: -5
        {70, 60, 39},  // above, falling: -1
        {50, 50, 39},  // at the ceiling, flat: -1
        {30, 40, 41},  // below, rising: +1
        {45, 40, 45},  // below, falling: +5
    };
    for (const EqualCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.previous << " -> " << c.sys);
        Rig rig(MakeConf(50, 5, 1));
        rig.quota.SetCurrentCpuLimit(40);
        EXPECT_FLOAT_EQ(Decide(rig.quota, Which::kEqual, {c.previous, 1}, {c.sys, 1}), c.want);
    }
}

// ---- Bounding and sharing -----------------------------------------------------

struct BoundCase {
    const char* name;
    float ceiling, minimum, limit, want;
};

TEST(AutoCpuLimit, BoundedByCeilingThenMinimum) {
    const BoundCase cases[] = {
        {"above the ceiling", 30, 5, 80, 30},
        {"below the minimum", 30, 5, 2, 5},
        {"minimum above the ceiling wins", 30, 40, 20, 40},
        {"minimum above the ceiling, high limit", 30, 40, 80, 40},
        {"within bounds", 30, 5, 17.5f, 17.5f},
    };
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(MakeConf(c.ceiling, c.minimum, 15), 1);
        rig.quota.AddMonitorThread(7);
        rig.fake.ClearCalls();
        rig.quota.SetCurrentCpuLimit(c.limit);
        EXPECT_FLOAT_EQ(rig.quota.GetCurrentCpuLimit(), c.want);
        EXPECT_EQ(rig.fake.Adds(), (Adds{{7, c.want}}));  // 1 processor, 1 thread
    }
}

struct ShareCase {
    unsigned int processors;
    float limit;
    unsigned int threads;
    float want;
};

TEST(AutoCpuLimit, ShareIsProcessorsTimesLimitOverThreadsOr50OutOfRange) {
    const ShareCase cases[] = {
        {4, 30, 3, 40},
        {2, 30, 2, 30},
        {8, 30, 1, 50},    // 240 is too much
        {1, 5, 60, 50},    // 0.083 is too little
        {4, 50, 2, 100},   // the top is accepted
        {1, 1, 10, 0.1f},  // so is the bottom
        {3, 10, 4, 7.5f},
        // The bottom is tested before rounding to float, the top after it.
        {1, 0.7f, 7, 50},         // 0.0999999983 rounds up to 0.1f: still too little
        {3, 500.0f / 3, 5, 100},  // 100.000003 rounds down to 100: accepted
    };
    for (const ShareCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.processors << " cpus, " << c.limit << ", " << c.threads << " threads");
        Rig rig(MakeConf(1000, 0.5f, 15), c.processors);  // the ceiling stays out of the way
        for (unsigned int tid = c.threads; tid >= 1; --tid) {
            rig.quota.AddMonitorThread(tid);
        }
        rig.fake.ClearCalls();
        rig.quota.SetCurrentCpuLimit(c.limit);
        Adds want;
        for (unsigned int tid = 1; tid <= c.threads; ++tid) {
            want.emplace_back(tid, c.want);  // ascending ids
        }
        EXPECT_EQ(rig.fake.Adds(), want);
    }
}

TEST(AutoCpuLimit, CeilingComesFromBindingAndActsOnTheNextLimitOnly) {
    FakeCpuCtrl fake(1);
    CAutoCpu quota(&fake);
    quota.SetCurrentCpuLimit(12);  // no thread: only recorded
    EXPECT_TRUE(fake.Adds().empty());
    EXPECT_FLOAT_EQ(quota.GetCurrentCpuLimit(), 12);
    _CpuConf conf = MakeConf(22, 5, 15);
    std::list<_CpuGroupConf> none;
    quota.SetCpuLimitConfig(&conf, none);
    quota.AddMonitorThread(7);  // 12 is within the new ceiling 22
    quota.SetCurrentCpuLimit(40);
    EXPECT_EQ(fake.Adds(), (Adds{{7, 12}, {7, 22}}));
    fake.ClearCalls();
    quota.SetCurrentAutoSysMaxCpu(20);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_FLOAT_EQ(quota.GetCurrentCpuLimit(), 22);
    quota.SetCurrentCpuLimit(25);
    EXPECT_EQ(fake.Adds(), (Adds{{7, 20}}));
}

TEST(AutoCpuLimit, AdjustPushesDecisionsAndIgnoresZero) {
    // Ceiling 30, minimum 0, window 2, one thread on 2 processors.
    Rig rig(MakeConf(30, 0, 2));
    rig.quota.AddMonitorThread(7);  // 50 bounded to 30: 60 per thread
    rig.fake.ClearCalls();
    const struct {
        float sys, proc;
        Adds want;
    } steps[] = {
        {10, 2, {}},        {10, 2, {}},  // baseline
        {20, 4, {{7, 36}}},               // slid over (15, 3): 30 - 15 + 3 = 18, two processors
        {40, 5, {}},        {40, 5, {}},  // overshoot 10 above a use of 5: the minimum 0, ignored
        {30, 6, {}},        {30, 6, {{7, 12}}},  // at the ceiling: the use, 6
    };
    const float limits[] = {30, 30, 18, 18, 18, 18, 6};
    size_t i = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(i);
        rig.fake.ClearCalls();
        _CpuFactor sample{step.sys, step.proc};
        rig.quota.AdjustCpu(&sample);
        EXPECT_EQ(rig.fake.Adds(), step.want);
        EXPECT_FLOAT_EQ(rig.quota.GetCurrentCpuLimit(), limits[i]);
        ++i;
    }
}

TEST(AutoCpuLog, DecisionsAndLimitsAreLoggedAtDebug) {
    LogCapture log;
    Rig rig(MakeConf(30, 5, 1));
    Decide(rig.quota, Which::kSub, {1, 1}, {20, 5});
    _CpuFactor next{41.5f, 1};  // the window goes on deciding: no second baseline
    rig.quota.CalcCpuQuota(&next);
    rig.quota.SetCurrentCpuLimit(12.345f);
    const std::string text = log.Text();
    const char* const lines[] = {
        "]\t[DEBUG]\t[kvo_vurizeda] [autocpu.cpp(",
        ")] current system avg cpu 20.00,  proc avg cpu 5.00, last proc limit 50.00, cur proc "
        "limit 15.00\n",
        ")] current system avg cpu 41.50\n",
        ")] current set cpu 12.35\n",
    };
    for (const char* line : lines) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    }
}

// ---- Before a configuration is bound -----------------------------------------------

TEST(AutoCpuUnbound, UsesTheRecordDefaultsBeforeInit) {
    FakeCpuCtrl fake(2);
    CAutoCpu quota(&fake);
    quota.AddMonitorThread(7);  // ceiling still 50: 2 x 50 / 1
    EXPECT_EQ(fake.Adds(), (Adds{{7, 100}}));
    fake.ClearCalls();
    quota.SetCurrentCpuLimit(1);  // the default minimum 5
    EXPECT_EQ(fake.Adds(), (Adds{{7, 10}}));
    fake.ClearCalls();
    for (int i = 0; i < 15; ++i) {  // default window 15: the baseline
        _CpuFactor sample{10, 2};
        quota.AdjustCpu(&sample);
    }
    EXPECT_TRUE(fake.Adds().empty());
    _CpuFactor sample{10, 2};
    quota.AdjustCpu(&sample);  // 50 - 10 + 2
    EXPECT_EQ(fake.Adds(), (Adds{{7, 84}}));
}

// ---- Lifetime and monitored threads ---------------------------------------------------

TEST(AutoCpuLifetime, RegistersOnceAndLeavesLimitsToTheScheduler) {
    FakeCpuCtrl fake(2);
    std::list<_CpuGroupConf> groups{{"g", 20, 60}};
    _CpuConf conf = MakeConf(30, 5, 15);
    {
        CAutoCpu quota(&fake);
        EXPECT_EQ(fake.Registrations(), 1);
        quota.SetCpuLimitConfig(&conf, groups);
        quota.AddMonitorThread(7);
        quota.AddGroupThread("g", 8);
    }
    EXPECT_EQ(fake.Registrations(), 0);
    const auto calls = fake.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().op, Op::kRegister);
    EXPECT_EQ(calls.back().op, Op::kUnregister);
    for (const auto& call : calls) {
        EXPECT_NE(call.op, Op::kDel);
    }
    EXPECT_TRUE(fake.HasLimit(7) && fake.HasLimit(8));
}

TEST(AutoCpuMonitor, ThreadsJoinAndLeaveWithTheShareRepushed) {
    Rig rig(MakeConf(30, 5, 15));  // 2 processors, limit 50 bounded to 30
    rig.quota.AddMonitorThread(7);
    rig.quota.AddMonitorThread(9);
    EXPECT_EQ(rig.fake.Adds(), (Adds{{7, 60}, {7, 30}, {9, 30}}));
    rig.fake.ClearCalls();
    rig.quota.DelMonitorThread(9);
    const auto calls = rig.fake.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, Op::kDel);
    EXPECT_EQ(calls[0].tid, 9u);
    EXPECT_EQ(rig.fake.Adds(), (Adds{{7, 60}}));
    EXPECT_EQ(rig.fake.Limits(), (std::map<unsigned int, float>{{7, 60}}));
}

TEST(AutoCpuMonitor, RemovingAnUnmonitoredThreadStillEndsItsLimit) {
    Rig rig(MakeConf(30, 5, 15));
    rig.quota.AddMonitorThread(7);
    rig.fake.Add(42, 20);  // set by the host directly
    rig.fake.ClearCalls();
    rig.quota.DelMonitorThread(42);
    EXPECT_FALSE(rig.fake.HasLimit(42));
    EXPECT_EQ(rig.fake.Adds(), (Adds{{7, 60}}));
}

TEST(AutoCpuMonitor, ClearRemovesEveryThreadAndPushesNothing) {
    Rig rig(MakeConf(30, 5, 15));
    for (unsigned int tid : {9u, 3u, 7u}) {
        rig.quota.AddMonitorThread(tid);
    }
    rig.fake.ClearCalls();
    rig.quota.ClearMonitorThread();
    std::vector<unsigned int> deleted;
    for (const auto& call : rig.fake.Calls()) {
        ASSERT_EQ(call.op, Op::kDel);
        deleted.push_back(call.tid);
    }
    EXPECT_EQ(deleted, (std::vector<unsigned int>{3, 7, 9}));
    EXPECT_TRUE(rig.fake.Limits().empty());
    EXPECT_FLOAT_EQ(rig.quota.GetCurrentCpuLimit(), 30);
    rig.fake.ClearCalls();
    rig.quota.AddMonitorThread(5);  // the set really is empty: 5 alone gets 2 x 30
    EXPECT_EQ(rig.fake.Adds(), (Adds{{5, 60}}));
}

// ---- CPU groups ---------------------------------------------------------------------

TEST(AutoCpuGroups, SwitchBetweenUsingAndNotUsingOnlyOnChange) {
    Rig rig(MakeConf(30, 5, 15), 2, {{"g", 20, 60}});
    for (unsigned int tid : {3u, 1u, 2u}) {
        ASSERT_EQ(rig.quota.AddGroupThread("g", tid), KVO_OK);
    }
    const float third = 20.0f / 3;
    EXPECT_EQ(rig.fake.Limits(),
              (std::map<unsigned int, float>{{1, third}, {2, third}, {3, third}}));
    const struct {
        int notUsing;
        Adds want;
    } steps[] = {
        {1, {{1, 20}, {2, 20}, {3, 20}}},
        {1, {}},  // already at the not-using limit
        {5, {}},  // any non-zero value means not using
        {0, {{1, third}, {2, third}, {3, third}}},
        {0, {}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.notUsing);
        rig.fake.ClearCalls();
        rig.quota.SetCurGroupCpuLimit(step.notUsing);
        EXPECT_EQ(rig.fake.Adds(), step.want);
    }
}

TEST(AutoCpuGroups, GroupsSwitchInNameOrderAndEmptyOnesOnlyRecord) {
    Rig rig(MakeConf(30, 5, 15), 2, {{"zeta", 10, 40}, {"alpha", 30, 90}, {"empty", 1, 2}});
    rig.quota.AddGroupThread("zeta", 5);
    rig.quota.AddGroupThread("alpha", 6);
    rig.fake.ClearCalls();
    rig.quota.SetCurGroupCpuLimit(1);
    EXPECT_EQ(rig.fake.Adds(), (Adds{{6, 90}, {5, 40}}));
    rig.fake.ClearCalls();
    rig.quota.AddGroupThread("empty", 4);  // recorded its not-using limit meanwhile
    EXPECT_EQ(rig.fake.Adds(), (Adds{{4, 2}}));
}

TEST(AutoCpuGroups, MembersLeaveAndTheGroupKeepsItsLimit) {
    Rig rig(MakeConf(30, 5, 15), 2, {{"g", 20, 60}});
    rig.quota.AddGroupThread("g", 1);
    rig.quota.AddGroupThread("g", 2);
    rig.quota.SetCurGroupCpuLimit(1);
    rig.fake.ClearCalls();
    EXPECT_EQ(rig.quota.DelGroupThread("g", 2), KVO_OK);
    EXPECT_FALSE(rig.fake.HasLimit(2));
    EXPECT_EQ(rig.fake.Adds(), (Adds{{1, 60}}));
    EXPECT_EQ(rig.quota.DelGroupThread("g", 1), KVO_OK);
    rig.fake.ClearCalls();
    rig.quota.SetGroupCpuLimit("g");  // no thread: nothing to push
    EXPECT_TRUE(rig.fake.Calls().empty());
    rig.quota.AddGroupThread("g", 3);
    EXPECT_EQ(rig.fake.Adds(), (Adds{{3, 60}}));
}

TEST(AutoCpuGroups, RemovingANonMemberStillEndsItsLimit) {
    Rig rig(MakeConf(30, 5, 15), 2, {{"g", 20, 60}});
    rig.quota.AddGroupThread("g", 1);
    rig.fake.Add(42, 20);
    rig.fake.ClearCalls();
    EXPECT_EQ(rig.quota.DelGroupThread("g", 42), KVO_OK);
    EXPECT_FALSE(rig.fake.HasLimit(42));
    EXPECT_EQ(rig.fake.Adds(), (Adds{{1, 20}}));
}

TEST(AutoCpuGroups, UnknownNamesAreRefusedAndChangeNothing) {
    {
        FakeCpuCtrl fake(2);
        CAutoCpu unbound(&fake);  // no group exists before binding
        EXPECT_EQ(unbound.AddGroupThread("video", 7), KVO_E_NO_GROUP);
        EXPECT_EQ(unbound.DelGroupThread("video", 7), KVO_E_NO_GROUP);
        EXPECT_EQ(fake.Calls().size(), 1u);  // the registration alone
    }
    Rig rig(MakeConf(30, 5, 15), 2, {{"video", 20, 60}});
    for (const char* name : {"Video", "vide", "video ", "", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(name ? name : "(null)");
        EXPECT_EQ(rig.quota.AddGroupThread(name, 7), KVO_E_NO_GROUP);
        EXPECT_EQ(rig.quota.DelGroupThread(name, 7), KVO_E_NO_GROUP);
        rig.quota.SetGroupCpuLimit(name);
    }
    EXPECT_TRUE(rig.fake.Calls().empty());
    rig.quota.AddGroupThread("video", 8);
    EXPECT_EQ(rig.fake.Adds(), (Adds{{8, 20}}));  // 7 never joined
}

TEST(AutoCpuGroups, ShareIsNotBoundedSoTheSchedulerMayRefuseIt) {
    Rig rig(MakeConf(30, 5, 15), 2, {{"tiny", 5, 5}, {"huge", 300, 300}});
    for (unsigned int tid = 1; tid <= 60; ++tid) {
        rig.quota.AddGroupThread("tiny", tid);
    }
    rig.quota.AddGroupThread("huge", 100);
    rig.fake.ClearCalls();
    rig.quota.SetGroupCpuLimit("tiny");
    const Adds adds = rig.fake.Adds();
    ASSERT_EQ(adds.size(), 60u);
    EXPECT_FLOAT_EQ(adds.front().second, 5.0f / 60);  // pushed as is, not replaced by 50
    EXPECT_TRUE(rig.fake.Limits().empty());           // refused: no thread is limited
    rig.quota.AddGroupThread("huge", 101);            // 150 each, refused as well
    EXPECT_FALSE(rig.fake.HasLimit(100));
    EXPECT_FALSE(rig.fake.HasLimit(101));
}

TEST(AutoCpuGroups, RebindingRecreatesGroupsAndTheLaterDuplicateWins) {
    Rig rig(MakeConf(30, 5, 15), 2, {{"g", 10, 20}, {"g", 30, 40}});
    rig.quota.AddGroupThread("g", 1);
    EXPECT_EQ(rig.fake.Adds(), (Adds{{1, 30}}));
    rig.quota.SetCurGroupCpuLimit(1);
    std::list<_CpuGroupConf> again{{"g", 12, 24}};
    rig.fake.ClearCalls();
    rig.quota.SetCpuLimitConfig(&rig.conf, again);
    EXPECT_TRUE(rig.fake.Calls().empty());  // binding pushes nothing
    EXPECT_TRUE(rig.fake.HasLimit(1));      // the former member's limit stays
    rig.quota.SetGroupCpuLimit("g");        // but it is no longer a member
    EXPECT_TRUE(rig.fake.Adds().empty());
    rig.quota.AddGroupThread("g", 2);  // back at the using limit
    EXPECT_EQ(rig.fake.Adds(), (Adds{{2, 12}}));
}

}  // namespace
