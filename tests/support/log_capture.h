// Test helpers shared by every subsystem: capture of the library's log lines,
// scoped environment variables and temporary directories.
#pragma once

#include <string>
#include <vector>

// One log line split into its prefix parts and message.
struct LogLine {
    std::string level;    // "WARN"
    std::string tag;      // "[KVA]"
    std::string file;     // "collector.cpp"
    std::string message;  // the text after the prefix
    std::string raw;
};

// Splits "[PID:n]\t[LEVEL]\t<tag> [file(line)] message"; false when it is not one.
bool ParseLogLine(const std::string& raw, LogLine* line);

// Points the platform logger at a fresh file for its lifetime (level DEBUG unless
// told otherwise), then back at standard error.
class LogCapture {
public:
    explicit LogCapture(int level = 3);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() const;
    // Messages of the lines at `level` ("INFO"), from `file` when it is not empty.
    std::vector<std::string> Messages(const std::string& level,
                                      const std::string& file = "") const;
    // Whether a line at `level` carries exactly `message`.
    bool Has(const std::string& level, const std::string& message) const;
    void Clear();

private:
    std::string m_path;
};

// Sets (or, with null, unsets) an environment variable; restores it on exit.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();

private:
    std::string m_name;
    bool m_had;
    std::string m_old;
};

// A temporary directory removed with its content at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }
    // Writes `text` to path()/name and returns the full path.
    std::string Write(const std::string& name, const std::string& text) const;

private:
    std::string m_path;
};
