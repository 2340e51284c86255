// The programs' manners: --version and --help on standard output with status 0,
// usage errors that name the option and the range on standard error with status 2,
// and kvo-run's refusals and the shell's statuses for commands it cannot run. The
// programs that share the option parser are not all asked about each of its errors.
#include <gtest/gtest.h>

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
    {"kvo-demo --from-config a --limit 20", 2, "", "cannot be combined"},
    {"kvo-collectord --version", 0, "kvo-collectord" V, ""},
    {"kvo-collectord --help", 0, "--interval SECONDS", ""},
    {"kvo-collectord --interval 0", 2, "", "--interval 0: out of range, 1 to 600"},
    {"kvo-collectord --interval 601", 2, "", "out of range, 1 to 600"},
    {"kvo-collectord --interval 5 --interval 6", 2, "", "--interval given twice"},
    {"kvo-stress --version", 0, "kvo-stress" V, ""},
    {"kvo-stress --help", 0, "usage: kvo-stress", ""},
    {"kvo-stress --threads 0", 2, "", "--threads 0: out of range, 1 to 4096"},
    {"kvo-stress --limited 0 --check-shares", 2, "", "--check-shares needs limited threads"},
    {"kvo-stress --keep=yes", 2, "", "--keep takes no value"},
    {"kvo-bench-sched --version", 0, "kvo-bench-sched" V, ""},
    {"kvo-bench-sched --help", 0, "usage: kvo-bench-sched", ""},
    {"kvo-bench-sched --fast", 2, "", "unknown option '--fast'"},
    {"kvo-config --version", 0, "kvo-config" V, ""},
    {"kvo-config --help", 0, "usage: kvo-config", ""}, {"kvo-config", 2, "", "a command is needed"},
    {"kvo-config frob", 2, "", "unknown command 'frob'"},
    {"kvo-config check", 2, "", "check takes one FILE"},
    {"kvo-config check /nonexistent/kvo.ini", 2, "", "cannot read /nonexistent/kvo.ini"},
    {"kvo-top --version", 0, "kvo-top" V, ""}, {"kvo-top --help", 0, "usage: kvo-top", ""},
    {"kvo-top --frobnicate", 2, "", "unknown option '--frobnicate'"},
    {"kvo-top -p 0", 2, "", "from 1 to 4194304"}, {"kvo-top -p", 2, "", "needs a value"},
    {"kvo-top --interval 0.01", 2, "", "from 0.2 to 3600"},
    {"kvo-top --once -p 4194303", 1, "no status socket", ""},
    {"kvo-run --version", 0, "kvo-run" V, ""}, {"kvo-run --help", 0, "usage: kvo-run", ""},
    {"kvo-run --frobnicate -- true", 2, "", "'--frobnicate'"},
    {"kvo-run -q -- true", 2, "", "'-q'"}, {"kvo-run -l 0 -- true", 2, "", "from 0.1 to 100"},
    {"kvo-run -l 150 -- true", 2, "", "from 0.1 to 100"},
    {"kvo-run -l 30x -- true", 2, "", "from 0.1 to 100"},
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
};
// clang-format on

TEST(Programs, AnswerHelpVersionAndBadOptionsAsUsual) {
    for (const auto& c : kCases) {
        std::vector<std::string> argv;
        std::istringstream words(std::string(KVO_TEST_BIN_DIR "/") + c.command);
        for (std::string word; words >> word;) argv.push_back(word);
        const RunResult r = RunProgram(argv);
        EXPECT_EQ(c.status, r.Code()) << c.command;
        for (const auto& [want, got] : {std::pair{c.out, r.out}, std::pair{c.err, r.err}}) {
            EXPECT_TRUE(*want == '\0' ? got.empty() : got.find(want) != std::string::npos)
                << c.command << ": wanted '" << want << "' in '" << got << "'";
        }
    }
}

}  // namespace
