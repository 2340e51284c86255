// CAutoCpu under its real callers at once: host threads changing monitored and
// group threads, the delivery thread feeding samples, the user-monitor thread
// switching the groups. Nothing may deadlock and the limits left must agree.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "quota/autocpu.h"
#include "support/fake_cpu_ctrl.h"
#include "support/watchdog.h"

namespace {

constexpr unsigned int kProcessors = 4;
constexpr float kCeiling = 50;
constexpr float kMinimum = 5;
constexpr int kHosts = 3;
constexpr int kRounds = 20000;
constexpr unsigned int kIdsPerHost = 6;
const char* const kGroups[] = {"a", "b"};

struct HostResult {
    std::set<unsigned int> monitored;
    std::set<unsigned int> grouped[2];
};

// Each host works on its own ids, so it knows which of them end up where.
void RunHost(CAutoCpu& quota, int host, std::atomic<bool>& go, HostResult* result) {
    while (!go.load()) {
        std::this_thread::yield();
    }
    const unsigned int monitorBase = 1000 + 100 * host;
    const unsigned int groupBase = 5000 + 100 * host;
    for (int round = 0; round < kRounds; ++round) {
        const unsigned int slot = (round * 7 + host) % kIdsPerHost;
        const int group = static_cast<int>(slot % 2);  // a thread stays in one group
        if (round % 3 != 2) {
            quota.AddMonitorThread(monitorBase + slot);
            result->monitored.insert(monitorBase + slot);
            ASSERT_EQ(quota.AddGroupThread(kGroups[group], groupBase + slot), KVO_OK);
            result->grouped[group].insert(groupBase + slot);
        } else {
            quota.DelMonitorThread(monitorBase + slot);
            result->monitored.erase(monitorBase + slot);
            for (int g = 0; g < 2; ++g) {
                ASSERT_EQ(quota.DelGroupThread(kGroups[g], groupBase + slot), KVO_OK);
                result->grouped[g].erase(groupBase + slot);
            }
        }
    }
}

TEST(AutoCpuThreads, ConcurrentCallersNeitherDeadlockNorLeaveMixedLimits) {
    FakeCpuCtrl fake(kProcessors);
    _CpuConf conf{kCeiling, kMinimum, 50, 1, 2, 40};
    std::list<_CpuGroupConf> groups{{"a", 20, 60}, {"b", 30, 90}};
    CAutoCpu quota(&fake);
    quota.SetCpuLimitConfig(&conf, groups);
    fake.SetRecording(false);

    HostResult results[kHosts];
    int lastNotUsing = 0;
    RunWithWatchdog(120, "concurrent quota callers", [&] {
        std::atomic<bool> go(false);
        std::vector<std::thread> threads;
        for (int host = 0; host < kHosts; ++host) {
            threads.emplace_back(RunHost, std::ref(quota), host, std::ref(go), &results[host]);
        }
        threads.emplace_back([&] {  // the collector's delivery thread
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 2 * kRounds; ++i) {
                _CpuFactor sample{static_cast<float>(20 + i % 60), static_cast<float>(1 + i % 9)};
                quota.AdjustCpu(&sample);
            }
        });
        threads.emplace_back([&] {  // the user-monitor thread
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) {
                lastNotUsing = i % 2;
                quota.SetCurGroupCpuLimit(lastNotUsing);
            }
        });
        go.store(true);
        for (std::thread& thread : threads) {
            thread.join();
        }
    });

    const std::map<unsigned int, float> limits = fake.Limits();
    std::set<unsigned int> monitored;
    std::set<unsigned int> grouped[2];
    for (const HostResult& result : results) {
        monitored.insert(result.monitored.begin(), result.monitored.end());
        for (int g = 0; g < 2; ++g) {
            grouped[g].insert(result.grouped[g].begin(), result.grouped[g].end());
        }
    }
    ASSERT_FALSE(monitored.empty());
    // Nobody else holds a limit: removed threads lost theirs.
    size_t expected = monitored.size() + grouped[0].size() + grouped[1].size();
    EXPECT_EQ(limits.size(), expected);

    // Monitored threads: one share for all, from a bounded process limit.
    const float share = limits.count(*monitored.begin()) ? limits.at(*monitored.begin()) : -1;
    for (unsigned int tid : monitored) {
        ASSERT_TRUE(limits.count(tid)) << tid;
        EXPECT_EQ(limits.at(tid), share) << tid;
    }
    const float processLimit = share * monitored.size() / kProcessors;
    if (share != 50.0f) {
        EXPECT_GE(processLimit, kMinimum - 1e-3);
        EXPECT_LE(processLimit, kCeiling + 1e-3);
    }

    // Group members: the group's final limit split over its final members.
    const float finalLimit[2] = {lastNotUsing ? 60.0f : 20.0f, lastNotUsing ? 90.0f : 30.0f};
    for (int g = 0; g < 2; ++g) {
        for (unsigned int tid : grouped[g]) {
            ASSERT_TRUE(limits.count(tid)) << tid;
            EXPECT_FLOAT_EQ(limits.at(tid), finalLimit[g] / grouped[g].size()) << tid;
        }
    }
}

}  // namespace

namespace {

// The user-monitor thread switches the groups while a host thread is half-way
// through pushing the old limit: the switch must wait for that push, so the
// group does not end with some threads at the old share and some at the new.
TEST(AutoCpuThreads, GroupSwitchNeverInterleavesWithAHostPush) {
    FakeCpuCtrl fake(2);
    _CpuConf conf{30, 5, 50, 1, 15, 30};
    std::list<_CpuGroupConf> groups{{"g", 20, 60}};
    CAutoCpu quota(&fake);
    quota.SetCpuLimitConfig(&conf, groups);
    for (unsigned int tid : {1u, 2u, 3u}) {
        quota.AddGroupThread("g", tid);
    }
    std::thread switcher;
    std::atomic<bool> switched(false);
    bool armed = true;
    fake.SetAddHook([&](unsigned int tid, float) {
        if (!armed || tid != 1) {
            return;
        }
        armed = false;  // only the host's first push reaches here: set before the switch
        switcher = std::thread([&] {
            quota.SetCurGroupCpuLimit(1);
            switched = true;
        });
        // Give a switch that does not wait for us every chance to run now.
        for (int i = 0; i < 200 && !switched; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    RunWithWatchdog(60, "group switch against a push", [&] {
        quota.SetGroupCpuLimit("g");
        switcher.join();
    });
    fake.SetAddHook(nullptr);
    EXPECT_EQ(fake.Limits(), (std::map<unsigned int, float>{{1, 20}, {2, 20}, {3, 20}}));
}

}  // namespace
