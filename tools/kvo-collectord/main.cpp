// kvo-collectord: publishes system and process CPU samples to the receivers
// "kvo_vurizeda:reciver" of other processes, each with that process's own
// figures, until SIGINT or SIGTERM.
#define KVO_MODULE_TAG "[collectord]"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "comm/kvo_protocol.h"
#include "commaddr.h"
#include "platform/kvo_base.h"
#include "platform/runtime_dir.h"
#include "sampler.h"

namespace {

constexpr long kMaxIntervalS = 600;

struct Options {
    std::vector<uint32_t> pids;  // empty: every process with a receiver
    long intervalS = 1;
};

const char kUsage[] =
    "usage: kvo-collectord [--pid PID]... [--interval SECONDS]\n"
    "  --pid PID           publish to this process (repeatable); without it, to every\n"
    "                      process with a <runtime dir>/<pid>/kvo_vurizeda:reciver\n"
    "                      socket (this user's; every user's when run as root)\n"
    "  --interval SECONDS  seconds between samples, 1 to 600 (default 1)\n";

bool ParseNumber(const char* text, long low, long high, long* value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    long parsed = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

// "--name value" or "--name=value"; advances i past a separate value.
const char* OptionValue(int argc, char** argv, int* i, const char* name) {
    size_t n = strlen(name);
    if (strncmp(argv[*i], name, n) != 0) return nullptr;
    if (argv[*i][n] == '=') return argv[*i] + n + 1;
    if (argv[*i][n] != '\0' || *i + 1 >= argc) return nullptr;
    return argv[++*i];
}

// 0 to run, 1 when help was shown, 2 on a usage error.
int ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        long value = 0;
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(kUsage, stdout);
            return 1;
        }
        if (const char* text = OptionValue(argc, argv, &i, "--pid")) {
            if (!ParseNumber(text, 1, INT32_MAX, &value)) {
                fprintf(stderr, "kvo-collectord: bad pid '%s'\n%s", text, kUsage);
                return 2;
            }
            options->pids.push_back(static_cast<uint32_t>(value));
        } else if (const char* text = OptionValue(argc, argv, &i, "--interval")) {
            if (!ParseNumber(text, 1, kMaxIntervalS, &options->intervalS)) {
                fprintf(stderr, "kvo-collectord: bad interval '%s'\n%s", text, kUsage);
                return 2;
            }
        } else {
            fprintf(stderr, "kvo-collectord: unknown argument '%s'\n%s", argv[i], kUsage);
            return 2;
        }
    }
    return 0;
}

// A process and the socket of its receiver.
struct Target {
    uint32_t pid;
    std::string path;
};

class Publisher {
public:
    explicit Publisher(int fd) : m_fd(fd) {}

    // One round: a sampler per target (its first read is the baseline), then
    // the system message and the process message to each target's receiver.
    void Tick(const std::vector<Target>& targets) {
        ForgetAbsent(targets);
        for (const Target& target : targets) {
            std::unique_ptr<CSampler>& sampler = m_samplers[target.pid];
            if (!sampler) sampler.reset(new CSampler(target.pid, SamplerEnv::Default()));
            std::string system, process;
            if (sampler->Sample(&system, &process)) Publish(target, system, process);
        }
    }

private:
    void ForgetAbsent(const std::vector<Target>& targets) {
        for (auto it = m_samplers.begin(); it != m_samplers.end();) {
            bool present = false;
            for (const Target& target : targets) present = present || target.pid == it->first;
            if (!present) KVO_LOGI("process %u: no longer served", it->first);
            it = present ? std::next(it) : m_samplers.erase(it);
        }
    }

    void Publish(const Target& target, const std::string& system, const std::string& process) {
        int err = CommSendTo(m_fd, target.path, system.data(), system.size(), MSG_DONTWAIT);
        if (err == 0) {
            err = CommSendTo(m_fd, target.path, process.data(), process.size(), MSG_DONTWAIT);
        }
        if (err != 0) KVO_LOGD("process %u: not delivered: %s", target.pid, strerror(err));
    }

    int m_fd;
    std::map<uint32_t, std::unique_ptr<CSampler>> m_samplers;
};

// The receiver of process pid, only when its socket belongs to the process's
// own uid: a socket left by an ended process whose pid another user's process
// now holds is not that process's, and gets none of its figures.
bool ReceiverOf(uint32_t pid, std::string* path) {
    std::string status;
    uid_t uid = 0;
    if (!SamplerEnv::Default()->ReadFile("/proc/" + std::to_string(pid) + "/status", &status) ||
        !ParseEffectiveUid(status, &uid)) {
        return false;
    }
    const std::string candidate = CommReceiverPathOf(uid, pid, kCommLibraryReceiver);
    struct stat st;
    if (lstat(candidate.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != uid) {
        return false;
    }
    *path = candidate;
    return true;
}

// Our own runtime directory; as root, that of every uid that owns a process.
std::set<std::string> SearchDirs() {
    std::set<std::string> dirs = {KvoRuntimeDirOf(geteuid())};
    if (geteuid() != 0) return dirs;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return dirs;
    while (dirent* entry = readdir(proc)) {
        struct stat st;
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' &&
            fstatat(dirfd(proc), entry->d_name, &st, 0) == 0) {
            dirs.insert(KvoRuntimeDirOf(st.st_uid));
        }
    }
    closedir(proc);
    return dirs;
}

std::vector<Target> Targets(const Options& options) {
    std::vector<uint32_t> pids = options.pids;
    if (pids.empty()) {
        for (const std::string& dir : SearchDirs()) {
            std::vector<uint32_t> found = ListPidFolders(dir);
            pids.insert(pids.end(), found.begin(), found.end());
        }
    }
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    std::vector<Target> targets;
    for (uint32_t pid : pids) {
        std::string path;
        if (ReceiverOf(pid, &path)) targets.push_back(Target{pid, path});
    }
    return targets;
}

// Waits until the deadline or a stop signal; true when a signal came.
bool WaitForStop(const sigset_t& stopSignals, int64_t deadlineMs) {
    for (;;) {
        int64_t left = deadlineMs - SamplerEnv::Default()->MonotonicMs();
        if (left <= 0) return false;
        timespec wait = {static_cast<time_t>(left / 1000),
                         static_cast<long>(left % 1000) * 1000000};
        int sig = sigtimedwait(&stopSignals, nullptr, &wait);
        if (sig > 0) return true;
        if (errno != EINTR && errno != EAGAIN) return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) return parsed == 1 ? 0 : 2;

    // The stop signals are taken by sigtimedwait, never by a handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        KVO_LOGE("socket failed: %s", strerror(errno));
        return 1;
    }
    KVO_LOGI("publishing every %ld s to %s", options.intervalS,
             options.pids.empty() ? "every receiver found" : "the given processes");
    Publisher publisher(fd);
    int64_t intervalMs = options.intervalS * 1000;
    int64_t next = SamplerEnv::Default()->MonotonicMs();
    do {
        publisher.Tick(Targets(options));
        next += intervalMs;
    } while (!WaitForStop(stopSignals, next));
    close(fd);
    KVO_LOGI("stopped");
    return 0;
}
