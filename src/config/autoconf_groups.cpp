// The readers of the CPU groups ([cpu_group]) and exclusion paths
// ([exclusions_path]) that sit beside the configuration record.
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "config/autoconf.h"
#include "config/ini_values.h"

namespace {

constexpr const char* kGroupSection = "cpu_group";
constexpr const char* kExclusionSection = "exclusions_path";
constexpr size_t kPathSize = 4096;

float BoundGroupLimit(double limit) {
    if (std::isnan(limit)) return 0.0f;  // a limit that is no number limits to nothing
    return static_cast<float>(std::clamp(limit, 0.0, 100.0));
}

}  // namespace

uint32_t LoadCpuGroups(_Autoconf* conf, const char* path) {
    if (conf == nullptr) return KVO_E_FAIL;
    kvo_ini_file_st* file = kvo_ini_file_load(path);
    if (file == nullptr) return KVO_E_FAIL;
    conf->groups.clear();
    kvo_ini_file_enum_section(file, kGroupSection, CpuGroupIniCb, conf);
    kvo_ini_file_free(file);
    return KVO_OK;
}

extern "C" int CpuGroupIniCb(const char* section, const char* key, const char* value,
                             void* context) {
    if (section == nullptr || key == nullptr || value == nullptr || context == nullptr) return 1;
    const char* separator = strchr(value, ';');
    const std::string using_text =
        separator != nullptr ? std::string(value, static_cast<size_t>(separator - value)) : value;
    const char* not_using_text = separator != nullptr ? separator + 1 : value;
    _CpuGroupConf group;
    group.name = key;
    group.using_limit = BoundGroupLimit(strtod(using_text.c_str(), nullptr));
    group.not_using_limit = BoundGroupLimit(strtod(not_using_text, nullptr));
    static_cast<_Autoconf*>(context)->groups.push_back(std::move(group));
    return 0;
}

void StrSplit(std::string text, char separator, std::vector<std::string>& pieces) {
    size_t found = text.find(separator);
    if (found == std::string::npos) return;
    size_t start = 0;
    while (found != std::string::npos) {
        pieces.push_back(text.substr(start, found - start));
        start = found + 1;
        found = text.find(separator, start);
    }
    pieces.push_back(text.substr(start));
}

void ParsePath(std::vector<std::string>& fields, std::vector<std::string>& paths) {
    const uint32_t kind = ReadU32(fields[0].c_str());
    const uint32_t relative = ReadU32(fields[1].c_str());
    if (kind == 1) return;
    char program[kPathSize] = {0};
    char path[kPathSize] = {0};
    if (relative == 0) {
        kvo_path_get_cur_proc_a(program, sizeof program);
        kvo_path_remove_ext_a(program);
        kvo_str_snprintf(path, sizeof path, "%s%s", program, fields[2].c_str());
    } else {
        kvo_str_strlcpy(path, fields[2].c_str(), sizeof path);
    }
    kvo_path_format_a(path);
    paths.push_back(path);
}

uint32_t ReadExclusionPaths(kvo_ini_file_st* file, std::vector<std::string>& paths) {
    if (file == nullptr) return KVO_E_FAIL;
    uint32_t count = 0;
    if (!ReadKey(file, kExclusionSection, "count", &count)) return KVO_E_FAIL;
    count = std::min(count, kMaxExclusionEntries);
    for (uint32_t index = 0; index < count; ++index) {
        char key[16] = {0};
        kvo_str_snprintf(key, sizeof key, "%u", index);
        const char* value = kvo_ini_file_get(file, kExclusionSection, key);
        if (value == nullptr) continue;
        std::vector<std::string> fields;
        StrSplit(value, ';', fields);
        if (fields.size() == 3) ParsePath(fields, paths);
    }
    return KVO_OK;
}

extern "C" uint32_t LoadExclusionPath(kvo_ini_file_st* file) {
    // Nothing in the library consumes exclusion paths yet; they live for this call only.
    std::vector<std::string> paths;
    return ReadExclusionPaths(file, paths);
}
