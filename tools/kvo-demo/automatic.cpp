// kvo-demo's automatic limit: busy threads under the controller, whose process
// limit follows the collector's samples and the system ceiling. The library's
// own log lines (at DEBUG) show each sample and each decision as it happens.
#include <dirent.h>
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
    int decisions = 0;  // limits decided so far

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
        if (const char* p = strstr(text, "current set cpu ")) {
            if (sscanf(p, "current set cpu %f", &limit) == 1) ++decisions;
        }
        for (const char* key : {"init device monitor failed", "user behavior switch off",
                                "current not using will set high"}) {
            if (strstr(text, key) != nullptr) m_seen += std::string(key) + "\n";
        }
    }

    std::string m_path;
    std::streamoff m_offset = 0;
    std::string m_seen;
};

// The demo's configuration in a directory of its own, removed at the end.
std::string WriteDemoConfig(const std::string& dir) {
    const std::string path = dir + "/kvo_vurizeda.ini";
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

// Why the device monitor found nothing: no event nodes at all, or nodes that
// this user may not open.
const char* InputDeviceProblem() {
    int nodes = 0, readable = 0;
    for (int i = 0; i < 32; ++i) {
        const std::string path = "/dev/input/event" + std::to_string(i);
        if (access(path.c_str(), F_OK) != 0) continue;
        ++nodes;
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ++readable;
            close(fd);
        }
    }
    if (nodes == 0) return "no input device on this machine (no /dev/input/event*)";
    if (readable == 0) {
        return "no permission to read the input devices (run in group 'input', see the README)";
    }
    return "the readable input devices are neither keyboards nor mice";
}

void PrintActivityMode(const LogFollower& log) {
    if (log.Has("user behavior switch off")) {
        printf("user activity: switched off in the configuration\n");
    } else if (log.Has("init device monitor failed")) {
        printf("user activity: %s; the ceiling stays at its 'using' value\n", InputDeviceProblem());
    } else {
        printf(
            "user activity: following the keyboard and mouse; idle for allow_time raises "
            "the ceiling\n");
    }
}

}  // namespace

// What the run showed about the ceiling: the limit the library decided before
// the host raised it and after, and whether it moved with it.
void PrintVerdict(float before, float after, int decisionsAfter) {
    if (before < 0) {
        printf("result: the library made no decision before the ceiling was raised; run longer\n");
    } else if (decisionsAfter == 0) {
        printf(
            "result: limit %.1f%% under a ceiling of 30%%; no decision came after the raise "
            "to %.0f%%, so whether it follows was not seen (run longer)\n",
            before, kRaisedCeiling);
    } else if (after > before + 1.0f) {
        printf(
            "result: the limit followed the ceiling: %.1f%% under 30%%, %.1f%% under %.0f%% "
            "(%+.1f points)\n",
            before, after, kRaisedCeiling, after - before);
    } else {
        printf(
            "result: the limit did NOT follow the ceiling: %.1f%% under 30%%, %.1f%% under "
            "%.0f%% (the system's other load may leave no room; see the sample column)\n",
            before, after, kRaisedCeiling);
    }
}

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
    char dir[] = "/tmp/kvo-demo-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("kvo-demo: mkdtemp");
        return 1;
    }
    const std::string config = WriteDemoConfig(dir);
    const unsigned int r = kvo_perfctrl_init(config.c_str());
    if (r != 0) {
        fprintf(stderr, "kvo-demo: kvo_perfctrl_init(%s) failed: 0x%08x\n", config.c_str(), r);
        unlink(config.c_str());
        rmdir(dir);
        return 1;
    }
    kvo_enable_vurizeda(2, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the monitor thread starts
    log.Poll();
    printf("automatic limit: ceiling 30%%, window 3 samples\n");
    PrintActivityMode(log);
    printf("the collector samples the system and this process every second\n");

    WorkerPool pool(options.threads, JoinAutomatic, LeaveAutomatic, nullptr);
    const double processors = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
    printf("%zu busy threads under the automatic limit on %.0f processors, for %d s\n", pool.size(),
           processors, options.seconds);
    printf(
        "  time  workers (%% of one processor)      process  | sample: system  process | "
        "limit (%% of machine)\n");
    const auto start = std::chrono::steady_clock::now();
    auto previous = start;
    float limitBefore = -1, limitAfter = -1;
    int decisionsAfter = 0;
    bool raised = false;
    for (int second = 1; second <= options.seconds && !DemoStopped(); ++second) {
        if (second == options.seconds / 2 + 1) {
            limitBefore = log.limit;
            raised = true;
            kvo_set_cpu_vurizeda_upper(kRaisedCeiling);
            printf("  -- the host raises the system ceiling to %.0f%% --\n", kRaisedCeiling);
        }
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        const auto now = std::chrono::steady_clock::now();
        const std::vector<double> shares =
            pool.SharesSince(std::chrono::duration<double>(now - previous).count());
        previous = now;
        const int decisionsBefore = log.decisions;
        log.Poll();
        if (raised && log.decisions != decisionsBefore) {
            decisionsAfter += log.decisions - decisionsBefore;
            limitAfter = log.limit;
        }
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
    unlink(config.c_str());
    rmdir(dir);
    if (DemoStopped()) {
        printf("stopped\n");
        return 1;
    }
    PrintVerdict(limitBefore, limitAfter, decisionsAfter);
    return 0;
}
