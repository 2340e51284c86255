// The sampler: /proc parsing, figures between two reads, and messages that the
// library's collector reads back to the same figures.
#include "sampler.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "collector/collector.h"
#include "collector_test_util.h"
#include "commaddr.h"

namespace {

class FakeEnv : public SamplerEnv {
public:
    std::map<std::string, std::string> files;
    int64_t nowMs = 0;
    struct tm local = {};

    bool ReadFile(const std::string& path, std::string* text) override {
        auto found = files.find(path);
        if (found == files.end()) return false;
        *text = found->second;
        return true;
    }
    int64_t MonotonicMs() override { return nowMs; }
    void LocalNow(struct tm* now) override { *now = local; }
};

struct StatCase {
    const char* text;
    bool ok;
    uint64_t total, busy;
};

TEST(SamplerParse, StatTotalsSumTheFirstEightFieldsLessIdleAndIowait) {
    const StatCase cases[] = {
        {"cpu  10 1 5 100 4 2 3 0 7 7\ncpu0 1 1 1 1 1 1 1 1\n", true, 125, 21},
        {"cpu 10 0 5 100\n", true, 115, 15},  // an old kernel's four fields
        {"cpu  8589934592 0 0 4294967296 0 0 0 0\n", true, 12884901888ull, 8589934592ull},
        {"cpu0 10 0 5 100\n", false, 0, 0},
        {"cpu 10 0 x 100\n", false, 0, 0},
        {"cpu 10 0\n", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const StatCase& c : cases) {
        uint64_t total = 0, busy = 0;
        EXPECT_EQ(c.ok, ParseStatTotals(c.text, &total, &busy)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.total, total) << c.text;
            EXPECT_EQ(c.busy, busy) << c.text;
        }
    }
}

TEST(SamplerParse, ProcessTicksAreUtimePlusStimeAfterTheLastParenthesis) {
    const std::string tail = " 0 0 0 0 0 0 0 0 0 0 11 22 33 44 20 0 1 0 100 0 0";
    struct {
        std::string text;
        bool ok;
        uint64_t ticks;
    } cases[] = {
        {"1234 (host) S 1 1234 1234 0 -1 4194560 100 0 0 0 11 22 33 44", true, 33},
        {"1234 (a) b) (c) R" + tail, true, 33},  // name with blanks and ')'
        {"99 (x) S 1 2 3 4 5 6 7 8 9 10 8589934592 1 0 0", true, 8589934593ull},
        {"1234 (host) S 1 2 3", false, 0},
        {"no parenthesis at all", false, 0},
    };
    for (const auto& c : cases) {
        uint64_t ticks = 0;
        EXPECT_EQ(c.ok, ParseProcessTicks(c.text, &ticks)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.ticks, ticks) << c.text;
        }
    }
}

TEST(SamplerParse, IoBytesNeedBothCounters) {
    uint64_t r = 0, w = 0;
    EXPECT_TRUE(ParseIoBytes("rchar: 5\nread_bytes: 4096\nwrite_bytes: 8192\n", &r, &w));
    EXPECT_EQ(4096u, r);
    EXPECT_EQ(8192u, w);
    EXPECT_FALSE(ParseIoBytes("rchar: 5\nread_bytes: 4096\n", &r, &w));
    EXPECT_FALSE(ParseIoBytes("", &r, &w));
}

struct FigureCase {
    const char* name;
    _SampleCounters before, after;
    float sys, proc;
    int32_t ior, iow;
};

TEST(SamplerFigures, DeltasGiveSharesOfTheMachineAndBytesPerSecond) {
    const FigureCase cases[] = {
        {"plain",
         {1000, 400, 50, 0, 0, true, 0},
         {1800, 600, 90, 2048, 1024, true, 2000},
         25.0f,
         5.0f,
         1024,
         512},
        {"no time passed",
         {1000, 400, 50, 0, 0, true, 0},
         {1000, 400, 50, 0, 0, true, 0},
         0.0f,
         0.0f,
         0,
         0},
        {"counters ran backwards",
         {1000, 400, 50, 9, 9, true, 0},
         {1800, 300, 40, 0, 0, true, 1000},
         0.0f,
         0.0f,
         0,
         0},
        {"process above the whole is capped",
         {1000, 400, 50, 0, 0, true, 0},
         {1100, 500, 400, 0, 0, true, 1000},
         100.0f,
         100.0f,
         0,
         0},
        {"io unreadable before",
         {1000, 400, 50, 0, 0, false, 0},
         {1800, 600, 90, 2048, 1024, true, 2000},
         25.0f,
         5.0f,
         0,
         0},
        {"speed beyond 32 bits is capped",
         {0, 0, 0, 0, 0, true, 0},
         {100, 0, 0, 10000000000ull, 0, true, 1000},
         0.0f,
         0.0f,
         INT32_MAX,
         0},
    };
    for (const FigureCase& c : cases) {
        SCOPED_TRACE(c.name);
        _SampleFigures f = ComputeFigures(c.before, c.after);
        EXPECT_FLOAT_EQ(c.sys, f.sysCpu);
        EXPECT_FLOAT_EQ(c.proc, f.procCpu);
        EXPECT_EQ(c.ior, f.iorspeed);
        EXPECT_EQ(c.iow, f.iowspeed);
    }
}

std::string ProcStat(uint64_t utime, uint64_t stime) {
    return "4242 (my host) S 1 4242 4242 0 -1 0 0 0 0 0 " + std::to_string(utime) + " " +
           std::to_string(stime) + " 0 0 20 0 3 0 1 0 0";
}

