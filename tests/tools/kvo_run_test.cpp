// kvo-run as a user meets it: its options, refusals, and the program's exit
// status, signals and SIGUSR1 disposition passed through.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/run_harness.h"

namespace {

#define REQUIRE_END_TO_END()                            \
    do {                                                \
        std::string why;                                \
        if (!CanRunEndToEnd(&why)) GTEST_SKIP() << why; \
    } while (0)

struct OptionCase {
    std::vector<std::string> args;
    int exitCode;
    const char* said;  // in standard output for 0, else in standard error
};

TEST(KvoRun, OptionsAnswerLikeATool) {
    const OptionCase cases[] = {
        {{"--help"}, 0, "usage: kvo-run"},
        {{"--version"}, 0, "kvo-run " KVO_VERSION "\n"},
        {{"--frobnicate", "--", "true"}, 2, "'--frobnicate'"},
        {{"-q", "--", "true"}, 2, "'-q'"},
        {{"-l", "0", "--", "true"}, 2, "from 0.1 to 100"},
        {{"-l", "150", "--", "true"}, 2, "from 0.1 to 100"},
        {{"-l", "abc", "--", "true"}, 2, "from 0.1 to 100"},
        {{"--thread", "hot=101", "--", "true"}, 2, "from 0.1 to 100"},
        {{"--thread", "abcdefghijklmnop=10", "--", "true"}, 2, "15 characters"},
        {{"--thread", "nothing", "--", "true"}, 2, "NAME=P"},
        {{"--auto", "-l", "30", "--", "true"}, 2, "cannot be combined"},
        {{"-t", "30", "--thread", "x=5", "--", "true"}, 2, "cannot be combined"},
        {{"--", "true"}, 2, "nothing to limit"},
        {{"-l", "30"}, 2, "no command"},
        {{"-l", "30", "--", "kvo-no-such-command"}, 127, "command not found"},
        {{"-l", "30", "--", "/nonexistent/prog"}, 127, "No such file"},
        {{"-l", "30", "--", "/etc/passwd"}, 126, "Permission denied"},
        {{"-l", "30", "--", "/tmp"}, 126, "Is a directory"},
    };
    for (const auto& c : cases) {
        const RunResult r = RunKvo(c.args);
        const std::string where = c.args.empty() ? "" : c.args[0] + " ...";
        ASSERT_TRUE(WIFEXITED(r.status)) << where;
        EXPECT_EQ(WEXITSTATUS(r.status), c.exitCode) << where << ": " << r.err;
        EXPECT_NE((c.exitCode == 0 ? r.out : r.err).find(c.said), std::string::npos)
            << where << ": out '" << r.out << "' err '" << r.err << "'";
    }
}

TEST(KvoRun, ExitStatusAndTerminatingSignalPassThrough) {
    REQUIRE_END_TO_END();
    RunResult r = RunKvo({"-l", "50", "--", ProbePath(), "exit", "7"});
    ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
    EXPECT_EQ(WEXITSTATUS(r.status), 7);

    r = RunKvo({"-t", "50", "--", ProbePath(), "kill", std::to_string(SIGTERM)});
    ASSERT_TRUE(WIFSIGNALED(r.status)) << r.err;
    EXPECT_EQ(WTERMSIG(r.status), SIGTERM);
}

TEST(KvoRun, ProgramsItExecsAreLimitedUnlessNoChildren) {
    REQUIRE_END_TO_END();
    std::vector<std::string> args = {"-l",        "30",  "--",         ProbePath(),    "exec",
                                     ProbePath(), "env", "LD_PRELOAD", "KVO_RUN_LIMIT"};
    RunResult r = RunKvo(args);
    EXPECT_NE(r.out.find("libkvo_run.so|30"), std::string::npos) << r.out << r.err;

    args.insert(args.begin(), "--no-children");
    r = RunKvo(args);
    EXPECT_EQ(r.out, "|") << r.out << r.err;
}

// kill -USR1 from outside meets the program's own disposition while the
// library uses SIGUSR1 to make its threads sleep.
TEST(KvoRun, OutsideSigusr1MeetsTheProgramsDisposition) {
    REQUIRE_END_TO_END();
    const auto sendOne = [](pid_t pid) {
        usleep(1500 * 1000);  // the limit is at work by now
        kill(pid, SIGUSR1);
    };
    RunResult r = RunKvo({"-l", "30", "--", ProbePath(), "usr1", "default", "4"}, sendOne);
    ASSERT_TRUE(WIFSIGNALED(r.status)) << r.out << r.err;
    EXPECT_EQ(WTERMSIG(r.status), SIGUSR1);

    r = RunKvo({"-l", "30", "--", ProbePath(), "usr1", "ignore", "3"}, sendOne);
    ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(Figure(r.out, "count"), 0);
}

TEST(KvoRun, ProgramsThePreloadCannotEnterAreRefusedBeforeStart) {
    REQUIRE_END_TO_END();
#ifdef KVO_RUN_STATIC_PROBE
    RunResult r = RunKvo({"-l", "30", "--", KVO_RUN_STATIC_PROBE, "exit", "5"});
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 1);  // not the program's 5: it never ran
    EXPECT_NE(r.err.find("statically linked"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
#endif
    char dir[] = "/tmp/kvo-run-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string copy = std::string(dir) + "/setuid-probe";
    ASSERT_EQ(system(("cp " + ProbePath() + " " + copy).c_str()), 0);
    ASSERT_EQ(chmod(copy.c_str(), 04755), 0);
    RunResult s = RunKvo({"-l", "30", "--", copy, "exit", "5"});
    unlink(copy.c_str());
    rmdir(dir);
    ASSERT_TRUE(WIFEXITED(s.status));
    EXPECT_EQ(WEXITSTATUS(s.status), 1);
    EXPECT_NE(s.err.find("set-user-ID"), std::string::npos) << s.err;
#ifndef KVO_RUN_STATIC_PROBE
    GTEST_SKIP() << "static refusal not tested: no static C library (libc.a) to build a probe";
#endif
}

}  // namespace
