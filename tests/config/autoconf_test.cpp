// LoadAutoConfig: the key table, the profile choice over injected machines, the IO
// scene, reloading, and files that are missing or malformed.
#include "config/autoconf.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <optional>

#include "config/config_env.h"
#include "config/config_test_util.h"

namespace {

using kvo_test::CpuInfo;
using kvo_test::kGiB;
using kvo_test::MemInfo;
using Fields = std::map<std::string, double>;

constexpr double kMiB = 1048576.0;

// Every field of the record but the group list, by the name of its key.
Fields Flatten(const _Autoconf& c) {
    return {
        {"scenes_type", c.scenes_type},
        {"proc_read_min", static_cast<double>(c.io_conf.proc_read_min)},
        {"proc_read_max", static_cast<double>(c.io_conf.proc_read_max)},
        {"proc_write_min", static_cast<double>(c.io_conf.proc_write_min)},
        {"proc_write_max", static_cast<double>(c.io_conf.proc_write_max)},
        {"td_switch", c.env_conf.td_switch},
        {"virtual_evn", c.env_conf.virtual_evn},
        {"xp_switch", c.env_conf.xp_switch},
        {"ssd_switch", c.env_conf.ssd_switch},
        {"cpu_clock_speed", c.env_conf.cpu_clock_speed},
        {"cpu_cnt", c.env_conf.cpu_cnt},
        {"sys_mem", c.env_conf.sys_mem},
        {"sys_max", c.cpu_conf.sys_max},
        {"proc_min", c.cpu_conf.proc_min},
        {"proc_default", c.cpu_conf.proc_default},
        {"collect_gap", c.cpu_conf.collect_gap},
        {"adjust_cycle", c.cpu_conf.adjust_cycle},
        {"sys_max_unused", c.cpu_conf.sys_max_unused},
        {"behavior_switch", c.behavior_conf.behavior_switch},
        {"allow_time", c.behavior_conf.allow_time},
    };
}

// A record whose every field differs from the defaults, so "left as it was" and
// "reset to a default" tell apart.
_Autoconf Seeded() {
    _Autoconf c{};
    AutoconfSetDefaults(&c);
    c.io_conf = _IoConf{11, 22, 33, 44};
    c.env_conf = _EnvConf{1, 1, 1, 0, 7, 1234, 9.5f};
    c.cpu_conf = _CpuConf{12.5f, 2.5f, 42.5f, 33, 44, 55.5f};
    c.behavior_conf = _UserBehaviorconf{1, 7000};
    return c;
}

class AutoconfTest : public ::testing::Test {
protected:
    AutoconfTest() : m_env(m_dir), m_ini(m_dir.File("kvo.ini")) {
        SetMachine(16, CpuInfo(16, "3000.000"), MemInfo(32 * kGiB));
        conf = Seeded();
    }

    void SetMachine(unsigned int cpus, std::optional<std::string> cpuinfo,
                    std::optional<std::string> meminfo) {
        m_env.cpus = cpus;
        m_env.SetProbe("/proc/cpuinfo", cpuinfo ? cpuinfo->c_str() : nullptr);
        m_env.SetProbe("/proc/meminfo", meminfo ? meminfo->c_str() : nullptr);
    }

    uint32_t Load(const std::string& ini) {
        WriteFile(m_ini, ini);
        return LoadPath(m_ini);
    }

    uint32_t LoadPath(const std::string& path) {
        m_log.Clear();
        m_env.opened.clear();
        return LoadAutoConfig(&conf, path.c_str(), &m_env);
    }

