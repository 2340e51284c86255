// kvo-top against a live host (this test program): what it shows of limited
// threads, who may ask, and the sockets of a fork child and a stopped scheduler.
#include <gtest/gtest.h>
#include <jansson.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <set>
#include <thread>

#include "client.h"
#include "kvo_vurizeda.h"
#include "support/watchdog.h"
#include "tools/run_harness.h"

namespace {

constexpr uint32_t kBogusTid = 4194000;  // above any pid_max a test machine uses
constexpr uint32_t kNobody = 65534;

// Runs body in a fork child, cut off after 20 s; true when it returned true.
bool InChild(const std::function<bool()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Row(json_int_t tid, double limit, const char* name, bool exists) {
    return std::to_string(tid) + " " + std::to_string(limit) + " " + (name ? name : "(no name)") +
           (exists ? " exists" : " gone");
}

TEST(KvoTop, ShowsEveryLimitedThreadOfALiveHostAndFlagsAnIdOfNoThread) {
    RunWithWatchdog(60, "kvo-top live", [] {
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        // A host thread that names and limits itself, and stays until `done`.
        std::promise<uint32_t> started;
        std::promise<void> done;
        std::thread host([&] {
            pthread_setname_np(pthread_self(), "kvo-top-a");
            const auto self = static_cast<uint32_t>(syscall(SYS_gettid));
            started.set_value(AddCpuCtrlObject(self, 30) == 1 ? self : 0);
            done.get_future().wait();
            DelCpuCtrlObject(self);
        });
        const uint32_t tid = started.get_future().get();
        EXPECT_EQ(AddCpuCtrlObject(kBogusTid, 45), 1);  // measured id names no thread
        const RunResult run = RunProgram(
            {KVO_TEST_BIN_DIR "/kvo-top", "--once", "--json", "-p", std::to_string(getpid())});
        DelCpuCtrlObject(kBogusTid);
        done.set_value();
        host.join();
        UnRegisterCpuCtrl();
        ASSERT_EQ(run.Code(), 0) << run.err;
        json_t* document = json_loads(run.out.c_str(), 0, nullptr);
        ASSERT_NE(document, nullptr) << run.out;
        json_t* process = json_array_get(json_object_get(document, "processes"), 0);
        EXPECT_EQ(json_integer_value(json_object_get(process, "pid")), getpid());
        EXPECT_STREQ(json_string_value(json_object_get(process, "mode")), "default");
        std::multiset<std::string> shown;
        size_t i;
        json_t* t;
        json_array_foreach(json_object_get(process, "threads"), i, t) {
            shown.insert(Row(json_integer_value(json_object_get(t, "tid")),
                             json_number_value(json_object_get(t, "limit")),
                             json_string_value(json_object_get(t, "name")),
                             json_is_true(json_object_get(t, "exists"))));
        }
        EXPECT_EQ(shown, (std::multiset<std::string>{Row(tid, 30, "kvo-top-a", true),
                                                     Row(kBogusTid, 45, "", false)}));
        json_decref(document);
    });
}

// The status socket answers its own user only (another user is tried as root); a
// fork child starts stopped, and limiting anew opens a socket named by its pid.
TEST(KvoTop, OnlyTheOwnUserIsAnsweredAndAForkChildGetsItsOwnSocket) {
    RunWithWatchdog(60, "kvo-top sockets", [] {
        ASSERT_EQ(RegisterCpuCtrl(), 1);
        const auto self = static_cast<uint32_t>(getpid());
        const std::vector<_TopTarget> targets = FindTargets({self}, true, geteuid());
        ASSERT_EQ(targets.size(), 1u);
        ASSERT_FALSE(targets[0].socket.empty()) << "this process has a status socket";
        ASSERT_TRUE(QueryTargets(targets, 1, 3000)[0].status) << "its own user is answered";
        EXPECT_TRUE(geteuid() != 0 || InChild([&] {
                        return setresgid(kNobody, kNobody, kNobody) == 0 &&
                               setresuid(kNobody, kNobody, kNobody) == 0 &&
                               !QueryTargets(targets, 2, 3000).at(0).status;
                    }));
#ifndef __SANITIZE_THREAD__  // it cannot start threads in the child of a threaded process
        EXPECT_TRUE(InChild([&] {
            if (RegisterCpuCtrl() != 1) return false;
            const auto mine = FindTargets({static_cast<uint32_t>(getpid())}, true, geteuid());
            UnRegisterCpuCtrl();
            return !mine[0].socket.empty() && mine[0].socket != targets[0].socket;
        }));
#endif
        const std::vector<_TopAnswer> answers = QueryTargets(targets, 7, 3000);
        EXPECT_TRUE(answers[0].status) << "the parent still answers: " << answers[0].error;
        UnRegisterCpuCtrl();
        EXPECT_TRUE(FindTargets({self}, true, geteuid())[0].socket.empty())
            << "a stopped scheduler leaves no socket";
    });
}

}  // namespace
