// Logger: exact prefix, one whole line per write, level filtering, errno kept,
// nothing left open when the library holding it is unloaded.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "platform/kvo_base.h"
#include "platform/log_sink.h"
#include "support/log_capture.h"

namespace {

TEST(Log, LinesCarryTheExactPrefixAndKeepErrno) {
    LogCapture log(KVO_LOG_INFO);
    const int line = __LINE__ + 1;
    KVO_LOGI("hello %d", 5);
    char want[128];
    snprintf(want, sizeof(want), "[PID:%-5ld]\t[INFO]\t[kvo_vurizeda] [log_test.cpp(%d)] hello 5\n",
             static_cast<long>(getpid()), line);
    EXPECT_EQ(want, log.Text());
    ScopedEnv unwritable("KVO_LOG_FILE", "/nonexistent/kvo.log");  // open fails: stderr
    KvoLogReloadSettings();
    errno = EDOM;  // callers log between a failing call and reading errno
    KVO_LOGW("to standard error");
    EXPECT_EQ(EDOM, errno);
}

// One write() per line to an O_APPEND file: lines written at once by two
// threads never interleave, and an overlong one is cut, not split.
TEST(Log, EachCallWritesOneWholeLine) {
    LogCapture log;
    kvo_log_output(KVO_LOG_ERROR, "ooo\n");
    kvo_log_output(KVO_LOG_ERROR, "%s", std::string(20000, 'x').c_str());
    auto write = [](char c) {
        for (int i = 0; i < 300; ++i)
            kvo_log_output(KVO_LOG_ERROR, "%s", std::string(999, c).c_str());
    };
    std::thread other(write, 'a');
    write('b');
    other.join();
    std::vector<LogLine> lines = log.Lines();
    ASSERT_EQ(602u, lines.size());
    EXPECT_EQ("ooo", lines[0].raw);
    EXPECT_GT(lines[1].raw.size(), 1000u);
    for (const LogLine& l : lines)
        ASSERT_EQ(l.raw.npos, l.raw.find_first_not_of(l.raw[0])) << l.raw;
}

// A level that cannot be used is replaced and said so once, whatever the level.
TEST(Log, LevelSettingFiltersHigherLevels) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "0\n1\n2\n"}, {"0", "0\n"}, {"3", "0\n1\n2\n3\n"},
        {"2x", "WARN KVO_LOG_LEVEL=\"2x\": not a whole number (range 0..3); using 2\n0\n1\n2\n"},
        {"9", "WARN KVO_LOG_LEVEL=\"9\": above the range 0..3; using 3\n0\n1\n2\n3\n"},
        {"-4", "WARN KVO_LOG_LEVEL=\"-4\": below the range 0..3; using 0\n0\n"}};
    // clang-format on
    for (const auto& [level, want] : cases) {
        LogCapture log;
        ScopedEnv setting("KVO_LOG_LEVEL", level);
        KvoLogReloadSettings();
        for (int l = KVO_LOG_ERROR; l <= KVO_LOG_DEBUG; ++l) kvo_log_output(l, "%d", l);
        kvo_log_output(KVO_LOG_ERROR, "again");  // the warning came once
        std::string seen;
        for (const LogLine& line : log.Lines())
            seen += (line.level.empty() ? line.raw : line.level + " " + line.message) + "\n";
        EXPECT_EQ(std::string(want) + "again\n", seen) << (level ? level : "(unset)");
    }
}

size_t OpenDescriptors() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

// A host that loads and unloads the library again and again must not collect
// one open log file per load; lines written before each unload are kept.
TEST(Log, AnUnloadedLibraryLeavesNoLogFileOpen) {
    LogCapture log(KVO_LOG_INFO);
    const size_t before = OpenDescriptors();
    for (int cycle = 0; cycle < 3; ++cycle) {
        void* probe = dlopen(KVO_PLATFORM_PROBE_LIB, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, probe) << dlerror();
        reinterpret_cast<void (*)(const char*)>(dlsym(probe, "kvo_probe_log"))("from the probe");
        ASSERT_EQ(0, dlclose(probe));
    }
    EXPECT_EQ(before, OpenDescriptors());
    EXPECT_EQ(3, log.Count("INFO", "from the probe"));
}

}  // namespace
