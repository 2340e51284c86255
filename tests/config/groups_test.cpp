// CPU groups (CpuGroupIniCb, LoadCpuGroups) and exclusion paths (StrSplit,
// ParsePath, LoadExclusionPath).
#include <gtest/gtest.h>

#include <tuple>

#include "config/autoconf.h"
#include "support/log_capture.h"

namespace {

using Group = std::tuple<std::string, float, float>;
using Groups = std::vector<Group>;
using Strings = std::vector<std::string>;

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
        {"30;80", 30, 80}, {"150;-5", 100, 0}, {"45", 45, 45}, {"30;", 30, 0}, {";70", 0, 70},
        {"nan;50", 0, 50}, {"inf;-inf", 100, 0}, {"20;60;90", 20, 60}, {"12.5;87.25", 12.5f, 87.25f}};
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

TEST(StrSplit, PiecesBetweenSeparatorsOrNoneWithoutSeparator) {
    // clang-format off
    const std::pair<const char*, Strings> cases[] = {
        {"a;b;c", {"a", "b", "c"}}, {"a;;c", {"a", "", "c"}}, {"a;b;", {"a", "b", ""}}, {"abc", {}}};
    // clang-format on
    for (const auto& [text, pieces] : cases) {
        Strings got = {"kept"}, want = {"kept"};  // appends to what is there
        want.insert(want.end(), pieces.begin(), pieces.end());
        StrSplit(text, ';', got);
        EXPECT_EQ(got, want) << text;
    }
}

// Entries are "kind;relative;path": kind 1 gives nothing, relative 0 appends to the
// running program's path without extension, only three fields count, and the
// count is bounded.
TEST(ExclusionPaths, CountAndEntriesDecideThePaths) {
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
        {"count = -1\n0 = 0;1;/first\n4095 = 0;1;/last\n4096 = 0;1;/beyond\n", KVO_OK, {"/first", "/last"}},
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
