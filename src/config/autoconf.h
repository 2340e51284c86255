// The controller's configuration record and its readers: LoadAutoConfig fills it
// from kvo_vurizeda.ini and a probe of the machine.
#pragma once

#include <stdint.h>

#include <list>
#include <string>
#include <vector>

#include "platform/kvo_base.h"

// The IO limits are read but never enforced (the IO setters are always refused).
// The nine further IO values the record once carried ahead of and behind these
// four were never read after construction, so they are dropped.
struct _IoConf {
    // Limits in bytes; 64-bit because the file allows up to 10240 MiB.
    uint64_t proc_write_min;
    uint64_t proc_write_max;
    uint64_t proc_read_min;
    uint64_t proc_read_max;
};

// Fields read by other threads without a lock are single 32-bit words; use
// WordLoad/WordStore (platform/kvo_word.h) for sys_max, proc_min, sys_max_unused.
struct _CpuConf {
    float sys_max;
    float proc_min;
    float proc_default;
    uint32_t collect_gap;
    uint32_t adjust_cycle;
    float sys_max_unused;
};

struct _EnvConf {
    int32_t td_switch;
    int32_t virtual_evn;
    int32_t ssd_switch;
    int32_t xp_switch;
    uint32_t cpu_cnt;
    uint32_t cpu_clock_speed;
    float sys_mem;
};

struct _UserBehaviorconf {
    int32_t behavior_switch;
    uint32_t allow_time;  // milliseconds
};

struct _CpuGroupConf {
    std::string name;
    float using_limit;
    float not_using_limit;
};

struct _Autoconf {
    _IoConf io_conf;
    _CpuConf cpu_conf;
    _EnvConf env_conf;
    _UserBehaviorconf behavior_conf;
    int32_t scenes_type;
    std::list<_CpuGroupConf> groups;
};

// Writes the defaults into every field but scenes_type and groups.
void AutoconfSetDefaults(_Autoconf* conf);

// 0 when the file was loaded, KVO_E_FAIL when it cannot be loaded. Overwrites only
// the fields the file names (plus the four switches that have an absent value).
uint32_t LoadAutoConfig(_Autoconf* conf, const char* path);

// Rebuilds conf->groups from the [cpu_group] section of path, in file order.
// KVO_E_FAIL, with the list left as it was, when the file cannot be loaded.
uint32_t LoadCpuGroups(_Autoconf* conf, const char* path);

// Most exclusion entries read: a "count" that reads as negative would otherwise
// walk four billion keys.
constexpr uint32_t kMaxExclusionEntries = 4096;

// The work of LoadExclusionPath, with the paths handed back to the caller.
uint32_t ReadExclusionPaths(kvo_ini_file_st* file, std::vector<std::string>& paths);

extern "C" {
// Appends one CPU group ("name = using;not_using") to ((_Autoconf*)context)->groups.
__attribute__((visibility("default"))) int CpuGroupIniCb(const char* section, const char* key,
                                                         const char* value, void* context);
// Reads the [exclusions_path] section of a loaded file. 0, or KVO_E_FAIL without "count".
__attribute__((visibility("default"))) uint32_t LoadExclusionPath(kvo_ini_file_st* file);
}

void StrSplit(std::string text, char separator, std::vector<std::string>& pieces);
void ParsePath(std::vector<std::string>& fields, std::vector<std::string>& paths);
