// User behaviour state machine on the event loop's fake clock: when "using" and
// "not using" are announced, and that each change is announced once.
#include "activity/userbehavior.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "activity/devmon.h"
#include "activity_test_util.h"
#include "support/fake_devmon_env.h"
#include "support/log_capture.h"

using activity_test::FakeClock;

namespace {

// An announcement and the fake clock's time when it was made.
typedef std::pair<int64_t, _MSG_STATUS> Announcement;

class UserBehaviorTest : public ::testing::Test {
protected:
    static void Record(_MSG_STATUS status, void* context) {
        UserBehaviorTest* self = static_cast<UserBehaviorTest*>(context);
        self->announced.emplace_back(self->clock.now(), status);
    }
    uint32_t Start(int32_t behaviorSwitch, uint32_t allowMs) {
        conf.behavior_switch = behaviorSwitch;
        conf.allow_time = allowMs;
        return behavior.Initialize(&conf, nullptr, Record, this);
    }
    void TearDown() override { behavior.UnInitialize(); }

    FakeClock clock;
    _UserBehaviorconf conf{};
    CUserBehavior behavior;
    std::vector<Announcement> announced;
};

const Announcement Using(int64_t at) { return Announcement(at, MSG_STATUS_USING); }
const Announcement Idle(int64_t at) { return Announcement(at, MSG_STATUS_NOT_USING); }

// A report of the device monitor at a time (ms); reports come every second.
struct Report {
    int64_t at;
    unsigned int value;
};

struct Scenario {
    const char* name;
    uint32_t allowMs;
    std::vector<Report> reports;
    int64_t until;
    std::vector<Announcement> want;
};

// Every second carries a report; those not listed carry 0.
const Scenario kScenarios[] = {
    {"no input: idle one idle time after start, once", 60000, {}, 400000, {Using(0), Idle(60000)}},
    {"input at 0 s and 50 s: idle at 110 s, once",
     60000,
     {{0, 1}, {50000, 1}},
     400000,
     {Using(0), Idle(110000)}},
    {"pointer input keeps the user active as well",
     10000,
     {{5000, 2}, {12000, 3}},
     60000,
     {Using(0), Idle(22000)}},
    {"input after idle announces using once",
     10000,
     {{20000, 2}, {21000, 2}, {22000, 1}, {23000, 3}},
     40000,
     {Using(0), Idle(10000), Using(20000), Idle(33000)}},
    {"each idle period after input announces once more",
     5000,
     {{8000, 1}, {20000, 1}},
     40000,
     {Using(0), Idle(5000), Using(8000), Idle(13000), Using(20000), Idle(25000)}},
    {"bits other than keyboard and pointer are no input",
     10000,
     {{4000, 4}, {8000, 8}},
     30000,
     {Using(0), Idle(10000)}},
    {"idle time 0: the timer never fires, the user stays active",
     0,
     {{1000, 1}},
     600000,
     {Using(0)}},
};

TEST_F(UserBehaviorTest, AnnouncementsFollowReportsAndTheIdleTimer) {
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.name);
        clock.Reset();
        announced.clear();
        ASSERT_EQ(KVO_OK, Start(1, s.allowMs));
        size_t next = 0;
        for (int64_t at = 0; at <= s.until; at += 1000) {
            clock.AdvanceTo(at);  // due timers first, as in the monitor loop
            unsigned int value = 0;
            if (next < s.reports.size() && s.reports[next].at == at)
                value = s.reports[next++].value;
            EXPECT_EQ(0, behavior.DevMonNotify(value));
        }
        EXPECT_EQ(s.want, announced);
        behavior.UnInitialize();
    }
}

TEST_F(UserBehaviorTest, InitializeAnnouncesUsingOnce) {
    ASSERT_EQ(KVO_OK, Start(1, 30000));
    EXPECT_EQ(std::vector<Announcement>{Using(0)}, announced);
    clock.AdvanceTo(29900);
    EXPECT_EQ(1u, announced.size());
}

