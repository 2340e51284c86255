// The configuration reader: kvo_vurizeda.ini and a probe of the machine fill the
// controller's _Autoconf record (groups and exclusion paths: autoconf_groups.cpp).
#include "config/autoconf.h"

#include <errno.h>
#include <inttypes.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "config/config_env.h"
#include "config/ini_values.h"
#include "platform/kvo_word.h"

namespace {

constexpr const char* kMeminfoPath = "/proc/meminfo";
constexpr const char* kCpuinfoPath = "/proc/cpuinfo";
constexpr const char* kProfileAdapt = "adapt_cpu";
constexpr const char* kProfileWeak = "td_cpu";

constexpr uint64_t kBytesPerMiB = 1048576;
constexpr uint64_t kDefaultMemKiB = 2097152;  // 2 GiB when /proc/meminfo says nothing
constexpr double kKiBPerGiB = 1048576.0;
constexpr size_t kProbeLineSize = 1024;

int32_t ReadSwitch(kvo_ini_file_st* file, const char* section, const char* key, int32_t absent) {
    uint32_t value = 0;
    if (!ReadKey(file, section, key, &value)) return absent;
    return value != 0 ? 1 : 0;
}

// Bounded unsigned key, scaled into its stored unit; the field keeps its value when absent.
template <class T>
void ReadBounded(kvo_ini_file_st* file, const char* section, const char* key, uint32_t low,
                 uint32_t high, T scale, T* field) {
    uint32_t value = 0;
    if (ReadKey(file, section, key, &value))
        *field = static_cast<T>(std::clamp(value, low, high)) * scale;
}

// Float key: the unsigned integer as float, then bounded. The CPU floats are shared
// with other threads as whole words.
void ReadFloat(kvo_ini_file_st* file, const char* section, const char* key, float low, float high,
               float* field) {
    uint32_t value = 0;
    if (ReadKey(file, section, key, &value)) {
        WordStore(*field, std::clamp(static_cast<float>(value), low, high));
    }
}

void ReadIoKeys(kvo_ini_file_st* file, _IoConf* io) {
    ReadBounded<uint64_t>(file, "adapt_io", "proc_read_max", 0, 10240, kBytesPerMiB,
                          &io->proc_read_max);
    ReadBounded<uint64_t>(file, "adapt_io", "proc_write_max", 0, 10240, kBytesPerMiB,
                          &io->proc_write_max);
}

void ReadEnvKeys(kvo_ini_file_st* file, _EnvConf* env) {
    env->td_switch = ReadSwitch(file, "env", "td_switch", 0);
    env->virtual_evn = ReadSwitch(file, "env", "virtual_evn", 0);
    env->xp_switch = ReadSwitch(file, "env", "xp_switch", 1);
    uint32_t ssd = 0;
    if (ReadKey(file, "env", "ssd_switch", &ssd)) {
        env->ssd_switch = std::clamp(static_cast<int32_t>(ssd), 0, 2);
    }
    ReadBounded<uint32_t>(file, "env", "cpu_clock_speed", 0, 10000, 1, &env->cpu_clock_speed);
    ReadBounded<uint32_t>(file, "env", "cpu_cnt", 0, 256, 1, &env->cpu_cnt);
    ReadFloat(file, "env", "sys_mem", 2.0f, 256.0f, &env->sys_mem);
}

void ReadCpuKeys(kvo_ini_file_st* file, const char* profile, _CpuConf* cpu) {
    ReadFloat(file, profile, "sys_max", 0.0f, 100.0f, &cpu->sys_max);
    ReadFloat(file, profile, "proc_min", 0.0f, 100.0f, &cpu->proc_min);
    ReadFloat(file, profile, "proc_default", 0.0f, 100.0f, &cpu->proc_default);
    ReadBounded<uint32_t>(file, profile, "collect_gap", 1, 600, 1, &cpu->collect_gap);
    ReadBounded<uint32_t>(file, profile, "adjust_cycle", 1, 600, 1, &cpu->adjust_cycle);
    ReadFloat(file, profile, "sys_max_unused", 0.0f, 100.0f, &cpu->sys_max_unused);
}

void ReadBehaviorKeys(kvo_ini_file_st* file, _UserBehaviorconf* behavior) {
    behavior->behavior_switch = ReadSwitch(file, "user_behavior", "behavior_switch", 0);
    ReadBounded<uint32_t>(file, "user_behavior", "allow_time", 1, 3600, 1000,
                          &behavior->allow_time);
}

// Calls line(text) for each line of a probe as fgets into a buffer of
// kProbeLineSize bytes would hand it over: a longer line comes in pieces.
template <class Line>
void ForEachProbeLine(const std::string& text, Line line) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t newline = text.find('\n', start);
        size_t end = newline == std::string::npos ? text.size() : newline + 1;
        end = std::min(end, start + kProbeLineSize - 1);
        if (line(text.substr(start, end - start).c_str())) return;
        start = end;
    }
}

