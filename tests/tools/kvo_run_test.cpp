// kvo-run end to end: the program's exit status, signals and SIGUSR1
// disposition passed through, exec'd programs, and programs it refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/log_capture.h"
#include "tools/run_harness.h"

namespace {

struct RunCase {
    std::vector<std::string> args;  // kvo-run's
    bool usr1;                      // one SIGUSR1 from outside once the limit is at work
    int code;                       // as a shell shows it
    const char* out;                // expected in standard output ("" = empty)
    const char* err;                // expected in standard error ("" = empty)
};

TEST(KvoRun, PassesStatusSignalsAndExecsOnAndRefusesWhatItCannotEnter) {
    REQUIRE_END_TO_END();
    TempDir dir;
    const std::string setuid = dir.File("setuid-probe");
    ASSERT_EQ(system(("cp " KVO_RUN_PROBE " " + setuid).c_str()), 0);
    ASSERT_EQ(chmod(setuid.c_str(), 04755), 0);
    const char* const printenv = "exec printenv LD_PRELOAD KVO_RUN_LIMIT";
    // clang-format off
    std::vector<RunCase> cases = {
        {{"-l", "50", "--", KVO_RUN_PROBE, "exit", "7"}, false, 7, "", ""},
        {{"-t", "50", "--", KVO_RUN_PROBE, "kill", "15"}, false, 128 + SIGTERM, "", ""},
        // The program's own SIGUSR1 disposition holds while the library uses the signal.
        {{"-l", "30", "--", KVO_RUN_PROBE, "usr1", "default", "4"}, true, 128 + SIGUSR1, "ready", ""},
        {{"-l", "30", "--", KVO_RUN_PROBE, "usr1", "ignore", "3"}, true, 0, "count 0 ", ""},
        // Refused with status 1 (not the program's 5: it never ran) and one line.
        {{"-l", "30", "--", setuid, "exit", "5"}, false, 1, "", "set-user-ID"}};
#ifdef KVO_RUN_STATIC_PROBE
    cases.push_back({{"-l", "30", "--", KVO_RUN_STATIC_PROBE, "exit", "5"}, false, 1, "",
                     "statically linked"});
#endif
    // The shell is preloaded and execs printenv, which is preloaded in turn (the
    // system's shell is a 64-bit program).
    if (sizeof(void*) == 8) {
        cases.push_back({{"-l", "30", "--", "/bin/sh", "-c", printenv}, false, 0,
                         "libkvo_run.so\n30\n", ""});
        cases.push_back({{"--no-children", "-l", "30", "--", "/bin/sh", "-c", printenv}, false, 1,
                         "", ""});
    }
    // clang-format on
    for (const RunCase& c : cases) {
        const RunResult r = RunKvo(c.args, [&c](pid_t pid) {
            if (!c.usr1) return;
            usleep(1500 * 1000);
            kill(pid, SIGUSR1);
        });
        EXPECT_EQ(c.code, r.Code()) << ::testing::PrintToString(c.args);
        for (const auto& [want, got] : {std::pair{c.out, r.out}, std::pair{c.err, r.err}}) {
            EXPECT_TRUE(*want == '\0' ? got.empty() : got.find(want) != std::string::npos)
                << ::testing::PrintToString(c.args) << ": wanted '" << want << "' in '" << got
                << "'";
        }
        EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
#ifndef KVO_RUN_STATIC_PROBE
    GTEST_SKIP() << "static refusal not tested: no static C library (libc.a) to build a probe";
#endif
}

}  // namespace
