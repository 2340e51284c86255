// CAutoCpu under its real callers at once: host threads, the delivery thread and
// the user-monitor thread. Nothing may deadlock, the limits left must agree, and
// each thread's control object must be created by that thread's own join.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/fake_cpu_ctrl.h"
#include "support/watchdog.h"

namespace {

using Limits = std::map<unsigned int, float>;

TEST(AutoCpuThreads, ConcurrentCallersNeitherDeadlockNorLeaveMixedLimits) {
    QuotaRig rig(50, 5, 2, 4, {{"a", 20, 60}});
    CAutoCpu& quota = rig.quota;
    constexpr int kRounds = 20000;
    RunWithWatchdog(120, "concurrent quota callers", [&] {
        std::vector<std::thread> threads;
        for (unsigned int host = 1; host <= 2; ++host) {  // each host on ids of its own
            threads.emplace_back([&quota, host] {
                for (int round = 0; round < kRounds; ++round) {
                    const unsigned int tid = 100 * host + round % 5;  // ends with 0-4 added
                    quota.AddMonitorThread(tid);
                    ASSERT_EQ(quota.AddGroupThread("a", tid + 1000), KVO_OK);
                    quota.DelMonitorThread(tid + 1);
                    ASSERT_EQ(quota.DelGroupThread("a", tid + 1001), KVO_OK);
                }
            });
        }
        threads.emplace_back([&] {  // the collector's delivery thread
            for (int i = 0; i < 2 * kRounds; ++i) {
                _CpuFactor sample{static_cast<float>(20 + i % 60), static_cast<float>(1 + i % 9)};
                quota.AdjustCpu(&sample);
            }
        });
        threads.emplace_back([&] {  // the user-monitor thread, ending at "using"
            for (int i = kRounds; i >= 0; --i) quota.SetCurGroupCpuLimit(i % 2);
        });
        for (std::thread& thread : threads) thread.join();
    });
    // Hosts end with ids x00-x04 monitored (x05 was removed) and x000+1000-x004+1000
    // in the group: one share each, the group's 20 split over its ten members.
    const Limits limits = rig.fake.Limits();
    ASSERT_EQ(limits.size(), 20u);
    const float share = limits.at(100);
    for (unsigned int host = 1; host <= 2; ++host) {
        for (unsigned int tid = 100 * host; tid < 100 * host + 5; ++tid) {
            EXPECT_EQ(limits.at(tid), share) << tid;
            EXPECT_FLOAT_EQ(limits.at(tid + 1000), 2.0f) << tid + 1000;
        }
    }
    EXPECT_TRUE(share == 50.0f || (share * 10 / 4 >= 5 - 1e-3 && share * 10 / 4 <= 50 + 1e-3));
}

// The user-monitor thread switches the groups while a host thread is half-way
// through pushing the old limit: the switch must wait for that push, so the group
// does not end with some threads at the old share and some at the new.
TEST(AutoCpuThreads, GroupSwitchNeverInterleavesWithAHostPush) {
    QuotaRig rig(30, 5, 15, 2, {{"g", 20, 60}});
    CAutoCpu& quota = rig.quota;
    for (unsigned int tid : {1u, 2u, 3u}) quota.AddGroupThread("g", tid);
    std::thread switcher;
    std::atomic<bool> switched(false);
    bool armed = true;
    rig.fake.SetAddHook([&](unsigned int tid, float) {
        if (!armed || tid != 1) return;
        armed = false;  // only the host's first push reaches here: set before the switch
        switcher = std::thread([&] { quota.SetCurGroupCpuLimit(1), switched = true; });
        // Give a switch that does not wait for us every chance to run now.
        for (int i = 0; i < 200 && !switched; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    RunWithWatchdog(60, "group switch against a push", [&] {
        quota.SetGroupCpuLimit("g");
        switcher.join();
    });
    rig.fake.SetAddHook(nullptr);
    EXPECT_EQ(rig.fake.Limits(), (Limits{{1, 20}, {2, 20}, {3, 20}}));
}

// Eight threads join the automatic limit (2 processors x 50 each: 12.5) or the
// group (its 80: 10 each) at once, fifty rounds.
TEST(AutoCpuJoins, ThreadsJoiningAtOnceEachCreateTheirOwnControlObject) {
    constexpr unsigned int kThreads = 8;
    for (bool group : {false, true}) {
        QuotaRig rig(50, 5, 15, 2, {{"g", 80, 90}});
        CAutoCpu& quota = rig.quota;
        // Widens the window between one thread's insertion and its own push.
        rig.fake.SetAddHook([](unsigned int, float) { std::this_thread::yield(); });
        RunWithWatchdog(120, "joins", [&] {
            for (int round = 0; round < 50; ++round) {
                std::atomic<unsigned int> ready(0);
                std::vector<std::thread::id> ids(kThreads);
                std::vector<std::thread> threads;
                for (unsigned int i = 0; i < kThreads; ++i) {
                    threads.emplace_back([&, i] {
                        ids[i] = std::this_thread::get_id();
                        for (++ready; ready < kThreads;) std::this_thread::yield();
                        EXPECT_EQ(KVO_OK, group ? quota.AddGroupThread("g", 100 + i)
                                                : (quota.AddMonitorThread(100 + i), KVO_OK));
                    });
                }
                for (std::thread& thread : threads) thread.join();
                const auto creators = rig.fake.Creators();
                ASSERT_EQ(creators.size(), kThreads) << group << " round " << round;
                for (unsigned int i = 0; i < kThreads; ++i)
                    ASSERT_EQ(creators.at(100 + i), ids[i]) << "registered by another thread";
                // The last push saw every thread joined: nobody kept a stale share.
                for (const auto& limit : rig.fake.Limits())
                    ASSERT_FLOAT_EQ(limit.second, group ? 10.0f : 12.5f) << limit.first;
                for (unsigned int i = 0; i < kThreads; ++i)
                    EXPECT_EQ(KVO_OK, group ? quota.DelGroupThread("g", 100 + i)
                                            : (quota.DelMonitorThread(100 + i), KVO_OK));
                ASSERT_TRUE(rig.fake.Limits().empty());
            }
        });
    }
}

}  // namespace
