// /proc reading and parsing: paths, the single cut read, thread stat lines and
// the system's total CPU time.
#include "scheduler/procstat.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "support/fake_sched_env.h"

namespace {

TEST(ReadProcFile, NullBufferOrNameNeverTouchesTheFileSystem) {
    FakeSchedEnv env;
    char buf[16];
    EXPECT_FALSE(ReadProcFile(nullptr, sizeof(buf), "stat", 0, 0, nullptr, &env));
    EXPECT_FALSE(ReadProcFile(buf, sizeof(buf), nullptr, 0, 0, nullptr, &env));
    EXPECT_TRUE(env.ReadPaths().empty());
}

TEST(ReadProcFile, PathHasAProcessAndATaskPartOnlyWhenTheirIdsAreSet) {
    FakeSchedEnv env;
    char buf[16];
    const struct {
        unsigned int pid, tid;
        const char* path;
    } kCases[] = {
        {0, 0, "/proc/stat"},
        {0, 9, "/proc/stat"},
        {12, 0, "/proc/12/stat"},
        {12, 34, "/proc/12/task/34/stat"},
    };
    for (const auto& c : kCases) {
        env.ClearRecords();
        EXPECT_FALSE(ReadProcFile(buf, sizeof(buf), "stat", c.pid, c.tid, nullptr, &env));
        ASSERT_EQ(env.ReadPaths().size(), 1u);
        EXPECT_EQ(env.ReadPaths()[0], c.path);
    }
}

TEST(ReadProcFile, OneReadIsCutToTheBufferAndTerminated) {
    FakeSchedEnv env;
    env.SetFile("/proc/7/status", "0123456789abcdef");
    char buf[10];
    memset(buf, 'x', sizeof(buf));
    unsigned int len = 0;
    ASSERT_TRUE(ReadProcFile(buf, sizeof(buf), "status", 7, 0, &len, &env));
    EXPECT_EQ(len, 9u);
    EXPECT_STREQ(buf, "012345678");

    char one[1];
    ASSERT_TRUE(ReadProcFile(one, sizeof(one), "status", 7, 0, &len, &env));
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(one[0], '\0');
}

TEST(ReadProcFile, ReadsARealProcFile) {
    char buf[256];
    unsigned int len = 0;
    ASSERT_TRUE(ReadProcFile(buf, sizeof(buf), "self/stat", 0, 0, &len));
    EXPECT_GT(len, 0u);
    EXPECT_EQ(strlen(buf), len);
    EXPECT_FALSE(ReadProcFile(buf, sizeof(buf), "no-such-file", 0, 0, &len));
}

struct StatLineCase {
    const char* line;
    uint64_t time;
};
const StatLineCase kStatLines[] = {
    {"12 (worker) S 1 12 12 0 -1 4194560 100 0 0 0 70 30 0 0 20 0 1 0 5 0 0\n", 100},
    {"12 (my worker 2) R 1 12 12 0 -1 4194560 100 0 0 0 7 3 0 0 20 0 1 0\n", 10},
    // Beyond 32 bits: a long-running thread, parsed as 64-bit numbers.
    {"12 (w) R 1 12 12 0 -1 0 0 0 0 0 4294967296 5 0 0\n", 4294967301ull},
    // The first ')' ends the name: a name holding one misaligns the fields.
    {"12 (a) b) R 1 12 12 0 -1 4194560 100 0 0 0 70 30 0 0\n", 0},
    {"12 (ab)) R 1 12 12 0 -1 4194560 100 0 0 0 70 30 0 0\n", 0},
    {"12 worker R 1 12 12 0 -1 4194560 100 0 0 0 70 30\n", 0},  // no ')'
    {"12 (worker) S 1 12 12 0 -1 4194560 100 0 0 0 70\n", 0},   // cut before stime
    {"12 (worker)", 0},
    {"", 0},
};

TEST(ThreadStat, UserPlusSystemTimeAfterTheFirstParenthesis) {
    for (const auto& c : kStatLines) {
        EXPECT_EQ(ParseThreadStatTime(c.line), c.time) << c.line;
    }
}

TEST(ThreadStat, GetThreadTimeReadsTheTaskFileOfTheOwnProcess) {
    FakeSchedEnv env;
    env.pid = 55;
    env.SetFile("/proc/55/task/66/stat", kStatLines[0].line);
    env.SetFile("/proc/55/stat", kStatLines[1].line);
    EXPECT_EQ(GetThreadTime(66, &env), 100u);
    EXPECT_EQ(GetThreadTime(0, &env), 10u) << "tid 0: the whole process";
    EXPECT_EQ(GetThreadTime(67, &env), 0u);
}

TEST(ThreadStat, RealThreadTimeGrowsWithWork) {
    const int tid = static_cast<int>(syscall(SYS_gettid));
    const uint64_t before = GetThreadTime(tid);
    timespec start, now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    do {
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) < 60000000L);
    EXPECT_GT(GetThreadTime(tid), before);
    EXPECT_GE(GetThreadTime(0), GetThreadTime(tid));
    EXPECT_EQ(GetThreadTime(1), 0u) << "thread 1 is not one of ours";
}

struct TotalCase {
    const char* line;
    int64_t total;
};
const TotalCase kTotals[] = {
    {"cpu  1 2 3 4 5 6 7 8 9 10\n", 28},  // steal and guests are not counted
    {"cpu 10 20\n", 30},                  // missing fields count as 0
    {"cpu  5000000000 0 0 5000000000 0 0 0\n", 10000000000ll},
    {"cpuXXXXXXXXXXXX 1 2 3\n", 0},  // a long label is cut, never overruns
    // Fields past the 64-bit range wrap the sum instead of overflowing it.
    {"cpu  9223372036854775807 1 0 0 0 0 0\n", INT64_MIN},
    {"cpu  -9223372036854775808 -1\n", INT64_MAX},
    {"", 0},
};

TEST(TotalTime, SumOfTheFirstSevenNumbersOfTheFirstLine) {
    for (const auto& c : kTotals) {
        EXPECT_EQ(ParseTotalCpuTime(c.line), c.total) << c.line;
    }
}

TEST(TotalTime, OnlyTheFirstLineOfProcStatCounts) {
    FakeSchedEnv env;
    env.SetFile("/proc/stat", "cpu 1 1 1 1 1 1 1\ncpu0 1000 1000\nintr 5\n");
    EXPECT_EQ(GetTotalCpuTime(&env), 7);
    env.SetFile("/proc/stat", "cpu 1 1\n");
    EXPECT_EQ(GetTotalCpuTime(&env), 2);
    env.RemoveFile("/proc/stat");
    EXPECT_EQ(GetTotalCpuTime(&env), 0);
    EXPECT_GT(GetTotalCpuTime(), 0) << "the real /proc/stat";
}

}  // namespace
