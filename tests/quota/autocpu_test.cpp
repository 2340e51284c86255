// CAutoCpu: the sample window, the three rules, bounding and sharing of the
// process limit, monitored threads and CPU groups, observed through the seam.
#include "quota/autocpu.h"

#include <gtest/gtest.h>

#include "platform/kvo_word.h"
#include "support/fake_cpu_ctrl.h"
#include "support/log_capture.h"

namespace {

using Op = FakeCpuCtrl::Op;
using Adds = std::vector<std::pair<unsigned int, float>>;
using Limits = std::map<unsigned int, float>;

// A quota over a fake scheduler with a bound configuration and groups.
struct Rig {
    explicit Rig(float ceiling, float minimum = 5, uint32_t cycle = 15, unsigned int cpus = 2,
                 std::list<_CpuGroupConf> g = {})
        : conf{ceiling, minimum, 50, 1, cycle, ceiling}, groups(std::move(g)), fake(cpus) {
        quota.SetCpuLimitConfig(&conf, groups);
        fake.ClearCalls();
    }
    Adds Push(float limit) {  // the Add calls one new process limit makes
        fake.ClearCalls();
        quota.SetCurrentCpuLimit(limit);
        return fake.Adds();
    }
    _CpuConf conf;
    std::list<_CpuGroupConf> groups;
    FakeCpuCtrl fake;
    CAutoCpu quota{&fake};
};

TEST(AutoCpuWindow, BaselineThenOneDecisionPerFreshWindow) {
    const struct {
        const char* name;
        std::vector<_CpuFactor> samples;
        std::vector<float> want;  // CalcCpuBySub's result for each sample
    } cases[] = {
        // Baseline on 1-3; sample 4 decides over 2-4 (sys 30, proc 3): 50 - 30 + 3.
        // Then 5-7 alone (sys 12, proc 2): 50 - 12 + 2.
        {"slide then disjoint windows",
         {{10, 1}, {20, 2}, {30, 3}, {40, 4}, {11, 1}, {12, 2}, {13, 3}},
         {0, 0, 0, 23, 0, 0, 40}},
        // A decision over an idle process (2-4) still decides (50 - 20); the next full
        // window (5-7) is only a baseline; sample 8 decides over 6-8.
        {"idle process window",
         {{20, 3}, {20, 0}, {20, 0}, {20, 0}, {10, 2}, {20, 4}, {30, 6}, {40, 8}},
         {0, 0, 0, 30, 0, 0, 0, 26}},
        {"idle system baseline", {{0, 1}, {0, 1}, {0, 1}, {10, 1}, {20, 1}}, {0, 0, 0, 0, 41}},
    };
    for (const auto& c : cases) {
        Rig rig(50, 5, 3);
        for (size_t i = 0; i < c.samples.size(); ++i) {
            _CpuFactor sample = c.samples[i];
            EXPECT_FLOAT_EQ(rig.quota.CalcCpuBySub(&sample), c.want[i]) << c.name << " " << i + 1;
        }
    }
}

TEST(AutoCpuRules, EachRuleDecidesOnTheSampleAfterABaseline) {
    using Calc = float (CAutoCpu::*)(_CpuFactor*);
    const Calc sub = &CAutoCpu::CalcCpuBySub, band = &CAutoCpu::CalcCpuQuota,
               step = &CAutoCpu::CalcCpuEqual;
    // Subtraction: ceiling 30, minimum 7. Bands (above 35.71, 31.25, 27.78, 25 of the
    // deviation D: 10, 5, D, D / 1.5; else D / 2; under 2 none) and fixed steps
    // (by ceiling and trend): ceiling 50, limit in force 40.
    const struct {
        Calc calc;
        float previous, sys, proc, want;
    } cases[] = {
        // clang-format off
        {sub, 1, 40, 15, 5}, {sub, 1, 40, 8, 7}, {sub, 1, 40, 10, 7}, {sub, 1, 30, 4, 4},
        {sub, 1, 20, 5, 15},
        {band, 1, 51, 1, 40}, {band, 1, 48.5f, 1, 40}, {band, 1, 90, 1, 30}, {band, 1, 82, 1, 35},
        {band, 1, 79, 1, 11}, {band, 1, 76, 1, 40 - 26 / 1.5f}, {band, 1, 60, 1, 35},
        {band, 1, 52, 1, 39}, {band, 1, 10, 1, 50}, {band, 1, 20, 1, 70},
        {step, 55, 60, 1, 35}, {step, 70, 60, 1, 39}, {step, 50, 50, 1, 39}, {step, 30, 40, 1, 41},
        {step, 45, 40, 1, 45},
        // clang-format on
    };
    for (const auto& c : cases) {
        Rig rig(c.calc == sub ? 30 : 50, 7, 1);
        rig.quota.SetCurrentCpuLimit(40);
        _CpuFactor baseline{c.previous, 1}, decision{c.sys, c.proc};
        EXPECT_EQ((rig.quota.*c.calc)(&baseline), 0.0f);
        EXPECT_NEAR((rig.quota.*c.calc)(&decision), c.want, 1e-4) << c.previous << " " << c.sys;
    }
}

TEST(AutoCpuLimit, BoundedByCeilingThenMinimumAndSharedByProcessorsOverThreads) {
    // Shares outside 0.1 to 100 become 50; the bottom is tested before rounding to
    // float, the top after it.
    const struct {
        unsigned int cpus, threads;
        float ceiling, minimum, limit, bounded, share;
    } cases[] = {
        {1, 1, 30, 5, 80, 30, 30},          {1, 1, 30, 5, 2, 5, 5},
        {1, 1, 30, 40, 20, 40, 40},         {4, 3, 1000, 0.5f, 30, 30, 40},
        {8, 1, 1000, 0.5f, 30, 30, 50},     {1, 60, 1000, 0.5f, 5, 5, 50},
        {4, 2, 1000, 0.5f, 50, 50, 100},    {1, 10, 1000, 0.5f, 1, 1, 0.1f},
        {1, 7, 1000, 0.5f, 0.7f, 0.7f, 50}, {3, 5, 1000, 0.5f, 500.0f / 3, 500.0f / 3, 100},
    };
    for (const auto& c : cases) {
        Rig rig(c.ceiling, c.minimum, 15, c.cpus);
        Adds want;
        for (unsigned int tid = c.threads; tid >= 1; --tid) rig.quota.AddMonitorThread(tid);
        for (unsigned int tid = 1; tid <= c.threads; ++tid) want.emplace_back(tid, c.share);
        EXPECT_EQ(rig.Push(c.limit), want) << c.cpus << " cpus, " << c.limit;
        EXPECT_FLOAT_EQ(rig.quota.GetCurrentCpuLimit(), c.bounded);
    }
    Rig rig(30, 7);  // the minimum is read through the bound record at each push
    rig.quota.AddMonitorThread(7);
    WordStore(rig.conf.proc_min, 9.0f);  // as the host's lower setter does
    EXPECT_EQ(rig.Push(2), (Adds{{7, 18}}));
}

TEST(AutoCpuLimit, CeilingComesFromBindingAndActsOnTheNextLimitOnly) {
    FakeCpuCtrl fake(1);
    CAutoCpu quota(&fake);
    quota.SetCurrentCpuLimit(12);  // no thread: only recorded
    _CpuConf conf{22, 5, 50, 1, 15, 22};
    std::list<_CpuGroupConf> none;
    quota.SetCpuLimitConfig(&conf, none);
    quota.AddMonitorThread(7);  // 12 is within the new ceiling 22
    quota.SetCurrentCpuLimit(40);
    EXPECT_EQ(fake.Adds(), (Adds{{7, 12}, {7, 22}}));
    fake.ClearCalls();
    quota.SetCurrentAutoSysMaxCpu(20);
    EXPECT_TRUE(fake.Calls().empty());
    quota.SetCurrentCpuLimit(25);
    EXPECT_EQ(fake.Adds(), (Adds{{7, 20}}));
}

TEST(AutoCpuLimit, AdjustPushesDecisionsIgnoresZeroAndLogsAtDebug) {
    LogCapture log;
    Rig rig(30, 0, 2);
    rig.quota.AddMonitorThread(7);  // 50 bounded to 30: 60 on two processors
    const struct {
        float sys, proc;
        Adds want;
    } steps[] = {
        {10, 2, {}},        {10, 2, {}},  // baseline
        {20, 4, {{7, 36}}},               // over (15, 3): 30 - 15 + 3 = 18, two processors
        {40, 5, {}},        {40, 5, {}},  // overshoot 10 above a use of 5: the minimum 0, ignored
        {30, 6, {}},        {30, 6, {{7, 12}}},  // at the ceiling: the use, 6
    };
    for (const auto& step : steps) {
        rig.fake.ClearCalls();
        _CpuFactor sample{step.sys, step.proc};
        rig.quota.AdjustCpu(&sample);
        EXPECT_EQ(rig.fake.Adds(), step.want) << step.sys;
    }
    EXPECT_FLOAT_EQ(rig.quota.GetCurrentCpuLimit(), 6);
    _CpuFactor next{41.5f, 1};
    for (int i = 0; i < 2; ++i) rig.quota.CalcCpuQuota(&next);
    const std::string text = log.Text();
    for (const char* line :
         {"]\t[DEBUG]\t[kvo_vurizeda] [autocpu.cpp(",
          ")] current system avg cpu 15.00,  proc avg cpu 3.00, last proc limit 30.00, cur proc "
          "limit 18.00\n",
          ")] current system avg cpu 41.50\n", ")] current set cpu 18.00\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    }
}

TEST(AutoCpuUnbound, UsesTheRecordDefaultsBeforeInit) {
    FakeCpuCtrl fake(2);
    CAutoCpu quota(&fake);
    quota.AddMonitorThread(7);      // ceiling still 50: 2 x 50 / 1
    quota.SetCurrentCpuLimit(1);    // the default minimum 5
    for (int i = 0; i < 16; ++i) {  // default window 15: baseline, then 50 - 10 + 2
        _CpuFactor sample{10, 2};
        quota.AdjustCpu(&sample);
    }
    EXPECT_EQ(fake.Adds(), (Adds{{7, 100}, {7, 10}, {7, 84}}));
}

TEST(AutoCpuLifetime, RegistersOnceAndLeavesLimitsToTheScheduler) {
    FakeCpuCtrl fake(2);
    _CpuConf conf{30, 5, 50, 1, 15, 30};
    std::list<_CpuGroupConf> groups{{"g", 20, 60}};
    {
        CAutoCpu quota(&fake);
        EXPECT_EQ(fake.Registrations(), 1);
        quota.SetCpuLimitConfig(&conf, groups);
        quota.AddMonitorThread(7);
        quota.AddGroupThread("g", 8);
        fake.ClearCalls();
    }
    ASSERT_EQ(fake.Calls().size(), 1u);  // the unregistration alone: the limits stay
    EXPECT_EQ(fake.Calls()[0].op, Op::kUnregister);
    EXPECT_EQ(fake.Registrations(), 0);
}

TEST(AutoCpuMonitor, ThreadsJoinAndLeaveWithTheShareRepushed) {
    Rig rig(30);  // 2 processors, limit 50 bounded to 30
    rig.quota.AddMonitorThread(7);
    rig.quota.AddMonitorThread(9);
    EXPECT_EQ(rig.fake.Adds(), (Adds{{7, 60}, {7, 30}, {9, 30}}));
    rig.fake.Add(42, 20);                  // set by the host directly
    for (unsigned int gone : {9u, 42u}) {  // a thread never monitored also loses its limit
        rig.fake.ClearCalls();
        rig.quota.DelMonitorThread(gone);
        EXPECT_EQ(rig.fake.Calls()[0].op, Op::kDel);
        EXPECT_EQ(rig.fake.Adds(), (Adds{{7, 60}}));
    }
    EXPECT_EQ(rig.fake.Limits(), (Limits{{7, 60}}));
    rig.quota.AddMonitorThread(3);
    rig.fake.ClearCalls();
    rig.quota.ClearMonitorThread();  // removes every thread and pushes nothing
    EXPECT_TRUE(rig.fake.Adds().empty());
    EXPECT_TRUE(rig.fake.Limits().empty());
    rig.quota.AddMonitorThread(5);  // the set really is empty: 5 alone gets 2 x 30
    EXPECT_EQ(rig.fake.Limits(), (Limits{{5, 60}}));
}

TEST(AutoCpuGroups, SwitchOnlyOnChangeInNameOrderWhileEmptyGroupsOnlyRecord) {
    Rig rig(30, 5, 15, 2, {{"g", 20, 60}, {"alpha", 30, 90}, {"empty", 1, 2}});
    for (unsigned int tid : {3u, 1u, 2u}) ASSERT_EQ(rig.quota.AddGroupThread("g", tid), KVO_OK);
    rig.quota.AddGroupThread("alpha", 6);
    const float third = 20.0f / 3;
    EXPECT_EQ(rig.fake.Limits(), (Limits{{1, third}, {2, third}, {3, third}, {6, 30}}));
    const struct {
        int notUsing;
        Adds want;
    } steps[] = {
        {1, {{6, 90}, {1, 20}, {2, 20}, {3, 20}}},
        {5, {}},  // any non-zero value means not using: already there
        {0, {{6, 30}, {1, third}, {2, third}, {3, third}}},
        {0, {}},
        {1, {{6, 90}, {1, 20}, {2, 20}, {3, 20}}},
    };
    for (const auto& step : steps) {
        rig.fake.ClearCalls();
        rig.quota.SetCurGroupCpuLimit(step.notUsing);
        EXPECT_EQ(rig.fake.Adds(), step.want) << step.notUsing;
    }
    rig.fake.ClearCalls();
    rig.quota.AddGroupThread("empty", 4);  // recorded its not-using limit meanwhile
    EXPECT_EQ(rig.fake.Adds(), (Adds{{4, 2}}));
}

TEST(AutoCpuGroups, MembersLeaveAndTheGroupKeepsItsLimit) {
    Rig rig(30, 5, 15, 2, {{"g", 20, 60}});
    rig.quota.AddGroupThread("g", 1);
    rig.quota.AddGroupThread("g", 2);
    rig.quota.SetCurGroupCpuLimit(1);
    rig.fake.Add(42, 20);
    for (unsigned int gone : {2u, 42u}) {  // a non-member also loses its limit
        rig.fake.ClearCalls();
        EXPECT_EQ(rig.quota.DelGroupThread("g", gone), KVO_OK);
        EXPECT_FALSE(rig.fake.HasLimit(gone));
        EXPECT_EQ(rig.fake.Adds(), (Adds{{1, 60}}));
    }
    EXPECT_EQ(rig.quota.DelGroupThread("g", 1), KVO_OK);
    rig.fake.ClearCalls();
    rig.quota.SetGroupCpuLimit("g");  // no thread: nothing to push
    EXPECT_TRUE(rig.fake.Calls().empty());
    rig.quota.AddGroupThread("g", 3);
    EXPECT_EQ(rig.fake.Adds(), (Adds{{3, 60}}));
}

TEST(AutoCpuGroups, UnknownNamesAreRefusedAndChangeNothing) {
    Rig rig(30, 5, 15, 2, {{"video", 20, 60}});
    for (const char* name : {"Video", "vide", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(rig.quota.AddGroupThread(name, 7), KVO_E_NO_GROUP);
        EXPECT_EQ(rig.quota.DelGroupThread(name, 7), KVO_E_NO_GROUP);
        rig.quota.SetGroupCpuLimit(name);
    }
    EXPECT_TRUE(rig.fake.Calls().empty());
    rig.quota.AddGroupThread("video", 8);
    EXPECT_EQ(rig.fake.Adds(), (Adds{{8, 20}}));  // 7 never joined
}

TEST(AutoCpuGroups, ShareIsNotBoundedSoTheSchedulerMayRefuseIt) {
    Rig rig(30, 5, 15, 2, {{"tiny", 5, 5}, {"huge", 300, 300}});
    for (unsigned int tid = 1; tid <= 60; ++tid) rig.quota.AddGroupThread("tiny", tid);
    rig.quota.AddGroupThread("huge", 100);
    rig.quota.AddGroupThread("huge", 101);  // 150 each
    EXPECT_FLOAT_EQ(rig.fake.Adds().back().second, 150.0f);
    rig.fake.ClearCalls();
    rig.quota.SetGroupCpuLimit("tiny");
    EXPECT_FLOAT_EQ(rig.fake.Adds().at(59).second, 5.0f / 60);  // pushed as is, not 50
    EXPECT_TRUE(rig.fake.Limits().empty());                     // refused: nobody is limited
}

TEST(AutoCpuGroups, RebindingRecreatesGroupsAndTheLaterDuplicateWins) {
    Rig rig(30, 5, 15, 2, {{"g", 10, 20}, {"g", 30, 40}});
    rig.quota.AddGroupThread("g", 1);
    EXPECT_EQ(rig.fake.Adds(), (Adds{{1, 30}}));
    rig.quota.SetCurGroupCpuLimit(1);
    std::list<_CpuGroupConf> again{{"g", 12, 24}};
    rig.fake.ClearCalls();
    rig.quota.SetCpuLimitConfig(&rig.conf, again);
    rig.quota.SetGroupCpuLimit("g");  // binding pushes nothing, and 1 is no longer a member
    EXPECT_TRUE(rig.fake.Calls().empty());
    rig.quota.AddGroupThread("g", 2);  // back at the using limit
    EXPECT_EQ(rig.fake.Adds(), (Adds{{2, 12}}));
}

}  // namespace
