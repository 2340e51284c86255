// kvo-top: a live view of what libkvo_vurizeda limits in every process of the
// calling user (every process, for root), refreshed like top.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli.h"
#include "client.h"
#include "view.h"

namespace {

constexpr long kMaxPid = 4194304;  // the kernel's PID_MAX_LIMIT
constexpr double kMinIntervalS = 0.2;
constexpr double kMaxIntervalS = 3600;
// A scheduler with nothing to limit looks at its port every 2.5 s.
constexpr int64_t kAnswerWaitMs = 3000;

const char kUsage[] =
    "usage: kvo-top [-p PID]... [--once] [--json] [--interval S]\n"
    "Shows, for every process of yours that uses libkvo_vurizeda (every process when\n"
    "run as root): its scheduling mode, the automatic limit and ceiling, whether the\n"
    "user counts as present and the last collector sample where the automatic\n"
    "controller runs; and each limited thread's limit, its share of one processor\n"
    "over the last second, its sleep per 250 ms tick and the signals it gets per second.\n"
    "  -p, --pid PID   only this process (repeatable)\n"
    "  --once          one view, then exit\n"
    "  --json          JSON instead of the table (one document per refresh)\n"
    "  --interval S    seconds between refreshes, 0.2 to 3600 (default 1)\n"
    "  --help          this text\n"
    "  --version       the version\n";

struct Options {
    std::vector<uint32_t> pids;
    bool once = false;
    bool json = false;
    double intervalS = 1;
};

// "--name value", "--name=value" or, for a short name, "-p value" and "-pvalue".
// Null when argv[*i] is not that option; *missing when its value is.
const char* OptionValue(int argc, char** argv, int* i, const char* name, bool* missing) {
    const size_t n = strlen(name);
    const char* arg = argv[*i];
    if (strncmp(arg, name, n) != 0) return nullptr;
    if (arg[n] == '=' && name[1] == '-') return arg + n + 1;
    if (arg[n] != '\0') return name[1] == '-' ? nullptr : arg + n;
    if (*i + 1 >= argc) {
        *missing = true;
        return nullptr;
    }
    return argv[++*i];
}

bool ParseDouble(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    errno = 0;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(v >= low && v <= high)) return false;
    *value = v;
    return true;
}

// 0 to run, -1 after --help or --version, otherwise the exit code.
int ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool missing = false;
        const char* value = nullptr;
        double number = 0;
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return -1;
        }
        if (arg == "--version") {
            CliPrintVersion("kvo-top");
            return -1;
        }
        if (arg == "--once") {
            options->once = true;
        } else if (arg == "--json") {
            options->json = true;
        } else if ((value = OptionValue(argc, argv, &i, "-p", &missing)) != nullptr ||
                   (value = OptionValue(argc, argv, &i, "--pid", &missing)) != nullptr) {
            if (!ParseDouble(value, 1, kMaxPid, &number) || number != static_cast<long>(number)) {
                fprintf(stderr, "kvo-top: -p wants a process id from 1 to %ld, not '%s'\n", kMaxPid,
                        value);
                return kCliUsageError;
            }
            options->pids.push_back(static_cast<uint32_t>(number));
        } else if ((value = OptionValue(argc, argv, &i, "--interval", &missing)) != nullptr) {
            if (!ParseDouble(value, kMinIntervalS, kMaxIntervalS, &options->intervalS)) {
                fprintf(stderr, "kvo-top: --interval wants seconds from %g to %g, not '%s'\n",
                        kMinIntervalS, kMaxIntervalS, value);
                return kCliUsageError;
            }
        } else if (missing) {
            fprintf(stderr, "kvo-top: option '%s' needs a value (see --help)\n", arg.c_str());
            return kCliUsageError;
        } else {
            fprintf(stderr, "kvo-top: unknown option '%s' (see --help)\n", arg.c_str());
            return kCliUsageError;
        }
    }
    return 0;
}

// One round: find, ask, show. False when a process named with -p did not answer.
bool Round(const Options& options, uint32_t seq, bool clearScreen) {
    const bool all = geteuid() == 0;
    const std::vector<_TopTarget> targets = FindTargets(options.pids, all, geteuid());
    std::vector<_TopAnswer> answers = QueryTargets(targets, seq, kAnswerWaitMs);
    if (options.pids.empty()) {  // only processes that use the library now
        answers.erase(std::remove_if(answers.begin(), answers.end(),
                                     [](const _TopAnswer& a) { return a.stale; }),
                      answers.end());
    }
    bool allAnswered = true;
    for (_TopAnswer& answer : answers) {
        if (answer.status) DescribeThreads(answer.target.pid, answer.status.get());
        allAnswered = allAnswered && answer.status != nullptr;
    }
    const time_t now = time(nullptr);
    const std::string text = options.json ? RenderJson(answers, KVO_VERSION, now)
                                          : RenderText(answers, KVO_VERSION, now);
    if (clearScreen) fputs("\033[H\033[2J", stdout);
    fputs(text.c_str(), stdout);
    fflush(stdout);
    return allAnswered || options.pids.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    const bool clearScreen = !options.once && !options.json && isatty(STDOUT_FILENO);
    const auto intervalNs = static_cast<int64_t>(options.intervalS * 1e9);
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (uint32_t seq = 1;; ++seq) {
        const bool ok = Round(options, seq, clearScreen);
        if (options.once) return ok ? 0 : 1;
        const int64_t at =
            static_cast<int64_t>(next.tv_sec) * 1000000000 + next.tv_nsec + intervalNs;
        next.tv_sec = static_cast<time_t>(at / 1000000000);
        next.tv_nsec = static_cast<long>(at % 1000000000);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec > next.tv_nsec)) {
            next = now;  // a slow round: the next one starts at once
        } else {
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
            }
        }
        if (!options.json) fputs(clearScreen ? "" : "\n", stdout);
    }
}
