// User behaviour state machine on the event loop's fake clock: when "using" and
// "not using" are announced, and that each change is announced once.
#include "activity/userbehavior.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "activity_test_util.h"
#include "support/log_capture.h"

namespace {

using Announcements = std::vector<std::pair<int64_t, int>>;  // clock, status
constexpr int U = MSG_STATUS_USING, N = MSG_STATUS_NOT_USING;

void Record(_MSG_STATUS status, void* seen) {
    static_cast<Announcements*>(seen)->emplace_back(g_nowMs, status);
}

// Switch, idle time, reports of the device monitor (clock, value; it reports
// every second and the reports not listed carry 0), end of the run, announcements.
// clang-format off
const struct { int32_t on; uint32_t allowMs; std::vector<std::pair<int64_t, unsigned>> reports;
               int64_t until; Announcements want; } kScenarios[] = {
    {1, 60000, {}, 400000, {{0, U}, {60000, N}}},
    {1, 60000, {{0, 1}, {50000, 1}}, 400000, {{0, U}, {110000, N}}},
    {1, 10000, {{5000, 2}, {12000, 3}}, 60000, {{0, U}, {22000, N}}},
    {1, 10000, {{20000, 2}, {21000, 2}, {22000, 1}, {23000, 3}}, 40000,
     {{0, U}, {10000, N}, {20000, U}, {33000, N}}},
    {1, 5000, {{8000, 1}, {20000, 1}}, 40000,
     {{0, U}, {5000, N}, {8000, U}, {13000, N}, {20000, U}, {25000, N}}},
    {1, 10000, {{4000, 4}, {8000, 8}}, 30000, {{0, U}, {10000, N}}},  // other bits are no input
    {1, 0, {{1000, 1}}, 600000, {{0, U}}},  // an idle time of 0 never fires
    {0, 1000, {{1000, 3}}, 60000, {}}};
// clang-format on

// After UnInitialize (twice: the second finds nothing to release) the idle
// timer announces nothing more.
TEST(UserBehavior, AnnouncementsFollowReportsAndTheIdleTimer) {
    LogCapture log;
    for (const auto& s : kScenarios) {
        FakeClock clock;
        _UserBehaviorconf conf{s.on, s.allowMs};
        CUserBehavior behavior;
        Announcements seen;
        ASSERT_EQ(KVO_OK, behavior.Initialize(&conf, nullptr, Record, &seen));
        auto next = s.reports.begin();
        for (int64_t at = 0; at <= s.until; at += 1000) {
            clock.AdvanceTo(at);  // due timers first, as in the monitor loop
            bool listed = next != s.reports.end() && next->first == at;
            EXPECT_EQ(0, behavior.DevMonNotify(listed ? (next++)->second : 0));
        }
        behavior.UnInitialize();
        behavior.UnInitialize();
        clock.AdvanceTo(s.until + 700000, 10000);
        EXPECT_EQ(s.want, seen) << &s - kScenarios;
    }
    EXPECT_EQ(1, log.Count("INFO", "user behavior switch off"));
}

}  // namespace
