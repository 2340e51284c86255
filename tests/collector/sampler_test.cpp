// The sampler: figures between two reads of /proc, as the two messages that the
// library's collector reads back to one pair carrying the same figures.
#include "sampler.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "collector_test_util.h"

namespace {

class FakeEnv : public SamplerEnv {
public:
    std::map<std::string, std::string> files;
    int64_t nowMs = 0;

    bool ReadFile(const std::string& path, std::string* text) override {
        auto found = files.find(path);
        if (found != files.end()) *text = found->second;
        return found != files.end();
    }
    int64_t MonotonicMs() override { return nowMs; }
    void LocalNow(struct tm* now) override {
        *now = tm();
        now->tm_year = 121;  // 2021/3/4 10:20:30
        now->tm_mon = 2;
        now->tm_mday = 4;
        now->tm_hour = 10;
        now->tm_min = 20;
        now->tm_sec = 30;
    }
    void Set(const char* stat, const std::string& ticks, const char* io, int64_t atMs) {
        files["/proc/stat"] = stat;
        // A name with ") " in it: the fields count from the last parenthesis.
        files["/proc/42/stat"] = "42 (my) host) S 1 42 42 0 -1 0 0 0 0 0 " + ticks + " 0 0 20 0 3";
        files["/proc/42/io"] = io;
        nowMs = atMs;
    }
};

// Busy is the first eight fields less idle and iowait; guest fields are not
// counted. Process ticks (utime + stime) pass 32 bits.
TEST(Sampler, MessagesCarryTheFiguresBetweenTwoReads) {
    ScopedEnv tz("TZ", "UTC");
    tzset();
    FakeEnv env;
    CSampler sampler(42, &env);
    std::string sys, proc;
    env.Set("cpu  100 0 100 800 50 0 0 0 3 3\n", "8589934592 10",
            "rchar: 1\nread_bytes: 0\nwrite_bytes: 0\n", 0);
    EXPECT_FALSE(sampler.Sample(&sys, &proc));  // the baseline
    env.Set("cpu  250 0 150 1400 250 0 0 0 9 9\n", "8589934612 30",
            "read_bytes: 4096\nwrite_bytes: 2048\n", 2000);
    ASSERT_TRUE(sampler.Sample(&sys, &proc));

    PairRecorder pairs;
    CCollector collector;
    ScopedEnv base("KVO_BASE_DIR", "/nonexistent-kvo-dir");
    collector.RegCollectData(RecordPair, &pairs);
    EXPECT_EQ(KVO_OK, collector.DataParse(sys.c_str()));
    EXPECT_EQ(KVO_OK, collector.DataParse(proc.c_str()));
    ASSERT_EQ(1u, pairs.Items().size());
    const CollectedPair pair = pairs.Items()[0];
    EXPECT_FLOAT_EQ(20.0f, pair.sys.cpu);  // 200 of 1000 ticks
    EXPECT_FLOAT_EQ(4.0f, pair.proc.cpu);  // 40 of 1000
    EXPECT_EQ(2048, pair.proc.iorspeed);   // bytes per second
    EXPECT_EQ(1024, pair.proc.iowspeed);
    EXPECT_EQ(1614853230, pair.sys.time);

    // Another user's process has no readable io: speeds 0, CPU still measured.
    env.Set("cpu  350 0 150 2300 250 0 0 0 9 9\n", "8589934622 30", "", 3000);
    env.files.erase("/proc/42/io");
    ASSERT_TRUE(sampler.Sample(&sys, &proc));
    EXPECT_FLOAT_EQ(1.0f, sampler.Figures().procCpu);
    EXPECT_EQ(0, sampler.Figures().iorspeed);
    env.files.erase("/proc/42/stat");  // the process has ended
    EXPECT_FALSE(sampler.Sample(&sys, &proc));
}

struct FigureCase {
    const char* name;
    _SampleCounters before, after;
    float sys, proc;
    int32_t ior;
};

TEST(Sampler, FiguresStayWithinTheirBounds) {
    const _SampleCounters base = {1000, 400, 50, 9, 9, true, 0};
    const FigureCase cases[] = {
        {"no time passed", base, base, 0, 0, 0},
        {"counters ran backwards", base, {1800, 300, 40, 0, 0, true, 1000}, 0, 0, 0},
        {"process above the whole", base, {1100, 500, 400, 9, 9, true, 1000}, 100, 100, 0},
        {"speed beyond 32 bits",
         base,
         {1100, 400, 50, 10000000009ull, 9, true, 1000},
         0,
         0,
         INT32_MAX},
    };
    for (const FigureCase& c : cases) {
        SCOPED_TRACE(c.name);
        _SampleFigures f = ComputeFigures(c.before, c.after);
        EXPECT_FLOAT_EQ(c.sys, f.sysCpu);
        EXPECT_FLOAT_EQ(c.proc, f.procCpu);
        EXPECT_EQ(c.ior, f.iorspeed);
    }
}

}  // namespace
