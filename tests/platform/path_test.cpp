// Paths: the "@" base directory and the lexical transforms.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/kvo_base.h"

namespace {

// Sets or clears KVO_BASE_DIR for one test and restores it afterwards.
class BaseDirEnv {
public:
    explicit BaseDirEnv(const char* value) {
        const char* old = getenv("KVO_BASE_DIR");
        m_had = old != nullptr;
        if (m_had) m_old = old;
        if (value != nullptr) {
            setenv("KVO_BASE_DIR", value, 1);
        } else {
            unsetenv("KVO_BASE_DIR");
        }
    }
    ~BaseDirEnv() {
        if (m_had) {
            setenv("KVO_BASE_DIR", m_old.c_str(), 1);
        } else {
            unsetenv("KVO_BASE_DIR");
        }
    }

private:
    bool m_had = false;
    std::string m_old;
};

std::string Transform(const char* in) {
    char out[4096];
    EXPECT_EQ(0, kvo_dirutils_path_transform(in, out, sizeof(out))) << in;
    return out;
}

std::string ExecutableDirectory() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) return "";
    std::string path(exe, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

TEST(PathTransform, LeadingAtIsTheBaseDirectoryFromTheEnvironment) {
    BaseDirEnv env("/opt/kvo/lib");
    EXPECT_EQ("/opt/kvo/lib/../config/kvo_vurizeda.ini", Transform("@/../config/kvo_vurizeda.ini"));
    EXPECT_EQ("/opt/kvo/lib", Transform("@"));
    EXPECT_EQ("/etc/a@b", Transform("/etc/a@b"));
    EXPECT_EQ("x/@/y", Transform("x/@/y"));
    EXPECT_EQ("", Transform(""));
}

TEST(PathTransform, WithoutTheEnvironmentAtIsTheDirectoryOfTheCode) {
    // The platform code is linked into this test program.
    const std::string want = ExecutableDirectory() + "/../lib/libkvo_comm.so";
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        BaseDirEnv env(value);
        EXPECT_EQ(want, Transform("@/../lib/libkvo_comm.so"));
    }
}

// Production case: the platform code lives inside a shared library, and "@" is
// that library's directory, not the program's.
TEST(PathTransform, InsideASharedLibraryAtIsTheLibraryDirectory) {
    BaseDirEnv env(nullptr);
    kvo_dll_t probe = nullptr;
    ASSERT_EQ(0, kvo_dll_open(KVO_PLATFORM_PROBE_LIB, &probe));
    void* address = nullptr;
    ASSERT_EQ(0, kvo_dll_get_addr(probe, "kvo_probe_path_transform", &address));
    auto transform = reinterpret_cast<int (*)(const char*, char*, size_t)>(address);
    char out[4096];
    ASSERT_EQ(0, transform("@/../config/kvo_vurizeda.ini", out, sizeof(out)));
    char libDir[PATH_MAX];
    ASSERT_NE(nullptr, realpath(KVO_PLATFORM_PROBE_LIB, libDir));
    std::string dir(libDir);
    dir.resize(dir.rfind('/'));
    EXPECT_EQ(dir + "/../config/kvo_vurizeda.ini", std::string(out));
    EXPECT_NE(ExecutableDirectory(), dir) << "the probe must live apart from the program";
    kvo_dll_close(probe);
}

TEST(PathTransform, TooSmallABufferFailsWithAnEmptyResult) {
    BaseDirEnv env("/opt/kvo/lib");
    char out[8] = "garbage";
    EXPECT_NE(0, kvo_dirutils_path_transform("@/x", out, sizeof(out)));
    EXPECT_STREQ("", out);
    char exact[5];
    EXPECT_EQ(0, kvo_dirutils_path_transform("/abc", exact, sizeof(exact)));
    EXPECT_STREQ("/abc", exact);
    EXPECT_NE(0, kvo_dirutils_path_transform("/abcd", exact, sizeof(exact)));
}

TEST(PathCurrentProcess, IsTheExecutable) {
    char path[4096];
    ASSERT_EQ(0, kvo_path_get_cur_proc_a(path, sizeof(path)));
    EXPECT_EQ(ExecutableDirectory(), std::string(path).substr(0, std::string(path).rfind('/')));
    EXPECT_NE(std::string::npos, std::string(path).find("test_platform"));
    char tiny[4];
    EXPECT_NE(0, kvo_path_get_cur_proc_a(tiny, sizeof(tiny)));
}

struct TextCase {
    const char* in;
    const char* want;
};

TEST(PathFormat, CanonicalFormIsLexical) {
    const TextCase cases[] = {
        {"/opt//kvo///lib", "/opt/kvo/lib"},
        {"/opt/kvo/lib/", "/opt/kvo/lib"},
        {"/opt/./kvo/.", "/opt/kvo"},
        {"/opt/kvo/lib/../config/kvo.ini", "/opt/kvo/config/kvo.ini"},
        {"/a/b/../../..", "/"},
        {"/..", "/"},
        {"/", "/"},
        {"///", "/"},
        {"a/b/../c", "a/c"},
        {"../a", "../a"},
        {"a/../../b", "../b"},
        {"./a/", "a"},
        {"a/..", "."},
        {"", ""},
        {"/usr/bin/hostdata/x", "/usr/bin/hostdata/x"},
    };
    for (const auto& c : cases) {
        char buffer[256];
        snprintf(buffer, sizeof(buffer), "%s", c.in);
        kvo_path_format_a(buffer);
        EXPECT_STREQ(c.want, buffer) << c.in;
    }
}

TEST(PathRemoveExt, OnlyTheLastComponentLosesItsExtension) {
    const TextCase cases[] = {
        {"/opt/host.bin", "/opt/host"},
        {"/opt/host", "/opt/host"},
        {"a/b.c/d", "a/b.c/d"},
        {"a/b.tar.gz", "a/b.tar"},
        {"/home/u/.profile", "/home/u/.profile"},
        {"file.", "file"},
        {"noext", "noext"},
        {"", ""},
    };
    for (const auto& c : cases) {
        char buffer[256];
        snprintf(buffer, sizeof(buffer), "%s", c.in);
        kvo_path_remove_ext_a(buffer);
        EXPECT_STREQ(c.want, buffer) << c.in;
    }
}

}  // namespace
