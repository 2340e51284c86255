// The host functions as a host calls them, on the process-wide controller and the
// real scheduler: results and log lines before and after init and the switches,
// and limits by thread name from the installation's file.
// The controller is a singleton that lives until the process ends: a test takes
// back what it registers, and counts registrations from where it began.
#include <gtest/gtest.h>
#include <math.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>

#include "kvo_vurizeda.h"
#include "platform/kvo_base.h"
#include "scheduler/cpuschedule.h"
#include "scheduler/threadctrlobject.h"
#include "support/log_capture.h"

namespace {

// The limit of tid's control object, or -1 when it has none.
float LimitOf(unsigned int tid) {
    ICtrlObject* object =
        CpuSchedule::GetInstance()->AcquireObject(CpuSchedule::CTRL_OBJECT_THREAD, tid);
    const float limit = object ? static_cast<CThreadCtrlObject*>(object)->Limit() : -1.0f;
    if (object != nullptr) object->Release();
    return limit;
}
bool HasControlObject(unsigned int tid) { return LimitOf(tid) >= 0; }

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
    EXPECT_FLOAT_EQ(LimitOf(m_tid), 20.0f);
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
    EXPECT_FLOAT_EQ(LimitOf(m_tid), 40.0f);
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

// An installation in a scratch directory: "@" is <dir>/lib, the file <dir>/config/.
class ThreadLimitTest : public ::testing::Test {
protected:
    ThreadLimitTest() {
        std::filesystem::create_directories(m_dir.File("lib"));
        std::filesystem::create_directories(m_dir.File("config"));
    }

    // Once the directories exist: the first use of the scheduler reads the base.
    void SetUp() override { m_found = CpuSchedule::GetInstance()->InitCount(); }
    void TearDown() override { EXPECT_EQ(Registrations(), 0) << "a registration leaked out"; }

    void WriteLimits(const std::string& entries) {
        WriteFile(m_ini, "[env]\ncpu_cnt = 2\n[thread_cpulimit]\n" + entries);
    }

    // The registrations this test made. Once any test has called a host function
    // the controller singleton holds one of its own until the process ends, so
    // this counts from where the test began, not from zero.
    int Registrations() const { return CpuSchedule::GetInstance()->InitCount() - m_found; }

    // kvo_thread_cpu_limit_from_config on a thread of its own, so the test's main
    // thread is never limited: the result, the thread id and its limit right after.
    static std::tuple<unsigned int, uint32_t, float> CallFromThread(const char* name) {
        std::tuple<unsigned int, uint32_t, float> call;
        std::thread([&] {
            const unsigned int result = kvo_thread_cpu_limit_from_config(name);
            call = {result, kvo_gettid(), LimitOf(kvo_gettid())};
        }).join();
        return call;
    }

