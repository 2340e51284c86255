// kvo-run end to end: the program's exit status, signals and SIGUSR1
// disposition passed through, exec'd programs, and programs it refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/run_harness.h"

namespace {

TEST(KvoRun, ExitStatusAndTerminatingSignalPassThrough) {
    REQUIRE_END_TO_END();
    RunResult r = RunKvo({"-l", "50", "--", KVO_RUN_PROBE, "exit", "7"});
    ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
    EXPECT_EQ(WEXITSTATUS(r.status), 7);
    r = RunKvo({"-t", "50", "--", KVO_RUN_PROBE, "kill", std::to_string(SIGTERM)});
    ASSERT_TRUE(WIFSIGNALED(r.status)) << r.err;
    EXPECT_EQ(WTERMSIG(r.status), SIGTERM);
}

TEST(KvoRun, ProgramsItExecsAreLimitedUnlessNoChildren) {
    REQUIRE_END_TO_END();
    if (sizeof(void*) != 8) GTEST_SKIP() << "the system's shell is a 64-bit program here";
    // The shell is preloaded and execs printenv, which is preloaded in turn.
    std::vector<std::string> args = {"-l",      "30", "--",
                                     "/bin/sh", "-c", "exec printenv LD_PRELOAD KVO_RUN_LIMIT"};
    RunResult r = RunKvo(args);
    EXPECT_NE(r.out.find("libkvo_run.so\n30\n"), std::string::npos) << r.out << r.err;
    args.insert(args.begin(), "--no-children");
    r = RunKvo(args);
    EXPECT_EQ(r.out, "") << r.err;
}

// kill -USR1 from outside meets the program's own disposition while the
// library uses SIGUSR1 to make its threads sleep.
TEST(KvoRun, OutsideSigusr1MeetsTheProgramsDisposition) {
    REQUIRE_END_TO_END();
    const auto sendOne = [](pid_t pid) {
        usleep(1500 * 1000);  // the limit is at work by now
        kill(pid, SIGUSR1);
    };
    RunResult r = RunKvo({"-l", "30", "--", KVO_RUN_PROBE, "usr1", "default", "4"}, sendOne);
    ASSERT_TRUE(WIFSIGNALED(r.status)) << r.out << r.err;
    EXPECT_EQ(WTERMSIG(r.status), SIGUSR1);
    r = RunKvo({"-l", "30", "--", KVO_RUN_PROBE, "usr1", "ignore", "3"}, sendOne);
    ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(Figure(r.out, "count"), 0);
}

// Refused with status 1 (not the program's 5: it never ran) and one line.
TEST(KvoRun, ProgramsThePreloadCannotEnterAreRefusedBeforeStart) {
    REQUIRE_END_TO_END();
    char dir[] = "/tmp/kvo-run-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string setuid = std::string(dir) + "/setuid-probe";
    ASSERT_EQ(system(("cp " KVO_RUN_PROBE " " + setuid).c_str()), 0);
    ASSERT_EQ(chmod(setuid.c_str(), 04755), 0);
    std::vector<std::pair<std::string, const char*>> cases = {{setuid, "set-user-ID"}};
#ifdef KVO_RUN_STATIC_PROBE
    cases.emplace_back(KVO_RUN_STATIC_PROBE, "statically linked");
#endif
    for (const auto& [program, why] : cases) {
        const RunResult r = RunKvo({"-l", "30", "--", program, "exit", "5"});
        ASSERT_TRUE(WIFEXITED(r.status)) << program;
        EXPECT_EQ(WEXITSTATUS(r.status), 1) << program;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    unlink(setuid.c_str());
    rmdir(dir);
#ifndef KVO_RUN_STATIC_PROBE
    GTEST_SKIP() << "static refusal not tested: no static C library (libc.a) to build a probe";
#endif
}

}  // namespace
