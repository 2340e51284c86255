// The controller on its own instance with a recording scheduler: life cycle,
// the road of a collector sample, and the reaction to the user's activity.
#include "controller/vurizeda.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "commaddr.h"
#include "sampler.h"
#include "support/fake_cpu_ctrl.h"
#include "support/log_capture.h"
#include "support/watchdog.h"

namespace {

// One sample, a system and a process message with the same time, sent to this
// process's receiver as a collector service would.
void SendSample(int second, float sys, float proc) {
    const std::string time = "2021/3/4 10:20:" + std::to_string(second);
    const std::string path = CommReceiverPathOf(geteuid(), getpid(), kCommLibraryReceiver);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    for (const std::string& text :
         {BuildSystemMessage(time, sys), BuildProcessMessage(time, proc, 0, 0)})
        EXPECT_EQ(CommSendTo(fd, path, text.data(), text.size(), 0), 0);
    close(fd);
}

const char* const kConfig =
    "[adapt_cpu]\nsys_max = 30\nsys_max_unused = 80\nadjust_cycle = 3\n"
    "[td_cpu]\nsys_max = 30\nsys_max_unused = 80\nadjust_cycle = 3\n"
    "[user_behavior]\nbehavior_switch = 0\nallow_time = 60\n"
    "[cpu_group]\nscan = 20;60\n";

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override { c.SetConfPath(m_dir.Write("kvo.ini", kConfig).c_str()); }
    // The ceiling in force: a limit of 100 is bounded by it (proc_min is lower).
    float Ceiling() {
        c.SetCurrentCpuLimit(100);
        return c.GetCurrentCpuLimit();
    }

    TempDir m_dir;
    ScopedEnv m_noSampler{"KVO_COMM_SAMPLER", "0"};
    FakeCpuCtrl m_ctrl{2};
    CVuriZeda c{&m_ctrl};
};

TEST_F(ControllerTest, StartWithoutReadyRollsBackThenAStartBindsTheFileAndUninitJoins) {
    RunWithWatchdog(30, "init/uninit", [&] {
        LogCapture log;
        c.Hooks()->skip_ready = 1;  // the ready event never comes
        c.Hooks()->ready_timeout_ms = 200;
        c.EnableCpu(1);
        c.AddMonitorThread(55);
        EXPECT_EQ(c.Initialize(), KVO_E_TIMEOUT);
        EXPECT_EQ(c.GetEnableCpu(), 0);            // rollback switched it off
        EXPECT_EQ(m_ctrl.Limits().count(55), 0u);  // and released the threads
        EXPECT_TRUE(log.Has("WARN", "wait ready event failed with err 0x84ce000d"));
        EXPECT_EQ(c.MonitorThread(), (pthread_t)0);  // the thread was joined
        c.Hooks()->skip_ready = 0;
        c.Hooks()->ready_timeout_ms = 10000;
        ASSERT_EQ(c.Initialize(), KVO_OK);
        EXPECT_NE(c.MonitorThread(), (pthread_t)0);
        EXPECT_FLOAT_EQ(Ceiling(), 30.0f);  // sys_max of the file
        c.UnInitialize();
        EXPECT_EQ(c.MonitorThread(), (pthread_t)0);  // joined
    });
}

TEST_F(ControllerTest, SamplesThroughTheCommLibraryMoveTheMonitoredShare) {
    RunWithWatchdog(60, "sample road", [&] {
        LogCapture log;
        ASSERT_EQ(c.Initialize(), KVO_OK);
        c.EnableCpu(1);
        c.AddMonitorThread(4242);
        _SysInfo sys{};  // a record missing: ignored
        _ProcInfo proc{};
        CVuriZeda::OnReciveDataCb(nullptr, &proc, &c);
        CVuriZeda::OnReciveDataCb(&sys, nullptr, &c);
        CVuriZeda::OnReciveDataCb(&sys, &proc, nullptr);
        // Limit 50 bounded by the ceiling 30, on 2 processors, for one thread.
        EXPECT_FLOAT_EQ(m_ctrl.Limits()[4242], 60.0f);
        // W = 3: samples 1-3 form the baseline, sample 4 decides over 2-4:
        // average system 40 over a ceiling of 30, process 15: 15 - 10 = 5.
        for (int i = 0; i < 4; ++i) SendSample(i, 40, 15);
        for (int waited = 0; waited < 5000 && m_ctrl.Limits()[4242] != 10.0f; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FLOAT_EQ(m_ctrl.Limits()[4242], 10.0f);
        EXPECT_TRUE(log.Has("DEBUG", "sys cpu:40.00, proc cpu:15.00\r"));
        EXPECT_FLOAT_EQ(c.GetCurrentCpuLimit(), 5.0f);
        // Switched off: the thread is released and samples are dropped.
        c.EnableCpu(0);
        EXPECT_EQ(m_ctrl.Limits().count(4242), 0u);
        m_ctrl.ClearCalls();
        for (int i = 10; i < 18; ++i) SendSample(i, 10, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_TRUE(m_ctrl.Adds().empty());
        EXPECT_FLOAT_EQ(c.GetCurrentCpuLimit(), 5.0f);
        c.UnInitialize();
    });
}

TEST_F(ControllerTest, ActivityChangesMoveGroupsThenCeilingOnceEach) {
    LogCapture log(2);
    ASSERT_EQ(c.Initialize(), KVO_OK);
    ASSERT_EQ(c.AddGroupThread("scan", 7), KVO_OK);
    ASSERT_EQ(c.AddGroupThread("scan", 8), KVO_OK);
    CVuriZeda::OnStatusChangeCb(MSG_STATUS_NOT_USING, &c);
    EXPECT_FLOAT_EQ(m_ctrl.Limits()[7], 30.0f);  // 60 shared by two
    EXPECT_FLOAT_EQ(Ceiling(), 80.0f);           // sys_max_unused
    EXPECT_TRUE(log.Has("INFO", "current not using will set high"));
    m_ctrl.ClearCalls();
    CVuriZeda::OnStatusChangeCb(MSG_STATUS_NOT_USING, &c);
    EXPECT_TRUE(m_ctrl.Adds().empty());  // groups already there: nothing pushed
    c.SetCurrentAutoSysMaxCpu(55);       // a host's ceiling holds until the next change
    CVuriZeda::OnStatusChangeCb(MSG_STATUS_USING, &c);
    EXPECT_FLOAT_EQ(m_ctrl.Limits()[8], 10.0f);
    EXPECT_FLOAT_EQ(Ceiling(), 30.0f);
    EXPECT_TRUE(log.Has("INFO", "current is using will set low"));
    CVuriZeda::OnStatusChangeCb((_MSG_STATUS)2, &c);  // changes nothing
    EXPECT_TRUE(log.Has("WARN", "msg status error"));
    EXPECT_FLOAT_EQ(Ceiling(), 30.0f);
    c.UnInitialize();
}

TEST(ControllerQueryCpuCount, IsOneMoreThanTheIdleCeilingInProcessorsAtMostAll) {
    // clang-format off
    const struct { unsigned int n; float unused; unsigned int want; } cases[] = {
        {4, 30, 3}, {8, 30, 4}, {4, 50, 3}, {4, 100, 4},
        {4, 0, 1},  {1, 30, 1}, {0, 30, 0}, {3, 34, 3}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(QueryCpuCount(c.n, c.unused), c.want) << c.n << " x " << c.unused;
}

}  // namespace
