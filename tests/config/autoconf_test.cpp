// LoadAutoConfig: the key table, the profile choice over injected machines, the IO
// scene, reloading, and files that cannot be loaded; CPU groups (CpuGroupIniCb,
// LoadCpuGroups) and exclusion paths (StrSplit, ParsePath, LoadExclusionPath).
#include "config/autoconf.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <map>
#include <thread>
#include <tuple>

#include "config/config_env.h"
#include "platform/kvo_word.h"
#include "support/log_capture.h"

namespace {

using Fields = std::map<std::string, double>;
using Strings = std::vector<std::string>;
constexpr double kMiB = 1048576.0;
const std::string kNoFile = "\x01";  // a probe that cannot be opened

std::string CpuInfo(const char* mhz) { return std::string("cpu MHz\t\t: ") + mhz + "\n"; }
std::string MemInfo(unsigned long long gib) {
    return "MemFree: 1 kB\nMemTotal:  " + std::to_string(gib * 1048576) + " kB\n";
}

// Every field of the record but the group list, by its key's name (the field's name).
Fields Flatten(const _Autoconf& c) {
#define KVO_FIELD(part, name) \
    { #name, double(c.part.name) }
    // clang-format off
    return {{"scenes_type", c.scenes_type},
            KVO_FIELD(io_conf, proc_read_min),   KVO_FIELD(io_conf, proc_read_max),
            KVO_FIELD(io_conf, proc_write_min),  KVO_FIELD(io_conf, proc_write_max),
            KVO_FIELD(env_conf, td_switch),      KVO_FIELD(env_conf, virtual_evn),
            KVO_FIELD(env_conf, xp_switch),      KVO_FIELD(env_conf, ssd_switch),
            KVO_FIELD(env_conf, cpu_clock_speed), KVO_FIELD(env_conf, cpu_cnt),
            KVO_FIELD(env_conf, sys_mem),        KVO_FIELD(cpu_conf, sys_max),
            KVO_FIELD(cpu_conf, proc_min),       KVO_FIELD(cpu_conf, proc_default),
            KVO_FIELD(cpu_conf, collect_gap),    KVO_FIELD(cpu_conf, adjust_cycle),
            KVO_FIELD(cpu_conf, sys_max_unused), KVO_FIELD(behavior_conf, behavior_switch),
            KVO_FIELD(behavior_conf, allow_time)};
    // clang-format on
#undef KVO_FIELD
}

// Every field differs from the defaults, so "left as it was" and "reset" tell apart.
// clang-format off
const _Autoconf kSeeded{{11, 22, 33, 44}, {12.5f, 2.5f, 42.5f, 33, 44, 55.5f},
                        {1, 1, 1, 0, 7, 1234, 9.5f}, {1, 7000}, 0, {}};
// clang-format on

// The fixture is also the machine for the probes: /proc texts from memory, where
// kNoFile fails with ENOENT.
class AutoconfTest : public ::testing::Test, public ConfigEnv {
protected:
    bool ReadProbe(const char* path, std::string* text) override {
        *text = probes[path];
        errno = ENOENT;
        return *text != kNoFile;
    }
    unsigned int CpuCount() override { return cpus; }
    int IsVirtualMachine() override { return vm; }
    uint32_t Load(const std::string& ini, const char* path = nullptr) {
        log.Clear();
        return LoadAutoConfig(&conf, path ? path : dir.Write("kvo.ini", ini).c_str(), this);
    }

    std::map<std::string, std::string> probes{{"/proc/cpuinfo", CpuInfo("3000.000")},
                                              {"/proc/meminfo", MemInfo(32)}};
    unsigned int cpus = 16;
    int vm = 0;
    TempDir dir;
    LogCapture log{2};  // up to INFO: the debug trail is not under test
    _Autoconf conf = kSeeded;
};

// One row per key, in reading order: texts and the value each stores. "profile" is
// [td_cpu], chosen by td_switch = 1. Every row also checks that the other keys,
// absent, leave their fields seeded, or set the switches' absent values.
// clang-format off
const struct { const char *section, *key; std::vector<std::pair<const char*, double>> cases; }
kKeyTable[] = {
    {"type", "scenes_type", {{"7", 1}, {"0", 0}, {"-1", 0}, {"2147483648", 0}}},
    {"adapt_io", "proc_read_max",
     {{"20", 20 * kMiB}, {"0", 0}, {"10241", 10240 * kMiB}, {"-1", 10240 * kMiB}, {"abc", 0},
      {"12abc", 12 * kMiB}, {"99999999999", 10240 * kMiB}}},
    {"adapt_io", "proc_write_max", {{"30", 30 * kMiB}, {"-1", 10240 * kMiB}}},
    {"env", "td_switch", {{"5", 1}, {"0", 0}, {"-1", 1}}},
    {"env", "virtual_evn", {{"1", 1}, {"0", 0}}},
    {"env", "xp_switch", {{"0", 0}, {"7", 1}}},
    {"env", "ssd_switch", {{"5", 2}, {"1", 1}, {"0", 0}, {"-5", 0}}},
    {"env", "cpu_clock_speed", {{"20000", 10000}, {"9999", 9999}}},
    {"env", "cpu_cnt", {{"1000", 256}, {"255", 255}}},
    {"env", "sys_mem", {{"0", 2}, {"2", 2}, {"3", 3}, {"256", 256}, {"300", 256}}},
    {"profile", "sys_max", {{"150", 100}, {"-5", 100}, {"99", 99}, {"0", 0}}},
    {"profile", "proc_min", {{"5", 5}, {"101", 100}}},
    {"profile", "proc_default", {{"50", 50}, {"-1", 100}}},
    {"profile", "collect_gap", {{"0", 1}, {"2", 2}, {"600", 600}, {"601", 600}}},
    {"profile", "adjust_cycle", {{"0", 1}, {"15", 15}, {"601", 600}}},
    {"profile", "sys_max_unused", {{"80", 80}, {"150", 100}}},
    {"user_behavior", "behavior_switch", {{"9", 1}, {"0", 0}}},
    {"user_behavior", "allow_time", {{"0", 1000}, {"3600", 3600000}, {"5000", 3600000}}},
};
// clang-format on

// The IO scene reads its two keys and nothing else, and probes nothing; the CPU
// scene also writes the four switches that have an absent value.
TEST_F(AutoconfTest, EachKeyIsConvertedAndBoundedAndTouchesOnlyItsField) {
    const std::string others = "[env]\ncpu_cnt = 9\n[td_cpu]\nsys_max = 1\n";
    for (const auto& row : kKeyTable) {
        const std::string section = row.section;
        for (const auto& [text, value] : row.cases) {
            SCOPED_TRACE(section + "/" + row.key + " = " + text);
            std::string ini = "[" + section + "]\n";
            if (section == "adapt_io") ini = "[type]\nscenes_type = 1\n" + others + ini;
            if (section == "profile") ini = "[env]\ntd_switch = 1\n[td_cpu]\n";
            ini += std::string(row.key) + " = " + text + "\n";
            conf = kSeeded;
            ASSERT_EQ(Load(ini), KVO_OK);
            Fields want = Flatten(kSeeded);
            if (section == "adapt_io" || (section == "type" && value == 1)) {
                want["scenes_type"] = 1;
                // The only line: the probes, which always log, did not run.
                EXPECT_EQ(log.LevelMessages(), Strings{"INFO current is scenes type io"});
            } else {
                want["td_switch"] = section == "profile" ? 1 : 0;
                want["virtual_evn"] = want["behavior_switch"] = 0;
                want["xp_switch"] = 1;
            }
            want[row.key] = value;
            EXPECT_EQ(Flatten(conf), want);
        }
    }
    conf.scenes_type = 1;  // from an earlier load: a file without [type] stays in the IO scene
    ASSERT_EQ(Load(others), KVO_OK);
    EXPECT_EQ(Flatten(conf).at("cpu_cnt"), 7);
    // A file that cannot be loaded leaves the record as it was and says why.
    const std::string path = dir.File("missing.ini");
    conf = kSeeded;
    EXPECT_EQ(Load("", path.c_str()), KVO_E_FAIL);
    EXPECT_EQ(Flatten(conf), Flatten(kSeeded));
    EXPECT_EQ(log.LevelMessages(),
              Strings{"WARN load " + path + " with error(2), use default configs now"});
}

// The probes and the chosen limits are logged in order (checked where listed).
TEST_F(AutoconfTest, ProfileFollowsTheMachineAndIsLogged) {
    const std::string fast = CpuInfo("3000.000"), big = MemInfo(32), no = strerror(ENOENT);
    const std::string limits =
        "INFO current cpu limit config syscpu(11.000000), proc cpu min(5.000000), gap(1), "
        "cycle(15)";
    const std::string td = "INFO auto perf current use td_cpu config";
    // clang-format off
    const struct { const char* name; unsigned int cpus; std::string cpuinfo, meminfo; int vm;
                   const char *env, *want; Strings log = {}; } cases[] = {
        {"td_switch forces td_cpu", 16, fast, big, 0, "td_switch = 1\n", "td_cpu"},
        {"virtual_evn on a virtual machine", 16, fast, big, 1, "virtual_evn = 1\n", "td_cpu"},
        {"virtual_evn on real hardware", 16, fast, big, 0, "virtual_evn = 1\n", "adapt_cpu"},
        {"processors at the threshold, clock above", 2, CpuInfo("10001"), big, 0, "", "td_cpu"},
        {"summed clock at the threshold", 4, CpuInfo("5000.999"), big, 0, "", "td_cpu"},
        {"summed clock below the threshold", 4, CpuInfo("2400.000"), MemInfo(8), 0, "", "td_cpu",
         {"INFO current system mem is 8.00", "INFO current system cpu clock speed is 2400", td,
          limits}},
        {"cpu MHz of 0 goes on, any case matches", 16,
         "cpu MHz : 0.000\nCPU mhz : 1000\ncpu MHz : 3000\n", big, 0, "", "td_cpu"},
        {"no cpu MHz line skips the clock rule", 4, "processor\t: 0\n", MemInfo(8), 0, "",
         "adapt_cpu"},
        {"no probe opens: 2.00 GiB", 16, kNoFile, kNoFile, 0, "", "td_cpu",
         {"WARN Cannot open /proc/meminfo:" + no, "INFO current system mem is 2.00",
          "WARN Cannot open /proc/cpuinfo:" + no, td, limits}},
        {"memory at sys_mem", 16, fast, MemInfo(16), 0, "sys_mem = 16\n", "td_cpu"},
        {"memory beyond 32 bits of kB", 16, fast, MemInfo(4097), 0, "", "adapt_cpu"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AutoconfSetDefaults(&conf);  // the thresholds of the worked machines
        probes = {{"/proc/cpuinfo", c.cpuinfo}, {"/proc/meminfo", c.meminfo}};
        cpus = c.cpus;
        vm = c.vm;
        // Only the chosen section is read: the other one's sys_max has no effect.
        ASSERT_EQ(Load(std::string("[env]\n") + c.env +
                       "[td_cpu]\nsys_max = 11\n[adapt_cpu]\nsys_max = 22\n"),
                  KVO_OK);
        EXPECT_EQ(conf.cpu_conf.sys_max, strcmp(c.want, "td_cpu") == 0 ? 11.0f : 22.0f);
        EXPECT_TRUE(log.Has("INFO", std::string("auto perf current use ") + c.want + " config"));
        EXPECT_EQ(c.log.empty() ? c.log : log.LevelMessages(), c.log);
    }
}

// The host may set the minimum while the controller reloads the file: the
// reload touches the shared CPU words only as whole words, and a minimum the
// file does not name stays the host's.
TEST_F(AutoconfTest, ReloadWhileTheHostSetsTheMinimumKeepsTheHostsValue) {
    const std::string path = dir.Write("kvo.ini", "[adapt_cpu]\nsys_max = 40\n");
    std::atomic<bool> stop{false}, stored{false};
    std::thread host([&] {
        for (float value = 1.0f; !stop.load(); value = value == 1.0f ? 2.0f : 1.0f) {
            WordStore(conf.cpu_conf.proc_min, value);
            stored.store(true);
        }
    });
    while (!stored.load()) std::this_thread::yield();
    for (int i = 0; i < 50; ++i) ASSERT_EQ(LoadAutoConfig(&conf, path.c_str(), this), KVO_OK);
    stop.store(true);
    host.join();
    const float minimum = WordLoad(conf.cpu_conf.proc_min);
    EXPECT_TRUE(minimum == 1.0f || minimum == 2.0f) << minimum;
    EXPECT_EQ(WordLoad(conf.cpu_conf.sys_max), 40.0f);
}

using Group = std::tuple<std::string, float, float>;
using Groups = std::vector<Group>;

Groups GroupsOf(const _Autoconf& conf) {
    Groups groups;
    for (const _CpuGroupConf& g : conf.groups)
        groups.emplace_back(g.name, g.using_limit, g.not_using_limit);
    return groups;
}

// Each entry appends one record with both limits bounded, in file order over
// every [cpu_group]; a load rebuilds the list, a failed one keeps it.
TEST(CpuGroups, LoadAppendsOneBoundedRecordPerEntryInFileOrder) {
    // clang-format off
    const std::tuple<const char*, float, float> cases[] = {
        {"30;80", 30, 80}, {"150;-5", 100, 0}, {"inf;-inf", 100, 0}, {"45", 45, 45},
        {"30;", 30, 0}, {";70", 0, 70}, {"nan;50", 0, 50}, {"20;60;90", 20, 60},
        {"12.5;87.25", 12.5f, 87.25f}};
    // clang-format on
    std::string text = "[cpu_group]\n";
    Groups want;
    for (const auto& [value, using_limit, not_using_limit] : cases) {
        text += "io = " + std::string(value) + "\n";
        want.emplace_back("io", using_limit, not_using_limit);
    }
    text += "[other]\nx = 1;2\n[cpu_group]\nscan = 10;20\n";
    want.emplace_back("scan", 10, 20);
    TempDir dir;
    _Autoconf conf{};
    conf.groups.push_back({"stale", 1, 1});
    EXPECT_EQ(LoadCpuGroups(&conf, dir.File("missing.ini").c_str()), KVO_E_FAIL);
    EXPECT_EQ(GroupsOf(conf), (Groups{{"stale", 1, 1}}));
    const std::string ini = dir.Write("kvo.ini", text);
    for (int load = 0; load < 2; ++load) {
        ASSERT_EQ(LoadCpuGroups(&conf, ini.c_str()), KVO_OK);
        EXPECT_EQ(GroupsOf(conf), want);
    }
    EXPECT_EQ(CpuGroupIniCb(nullptr, "io", "30;80", &conf), 1);  // any null argument
    EXPECT_EQ(CpuGroupIniCb("s", nullptr, "30;80", &conf), 1);
    EXPECT_EQ(CpuGroupIniCb("s", "io", nullptr, &conf), 1);
    EXPECT_EQ(CpuGroupIniCb("s", "io", "30;80", nullptr), 1);
    EXPECT_EQ(GroupsOf(conf), want);
}

// Entries are "kind;relative;path", split at each ';' (no separator: no pieces):
// kind 1 gives nothing, relative 0 appends to the running program's path without
// extension, only three fields count, and the count is bounded.
TEST(ExclusionPaths, SplitCountAndEntriesDecideThePaths) {
    // clang-format off
    const std::pair<const char*, Strings> splits[] = {
        {"a;b;c", {"a", "b", "c"}}, {"a;;c", {"a", "", "c"}}, {"a;b;", {"a", "b", ""}},
        {"abc", {}}};
    // clang-format on
    for (const auto& [text, pieces] : splits) {
        Strings got = {"kept"}, want = {"kept"};  // appends to what is there
        want.insert(want.end(), pieces.begin(), pieces.end());
        StrSplit(text, ';', got);
        EXPECT_EQ(got, want) << text;
    }
    char stem[4096] = {0};
    kvo_path_get_cur_proc_a(stem, sizeof stem);
    kvo_path_remove_ext_a(stem);
    const std::string overlong = "/" + std::string(10000, 'p');
    // clang-format off
    const std::tuple<std::string, uint32_t, Strings> cases[] = {
        {"count = 8\n0 = 0;1;/var//log/\n1 = 1;1;/skipped\n2 = 0;1\n3 = 0;1;/a;b\n5 = 0;0;_data\n"
         "6 = 2;7;/opt/x/../y\n7 = 0;1;" + overlong + "\n8 = 0;1;/past\n",
         KVO_OK, {"/var/log", stem + std::string("_data"), "/opt/y", overlong.substr(0, 4095)}},
        {"count = 0\n0 = 0;1;/a\n", KVO_OK, {}},
        {"0 = 0;1;/a\n", KVO_E_FAIL, {}},
        {"count = -1\n0 = 0;1;/first\n4095 = 0;1;/last\n4096 = 0;1;/beyond\n", KVO_OK,
         {"/first", "/last"}},
    };
    // clang-format on
    TempDir dir;
    for (const auto& [entries, result, want] : cases) {
        kvo_ini_file_st* file =
            kvo_ini_file_load(dir.Write("kvo.ini", "[exclusions_path]\n" + entries).c_str());
        ASSERT_NE(file, nullptr);
        Strings paths;
        EXPECT_EQ(ReadExclusionPaths(file, paths), result) << entries.substr(0, 40);
        EXPECT_EQ(LoadExclusionPath(file), result);
        EXPECT_EQ(paths, want);
        kvo_ini_file_free(file);
    }
}

}  // namespace
