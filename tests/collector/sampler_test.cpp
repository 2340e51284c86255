// The sampler's rounds on a fake clock: no two published rounds share a time
// text, so the collector never pairs figures of two rounds.
#include "sampler.h"

#include <gtest/gtest.h>
#include <math.h>
#include <time.h>

#include <string>
#include <vector>

#include "collector/collector.h"
#include "collector_test_util.h"

namespace {

// /proc as counters the test moves on; the local time as the test sets it.
class FakeSamplerEnv : public SamplerEnv {
public:
    uint64_t total = 1000, busy = 100, procTicks = 10;
    struct tm now = {};

    bool ReadFile(const std::string& path, std::string* text) override {
        if (path == "/proc/stat") {
            *text = "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(total - busy) +
                    " 0 0 0 0\ncpu0 1 0 0 1 0 0 0 0\n";
        } else if (path == "/proc/42/stat") {
            *text = "42 (a b) S 1 1 1 0 -1 0 0 0 0 0 " + std::to_string(procTicks) + " 0 0 0\n";
        } else {
            return false;  // io: speeds read 0
        }
        return true;
    }
    int64_t MonotonicMs() override { return ms += 1000; }
    void LocalNow(struct tm* out) override { *out = now; }

private:
    int64_t ms = 0;
};

struct Round {
    int second;                    // of 2021/3/4 10:20:xx
    bool dropSystem, dropProcess;  // lost on the way, as a full queue loses them
    bool published;
};

// A late round in the second of the last one, a clock stepped back, and
// lost messages around them: under a sampler that published those rounds,
// the collector would pair one round's system figure with another's process
// figure.
const Round kRounds[] = {
    {30, false, false, true},  {30, false, false, false},  // late: lands in the same second
    {31, true, false, true},   {30, true, false, false},   // clock stepped back
    {31, false, false, false},  // still not past the last published second
    {32, false, false, true},  {33, false, true, true},   {34, false, false, true},
};

TEST(SamplerRounds, EveryDeliveredPairComesFromOneRound) {
    ScopedEnv tz("TZ", "UTC");
    tzset();
    LogCapture log;
    PairRecorder pairs;
    CCollector collector;
    {
        ScopedEnv base("KVO_BASE_DIR", "/nonexistent-kvo-dir");
        collector.RegCollectData(RecordPair, &pairs);  // no comm library: only the callback
    }
    FakeSamplerEnv env;
    env.now.tm_year = 121;
    env.now.tm_mon = 2;
    env.now.tm_mday = 4;
    env.now.tm_hour = 10;
    env.now.tm_min = 20;
    CSampler sampler(42, &env);
    std::string system, process;
    ASSERT_FALSE(sampler.Sample(&system, &process));  // the baseline
    std::vector<_SampleFigures> published;
    int k = 0;
    for (const Round& r : kRounds) {
        ++k;
        SCOPED_TRACE(k);
        // Every round has its own figures: system 10 + k percent, process k.
        env.total += 100;
        env.busy += 10 + static_cast<uint64_t>(k);
        env.procTicks += static_cast<uint64_t>(k);
        env.now.tm_sec = r.second;
        const bool sent = sampler.Sample(&system, &process);
        EXPECT_EQ(r.published, sent);
        if (!sent) continue;
        published.push_back(sampler.Figures());
        for (const std::string* text :
             {r.dropSystem ? nullptr : &system, r.dropProcess ? nullptr : &process}) {
            if (text != nullptr) {
                EXPECT_EQ(KVO_OK, collector.DataParse(text->c_str()));
            }
        }
    }
    const std::vector<CollectedPair> got = pairs.Items();
    EXPECT_EQ(3u, got.size());  // the rounds at :30, :32 and :34 arrived whole
    for (const CollectedPair& pair : got) {
        bool oneRound = false;
        for (const _SampleFigures& f : published) {
            oneRound = oneRound || (fabsf(f.sysCpu - pair.sys.cpu) < 0.01f &&
                                    fabsf(f.procCpu - pair.proc.cpu) < 0.01f);
        }
        EXPECT_TRUE(oneRound) << "system " << pair.sys.cpu << " with process " << pair.proc.cpu;
    }
    // Skipped rounds count into the next published one: the round at :32
    // covers rounds 4 to 6, (14 + 15 + 16) and (4 + 5 + 6) ticks of 300.
    ASSERT_EQ(5u, published.size());
    EXPECT_FLOAT_EQ(15.0f, published[2].sysCpu);
    EXPECT_FLOAT_EQ(5.0f, published[2].procCpu);
}

}  // namespace
