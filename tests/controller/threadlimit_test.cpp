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

TEST_F(ThreadLimitTest, FailedLookupLogsTheNameAndRegistersNothing) {
    WriteLimits("kvo-worker = 20\n");
    const std::string error = "ERROR get thread cpulimit percent failed, threadName: ";
    // The file is "@/../config/kvo_vurizeda.ini" with "@" the library's directory.
    const std::string warn = "WARN Failed to load setting config: " + m_ini;
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"nobody", {error + "nobody"}},
        {nullptr, {error + "(null)"}},
        {"kvo-worker", {warn, error + "kvo-worker"}},  // the file is gone from here on
    };
    for (const auto& [name, want] : cases) {
        if (want.size() == 2) std::filesystem::remove(m_ini);
        m_log.Clear();
        EXPECT_EQ(CallFromThread(name).result, KVO_E_FAIL);
        EXPECT_EQ(m_log.LevelMessages(), want);
        EXPECT_EQ(Registrations(), 0);
        EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
    }
    m_log.Clear();  // the missing file is reported on each lookup
    EXPECT_EQ(kvo_get_thread_cpulimit_percent("kvo-worker"), static_cast<int>(KVO_E_FAIL));
    EXPECT_EQ(m_log.LevelMessages(), std::vector<std::string>{warn});
}

TEST_F(ThreadLimitTest, RefusedPercentageWarnsAndLeavesOneRegistration) {
    for (const char* value : {"0", "150", "-1"}) {
        WriteLimits(std::string("kvo-worker = ") + value + "\n");
        m_log.Clear();
        const CallResult call = CallFromThread("kvo-worker");
        EXPECT_EQ(call.result, KVO_E_FAIL) << value;
        EXPECT_EQ(call.limit, -1.0f);
        EXPECT_EQ(m_log.LevelMessages(),
                  std::vector<std::string>{"WARN thread ctrl failed, threadId: " +
                                           std::to_string(call.tid)});
        EXPECT_EQ(Registrations(), 1);
        kvo_thread_cpu_limit_unregister();
    }
}

TEST_F(ThreadLimitTest, EachCallSetsThePercentageSilentlyAndAddsARegistration) {
    float limits[2] = {-1.0f, -1.0f};
    std::thread worker([&] {
        for (int i = 0; i < 2; ++i) {
            WriteLimits(i == 0 ? "kvo-worker = 20\n" : "kvo-worker = 45\n");
            EXPECT_EQ(kvo_thread_cpu_limit_from_config("kvo-worker"), KVO_OK);
            limits[i] = LimitOf(kvo_gettid());
        }
    });
    worker.join();
    EXPECT_EQ(limits[0], 20.0f);
    EXPECT_EQ(limits[1], 45.0f);
    EXPECT_TRUE(m_log.Lines().empty());
    EXPECT_EQ(Registrations(), 2);
    kvo_thread_cpu_limit_unregister();
    EXPECT_EQ(Registrations(), 1);
    kvo_thread_cpu_limit_unregister();
    EXPECT_EQ(CpuSchedule::GetInstance()->ObjectCount(), 0u);
}

// The built library, as a host would load it, exports the lookup only under its
// C++ name.
TEST_F(ThreadLimitTest, LibraryExportsTheLookupUnderItsMangledName) {
    char exe[PATH_MAX] = {0};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string path =
        std::filesystem::path(exe).parent_path().string() + "/../lib/libkvo_vurizeda.so";
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
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
