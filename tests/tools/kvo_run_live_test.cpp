// kvo-run's limits on a real program, measured by the program's own CPU clocks
// after a warm-up. Bands are loose and mostly upper: on a shared machine a free
// thread may get little more than a limited one.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "tools/run_harness.h"

namespace {

// The value after "key " where key starts a word of text (the last such), or -1.
double Figure(std::string text, const std::string& key) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    const size_t at = (" " + text).rfind(" " + key + " ");
    return at == std::string::npos ? -1 : atof(text.c_str() + at + key.size() + 1);
}

TEST(KvoRunLive, NamedThreadIsLimitedTheOtherRunsFree) {
    // Both names are set after the threads start.
    const RunResult r = RunProgram({KVO_RUN_TOOL, "-v", "--thread", "hot=20", "--", KVO_RUN_PROBE,
                                    "busy", "7", "hot", "cold"});
    ASSERT_EQ(0, r.Code()) << r.err;
    const double hot = Figure(r.out, "hot"), cold = Figure(r.out, "cold");
    EXPECT_GT(hot, 2);
    EXPECT_LT(hot, 32) << r.out;
    EXPECT_NE(r.err.find("(hot) renamed: 20.0 %"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("(cold) renamed"), std::string::npos) << r.err;
    EXPECT_GT(cold, hot * 0.8) << r.out;
}

TEST(KvoRunLive, TotalHoldsTheSumOfTwoThreads) {
    const RunResult r =
        RunProgram({KVO_RUN_TOOL, "-t", "40", "--", KVO_RUN_PROBE, "busy", "8", "a", "b"});
    ASSERT_EQ(0, r.Code()) << r.err;
    const double a = Figure(r.out, "a"), b = Figure(r.out, "b");
    EXPECT_LT(a + b, 55) << r.out;
    EXPECT_GT(std::min(a, b), 1) << "shared, not handed to one of them: " << r.out;
}

// The main thread, limited, counts every SIGUSR1 sent from outside: the
// library's own use of the signal neither eats nor adds any.
TEST(KvoRunLive, ProgramCountsEverySigusr1FromKillWhileLimited) {
    constexpr int kSignals = 20;
    const RunResult r = RunProgram(
        {KVO_RUN_TOOL, "-l", "30", "--", KVO_RUN_PROBE, "usr1", "count", "5"}, [](pid_t pid) {
            usleep(1500 * 1000);
            for (int i = 0; i < kSignals; ++i, usleep(60 * 1000)) kill(pid, SIGUSR1);
        });
    ASSERT_EQ(0, r.Code()) << r.out << r.err;
    EXPECT_EQ(Figure(r.out, "count"), kSignals) << r.out;
    EXPECT_GT(Figure(r.out, "share"), 2) << r.out;
    EXPECT_LT(Figure(r.out, "share"), 50) << "not limited: " << r.out;
}

}  // namespace
