// Threads joining the automatic limit or a group: each thread's control object
// must be created by that thread's own join, never by another caller's push.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "quota/autocpu.h"
#include "support/fake_cpu_ctrl.h"
#include "support/watchdog.h"

namespace {

using Limits = std::map<unsigned int, float>;

// Eight threads join the automatic limit (2 processors x 50 each: 12.5) or the
// group (its 80: 10 each) at once, fifty rounds.
TEST(AutoCpuJoins, ThreadsJoiningAtOnceEachCreateTheirOwnControlObject) {
    constexpr unsigned int kThreads = 8;
    for (bool group : {false, true}) {
        FakeCpuCtrl fake(2);
        _CpuConf conf{50, 5, 50, 1, 15, 50};
        std::list<_CpuGroupConf> groups{{"g", 80, 90}};
        CAutoCpu quota(&fake);
        quota.SetCpuLimitConfig(&conf, groups);
        fake.SetRecording(false);
        // Widens the window between one thread's insertion and its own push.
        fake.SetAddHook([](unsigned int, float) { std::this_thread::yield(); });
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
                const auto creators = fake.Creators();
                ASSERT_EQ(creators.size(), kThreads) << group << " round " << round;
                for (unsigned int i = 0; i < kThreads; ++i)
                    ASSERT_EQ(creators.at(100 + i), ids[i]) << "registered by another thread";
                // The last push saw every thread joined: nobody kept a stale share.
                for (const auto& limit : fake.Limits())
                    ASSERT_FLOAT_EQ(limit.second, group ? 10.0f : 12.5f) << limit.first;
                for (unsigned int i = 0; i < kThreads; ++i)
                    EXPECT_EQ(KVO_OK, group ? quota.DelGroupThread("g", 100 + i)
                                            : (quota.DelMonitorThread(100 + i), KVO_OK));
                ASSERT_TRUE(fake.Limits().empty());
            }
        });
    }
}

// An id without an object of its own making is counted in the share but left
// to its own join; the id being added is pushed whoever adds it.
TEST(AutoCpuJoins, OthersPushOnlyIdsWhoseOwnJoinCreatedTheirObject) {
    FakeCpuCtrl fake(2);
    _CpuConf conf{30, 5, 50, 1, 15, 30};
    std::list<_CpuGroupConf> groups{{"g", 5, 60}};
    CAutoCpu quota(&fake);
    quota.SetCpuLimitConfig(&conf, groups);

    quota.AddMonitorThread(0);                    // the scheduler refuses id 0: nothing is created
    quota.AddMonitorThread(7);                    // the host adds an id of another thread: pushed
    EXPECT_EQ(fake.Limits(), (Limits{{7, 30}}));  // 2 x 30 over both monitored ids
    fake.ClearCalls();
    quota.SetCurrentCpuLimit(30);  // as the collector's decision does
    EXPECT_EQ(fake.Adds(), (std::vector<std::pair<unsigned int, float>>{{7, 30}}));
    quota.DelMonitorThread(7);
    fake.ClearCalls();
    quota.SetCurrentCpuLimit(30);  // a left thread is not revived
    EXPECT_TRUE(fake.Adds().empty());

    // The group's 5 over 60 members is refused from the 51st on, which ends every
    // member's object; the switch to the idle limit (1 each) must not revive them
    // from the user-monitor thread. A member that joins again gets its own.
    for (unsigned int tid = 1; tid <= 60; ++tid) ASSERT_EQ(quota.AddGroupThread("g", tid), KVO_OK);
    EXPECT_TRUE(fake.Limits().empty());
    fake.ClearCalls();
    quota.SetCurGroupCpuLimit(1);
    EXPECT_TRUE(fake.Adds().empty());
    ASSERT_EQ(quota.AddGroupThread("g", 9), KVO_OK);
    EXPECT_EQ(fake.Limits(), (Limits{{9, 1}}));
}

}  // namespace
