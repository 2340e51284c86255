// CAutoCpu: the sample window, the three rules, bounding and sharing of the
// process limit, monitored threads and CPU groups, observed through the seam.
#include "quota/autocpu.h"

#include <gtest/gtest.h>

#include "platform/kvo_word.h"
#include "support/fake_cpu_ctrl.h"
#include "support/log_capture.h"

namespace {

using Adds = std::vector<std::pair<unsigned int, float>>;
using Limits = std::map<unsigned int, float>;

TEST(AutoCpuRules, EachRuleDecidesOnTheSampleAfterABaselineOncePerWindow) {
    using Calc = float (CAutoCpu::*)(_CpuFactor*);
    const Calc sub = &CAutoCpu::CalcCpuBySub, band = &CAutoCpu::CalcCpuQuota,
               step = &CAutoCpu::CalcCpuEqual;
    // Subtraction: ceiling 30, minimum 7. Bands (above 35.71, 31.25, 27.78, 25 of the
    // deviation D: 10, 5, D, D / 1.5; else D / 2; under 2 none) and fixed steps
    // (by ceiling and trend): ceiling 50, limit in force 40.
    // clang-format off
    const struct { Calc calc; float previous, sys, proc, want; } cases[] = {
        {sub, 1, 40, 15, 5}, {sub, 1, 40, 8, 7}, {sub, 1, 40, 10, 7}, {sub, 1, 30, 4, 4},
        {sub, 1, 20, 5, 15},
        {band, 1, 51, 1, 40}, {band, 1, 48.5f, 1, 40}, {band, 1, 90, 1, 30}, {band, 1, 82, 1, 35},
        {band, 1, 79, 1, 11},
        {band, 1, 76, 1, 40 - 26 / 1.5f}, {band, 1, 60, 1, 35}, {band, 1, 52, 1, 39},
        {band, 1, 10, 1, 50}, {band, 1, 20, 1, 70},
        {step, 55, 60, 1, 35}, {step, 70, 60, 1, 39}, {step, 50, 50, 1, 39}, {step, 30, 40, 1, 41},
        {step, 45, 40, 1, 45},
    };
    // clang-format on
    for (const auto& c : cases) {
        QuotaRig rig(c.calc == sub ? 30 : 50, 7, 1);
        rig.quota.SetCurrentCpuLimit(40);
        _CpuFactor baseline{c.previous, 1}, decision{c.sys, c.proc};
        EXPECT_EQ((rig.quota.*c.calc)(&baseline), 0.0f);
        EXPECT_NEAR((rig.quota.*c.calc)(&decision), c.want, 1e-4) << c.previous << " " << c.sys;
    }
    // The subtraction rule over a window of 3: a baseline, then one decision per fresh window.
    // clang-format off
    const struct { const char* name; std::vector<_CpuFactor> samples; std::vector<float> want; }
    windows[] = {
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
    // clang-format on
    for (const auto& c : windows) {
        QuotaRig rig(50, 5, 3);
        for (size_t i = 0; i < c.samples.size(); ++i) {
            _CpuFactor sample = c.samples[i];
            EXPECT_FLOAT_EQ(rig.quota.CalcCpuBySub(&sample), c.want[i]) << c.name << " " << i + 1;
        }
    }
}

TEST(AutoCpuLimit, BoundedByCeilingThenMinimumAndSharedByProcessorsOverThreads) {
    // Shares outside 0.1 to 100 become 50; the bottom is tested before rounding to
    // float, the top after it.
    // clang-format off
    const struct { unsigned int cpus, threads; float ceiling, minimum, limit, bounded, share; }
    cases[] = {
        {1, 1, 30, 5, 80, 30, 30},          {1, 1, 30, 5, 2, 5, 5},
        {1, 1, 30, 40, 80, 40, 40},         {4, 3, 1000, 0.5f, 30, 30, 40},
        {8, 1, 1000, 0.5f, 30, 30, 50},     {1, 60, 1000, 0.5f, 5, 5, 50},
        {4, 2, 1000, 0.5f, 50, 50, 100},    {1, 10, 1000, 0.5f, 1, 1, 0.1f},
        {1, 7, 1000, 0.5f, 0.7f, 0.7f, 50}, {3, 5, 1000, 0.5f, 500.0f / 3, 500.0f / 3, 100},
    };
    // clang-format on
    for (const auto& c : cases) {
        QuotaRig rig(c.ceiling, c.minimum, 15, c.cpus);
        Adds want;
        for (unsigned int tid = c.threads; tid >= 1; --tid) rig.quota.AddMonitorThread(tid);
        for (unsigned int tid = 1; tid <= c.threads; ++tid) want.emplace_back(tid, c.share);
        EXPECT_EQ(rig.Push(c.limit), want) << c.cpus << " cpus, " << c.limit;
        EXPECT_FLOAT_EQ(rig.quota.GetCurrentCpuLimit(), c.bounded);
    }
}

// Before binding the record's defaults hold; at the end the limits stay with the
// scheduler. The subtraction rule logs the figures it decides on, each push the
// bounded limit.
TEST(AutoCpuLifetime, DefaultsBeforeBindingAndOneRegistration) {
    FakeCpuCtrl fake(2);
    {
        CAutoCpu quota(&fake);
        EXPECT_EQ(fake.registrations, 1);
        LogCapture log;
        quota.AddMonitorThread(7);      // ceiling still 50: 2 x 50 / 1
        quota.SetCurrentCpuLimit(1);    // the default minimum 5
        for (int i = 0; i < 16; ++i) {  // default window 15: baseline, then 50 - 10 + 2
            _CpuFactor sample{10, 2};
            quota.AdjustCpu(&sample);
        }
        EXPECT_EQ(fake.Adds(), (Adds{{7, 100}, {7, 10}, {7, 84}}));
        EXPECT_EQ(log.Messages("DEBUG", "autocpu.cpp"),
                  (std::vector<std::string>{"current set cpu 50.00", "current set cpu 5.00",
                                            "current system avg cpu 10.00,  proc avg cpu 2.00, "
                                            "last proc limit 5.00, cur proc limit 42.00",
                                            "current set cpu 42.00"}));
    }
    EXPECT_EQ(fake.registrations, 0);
    EXPECT_EQ(fake.Limits(), (Limits{{7, 84}}));
}

// A scripted run: each step's result and the Add calls it makes.
// clang-format off
enum Act { kAddMon, kDelMon, kClearMon, kAddGrp, kDelGrp, kPushGrp, kSwitch, kHostAdd, kLimit,
           kCeiling, kMinimum, kRebind };
// clang-format on
struct Step {
    Act act;
    const char* name;
    unsigned int arg;  // a thread id, notUsing for kSwitch, else a percentage
    Adds want;
    uint32_t result = KVO_OK;
};

uint32_t Do(QuotaRig& rig, const Step& s) {
    rig.fake.ClearCalls();
    // clang-format off
    switch (s.act) {
        case kAddMon: rig.quota.AddMonitorThread(s.arg); break;
        case kDelMon: rig.quota.DelMonitorThread(s.arg); break;
        case kClearMon: rig.quota.ClearMonitorThread(); break;
        case kAddGrp: return rig.quota.AddGroupThread(s.name, s.arg);
        case kDelGrp: return rig.quota.DelGroupThread(s.name, s.arg);
        case kPushGrp: rig.quota.SetGroupCpuLimit(s.name); break;
        case kSwitch: rig.quota.SetCurGroupCpuLimit(static_cast<int>(s.arg)); break;
        case kHostAdd: rig.fake.Add(s.arg, 20); break;  // a limit the host set directly
        case kLimit: rig.quota.SetCurrentCpuLimit(static_cast<float>(s.arg)); break;
        case kCeiling: rig.quota.SetCurrentAutoSysMaxCpu(static_cast<float>(s.arg)); break;
        // As the host's lower setter stores it.
        case kMinimum: WordStore(rig.conf.proc_min, static_cast<float>(s.arg)); break;
        case kRebind: rig.quota.SetCpuLimitConfig(&rig.conf, rig.groups); break;
    }
    // clang-format on
    return KVO_OK;
}

// A limited host thread that the scheduler puts to sleep while it holds a quota
// lock would stall every other caller for most of a tick: each call into the
// scheduler runs with the sleep held off, and the hold ends with the step.
void RunScript(QuotaRig& rig, const std::vector<Step>& steps, const Limits& left) {
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(Do(rig, steps[i]), steps[i].result) << "step " << i;
        EXPECT_EQ(rig.fake.Adds(), steps[i].want) << "step " << i;
        EXPECT_EQ(rig.fake.unheld, steps[i].act == kHostAdd ? 1 : 0) << "step " << i;
        EXPECT_EQ(FakeCpuCtrl::sleepHoldDepth, 0) << "step " << i;
    }
    EXPECT_EQ(rig.fake.Limits(), left);  // removals really ended those limits
}

// Group members share their group's limit, which follows the user; then
// monitored threads join and leave with the share repushed under the ceiling.
TEST(AutoCpuScript, GroupsThenMonitoredThreads) {
    QuotaRig rig(30, 5, 15, 2,
                 {{"g", 99, 99},  // the later entry of a name wins
                  {"g", 20, 60},
                  {"alpha", 30, 90},
                  {"empty", 1, 2},
                  {"tiny", 0.3f, 0.15f},
                  {"huge", 300, 300}});
    const float t = 20.0f / 3;
    const uint32_t none = KVO_E_NO_GROUP;
    // clang-format off
    RunScript(rig, {
        {kAddGrp, "g", 3, {{3, 20}}}, {kAddGrp, "g", 1, {{1, 10}, {3, 10}}},
        {kAddGrp, "g", 2, {{1, t}, {2, t}, {3, t}}}, {kAddGrp, "alpha", 6, {{6, 30}}},
        {kSwitch, "", 1, {{6, 90}, {1, 20}, {2, 20}, {3, 20}}},  // in name order
        {kSwitch, "", 5, {}},  // any non-zero value: not using, already there
        {kSwitch, "", 0, {{6, 30}, {1, t}, {2, t}, {3, t}}}, {kSwitch, "", 0, {}},
        {kSwitch, "", 1, {{6, 90}, {1, 20}, {2, 20}, {3, 20}}},
        {kAddGrp, "empty", 4, {{4, 2}}},  // recorded its not-using limit meanwhile
        {kHostAdd, "", 42, {{42, 20}}},
        {kDelGrp, "g", 42, {{1, 20}, {2, 20}, {3, 20}}},  // a non-member loses it too
        {kDelGrp, "g", 3, {{1, 30}, {2, 30}}}, {kDelGrp, "g", 1, {{2, 60}}}, {kDelGrp, "g", 2, {}},
        {kPushGrp, "g", 0, {}},  // no thread: nothing; the group keeps its limit
        {kAddGrp, "g", 8, {{8, 60}}}, {kPushGrp, "g", 0, {{8, 60}}},
        {kAddGrp, "Alpha", 7, {}, none}, {kDelGrp, "alph", 7, {}, none},  // names are exact
        {kAddGrp, "", 7, {}, none}, {kAddGrp, nullptr, 7, {}, none},
        {kDelGrp, nullptr, 7, {}, none},
        {kPushGrp, "nosuch", 0, {}},
        // A group's share is not bounded: one the scheduler refuses leaves no limit.
        {kAddGrp, "tiny", 11, {{11, 0.15f}}}, {kAddGrp, "tiny", 12, {{11, 0.075f}, {12, 0.075f}}},
        {kAddGrp, "huge", 13, {{13, 300}}},
        {kSwitch, "", 0, {{6, 30}, {4, 1}, {8, 20}}},  // refused members are not revived
        {kAddGrp, "tiny", 11, {{11, 0.15f}}},  // but one that joins again is pushed
        {kRebind, "", 0, {}}, {kPushGrp, "g", 0, {}},  // groups made anew, without members
        {kAddGrp, "g", 2, {{2, 20}}},
        // Monitored threads: limit 50 bounded to 30, over 2 processors.
        {kAddMon, "", 0, {{0, 60}}},  // refused by the scheduler: no object, never pushed
        {kAddMon, "", 7, {{7, 30}}}, {kDelMon, "", 0, {{7, 60}}},
        {kAddMon, "", 9, {{7, 30}, {9, 30}}},
        {kHostAdd, "", 42, {{42, 20}}}, {kDelMon, "", 9, {{7, 60}}},
        {kDelMon, "", 42, {{7, 60}}},  // never monitored: its limit still ends
        {kAddMon, "", 3, {{3, 30}, {7, 30}}},
        {kClearMon, "", 0, {}},        // every thread goes, nothing is pushed
        {kAddMon, "", 5, {{5, 60}}},  // the set really is empty
        {kCeiling, "", 20, {}}, {kLimit, "", 25, {{5, 40}}},  // a ceiling acts on the next limit
        {kMinimum, "", 9, {}}, {kLimit, "", 2, {{5, 18}}}},  // the minimum is read at each push
        {{2, 20}, {4, 1}, {5, 18}, {6, 30}, {8, 20}, {11, 0.15f}});
    // clang-format on
}

}  // namespace