    TempDir m_dir;
    LogCapture m_log{2};  // up to INFO: the debug trail is not under test
    kvo_test::FakeConfigEnv m_env;
    std::string m_ini;
    _Autoconf conf;
};

TEST_F(AutoconfTest, DefaultsAreTheConstructorValues) {
    _Autoconf c{};
    AutoconfSetDefaults(&c);
    const Fields want = {
        {"scenes_type", 0},
        {"proc_read_min", 7 * kMiB},
        {"proc_read_max", 70 * kMiB},
        {"proc_write_min", 3 * kMiB},
        {"proc_write_max", 30 * kMiB},
        {"td_switch", 0},
        {"virtual_evn", 0},
        {"xp_switch", 1},
        {"ssd_switch", 2},
        {"cpu_clock_speed", 10000},
        {"cpu_cnt", 2},
        {"sys_mem", 2.0},
        {"sys_max", 30.0},
        {"proc_min", 5.0},
        {"proc_default", 50.0},
        {"collect_gap", 1},
        {"adjust_cycle", 15},
        {"sys_max_unused", 30.0},
        {"behavior_switch", 1},
        {"allow_time", 0},
    };
    EXPECT_EQ(Flatten(c), want);
    EXPECT_TRUE(c.groups.empty());
}

constexpr const char* kAbsent = nullptr;
constexpr const char* kOverflow = "99999999999";

// One row per key of the table: texts and the value each stores. Section "profile"
// is [td_cpu], chosen by td_switch = 1; kAbsent: the section holds no such key (the
// seeded value, or the key's absent value, remains).
struct KeyRow {
    const char* section;
    const char* key;
    std::vector<std::pair<const char*, double>> cases;
};

// clang-format off
const KeyRow kKeyTable[] = {
    {"type", "scenes_type", {{"7", 1}, {"1", 1}, {"0", 0}, {"-1", 0}, {"abc", 0},
        {"2147483647", 1}, {"2147483648", 0}, {kOverflow, 0}, {kAbsent, 0}}},
    {"adapt_io", "proc_read_max", {{"20", 20 * kMiB}, {"0", 0}, {"4096", 4096 * kMiB},
        {"10239", 10239 * kMiB}, {"10240", 10240 * kMiB}, {"10241", 10240 * kMiB},
        {"-1", 10240 * kMiB}, {"abc", 0}, {"12abc", 12 * kMiB}, {"+5", 5 * kMiB},
        {kOverflow, 10240 * kMiB}, {kAbsent, 44}}},
    {"adapt_io", "proc_write_max", {{"30", 30 * kMiB}, {"-1", 10240 * kMiB}, {kAbsent, 22}}},
    {"env", "td_switch", {{"5", 1}, {"0", 0}, {"-1", 1}, {"abc", 0}, {kAbsent, 0}}},
    {"env", "virtual_evn", {{"1", 1}, {"0", 0}, {kAbsent, 0}}},
    {"env", "xp_switch", {{"0", 0}, {"7", 1}, {kAbsent, 1}}},
    {"env", "ssd_switch", {{"5", 2}, {"2", 2}, {"1", 1}, {"0", 0}, {"-5", 0}, {"abc", 0},
        {kOverflow, 0}, {kAbsent, 1}}},
    {"env", "cpu_clock_speed", {{"20000", 10000}, {"10000", 10000}, {"9999", 9999}, {"0", 0},
        {"-1", 10000}, {kAbsent, 1234}}},
    {"env", "cpu_cnt", {{"1000", 256}, {"256", 256}, {"255", 255}, {"0", 0}, {"-1", 256},
        {kAbsent, 7}}},
    {"env", "sys_mem", {{"0", 2}, {"1", 2}, {"2", 2}, {"3", 3}, {"255", 255}, {"256", 256},
        {"300", 256}, {"-1", 256}, {"abc", 2}, {kAbsent, 9.5}}},
    {"profile", "sys_max", {{"150", 100}, {"-5", 100}, {"100", 100}, {"99", 99}, {"0", 0},
        {"abc", 0}, {kOverflow, 100}, {kAbsent, 12.5}}},
    {"profile", "proc_min", {{"5", 5}, {"101", 100}, {kAbsent, 2.5}}},
    {"profile", "proc_default", {{"50", 50}, {"-1", 100}, {kAbsent, 42.5}}},
    {"profile", "collect_gap", {{"0", 1}, {"1", 1}, {"2", 2}, {"599", 599}, {"600", 600},
        {"601", 600}, {"-1", 600}, {"abc", 1}, {kAbsent, 33}}},
    {"profile", "adjust_cycle", {{"0", 1}, {"15", 15}, {"600", 600}, {"601", 600},
        {kAbsent, 44}}},
    {"profile", "sys_max_unused", {{"80", 80}, {"150", 100}, {kAbsent, 55.5}}},
    {"user_behavior", "behavior_switch", {{"1", 1}, {"9", 1}, {"0", 0}, {kAbsent, 0}}},
    {"user_behavior", "allow_time", {{"0", 1000}, {"1", 1000}, {"2", 2000},
        {"3599", 3599000}, {"3600", 3600000}, {"5000", 3600000}, {"-1", 3600000},
        {kAbsent, 7000}}},
};
// clang-format on

std::string IniFor(const KeyRow& row, const char* text) {
    const std::string line =
        text != kAbsent ? std::string(row.key) + " = " + text + "\n" : "unrelated = 1\n";
    const std::string section = row.section;
    if (section == "adapt_io") return "[type]\nscenes_type = 1\n[adapt_io]\n" + line;
    if (section == "profile") return "[env]\ntd_switch = 1\n[td_cpu]\n" + line;
    return "[" + section + "]\n" + line;
}

// The seeded record after a load of IniFor(row, text): the key's own field changes;
// the CPU scene also writes the four switches that have a value for an absent key.
Fields Expected(const KeyRow& row, double value) {
    Fields want = Flatten(Seeded());
    const std::string section = row.section;
    const bool io = section == "adapt_io" || (section == "type" && value == 1);
    if (io) {
        want["scenes_type"] = 1;
    } else {
        want["td_switch"] = section == "profile" ? 1 : 0;
        want["virtual_evn"] = 0;
        want["xp_switch"] = 1;
        want["behavior_switch"] = 0;
    }
    want[row.key] = value;
    return want;
}

TEST_F(AutoconfTest, EachKeyIsConvertedAndBoundedAndTouchesOnlyItsField) {
    for (const KeyRow& row : kKeyTable) {
        for (const auto& [text, value] : row.cases) {
            SCOPED_TRACE(std::string(row.section) + "/" + row.key + " = " +
                         (text != kAbsent ? text : "<absent>"));
            conf = Seeded();
            ASSERT_EQ(Load(IniFor(row, text)), KVO_OK);
            EXPECT_EQ(Flatten(conf), Expected(row, value));
        }
    }
}

TEST_F(AutoconfTest, KeysOfTheProfileNotChosenHaveNoEffect) {
    ASSERT_EQ(Load("[env]\ntd_switch = 1\n[adapt_cpu]\nsys_max = 77\nproc_min = 7\n"
                   "collect_gap = 9\nadjust_cycle = 9\nsys_max_unused = 77\nproc_default = 7\n"),
              KVO_OK);
    const Fields seed = Flatten(Seeded());
    const Fields got = Flatten(conf);
    for (const char* key :
         {"sys_max", "proc_min", "proc_default", "collect_gap", "adjust_cycle", "sys_max_unused"}) {
        EXPECT_EQ(got.at(key), seed.at(key)) << key;
    }
}

struct ProfileCase {
    const char* name;
    unsigned int cpus;
    std::optional<std::string> cpuinfo;  // nullopt: the file cannot be opened
    std::optional<std::string> meminfo;
    int vm;
    const char* env;  // lines of [env]
    const char* want;
};

std::vector<ProfileCase> ProfileCases() {
    const std::string fast = CpuInfo(16, "3000.000");
    const std::string big = MemInfo(32 * kGiB);
    return {
        {"4x2400 MHz, 8 GiB: 9600 MHz summed", 4, CpuInfo(4, "2400.000"), MemInfo(8 * kGiB), 0, "",
         "td_cpu"},
        {"16x3000 MHz, 32 GiB", 16, fast, big, 0, "", "adapt_cpu"},
        {"td_switch forces td_cpu", 16, fast, big, 0, "td_switch = 1\n", "td_cpu"},
        {"virtual_evn on a virtual machine", 16, fast, big, 1, "virtual_evn = 1\n", "td_cpu"},
        {"virtual_evn on real hardware", 16, fast, big, 0, "virtual_evn = 1\n", "adapt_cpu"},
        {"virtual machine without virtual_evn", 16, fast, big, 1, "", "adapt_cpu"},
        {"processors at the threshold", 2, CpuInfo(2, "3000.000"), big, 0, "", "td_cpu"},
        {"no processor count", 0, fast, big, 0, "", "td_cpu"},
        {"lower processor threshold passes", 2, CpuInfo(2, "3000.000"), big, 0,
         "cpu_cnt = 1\ncpu_clock_speed = 5999\n", "adapt_cpu"},
        {"summed clock at the threshold", 4, CpuInfo(4, "5000.999"), big, 0, "", "td_cpu"},
        {"summed clock one above", 4, CpuInfo(4, "5001"), big, 0, "", "adapt_cpu"},
        {"no cpu MHz line skips the clock rule", 4, std::string("processor\t: 0\n"),
         MemInfo(8 * kGiB), 0, "", "adapt_cpu"},
        {"cpuinfo cannot be opened", 4, std::nullopt, MemInfo(8 * kGiB), 0, "", "adapt_cpu"},
        {"cpu MHz matched ignoring case", 16, std::string("CPU mhz : 1000\n"), big, 0, "",
         "td_cpu"},
        {"cpu MHz of 0 does not end the search", 16,
         std::string("cpu MHz : 0.000\ncpu MHz : 1000\ncpu MHz : 3000\n"), big, 0, "", "td_cpu"},
        {"cpu MHz line without a colon is skipped", 16,
         std::string("cpu MHz 1000\ncpu MHz : 3000\n"), big, 0, "", "adapt_cpu"},
        {"meminfo cannot be opened: 2.00 GiB", 16, fast, std::nullopt, 0, "", "td_cpu"},
        {"MemTotal of 0, then 1 GiB", 16, fast,
         std::string("MemTotal: 0 kB\nMemTotal: 1048576 kB\n"), 0, "", "td_cpu"},
        {"MemTotal of 0 only: no figure", 16, fast, std::string("MemTotal: 0 kB\n"), 0, "",
         "adapt_cpu"},
        {"unreadable MemTotal keeps 2 GiB and ends the search", 16, fast,
         std::string("MemTotal: junk\nMemTotal: 33554432 kB\n"), 0, "", "td_cpu"},
        {"lower-case memtotal is not the line", 16, fast, std::string("memtotal: 33554432 kB\n"), 0,
         "", "td_cpu"},
        {"memory at the sys_mem threshold", 16, fast, MemInfo(16 * kGiB), 0, "sys_mem = 16\n",
         "td_cpu"},
        {"memory above the sys_mem threshold", 16, fast, MemInfo(17 * kGiB), 0, "sys_mem = 16\n",
         "adapt_cpu"},
        {"memory figure beyond 32 bits of kB", 16, fast, MemInfo(4096 * kGiB + kGiB), 0, "",
         "adapt_cpu"},
        {"long line before MemTotal", 16, fast,
         std::string(100000, 'x') + "\nMemTotal: 33554432 kB\n", 0, "", "adapt_cpu"},
    };
}

TEST_F(AutoconfTest, ProfileFollowsTheMachine) {
    for (const ProfileCase& c : ProfileCases()) {
        SCOPED_TRACE(c.name);
        conf = _Autoconf{};
        AutoconfSetDefaults(&conf);  // the thresholds of the worked machines
        SetMachine(c.cpus, c.cpuinfo, c.meminfo);
        m_env.vm = c.vm;
        ASSERT_EQ(Load(std::string("[env]\n") + c.env +
                       "[td_cpu]\nsys_max = 11\n[adapt_cpu]\nsys_max = 22\n"),
                  KVO_OK);
        const bool weak = strcmp(c.want, "td_cpu") == 0;
        EXPECT_EQ(conf.cpu_conf.sys_max, weak ? 11.0f : 22.0f);
        const auto messages = m_log.LevelMessages();
        const std::string line = std::string("INFO auto perf current use ") + c.want + " config";
        EXPECT_NE(std::find(messages.begin(), messages.end(), line), messages.end());
    }
}

TEST_F(AutoconfTest, VirtualMachineIsAskedOnlyWhenTheSwitchIsOn) {
    m_env.vm = 1;
    ASSERT_EQ(Load("[env]\nvirtual_evn = 0\n"), KVO_OK);
    EXPECT_EQ(m_env.vm_calls, 0);
    ASSERT_EQ(Load("[env]\nvirtual_evn = 1\n"), KVO_OK);
    EXPECT_EQ(m_env.vm_calls, 1);
}

TEST_F(AutoconfTest, CpuSceneLogsTheProbesAndTheChosenLimits) {
    AutoconfSetDefaults(&conf);
    SetMachine(4, CpuInfo(4, "2400.000"), MemInfo(8 * kGiB));
    ASSERT_EQ(Load("[td_cpu]\nsys_max = 25\n"), KVO_OK);
    const std::vector<std::string> want = {
        "INFO current system mem is 8.00",
        "INFO current system cpu clock speed is 2400",
        "INFO auto perf current use td_cpu config",
        "INFO current cpu limit config syscpu(25.000000), proc cpu min(5.000000), gap(1), "
        "cycle(15)",
    };
    EXPECT_EQ(m_log.LevelMessages(), want);
    EXPECT_EQ(m_env.opened, (std::vector<std::string>{"/proc/meminfo", "/proc/cpuinfo"}));
    EXPECT_EQ(m_env.cpu_count_calls, 1);
}

TEST_F(AutoconfTest, UnreadableProbesAreReportedAndLoadingGoesOn) {
    AutoconfSetDefaults(&conf);
    SetMachine(16, std::nullopt, std::nullopt);
    ASSERT_EQ(Load("[adapt_cpu]\nsys_max = 22\n[td_cpu]\nsys_max = 11\n"), KVO_OK);
    const std::string missing = strerror(ENOENT);
    const std::vector<std::string> want = {
        "WARN Cannot open /proc/meminfo:" + missing,
        "INFO current system mem is 2.00",
        "WARN Cannot open /proc/cpuinfo:" + missing,
        "INFO auto perf current use td_cpu config",
        "INFO current cpu limit config syscpu(11.000000), proc cpu min(5.000000), gap(1), "
        "cycle(15)",
    };
    EXPECT_EQ(m_log.LevelMessages(), want);
}

TEST_F(AutoconfTest, IoSceneReadsOnlyTheIoLimitsAndProbesNothing) {
    ASSERT_EQ(Load("[type]\nscenes_type = 7\n[adapt_io]\nproc_read_max = 20\nproc_write_max = 0\n"
                   "[env]\ntd_switch = 1\ncpu_cnt = 9\n[td_cpu]\nsys_max = 1\n[adapt_cpu]\n"
                   "sys_max = 1\n[user_behavior]\nbehavior_switch = 0\nallow_time = 9\n"),
              KVO_OK);
    Fields want = Flatten(Seeded());
    want["scenes_type"] = 1;
    want["proc_read_max"] = 20 * kMiB;
    want["proc_write_max"] = 0;
    EXPECT_EQ(Flatten(conf), want);
    EXPECT_EQ(m_log.LevelMessages(), std::vector<std::string>{"INFO current is scenes type io"});
    EXPECT_TRUE(m_env.opened.empty());
    EXPECT_EQ(m_env.cpu_count_calls, 0);
    EXPECT_EQ(m_env.vm_calls, 0);
}

TEST_F(AutoconfTest, ReloadKeepsEarlierValuesWhereTheFileIsSilent) {
    AutoconfSetDefaults(&conf);
    ASSERT_EQ(Load("[env]\nssd_switch = 0\ncpu_cnt = 4\nxp_switch = 0\n[adapt_cpu]\nsys_max = 40\n"
                   "adjust_cycle = 30\n[user_behavior]\nbehavior_switch = 1\nallow_time = 60\n"),
              KVO_OK);
    const Fields first = Flatten(conf);
    ASSERT_EQ(Load("[env]\nsys_mem = 8\n"), KVO_OK);
    Fields want = first;
    want["sys_mem"] = 8;
    want["xp_switch"] = 1;  // absent switches take their absent value again
    want["behavior_switch"] = 0;
    EXPECT_EQ(Flatten(conf), want);
}

TEST_F(AutoconfTest, IoSceneSurvivesAFileWithoutTypeSection) {
    ASSERT_EQ(Load("[type]\nscenes_type = 1\n"), KVO_OK);
    ASSERT_EQ(Load("[adapt_io]\nproc_read_max = 3\n"), KVO_OK);
    EXPECT_EQ(conf.scenes_type, 1);
    EXPECT_EQ(conf.io_conf.proc_read_max, 3 * 1048576ull);
    EXPECT_EQ(m_log.LevelMessages(), std::vector<std::string>{"INFO current is scenes type io"});
    ASSERT_EQ(Load("[type]\nscenes_type = -1\n"), KVO_OK);
    EXPECT_EQ(conf.scenes_type, 0);
}

TEST_F(AutoconfTest, UnloadableFileLeavesTheRecordAndSaysWhy) {
    struct Case {
        std::string path;
        int error;
    };
    const Case cases[] = {{m_dir.File("missing.ini"), ENOENT}, {m_dir.Path(), EISDIR}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        conf = Seeded();
        EXPECT_EQ(LoadPath(c.path), KVO_E_FAIL);
        EXPECT_EQ(Flatten(conf), Flatten(Seeded()));
        EXPECT_EQ(m_log.LevelMessages(),
                  std::vector<std::string>{"WARN load " + c.path + " with error(" +
                                           std::to_string(c.error) + "), use default configs now"});
        EXPECT_TRUE(m_env.opened.empty());
    }
}

std::string Junk(size_t size) {
    std::string text(size, '\0');
    uint32_t state = 12345;
    for (char& c : text) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 23);
    }
    return text;
}

