// The programs' manners: --version and --help on standard output with status 0,
// usage errors that name the option and the range on standard error with status 2.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "support/log_capture.h"

namespace {

struct CliCase {
    const char* command;  // program and arguments, under bin/
    int status;
    const char* out;  // expected in standard output ("" = empty output)
    const char* err;  // expected in standard error ("" = empty)
};

const std::string kVersion = KVO_TEST_VERSION;

const CliCase kCases[] = {
    {"kvo-demo --version", 0, "kvo-demo " KVO_TEST_VERSION "\n", ""},
    {"kvo-demo --help", 0, "usage: kvo-demo", ""},
    {"kvo-demo --bogus", 2, "", "kvo-demo: unknown option '--bogus'"},
    {"kvo-demo --limit 500", 2, "", "--limit 500: out of range, 0.1 to 100"},
    {"kvo-demo --limit=abc", 2, "", "--limit 'abc': not a number"},
    {"kvo-demo --threads", 2, "", "--threads needs a value"},
    {"kvo-demo --auto --limit 20", 2, "", "--auto and --limit cannot be combined"},
    {"kvo-demo --from-config a --limit 20", 2, "", "cannot be combined"},
    {"kvo-collectord --version", 0, "kvo-collectord " KVO_TEST_VERSION "\n", ""},
    {"kvo-collectord --help", 0, "--interval SECONDS", ""},
    {"kvo-collectord --interval 0", 2, "", "--interval 0: out of range, 1 to 600"},
    {"kvo-collectord --interval 601", 2, "", "out of range, 1 to 600"},
    {"kvo-collectord --interval 5 --interval 6", 2, "", "--interval given twice"},
    {"kvo-collectord --pid", 2, "", "--pid needs a value"},
    {"kvo-collectord -x", 2, "", "unknown option '-x'"},
    {"kvo-stress --version", 0, "kvo-stress " KVO_TEST_VERSION "\n", ""},
    {"kvo-stress --help", 0, "usage: kvo-stress", ""},
    {"kvo-stress --threads 0", 2, "", "--threads 0: out of range, 1 to 4096"},
    {"kvo-stress --limited 0 --check-shares", 2, "", "--check-shares needs limited threads"},
    {"kvo-stress --keep=yes", 2, "", "--keep takes no value"},
    {"kvo-stress --frob", 2, "", "unknown option '--frob'"},
    {"kvo-bench-sched --version", 0, "kvo-bench-sched " KVO_TEST_VERSION "\n", ""},
    {"kvo-bench-sched --help", 0, "usage: kvo-bench-sched", ""},
    {"kvo-bench-sched --fast", 2, "", "unknown option '--fast'"},
    {"kvo-config --version", 0, "kvo-config " KVO_TEST_VERSION "\n", ""},
    {"kvo-config --help", 0, "usage: kvo-config", ""},
    {"kvo-config", 2, "", "a command is needed"},
    {"kvo-config frob", 2, "", "unknown command 'frob'"},
    {"kvo-config check", 2, "", "check takes one FILE"},
    {"kvo-config check /nonexistent/kvo.ini", 2, "", "cannot read /nonexistent/kvo.ini"},
};

TEST(Programs, AnswerHelpVersionAndBadOptionsAsUsual) {
    TempDir dir;
    for (const CliCase& c : kCases) {
        const std::string out = dir.File("out"), err = dir.File("err");
        const std::string shell = std::string(KVO_TEST_BIN_DIR) + "/" + c.command + " >" + out +
                                  " 2>" + err + " </dev/null";
        const int raw = system(shell.c_str());
        ASSERT_TRUE(WIFEXITED(raw)) << c.command;
        EXPECT_EQ(c.status, WEXITSTATUS(raw)) << c.command;
        const std::string gotOut = ReadFile(out), gotErr = ReadFile(err);
        for (const auto& [want, got, stream] :
             {std::tuple{c.out, gotOut, "stdout"}, std::tuple{c.err, gotErr, "stderr"}}) {
            if (*want == '\0') {
                EXPECT_EQ("", got) << c.command << " " << stream;
            } else {
                EXPECT_NE(std::string::npos, got.find(want))
                    << c.command << " " << stream << ": " << got;
            }
        }
    }
}

}  // namespace
