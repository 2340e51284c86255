// The sampler's figures between two reads of a fake /proc, and its rounds on a
// fake clock: no two published rounds share a time text.
#include "sampler.h"

#include <gtest/gtest.h>
#include <time.h>

#include <map>
#include <string>

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
    proc->files.erase("/proc/42/io");
    if (read.io != nullptr) proc->files["/proc/42/io"] = read.io;
    proc->nowMs = read.ms;
}

// Rounds on a fake clock: one in the second of the last published round (a
// late round, a clock stepped back) is skipped, as the collector pairs figures
// by time text alone; its interval counts into the next published round.
TEST(Sampler, PublishesEachRoundInALaterSecondThanTheLast) {
    FakeProc proc;
    proc.now.tm_min = 20;
    CSampler sampler(42, &proc);
    std::string system, process;
    uint64_t total = 1000, busy = 100, ticks = 10;
    // The second of 10:20:xx and whether the round is published; the first is the baseline.
    const std::pair<int, bool> rounds[] = {{0, false},  {30, true},  {30, false}, {31, true},
                                           {30, false}, {31, false}, {32, true}};
    for (int k = 0; k < 7; ++k) {
        SCOPED_TRACE(k);
        // Every round has its own figures: system 10 + k percent, process k.
        total += 100;
        busy += 10 + static_cast<uint64_t>(k);
        ticks += static_cast<uint64_t>(k);
        proc.now.tm_sec = rounds[k].first;
        Load(&proc, {"cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(total - busy), ticks,
                     0, nullptr, 1000 * k});
        ASSERT_EQ(rounds[k].second, sampler.Sample(&system, &process));
        const std::string time = "2021/3/4 10:20:" + std::to_string(rounds[k].first) + "\\\"";
        EXPECT_TRUE(!rounds[k].second || system.find(time) != std::string::npos) << system;
        EXPECT_TRUE(!rounds[k].second || process.find(time) != std::string::npos) << process;
    }
    // The round at :32 covers rounds 4 to 6, (14 + 15 + 16) and (4 + 5 + 6) ticks of 300.
    EXPECT_FLOAT_EQ(15.0f, sampler.Figures().sysCpu);
    EXPECT_FLOAT_EQ(5.0f, sampler.Figures().procCpu);
}

// busy = total - idle - iowait (guest time is inside user), the process's share
// = 100 x its ticks / total ticks, io speeds per second; backwards counts 0.
TEST(Sampler, FiguresBetweenTwoReads) {
    const char* io1 = "rchar: 9\nread_bytes: 1000\nwrite_bytes: 0\n";
    const char* io2 = "rchar: 1\nread_bytes: 3000\nwrite_bytes: 500\n";
    const char *stat1 = "cpu  100 0 100 700 100 0 0 0 50 0",
               *stat2 = "cpu  200 0 200 1300 300 0 0 0 90 0";
    // clang-format off
    const struct { ProcRead before, after; float sys, proc; int32_t ior, iow; } cases[] = {
        {{stat1, 10, 5, io1, 1000}, {stat2, 60, 55, io2, 1500}, 20, 10, 4000, 1000},
        {{stat1, 10, 5, nullptr, 1000}, {stat2, 10, 5, io2, 1500}, 20, 0, 0, 0},  // no io before
        {{stat1, 10, 5, io1, 1000}, {stat2, 10, 5, nullptr, 1500}, 20, 0, 0, 0},  // no io after
        {{stat2, 60, 55, io2, 1000}, {stat1, 10, 5, io1, 1500}, 0, 0, 0, 0},      // backwards
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
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
        proc.files.erase("/proc/42/stat");  // the process ended
        EXPECT_FALSE(sampler.Sample(&system, &process));
    }
}

}  // namespace
