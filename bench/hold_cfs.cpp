// Busy processes, each in a cgroup of its own under the kernel's CFS bandwidth
// quota: cgroup v2 cpu.max where the cpu controller is there, else cgroup v1
// cpu.cfs_quota_us. Needs the right to create cgroups (root).
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "holding.h"
#include "processes.h"

namespace {

constexpr long kPeriodUs = 100000;

struct CfsRoot {
    std::string dir;  // where our groups are made; empty: none usable
    bool v2 = false;
};

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool HasWord(const std::string& list, const std::string& word, char separator) {
    std::stringstream items(list);
    std::string item;
    while (std::getline(items, item, separator)) {
        if (item == word) return true;
    }
    return false;
}

CfsRoot FindRoot() {
    std::ifstream mounts("/proc/mounts");
    std::string device, dir, type, options, rest;
    CfsRoot v1;
    while (mounts >> device >> dir >> type >> options && std::getline(mounts, rest)) {
        if (type == "cgroup2") {
            std::string controllers = ReadText(dir + "/cgroup.controllers");
            for (char& ch : controllers) ch = ch == '\n' ? ' ' : ch;
            if (HasWord(controllers, "cpu", ' ')) return {dir, true};
        } else if (type == "cgroup" && HasWord(options, "cpu", ',')) {
            v1.dir = dir;
        }
    }
    return v1;
}

// One group holding one busy process at limit percent of one processor.
struct Group {
    std::string dir;
    pid_t pid = -1;

    Group() = default;
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;

    bool Start(const CfsRoot& root, int index, float limit) {
        dir = root.dir + "/kvo-bench-" + std::to_string(getpid()) + "-" + std::to_string(index);
        if (mkdir(dir.c_str(), 0755) != 0) return false;
        const long quota = static_cast<long>(limit * kPeriodUs / 100.0f);
        const bool set = root.v2
                             ? WriteText(dir + "/cpu.max",
                                         std::to_string(quota) + " " + std::to_string(kPeriodUs))
                             : WriteText(dir + "/cpu.cfs_period_us", std::to_string(kPeriodUs)) &&
                                   WriteText(dir + "/cpu.cfs_quota_us", std::to_string(quota));
        if (!set) return false;
        pid = StartBusyProcess();
        return pid > 0 && WriteText(dir + "/cgroup.procs", std::to_string(pid));
    }

    ~Group() {
        StopProcess(pid);  // reaped: the group is empty and can go
        if (!dir.empty()) rmdir(dir.c_str());
    }
};

}  // namespace

std::string CfsInterface() {
    const CfsRoot root = FindRoot();
    if (root.dir.empty()) return "";
    if (root.v2) return "cgroup v2 cpu.max under " + root.dir;
    return "cgroup v1 cpu.cfs_quota_us under " + root.dir;
}

ToolRun HoldWithCfs(const Config& cfg, const HoldCase& c) {
    ToolRun run;
    if (!cfg.cfs) {
        run.note = "CFS quota left out";
        return run;
    }
    const CfsRoot root = FindRoot();
    if (root.dir.empty()) {
        run.note = "no cgroup file system with the cpu controller";
        return run;
    }
    if (root.v2) WriteText(root.dir + "/cgroup.subtree_control", "+cpu");  // may be on already
    std::vector<Group> groups(static_cast<size_t>(c.threads));
    std::vector<clockid_t> clocks;
    for (int i = 0; i < c.threads; ++i) {
        clockid_t clock;
        if (!groups[static_cast<size_t>(i)].Start(root, i, c.limit) ||
            clock_getcpuclockid(groups[static_cast<size_t>(i)].pid, &clock) != 0) {
            run.note = "cannot make a cgroup or set its quota: " + std::string(strerror(errno));
            return run;
        }
        clocks.push_back(clock);
    }
    for (const auto& w : SampleWindows(clocks, cfg.runSeconds)) {
        run.units.push_back(Reduce(w, c.limit, cfg.fromSecond));
    }
    run.ran = true;
    return run;
}
