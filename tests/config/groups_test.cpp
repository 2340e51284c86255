// CPU groups (CpuGroupIniCb, LoadCpuGroups) and exclusion paths (StrSplit,
// ParsePath, LoadExclusionPath), and the shipped example file.
#include <gtest/gtest.h>

#include "config/autoconf.h"
#include "support/log_capture.h"

namespace {

struct GroupView {
    std::string name;
    float using_limit;
    float not_using_limit;
    bool operator==(const GroupView& o) const {
        return name == o.name && using_limit == o.using_limit &&
               not_using_limit == o.not_using_limit;
    }
};

std::ostream& operator<<(std::ostream& out, const GroupView& g) {
    return out << g.name << "(" << g.using_limit << ";" << g.not_using_limit << ")";
}

std::vector<GroupView> Groups(const _Autoconf& conf) {
    std::vector<GroupView> groups;
    for (const _CpuGroupConf& g : conf.groups) {
        groups.push_back({g.name, g.using_limit, g.not_using_limit});
    }
    return groups;
}

TEST(CpuGroupIniCb, ValueGivesBothLimitsEachBoundedTo0To100) {
    struct Case {
        const char* value;
        float want_using;
        float want_not_using;
    };
    const Case cases[] = {
        {"30;80", 30, 80},    {"150;-5", 100, 0},       {"45", 45, 45},
        {"30;", 30, 0},       {";70", 0, 70},           {"12.5;87.25", 12.5f, 87.25f},
        {"abc;def", 0, 0},    {"nan;50", 0, 50},        {"40;nan", 40, 0},
        {"inf;-inf", 100, 0}, {"20;60;90", 20, 60},     {" 25 ; 75 ", 25, 75},
        {"", 0, 0},           {"1e300;-1e300", 100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        _Autoconf conf{};
        EXPECT_EQ(CpuGroupIniCb("cpu_group", "io", c.value, &conf), 0);
        EXPECT_EQ(Groups(conf), (std::vector<GroupView>{{"io", c.want_using, c.want_not_using}}));
    }
}

TEST(CpuGroupIniCb, NullArgumentIsRefusedAndAppendsNothing) {
    _Autoconf conf{};
    EXPECT_EQ(CpuGroupIniCb(nullptr, "io", "30;80", &conf), 1);
    EXPECT_EQ(CpuGroupIniCb("s", nullptr, "30;80", &conf), 1);
    EXPECT_EQ(CpuGroupIniCb("s", "io", nullptr, &conf), 1);
    EXPECT_EQ(CpuGroupIniCb("s", "io", "30;80", nullptr), 1);
    EXPECT_TRUE(conf.groups.empty());
}

TEST(CpuGroupIniCb, SameNameTwiceAppendsTwoRecordsInOrder) {
    _Autoconf conf{};
    EXPECT_EQ(CpuGroupIniCb("", "io", "30;80", &conf), 0);
    EXPECT_EQ(CpuGroupIniCb("", "scan", "10", &conf), 0);
    EXPECT_EQ(CpuGroupIniCb("", "io", "20;40", &conf), 0);
    EXPECT_EQ(Groups(conf),
              (std::vector<GroupView>{{"io", 30, 80}, {"scan", 10, 10}, {"io", 20, 40}}));
}

TEST(LoadCpuGroups, RebuildsTheListFromTheSectionInFileOrder) {
    TempDir dir;
    const std::string ini = dir.File("kvo.ini");
    WriteFile(ini,
              "[cpu_group]\nscan = 20;60\nio = 30;80\n[env]\ncpu_cnt = 4\n"
              "[cpu_group]\nscan = 10\n[other]\nnot_a_group = 1;2\n");
    _Autoconf conf{};
    conf.groups.push_back({"stale", 1, 1});
    ASSERT_EQ(LoadCpuGroups(&conf, ini.c_str()), KVO_OK);
    const std::vector<GroupView> want = {{"scan", 20, 60}, {"io", 30, 80}, {"scan", 10, 10}};
    EXPECT_EQ(Groups(conf), want);
    // Loading again rebuilds rather than appends.
    ASSERT_EQ(LoadCpuGroups(&conf, ini.c_str()), KVO_OK);
    EXPECT_EQ(Groups(conf), want);
}

TEST(LoadCpuGroups, UnloadableFileLeavesTheListAsItIs) {
    TempDir dir;
    _Autoconf conf{};
    conf.groups.push_back({"kept", 5, 6});
    EXPECT_EQ(LoadCpuGroups(&conf, dir.File("missing.ini").c_str()), KVO_E_FAIL);
    EXPECT_EQ(LoadCpuGroups(&conf, dir.Path().c_str()), KVO_E_FAIL);
    EXPECT_EQ(Groups(conf), (std::vector<GroupView>{{"kept", 5, 6}}));
    WriteFile(dir.File("empty.ini"), "");
    EXPECT_EQ(LoadCpuGroups(&conf, dir.File("empty.ini").c_str()), KVO_OK);
    EXPECT_TRUE(conf.groups.empty());
}

TEST(StrSplit, PiecesBetweenSeparatorsOrNoneWithoutSeparator) {
    using Pieces = std::vector<std::string>;
    struct Case {
        const char* text;
        Pieces want;
    };
    const Case cases[] = {
        {"a;b;c", {"a", "b", "c"}},
        {"a;;c", {"a", "", "c"}},
        {"a;b;", {"a", "b", ""}},
        {"abc", {}},
        {"", {}},
        {";", {"", ""}},
        {";x", {"", "x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Pieces pieces = {"kept"};
        StrSplit(c.text, ';', pieces);
        Pieces want = {"kept"};
        want.insert(want.end(), c.want.begin(), c.want.end());
        EXPECT_EQ(pieces, want);
    }
}

// The running program's path without its extension, as relative entries start.
std::string ProgramStem() {
    char buffer[4096] = {0};
    kvo_path_get_cur_proc_a(buffer, sizeof buffer);
    kvo_path_remove_ext_a(buffer);
    return buffer;
}

TEST(ParsePath, KindRelativeAndPathMakeOnePathOrNone) {
    using Paths = std::vector<std::string>;
    struct Case {
        std::vector<std::string> fields;
        Paths want;
    };
    const Case cases[] = {
        {{"1", "1", "/a/b"}, {}},
        {{"1", "0", "_x"}, {}},
        {{"0", "1", "/var//tmp/./x/"}, {"/var/tmp/x"}},
        {{"2", "7", "/a/b/../c"}, {"/a/c"}},
        {{"x", "1", "/a"}, {"/a"}},  // a kind without digits reads as 0
        {{"0", "0", "_cache"}, {ProgramStem() + "_cache"}},
        {{"0", "abc", "_c"}, {ProgramStem() + "_c"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields[0] + ";" + c.fields[1] + ";" + c.fields[2]);
        std::vector<std::string> fields = c.fields;
        Paths paths;
        ParsePath(fields, paths);
        EXPECT_EQ(paths, c.want);
    }
}

TEST(ParsePath, OverlongPathIsCutAtTheBufferSize) {
    std::vector<std::string> fields = {"0", "1", "/" + std::string(10000, 'p')};
    std::vector<std::string> paths;
    ParsePath(fields, paths);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].size(), 4095u);
}

class ExclusionTest : public ::testing::Test {
protected:
    uint32_t Read(const std::string& text, std::vector<std::string>* paths) {
        WriteFile(m_dir.File("kvo.ini"), text);
        kvo_ini_file_st* file = kvo_ini_file_load(m_dir.File("kvo.ini").c_str());
        EXPECT_NE(file, nullptr);
        const uint32_t result = ReadExclusionPaths(file, *paths);
        EXPECT_EQ(LoadExclusionPath(file), result);
        kvo_ini_file_free(file);
        return result;
    }
    TempDir m_dir;
};

TEST_F(ExclusionTest, EntriesWithThreeFieldsBecomePaths) {
    std::vector<std::string> paths;
    ASSERT_EQ(Read("[exclusions_path]\ncount = 7\n0 = 0;1;/var//log/\n1 = 1;1;/skipped\n"
                   "2 = 0;1\n3 = 0;1;/a;b\n5 = 0;0;_data\n6 = 0;1;/opt/x/../y\n7 = 0;1;/past\n",
                   &paths),
              KVO_OK);
    EXPECT_EQ(paths, (std::vector<std::string>{"/var/log", ProgramStem() + "_data", "/opt/y"}));
}

TEST_F(ExclusionTest, CountDecidesWhatIsRead) {
    struct Case {
        const char* name;
        std::string text;
        uint32_t want_result;
        size_t want_paths;
    };
    const Case cases[] = {
        {"count 0 reads nothing", "[exclusions_path]\ncount = 0\n0 = 0;1;/a\n", KVO_OK, 0},
        {"no count fails", "[exclusions_path]\n0 = 0;1;/a\n", KVO_E_FAIL, 0},
        {"no section fails", "[env]\ncount = 1\n", KVO_E_FAIL, 0},
        {"count without digits reads as 0", "[exclusions_path]\ncount = many\n0 = 0;1;/a\n", KVO_OK,
         0},
        {"empty section", "[exclusions_path]\ncount = 3\n", KVO_OK, 0},
        {"negative count is bounded",
         "[exclusions_path]\ncount = -1\n0 = 0;1;/first\n4095 = 0;1;/last\n4096 = 0;1;/beyond\n",
         KVO_OK, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> paths;
        EXPECT_EQ(Read(c.text, &paths), c.want_result);
        EXPECT_EQ(paths.size(), c.want_paths);
    }
}

TEST_F(ExclusionTest, NullFileFails) {
    std::vector<std::string> paths;
    EXPECT_EQ(LoadExclusionPath(nullptr), KVO_E_FAIL);
    EXPECT_EQ(ReadExclusionPaths(nullptr, paths), KVO_E_FAIL);
}

#ifdef KVO_EXAMPLE_INI
// The shipped example names every key the reader knows, with values that read back
// unchanged (no clamp hides a typo).
TEST(ExampleConfig, HoldsEverySectionAndKey) {
    kvo_ini_file_st* file = kvo_ini_file_load(KVO_EXAMPLE_INI);
    ASSERT_NE(file, nullptr);
    const std::vector<std::pair<const char*, std::vector<const char*>>> sections = {
        {"type", {"scenes_type"}},
        {"adapt_io", {"proc_read_max", "proc_write_max"}},
        {"env",
         {"td_switch", "virtual_evn", "xp_switch", "ssd_switch", "cpu_clock_speed", "cpu_cnt",
          "sys_mem"}},
        {"adapt_cpu",
         {"sys_max", "proc_min", "proc_default", "collect_gap", "adjust_cycle", "sys_max_unused"}},
        {"td_cpu",
         {"sys_max", "proc_min", "proc_default", "collect_gap", "adjust_cycle", "sys_max_unused"}},
        {"user_behavior", {"behavior_switch", "allow_time"}},
        {"exclusions_path", {"count", "0"}},
        {"thread_cpulimit", {"kvo-demo-worker"}},
    };
    for (const auto& [section, keys] : sections) {
        for (const char* key : keys) {
            const char* value = kvo_ini_file_get(file, section, key);
            EXPECT_NE(value, nullptr) << section << "/" << key;
            if (value != nullptr) {
                EXPECT_NE(*value, '\0') << section << "/" << key;
            }
        }
    }
    EXPECT_EQ(kvo_ini_file_get_int(file, "thread_cpulimit", "kvo-demo-worker", 0), 20);
    std::vector<std::string> paths;
    EXPECT_EQ(ReadExclusionPaths(file, paths), KVO_OK);
    EXPECT_FALSE(paths.empty());
    kvo_ini_file_free(file);

    _Autoconf conf{};
    ASSERT_EQ(LoadCpuGroups(&conf, KVO_EXAMPLE_INI), KVO_OK);
    EXPECT_EQ(Groups(conf), (std::vector<GroupView>{{"scan", 20, 60}, {"upload", 10, 40}}));
}
#endif

}  // namespace
