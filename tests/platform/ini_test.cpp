// INI parsing: what a line means, which value a lookup sees, and loading files.
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <string>

#include "platform/ini_parse.h"
#include "support/log_capture.h"

namespace {

// Key looked up in section "s": its text (null: absent) and its integer
// (kvo_ini_file_get_int with the default 77).
// clang-format off
const struct { const char *text, *key, *want; int wantInt; } kLookups[] = {
    {"  [ s ]  \n\t k \t=  -7 w \t\r\n", "k", "-7 w", -7}, {"[s]\nk = a=b\n", "k", "a=b", 0},
    {"[s]\nk = 1;0;/x ; y#z", "k", "1;0;/x ; y#z", 1}, {"[s]\n[t\nk = 010", "k", "010", 10},
    {"[s]\nk =\n", "k", "", 0}, {"[s]\n;k = v\n", ";k", nullptr, 77},
    {"[s]\n  # k = w\n", "# k", nullptr, 77}, {"[s]\nk v\n = v\n", "k v", nullptr, 77},
    {"[s]\nk = 1\nk = 2\n", "k", "2", 2}, {"[s]\nk=1\n[t]\nk=2\n[s]\nj=3\n", "k", "1", 1},
    {"[s]\nj=1\n[t]\nk=2\n[s]\nk=3\n", "k", "3", 3}, {"[S]\nk = v\n[s]\nK = v\n", "k", nullptr, 77},
    {"[s]\nk = 0x10", "k", "0x10", 0}, {"[s]\nk = 99999999999", "k", "99999999999", INT_MAX},
    {"[s]\nk = -99999999999", "k", "-99999999999", INT_MIN}};
// clang-format on

TEST(IniParse, LookupsFollowTheLineRules) {
    for (const auto& c : kLookups) {
        kvo_ini_file_st* ini = KvoIniParse(c.text, strlen(c.text));
        EXPECT_STREQ(c.want, kvo_ini_file_get(ini, "s", c.key)) << c.text;
        EXPECT_EQ(c.wantInt, kvo_ini_file_get_int(ini, "s", c.key, 77)) << c.text;
        kvo_ini_file_free(ini);
    }
}

int Collect(const char*, const char* key, const char* value, void* context) {
    *static_cast<std::string*>(context) += std::string(key) + "=" + value + "|";
    return 1;  // a non-zero answer must not cut the enumeration short
}

TEST(IniFile, LoadsAnyLineLengthEnumeratesInFileOrderAndRefusesWhatCannotBeRead) {
    TempDir dir;
    const std::string longValue(100000, 'x');
    std::string path =
        dir.Write("a.ini", "[g]\nio = 30;80\n[o]\nx=1\n[g]\nio = 5\nl = " + longValue);
    kvo_ini_file_st* ini = kvo_ini_file_load(path.c_str());
    std::string seen;
    EXPECT_EQ(3, kvo_ini_file_enum_section(ini, "g", Collect, &seen));
    EXPECT_EQ("io=30;80|io=5|l=" + longValue + "|", seen);
    kvo_ini_file_free(ini);
    // clang-format off
    const std::pair<std::string, int> refused[] = {{dir.Path(), EISDIR}, {dir.File("none"), ENOENT},
        {dir.Write("huge.ini", std::string(kKvoIniMaxBytes + 1, ';')), EFBIG}};
    // clang-format on
    for (const auto& r : refused) {
        errno = 0;
        EXPECT_EQ(nullptr, kvo_ini_file_load(r.first.c_str()));
        EXPECT_EQ(r.second, errno) << r.first;
    }
}

}  // namespace