void SetCounters(FakeEnv* env, const char* stat, uint64_t utime, uint64_t stime, uint64_t readBytes,
                 uint64_t writeBytes, int64_t atMs) {
    env->files["/proc/stat"] = stat;
    env->files["/proc/4242/stat"] = ProcStat(utime, stime);
    env->files["/proc/4242/io"] = "read_bytes: " + std::to_string(readBytes) +
                                  "\nwrite_bytes: " + std::to_string(writeBytes) + "\n";
    env->nowMs = atMs;
}

TEST(Sampler, FirstReadIsTheBaselineThenMessagesCarryTheFigures) {
    FakeEnv env;
    env.local.tm_year = 121;
    env.local.tm_mon = 2;
    env.local.tm_mday = 4;
    env.local.tm_hour = 10;
    env.local.tm_min = 20;
    env.local.tm_sec = 30;
    CSampler sampler(4242, &env);
    std::string sys, proc;
    SetCounters(&env, "cpu 100 0 100 800 0 0 0 0\n", 10, 10, 0, 0, 0);
    EXPECT_FALSE(sampler.Sample(&sys, &proc));
    EXPECT_TRUE(sys.empty());
    SetCounters(&env, "cpu 250 0 150 1400 0 0 0 0\n", 30, 30, 4096, 2048, 2000);
    ASSERT_TRUE(sampler.Sample(&sys, &proc));
    // Δtotal 800, Δbusy 200, Δprocess 40.
    EXPECT_FLOAT_EQ(25.0f, sampler.Figures().sysCpu);
    EXPECT_FLOAT_EQ(5.0f, sampler.Figures().procCpu);

    // The library's collector reads both back to one pair.
    ScopedEnv base("KVO_BASE_DIR", "/nonexistent-kvo-dir");
    PairRecorder pairs;
    CCollector collector;
    collector.RegCollectData(PairRecorder::Cb, &pairs);
    EXPECT_EQ(KVO_OK, collector.DataParse(sys.c_str()));
    EXPECT_EQ(KVO_OK, collector.DataParse(proc.c_str()));
    ASSERT_EQ(1u, pairs.Pairs().size());
    const CollectedPair pair = pairs.Pairs()[0];
    EXPECT_FLOAT_EQ(25.0f, pair.sys.cpu);
    EXPECT_FLOAT_EQ(5.0f, pair.proc.cpu);
    EXPECT_EQ(2048, pair.proc.iorspeed);
    EXPECT_EQ(1024, pair.proc.iowspeed);
    EXPECT_NE(kCollectorNoTime, pair.sys.time);
    EXPECT_NE(std::string::npos, sys.find("2021/3/4 10:20:30"));
}

TEST(Sampler, UnreadableFilesStopOrZeroTheSample) {
    FakeEnv env;
    CSampler sampler(4242, &env);
    std::string sys, proc;
    SetCounters(&env, "cpu 100 0 100 800 0 0 0 0\n", 10, 10, 0, 0, 0);
    EXPECT_FALSE(sampler.Sample(&sys, &proc));
    // Another user's process: no io file, speeds 0, CPU still measured.
    SetCounters(&env, "cpu 200 0 100 1700 0 0 0 0\n", 20, 20, 0, 0, 1000);
    env.files.erase("/proc/4242/io");
    ASSERT_TRUE(sampler.Sample(&sys, &proc));
    EXPECT_FLOAT_EQ(2.0f, sampler.Figures().procCpu);
    EXPECT_EQ(0, sampler.Figures().iorspeed);
    // The process has ended: no messages, and the baseline stays.
    env.files.erase("/proc/4242/stat");
    EXPECT_FALSE(sampler.Sample(&sys, &proc));
    SetCounters(&env, "cpu 300 0 100 2600 0 0 0 0\n", 30, 30, 0, 0, 2000);
    ASSERT_TRUE(sampler.Sample(&sys, &proc));
    EXPECT_FLOAT_EQ(2.0f, sampler.Figures().procCpu);
}

TEST(ReceiverDiscovery, FindsThePidsOfTheNamedAbstractSockets) {
    const std::string table =
        "Num       RefCount Protocol Flags    Type St Inode Path\n"
        "0000000000000000: 00000002 00000000 00000000 0002 01 100 "
        "@kvo_comm/123/kvo_vurizeda:reciver\n"
        "0000000000000000: 00000002 00000000 00000000 0002 01 101 "
        "@kvo_comm/77/kvo_vurizeda:reciver\n"
        "0000000000000000: 00000002 00000000 00000000 0002 01 102 @kvo_comm/88/other\n"
        "0000000000000000: 00000002 00000000 00000000 0002 01 103 "
        "@kvo_comm/99/kvo_vurizeda:reciverX\n"
        "0000000000000000: 00000002 00000000 00000000 0002 01 104 "
        "@kvo_comm/1x/kvo_vurizeda:reciver\n"
        "0000000000000000: 00000002 00000000 00000000 0002 01 105 "
        "/kvo_comm/55/kvo_vurizeda:reciver\n"
        "0000000000000000: 00000002 00000000 00000000 0002 01 106 @kvo_comm//kvo_vurizeda:reciver\n"
        "0000000000000000: 00000003 00000000 00000000 0001 03 107\n"
        "0000000000000000: 00000002 00000000 00000000 0002 01 108 "
        "@kvo_comm/123/kvo_vurizeda:reciver\n";
    EXPECT_EQ((std::vector<uint32_t>{77, 123}), ParseReceiverPids(table, "kvo_vurizeda:reciver"));
    EXPECT_EQ(std::vector<uint32_t>{88}, ParseReceiverPids(table, "other"));
}

}  // namespace
