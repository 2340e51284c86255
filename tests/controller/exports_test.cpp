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

// One call after another, each with its result, the line it writes ("" none; "%":
// the thread's id) and the calling thread's limit after it (-1 none, 0 any). The
// header's helpers stand for the call they make with the caller's id.
TEST(Exports, EachCallAnswersByTheSwitchesAndTheInitStateWithItsLine) {
    TempDir dir;
    ScopedEnv noSampler("KVO_COMM_SAMPLER", "0");
    const std::string cpu = "sys_max = 30\nsys_max_unused = 100\n";  // all processors counted
    const std::string conf = dir.Write("kvo.ini", "[td_cpu]\n" + cpu + "[adapt_cpu]\n" + cpu +
                                                      "[user_behavior]\nbehavior_switch = 0\n"
                                                      "[cpu_group]\nscan = 20;60\n");
    const unsigned int tid = kvo_gettid(), off = KVO_E_DISABLED, bad = KVO_E_INVALID_PARAM;
    const std::string noAuto = "WARN current not init cpu limit";
    const std::string noCpu = "WARN current not enable cpu limit";
    const std::string add = "INFO add cpu group(scan) thread id(%) cpu limit";
    const std::string del = "INFO del cpu group(scan) thread id(%) cpu limit";
    const std::string refused = "WARN add thread id % to cpu limit failed";
    const std::string joined = "INFO add thread id % to cpu auto perf";
    const std::string on = "INFO tpye 2 auto perf switch to 1";
    const struct {
        std::function<unsigned int()> call;
        unsigned int want;
        std::string line;
        float limit = -1;
    } script[] = {
        {[] { return kvo_perfctrl_init(nullptr); }, bad, "WARN initialize perfctrl invalid param"},
        {[&] { return kvo_add_cpu_vurizeda(tid); }, off, noAuto},
        {[] { return kvo_set_cpu_vurizeda_upper(40); }, off, noCpu},
        {[&] { return kvo_add_cpu_group("scan", tid); }, KVO_E_NO_GROUP, add},  // none yet
        {[] { return kvo_enable_vurizeda(1, 1); }, KVO_OK, "INFO tpye 1 auto perf switch to 1"},
        {[] { return kvo_set_io_vurizeda_upper(1, 1); }, off, "WARN current not enable io"},
        {[&] { return kvo_perfctrl_init(conf.c_str()); }, KVO_OK, "INFO perfctrl init success"},
        {[] { return kvo_query_vurizeda_cpucnt(); }, kvo_cpu_count(), ""},
        {[] { return kvo_perfctrl_init("/nonexistent.ini"); }, KVO_OK, ""},  // ignored
        {[] { return kvo_add_cpu_group("scan", 0); }, bad, ""},
        {[&] { return kvo_add_cpu_group(nullptr, tid); }, bad, ""},
        {[&] { return kvo_del_cpu_group(nullptr, tid); }, bad, ""},
        {[] { return kvo_join_group("scan"); }, KVO_OK, add, 20},  // no switch needed
        {[] { return kvo_leave_group("scan"); }, KVO_OK, del},
        {[] { return kvo_limit_this_thread(40); }, KVO_OK, "INFO add thread id % to cpu limit", 40},
        {[&] { return kvo_add_thread_cpu_limit(tid, NAN); }, KVO_E_FAIL, refused},  // ends it
        {[] { return kvo_unlimit_this_thread(), 0u; }, 0, "INFO del thread id % to cpu limit"},
        {[&] { return kvo_resume_update_thread(tid), 0u; }, 0,
         "INFO resume and update thread id % real state"},
        {[] { return kvo_enable_vurizeda(2, 1); }, KVO_OK, on},
        {[&] { return kvo_add_cpu_vurizeda(tid); }, KVO_OK, joined, 0},
        {[] { return kvo_set_cpu_vurizeda_upper(40); }, KVO_OK,
         "INFO set cpu auto perf upper limit 40.00", 0},
        {[] { return kvo_set_cpu_vurizeda_lower(7.5f); }, KVO_OK,
         "INFO set cpu auto perf lower limit 7.50", 0},
        {[] { return kvo_enable_vurizeda(3, 0); }, KVO_OK, "INFO tpye 3 auto perf switch to 0"},
        {[&] { return kvo_add_cpu_vurizeda(tid); }, off, noAuto},
        {[] { return kvo_enable_vurizeda(0, 1); }, KVO_OK, "INFO tpye 0 auto perf switch to 1"},
        {[&] { return kvo_add_cpu_vurizeda(tid); }, off, noAuto},  // an empty mask only logs
        {[] { return kvo_enable_vurizeda(2, 1); }, KVO_OK, on},
        {[] { return kvo_join_auto(); }, KVO_OK, joined, 0},
        {[] { return kvo_leave_auto(), 0u; }, 0, "INFO del thread id % to cpu auto perf"},
        {[] { return kvo_join_auto(); }, KVO_OK, joined, 0},
        {[] { return kvo_perfctrl_uninit(), 0u; }, 0, "INFO perfctrl uninit success"},
        {[] { return kvo_query_vurizeda_cpucnt(); }, 0, ""},
        {[&] { return kvo_add_cpu_vurizeda(tid); }, off, noAuto},  // uninit switched it off
        {[] { return kvo_perfctrl_uninit(), 0u; }, 0, ""},
        {[&] { return kvo_add_cpu_group("scan", tid); }, KVO_OK, add, 20},  // groups stay
        {[] { return kvo_del_cpu_vurizeda(0), 0u; }, 0, "INFO del thread id 0 to cpu auto perf",
         20},
        {[&] { return kvo_del_cpu_group("scan", tid); }, KVO_OK, del},
        {[] { return kvo_perfctrl_init("/nonexistent/kvo.ini"); }, KVO_OK,
         "INFO perfctrl init success"},  // on the defaults
        {[] { return kvo_perfctrl_uninit(), 0u; }, 0, "INFO perfctrl uninit success"},
    };
    LogCapture log(2);  // up to INFO
    for (const auto& step : script) {
        const std::string what = "step " + std::to_string(&step - script);
        EXPECT_EQ(step.call(), step.want) << what;
        std::string said;  // the host functions' line only
        for (const LogLine& line : log.Lines())
            if (line.file == "vurizedaimpl.cpp") said += line.level + " " + line.message;
        log.Clear();
        std::string line = step.line;
        if (line.find('%') != std::string::npos)
            line.replace(line.find('%'), 1, std::to_string(tid));
        EXPECT_EQ(said, line) << what;
        const float limit = LimitOf(tid);
        EXPECT_TRUE(step.limit == 0 ? limit > 0 : limit == step.limit) << what << ": " << limit;
    }
}

