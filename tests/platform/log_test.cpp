// Logger: exact prefix, one whole line per write, level filtering.
#include <ctype.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/kvo_base.h"
#include "platform/log_sink.h"
#include "support/log_capture.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Points the logger at a fresh file with the given level text for one test.
class LogFileTest : public ::testing::Test {
protected:
    void UseLevel(const char* level) {
        m_file = m_dir.Path() + "/log.txt";
        unlink(m_file.c_str());
        setenv("KVO_LOG_FILE", m_file.c_str(), 1);
        if (level != nullptr) {
            setenv("KVO_LOG_LEVEL", level, 1);
        } else {
            unsetenv("KVO_LOG_LEVEL");
        }
        KvoLogReloadSettings();
    }
    void TearDown() override {
        unsetenv("KVO_LOG_FILE");
        unsetenv("KVO_LOG_LEVEL");
        KvoLogReloadSettings();
    }
    std::string Text() const { return ReadFile(m_file); }

    TempDir m_dir;
    std::string m_file;
};

// True when line is head, a decimal line number, then tail.
bool MatchesAroundLineNumber(const std::string& line, const std::string& head,
                             const std::string& tail) {
    if (line.compare(0, head.size(), head) != 0) return false;
    size_t digits = head.size();
    while (digits < line.size() && isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
    return digits > head.size() && line.substr(digits) == tail;
}

TEST_F(LogFileTest, LinesCarryTheExactPrefix) {
    UseLevel(nullptr);
    KVO_LOGI("hello %d", 5);
    KVO_LOGE("failed: 0x%08x", 0x84ce0001u);
    char pid[16];
    snprintf(pid, sizeof(pid), "%-5ld", static_cast<long>(getpid()));
    const std::string start = std::string("[PID:") + pid + "]\t";
    auto lines = Lines(Text());
    ASSERT_EQ(2u, lines.size()) << Text();
    EXPECT_TRUE(MatchesAroundLineNumber(lines[0], start + "[INFO]\t[kvo_vurizeda] [log_test.cpp(",
                                        ")] hello 5"))
        << lines[0];
    EXPECT_TRUE(MatchesAroundLineNumber(lines[1], start + "[ERROR]\t[kvo_vurizeda] [log_test.cpp(",
                                        ")] failed: 0x84ce0001"))
        << lines[1];
}

TEST_F(LogFileTest, WritingALineKeepsErrno) {
    UseLevel("0");
    for (int level : {KVO_LOG_ERROR, KVO_LOG_DEBUG}) {
        errno = ENOENT;
        kvo_log_output(level, "x");
        EXPECT_EQ(ENOENT, errno);
    }
}

TEST_F(LogFileTest, ALineFeedIsAddedOnlyWhenMissing) {
    UseLevel(nullptr);
    kvo_log_output(KVO_LOG_ERROR, "one\n");
    kvo_log_output(KVO_LOG_ERROR, "two");
    kvo_log_output(KVO_LOG_ERROR, "%s", "");
    EXPECT_EQ("one\ntwo\n\n", Text());
}

TEST_F(LogFileTest, AVeryLongLineIsTruncatedToOneLine) {
    UseLevel(nullptr);
    std::string longText(20000, 'x');
    kvo_log_output(KVO_LOG_ERROR, "%s", longText.c_str());
    kvo_log_output(KVO_LOG_ERROR, "after");
    auto lines = Lines(Text());
    ASSERT_EQ(2u, lines.size());
    EXPECT_GT(lines[0].size(), 1000u);
    EXPECT_LT(lines[0].size(), longText.size());
    EXPECT_EQ(std::string::npos, lines[0].find_first_not_of('x'));
    EXPECT_EQ("after", lines[1]);
}

// Each line is one write() to an O_APPEND file, so lines written at the same
// time by many threads never interleave.
TEST_F(LogFileTest, ConcurrentLinesStayWhole) {
    UseLevel(nullptr);
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string body(1000, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) kvo_log_output(KVO_LOG_ERROR, "%s", body.c_str());
        });
    }
    for (auto& t : threads) t.join();
    auto lines = Lines(Text());
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    for (const auto& line : lines) {
        ASSERT_EQ(1000u, line.size());
        ASSERT_EQ(std::string::npos, line.find_first_not_of(line[0]));
    }
}

struct LevelCase {
    const char* levelText;  // null: unset
    int highestWritten;
};

TEST_F(LogFileTest, LevelSettingFiltersHigherLevels) {
    const LevelCase cases[] = {{nullptr, 2}, {"0", 0}, {"1", 1},  {"2", 2}, {"3", 3},
                               {"abc", 2},   {"", 2},  {"2x", 2}, {"9", 3}, {"-4", 0}};
    for (const auto& c : cases) {
        UseLevel(c.levelText);
        for (int level = KVO_LOG_ERROR; level <= KVO_LOG_DEBUG; ++level) {
            kvo_log_output(level, "level %d", level);
        }
        std::vector<std::string> want;
        for (int level = 0; level <= c.highestWritten; ++level) {
            want.push_back("level " + std::to_string(level));
        }
        EXPECT_EQ(want, Lines(Text())) << (c.levelText ? c.levelText : "(unset)");
    }
}

}  // namespace
