// /proc reading and parsing: paths, the single cut read, thread stat lines and
// the system's total CPU time.
#include "scheduler/procstat.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/fake_sched_env.h"

namespace {

TEST(ReadProcFile, PathsAndTheSingleCutRead) {
    FakeSchedEnv env;
    char buf[10];
    EXPECT_FALSE(ReadProcFile(nullptr, sizeof(buf), "stat", 0, 0, nullptr, &env));
    EXPECT_FALSE(ReadProcFile(buf, sizeof(buf), nullptr, 0, 0, nullptr, &env));
    EXPECT_TRUE(env.ReadPaths().empty()) << "null arguments never touch the file system";
    ReadProcFile(buf, sizeof(buf), "stat", 0, 9, nullptr, &env);
    ReadProcFile(buf, sizeof(buf), "stat", 12, 0, nullptr, &env);
    ReadProcFile(buf, sizeof(buf), "stat", 12, 34, nullptr, &env);
    EXPECT_EQ(env.ReadPaths(), (std::vector<std::string>{"/proc/stat", "/proc/12/stat",
                                                         "/proc/12/task/34/stat"}));
    env.SetFile("/proc/7/status", "0123456789abcdef");
    unsigned int len = 0;
    ASSERT_TRUE(ReadProcFile(buf, sizeof(buf), "status", 7, 0, &len, &env));
    EXPECT_EQ(len, 9u);
    EXPECT_STREQ(buf, "012345678");
}

TEST(ProcStat, ThreadStatLineIsUserPlusSystemTimeAfterTheFirstParenthesis) {
    const std::pair<const char*, uint64_t> kLines[] = {
        {"12 (worker) S 1 12 12 0 -1 4194560 100 0 0 0 70 30 0 0 20 0 1 0 5 0 0\n", 100},
        {"12 (my worker 2) R 1 12 12 0 -1 4194560 100 0 0 0 7 3 0 0 20 0 1 0\n", 10},
        {"12 (w) R 1 12 12 0 -1 0 0 0 0 0 4294967296 5 0 0\n", 4294967301ull},  // 64-bit
        {"12 (a) b) R 1 12 12 0 -1 4194560 100 0 0 0 70 30 0 0\n", 0},  // first ')' counts
        {"12 worker R 1 12 12 0 -1 4194560 100 0 0 0 70 30\n", 0},
        {"12 (worker) S 1 12 12 0 -1 4194560 100 0 0 0 70\n", 0},  // cut before stime
        {"", 0},
    };
    for (const auto& c : kLines) EXPECT_EQ(ParseThreadStatTime(c.first), c.second) << c.first;
}

TEST(ProcStat, TotalIsTheSumOfTheFirstSevenNumbers) {
    const std::pair<const char*, int64_t> kTotals[] = {
        {"cpu  1 2 3 4 5 6 7 8 9 10\n", 28},  // steal and guests are not counted
        {"cpu 10 20\n", 30},                  // missing fields count as 0
        {"cpu  5000000000 0 0 5000000000 0 0 0\n", 10000000000ll},
        {"cpuXXXXXXXXXXXX 1 2 3\n", 0},  // a long label is cut, never overruns
        {"cpu  9223372036854775807 1 0 0 0 0 0\n", INT64_MIN},  // wraps, no overflow
        {"cpu  -9223372036854775808 -1\n", INT64_MAX},
        {"", 0},
    };
    for (const auto& c : kTotals) EXPECT_EQ(ParseTotalCpuTime(c.first), c.second) << c.first;
}

TEST(ProcStat, ReadersUseTheOwnProcessAndTheFirstLineOnly) {
    FakeSchedEnv env;
    env.pid = 55;
    env.SetFile("/proc/55/task/66/stat", "66 (w) S 1 1 1 0 -1 0 0 0 0 0 70 30 0\n");
    env.SetFile("/proc/55/stat", "55 (w) S 1 1 1 0 -1 0 0 0 0 0 7 3 0\n");
    env.SetFile("/proc/stat", "cpu 1 1 1 1 1 1 1\ncpu0 1000 1000\n");
    EXPECT_EQ(GetThreadTime(66, &env), 100u);
    EXPECT_EQ(GetThreadTime(0, &env), 10u) << "tid 0: the whole process";
    EXPECT_EQ(GetThreadTime(67, &env), 0u);
    EXPECT_EQ(GetTotalCpuTime(&env), 7);
    env.RemoveFile("/proc/stat");
    EXPECT_EQ(GetTotalCpuTime(&env), 0);
}

TEST(ProcStat, RealReadingsGrowWithWork) {
    const int tid = static_cast<int>(syscall(SYS_gettid));
    const uint64_t before = GetThreadTime(tid);
    const int64_t total = GetTotalCpuTime();
    for (int i = 0; i < 100000 && GetThreadTime(tid) == before; ++i) {
    }
    EXPECT_GT(GetThreadTime(tid), before);
    EXPECT_GT(GetTotalCpuTime(), total);
    EXPECT_GE(GetThreadTime(0), GetThreadTime(tid));
    EXPECT_EQ(GetThreadTime(1), 0u) << "thread 1 is not one of ours";
}

}  // namespace