// Limits by thread name from an installation in a scratch directory ("@" is
// <dir>/lib, the file <dir>/config/), each call from a thread of its own so that
// the test's main thread is never limited: the percentage the name looks up, and
// the call's result, limit, lines and the registrations it leaves.
TEST(ThreadLimit, FromConfigLimitsTheCallerByItsNameOrSaysWhy) {
    TempDir dir;
    for (const char* sub : {"lib", "config"}) std::filesystem::create_directories(dir.File(sub));
    // Set before the first use of the scheduler, which reads the base.
    ScopedEnv base("KVO_BASE_DIR", dir.File("lib").c_str());
    const std::string ini = dir.File("lib") + "/../config/kvo_vurizeda.ini";
    // Once any test has called a host function the controller singleton holds a
    // registration of its own until the process ends: count from here.
    const int found = CpuSchedule::GetInstance()->InitCount();
    const int fail = static_cast<int>(KVO_E_FAIL);
    const std::string error = "ERROR get thread cpulimit percent failed, threadName: ";
    const std::string refused = "WARN thread ctrl failed, threadId: %";
    const std::string warn = "WARN Failed to load setting config: " + ini;
    const struct {
        const char* entries;  // of [thread_cpulimit]; null: no file
        const char* name;
        int percent;
        unsigned int want;
        float limit;
        std::vector<std::string> log;  // "%": the calling thread's id
        int registrations;             // 2: called twice
    } cases[] = {
        {"other = 5\n", "kvo-worker", fail, KVO_E_FAIL, -1, {error + "kvo-worker"}, 0},
        {"kvo-worker = 20\n", nullptr, fail, KVO_E_FAIL, -1, {error + "(null)"}, 0},
        {"kvo-worker = 150\n", "kvo-worker", 150, KVO_E_FAIL, -1, {refused}, 1},
        {"kvo-worker = 20\n", "kvo-worker", 20, KVO_OK, 20, {}, 1},
        {"kvo-worker = 45\n", "kvo-worker", 45, KVO_OK, 45, {}, 2},
        {nullptr, "kvo-worker", fail, KVO_E_FAIL, -1, {warn, error + "kvo-worker"}, 0},
    };
    LogCapture log(2);  // up to INFO: the debug trail is not under test
    for (const auto& c : cases) {
        const std::string what = "case " + std::to_string(&c - cases);
        if (c.entries) {  // the name outside the section does not count
            WriteFile(ini, "[env]\nkvo-worker = 30\n[thread_cpulimit]\n" + std::string(c.entries));
        } else {
            std::filesystem::remove(ini);
        }
        log.Clear();
        unsigned int result = 0, tid = 0;
        float limit = -1;
        std::thread([&] {
            tid = kvo_gettid();
            for (int i = 0; i < std::max(c.registrations, 1); ++i) {
                result = kvo_thread_cpu_limit_from_config(c.name);
                limit = LimitOf(tid);
            }
        }).join();
        EXPECT_EQ(result, c.want) << what;
        EXPECT_EQ(limit, c.limit) << what;
        std::vector<std::string> lines = c.log;
        for (std::string& line : lines)
            if (line.back() == '%') line.replace(line.size() - 1, 1, std::to_string(tid));
        EXPECT_EQ(log.LevelMessages(), lines) << what;
        EXPECT_EQ(kvo_get_thread_cpulimit_percent(c.name), c.percent) << what;
        EXPECT_EQ(CpuSchedule::GetInstance()->InitCount() - found, c.registrations) << what;
        for (int i = 0; i < c.registrations; ++i) kvo_thread_cpu_limit_unregister();
        if (found != 0) DelCpuCtrlObject(tid);  // still running for others: drop it ourselves
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u) << what;
    }
}

}  // namespace
