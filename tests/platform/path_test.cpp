// Paths: the "@" base directory and the lexical transforms.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/env.h"
#include "platform/kvo_base.h"
#include "support/log_capture.h"

namespace {

std::string Transform(const char* in) {
    char out[4096];
    EXPECT_EQ(0, kvo_dirutils_path_transform(in, out, sizeof(out))) << in;
    return out;
}

std::string RealDir(const char* path) {
    char real[PATH_MAX];
    std::string text = realpath(path, real) != nullptr ? real : "";
    return text.substr(0, text.rfind('/'));
}

// "@" is $KVO_BASE_DIR, else the directory of the file that holds the code:
// this program, or a library holding it, as libkvo_vurizeda.so does. A base
// directory that does not exist is replaced by the code's own, with one warning.
// A library loaded through a link (a packaged lib/ linked from elsewhere) still
// finds its installation: "@" is the directory of the real file.
TEST(PathTransform, LeadingAtIsTheBaseDirectory) {
    TempDir base;
    const std::string exeDir = RealDir("/proc/self/exe");
    ScopedEnv env("KVO_BASE_DIR", base.Path().c_str());
    EXPECT_EQ(base.Path() + "/../config/x.ini", Transform("@/../config/x.ini"));
    LogCapture log;
    ScopedEnv missing("KVO_BASE_DIR", "/nonexistent/kvo/lib");
    KvoEnvForgetWarning("KVO_BASE_DIR");
    EXPECT_EQ(exeDir + "/x", Transform("@/x"));
    EXPECT_EQ(log.Messages("WARN"),
              std::vector<std::string>{"KVO_BASE_DIR=\"/nonexistent/kvo/lib\": not a "
                                       "directory; using the library's directory " +
                                       exeDir});
    char out[4096], exe[PATH_MAX];
    EXPECT_NE(0, kvo_dirutils_path_transform("@/x", out, 8));
    EXPECT_STREQ("", out);
    unsetenv("KVO_BASE_DIR");  // unset: the directory of the file holding the code
    const std::string link = base.File("libprobe.so");
    ASSERT_EQ(0, symlink(KVO_PLATFORM_PROBE_LIB, link.c_str()));
    kvo_dll_t probe = nullptr;
    ASSERT_EQ(0, kvo_dll_open(link.c_str(), &probe));
    void* address = nullptr;
    ASSERT_EQ(0, kvo_dll_get_addr(probe, "kvo_probe_path_transform", &address));
    ASSERT_EQ(0, reinterpret_cast<int (*)(const char*, char*, size_t)>(address)("@/x", out, 4096));
    EXPECT_EQ(RealDir(KVO_PLATFORM_PROBE_LIB) + "/x", out);
    EXPECT_NE(exeDir, RealDir(KVO_PLATFORM_PROBE_LIB));
    kvo_dll_close(probe);
    ASSERT_EQ(0, kvo_path_get_cur_proc_a(out, sizeof(out)));
    EXPECT_STREQ(realpath("/proc/self/exe", exe), out);
}

TEST(PathText, FormatIsLexicalAndOnlyTheLastComponentLosesItsExtension) {
    auto* const F = kvo_path_format_a;
    auto* const X = kvo_path_remove_ext_a;
    // clang-format off
    const struct { void (*apply)(char*); const char* in; const char* want; } cases[] = {
        {F, "/opt//kvo///lib/", "/opt/kvo/lib"}, {F, "///", "/"}, {F, "/a/b/../../..", "/"},
        {F, "a/b/../c", "a/c"}, {F, "a/../../../b", "../../b"}, {F, "./a/", "a"}, {F, "a/..", "."},
        {F, "", ""}, {X, "/opt/host.bin", "/opt/host"}, {X, "a/b.c/d", "a/b.c/d"},
        {X, "a/b.tar.gz", "a/b.tar"}, {X, "/home/u/.profile", "/home/u/.profile"}, {X, "f.", "f"}};
    // clang-format on
    for (const auto& c : cases) {
        char buffer[256];
        snprintf(buffer, sizeof(buffer), "%s", c.in);
        c.apply(buffer);
        EXPECT_STREQ(c.want, buffer) << c.in;
    }
}

}  // namespace
