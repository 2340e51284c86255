// Device monitor: classification of input records, the once-a-second report, the
// device scan and the handling of unplugged devices, against a fake /dev/input.
#include "activity/devmon.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <vector>

#include "activity_test_util.h"
#include "support/fake_devmon_env.h"
#include "support/log_capture.h"

using activity_test::FakeClock;

namespace {

constexpr unsigned char kKeyTypes = 1u << EV_KEY;
constexpr unsigned char kRelTypes = 1u << EV_REL;
constexpr unsigned char kAbsTypes = 1u << EV_ABS;
constexpr unsigned char kSynTypes = 1u << EV_SYN;

input_event Key(uint16_t code, int32_t value = 1) { return InputEvent(EV_KEY, code, value); }
input_event Motion() { return InputEvent(EV_REL, REL_X, 3); }
input_event Absolute() { return InputEvent(EV_ABS, ABS_X, 100); }
input_event Sync() { return InputEvent(EV_SYN, SYN_REPORT, 0); }
input_event Misc() { return InputEvent(EV_MSC, MSC_SCAN, 30); }

class DevmonTest : public ::testing::Test {
protected:
    static void Record(unsigned int value, void* context) {
        static_cast<DevmonTest*>(context)->reports.push_back(value);
    }
    uint32_t Start(int monitorType = 3) { return devmon.Initialize(1, monitorType, Record, this); }
    // One turn of the monitor thread at the current time: read what is pending.
    void Turn() { EXPECT_EQ(KVO_OK, devmon.LoopEventOnce()); }
    void TearDown() override {
        devmon.Uninitialize();
        EXPECT_EQ(0, env.badCalls());
        EXPECT_TRUE(env.OpenFds().empty());
    }

