// INI parsing: what a line means, which value a lookup sees, and loading files.
#include <errno.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/ini_parse.h"
#include "platform/kvo_base.h"
#include "support/log_capture.h"

namespace {

struct IniDeleter {
    void operator()(kvo_ini_file_st* f) const { kvo_ini_file_free(f); }
};
using IniPtr = std::unique_ptr<kvo_ini_file_st, IniDeleter>;

IniPtr Parse(const std::string& text) { return IniPtr(KvoIniParse(text.data(), text.size())); }

struct LookupCase {
    const char* name;
    const char* text;
    const char* section;
    const char* key;
    const char* want;  // null: absent
};

const LookupCase kLookups[] = {
    {"plain", "[s]\nk=v\n", "s", "k", "v"},
    {"blanks trimmed", "  [ s ]  \n\t k \t=  v w \t\r\n", "s", "k", "v w"},
    {"semicolon inside a value", "[cpu_group]\nio = 30;80\n", "cpu_group", "io", "30;80"},
    {"exclusion value", "[e]\n0 = 1;0;/opt/x ; y\n", "e", "0", "1;0;/opt/x ; y"},
    {"hash inside a value", "[s]\nk = a#b\n", "s", "k", "a#b"},
    {"first '=' splits", "[s]\nk = a=b\n", "s", "k", "a=b"},
    {"empty value", "[s]\nk =\n", "s", "k", ""},
    {"semicolon comment", "[s]\n;k = v\n", "s", "k", nullptr},
    {"hash comment", "[s]\n  # k = v\n", "s", "k", nullptr},
    {"no '=' is ignored", "[s]\nk v\n", "s", "k v", nullptr},
    {"empty key is ignored", "[s]\n = v\n", "s", "", nullptr},
    {"last duplicate wins", "[s]\nk = 1\nk = 2\n", "s", "k", "2"},
    {"repeated section continues", "[s]\na=1\n[t]\nb=2\n[s]\nc=3\n", "s", "c", "3"},
    {"repeated section keeps first", "[s]\na=1\n[t]\nb=2\n[s]\nc=3\n", "s", "a", "1"},
    {"before any section", "k = v\n[s]\n", "", "k", "v"},
    {"keys are case-sensitive", "[s]\nKey = v\n", "s", "key", nullptr},
    {"sections are case-sensitive", "[S]\nk = v\n", "s", "k", nullptr},
    {"other section", "[s]\nk = v\n", "t", "k", nullptr},
    {"no final line feed", "[s]\nk = v", "s", "k", "v"},
    {"CRLF lines", "[s]\r\nk = v\r\n", "s", "k", "v"},
    {"blank lines", "\n\n[s]\n\n\nk = v\n\n", "s", "k", "v"},
    {"unclosed header is ignored", "[s]\n[t\nk = v\n", "s", "k", "v"},
};

TEST(IniParse, LookupsFollowTheLineRules) {
    for (const auto& c : kLookups) {
        IniPtr ini = Parse(c.text);
        ASSERT_NE(nullptr, ini) << c.name;
        const char* got = kvo_ini_file_get(ini.get(), c.section, c.key);
        if (c.want == nullptr) {
            EXPECT_EQ(nullptr, got) << c.name;
        } else {
            ASSERT_NE(nullptr, got) << c.name;
            EXPECT_STREQ(c.want, got) << c.name;
        }
    }
}

struct IntCase {
    const char* value;
    int want;
};

TEST(IniParse, GetIntIsBaseTenWithDefaultOnlyWhenAbsent) {
    const IntCase cases[] = {{"20", 20},
                             {"-7", -7},
                             {"abc", 0},
                             {"12abc", 12},
                             {"010", 10},
                             {"0x10", 0},
                             {"", 0},
                             {"  5", 5},
                             {"99999999999", 2147483647},
                             {"-99999999999", -2147483647 - 1}};
    for (const auto& c : cases) {
        IniPtr ini = Parse(std::string("[s]\nk = ") + c.value + "\n");
        EXPECT_EQ(c.want, kvo_ini_file_get_int(ini.get(), "s", "k", 77)) << c.value;
        EXPECT_EQ(77, kvo_ini_file_get_int(ini.get(), "s", "missing", 77)) << c.value;
    }
}

using Entries = std::vector<std::pair<std::string, std::string>>;

int Collect(const char* section, const char* key, const char* value, void* context) {
    EXPECT_NE(nullptr, section);
    static_cast<Entries*>(context)->emplace_back(key, value);
    return 1;  // a non-zero answer must not cut the enumeration short
}

TEST(IniParse, EnumerationGivesEverySectionEntryInFileOrder) {
    IniPtr ini =
        Parse("[cpu_group]\nio = 30;80\nnet = 10\n[other]\nx = 1\n[cpu_group]\nio = 5;6\nui=;70\n");
    Entries seen;
    EXPECT_EQ(4, kvo_ini_file_enum_section(ini.get(), "cpu_group", Collect, &seen));
    const Entries want = {{"io", "30;80"}, {"net", "10"}, {"io", "5;6"}, {"ui", ";70"}};
    EXPECT_EQ(want, seen);
    EXPECT_STREQ("5;6", kvo_ini_file_get(ini.get(), "cpu_group", "io"));

    seen.clear();
    EXPECT_EQ(0, kvo_ini_file_enum_section(ini.get(), "absent", Collect, &seen));
    EXPECT_TRUE(seen.empty());
}

TEST(IniParse, BinaryJunkNeverCrashes) {
    uint32_t state = 12345;
    for (int round = 0; round < 200; ++round) {
        std::string junk;
        for (int i = 0; i < 512; ++i) {
            state = state * 1103515245u + 12345u;
            const char alphabet[] = {'[', ']', '=', ';', '#', '\n', '\r', ' ', '\0', 'a', '\xff'};
            junk += (state >> 8) % 3 == 0 ? alphabet[(state >> 12) % sizeof(alphabet)]
                                          : static_cast<char>(state >> 16);
        }
        IniPtr ini = Parse(junk);
        ASSERT_NE(nullptr, ini);
        kvo_ini_file_get(ini.get(), "a", "a");
        kvo_ini_file_enum_section(ini.get(), "", nullptr, nullptr);
    }
}

TEST(IniFile, LoadsFilesAndRefusesWhatCannotBeRead) {
    TempDir dir;
    std::string longValue(100000, 'x');
    std::string path = dir.Write("long.ini", "[a]\nlong = " + longValue + "\nnext = 1\n");
    IniPtr ini(kvo_ini_file_load(path.c_str()));
    ASSERT_NE(nullptr, ini);
    EXPECT_EQ(longValue, kvo_ini_file_get(ini.get(), "a", "long"));
    EXPECT_EQ(1, kvo_ini_file_get_int(ini.get(), "a", "next", 0));

    IniPtr empty(kvo_ini_file_load(dir.Write("empty.ini", "").c_str()));
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(0, kvo_ini_file_enum_section(empty.get(), "", nullptr, nullptr));

    errno = 0;
    EXPECT_EQ(nullptr, kvo_ini_file_load(dir.Path().c_str()));
    EXPECT_EQ(EISDIR, errno);
    errno = 0;
    EXPECT_EQ(nullptr, kvo_ini_file_load((dir.Path() + "/missing.ini").c_str()));
    EXPECT_EQ(ENOENT, errno);

    std::string huge = dir.Write("huge.ini", std::string(kKvoIniMaxBytes + 1, ';'));
    errno = 0;
    EXPECT_EQ(nullptr, kvo_ini_file_load(huge.c_str()));
    EXPECT_EQ(EFBIG, errno);
}

}  // namespace
