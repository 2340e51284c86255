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

// kvo-top --json on this process: "pid mode", then "tid limit name exists" per thread.
std::multiset<std::string> Shown() {
    const RunResult run = RunProgram(
        {KVO_TEST_BIN_DIR "/kvo-top", "--once", "--json", "-p", std::to_string(getpid())});
    EXPECT_EQ(run.Code(), 0) << run.err;
    json_t* document = json_loads(run.out.c_str(), 0, nullptr);
    json_t *process = json_array_get(json_object_get(document, "processes"), 0), *t;
    json_int_t id = 0;
    const char* text = "";
    json_unpack(process, "{s:I, s:s}", "pid", &id, "mode", &text);
    std::multiset<std::string> shown{std::to_string(id) + " " + text};
    size_t i;
    json_array_foreach(json_object_get(process, "threads"), i, t) {
        double limit = 0;
        int exists = 0;
        json_unpack(t, "{s:I, s:F, s:s, s:b}", "tid", &id, "limit", &limit, "name", &text, "exists",
                    &exists);
        shown.insert(std::to_string(id) + " " + std::to_string(limit) + " " + text +
                     (exists ? " exists" : " gone"));
    }
    json_decref(document);
    return shown;
}

// Every limited thread is shown, an id of no thread flagged. The status socket
// answers its own user only (another user is tried as root); a fork child
// starts stopped, and limiting anew opens a socket named by its pid.
TEST(KvoTop, ShowsALiveHostToItsOwnUserAndAForkChildGetsItsOwnSocket) {
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
        const std::string tid = std::to_string(started.get_future().get());
        EXPECT_EQ(AddCpuCtrlObject(kBogusTid, 45), 1);  // measured id names no thread
        EXPECT_EQ(Shown(), (std::multiset<std::string>{std::to_string(getpid()) + " default",
                                                       tid + " 30.000000 kvo-top-a exists",
                                                       "4194000 45.000000  gone"}));
        DelCpuCtrlObject(kBogusTid);
        done.set_value();
        host.join();
        const auto self = static_cast<uint32_t>(getpid());
        const std::vector<_TopTarget> targets = FindTargets({self}, true, geteuid());
        ASSERT_EQ(targets.size(), 1u);
        ASSERT_FALSE(targets[0].socket.empty()) << "this process has a status socket";
        EXPECT_TRUE(geteuid() != 0 || InChild([&] {
                        return setresgid(65534, 65534, 65534) == 0 &&  // nobody
                               setresuid(65534, 65534, 65534) == 0 &&
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
        EXPECT_TRUE(QueryTargets(targets, 7, 3000)[0].status) << "the parent still answers";
        UnRegisterCpuCtrl();
        EXPECT_TRUE(FindTargets({self}, true, geteuid())[0].socket.empty())
            << "a stopped scheduler leaves no socket";
    });
}

}  // namespace
