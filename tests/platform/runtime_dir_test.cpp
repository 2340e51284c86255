// The runtime directory rule: which folder per uid, and which folders are refused.
#include "platform/runtime_dir.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <string>

namespace {

// A file system of lstat records; MakeDir adds a 0700 folder of the euid.
class FakeDirEnv : public RuntimeDirEnv {
public:
    uid_t euid = 1000;
    const char* xdg = nullptr;
    std::map<std::string, struct stat> files;
    int makeError = 0;

    void Add(const std::string& path, mode_t mode, uid_t owner) {
        files[path].st_mode = mode;
        files[path].st_uid = owner;
    }
    const char* Getenv(const char* name) override {
        return std::string(name) == "XDG_RUNTIME_DIR" ? xdg : nullptr;
    }
    uid_t Euid() override { return euid; }
    int Lstat(const std::string& path, struct stat* st) override {
        if (files.count(path) == 0) return ENOENT;
        *st = files[path];
        return 0;
    }
    int MakeDir(const std::string& path) override {
        if (makeError != 0) return makeError;
        if (files.count(path) != 0) return EEXIST;
        Add(path, S_IFDIR | 0700, euid);
        return 0;
    }
};

// clang-format off
const struct { const char* what; uid_t euid; const char* xdg; mode_t xdgMode; uid_t xdgOwner;
               bool haveUserRun; const char* want; } kRules[] = {
    {"private XDG dir", 1000, "/x/1000", S_IFDIR | 0700, 1000, true, "/x/1000/kvo_comm"},
    {"XDG dir open to others", 1000, "/x/1000", S_IFDIR | 0755, 1000, true, "/run/user/1000/kvo_comm"},
    {"XDG dir of another user", 1000, "/x/1000", S_IFDIR | 0700, 1001, false, "/tmp/kvo_comm-1000"},
    {"XDG dir is a link", 1000, "/x/1000", S_IFLNK | 0700, 1000, false, "/tmp/kvo_comm-1000"},
    {"relative XDG", 1000, "x/1000", S_IFDIR | 0700, 1000, false, "/tmp/kvo_comm-1000"},
    {"no XDG, /run/user", 1000, nullptr, 0, 0, true, "/run/user/1000/kvo_comm"},
    {"nothing", 1000, nullptr, 0, 0, false, "/tmp/kvo_comm-1000"},
    {"root ignores XDG", 0, "/x/0", S_IFDIR | 0700, 0, true, "/run/kvo_comm"}};
// clang-format on

TEST(RuntimeDir, RuleChoosesTheFirstPrivatePlace) {
    for (const auto& c : kRules) {
        FakeDirEnv env;
        env.euid = c.euid;
        env.xdg = c.xdg;
        if (c.xdg != nullptr) env.Add(c.xdg, c.xdgMode, c.xdgOwner);
        if (c.haveUserRun) env.Add("/run/user/" + std::to_string(c.euid), S_IFDIR | 0700, c.euid);
        std::string dir, why;
        EXPECT_TRUE(KvoRuntimeDirIn(&env, &dir, &why)) << c.what << ": " << why;
        EXPECT_EQ(c.want, dir) << c.what;
        EXPECT_EQ(S_IFDIR | 0700, env.files[c.want].st_mode) << c.what << ": created 0700";
        EXPECT_EQ(c.want, KvoRuntimeDirOfIn(&env, c.euid)) << c.what;
    }
}

TEST(RuntimeDir, AnotherUidsDirectoryIgnoresOurXdgAndCreatesNothing) {
    FakeDirEnv env;
    env.xdg = "/x/1000";
    env.Add("/x/1000", S_IFDIR | 0700, 1001);
    env.Add("/run/user/1001", S_IFDIR | 0700, 1001);
    EXPECT_EQ("/run/user/1001/kvo_comm", KvoRuntimeDirOfIn(&env, 1001));
    EXPECT_EQ("/tmp/kvo_comm-1002", KvoRuntimeDirOfIn(&env, 1002));
    EXPECT_EQ("/run/kvo_comm", KvoRuntimeDirOfIn(&env, 0));
    EXPECT_EQ(2u, env.files.size());
}

TEST(RuntimeDir, APreparedDirectoryOthersCouldReachIsRefused) {
    const char* const kDir = "/tmp/kvo_comm-1000";
    // The folder's mode and owner (mode 0: absent and not creatable), and the reason.
    // clang-format off
    const struct { mode_t mode; uid_t owner; std::string reason; } cases[] = {
        {S_IFLNK | 0777, 1000, "is a symbolic link"}, {S_IFREG | 0600, 1000, "is not a directory"},
        {S_IFDIR | 0700, 1001, "is owned by uid 1001, not 1000"},
        {S_IFDIR | 0710, 1000, "is open to group or others (mode 0710)"},
        {S_IFDIR | 0701, 1000, "is open to group or others (mode 0701)"},
        {0, 0, "cannot create: " + std::string(strerror(EACCES))}};
    // clang-format on
    for (const auto& c : cases) {
        FakeDirEnv env;
        if (c.mode != 0) env.Add(kDir, c.mode, c.owner);
        if (c.mode == 0) env.makeError = EACCES;
        std::string dir = "unchanged", why;
        EXPECT_FALSE(KvoRuntimeDirIn(&env, &dir, &why)) << c.reason;
        EXPECT_EQ(kDir + (": " + c.reason), why);
        EXPECT_EQ("unchanged", dir);
    }
}

}  // namespace
