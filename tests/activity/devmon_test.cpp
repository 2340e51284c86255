// Device monitor against a fake /dev/input: classification of input records,
// the once-a-second report, the device scan and unplugged devices.
#include "activity/devmon.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "activity_test_util.h"
#include "support/fake_devmon_env.h"
#include "support/log_capture.h"

namespace {

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

// One second of input on a keyboard (event0) and a mouse (event1), and the report
// after it; then ParseEvent on single batches.
// clang-format off
const struct { std::vector<input_event> keyboard, mouse; unsigned int want; } kReports[] = {
    {{Key(KEY_A, 1), Key(KEY_A, 0), kSync}, {}, 1}, {{Key(KEY_A, 2)}, {}, 1}, {{}, {kMotion}, 2},
    {{}, {Key(BTN_LEFT)}, 2}, {{}, {InputEvent(EV_ABS, ABS_X, 9)}, 2}, {{}, {Key(0x100)}, 1},
    {{Key(0x101)}, {}, 2}, {{Key(KEY_ENTER)}, {kMotion, kSync}, 3}, {{}, {}, 0},
    {{InputEvent(EV_MSC, MSC_SCAN, 30), kSync}, {kSync}, 0}};
// clang-format on

TEST_F(DevmonTest, ReportEverySecondCarriesTheKindsReadSinceTheLastOneAndBatchesTally) {
    env.SetFirstFd(FD_SETSIZE + 100);  // beyond what select() can watch
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
    }
    // One batch: every key record counts (press and release are two), the tally
    // keeps the kind of the last one (1 pointer, 2 keyboard); without input it fails.
    // clang-format off
    const struct { std::vector<input_event> batch; uint32_t result; int kind, count; } batches[] = {
        {{kSync, InputEvent(EV_MSC, MSC_SCAN, 30), kSync}, KVO_E_FAIL, 0, 0},
        {{Key(KEY_A, 1), Key(KEY_A, 0), kSync}, KVO_OK, 2, 2}, {{Key(KEY_B), kMotion, kSync}, KVO_OK, 1, 2}};
    // clang-format on
    for (auto c : batches) {
        DevEvent tally{};
        EXPECT_EQ(c.result,
                  devmon.ParseEvent(&tally, c.batch.data(), static_cast<int>(c.batch.size())));
        EXPECT_EQ(std::pair(c.kind, c.count), std::pair(tally.kind, tally.count));
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
    EXPECT_EQ(0, env.stats() + env.polls());
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

}  // namespace
