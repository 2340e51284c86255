// kvo-config's check: the library's LoadAutoConfig and LoadCpuGroups run on the
// file, their INFO lines give the machine probe and the profile, and each value is
// compared with the text the file holds to say where it came from.
#include "config_check.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "config/autoconf.h"
#include "platform/ini_parse.h"
#include "platform/log_sink.h"

namespace {

// The scheduler's range for a thread's limit, percent of one processor.
constexpr double kThreadLimitLow = 0.1;
constexpr double kThreadLimitHigh = 100.0;
constexpr const char* kProfileKey = "profile";  // stands for the chosen profile section

enum KeyKind { kSwitch, kBounded, kFloat, kSigned, kScene };

struct KeySpec {
    const char* section;  // kProfileKey: the profile the machine gets
    const char* key;
    KeyKind kind;
    const char* unit;
    double (*get)(const _Autoconf&);  // the stored value in the file's unit
};

const KeySpec kKeys[] = {
    {"type", "scenes_type", kScene, "", [](const _Autoconf& c) { return 1.0 * c.scenes_type; }},
    {"adapt_io", "proc_read_max", kBounded, " MiB",
     [](const _Autoconf& c) { return c.io_conf.proc_read_max / 1048576.0; }},
    {"adapt_io", "proc_write_max", kBounded, " MiB",
     [](const _Autoconf& c) { return c.io_conf.proc_write_max / 1048576.0; }},
    {"env", "td_switch", kSwitch, "",
     [](const _Autoconf& c) { return 1.0 * c.env_conf.td_switch; }},
    {"env", "virtual_evn", kSwitch, "",
     [](const _Autoconf& c) { return 1.0 * c.env_conf.virtual_evn; }},
    {"env", "xp_switch", kSwitch, "",
     [](const _Autoconf& c) { return 1.0 * c.env_conf.xp_switch; }},
    {"env", "ssd_switch", kSigned, "",
     [](const _Autoconf& c) { return 1.0 * c.env_conf.ssd_switch; }},
    {"env", "cpu_clock_speed", kBounded, " MHz",
     [](const _Autoconf& c) { return 1.0 * c.env_conf.cpu_clock_speed; }},
    {"env", "cpu_cnt", kBounded, " processors",
     [](const _Autoconf& c) { return 1.0 * c.env_conf.cpu_cnt; }},
    {"env", "sys_mem", kFloat, " GiB", [](const _Autoconf& c) { return 1.0 * c.env_conf.sys_mem; }},
    {kProfileKey, "sys_max", kFloat, "%",
     [](const _Autoconf& c) { return 1.0 * c.cpu_conf.sys_max; }},
    {kProfileKey, "proc_min", kFloat, "%",
     [](const _Autoconf& c) { return 1.0 * c.cpu_conf.proc_min; }},
    {kProfileKey, "proc_default", kFloat, "%",
     [](const _Autoconf& c) { return 1.0 * c.cpu_conf.proc_default; }},
    {kProfileKey, "collect_gap", kBounded, " samples",
     [](const _Autoconf& c) { return 1.0 * c.cpu_conf.collect_gap; }},
    {kProfileKey, "adjust_cycle", kBounded, " samples",
     [](const _Autoconf& c) { return 1.0 * c.cpu_conf.adjust_cycle; }},
    {kProfileKey, "sys_max_unused", kFloat, "%",
     [](const _Autoconf& c) { return 1.0 * c.cpu_conf.sys_max_unused; }},
    {"user_behavior", "behavior_switch", kSwitch, "",
     [](const _Autoconf& c) { return 1.0 * c.behavior_conf.behavior_switch; }},
    {"user_behavior", "allow_time", kBounded, " s",
     [](const _Autoconf& c) { return c.behavior_conf.allow_time / 1000.0; }},
};

const char* const kProfiles[] = {"adapt_cpu", "td_cpu"};
const char* const kOpenSections[] = {"thread_cpulimit", "cpu_group", "exclusions_path"};

// The library's log lines of one call, caught in a memory file.
class LibraryLog {
public:
    LibraryLog() : m_fd(memfd_create("kvo-config-log", MFD_CLOEXEC)) {
        Save("KVO_LOG_FILE", &m_file);
        Save("KVO_LOG_LEVEL", &m_level);
        setenv("KVO_LOG_FILE", ("/proc/self/fd/" + std::to_string(m_fd)).c_str(), 1);
        setenv("KVO_LOG_LEVEL", "3", 1);
        KvoLogReloadSettings();
    }
    ~LibraryLog() {
        Restore("KVO_LOG_FILE", m_file);
        Restore("KVO_LOG_LEVEL", m_level);
        KvoLogReloadSettings();
        if (m_fd >= 0) close(m_fd);
    }
    std::string Text() const {
        std::string text;
        char buffer[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(m_fd, buffer, sizeof buffer, at)) > 0; at += n)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }
    // The number after `marker` in the first line that holds it.
    bool Find(const char* marker, double* value) const {
        const std::string text = Text();
        const size_t at = text.find(marker);
        if (at == std::string::npos) return false;
        *value = strtod(text.c_str() + at + strlen(marker), nullptr);
        return true;
    }
    bool FindWord(const char* marker, std::string* word) const {
        const std::string text = Text();
        const size_t at = text.find(marker);
        if (at == std::string::npos) return false;
        const size_t start = at + strlen(marker);
        *word = text.substr(start, text.find(' ', start) - start);
        return true;
    }

private:
    static void Save(const char* name, std::pair<bool, std::string>* old) {
        const char* value = getenv(name);
        *old = {value != nullptr, value != nullptr ? value : ""};
    }
    static void Restore(const char* name, const std::pair<bool, std::string>& old) {
        if (old.first) {
            setenv(name, old.second.c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    int m_fd;
    std::pair<bool, std::string> m_file, m_level;
};

// The machine as the library saw it: the seam's answers are recorded.
class RecordingEnv final : public ConfigEnv {
public:
    explicit RecordingEnv(ConfigEnv* real) : m_real(real) {}
    bool ReadProbe(const char* path, std::string* text) override {
        return m_real->ReadProbe(path, text);
    }
    unsigned int CpuCount() override { return cpus = m_real->CpuCount(); }
    int IsVirtualMachine() override {
        asked = true;
        return isVirtual = m_real->IsVirtualMachine();
    }
    unsigned int cpus = 0;
    bool asked = false;
    int isVirtual = 0;

private:
    ConfigEnv* m_real;
};

bool PlainInteger(const std::string& text, long long* value) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (i == text.size()) return false;
    for (size_t j = i; j < text.size(); ++j) {
        if (!isdigit(static_cast<unsigned char>(text[j]))) return false;
    }
    errno = 0;
    *value = strtoll(text.c_str(), nullptr, 10);
    return errno == 0;
}

std::string Figure(double value) {
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

class Checker {
public:
    Checker(kvo_ini_file_st* file, const _Autoconf& conf, std::ostringstream* out)
        : m_file(file), m_conf(conf), m_out(*out) {}

    void Problem(const std::string& text) { m_problems.push_back(text); }
    const std::vector<std::string>& Problems() const { return m_problems; }

    // One key: its value and where it came from.
    void Value(const KeySpec& known, const char* section) {
        const double value = known.get(m_conf);
        const char* raw = kvo_ini_file_get(m_file, section, known.key);
        std::string origin;
        if (raw == nullptr) {
            origin = known.kind == kSwitch ? "absent: the switch's absent value" : "default";
        } else {
            long long number = 0;
            const std::string where = "[" + std::string(section) + "] " + known.key;
            if (!PlainInteger(raw, &number)) {
                origin = "file: '" + std::string(raw) + "' is not a whole number";
                Problem(where + " = " + raw + ": not a whole number, reads as " + Figure(value));
            } else if (known.kind == kSwitch && number != 0 && number != 1) {
                origin = "file: " + std::string(raw) + " reads as on";
                Problem(where + " = " + raw + ": a switch is 0 or 1, reads as 1");
            } else if ((known.kind == kScene && number != value && number != 0 && number != 1) ||
                       (known.kind != kScene && known.kind != kSwitch &&
                        static_cast<double>(number) != value)) {
                origin = "file: clipped from " + std::string(raw);
                Problem(where + " = " + raw + ": outside its range, used as " + Figure(value));
            } else {
                origin = "file";
            }
        }
        m_out << "  [" << section << "] " << known.key << " = " << Figure(value) << known.unit
              << "  (" << origin << ")\n";
    }

private:
    kvo_ini_file_st* m_file;
    const _Autoconf& m_conf;
    std::ostringstream& m_out;
    std::vector<std::string> m_problems;
};

// Which rule gave the library's choice, in the library's order.
std::string ProfileReason(const _EnvConf& env, const RecordingEnv& machine, double clockMHz,
                          double memGiB, bool haveClock) {
    const unsigned long total = static_cast<unsigned long>(clockMHz) * machine.cpus;
    if (env.td_switch != 0) return "env.td_switch is on";
    if (env.virtual_evn != 0 && machine.isVirtual != 0)
        return "env.virtual_evn is on and this is a virtual machine";
    if (machine.cpus <= env.cpu_cnt)
        return std::to_string(machine.cpus) +
               " processors, at most env.cpu_cnt = " + std::to_string(env.cpu_cnt);
    if (haveClock && total != 0 && total <= 1ul * env.cpu_clock_speed * env.cpu_cnt)
        return std::to_string(total) + " MHz summed, at most env.cpu_clock_speed x cpu_cnt = " +
               std::to_string(1ul * env.cpu_clock_speed * env.cpu_cnt);
    if (!(memGiB > 0.000001)) return "the memory reads as 0";
    if (env.sys_mem >= memGiB)
        return Figure(memGiB) + " GiB of memory, at most env.sys_mem = " + Figure(env.sys_mem);
    return std::to_string(machine.cpus) + " processors above env.cpu_cnt, " +
           (haveClock ? std::to_string(total) + " MHz summed, " : std::string()) + Figure(memGiB) +
           " GiB above env.sys_mem";
}

struct EntryList {
    std::vector<std::pair<std::string, std::string>> keys;  // (section, key)
};

int CollectEntry(const char* section, const char* key, const char*, void* context) {
    static_cast<EntryList*>(context)->keys.emplace_back(section, key);
    return 0;
}

void ListUnknown(kvo_ini_file_st* file, Checker* checker) {
    std::set<std::string> known(std::begin(kOpenSections), std::end(kOpenSections));
    std::set<std::pair<std::string, std::string>> knownKeys = {{"scheduler", "mode"}};
    known.insert("scheduler");
    for (const KeySpec& row : kKeys) {
        for (const char* section : kProfiles) {
            const std::string name = strcmp(row.section, kProfileKey) == 0 ? section : row.section;
            known.insert(name);
            knownKeys.insert({name, row.key});
        }
    }
    uint32_t count = 0;
    if (const char* text = kvo_ini_file_get(file, "exclusions_path", "count")) {
        count = static_cast<uint32_t>(std::min(strtoull(text, nullptr, 10), 4096ull));
    }
    EntryList entries;
    KvoIniEnumAll(file, CollectEntry, &entries);
    std::set<std::string> reported;
    for (const auto& [section, key] : entries.keys) {
        if (known.count(section) == 0) {
            if (reported.insert(section).second)
                checker->Problem(section.empty() ? "'" + key + "' stands before any [section]"
                                                 : "[" + section + "]: unknown section");
            continue;
        }
        if (section == "exclusions_path") {
            long long index = -1;
            if (key != "count" && !(PlainInteger(key, &index) && index >= 0 && index < count))
                checker->Problem("[exclusions_path] " + key +
                                 ": not \"count\" nor an entry below it");
            continue;
        }
        if (section == "thread_cpulimit" || section == "cpu_group") continue;
        if (knownKeys.count({section, key}) == 0)
            checker->Problem("[" + section + "] " + key + ": unknown key");
    }
}

// The scheduler reads its mode from the installation's file only; KVO_SCHED_MODE wins.
void ListSchedulerMode(kvo_ini_file_st* file, std::ostringstream& out, Checker* checker) {
    const char* mode = kvo_ini_file_get(file, "scheduler", "mode");
    const bool known =
        mode != nullptr && (strcmp(mode, "exact") == 0 || strcmp(mode, "default") == 0);
    out << "scheduler mode [scheduler] mode (installation's file; KVO_SCHED_MODE wins): "
        << (mode == nullptr ? "default (default)"
            : known         ? std::string(mode) + " (file)"
                            : "default (file: not a mode)")
        << "\n";
    if (mode != nullptr && !known) {
        checker->Problem("[scheduler] mode = " + std::string(mode) +
                         ": neither default nor exact; the default mode is used");
    }
}

void ListGroups(const std::string& path, kvo_ini_file_st* file, std::ostringstream& out,
                Checker* checker) {
    _Autoconf groups{};
    LoadCpuGroups(&groups, path.c_str());
    out << "CPU groups [cpu_group] (percent of the whole machine):\n";
    if (groups.groups.empty()) out << "  none\n";
    for (const _CpuGroupConf& g : groups.groups) {
        out << "  " << g.name << ": using " << Figure(g.using_limit) << ", not using "
            << Figure(g.not_using_limit) << "\n";
    }
    // Each half must be a number within 0..100 to be used as written.
    EntryList entries;
    kvo_ini_file_enum_section(file, "cpu_group", CollectEntry, &entries);
    for (const auto& entry : entries.keys) {
        const std::string value = kvo_ini_file_get(file, "cpu_group", entry.second.c_str());
        std::string part;
        std::istringstream halves(value);
        while (std::getline(halves, part, ';')) {
            char* end = nullptr;
            const double limit = strtod(part.c_str(), &end);
            if (end == part.c_str() || *end != '\0' || std::isnan(limit)) {
                checker->Problem("[cpu_group] " + entry.second + " = " + value + ": '" + part +
                                 "' is not a number, reads as 0");
            } else if (limit < 0 || limit > 100) {
                checker->Problem("[cpu_group] " + entry.second + " = " + value +
                                 ": outside 0..100, clipped");
            }
        }
    }
}

void ListThreadLimits(kvo_ini_file_st* file, std::ostringstream& out, Checker* checker) {
    EntryList entries;
    kvo_ini_file_enum_section(file, "thread_cpulimit", CollectEntry, &entries);
    out << "thread limits [thread_cpulimit] (percent of one processor):\n";
    if (entries.keys.empty()) out << "  none\n";
    for (const auto& entry : entries.keys) {
        const char* name = entry.second.c_str();
        const std::string raw = kvo_ini_file_get(file, "thread_cpulimit", name);
        // The library's own reading of the value.
        const int percent = kvo_ini_file_get_int(file, "thread_cpulimit", name, 0);
        long long number = 0;
        const bool refused = !(percent >= kThreadLimitLow && percent <= kThreadLimitHigh);
        out << "  " << name << " = " << percent << (refused ? "  (refused by the scheduler)" : "")
            << "\n";
        if (!PlainInteger(raw, &number)) {
            checker->Problem("[thread_cpulimit] " + entry.second + " = " + raw +
                             ": not a whole number, reads as " + std::to_string(percent));
        } else if (refused) {
            checker->Problem("[thread_cpulimit] " + entry.second + " = " + raw +
                             ": the scheduler accepts 0.1 to 100 and refuses it");
        }
    }
}

}  // namespace

int CheckConfigFile(const std::string& path, ConfigEnv* env, std::string* report) {
    std::ostringstream out;
    kvo_ini_file_st* file = kvo_ini_file_load(path.c_str());
    if (file == nullptr) {
        *report = "kvo-config: cannot read " + path + ": " + strerror(errno) + "\n";
        return kConfigUnreadable;
    }
    _Autoconf conf{};
    AutoconfSetDefaults(&conf);
    RecordingEnv machine(env);
    double memGiB = 0, clockMHz = 0;
    std::string profile;
    bool haveClock = false;
    {
        LibraryLog log;
        LoadAutoConfig(&conf, path.c_str(), &machine);
        log.Find("current system mem is ", &memGiB);
        haveClock = log.Find("current system cpu clock speed is ", &clockMHz);
        log.FindWord("auto perf current use ", &profile);
    }
    Checker checker(file, conf, &out);
    out << "file: " << path << "\n";
    if (conf.scenes_type == 1) {
        out << "scene: IO ([type] scenes_type above 0): only [adapt_io] is read\n";
    } else {
        out << "machine: " << machine.cpus << " processors, "
            << (haveClock ? Figure(clockMHz) + " MHz each" : std::string("clock unknown")) << ", "
            << Figure(memGiB) << " GiB of memory"
            << (machine.asked ? machine.isVirtual ? ", a virtual machine" : ", not virtual" : "")
            << "\n";
        out << "profile: [" << profile << "], because "
            << ProfileReason(conf.env_conf, machine, clockMHz, memGiB, haveClock) << "\n";
    }
    out << "values (where each came from):\n";
    for (const KeySpec& known : kKeys) {
        const bool io = strcmp(known.section, "adapt_io") == 0;
        if (conf.scenes_type == 1 && !io && strcmp(known.section, "type") != 0) continue;
        if (conf.scenes_type != 1 && io) continue;
        const bool inProfile = strcmp(known.section, kProfileKey) == 0;
        checker.Value(known, inProfile ? profile.c_str() : known.section);
    }
    if (conf.scenes_type != 1) {
        for (const char* other : kProfiles) {
            if (profile != other && kvo_ini_file_enum_section(file, other, nullptr, nullptr) > 0)
                out << "  [" << other << "] is not read on this machine\n";
        }
    }
    ListGroups(path, file, out, &checker);
    ListThreadLimits(file, out, &checker);
    ListSchedulerMode(file, out, &checker);
    ListUnknown(file, &checker);
    kvo_ini_file_free(file);
    if (checker.Problems().empty()) {
        out << "result: clean\n";
    } else {
        out << "problems:\n";
        for (const std::string& p : checker.Problems()) out << "  " << p << "\n";
        out << "result: " << checker.Problems().size() << " problem(s)\n";
    }
    *report = out.str();
    return checker.Problems().empty() ? kConfigClean : kConfigProblems;
}
