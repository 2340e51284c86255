// The programs' manners: --version and --help on standard output with status 0,
// usage errors that name the option and the range on standard error with status 2,
// and kvo-run's refusals and the shell's statuses for commands it cannot run. The
// programs that share the option parser are not all asked about each of its errors,
// nor all about the --version and --help that parser answers.
// kvo-run end to end too: the program's exit status, signals and SIGUSR1
// disposition passed through, exec'd programs, and programs it refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "tools/run_harness.h"

namespace {

#define V " " KVO_TEST_VERSION "\n"
// The command (a program under bin/ and its arguments, split at spaces), its
// status, and what its standard output and error hold ("": nothing).
// clang-format off
const struct { const char *command; int status; const char *out, *err; } kCases[] = {
    {"kvo-demo --version", 0, "kvo-demo" V, ""}, {"kvo-demo --help", 0, "usage: kvo-demo", ""},
    {"kvo-demo --bogus", 2, "", "kvo-demo: unknown option '--bogus'"},
    {"kvo-demo --limit 500", 2, "", "--limit 500: out of range, 0.1 to 100"},
    {"kvo-demo --limit=abc", 2, "", "--limit 'abc': not a number"},
    {"kvo-demo --threads", 2, "", "--threads needs a value"},
    {"kvo-demo --auto --limit 20", 2, "", "--auto and --limit cannot be combined"},
    {"kvo-collectord --interval 0", 2, "", "--interval 0: out of range, 1 to 600"},
    {"kvo-collectord --interval 5 --interval 6", 2, "", "--interval given twice"},
    {"kvo-stress --limited 0 --check-shares", 2, "", "--check-shares needs limited threads"},
    {"kvo-stress --keep=yes", 2, "", "--keep takes no value"},
    {"kvo-config", 2, "", "command is needed"}, {"kvo-config frob", 2, "", "command 'frob'"},
    {"kvo-config check", 2, "", "check takes one FILE"},
    {"kvo-config check /nonexistent/kvo.ini", 2, "", "cannot read /nonexistent/kvo.ini"},
    {"kvo-top --version", 0, "kvo-top" V, ""}, {"kvo-top --help", 0, "usage: kvo-top", ""},
    {"kvo-top --frobnicate", 2, "", "unknown option '--frobnicate'"},
    {"kvo-top -p 0", 2, "", "from 1 to 4194304"}, {"kvo-top -p", 2, "", "needs a value"},
    {"kvo-top --once -p 4194303", 1, "no status socket", ""},
    {"kvo-run --version", 0, "kvo-run" V, ""}, {"kvo-run --help", 0, "usage: kvo-run", ""},
    {"kvo-run --frobnicate -- true", 2, "", "'--frobnicate'"},
    {"kvo-run -q -- true", 2, "", "'-q'"}, {"kvo-run -l 0 -- true", 2, "", "from 0.1 to 100"},
    {"kvo-run --thread hot=101 -- true", 2, "", "from 0.1 to 100"},
    {"kvo-run --thread abcdefghijklmnop=10 -- true", 2, "", "15 characters"},
    {"kvo-run --thread nothing -- true", 2, "", "NAME=P"},
    {"kvo-run --auto -l 30 -- true", 2, "", "cannot be combined"},
    {"kvo-run -t 30 --thread x=5 -- true", 2, "", "cannot be combined"},
    {"kvo-run -- true", 2, "", "nothing to limit"}, {"kvo-run -l 30", 2, "", "no command"},
    {"kvo-run -l 30 -- kvo-no-such-command", 127, "", "command not found"},
    {"kvo-run -l 30 -- /nonexistent/prog", 127, "", "No such file"},
    {"kvo-run -l 30 -- /etc/passwd", 126, "", "Permission denied"},
    {"kvo-run -l 30 -- /tmp", 126, "", "Is a directory"},
    // Refused with status 1 (not the program's 5: it never ran) and one line.
    {"kvo-run -l 30 -- " KVO_RUN_PROBE "-setuid exit 5", 1, "", "set-user-ID"},
#ifdef KVO_RUN_STATIC_PROBE
    {"kvo-run -l 30 -- " KVO_RUN_STATIC_PROBE " exit 5", 1, "", "statically linked"},
#endif
#ifndef KVO_RUN_SANITIZED  // a sanitizer build's preload needs its runtime loaded first
    {"kvo-run -t 50 -- " KVO_RUN_PROBE " exit 7", 7, "", ""},
    // The program's own SIGUSR1 disposition holds while the library uses the signal.
    {"kvo-run -l 30 -- " KVO_RUN_PROBE " usr1 default 4", 128 + SIGUSR1, "ready", ""},
    {"kvo-run -l 30 -- " KVO_RUN_PROBE " usr1 ignore 3", 0, "count 0 ", ""},
#ifdef __LP64__  // env, preloaded, execs printenv, preloaded in turn: both are 64-bit programs
    {"kvo-run -l 30 -- /usr/bin/env printenv LD_PRELOAD KVO_RUN_LIMIT", 0,
     "libkvo_run.so\n30\n", ""},
    {"kvo-run --no-children -l 30 -- /usr/bin/env printenv LD_PRELOAD KVO_RUN_LIMIT", 1, "", ""},
#endif
#endif
};
// clang-format on

TEST(Programs, AnswerAsUsualAndKvoRunPassesOnWhatItsProgramDoes) {
    ASSERT_EQ(system("cp " KVO_RUN_PROBE " " KVO_RUN_PROBE "-setuid"), 0);
    ASSERT_EQ(chmod(KVO_RUN_PROBE "-setuid", 04755), 0);
    for (const auto& c : kCases) {
        std::vector<std::string> argv;
        std::istringstream words(std::string(KVO_TEST_BIN_DIR "/") + c.command);
        for (std::string word; words >> word;) argv.push_back(word);
        // The probe's usr1 mode gets one SIGUSR1 from outside once the limit is at work.
        const RunResult r = RunProgram(argv, [&c](pid_t pid) {
            if (strstr(c.command, " usr1 ") == nullptr) return;
            usleep(1500 * 1000);
            kill(pid, SIGUSR1);
        });
        EXPECT_EQ(c.status, r.Code()) << c.command;
        EXPECT_TRUE(c.status == 2 || std::count(r.err.begin(), r.err.end(), '\n') <= 1) << r.err;
        for (const auto& [want, got] : {std::pair{c.out, r.out}, std::pair{c.err, r.err}}) {
            EXPECT_TRUE(*want == '\0' ? got.empty() : got.find(want) != std::string::npos)
                << c.command << ": wanted '" << want << "' in '" << got << "'";
        }
    }
    unlink(KVO_RUN_PROBE "-setuid");  // no set-user-ID program is left behind
}

}  // namespace
