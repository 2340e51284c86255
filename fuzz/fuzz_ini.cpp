// Fuzzes the INI reader and what the configuration makes of a file: lookups and
// enumeration agree, CPU group and exclusion entries stay in bounds, and
// LoadAutoConfig clamps every field whatever the file holds.
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/autoconf.h"
#include "config/config_env.h"
#include "fuzz_util.h"
#include "platform/ini_parse.h"
#include "platform/kvo_base.h"

namespace {

// A fixed machine: 4 processors at 2400 MHz with 8 GiB, not virtual.
class FixedMachine : public ConfigEnv {
public:
    bool ReadProbe(const char* path, std::string* text) override {
        *text = strcmp(path, "/proc/meminfo") == 0 ? "MemTotal:        8388608 kB\nMemFree: 1 kB\n"
                                                   : "processor\t: 0\ncpu MHz\t\t: 2400.000\n";
        return true;
    }
    unsigned int CpuCount() override { return 4; }
    int IsVirtualMachine() override { return 0; }
};

struct Seen {
    const char* section;
    std::vector<std::pair<std::string, std::string>> entries;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

int Collect(const char* section, const char* key, const char* value, void* context) {
    Seen* seen = static_cast<Seen*>(context);
    FUZZ_CHECK(section != nullptr && key != nullptr && value != nullptr);
    FUZZ_CHECK(strcmp(section, seen->section) == 0);
    seen->entries.emplace_back(key, value);
    return 0;
}

// Enumeration sees every entry in file order; a lookup gives the last value of a key.
void CheckSection(kvo_ini_file_st* file, const std::string& section) {
    Seen seen{section.c_str(), {}};
    int count = kvo_ini_file_enum_section(file, section.c_str(), Collect, &seen);
    FUZZ_CHECK(count == static_cast<int>(seen.entries.size()));
    std::map<std::string, std::string> last;
    for (const auto& entry : seen.entries) {
        const std::string& key = entry.first;
        FUZZ_CHECK(!key.empty() && !IsBlank(key.front()) && !IsBlank(key.back()));
        FUZZ_CHECK(entry.second.empty() ||
                   (!IsBlank(entry.second.front()) && !IsBlank(entry.second.back())));
        last[key] = entry.second;
    }
    for (const auto& entry : last) {
        const char* value = kvo_ini_file_get(file, section.c_str(), entry.first.c_str());
        FUZZ_CHECK(value != nullptr && entry.second == value);
        kvo_ini_file_get_int(file, section.c_str(), entry.first.c_str(), -7);
    }
}

// Section names as the file writes them: text between '[' and the next ']'.
std::set<std::string> SectionNames(const std::string& text) {
    std::set<std::string> names = {"", "cpu_group", "exclusions_path", "env", "adapt_cpu"};
    size_t open = 0;
    while (names.size() < 16 && (open = text.find('[', open)) != std::string::npos) {
        size_t close = text.find_first_of("]\n", open + 1);
        if (close == std::string::npos) break;
        std::string name = text.substr(open + 1, close - open - 1);
        size_t b = name.find_first_not_of(" \t\r\v\f");
        size_t e = name.find_last_not_of(" \t\r\v\f");
        names.insert(b == std::string::npos ? "" : name.substr(b, e - b + 1));
        open = close;
    }
    return names;
}

void CheckGroupsAndExclusions(kvo_ini_file_st* file) {
    _Autoconf conf{};
    kvo_ini_file_enum_section(file, "cpu_group", CpuGroupIniCb, &conf);
    for (const _CpuGroupConf& group : conf.groups) {
        FUZZ_CHECK(group.using_limit >= 0.0f && group.using_limit <= 100.0f);
        FUZZ_CHECK(group.not_using_limit >= 0.0f && group.not_using_limit <= 100.0f);
    }
    std::vector<std::string> paths;
    ReadExclusionPaths(file, paths);
    for (const std::string& path : paths) FUZZ_CHECK(path.size() < 4096);
    LoadExclusionPath(file);
}

// The whole file through kvo_ini_file_load and LoadAutoConfig; every field in bounds.
void CheckAutoConfig(int memfd, const uint8_t* data, size_t size) {
    if (ftruncate(memfd, 0) != 0 || pwrite(memfd, data, size, 0) != static_cast<ssize_t>(size)) {
        return;
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", memfd);
    FixedMachine machine;
    _Autoconf conf{};
    AutoconfSetDefaults(&conf);
    FUZZ_CHECK(LoadAutoConfig(&conf, path, &machine) == KVO_OK);
    FUZZ_CHECK(conf.scenes_type == 0 || conf.scenes_type == 1);
    FUZZ_CHECK(conf.io_conf.proc_read_max <= 10240ull << 20);
    FUZZ_CHECK(conf.io_conf.proc_write_max <= 10240ull << 20);
    for (float f : {conf.cpu_conf.sys_max, conf.cpu_conf.proc_min, conf.cpu_conf.proc_default,
                    conf.cpu_conf.sys_max_unused}) {
        FUZZ_CHECK(f >= 0.0f && f <= 100.0f);
    }
    FUZZ_CHECK(conf.cpu_conf.collect_gap >= 1 && conf.cpu_conf.collect_gap <= 600);
    FUZZ_CHECK(conf.cpu_conf.adjust_cycle >= 1 && conf.cpu_conf.adjust_cycle <= 600);
    FUZZ_CHECK(conf.env_conf.ssd_switch >= 0 && conf.env_conf.ssd_switch <= 2);
    FUZZ_CHECK(conf.env_conf.cpu_cnt <= 256 && conf.env_conf.cpu_clock_speed <= 10000);
    FUZZ_CHECK(conf.env_conf.sys_mem >= 2.0f && conf.env_conf.sys_mem <= 256.0f);
    FUZZ_CHECK(conf.behavior_conf.allow_time == 0 ||
               (conf.behavior_conf.allow_time >= 1000 && conf.behavior_conf.allow_time <= 3600000));
}

int g_memfd = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzQuietLog();
    g_memfd = memfd_create("fuzz_ini", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvo_ini_file_st* file = KvoIniParse(reinterpret_cast<const char*>(data), size);
    if (file == nullptr) return 0;  // out of memory only
    // Keys and values holding a NUL byte cannot be looked up by C strings.
    std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find('\0') == std::string::npos) {
        for (const std::string& section : SectionNames(text)) CheckSection(file, section);
    }
    CheckGroupsAndExclusions(file);
    kvo_ini_file_free(file);
    if (g_memfd >= 0) CheckAutoConfig(g_memfd, data, size);
    return 0;
}
