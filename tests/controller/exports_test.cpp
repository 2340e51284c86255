// The host functions as a host calls them, on the process-wide controller and the
// real scheduler: results and log lines before and after init and the switches.
// Each test runs in a process of its own, so each starts with a fresh singleton.
#include <gtest/gtest.h>
#include <math.h>

#include <functional>
#include <string>

#include "kvo_vurizeda.h"
#include "platform/kvo_base.h"
#include "scheduler/cpuschedule.h"
#include "support/log_capture.h"

namespace {

// The limit of tid's control object (reset to the limit when it is set), or NaN.
float ControlLimit(unsigned int tid) {
    ICtrlObject* object =
        CpuSchedule::GetInstance()->AcquireObject(CpuSchedule::CTRL_OBJECT_THREAD, tid);
    if (object == nullptr) return NAN;
    const float limit = object->GetCurrentCpu();
    object->Release();
    return limit;
}
bool HasControlObject(unsigned int tid) { return !std::isnan(ControlLimit(tid)); }

class ExportsTest : public ::testing::Test {
protected:
    std::string Config(const std::string& extra = "") {
        return m_dir.Write("kvo.ini",
                           "[td_cpu]\nsys_max = 30\n[adapt_cpu]\nsys_max = 30\n"
                           "[user_behavior]\nbehavior_switch = 0\n" +
                               extra);
    }
    void TearDown() override { kvo_perfctrl_uninit(); }

