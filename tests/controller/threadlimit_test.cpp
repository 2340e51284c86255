// Limits by thread name: the lookup in the installation's file, registration with
// the real scheduler, the log lines of each failure, and the exported symbols.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "kvo_vurizeda.h"
#include "scheduler/cpuschedule.h"
#include "scheduler/threadctrlobject.h"
#include "support/log_capture.h"

namespace {

// An installation in a scratch directory: "@" is <dir>/lib, the file <dir>/config/.
class ThreadLimitTest : public ::testing::Test {
protected:
    ThreadLimitTest() {
        std::filesystem::create_directories(m_dir.File("lib"));
        std::filesystem::create_directories(m_dir.File("config"));
        setenv("KVO_BASE_DIR", m_dir.File("lib").c_str(), 1);
        m_ini = m_dir.File("lib") + "/../config/kvo_vurizeda.ini";
    }
    ~ThreadLimitTest() override { unsetenv("KVO_BASE_DIR"); }

    void SetUp() override { ASSERT_EQ(Registrations(), 0) << "a registration leaked in"; }
    void TearDown() override { EXPECT_EQ(Registrations(), 0) << "a registration leaked out"; }

    void WriteLimits(const std::string& entries) {
        WriteFile(m_ini, "[env]\ncpu_cnt = 2\n[thread_cpulimit]\n" + entries);
    }

    static int Registrations() { return CpuSchedule::GetInstance()->InitCount(); }

    // The limit of tid's control object, or -1 when it has none.
    static float LimitOf(uint32_t tid) {
        ICtrlObject* object =
            CpuSchedule::GetInstance()->AcquireObject(CpuSchedule::CTRL_OBJECT_THREAD, tid);
        if (object == nullptr) return -1.0f;
        const float limit = static_cast<CThreadCtrlObject*>(object)->Limit();
        object->Release();
        return limit;
    }

    struct CallResult {
        uint32_t tid = 0;
        unsigned int result = 0;
        float limit = -1.0f;  // the caller's control object right after the call
    };

    // Calls kvo_thread_cpu_limit_from_config on a thread of its own, so the test's
    // main thread is never limited; the thread ends when the call returns.
    static CallResult CallFromThread(const char* name) {
        CallResult call;
        std::thread worker([&] {
            call.tid = kvo_gettid();
            call.result = kvo_thread_cpu_limit_from_config(name);
            call.limit = LimitOf(call.tid);
        });
        worker.join();
        return call;
    }

