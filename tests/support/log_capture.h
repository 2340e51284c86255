// Test helpers shared by every subsystem: capture of the library's log lines,
// scoped environment variables and temporary directories.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the content of a file with `text`.
void WriteFile(const std::string& path, const std::string& text);

// One log line split into its prefix parts and message: level "WARN", tag "[KVA]", file
// "collector.cpp", message: the text after the prefix, raw: the whole line.
struct LogLine {
    std::string level, tag, file, message, raw;
};

// Sets (or, with null, unsets) an environment variable; restores it on exit.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name, m_old;
    bool m_had;
};

// Points the platform logger at a fresh file for its lifetime, writing the
// levels up to `level` (KVO_LOG_LEVEL: 3 keeps DEBUG, 2 stops at INFO); the
// previous KVO_LOG_FILE and KVO_LOG_LEVEL come back afterwards.
class LogCapture {
public:
    explicit LogCapture(int level = 3);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // What was written since the start or the last Clear(), as it stands.
    std::string Text() const;
    std::vector<LogLine> Lines() const;
    // Messages of the lines at `level` ("INFO"), from `file` when it is not empty.
    std::vector<std::string> Messages(const std::string& level, const std::string& file = "") const;
    // Every line as "LEVEL message".
    std::vector<std::string> LevelMessages() const;
    // How many lines at `level` carry exactly `message`.
    int Count(const std::string& level, const std::string& message) const;
    bool Has(const std::string& level, const std::string& message) const {
        return Count(level, message) > 0;
    }
    // Forgets what was written so far.
    void Clear();

private:
    std::string m_path;
    // Reset before the logger reloads its settings, so it sees the old values.
    std::optional<ScopedEnv> m_file, m_level;
};

// A temporary directory removed with its content at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Path()/name.
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    // Writes `text` to File(name) and returns that path.
    std::string Write(const std::string& name, const std::string& text) const;

private:
    std::string m_path;
};