// Total memory in GiB from the first non-zero "MemTotal:" line; 2 GiB when unknown.
double ProbeMemoryGiB(ConfigEnv* env) {
    uint64_t kib = kDefaultMemKiB;
    std::string text;
    if (!env->ReadProbe(kMeminfoPath, &text)) {
        KVO_LOGW("Cannot open %s:%s\n", kMeminfoPath, strerror(errno));
        return static_cast<double>(kib) / kKiBPerGiB;
    }
    ForEachProbeLine(text, [&kib](const char* line) {
        if (strncmp(line, "MemTotal:", 9) != 0) return false;
        sscanf(line + 9, "%" SCNu64, &kib);
        return kib != 0;
    });
    return static_cast<double>(kib) / kKiBPerGiB;
}

// Clock of one processor in whole MHz from the first non-zero "cpu MHz" line; 0 when
// there is none. *opened tells whether /proc/cpuinfo could be read at all.
uint32_t ProbeClockMHz(ConfigEnv* env, bool* opened) {
    std::string text;
    *opened = env->ReadProbe(kCpuinfoPath, &text);
    if (!*opened) {
        KVO_LOGW("Cannot open %s:%s\n", kCpuinfoPath, strerror(errno));
        return 0;
    }
    uint32_t clock = 0;
    ForEachProbeLine(text, [&clock](const char* line) {
        const char* colon = strchr(line, ':');
        if (kvo_strnicmp(line, "cpu MHz", 7) != 0 || colon == nullptr) return false;
        clock = static_cast<uint32_t>(ReadI32(colon + 1));
        return clock != 0;
    });
    return clock;
}

struct MachineFacts {
    double mem_gib;
    unsigned int cpus;
    uint32_t clock_mhz;
};

// "td_cpu" for forced, virtual, small, slow or low-memory machines, else "adapt_cpu";
// the first rule that holds decides.
const char* ChooseProfile(const _EnvConf& conf, const MachineFacts& machine, ConfigEnv* env) {
    if (conf.td_switch != 0) return kProfileWeak;
    if (conf.virtual_evn != 0 && env->IsVirtualMachine() != 0) return kProfileWeak;
    if (machine.cpus <= conf.cpu_cnt) return kProfileWeak;
    const uint32_t total_clock = machine.clock_mhz * machine.cpus;
    if (total_clock != 0 && total_clock <= conf.cpu_clock_speed * conf.cpu_cnt) {
        return kProfileWeak;
    }
    if (!(machine.mem_gib > 0.000001)) return kProfileAdapt;  // no figure, or NaN
    if (conf.sys_mem >= static_cast<float>(machine.mem_gib)) return kProfileWeak;
    return kProfileAdapt;
}

void LoadCpuScene(kvo_ini_file_st* file, _Autoconf* conf, ConfigEnv* env) {
    ReadEnvKeys(file, &conf->env_conf);
    MachineFacts machine{};
    machine.mem_gib = ProbeMemoryGiB(env);
    KVO_LOGI("current system mem is %0.2f", machine.mem_gib);
    machine.cpus = env->CpuCount();
    bool cpuinfo_read = false;
    machine.clock_mhz = ProbeClockMHz(env, &cpuinfo_read);
    if (cpuinfo_read) KVO_LOGI("current system cpu clock speed is %u", machine.clock_mhz);
    const char* profile = ChooseProfile(conf->env_conf, machine, env);
    KVO_LOGI("auto perf current use %s config", profile);
    ReadCpuKeys(file, profile, &conf->cpu_conf);
    const _CpuConf& cpu = conf->cpu_conf;
    // The host may be setting the minimum (or the ceiling) right now: whole words.
    KVO_LOGI("current cpu limit config syscpu(%f), proc cpu min(%f), gap(%u), cycle(%u)",
             WordLoad(cpu.sys_max), WordLoad(cpu.proc_min), cpu.collect_gap, cpu.adjust_cycle);
    ReadBehaviorKeys(file, &conf->behavior_conf);
}

}  // namespace

void AutoconfSetDefaults(_Autoconf* conf) {
    conf->io_conf =
        _IoConf{3 * kBytesPerMiB, 30 * kBytesPerMiB, 7 * kBytesPerMiB, 70 * kBytesPerMiB};
    conf->cpu_conf = _CpuConf{30.0f, 5.0f, 50.0f, 1, 15, 30.0f};
    conf->env_conf = _EnvConf{0, 0, 2, 1, 2, 10000, 2.0f};
    conf->behavior_conf = _UserBehaviorconf{1, 0};
}

uint32_t LoadAutoConfig(_Autoconf* conf, const char* path) {
    return LoadAutoConfig(conf, path, ConfigEnv::Default());
}

uint32_t LoadAutoConfig(_Autoconf* conf, const char* path, ConfigEnv* env) {
    if (conf == nullptr || env == nullptr) return KVO_E_FAIL;
    kvo_ini_file_st* file = kvo_ini_file_load(path);
    if (file == nullptr) {
        const int error = errno;
        KVO_LOGW("load %s with error(%d), use default configs now", path ? path : "(null)", error);
        return KVO_E_FAIL;
    }
    uint32_t scenes = 0;
    if (ReadKey(file, "type", "scenes_type", &scenes)) {
        conf->scenes_type = static_cast<int32_t>(scenes) > 0 ? 1 : 0;
    }
    if (conf->scenes_type == 1) {
        // The IO scene reads its two limits and probes nothing.
        ReadIoKeys(file, &conf->io_conf);
        KVO_LOGI("current is scenes type io");
    } else {
        LoadCpuScene(file, conf, env);
    }
    kvo_ini_file_free(file);
    return KVO_OK;
}
