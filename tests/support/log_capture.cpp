// Test helpers shared by every subsystem.
#include "support/log_capture.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/log_sink.h"

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Splits "[PID:n]\t[LEVEL]\t<tag> [file(line)] message"; only `raw` when it is not one.
// (No std::regex: GCC 12 warns inside it in the sanitizer builds.)
static LogLine ParseLogLine(const std::string& raw) {
    char level[16], tag[64], file[256];
    int end = -1;
    sscanf(raw.c_str(), "[PID:%*d ]\t[%15[^]]]\t%63s [%255[^(](%*d)]%n", level, tag, file, &end);
    if (end < 0 || raw[end] != ' ') return LogLine{"", "", "", "", raw};
    return LogLine{level, tag, file, raw.substr(end + 1), raw};
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    m_had = getenv(name) != nullptr;
    m_old = m_had ? getenv(name) : "";
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    m_had ? setenv(m_name.c_str(), m_old.c_str(), 1) : unsetenv(m_name.c_str());
}

LogCapture::LogCapture(int level) {
    char path[] = "/tmp/kvo_test_log_XXXXXX";
    close(mkstemp(path));
    m_path = path;
    m_file.emplace("KVO_LOG_FILE", path);
    m_level.emplace("KVO_LOG_LEVEL", std::to_string(level).c_str());
    KvoLogReloadSettings();
}

LogCapture::~LogCapture() {
    m_level.reset();
    m_file.reset();
    KvoLogReloadSettings();
    unlink(m_path.c_str());
}

std::string LogCapture::Text() const { return ReadFile(m_path); }

std::vector<LogLine> LogCapture::Lines() const {
    std::vector<LogLine> lines;
    std::istringstream in(Text());
    for (std::string raw; std::getline(in, raw);) lines.push_back(ParseLogLine(raw));
    return lines;
}

std::vector<std::string> LogCapture::Messages(const std::string& level,
                                              const std::string& file) const {
    std::vector<std::string> messages;
    for (const LogLine& line : Lines()) {
        if (line.level == level && (file.empty() || line.file == file))
            messages.push_back(line.message);
    }
    return messages;
}

std::vector<std::string> LogCapture::LevelMessages() const {
    std::vector<std::string> messages;
    for (const LogLine& line : Lines()) messages.push_back(line.level + " " + line.message);
    return messages;
}

int LogCapture::Count(const std::string& level, const std::string& message) const {
    const std::vector<std::string> messages = Messages(level);
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

void LogCapture::Clear() {
    // Truncate in place: the logger keeps its O_APPEND descriptor.
    if (truncate(m_path.c_str(), 0) != 0) perror("truncate log capture");
}

TempDir::TempDir() {
    char path[] = "/tmp/kvo_test_dir_XXXXXX";
    if (mkdtemp(path) != nullptr) m_path = path;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
    WriteFile(File(name), text);
    return File(name);
}
