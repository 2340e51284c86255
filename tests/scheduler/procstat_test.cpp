// /proc reading and parsing: paths, the single cut read, thread stat lines and
// the system's total CPU time.
#include "scheduler/procstat.h"

#include <gtest/gtest.h>

#include "support/fake_sched_env.h"

namespace {

TEST(ProcStat, PathsAndTheSingleCutRead) {
    FakeSchedEnv env;
    char buf[10];
    EXPECT_FALSE(ReadProcFile(nullptr, sizeof(buf), "stat", 0, 0, nullptr, &env));
    EXPECT_FALSE(ReadProcFile(buf, sizeof(buf), nullptr, 0, 0, nullptr, &env));
    for (unsigned int pid : {0, 12}) {
        for (unsigned int tid : {0, 34})
            ReadProcFile(buf, sizeof(buf), "stat", pid, tid, nullptr, &env);
    }
    EXPECT_EQ(env.ReadPaths(),
              (std::vector<std::string>{"/proc/stat", "/proc/stat", "/proc/12/stat",
                                        "/proc/12/task/34/stat"}));
    env.SetFile("/proc/7/status", "0123456789abcdef");
    unsigned int len = 0;
    ASSERT_TRUE(ReadProcFile(buf, sizeof(buf), "status", 7, 0, &len, &env));
    EXPECT_EQ(len, 9u);
    EXPECT_STREQ(buf, "012345678");
}

TEST(ProcStat, ThreadTimeIsUserPlusSystemTimeAfterTheFirstParenthesis) {
    FakeSchedEnv env;
    env.pid = 55;
    const std::pair<const char*, uint64_t> kLines[] = {
        {"66 (worker) S 1 12 12 0 -1 4194560 100 0 0 0 70 30 0 0 20 0 1 0 5 0 0\n", 100},
        {"66 (my worker 2) R 1 12 12 0 -1 4194560 100 0 0 0 7 3 0 0 20 0 1 0\n", 10},
        {"66 (w) R 1 12 12 0 -1 0 0 0 0 0 4294967296 5 0 0\n", 4294967301ull},  // 64-bit
        {"66 (a) b) R 1 12 12 0 -1 4194560 100 0 0 0 70 30 0 0\n", 0},          // first ')' counts
        {"66 (worker) S 1 12 12 0 -1 4194560 100 0 0 0 70\n", 0},               // cut before stime
    };
    for (const auto& c : kLines) {
        env.SetFile("/proc/55/task/66/stat", c.first);
        EXPECT_EQ(GetThreadTime(66, &env), c.second) << c.first;
    }
    env.SetFile("/proc/55/stat", kLines[1].first);
    EXPECT_EQ(GetThreadTime(0, &env), 10u) << "tid 0: the whole process";
    EXPECT_EQ(GetThreadTime(67, &env), 0u);
    EXPECT_EQ(GetThreadTime(1), 0u) << "thread 1 is not one of ours";
}

TEST(ProcStat, TotalIsTheSumOfTheFirstSevenNumbersOfTheFirstLine) {
    FakeSchedEnv env;
    const std::pair<const char*, int64_t> kTotals[] = {
        {"cpu  1 2 3 4 5 6 7 8 9 10\ncpu0 1000 1000\n", 28},    // steal, guests: not counted
        {"cpu 10 20\n", 30},                                    // missing fields count as 0
        {"cpuXXXXXXXXXXXX 1 2 3\n", 0},                         // a long label is cut
        {"cpu  9223372036854775807 1 0 0 0 0 0\n", INT64_MIN},  // wraps, no overflow
    };
    for (const auto& c : kTotals) {
        env.SetFile("/proc/stat", c.first);
        EXPECT_EQ(GetTotalCpuTime(&env), c.second) << c.first;
    }
    env.RemoveFile("/proc/stat");
    EXPECT_EQ(GetTotalCpuTime(&env), 0);
    EXPECT_GT(GetTotalCpuTime(), 0) << "the real /proc/stat";
}

}  // namespace
