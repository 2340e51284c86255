// A scratch directory for one test, removed with its files afterwards.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/kvo_platform_XXXXXX";
        const char* made = mkdtemp(pattern);
        m_path = made != nullptr ? made : "/tmp";
    }
    ~TempDir() {
        std::string command = "rm -rf '" + m_path + "'";
        if (m_path != "/tmp") (void)!system(command.c_str());
    }
    const std::string& Path() const { return m_path; }
    std::string Write(const std::string& name, const std::string& text) const {
        std::string file = m_path + "/" + name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    static std::string Read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string m_path;
};