    FakeClock clock;
    FakeDevmonEnv env;
    Devmon devmon{&env};
    std::vector<unsigned int> reports;
};

// One second of input and the report value that follows it.
struct ReportCase {
    const char* name;
    std::vector<input_event> first;   // read from event0
    std::vector<input_event> second;  // read from event1
    unsigned int want;
};

const ReportCase kReports[] = {
    {"press release sync", {Key(KEY_A, 1), Key(KEY_A, 0), Sync()}, {}, 1},
    {"auto-repeat", {Key(KEY_A, 2), Sync()}, {}, 1},
    {"motion", {}, {Motion(), Sync()}, 2},
    {"left button", {}, {Key(BTN_LEFT, 1), Sync()}, 2},
    {"absolute axis", {}, {Absolute(), Sync()}, 2},
    {"key code 256 is a keyboard key", {}, {Key(0x100), Sync()}, 1},
    {"key code 257 is a button", {Key(0x101), Sync()}, {}, 2},
    {"both kinds", {Key(KEY_ENTER), Sync()}, {Motion(), Sync()}, 3},
    {"quiet second", {}, {}, 0},
    {"sync and misc only", {Misc(), Sync()}, {Sync()}, 0},
};

TEST_F(DevmonTest, ReportCarriesTheKindsReadInThePreviousSecond) {
    env.AddDevice(0, kSynTypes | kKeyTypes);
    env.AddDevice(1, kSynTypes | kKeyTypes | kRelTypes);
    ASSERT_EQ(KVO_OK, Start());
    ASSERT_EQ(2, devmon.DeviceCount());
    int64_t second = 0;
    for (const ReportCase& c : kReports) {
        SCOPED_TRACE(c.name);
        reports.clear();
        env.Queue(0, c.first);
        env.Queue(1, c.second);
        clock.AdvanceTo(second + 500);
        Turn();
        second += 1000;
        clock.AdvanceTo(second);
        ASSERT_EQ(1u, reports.size());
        EXPECT_EQ(c.want, reports[0]);
    }
}

TEST_F(DevmonTest, ReportComesEverySecondAndStartsAfresh) {
    env.AddDevice(0, kKeyTypes);
    ASSERT_EQ(KVO_OK, Start());
    env.Queue(0, {Key(KEY_B), Sync()});
    Turn();
    clock.AdvanceTo(999);
    EXPECT_TRUE(reports.empty());
    clock.AdvanceTo(1000);
    EXPECT_EQ(std::vector<unsigned int>{1}, reports);
    clock.AdvanceTo(3000, 1000);
    EXPECT_EQ((std::vector<unsigned int>{1, 0, 0}), reports);
}

// ParseEvent on its own: what a batch counts and what it returns.
struct ParseCase {
    const char* name;
    int monitorType;
    std::vector<input_event> batch;
    uint32_t result;
    int count;            // events counted in the tally
    int kind;             // tally kind after the batch
    unsigned int report;  // the next report
};

const ParseCase kParses[] = {
    {"press release sync", 3, {Key(KEY_A, 1), Key(KEY_A, 0), Sync()}, KVO_OK, 2, 2, 1},
    {"kind is the last counted", 3, {Key(KEY_A), Motion(), Sync()}, KVO_OK, 2, 1, 3},
    {"sync only counts nothing", 3, {Sync(), Sync(), Sync()}, KVO_E_FAIL, 0, 0, 0},
    {"empty batch", 3, {}, KVO_E_FAIL, 0, 0, 0},
    {"keyboard off ends the batch", 1, {Motion(), Key(KEY_A), Motion()}, KVO_E_FAIL, 1, 1, 2},
    {"keyboard off, key first", 1, {Key(KEY_A), Motion(), Motion()}, KVO_E_FAIL, 0, 0, 0},
    {"mouse off ends the batch", 2, {Key(KEY_A), Key(BTN_LEFT), Key(KEY_B)}, KVO_E_FAIL, 1, 2, 1},
    {"mouse off, keys only", 2, {Key(KEY_A), Sync(), Key(KEY_A, 0)}, KVO_OK, 2, 2, 1},
};

TEST(DevmonParse, BatchIsClassifiedAndCounted) {
    for (const ParseCase& c : kParses) {
        SCOPED_TRACE(c.name);
        FakeDevmonEnv env;
        Devmon devmon(&env);
        std::vector<unsigned int> reports;
        auto record = [](unsigned int value, void* context) {
            static_cast<std::vector<unsigned int>*>(context)->push_back(value);
        };
        // Switched off: the kinds are bound, but no timer or device is touched.
        ASSERT_EQ(KVO_OK, devmon.Initialize(0, c.monitorType, record, &reports));
        std::vector<input_event> batch = c.batch;
        DevEvent tally = {};
        EXPECT_EQ(c.result,
                  devmon.ParseEvent(&tally, batch.data(), static_cast<int>(batch.size())));
        EXPECT_EQ(c.count, tally.count);
        EXPECT_EQ(c.kind, tally.kind);
        EXPECT_EQ(0, tally.reserved);
        devmon.NoticeVuriZedaCbImpl();
        EXPECT_EQ(std::vector<unsigned int>{c.report}, reports);
        EXPECT_EQ(0, env.stats());
    }
}

// Which nodes the scan opens.
struct ScanCase {
    const char* name;
    std::vector<std::pair<int, FakeDevmonEnv::Node>> nodes;
    uint32_t result;
    std::vector<int> opened;  // slots
    int closes;               // descriptors opened and given back at once
    int lastErrno;            // errno after a failed scan
};

FakeDevmonEnv::Node Dev(unsigned char types, mode_t mode = S_IFCHR | 0660, int openErrno = 0) {
    FakeDevmonEnv::Node node;
    node.typeBits = types;
    node.mode = mode;
    node.openErrno = openErrno;
    return node;
}

const ScanCase kScans[] = {
    {"keyboard and mouse", {{0, Dev(kKeyTypes)}, {1, Dev(kRelTypes)}}, KVO_OK, {0, 1}, 0, 0},
    {"gaps are skipped", {{2, Dev(kKeyTypes)}, {31, Dev(kRelTypes)}}, KVO_OK, {2, 31}, 0, 0},
    {"absolute axes only", {{0, Dev(kAbsTypes | kSynTypes)}}, KVO_E_FAIL, {}, 1, ENOENT},
    {"not a character device", {{0, Dev(kKeyTypes, S_IFREG | 0644)}}, KVO_E_FAIL, {}, 0, ENOENT},
    {"no permission, no other device",
     {{3, Dev(kKeyTypes, S_IFCHR | 0660, EACCES)}},
     KVO_E_FAIL,
     {},
     0,
     ENOENT},
    {"no permission, other device",
     {{3, Dev(kKeyTypes, S_IFCHR | 0660, EACCES)}, {4, Dev(kRelTypes)}},
     KVO_OK,
     {4},
     0,
     0},
    {"node gone between stat and open ends the scan",
     {{0, Dev(kKeyTypes, S_IFCHR | 0660, ENOENT)}, {1, Dev(kKeyTypes)}},
     KVO_E_FAIL,
     {},
     0,
     ENOENT},
    {"open failure other than ENOENT continues the scan",
     {{0, Dev(kKeyTypes)}, {1, Dev(kKeyTypes, S_IFCHR | 0660, EACCES)}, {2, Dev(kRelTypes)}},
     KVO_OK,
     {0, 2},
     0,
     0},
};

TEST(DevmonScan, OpensCharacterDevicesWithKeysOrRelativeAxes) {
    for (const ScanCase& c : kScans) {
        SCOPED_TRACE(c.name);
        FakeDevmonEnv env;
        for (const auto& node : c.nodes) env.AddNode(node.first, node.second);
        Devmon devmon(&env);
        errno = 0;
        EXPECT_EQ(c.result, devmon.LoadDevs());
        if (c.result != KVO_OK) {
            EXPECT_EQ(c.lastErrno, errno);
        }
        std::vector<int> opened;
        for (int slot = 0; slot < Devmon::MAX_DEVICES; ++slot) {
            if (devmon.DeviceFd(slot) != -1) {
                opened.push_back(slot);
                EXPECT_EQ(env.FdOf(slot), devmon.DeviceFd(slot));
            }
        }
        EXPECT_EQ(c.opened, opened);
        EXPECT_EQ(static_cast<int>(c.opened.size()), devmon.DeviceCount());
        EXPECT_EQ(c.closes, env.closes());
        devmon.UnloadDevs();
        EXPECT_TRUE(env.OpenFds().empty());
        EXPECT_EQ(0, devmon.DeviceCount());
        EXPECT_EQ(0, env.badCalls());
    }
}

TEST_F(DevmonTest, UnopenableNodeAloneFailsInitialize) {
    env.AddNode(3, Dev(kKeyTypes, S_IFCHR | 0660, EACCES));
    LogCapture log;
    EXPECT_EQ(KVO_E_FAIL, Start());
    EXPECT_EQ(1, log.Count("ERROR", "load input devices failed"));
    EXPECT_EQ(1, log.Count("DEBUG", "Devmon: No device loaded."));
    EXPECT_EQ(0, devmon.DeviceCount());
}

TEST_F(DevmonTest, BadParametersStoreNothing) {
    env.AddDevice(0, kKeyTypes);
    LogCapture log;
    EXPECT_EQ(KVO_E_FAIL, devmon.Initialize(1, 0, Record, this));
    EXPECT_EQ(KVO_E_FAIL, devmon.Initialize(1, 4, Record, this));
    EXPECT_EQ(KVO_E_FAIL, devmon.Initialize(1, 3, nullptr, this));
    EXPECT_EQ(3, log.Count("ERROR", "Param error with monitor type or callback."));
    // Nothing bound: the loop stays switched off and no device was looked at.
    Turn();
    EXPECT_EQ(0, env.stats());
    EXPECT_EQ(0, env.polls());
}

TEST_F(DevmonTest, SwitchOffStartsNothing) {
    env.AddDevice(0, kKeyTypes);
    env.Queue(0, {Key(KEY_A)});
    LogCapture log;
    EXPECT_EQ(KVO_OK, devmon.Initialize(0, 3, Record, this));
    EXPECT_EQ(1, log.Count("DEBUG", "user info behavior switch off"));
    Turn();
    Turn();
    EXPECT_EQ(2, log.Count("DEBUG", "user behavior switch off"));
    clock.AdvanceTo(130000, 1000);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(0, env.stats());
    EXPECT_EQ(0, env.polls());
    EXPECT_EQ(0, devmon.DeviceCount());
}

TEST_F(DevmonTest, OnlyReadyDevicesAreRead) {
    env.AddDevice(0, kKeyTypes);
    env.AddDevice(1, kRelTypes);
    ASSERT_EQ(KVO_OK, Start());
    Turn();  // nothing pending anywhere
    EXPECT_EQ(0, env.reads());
    env.Queue(1, {Motion()});
    Turn();
    EXPECT_EQ(1, env.reads());  // a read of the idle keyboard would block in production
    clock.AdvanceTo(1000);
    EXPECT_EQ(std::vector<unsigned int>{2}, reports);
}

TEST_F(DevmonTest, DescriptorsBeyondFdSetSizeAreWatched) {
    env.SetFirstFd(FD_SETSIZE + 100);
    env.AddDevice(0, kKeyTypes);
    ASSERT_EQ(KVO_OK, Start());
    ASSERT_GE(devmon.DeviceFd(0), FD_SETSIZE);
    env.Queue(0, {Key(KEY_Z), Sync()});
    Turn();
    clock.AdvanceTo(1000);
    EXPECT_EQ(std::vector<unsigned int>{1}, reports);
}

TEST_F(DevmonTest, FullReadIsCountedAndTheRestComesNextTurn) {
    env.AddDevice(0, kKeyTypes);
    ASSERT_EQ(KVO_OK, Start());
    const size_t perRead = Devmon::READ_BYTES / sizeof(input_event);  // 16 on 32-bit, 10 on 64
    std::vector<input_event> keys(perRead + 2, Key(KEY_A));
    env.Queue(0, keys);
    LogCapture log;
    Turn();
    EXPECT_EQ(1, log.Count("DEBUG", "deal fd index = 0 event cnt: " + std::to_string(perRead)));
    Turn();
    EXPECT_EQ(1, log.Count("DEBUG", "deal fd index = 0 event cnt: 2"));
    EXPECT_EQ(1, log.Count("DEBUG", "Input keyboard event total: 2, " +
                                        std::to_string(perRead + 2) + "-th event"));
    EXPECT_EQ(2, log.Count("DEBUG", "parse input event result: 0"));
}

TEST_F(DevmonTest, FailedPollIsReportedUnlessInterrupted) {
    env.AddDevice(0, kKeyTypes);
    ASSERT_EQ(KVO_OK, Start());
    env.Queue(0, {Key(KEY_A)});
    env.FailNextPoll(EINTR);
    EXPECT_EQ(KVO_OK, devmon.LoopEventOnce());
    env.FailNextPoll(ENOMEM);
    EXPECT_EQ(KVO_E_FAIL, devmon.LoopEventOnce());
    EXPECT_EQ(0, env.reads());
    Turn();  // the next turn polls again and reads
    EXPECT_EQ(1, env.reads());
}

TEST_F(DevmonTest, UnpluggedDeviceIsClosedByTheRescanOnceItsNodeIsGone) {
    env.AddDevice(0, kKeyTypes);
    env.AddDevice(1, kRelTypes);
    ASSERT_EQ(KVO_OK, Start());
    int mouse = devmon.DeviceFd(1);
    env.Unplug(0);
    env.Queue(1, {Motion()});
    LogCapture log;
    Turn();
    EXPECT_EQ(1, log.Count("WARN", "read fd failed with error = " + std::to_string(ENODEV)));
    EXPECT_EQ(-1, devmon.DeviceFd(0));
    EXPECT_EQ(mouse, devmon.DeviceFd(1));
    EXPECT_EQ(1, devmon.DeviceCount());
    EXPECT_EQ(1, env.closes());
    clock.AdvanceTo(1000);
    EXPECT_EQ(std::vector<unsigned int>{2}, reports);  // the mouse was still read
}

TEST_F(DevmonTest, RescanTimerOpensDevicesPluggedInLater) {
    env.AddDevice(0, kKeyTypes);
    ASSERT_EQ(KVO_OK, Start());
    env.AddDevice(7, kRelTypes);
    clock.AdvanceTo(119000, 1000);
    EXPECT_EQ(-1, devmon.DeviceFd(7));
    clock.AdvanceTo(120000, 1000);
    EXPECT_NE(-1, devmon.DeviceFd(7));
    EXPECT_EQ(2, devmon.DeviceCount());
}

TEST_F(DevmonTest, UninitializeClosesDevicesAndStopsReports) {
    env.AddDevice(0, kKeyTypes);
    env.AddDevice(1, kRelTypes);
    ASSERT_EQ(KVO_OK, Start());
    clock.AdvanceTo(1000);
    ASSERT_EQ(1u, reports.size());
    LogCapture log;
    devmon.Uninitialize();
    EXPECT_EQ(1, log.Count("DEBUG", "DevMon: unload input device finished."));
    EXPECT_EQ(2, env.closes());
    EXPECT_EQ(0, devmon.DeviceCount());
    env.AddDevice(2, kKeyTypes);
    clock.AdvanceTo(250000, 1000);
    EXPECT_EQ(1u, reports.size());
    EXPECT_EQ(-1, devmon.DeviceFd(2));
}

}  // namespace
