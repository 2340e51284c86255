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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

namespace {
// Splits "[PID:n]\t[LEVEL]\t<tag> [file(line)] message"; only `raw` when it is not one.
// (No std::regex: GCC 12 warns inside it in the sanitizer builds.)
LogLine ParseLogLine(const std::string& raw) {
    constexpr size_t npos = std::string::npos;
    LogLine line;
    line.raw = raw;
    if (raw.compare(0, 5, "[PID:") != 0) return line;
    const size_t levelStart = raw.find("]\t[");
    const size_t levelEnd = levelStart == npos ? npos : raw.find("]\t", levelStart + 3);
    const size_t tagEnd = levelEnd == npos ? npos : raw.find(' ', levelEnd + 2);
    const size_t fileStart = tagEnd == npos ? npos : raw.find_first_not_of(' ', tagEnd);
    if (fileStart == npos || tagEnd == levelEnd + 2 || raw[fileStart] != '[') return line;
    const size_t fileEnd = raw.find('(', fileStart);
    const size_t closing = fileEnd == npos ? npos : raw.find(")] ", fileEnd);
    if (closing == npos || closing == fileEnd + 1 ||
        raw.find_first_not_of("0123456789", fileEnd + 1) != closing) {
        return line;
    }
    line.level = raw.substr(levelStart + 3, levelEnd - levelStart - 3);
    line.tag = raw.substr(levelEnd + 2, tagEnd - levelEnd - 2);
    line.file = raw.substr(fileStart + 1, fileEnd - fileStart - 1);
    line.message = raw.substr(closing + 3);
    return line;
}
}  // namespace

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (m_had) {
        setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        unsetenv(m_name.c_str());
    }
}

LogCapture::LogCapture(int level) {
    char path[] = "/tmp/kvo_test_log_XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    m_path = path;
    m_file.emplace("KVO_LOG_FILE", m_path.c_str());
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
    for (std::string raw; std::getline(in, raw);) {
        lines.push_back(ParseLogLine(raw));
    }
    return lines;
}

std::vector<std::string> LogCapture::Messages(const std::string& level,
                                              const std::string& file) const {
    std::vector<std::string> messages;
    for (const LogLine& line : Lines()) {
        if (line.level == level && (file.empty() || line.file == file)) {
            messages.push_back(line.message);
        }
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
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
    std::string full = File(name);
    WriteFile(full, text);
    return full;
}