TEST_F(UserBehaviorTest, QuietReportsNeverRestartTheIdleTimer) {
    ASSERT_EQ(KVO_OK, Start(1, 60000));
    for (int64_t at = 100; at < 60000; at += 100) {
        clock.AdvanceTo(at);
        behavior.DevMonNotify(0);
    }
    EXPECT_EQ(1u, announced.size());
    clock.AdvanceTo(60000);
    EXPECT_EQ((std::vector<Announcement>{Using(0), Idle(60000)}), announced);
}

TEST_F(UserBehaviorTest, SwitchOffAnnouncesNothingAndOnlyLogs) {
    LogCapture log;
    EXPECT_EQ(KVO_OK, Start(0, 1000));
    EXPECT_EQ(1, log.Count("INFO", "user behavior switch off"));
    for (unsigned int value : {1u, 2u, 3u, 0u}) EXPECT_EQ(0, behavior.DevMonNotify(value));
    EXPECT_EQ(4, log.Count("DEBUG", "user behavior switch off"));
    clock.AdvanceTo(100000, 1000);
    EXPECT_TRUE(announced.empty());
}

TEST_F(UserBehaviorTest, UnInitializeStopsTheIdleTimer) {
    ASSERT_EQ(KVO_OK, Start(1, 5000));
    behavior.UnInitialize();
    behavior.UnInitialize();  // a second call finds nothing to release
    clock.AdvanceTo(60000, 1000);
    EXPECT_EQ(std::vector<Announcement>{Using(0)}, announced);
}

// The device monitor and the machine wired as the monitor thread wires them.
TEST(UserActivity, KeyboardThenSilenceThenMouse) {
    FakeClock clock;
    FakeDevmonEnv env;
    env.AddDevice(0, 1u << EV_KEY);
    env.AddDevice(1, 1u << EV_REL);
    Devmon devmon(&env);
    CUserBehavior behavior;
    _UserBehaviorconf conf{1, 5000};
    std::vector<_MSG_STATUS> announced;
    auto onStatus = [](_MSG_STATUS status, void* context) {
        static_cast<std::vector<_MSG_STATUS>*>(context)->push_back(status);
    };
    auto onReport = [](unsigned int value, void* context) {
        static_cast<CUserBehavior*>(context)->DevMonNotify(value);
    };
    ASSERT_EQ(KVO_OK, behavior.Initialize(&conf, nullptr, onStatus, &announced));
    ASSERT_EQ(KVO_OK, devmon.Initialize(1, 3, onReport, &behavior));
    auto runUntil = [&](int64_t ms) {
        while (clock.now() < ms) {
            clock.AdvanceTo(clock.now() + 200, 200);
            devmon.LoopEventOnce();
        }
    };
    env.Queue(0, {InputEvent(EV_KEY, KEY_H, 1), InputEvent(EV_KEY, KEY_H, 0)});
    runUntil(5800);  // the report at 1 s carried the keys: idle is due at 6 s
    EXPECT_EQ(std::vector<_MSG_STATUS>{MSG_STATUS_USING}, announced);
    runUntil(6000);
    EXPECT_EQ((std::vector<_MSG_STATUS>{MSG_STATUS_USING, MSG_STATUS_NOT_USING}), announced);
    env.Queue(1, {InputEvent(EV_REL, REL_Y, -2)});
    runUntil(30000);
    EXPECT_EQ((std::vector<_MSG_STATUS>{MSG_STATUS_USING, MSG_STATUS_NOT_USING, MSG_STATUS_USING,
                                        MSG_STATUS_NOT_USING}),
              announced);
    devmon.Uninitialize();
    behavior.UnInitialize();
    EXPECT_TRUE(env.OpenFds().empty());
    EXPECT_EQ(0, env.badCalls());
}

}  // namespace
