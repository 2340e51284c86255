// kvo-config's check on small files and machines of the test's choosing: the
// profile and its reason, where each value came from, and what counts as a problem.
#include "config_check.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace {

// /proc texts from memory; a machine of `cpus` processors at `mhz`, `gib` of memory.
struct Machine : ConfigEnv {
    Machine(unsigned int c, const char* mhz, unsigned long long gib) : cpus(c) {
        probes["/proc/cpuinfo"] = std::string("cpu MHz\t\t: ") + mhz + "\n";
        probes["/proc/meminfo"] = "MemTotal:  " + std::to_string(gib * 1048576) + " kB\n";
    }
    bool ReadProbe(const char* path, std::string* text) override {
        *text = probes[path];
        return true;
    }
    unsigned int CpuCount() override { return cpus; }
    int IsVirtualMachine() override { return 0; }
    std::map<std::string, std::string> probes;
    unsigned int cpus;
};

const char kProfiles[] = "[adapt_cpu]\nsys_max = 40\nadjust_cycle = 10\n[td_cpu]\nsys_max = 20\n";

struct CheckCase {
    const char* name;
    std::string text;
    unsigned int cpus;
    int status;
    std::vector<const char*> want;  // lines (or parts) the report must hold
};

const CheckCase kCases[] = {
    {"a capable machine reads adapt_cpu",
     kProfiles,
     16,
     kConfigClean,
     {"profile: [adapt_cpu], because 16 processors above env.cpu_cnt",
      "[adapt_cpu] sys_max = 40%  (file)", "[adapt_cpu] proc_min = 5%  (default)",
      "[td_cpu] is not read on this machine", "result: clean"}},
    {"two processors take td_cpu",
     kProfiles,
     2,
     kConfigClean,
     {"profile: [td_cpu], because 2 processors, at most env.cpu_cnt = 2",
      "[td_cpu] sys_max = 20%  (file)", "[td_cpu] adjust_cycle = 15 samples  (default)"}},
    {"a slow machine takes td_cpu",
     std::string(kProfiles) + "[env]\ncpu_clock_speed = 5000\n",
     4,
     kConfigClean,
     {"because 9600 MHz summed, at most env.cpu_clock_speed x cpu_cnt = 10000"}},
    {"the switch forces td_cpu",
     std::string(kProfiles) + "[env]\ntd_switch = 1\n",
     16,
     kConfigClean,
     {"profile: [td_cpu], because env.td_switch is on"}},
    {"an out-of-range value is clipped",
     "[adapt_cpu]\nadjust_cycle = 900\nsys_max = -5\n",
     16,
     kConfigProblems,
     {"[adapt_cpu] adjust_cycle = 600 samples  (file: clipped from 900)",
      "[adapt_cpu] sys_max = -5: outside its range, used as 100"}},
    {"text that is no number",
     "[adapt_cpu]\nsys_max = abc\n[user_behavior]\nbehavior_switch = 5\n",
     16,
     kConfigProblems,
     {"[adapt_cpu] sys_max = abc: not a whole number, reads as 0",
      "[user_behavior] behavior_switch = 5: a switch is 0 or 1, reads as 1"}},
    {"unknown names",
     "stray = 1\n[envv]\ntd_switch = 1\n[env]\ncpus = 4\n[exclusions_path]\n"
     "count = 1\n0 = 1;1;/x\n1 = 1;1;/y\n",
     16,
     kConfigProblems,
     {"'stray' stands before any [section]", "[envv]: unknown section", "[env] cpus: unknown key",
      "[exclusions_path] 1: not \"count\" nor an entry below it", "result: 4 problem(s)"}},
    {"thread limits the scheduler refuses",
     "[thread_cpulimit]\nok = 20\nzero = 0\nhigh = 150\nhalf = 0.5\n",
     16,
     kConfigProblems,
     {"  ok = 20\n", "  high = 150  (refused by the scheduler)",
      "[thread_cpulimit] zero = 0: the scheduler accepts 0.1 to 100",
      "[thread_cpulimit] half = 0.5: not a whole number, reads as 0", "result: 3 problem(s)"}},
    {"CPU groups",
     "[cpu_group]\nscan = 20;60\nbad = x;150\n",
     16,
     kConfigProblems,
     {"  scan: using 20, not using 60", "  bad: using 0, not using 100",
      "'x' is not a number, reads as 0", "[cpu_group] bad = x;150: outside 0..100"}},
    {"the IO scene reads only adapt_io",
     "[type]\nscenes_type = 1\n[adapt_io]\nproc_read_max = 20\n",
     16,
     kConfigClean,
     {"scene: IO", "[adapt_io] proc_read_max = 20 MiB  (file)",
      "[adapt_io] proc_write_max = 30 MiB  (default)"}},
};

TEST(ConfigCheck, ExplainsProfileOriginsAndProblems) {
    TempDir dir;
    for (const CheckCase& c : kCases) {
        Machine machine(c.cpus, "2400", 32);
        std::string report;
        const int status = CheckConfigFile(dir.Write("kvo.ini", c.text), &machine, &report);
        EXPECT_EQ(c.status, status) << c.name << "\n" << report;
        for (const char* want : c.want)
            EXPECT_NE(std::string::npos, report.find(want)) << c.name << ": " << want << "\n"
                                                            << report;
    }
}

TEST(ConfigCheck, AnUnreadableFileIsStatusTwoAndTheLibraryStaysQuiet) {
    LogCapture log;
    Machine machine(16, "2400", 32);
    std::string report;
    EXPECT_EQ(kConfigUnreadable, CheckConfigFile("/nonexistent/kvo.ini", &machine, &report));
    EXPECT_NE(std::string::npos, report.find("cannot read /nonexistent/kvo.ini")) << report;
    // A readable file: the library's own lines go to the checker, not to the log.
    TempDir dir;
    CheckConfigFile(dir.Write("kvo.ini", kProfiles), &machine, &report);
    EXPECT_EQ("", log.Text());
}

}  // namespace
