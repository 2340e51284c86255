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

bool HasControlObject(unsigned int tid) {
    ICtrlObject* object =
        CpuSchedule::GetInstance()->AcquireObject(CpuSchedule::CTRL_OBJECT_THREAD, tid);
    if (object == nullptr) return false;
    object->Release();
    return true;
}

float ControlLimit(unsigned int tid) {
    ICtrlObject* object =
        CpuSchedule::GetInstance()->AcquireObject(CpuSchedule::CTRL_OBJECT_THREAD, tid);
    if (object == nullptr) return NAN;
    float limit = object->GetCurrentCpu();  // reset to the limit when it is set
    object->Release();
    return limit;
}

class ExportsTest : public ::testing::Test {
protected:
    std::string Config(const std::string& extra = "") {
        return m_dir.Write("kvo.ini",
                           "[td_cpu]\nsys_max = 30\n[adapt_cpu]\nsys_max = 30\n"
                           "[user_behavior]\nbehavior_switch = 0\n" + extra);
    }
    void TearDown() override { kvo_perfctrl_uninit(); }

    TempDir m_dir;
    ScopedEnv m_noSampler{"KVO_COMM_SAMPLER", "0"};
    unsigned int m_tid = kvo_gettid();
};

struct SwitchCase {
    const char* name;
    std::function<unsigned int()> call;
    const char* warn;  // when automatic limiting is off
    const char* info;  // when it is on
};

const SwitchCase kSwitchCases[] = {
    {"add monitored", [] { return kvo_add_cpu_vurizeda(kvo_gettid()); },
     "current not init cpu limit", nullptr},
    {"upper", [] { return kvo_set_cpu_vurizeda_upper(40.0f); }, "current not enable cpu limit",
     "set cpu auto perf upper limit 40.00"},
    {"lower", [] { return kvo_set_cpu_vurizeda_lower(7.5f); }, "current not enable cpu limit",
     "set cpu auto perf lower limit 7.50"},
};

TEST_F(ExportsTest, CpuSwitchGatesTheAutomaticFunctions) {
    for (const SwitchCase& c : kSwitchCases) {
        LogCapture log;
        EXPECT_EQ(c.call(), KVO_E_DISABLED) << c.name;
        EXPECT_TRUE(log.Has("WARN", c.warn)) << c.name;
    }
    ASSERT_EQ(kvo_enable_vurizeda(2, 1), KVO_OK);
    for (const SwitchCase& c : kSwitchCases) {
        LogCapture log;
        EXPECT_EQ(c.call(), KVO_OK) << c.name;
        if (c.info != nullptr) {
            EXPECT_TRUE(log.Has("INFO", c.info)) << c.name;
        }
        EXPECT_TRUE(log.Messages("WARN").empty()) << c.name;
    }
    EXPECT_TRUE(HasControlObject(m_tid));
    // Switching off releases the monitored threads and closes the gate again.
    LogCapture log;
    EXPECT_EQ(kvo_enable_vurizeda(3, 0), KVO_OK);
    EXPECT_TRUE(log.Has("INFO", "tpye 3 auto perf switch to 0"));
    EXPECT_FALSE(HasControlObject(m_tid));
    EXPECT_EQ(kvo_add_cpu_vurizeda(m_tid), KVO_E_DISABLED);
}

TEST_F(ExportsTest, InitLifecycleResultsAndLines) {
    {
        LogCapture log;
        EXPECT_EQ(kvo_perfctrl_init(nullptr), KVO_E_INVALID_PARAM);
        EXPECT_TRUE(log.Has("WARN", "initialize perfctrl invalid param"));
    }
    EXPECT_EQ(kvo_query_vurizeda_cpucnt(), 0u);
    {
        LogCapture log;
        ASSERT_EQ(kvo_perfctrl_init(Config().c_str()), KVO_OK);
        EXPECT_TRUE(log.Has("INFO", "perfctrl init success"));
    }
    EXPECT_GT(kvo_query_vurizeda_cpucnt(), 0u);
    {
        LogCapture log;  // a second init is ignored, silently, whatever the path
        EXPECT_EQ(kvo_perfctrl_init("/nonexistent/other.ini"), KVO_OK);
        EXPECT_TRUE(log.Lines().empty());
    }
    kvo_enable_vurizeda(2, 1);
    {
        LogCapture log;
        kvo_perfctrl_uninit();
        EXPECT_TRUE(log.Has("INFO", "perfctrl uninit success"));
    }
    EXPECT_EQ(kvo_query_vurizeda_cpucnt(), 0u);
    EXPECT_EQ(kvo_add_cpu_vurizeda(m_tid), KVO_E_DISABLED);  // uninit switched it off
    {
        LogCapture log;  // a second uninit does nothing at all
        kvo_perfctrl_uninit();
        EXPECT_TRUE(log.Lines().empty());
    }
}

TEST_F(ExportsTest, UnreadableConfigurationRunsOnTheDefaults) {
    LogCapture log;
    const std::string path = m_dir.Path() + "/missing.ini";
    EXPECT_EQ(kvo_perfctrl_init(path.c_str()), KVO_OK);
    EXPECT_TRUE(log.Has("WARN", "load " + path + " with error(2), use default configs now"));
    EXPECT_TRUE(log.Has("INFO", "perfctrl init success"));
}