    TempDir m_dir;
    ScopedEnv m_base{"KVO_BASE_DIR", m_dir.File("lib").c_str()};
    const std::string m_ini = m_dir.File("lib") + "/../config/kvo_vurizeda.ini";
    LogCapture m_log{2};  // up to INFO: the debug trail is not under test
    int m_found = 0;      // registrations held when the test began
};

TEST_F(ThreadLimitTest, PercentIsTheConfiguredIntegerReadAnewOnEveryCall) {
    const std::string fail = std::to_string(static_cast<int>(KVO_E_FAIL));
    // clang-format off
    const std::pair<const char*, std::string> cases[] = {  // [thread_cpulimit] entries
        {"20", "kvo-worker = 20\n"}, {"0", "kvo-worker = 0\n"}, {"150", "kvo-worker = 150\n"},
        {"-3", "kvo-worker = -3\n"}, {"0", "kvo-worker = abc\n"}, {"7", "kvo-worker = 7.9\n"},
        {fail.c_str(), "other = 5\n"}, {fail.c_str(), "KVO-WORKER = 40\n"}};  // names are case-sensitive
    // clang-format on
    for (const auto& [want, entries] : cases) {
        WriteFile(m_ini, "[env]\nkvo-worker = 30\n[thread_cpulimit]\n" + entries);
        EXPECT_EQ(kvo_get_thread_cpulimit_percent("kvo-worker"), std::stoi(want)) << entries;
    }
    EXPECT_EQ(kvo_get_thread_cpulimit_percent(nullptr), static_cast<int>(KVO_E_FAIL));
    EXPECT_TRUE(m_log.Lines().empty());
    EXPECT_EQ(Registrations(), 0);
}

// Each call from a thread: its result, its limit, the lines and the registrations
// it leaves; "%" in a line stands for the calling thread's id.
TEST_F(ThreadLimitTest, FromConfigLimitsTheCallerOrSaysWhy) {
    const std::string error = "ERROR get thread cpulimit percent failed, threadName: ";
    const std::string refused = "WARN thread ctrl failed, threadId: %";
    // The file is "@/../config/kvo_vurizeda.ini" with "@" the library's directory.
    const std::string warn = "WARN Failed to load setting config: " + m_ini;
    const struct {
        const char* entries;  // null: no file
        const char* name;
        unsigned int want;
        float limit;
        std::vector<std::string> log;
        int registrations;
    } cases[] = {
        {"kvo-worker = 20\n", "nobody", KVO_E_FAIL, -1, {error + "nobody"}, 0},
        {"kvo-worker = 20\n", nullptr, KVO_E_FAIL, -1, {error + "(null)"}, 0},
        {"kvo-worker = 0\n", "kvo-worker", KVO_E_FAIL, -1, {refused}, 1},
        {"kvo-worker = 150\n", "kvo-worker", KVO_E_FAIL, -1, {refused}, 1},
        {"kvo-worker = -1\n", "kvo-worker", KVO_E_FAIL, -1, {refused}, 1},
        {"kvo-worker = 20\n", "kvo-worker", KVO_OK, 20, {}, 1},
        {nullptr, "kvo-worker", KVO_E_FAIL, -1, {warn, error + "kvo-worker"}, 0},
    };
    for (const auto& c : cases) {
        const std::string what =
            std::string(c.entries ? c.entries : "(no file) ") + (c.name ? c.name : "null");
        if (c.entries)
            WriteLimits(c.entries);
        else
            std::filesystem::remove(m_ini);
        m_log.Clear();
        const auto [result, tid, limit] = CallFromThread(c.name);
        EXPECT_EQ(result, c.want) << what;
        EXPECT_EQ(limit, c.limit) << what;
        std::vector<std::string> log = c.log;
        for (std::string& line : log) {
            if (line.back() == '%') line.replace(line.size() - 1, 1, std::to_string(tid));
        }
        EXPECT_EQ(m_log.LevelMessages(), log) << what;
        EXPECT_EQ(Registrations(), c.registrations) << what;
        for (int i = 0; i < c.registrations; ++i) kvo_thread_cpu_limit_unregister();
        if (m_found != 0) DelCpuCtrlObject(tid);  // still running for others: drop it ourselves
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u) << what;
    }
    m_log.Clear();  // the missing file is reported on each lookup
    EXPECT_EQ(kvo_get_thread_cpulimit_percent("kvo-worker"), static_cast<int>(KVO_E_FAIL));
    EXPECT_EQ(m_log.LevelMessages(), std::vector<std::string>{warn});
}

// A second call on the same thread changes its limit and adds a registration.
TEST_F(ThreadLimitTest, EachCallSetsThePercentageSilentlyAndAddsARegistration) {
    float limits[2] = {-1.0f, -1.0f};
    unsigned int workerTid = 0;
    std::thread([&] {
        workerTid = kvo_gettid();
        for (int i = 0; i < 2; ++i) {
            WriteLimits(i == 0 ? "kvo-worker = 20\n" : "kvo-worker = 45\n");
            EXPECT_EQ(kvo_thread_cpu_limit_from_config("kvo-worker"), KVO_OK);
            limits[i] = LimitOf(kvo_gettid());
        }
    }).join();
    EXPECT_EQ(limits[0], 20.0f);
    EXPECT_EQ(limits[1], 45.0f);
    EXPECT_TRUE(m_log.Lines().empty());
    EXPECT_EQ(Registrations(), 2);
    kvo_thread_cpu_limit_unregister();
    EXPECT_EQ(Registrations(), 1);
    kvo_thread_cpu_limit_unregister();
    if (m_found == 0) {
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);  // the stop dropped it
    } else {
        DelCpuCtrlObject(workerTid);  // kept until a pass sees the thread gone
    }
}

}  // namespace
