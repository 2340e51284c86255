// The activity subsystem on the event loop's fake clock: the device monitor
// against a fake /dev/input (classification of input records, the once-a-second
// report, the device scan, unplugged devices) and the user behaviour state
// machine (when "using" and "not using" are announced, each change once).
#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "activity/devmon.h"
#include "activity/userbehavior.h"
#include "platform/cl_ev.h"
#include "support/fake_devmon_env.h"
#include "support/log_capture.h"

namespace {

int64_t g_nowMs = 0;

// Replaces the event loop's clock for the life of the object, from 0.
struct FakeClock {
    FakeClock() {
        g_nowMs = 0;
        cl_ev_set_clock([] { return g_nowMs; });
    }
    ~FakeClock() { cl_ev_set_clock(nullptr); }
    // Moves the clock on in steps, running the due timers after each, as the
    // monitor thread's loop does.
    void AdvanceTo(int64_t ms, int64_t step = 100) {
        for (; g_nowMs < ms; cl_event_loop_once()) g_nowMs = std::min(g_nowMs + step, ms);
    }
};

using Reports = std::vector<unsigned int>;
constexpr unsigned char kKeys = 1u << EV_KEY, kRel = 1u << EV_REL;
const input_event kMotion = InputEvent(EV_REL, REL_X, 3), kSync = InputEvent(EV_SYN, 0, 0);
input_event Key(uint16_t code, int32_t value = 1) { return InputEvent(EV_KEY, code, value); }
void Record(unsigned int value, void* reports) { static_cast<Reports*>(reports)->push_back(value); }

class DevmonTest : public ::testing::Test {
protected:
    // badCalls: calls a correct monitor never makes, such as a read with nothing pending.
    void TearDown() override {
        devmon.Uninitialize();
        EXPECT_EQ(0, env.badCalls());
        EXPECT_TRUE(env.OpenFds().empty());
    }
    FakeClock clock;
    FakeDevmonEnv env;
    Devmon devmon{&env};
    Reports reports;
};

// One second of input on a keyboard (event0) and a mouse (event1) and the report
// after it; then the same records as one batch: every key record counts (press and
// release are two), the tally keeps the kind of the last one (1 pointer, 2
// keyboard), and without input the batch fails.
// clang-format off
const struct { std::vector<input_event> keyboard, mouse; unsigned want; int kind, count; }
kReports[] = {
    {{Key(KEY_A, 1), Key(KEY_A, 0), kSync}, {}, 1, 2, 2},
    {{}, {kMotion}, 2, 1, 1},
    {{}, {InputEvent(EV_ABS, ABS_X, 9)}, 2, 1, 1},
    {{}, {Key(0x100)}, 1, 2, 1},
    {{Key(0x101)}, {}, 2, 1, 1},
    {{Key(KEY_ENTER)}, {kMotion, kSync}, 3, 1, 2},
    {{InputEvent(EV_MSC, MSC_SCAN, 30), kSync}, {kSync}, 0, 0, 0}};
// clang-format on

TEST_F(DevmonTest, ReportEverySecondCarriesTheKindsReadSinceTheLastOneAndBatchesTally) {
    env.AddDevice(0, kKeys);
    env.AddDevice(1, kKeys | kRel);
    ASSERT_EQ(KVO_OK, devmon.Initialize(1, 3, Record, &reports));
    clock.AdvanceTo(999);
    EXPECT_TRUE(reports.empty());
    for (const auto& c : kReports) {
        env.Queue(0, c.keyboard);
        env.Queue(1, c.mouse);
        EXPECT_EQ(KVO_OK, devmon.LoopEventOnce());
        reports.clear();
        clock.AdvanceTo(g_nowMs + 1000);
        EXPECT_EQ(Reports{c.want}, reports) << &c - kReports;
        std::vector<input_event> batch = c.keyboard;
        batch.insert(batch.end(), c.mouse.begin(), c.mouse.end());
        DevEvent tally{};
        EXPECT_EQ(c.count > 0 ? KVO_OK : KVO_E_FAIL,
                  devmon.ParseEvent(&tally, batch.data(), static_cast<int>(batch.size())));
        EXPECT_EQ(std::pair(c.kind, c.count), std::pair(tally.kind, tally.count));
        clock.AdvanceTo(g_nowMs + 1000);  // the batch's report, not under test
    }
}

TEST(DevmonScan, OpensCharacterDevicesWithKeysOrRelativeAxes) {
    using Node = FakeDevmonEnv::Node;  // mode, open errno, event types
    // clang-format off
    const struct { std::vector<std::pair<int, Node>> nodes; std::vector<int> opened; } cases[] = {
        {{{2, {S_IFCHR, 0, kKeys}}, {31, {S_IFCHR, 0, kRel}}}, {2, 31}},
        {{{0, {S_IFCHR, 0, 1u << EV_ABS}}, {1, {S_IFREG, 0, kKeys}}}, {}},
        {{{3, {S_IFCHR, EACCES, kKeys}}, {4, {S_IFCHR, 0, kRel}}}, {4}},
        {{{0, {S_IFCHR, ENOENT, kKeys}}, {1, {S_IFCHR, 0, kKeys}}}, {}}};  // gone after stat: stop
    // clang-format on
    for (const auto& c : cases) {
        FakeDevmonEnv env;
        for (const auto& node : c.nodes) env.AddNode(node.first, node.second);
        Devmon devmon(&env);
        errno = 0;
        EXPECT_EQ(c.opened.empty() ? KVO_E_FAIL : KVO_OK, devmon.LoadDevs());
        EXPECT_TRUE(!c.opened.empty() || errno == ENOENT) << errno;
        for (int slot : c.opened) EXPECT_NE(-1, devmon.DeviceFd(slot)) << slot;
        EXPECT_EQ(static_cast<int>(c.opened.size()), devmon.DeviceCount());
        EXPECT_EQ(static_cast<int>(env.OpenFds().size()), devmon.DeviceCount());
        devmon.UnloadDevs();
        EXPECT_TRUE(env.OpenFds().empty());
    }
}

TEST_F(DevmonTest, BadParametersSwitchOffOrNoUsableDeviceStartNothing) {
    env.AddNode(0, {S_IFCHR, EACCES, kKeys});
    LogCapture log;
    EXPECT_EQ(KVO_E_FAIL, devmon.Initialize(1, 0, Record, &reports));
    EXPECT_EQ(KVO_E_FAIL, devmon.Initialize(1, 4, Record, &reports));
    EXPECT_EQ(KVO_E_FAIL, devmon.Initialize(1, 3, nullptr, &reports));
    EXPECT_EQ(3, log.Count("ERROR", "Param error with monitor type or callback."));
    EXPECT_EQ(KVO_OK, devmon.Initialize(0, 3, Record, &reports));
    EXPECT_EQ(1, log.Count("DEBUG", "user info behavior switch off"));
    EXPECT_EQ(KVO_OK, devmon.LoopEventOnce());
    clock.AdvanceTo(130000, 1000);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(0, env.looks());
    EXPECT_EQ(KVO_E_FAIL, devmon.Initialize(1, 3, Record, &reports));
    EXPECT_EQ(1, log.Count("ERROR", "load input devices failed"));
}

// An unplugged device reads ENODEV and the rescan closes it; the rescan every
// 120 s opens devices plugged in later; Uninitialize stops both timers.
TEST_F(DevmonTest, DevicesComeAndGoWithTheRescan) {
    env.AddDevice(0, kKeys);
    env.AddDevice(1, kRel);
    ASSERT_EQ(KVO_OK, devmon.Initialize(1, 3, Record, &reports));
    env.Unplug(0);
    env.Queue(1, {kMotion});
    LogCapture log;
    EXPECT_EQ(KVO_OK, devmon.LoopEventOnce());
    EXPECT_EQ(1, log.Count("WARN", "read fd failed with error = " + std::to_string(ENODEV)));
    EXPECT_EQ(-1, devmon.DeviceFd(0));
    env.AddDevice(7, kRel);
    clock.AdvanceTo(119000, 1000);
    EXPECT_EQ(1, devmon.DeviceCount());
    clock.AdvanceTo(120000, 1000);
    EXPECT_NE(-1, devmon.DeviceFd(7));
    devmon.Uninitialize();
    clock.AdvanceTo(250000, 1000);
    EXPECT_EQ(120u, reports.size());  // no report after Uninitialize
    EXPECT_EQ(2u, reports[0]);        // the mouse was still read
}

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
    {1, 60000, {{0, 1}, {50000, 1}}, 400000, {{0, U}, {110000, N}}},
    {1, 10000, {{20000, 2}, {21000, 2}, {22000, 1}, {23000, 3}}, 40000,
     {{0, U}, {10000, N}, {20000, U}, {33000, N}}},
    // Either kind alone keeps the user "using".
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