TEST_F(ExportsTest, IoIsAlwaysRefused) {
    LogCapture log;
    EXPECT_EQ(kvo_enable_vurizeda(1, 1), KVO_OK);
    EXPECT_EQ(kvo_set_io_vurizeda_upper(1, 1), KVO_E_DISABLED);
    EXPECT_EQ(kvo_set_io_vurizeda_lower(1, 1), KVO_E_DISABLED);
    EXPECT_EQ(log.Messages("WARN").size(), 2u);
    EXPECT_TRUE(log.Has("WARN", "current not enable io"));
    kvo_add_io_exclusions_handle(nullptr);
    kvo_del_io_exclusions_handle(nullptr);
    EXPECT_EQ(log.Lines().size(), 3u);  // the enable line and the two refusals
}

TEST_F(ExportsTest, EnableWithAnEmptyMaskOnlyLogs) {
    LogCapture log;
    EXPECT_EQ(kvo_enable_vurizeda(0, 1), KVO_OK);
    EXPECT_TRUE(log.Has("INFO", "tpye 0 auto perf switch to 1"));
    EXPECT_EQ(kvo_add_cpu_vurizeda(m_tid), KVO_E_DISABLED);
}

TEST_F(ExportsTest, GroupsComeFromTheFileAndRejectBadArguments) {
    {
        LogCapture log;  // before init there is no group at all
        EXPECT_EQ(kvo_add_cpu_group("scan", m_tid), KVO_E_NO_GROUP);
        EXPECT_TRUE(log.Has("INFO", "add cpu group(scan) thread id(" + std::to_string(m_tid) +
                                        ") cpu limit"));
    }
    ASSERT_EQ(kvo_perfctrl_init(Config("[cpu_group]\nscan = 20;60\n").c_str()), KVO_OK);
    {
        LogCapture log;
        EXPECT_EQ(kvo_add_cpu_group("g", 0), KVO_E_INVALID_PARAM);
        EXPECT_EQ(kvo_add_cpu_group(nullptr, m_tid), KVO_E_INVALID_PARAM);
        EXPECT_EQ(kvo_del_cpu_group(nullptr, m_tid), KVO_E_INVALID_PARAM);
        EXPECT_TRUE(log.Lines().empty());
        EXPECT_EQ(kvo_add_cpu_group("nosuch", m_tid), KVO_E_NO_GROUP);
    }
    EXPECT_EQ(kvo_add_cpu_group("scan", m_tid), KVO_OK);  // no CPU switch needed
    EXPECT_FLOAT_EQ(ControlLimit(m_tid), 20.0f);
    EXPECT_EQ(kvo_del_cpu_group("scan", m_tid), KVO_OK);
    EXPECT_FALSE(HasControlObject(m_tid));
    // The groups survive uninit.
    kvo_perfctrl_uninit();
    EXPECT_EQ(kvo_add_cpu_group("scan", m_tid), KVO_OK);
    EXPECT_TRUE(HasControlObject(m_tid));
    kvo_del_cpu_group("scan", m_tid);
}

TEST_F(ExportsTest, FixedLimitsNeedOnlyTheScheduler) {
    ASSERT_EQ(RegisterCpuCtrl(), 1);
    {
        LogCapture log;
        EXPECT_EQ(kvo_add_thread_cpu_limit(m_tid, 150.0f), KVO_E_FAIL);
        EXPECT_TRUE(log.Has("WARN", "add thread id " + std::to_string(m_tid) +
                                        " to cpu limit failed"));
    }
    {
        LogCapture log;
        EXPECT_EQ(kvo_add_thread_cpu_limit(m_tid, 40.0f), KVO_OK);
        EXPECT_TRUE(log.Has("INFO", "add thread id " + std::to_string(m_tid) + " to cpu limit"));
        EXPECT_FLOAT_EQ(ControlLimit(m_tid), 40.0f);
    }
    {
        LogCapture log;  // a refused change ends the limit
        EXPECT_EQ(kvo_add_thread_cpu_limit(m_tid, NAN), KVO_E_FAIL);
        EXPECT_FALSE(HasControlObject(m_tid));
    }
    {
        LogCapture log;
        kvo_del_thread_cpu_limit(m_tid);
        kvo_resume_update_thread(m_tid);
        EXPECT_TRUE(log.Has("INFO", "del thread id " + std::to_string(m_tid) + " to cpu limit"));
        EXPECT_TRUE(log.Has("INFO", "resume and update thread id " + std::to_string(m_tid) +
                                        " real state"));
        EXPECT_EQ(log.Lines().size(), 2u);
    }
    UnRegisterCpuCtrl();
}

TEST_F(ExportsTest, DelMonitoredRunsWhateverTheSwitch) {
    LogCapture log;
    kvo_del_cpu_vurizeda(0);
    kvo_del_cpu_vurizeda(m_tid);
    EXPECT_EQ(log.Messages("INFO").size(), 2u);
    EXPECT_TRUE(log.Has("INFO", "del thread id 0 to cpu auto perf"));
}

}  // namespace
