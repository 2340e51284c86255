// kvo-config's check on small files and machines of the test's choosing: the
// profile and its reason, where each value came from, and what counts as a problem.
#include "config_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"

namespace {

// A machine of `cpus` processors at 2400 MHz with 32 GiB of memory.
struct Machine : ConfigEnv {
    explicit Machine(unsigned int c) : cpus(c) {}
    bool ReadProbe(const char*, std::string* text) override {
        *text = "cpu MHz\t\t: 2400\nMemTotal:  33554432 kB\n";  // /proc/cpuinfo and /meminfo
        return true;
    }
    unsigned int CpuCount() override { return cpus; }
    int IsVirtualMachine() override { return 0; }
    unsigned int cpus;
};

const char kProfiles[] = "[adapt_cpu]\nsys_max = 40\nadjust_cycle = 10\n[td_cpu]\nsys_max = 20\n";

// Lines (or parts) the report must hold.
// clang-format off
const struct { const char* name; unsigned int cpus; int status; std::string text;
               std::vector<const char*> want; } kCases[] = {
    {"a capable machine reads adapt_cpu", 16, kConfigClean, kProfiles,
     {"profile: [adapt_cpu], because 16 processors above env.cpu_cnt", "result: clean",
      "[adapt_cpu] sys_max = 40%  (file)", "[td_cpu] is not read on this machine"}},
    {"two processors take td_cpu", 2, kConfigClean, kProfiles,
     {"profile: [td_cpu], because 2 processors, at most env.cpu_cnt = 2",
      "[td_cpu] sys_max = 20%  (file)", "[td_cpu] adjust_cycle = 15 samples  (default)"}},
    {"clipped", 16, kConfigProblems, "[adapt_cpu]\nadjust_cycle = 900\nsys_max = -5\n",
     {"[adapt_cpu] adjust_cycle = 600 samples  (file: clipped from 900)",
      "[adapt_cpu] sys_max = -5: outside its range, used as 100"}},
    {"text that is no number", 16, kConfigProblems, "[adapt_cpu]\nsys_max = abc\n",
     {"[adapt_cpu] sys_max = abc: not a whole number, reads as 0"}},
    {"unknown names", 16, kConfigProblems, "stray = 1\n[envv]\ntd_switch = 1\n[env]\ncpus = 4\n",
     {"'stray' stands before any [section]", "[envv]: unknown section", "[env] cpus: unknown key",
      "result: 3 problem(s)"}},
    {"thread limits the scheduler refuses", 16, kConfigProblems,
     "[thread_cpulimit]\nok = 20\nzero = 0\nhigh = 150\n",
     {"  ok = 20\n", "  high = 150  (refused by the scheduler)",
      "[thread_cpulimit] zero = 0: the scheduler accepts 0.1 to 100", "result: 2 problem(s)"}},
    {"CPU groups", 16, kConfigProblems, "[cpu_group]\nscan = 20;60\nbad = x;150\n",
     {"  scan: using 20, not using 60", "  bad: using 0, not using 100",
      "'x' is not a number, reads as 0", "[cpu_group] bad = x;150: outside 0..100"}},
};
// clang-format on

// The library's own lines go to the checker's report, not to the log.
TEST(ConfigCheck, ExplainsProfileOriginsAndProblems) {
    LogCapture log;
    TempDir dir;
    for (const auto& c : kCases) {
        Machine machine(c.cpus);
        std::string report;
        const int status = CheckConfigFile(dir.Write("kvo.ini", c.text), &machine, &report);
        EXPECT_EQ(c.status, status) << c.name << "\n" << report;
        for (const char* want : c.want)
            EXPECT_NE(std::string::npos, report.find(want)) << c.name << ": " << want << "\n"
                                                            << report;
    }
    EXPECT_EQ("", log.Text());
}

}  // namespace
