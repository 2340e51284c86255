// Test helpers for the configuration readers: a machine whose /proc files and
// facts are given, and the texts of those files.
#pragma once

#include <errno.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "config/config_env.h"
#include "support/log_capture.h"

namespace kvo_test {

// A machine for the probes: /proc files are scratch files, absent ones fail with ENOENT.
class FakeConfigEnv : public ConfigEnv {
public:
    explicit FakeConfigEnv(const TempDir& dir) : m_dir(dir) {}

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
    const TempDir& m_dir;
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
