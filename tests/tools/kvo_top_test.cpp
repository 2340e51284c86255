// kvo-top against a live host (this test program): what it shows of limited
// threads, who may ask, and its command line.
#include <gtest/gtest.h>
#include <jansson.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "kvo_vurizeda.h"
#include "support/watchdog.h"

namespace {

constexpr uint32_t kBogusTid = 4194000;  // above any pid_max a test machine uses
constexpr uint32_t kNobody = 65534;

struct Outcome {
    int status;
    std::string out;
};

// Runs bin/kvo-top with args; capture is the shell's redirection of what is kept.
Outcome KvoTop(const std::string& args, const char* capture = "2>/dev/null") {
    const std::string command = std::string(KVO_TEST_BIN_DIR) + "/kvo-top " + args + " " + capture;
    Outcome run{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) run.out.append(buf, n);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

// A host thread that limits itself and then waits to be stopped.
class LimitedThread {
public:
    LimitedThread(const char* name, float limit) {
        m_thread = std::thread([this, name, limit] {
            pthread_setname_np(pthread_self(), name);
            const auto self = static_cast<uint32_t>(syscall(SYS_gettid));
            m_registered = AddCpuCtrlObject(self, limit) == 1;
            tid = self;
            while (!m_stop) usleep(10000);
            DelCpuCtrlObject(self);
        });
        while (tid == 0) usleep(1000);
    }
    ~LimitedThread() {
        m_stop = true;
        m_thread.join();
    }
    bool Registered() const { return m_registered; }
    std::atomic<uint32_t> tid{0};

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_registered{false};
    std::thread m_thread;
};

TEST(KvoTop, ShowsEveryLimitedThreadOfALiveHostAndFlagsAnIdOfNoThread) {
    RunWithWatchdog(60, "kvo-top live", [] {
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        {
            LimitedThread a("kvo-top-a", 30), b("kvo-top-b", 60);
            ASSERT_TRUE(a.Registered() && b.Registered());
            ASSERT_EQ(AddCpuCtrlObject(kBogusTid, 45), 1);  // measured id names no thread
            const Outcome run = KvoTop("--once --json -p " + std::to_string(getpid()));
            ASSERT_EQ(run.status, 0) << run.out;
            json_t* document = json_loads(run.out.c_str(), 0, nullptr);
            ASSERT_NE(document, nullptr) << run.out;
            json_t* process = json_array_get(json_object_get(document, "processes"), 0);
            EXPECT_EQ(json_integer_value(json_object_get(process, "pid")), getpid());
            EXPECT_STREQ(json_string_value(json_object_get(process, "mode")), "default");
            struct Want {
                float limit;
                const char* name;
                bool exists;
            };
            std::map<uint32_t, Want> want = {{a.tid, {30, "kvo-top-a", true}},
                                             {b.tid, {60, "kvo-top-b", true}},
                                             {kBogusTid, {45, "", false}}};
            size_t i;
            json_t* row;
            json_array_foreach(json_object_get(process, "threads"), i, row) {
                const auto tid =
                    static_cast<uint32_t>(json_integer_value(json_object_get(row, "tid")));
                auto it = want.find(tid);
                ASSERT_NE(it, want.end()) << "unexpected thread " << tid;
                EXPECT_DOUBLE_EQ(json_number_value(json_object_get(row, "limit")),
                                 it->second.limit);
                EXPECT_STREQ(json_string_value(json_object_get(row, "name")), it->second.name);
                EXPECT_EQ(json_is_true(json_object_get(row, "exists")), it->second.exists) << tid;
                want.erase(it);
            }
            EXPECT_TRUE(want.empty()) << want.size() << " limited threads not shown";
            json_decref(document);
            DelCpuCtrlObject(kBogusTid);
        }
        UnRegisterCpuCtrl();
    });
}

TEST(KvoTop, AnotherUserCannotAsk) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    RunWithWatchdog(60, "kvo-top other user", [] {
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        const std::vector<_TopTarget> targets =
            FindTargets({static_cast<uint32_t>(getpid())}, true, 0);
        ASSERT_EQ(targets.size(), 1u);
        ASSERT_FALSE(targets[0].socket.empty()) << "this process has a status socket";
        ASSERT_TRUE(QueryTargets(targets, 1, 3000)[0].status) << "its own user is answered";
        const pid_t child = fork();
        if (child == 0) {
            alarm(20);
            if (setresgid(kNobody, kNobody, kNobody) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0) {
                _exit(3);
            }
            const std::vector<_TopAnswer> answers = QueryTargets(targets, 2, 3000);
            _exit(answers.size() == 1 && !answers[0].status ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        UnRegisterCpuCtrl();
    });
}

TEST(KvoTop, AForkChildLimitsUnderItsOwnSocketAndLeavesTheParentsAlone) {
    RunWithWatchdog(60, "kvo-top fork", [] {
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        const auto self = static_cast<uint32_t>(getpid());
        const std::vector<_TopTarget> before = FindTargets({self}, true, geteuid());
        ASSERT_FALSE(before[0].socket.empty());
        const pid_t child = fork();
        if (child == 0) {
            alarm(20);
            // The child starts stopped: limiting anew opens a socket named by its pid.
            if (RegisterCpuCtrl() != 1) _exit(2);
            const auto mine = FindTargets({static_cast<uint32_t>(getpid())}, true, geteuid());
            const bool own = !mine[0].socket.empty() && mine[0].socket != before[0].socket;
            UnRegisterCpuCtrl();
            _exit(own ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        const std::vector<_TopAnswer> answers = QueryTargets(before, 7, 3000);
        EXPECT_TRUE(answers[0].status) << "the parent still answers: " << answers[0].error;
        UnRegisterCpuCtrl();
        EXPECT_TRUE(FindTargets({self}, true, geteuid())[0].socket.empty())
            << "a stopped scheduler leaves no socket";
    });
}

TEST(KvoTop, CommandLineAnswersAndRefusals) {
    const char* kStdout = "2>/dev/null";
    const char* kStderr = "2>&1 >/dev/null";
    struct Case {
        const char* args;
        int status;
        const char* capture;
        const char* says;
    };
    const Case kCases[] = {
        {"--help", 0, kStdout, "usage: kvo-top"},
        {"--version", 0, kStdout, "kvo-top 1."},
        {"--frobnicate", 2, kStderr, "unknown option '--frobnicate'"},
        {"-p 0", 2, kStderr, "from 1 to 4194304"},
        {"-p", 2, kStderr, "needs a value"},
        {"--interval 0.01", 2, kStderr, "from 0.2 to 3600"},
        {"--once -p 4194303", 1, kStdout, "no status socket"},
    };
    for (const Case& c : kCases) {
        const Outcome run = KvoTop(c.args, c.capture);
        EXPECT_EQ(run.status, c.status) << c.args << ": " << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << c.args << ": " << run.out;
    }
}

}  // namespace