    TempDir m_dir;
    ScopedEnv m_noSampler{"KVO_COMM_SAMPLER", "0"};
    const unsigned int m_tid = kvo_gettid();
    const std::string m_id = std::to_string(m_tid);
};

TEST_F(ExportsTest, CpuSwitchGatesTheAutomaticFunctions) {
    const struct {
        std::function<unsigned int()> call;
        const char* warn;  // when automatic limiting is off
        const char* info;  // when it is on
    } cases[] = {
        {[] { return kvo_add_cpu_vurizeda(kvo_gettid()); }, "current not init cpu limit", nullptr},
        {[] { return kvo_set_cpu_vurizeda_upper(40.0f); }, "current not enable cpu limit",
         "set cpu auto perf upper limit 40.00"},
        {[] { return kvo_set_cpu_vurizeda_lower(7.5f); }, "current not enable cpu limit",
         "set cpu auto perf lower limit 7.50"},
    };
    for (int on = 0; on < 2; ++on) {
        if (on) {
            ASSERT_EQ(kvo_enable_vurizeda(2, 1), KVO_OK);
        }
        for (const auto& c : cases) {
            LogCapture log;
            EXPECT_EQ(c.call(), on ? KVO_OK : KVO_E_DISABLED) << c.warn;
            EXPECT_EQ(log.Has("WARN", c.warn), !on) << c.warn;
            EXPECT_TRUE(!on || !c.info || log.Has("INFO", c.info)) << c.info;
        }
    }
    EXPECT_TRUE(HasControlObject(m_tid));
    LogCapture log;  // switching off releases the monitored threads and closes the gate
    EXPECT_EQ(kvo_enable_vurizeda(3, 0), KVO_OK);
    EXPECT_TRUE(log.Has("INFO", "tpye 3 auto perf switch to 0"));
    EXPECT_FALSE(HasControlObject(m_tid));
    EXPECT_EQ(kvo_add_cpu_vurizeda(m_tid), KVO_E_DISABLED);
    EXPECT_EQ(kvo_enable_vurizeda(0, 1), KVO_OK);  // an empty mask only logs
    EXPECT_TRUE(log.Has("INFO", "tpye 0 auto perf switch to 1"));
    EXPECT_EQ(kvo_add_cpu_vurizeda(m_tid), KVO_E_DISABLED);
}

TEST_F(ExportsTest, InitLifecycleResultsAndLines) {
    LogCapture log;
    EXPECT_EQ(kvo_perfctrl_init(nullptr), KVO_E_INVALID_PARAM);
    EXPECT_TRUE(log.Has("WARN", "initialize perfctrl invalid param"));
    EXPECT_EQ(kvo_query_vurizeda_cpucnt(), 0u);
    ASSERT_EQ(kvo_perfctrl_init(Config().c_str()), KVO_OK);
    EXPECT_TRUE(log.Has("INFO", "perfctrl init success"));
    EXPECT_GT(kvo_query_vurizeda_cpucnt(), 0u);
    log.Clear();  // a second init is ignored, silently, whatever the path
    EXPECT_EQ(kvo_perfctrl_init("/nonexistent/other.ini"), KVO_OK);
    EXPECT_TRUE(log.Lines().empty());
    kvo_enable_vurizeda(2, 1);
    kvo_perfctrl_uninit();
    EXPECT_TRUE(log.Has("INFO", "perfctrl uninit success"));
    EXPECT_EQ(kvo_query_vurizeda_cpucnt(), 0u);
    EXPECT_EQ(kvo_add_cpu_vurizeda(m_tid), KVO_E_DISABLED);  // uninit switched it off
    log.Clear();                                             // a second uninit does nothing at all
    kvo_perfctrl_uninit();
    EXPECT_TRUE(log.Lines().empty());
    const std::string path = m_dir.Path() + "/missing.ini";  // runs on the defaults
    EXPECT_EQ(kvo_perfctrl_init(path.c_str()), KVO_OK);
    EXPECT_TRUE(log.Has("WARN", "load " + path + " with error(2), use default configs now"));
    EXPECT_TRUE(log.Has("INFO", "perfctrl init success"));
}

TEST_F(ExportsTest, IoIsAlwaysRefused) {
    LogCapture log;
    EXPECT_EQ(kvo_enable_vurizeda(1, 1), KVO_OK);
    EXPECT_EQ(kvo_set_io_vurizeda_upper(1, 1), KVO_E_DISABLED);
    EXPECT_EQ(kvo_set_io_vurizeda_lower(1, 1), KVO_E_DISABLED);
    EXPECT_EQ(log.Count("WARN", "current not enable io"), 2);
    kvo_add_io_exclusions_handle(nullptr);
    kvo_del_io_exclusions_handle(nullptr);
    EXPECT_EQ(log.Lines().size(), 3u);  // the enable line and the two refusals
}

TEST_F(ExportsTest, GroupsComeFromTheFileAndRejectBadArguments) {
    LogCapture log;  // before init there is no group at all
    EXPECT_EQ(kvo_add_cpu_group("scan", m_tid), KVO_E_NO_GROUP);
    EXPECT_TRUE(log.Has("INFO", "add cpu group(scan) thread id(" + m_id + ") cpu limit"));
    ASSERT_EQ(kvo_perfctrl_init(Config("[cpu_group]\nscan = 20;60\n").c_str()), KVO_OK);
    log.Clear();
    EXPECT_EQ(kvo_add_cpu_group("g", 0), KVO_E_INVALID_PARAM);
    EXPECT_EQ(kvo_add_cpu_group(nullptr, m_tid), KVO_E_INVALID_PARAM);
    EXPECT_EQ(kvo_del_cpu_group(nullptr, m_tid), KVO_E_INVALID_PARAM);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(kvo_add_cpu_group("nosuch", m_tid), KVO_E_NO_GROUP);
    EXPECT_EQ(kvo_add_cpu_group("scan", m_tid), KVO_OK);  // no CPU switch needed
    EXPECT_FLOAT_EQ(ControlLimit(m_tid), 20.0f);
    EXPECT_EQ(kvo_del_cpu_group("scan", m_tid), KVO_OK);
    EXPECT_FALSE(HasControlObject(m_tid));
    kvo_perfctrl_uninit();  // the groups survive uninit
    EXPECT_EQ(kvo_add_cpu_group("scan", m_tid), KVO_OK);
    EXPECT_TRUE(HasControlObject(m_tid));
    kvo_del_cpu_group("scan", m_tid);
}

TEST_F(ExportsTest, FixedLimitsNeedOnlyTheSchedulerAndDelMonitoredAlwaysRuns) {
    ASSERT_EQ(RegisterCpuCtrl(), 1);
    LogCapture log(2);  // up to INFO
    EXPECT_EQ(kvo_add_thread_cpu_limit(m_tid, 150.0f), KVO_E_FAIL);
    EXPECT_TRUE(log.Has("WARN", "add thread id " + m_id + " to cpu limit failed"));
    EXPECT_EQ(kvo_add_thread_cpu_limit(m_tid, 40.0f), KVO_OK);
    EXPECT_TRUE(log.Has("INFO", "add thread id " + m_id + " to cpu limit"));
    EXPECT_FLOAT_EQ(ControlLimit(m_tid), 40.0f);
    EXPECT_EQ(kvo_add_thread_cpu_limit(m_tid, NAN), KVO_E_FAIL);  // a refused change ends it
    EXPECT_FALSE(HasControlObject(m_tid));
    log.Clear();
    kvo_del_thread_cpu_limit(m_tid);
    kvo_resume_update_thread(m_tid);
    kvo_del_cpu_vurizeda(0);  // whatever the switch
    EXPECT_EQ(log.LevelMessages(),
              (std::vector<std::string>{"INFO del thread id " + m_id + " to cpu limit",
                                        "INFO resume and update thread id " + m_id + " real state",
                                        "INFO del thread id 0 to cpu auto perf"}));
    UnRegisterCpuCtrl();
}

}  // namespace
