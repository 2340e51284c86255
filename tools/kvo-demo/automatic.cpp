// kvo-demo's automatic limit: busy threads under the controller, whose process
// limit follows the collector's samples and the system ceiling. The library's
// own log lines (at DEBUG) show each sample and each decision as it happens.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "demo.h"
#include "kvo_vurizeda.h"

namespace {

constexpr float kRaisedCeiling = 60.0f;

// Follows the library's log file and keeps the latest figures it reported.
class LogFollower {
public:
    explicit LogFollower(std::string path) : m_path(std::move(path)) {}

    void Poll() {
        std::ifstream in(m_path, std::ios::binary);
        in.seekg(m_offset);
        std::string line;
        while (std::getline(in, line)) {
            if (in.eof()) break;  // a line still being written
            m_offset += static_cast<std::streamoff>(line.size() + 1);
            Scan(line);
        }
    }
    bool Has(const char* text) const { return m_seen.find(text) != std::string::npos; }

    float sysCpu = -1, procCpu = -1, limit = -1;

private:
    void Scan(const std::string& line) {
        const char* text = line.c_str();
        if (const char* p = strstr(text, "sys cpu:")) {
            float sys = 0, proc = 0;
            if (sscanf(p, "sys cpu:%f, proc cpu:%f", &sys, &proc) == 2) {
                sysCpu = sys;
                procCpu = proc;
            }
        }
        if (const char* p = strstr(text, "current set cpu "))
            sscanf(p, "current set cpu %f", &limit);
        for (const char* key : {"init device monitor failed", "user behavior switch off",
                                "current not using will set high"}) {
            if (strstr(text, key) != nullptr) m_seen += std::string(key) + "\n";
        }
    }

    std::string m_path;
    std::streamoff m_offset = 0;
    std::string m_seen;
};

std::string WriteDemoConfig() {
    char dir[] = "/tmp/kvo-demo-XXXXXX";
    if (mkdtemp(dir) == nullptr) return "";
    const std::string path = std::string(dir) + "/kvo_vurizeda.ini";
    std::ofstream out(path);
    // A short window (3 samples) so that decisions come every few seconds.
    for (const char* section : {"adapt_cpu", "td_cpu"}) {
        out << "[" << section << "]\nsys_max = 30\nproc_min = 5\nadjust_cycle = 3\n"
            << "sys_max_unused = 80\n";
    }
    out << "[user_behavior]\nbehavior_switch = 1\nallow_time = 300\n";
    return path;
}

bool JoinAutomatic(void*) { return kvo_add_cpu_vurizeda(Gettid()) == 0; }
void LeaveAutomatic(void*) { kvo_del_cpu_vurizeda(Gettid()); }

void PrintActivityMode(const LogFollower& log) {
    if (log.Has("user behavior switch off")) {
        printf("user activity: switched off in the configuration\n");
    } else if (log.Has("init device monitor failed")) {
        printf(
            "user activity: no readable input device (run as root or in group 'input');"
            " the ceiling stays at its 'using' value\n");
    } else {
        printf(
            "user activity: following the keyboard and mouse; idle for allow_time raises "
            "the ceiling\n");
    }
}

}  // namespace

int RunAutomatic(Options options) {
    const char* logPath = getenv("KVO_LOG_FILE");
    if (logPath == nullptr || getenv("KVO_LOG_LEVEL") == nullptr ||
        atoi(getenv("KVO_LOG_LEVEL")) < 3) {
        fprintf(stderr,
                "kvo-demo: the automatic mode reads the library's DEBUG log: set "
                "KVO_LOG_FILE and KVO_LOG_LEVEL=3 (main() does this)\n");
        return 1;
    }
    LogFollower log(logPath);
    const std::string config = WriteDemoConfig();
    const unsigned int r = kvo_perfctrl_init(config.c_str());
    if (r != 0) {
        fprintf(stderr, "kvo-demo: kvo_perfctrl_init(%s) failed: 0x%08x\n", config.c_str(), r);
        return 1;
    }
    kvo_enable_vurizeda(2, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the monitor thread starts
    log.Poll();
    printf("automatic limit: configuration %s (ceiling 30%%, window 3 samples)\n", config.c_str());
    PrintActivityMode(log);
    printf(
        "the collector samples the system and this process every second; the library's log: "
        "%s\n",
        logPath);

    WorkerPool pool(options.threads, JoinAutomatic, LeaveAutomatic, nullptr);
    const double processors = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
    printf("%zu busy threads under the automatic limit on %.0f processors, for %d s\n", pool.size(),
           processors, options.seconds);
    printf(
        "  time  workers (%% of one processor)      process  | sample: system  process | "
        "limit (%% of machine)\n");
    const auto start = std::chrono::steady_clock::now();
    auto previous = start;
    for (int second = 1; second <= options.seconds; ++second) {
        if (second == options.seconds / 2 + 1) {
            kvo_set_cpu_vurizeda_upper(kRaisedCeiling);
            printf("  -- the host raises the system ceiling to %.0f%% --\n", kRaisedCeiling);
        }
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        const auto now = std::chrono::steady_clock::now();
        const std::vector<double> shares =
            pool.SharesSince(std::chrono::duration<double>(now - previous).count());
        previous = now;
        log.Poll();
        double total = 0;
        printf("  %3ds ", second);
        for (double s : shares) {
            printf(" %5.1f", s);
            total += s;
        }
        char limit[32] = "(none yet)";
        if (log.limit >= 0) snprintf(limit, sizeof limit, "%.1f%%", log.limit);
        printf("   = %5.1f%% of machine | %6.1f%% %7.1f%% | %s\n", total / processors, log.sysCpu,
               log.procCpu, limit);
        fflush(stdout);
    }
    pool.Stop();
    kvo_perfctrl_uninit();
    printf("the process limit moved with the samples and the ceiling; see %s\n", logPath);
    return 0;
}
