// The sampler's figures between two reads of a fake /proc, and its rounds on a
// fake clock: no two published rounds share a time text, so the collector never
// pairs figures of two rounds.
#include "sampler.h"

#include <gtest/gtest.h>
#include <math.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "collector/collector.h"
#include "collector_test_util.h"

namespace {

// /proc of process 42 as text (a missing file cannot be read), the clock and
// the local time as the test sets them.
struct FakeProc : SamplerEnv {
    std::map<std::string, std::string> files;
    int64_t nowMs = 0;
    struct tm now = {};
    FakeProc() { now.tm_year = 121, now.tm_mon = 2, now.tm_mday = 4, now.tm_hour = 10; }
    bool ReadFile(const std::string& path, std::string* text) override {
        auto it = files.find(path);
        if (it == files.end()) return false;
        *text = it->second;
        return true;
    }
    int64_t MonotonicMs() override { return nowMs; }
    void LocalNow(struct tm* out) override { *out = now; }
};

// One read: the first line of /proc/stat, the process's utime + stime as two
// fields, its io file (null: unreadable) and the clock.
struct ProcRead {
    std::string stat;
    uint64_t utime, stime;
    const char* io;
    int64_t ms;
};

void Load(FakeProc* proc, const ProcRead& read) {
    proc->files["/proc/stat"] = read.stat + "\ncpu0 1 2 3 4\n";
    proc->files["/proc/42/stat"] = "42 (a) b) S 1 1 1 0 -1 4194304 5 0 0 0 " +
                                   std::to_string(read.utime) + " " + std::to_string(read.stime) +
                                   " 0 0 20 0 1\n";
    if (read.io != nullptr) {
        proc->files["/proc/42/io"] = read.io;
    } else {
        proc->files.erase("/proc/42/io");
    }
    proc->nowMs = read.ms;
}

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
    FakeProc proc;
    proc.now.tm_min = 20;
    uint64_t total = 1000, busy = 100, ticks = 10;
    const auto load = [&](int k) {
        Load(&proc,
             {"cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(total - busy) + " 0 0 0 0",
              ticks, 0, nullptr, 1000 * k});
    };
    CSampler sampler(42, &proc);
    std::string system, process;
    load(0);
    ASSERT_FALSE(sampler.Sample(&system, &process));  // the baseline
    std::vector<_SampleFigures> published;
    int k = 0;
    for (const Round& r : kRounds) {
        ++k;
        SCOPED_TRACE(k);
        // Every round has its own figures: system 10 + k percent, process k.
        total += 100;
        busy += 10 + static_cast<uint64_t>(k);
        ticks += static_cast<uint64_t>(k);
        proc.now.tm_sec = r.second;
        load(k);
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

// busy = total - idle - iowait (guest time is inside user), the process's share
// = 100 x its ticks / total ticks, io speeds per second; backwards counts 0.
TEST(Sampler, FiguresBetweenTwoReads) {
    const char* io1 = "rchar: 9\nread_bytes: 1000\nwrite_bytes: 0\n";
    const char* io2 = "rchar: 1\nread_bytes: 3000\nwrite_bytes: 500\n";
    const char *stat1 = "cpu  100 0 100 700 100 0 0 0 50 0",
               *stat2 = "cpu  200 0 200 1300 300 0 0 0 90 0";
    // clang-format off
    const struct { const char* name; ProcRead before, after; float sys, proc; int32_t ior, iow; } cases[] = {
        {"figures", {stat1, 10, 5, io1, 1000}, {stat2, 60, 55, io2, 1500}, 20, 10, 4000, 1000},
        {"io unreadable before", {stat1, 10, 5, nullptr, 1000}, {stat2, 10, 5, io2, 1500}, 20, 0, 0, 0},
        {"io unreadable after", {stat1, 10, 5, io1, 1000}, {stat2, 10, 5, nullptr, 1500}, 20, 0, 0, 0},
        {"backwards", {stat2, 60, 55, io2, 1000}, {stat1, 10, 5, io1, 1500}, 0, 0, 0, 0},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeProc proc;
        CSampler sampler(42, &proc);
        std::string system, process;
        Load(&proc, c.before);
        EXPECT_FALSE(sampler.Sample(&system, &process));  // the baseline
        EXPECT_TRUE(system.empty() && process.empty());
        Load(&proc, c.after);
        ASSERT_TRUE(sampler.Sample(&system, &process));
        EXPECT_FLOAT_EQ(c.sys, sampler.Figures().sysCpu);
        EXPECT_FLOAT_EQ(c.proc, sampler.Figures().procCpu);
        EXPECT_EQ(c.ior, sampler.Figures().iorspeed);
        EXPECT_EQ(c.iow, sampler.Figures().iowspeed);
        EXPECT_NE(std::string::npos, process.find("2021/3/4 10:0:0")) << process;
        proc.files.erase("/proc/42/stat");  // the process ended
        EXPECT_FALSE(sampler.Sample(&system, &process));
    }
}

}  // namespace