    TempDir m_dir;
    LogCapture m_log{2};  // up to INFO: the debug trail is not under test
    std::string m_ini;
};

TEST_F(ThreadLimitTest, PercentIsTheConfiguredIntegerReadAnewOnEveryCall) {
    struct Case {
        const char* value;  // null: no key for the name
        int want;
    };
    const Case cases[] = {
        {"20", 20},
        {"0", 0},
        {"150", 150},
        {"-3", -3},
        {"abc", 0},
        {"7.9", 7},
        {nullptr, static_cast<int>(KVO_E_FAIL)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "<absent>");
        WriteLimits(c.value ? std::string("kvo-worker = ") + c.value + "\n" : "other = 5\n");
        EXPECT_EQ(kvo_get_thread_cpulimit_percent("kvo-worker"), c.want);
    }
    EXPECT_TRUE(m_log.Lines().empty());
    // Names are case-sensitive and taken only from their own section.
    WriteFile(m_ini, "[env]\nkvo-worker = 30\n[thread_cpulimit]\nKVO-WORKER = 40\n");
    EXPECT_EQ(kvo_get_thread_cpulimit_percent("kvo-worker"), static_cast<int>(KVO_E_FAIL));
    EXPECT_EQ(Registrations(), 0);
}

TEST_F(ThreadLimitTest, NullNameFailsWithoutALogLine) {
    WriteLimits("kvo-worker = 20\n");
    EXPECT_EQ(kvo_get_thread_cpulimit_percent(nullptr), static_cast<int>(KVO_E_FAIL));
    EXPECT_TRUE(m_log.Lines().empty());
}

TEST_F(ThreadLimitTest, MissingFileIsReportedWithTheTransformedPathOnEachLookup) {
    char path[4096] = {0};
    ASSERT_EQ(kvo_dirutils_path_transform("@/../config/kvo_vurizeda.ini", path, sizeof path), 0);
    ASSERT_EQ(std::string(path), m_ini);
    EXPECT_EQ(kvo_get_thread_cpulimit_percent("kvo-worker"), static_cast<int>(KVO_E_FAIL));
    EXPECT_EQ(kvo_get_thread_cpulimit_percent("kvo-worker"), static_cast<int>(KVO_E_FAIL));
    const std::string warn = "WARN Failed to load setting config: " + m_ini;
    EXPECT_EQ(m_log.LevelMessages(), (std::vector<std::string>{warn, warn}));
}

TEST_F(ThreadLimitTest, FailedLookupLogsTheNameAndRegistersNothing) {
    WriteLimits("kvo-worker = 20\n");
    struct Case {
        const char* name;
        bool file;
        std::vector<std::string> want;
    };
    const std::string warn = "WARN Failed to load setting config: " + m_ini;
    const Case cases[] = {
        {"nobody", true, {"ERROR get thread cpulimit percent failed, threadName: nobody"}},
        {nullptr, true, {"ERROR get thread cpulimit percent failed, threadName: (null)"}},
        {"kvo-worker",
         false,
         {warn, "ERROR get thread cpulimit percent failed, threadName: kvo-worker"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        if (!c.file) std::filesystem::remove(m_ini);
        m_log.Clear();
        const CallResult call = CallFromThread(c.name);
        EXPECT_EQ(call.result, KVO_E_FAIL);
        EXPECT_EQ(m_log.LevelMessages(), c.want);
        EXPECT_EQ(Registrations(), 0);
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
    }
}

TEST_F(ThreadLimitTest, ConfiguredThreadGetsItsLimitSilently) {
    WriteLimits("kvo-worker = 20\n");
    const CallResult call = CallFromThread("kvo-worker");
    EXPECT_EQ(call.result, KVO_OK);
    EXPECT_EQ(call.limit, 20.0f);
    EXPECT_TRUE(m_log.Lines().empty());
    EXPECT_EQ(Registrations(), 1);
    kvo_thread_cpu_limit_unregister();
    EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
}

TEST_F(ThreadLimitTest, RefusedPercentageWarnsAndLeavesOneRegistration) {
    for (const char* value : {"0", "150", "-1"}) {
        SCOPED_TRACE(value);
        WriteLimits(std::string("kvo-worker = ") + value + "\n");
        m_log.Clear();
        const CallResult call = CallFromThread("kvo-worker");
        EXPECT_EQ(call.result, KVO_E_FAIL);
        EXPECT_EQ(call.limit, -1.0f);
        EXPECT_EQ(m_log.LevelMessages(),
                  std::vector<std::string>{"WARN thread ctrl failed, threadId: " +
                                           std::to_string(call.tid)});
        EXPECT_EQ(Registrations(), 1);
        kvo_thread_cpu_limit_unregister();
    }
}

TEST_F(ThreadLimitTest, SecondCallChangesThePercentageAndAddsARegistration) {
    WriteLimits("kvo-worker = 20\n");
    float first = -1.0f;
    float second = -1.0f;
    std::thread worker([&] {
        const uint32_t tid = kvo_gettid();
        EXPECT_EQ(kvo_thread_cpu_limit_from_config("kvo-worker"), KVO_OK);
        first = LimitOf(tid);
        WriteLimits("kvo-worker = 45\n");
        EXPECT_EQ(kvo_thread_cpu_limit_from_config("kvo-worker"), KVO_OK);
        second = LimitOf(tid);
    });
    worker.join();
    EXPECT_EQ(first, 20.0f);
    EXPECT_EQ(second, 45.0f);
    EXPECT_EQ(Registrations(), 2);
    kvo_thread_cpu_limit_unregister();
    EXPECT_EQ(Registrations(), 1);
    kvo_thread_cpu_limit_unregister();
}

// The built library, as a host would load it.
std::string LibraryPath() {
    char exe[PATH_MAX] = {0};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) < 0) return {};
    return std::filesystem::path(exe).parent_path().string() + "/../lib/libkvo_vurizeda.so";
}

TEST_F(ThreadLimitTest, LibraryExportsTheLookupUnderItsMangledName) {
    void* library = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name : {"kvo_thread_cpu_limit_from_config", "kvo_thread_cpu_limit_unregister",
                             "CpuGroupIniCb", "LoadExclusionPath"}) {
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    }
    EXPECT_EQ(dlsym(library, "kvo_get_thread_cpulimit_percent"), nullptr);
    using Lookup = int (*)(const char*);
    auto lookup =
        reinterpret_cast<Lookup>(dlsym(library, "_Z31kvo_get_thread_cpulimit_percentPKc"));
    ASSERT_NE(lookup, nullptr);
    WriteLimits("kvo-worker = 35\n");
    EXPECT_EQ(lookup("kvo-worker"), 35);
    dlclose(library);
}

}  // namespace
