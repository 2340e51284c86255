// Test helpers for the configuration readers: a scratch directory, a log sink
// that tests can read back, and a machine whose /proc files and facts are given.
#pragma once

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_env.h"
#include "platform/log_sink.h"

namespace kvo_test {

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh directory under the system's temp directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvo_cfg_XXXXXX").string();
        m_path = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

struct LogLine {
    std::string level;    // "ERROR", "WARN", "INFO", "DEBUG"
    std::string message;  // the text after the "[file(line)] " prefix
};

// Points the library's logger at a file of its own for the capture's lifetime.
class LogCapture {
public:
    explicit LogCapture(const std::string& path) : m_path(path) {
        setenv("KVO_LOG_FILE", m_path.c_str(), 1);
        setenv("KVO_LOG_LEVEL", "2", 1);
        KvoLogReloadSettings();
    }
    ~LogCapture() {
        unsetenv("KVO_LOG_FILE");
        KvoLogReloadSettings();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Forgets what was written so far.
    void Clear() { m_skip = ReadFile(m_path).size(); }

    std::vector<LogLine> Lines() const {
        std::vector<LogLine> lines;
        std::istringstream in(ReadFile(m_path).substr(m_skip));
        for (std::string raw; std::getline(in, raw);) lines.push_back(Parse(raw));
        return lines;
    }

    std::vector<std::string> Messages() const {
        std::vector<std::string> messages;
        for (const LogLine& line : Lines()) messages.push_back(line.level + " " + line.message);
        return messages;
    }

private:
    // "[PID:%-5ld]\t[LEVEL]\t[tag]      [file(line)] message"
    static LogLine Parse(const std::string& raw) {
        LogLine line;
        size_t open = raw.find("\t[");
        size_t close = open == std::string::npos ? open : raw.find("]\t", open);
        if (close != std::string::npos) line.level = raw.substr(open + 2, close - open - 2);
        size_t text = raw.find(")] ");
        line.message = text == std::string::npos ? raw : raw.substr(text + 3);
        return line;
    }

    std::string m_path;
    size_t m_skip = 0;
};

// A machine for the probes: /proc files are scratch files, absent ones fail with ENOENT.
class FakeConfigEnv : public ConfigEnv {
public:
    explicit FakeConfigEnv(const ScratchDir& dir) : m_dir(dir) {}

    void SetProbe(const std::string& proc_path, const char* text) {
        if (text == nullptr) {
            m_files.erase(proc_path);
            return;
        }
        std::string file = m_dir.File("probe" + std::to_string(m_serial++));
        WriteFile(file, text);
        m_files[proc_path] = file;
    }

    FILE* OpenProbe(const char* path) override {
        opened.push_back(path);
        auto found = m_files.find(path);
        if (found == m_files.end()) {
            errno = ENOENT;
            return nullptr;
        }
        return fopen(found->second.c_str(), "r");
    }
    unsigned int CpuCount() override {
        ++cpu_count_calls;
        return cpus;
    }
    int IsVirtualMachine() override {
        ++vm_calls;
        return vm;
    }

    unsigned int cpus = 16;
    int vm = 0;
    std::vector<std::string> opened;
    int cpu_count_calls = 0;
    int vm_calls = 0;

private:
    const ScratchDir& m_dir;
    std::map<std::string, std::string> m_files;
    int m_serial = 0;
};

// /proc/cpuinfo of n processors at the given "cpu MHz" text.
inline std::string CpuInfo(unsigned int n, const std::string& mhz) {
    std::string text;
    for (unsigned int i = 0; i < n; ++i) {
        text += "processor\t: " + std::to_string(i) + "\nvendor_id\t: GenuineIntel\n";
        text += "cpu MHz\t\t: " + mhz + "\ncache size\t: 8192 KB\n\n";
    }
    return text;
}

inline std::string MemInfo(unsigned long long kib) {
    return "MemTotal:       " + std::to_string(kib) +
           " kB\nMemFree:         1000000 kB\nMemAvailable:    2000000 kB\n";
}

constexpr unsigned long long kGiB = 1048576;  // in kB

}  // namespace kvo_test