// Whatever the file holds, the record stays inside the key table's bounds.
void ExpectWithinBounds(const _Autoconf& c) {
    EXPECT_LE(c.io_conf.proc_read_max, 10240 * 1048576ull);
    EXPECT_LE(c.env_conf.cpu_cnt, 256u);
    EXPECT_GE(c.env_conf.sys_mem, 2.0f);
    EXPECT_LE(c.env_conf.sys_mem, 256.0f);
    EXPECT_LE(c.cpu_conf.sys_max, 100.0f);
    EXPECT_GE(c.cpu_conf.collect_gap, 1u);
    EXPECT_LE(c.cpu_conf.adjust_cycle, 600u);
    EXPECT_GE(c.behavior_conf.allow_time, 1000u);
}

TEST_F(AutoconfTest, MalformedFilesLoadWithoutHarm) {
    struct Case {
        const char* name;
        std::string text;
        const char* key;  // a field to check, or null
        double want;
    };
    const Case cases[] = {
        {"empty", "", "behavior_switch", 0},
        {"binary junk", Junk(65536), nullptr, 0},
        {"junk inside a section", "[env]\n" + Junk(4096) + "\ncpu_cnt = 3\n", "cpu_cnt", 3},
        {"100000 digits", "[env]\ncpu_cnt = " + std::string(100000, '9') + "\n", "cpu_cnt", 256},
        {"100000-character key", "[env]\n" + std::string(100000, 'k') + " = 5\ncpu_cnt = 3\n",
         "cpu_cnt", 3},
        {"sections without keys", "[env]\n[td_cpu]\n[adapt_cpu]\n[user_behavior]\n", "allow_time",
         7000},
        {"duplicate key: the last counts", "[env]\ncpu_cnt = 3\ncpu_cnt = 5\n", "cpu_cnt", 5},
        {"duplicate section continues", "[env]\ncpu_cnt = 3\n[type]\n[env]\nsys_mem = 9\n",
         "cpu_cnt", 3},
        {"key before any section", "cpu_cnt = 9\n", "cpu_cnt", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        conf = Seeded();
        EXPECT_EQ(Load(c.text), KVO_OK);
        ExpectWithinBounds(conf);
        if (c.key != nullptr) {
            EXPECT_EQ(Flatten(conf).at(c.key), c.want);
        }
    }
}

}  // namespace
