// kvo-stress: loads libkvo_vurizeda.so as a host does, drives it from many
// threads at once for a while, then unloads it and checks that nothing hung,
// nothing was left behind and the fixed limits held.
// Exit: 0 all checks passed, 1 a check failed, 2 bad usage or setup, 3 a hang.
#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "stress_engine.h"

namespace {

struct Args {
    StressOptions options;
    std::string library;
    bool checkShares = false;
    bool keep = false;
    bool holdOnHang = false;
};

void Usage(FILE* out) {
    fprintf(out,
            "usage: kvo-stress [--threads N] [--seconds S] [--check-shares] [--limited N]\n"
            "                  [--limit P] [--rate R] [--watchdog W] [--seed X]\n"
            "                  [--library PATH] [--keep] [--hold-on-hang] [--verbose]\n"
            "  --threads N     host threads calling the library at random (64)\n"
            "  --seconds S     length of the run (30)\n"
            "  --check-shares  fail when a fixed-limit thread missed its limit grossly\n"
            "  --limited N     threads held at a fixed limit and measured (3)\n"
            "  --limit P       their limit, percent of one processor (20)\n"
            "  --rate R        collector messages per second (100)\n"
            "  --watchdog W    seconds one call or the final stop may take (30)\n"
            "  --seed X        random seed (from the clock)\n"
            "  --library PATH  the library (<bin>/../lib/libkvo_vurizeda.so)\n"
            "  --keep          keep the temporary directory (configuration, log)\n"
            "  --hold-on-hang  on a hang, wait to be inspected (gdb -p PID) instead of exiting\n"
            "  --verbose       say more while it runs\n"
            "  --version       print the version\n");
}

// The whole-number options that set a count, with the range each accepts.
struct CountOption {
    const char* name;
    long low;
    long high;
    int StressOptions::*field;
};

const CountOption kCountOptions[] = {
    {"--threads", 1, 4096, &StressOptions::threads},
    {"--seconds", 1, 86400, &StressOptions::seconds},
    {"--limited", 0, 64, &StressOptions::limitedThreads},
    {"--rate", 2, 100000, &StressOptions::messageRate},
    {"--watchdog", 1, 3600, &StressOptions::watchdogSeconds},
};

// The count option the current argument names, or null.
const CountOption* CountOptionAt(CliArgs* cli) {
    for (const CountOption& option : kCountOptions) {
        if (cli->Is(option.name)) return &option;
    }
    return nullptr;
}

// 0 to run, 1 when help or the version was shown, 2 on a usage error.
int ParseArgs(int argc, char** argv, Args* args) {
    StressOptions& o = args->options;
    o.seed = static_cast<uint32_t>(time(nullptr)) ^ static_cast<uint32_t>(getpid());
    CliArgs cli("kvo-stress", argc, argv);
    bool bad = false, limitGiven = false;
    while (cli.Next() && !bad) {
        long n = 0;
        const char* text = nullptr;
        if (cli.Is("--help") || cli.Is("-h")) {
            Usage(stdout);
            return 1;
        } else if (cli.Is("--version")) {
            return CliPrintVersion("kvo-stress") == 0 ? 1 : 2;
        } else if (cli.IsFlag("--check-shares", &bad)) {
            args->checkShares = true;
        } else if (cli.IsFlag("--keep", &bad)) {
            args->keep = true;
        } else if (cli.IsFlag("--hold-on-hang", &bad)) {
            args->holdOnHang = true;
            args->options.holdOnHang = true;
        } else if (cli.IsFlag("--verbose", &bad)) {
            o.verbose = true;
        } else if (cli.Is("--library")) {
            bad = !cli.Text(&text);
            if (!bad) args->library = text;
        } else if (const CountOption* count = CountOptionAt(&cli)) {
            bad = !cli.Integer(count->low, count->high, &n);
            if (!bad) o.*(count->field) = static_cast<int>(n);
        } else if (cli.Is("--limit")) {
            bad = !cli.Integer(1, 100, &n);
            o.limitedPercent = static_cast<float>(n);
            limitGiven = true;
        } else if (cli.Is("--seed")) {
            bad = !cli.Integer(0, LONG_MAX, &n);
            o.seed = static_cast<uint32_t>(n);
        } else {
            return cli.Unknown();
        }
    }
    if (bad) return 2;
    // Options that only make sense with limited threads.
    if (o.limitedThreads == 0 && (args->checkShares || limitGiven)) {
        cli.Fail("%s needs limited threads (--limited 0 was given)",
                 args->checkShares ? "--check-shares" : "--limit");
        return 2;
    }
    return 0;
}

std::string DefaultLibrary() {
    char exe[PATH_MAX] = {0};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : ".";
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../lib/libkvo_vurizeda.so";
}

// The library's log goes to a file of ours unless the caller chose otherwise;
// the embedded sampler is off, so the feeder is the only collector.
std::string PrepareEnvironment(const std::string& dir) {
    std::string log;
    if (getenv("KVO_LOG_FILE") == nullptr) {
        log = dir + "/kvo.log";
        setenv("KVO_LOG_FILE", log.c_str(), 1);
        setenv("KVO_LOG_LEVEL", "1", 0);
    }
    setenv("KVO_COMM_SAMPLER", "0", 0);
    return log;
}

void* LoadApi(const std::string& path, KvoApi* api) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        fprintf(stderr, "kvo-stress: cannot load %s: %s\n", path.c_str(), dlerror());
        return nullptr;
    }
    void** slots = reinterpret_cast<void**>(api);
    for (int i = 0; i < kKvoApiCount; ++i) {
        slots[i] = dlsym(handle, kKvoApiSymbols[i]);
        if (slots[i] == nullptr) {
            fprintf(stderr, "kvo-stress: %s lacks %s\n", path.c_str(), kKvoApiSymbols[i]);
            dlclose(handle);
            return nullptr;
        }
    }
    return handle;
}

// ---- End checks ----------------------------------------------------------------

struct Checks {
    std::vector<std::string> lines;
    bool passed = true;
    void Add(bool ok, const std::string& text) {
        lines.push_back(std::string(ok ? "  ok    " : "  FAIL  ") + text);
        passed = passed && ok;
    }
    void Note(const std::string& text) { lines.push_back("  note  " + text); }
};

// The library's threads end when it is unloaded; allow them a moment to vanish.
void CheckThreads(const std::vector<uint32_t>& before, Checks* checks) {
    std::vector<uint32_t> after;
    for (int i = 0; i < 40; ++i) {
        after = ProcessThreadIds();
        if (after == before) break;
        usleep(50 * 1000);
    }
    std::string extra;
    for (uint32_t tid : after) {
        bool known = false;
        for (uint32_t old : before) known = known || old == tid;
        if (!known) extra += " " + std::to_string(tid) + "(" + ThreadName(tid) + ")";
    }
    checks->Add(after == before, "threads after unload: " + std::to_string(after.size()) +
                                     " (at start " + std::to_string(before.size()) + ")" +
                                     (extra.empty() ? "" : ", left over:" + extra));
}

void CheckLog(const std::string& log, const StressReport& report, Checks* checks) {
    if (log.empty()) {
        checks->Note("log lines not checked: KVO_LOG_FILE was set by the caller");
        return;
    }
    std::ifstream in(log);
    std::string line;
    uint64_t refusedLines = 0, errors = 0;
    std::string firstError;
    while (std::getline(in, line)) {
        refusedLines += line.find("to cpu limit failed") != std::string::npos ? 1 : 0;
        if (line.find("[ERROR]") != std::string::npos) {
            if (errors++ == 0) firstError = line;
        }
    }
    checks->Add(refusedLines == report.fixedLimitWarnings,
                "WARN lines of refused fixed limits: " + std::to_string(refusedLines) + " for " +
                    std::to_string(report.fixedLimitWarnings) + " refusals");
    if (errors != 0) {
        checks->Note(std::to_string(errors) + " ERROR line(s) in the log, first: " + firstError);
    }
}

void CheckShares(const StressOptions& o, const StressReport& report, bool enforce, Checks* checks) {
    const double limit = o.limitedPercent;
    for (size_t i = 0; i < report.limitedShares.size(); ++i) {
        const double share = report.limitedShares[i];
        // Gross misses only: a thread far above its limit escaped it; one that
        // hardly ran at all slept far too much. Below the limit is normal on a
        // busy machine.
        const bool gross = share < 0.5 || share > limit * 1.5 + 5.0;
        char text[160];
        snprintf(text, sizeof text, "limited thread %zu: %.1f %% of one processor (limit %.0f %%)",
                 i, share, limit);
        if (enforce) {
            checks->Add(!gross, text);
        } else {
            checks->Note(std::string(text) + (gross ? " - gross miss, not enforced" : ""));
        }
    }
    checks->Add(report.limitedAttachFailures == 0,
                "fixed limits taken: " +
                    std::to_string(report.limitedShares.size() - report.limitedAttachFailures) +
                    " of " + std::to_string(report.limitedShares.size()));
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (const int parsed = ParseArgs(argc, argv, &args)) return parsed == 1 ? 0 : 2;
    if (args.library.empty()) args.library = DefaultLibrary();
    // A sanitizer's helper thread starts with the first thread the program makes:
    // let it exist before the count that the end is compared against.
    std::thread([] {}).join();
    const std::vector<uint32_t> threadsBefore = ProcessThreadIds();
    const int fdsBefore = OpenDescriptorCount();

    char dirTemplate[] = "/tmp/kvo-stress.XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        perror("kvo-stress: mkdtemp");
        return 2;
    }
    const std::string dir = dirTemplate;
    args.options.configPath = dir + "/kvo_vurizeda.ini";
    std::ofstream(args.options.configPath) << StressConfigText();
    const std::string log = PrepareEnvironment(dir);

    KvoApi api{};
    void* handle = LoadApi(args.library, &api);
    if (handle == nullptr) return 2;

    StressReport report;
    if (!RunStress(api, args.options, &report)) {
        fprintf(stderr,
                "kvo-stress: DEADLOCK: threads did not finish within the watchdog time (%d s):\n%s",
                args.options.watchdogSeconds, report.stuck.c_str());
        fflush(stderr);
        if (args.holdOnHang) {
            fprintf(stderr, "kvo-stress: holding pid %d for inspection\n",
                    static_cast<int>(getpid()));
            for (;;) pause();
        }
        _exit(3);
    }
    const bool closed = dlclose(handle) == 0;

    Checks checks;
    checks.Add(true, "every thread finished within the watchdog time");
    for (const std::string& failure : report.failures) checks.Add(false, failure);
    checks.Add(closed, "library unloaded");
    CheckThreads(threadsBefore, &checks);
    const int fdsAfter = OpenDescriptorCount();
    checks.Add(fdsAfter == fdsBefore, "descriptors after unload: " + std::to_string(fdsAfter) +
                                          " (at start " + std::to_string(fdsBefore) + ")");
    CheckLog(log, report, &checks);
    CheckShares(args.options, report, args.checkShares, &checks);

    printf("%s", FormatStressReport(args.options, report).c_str());
    printf("checks:\n");
    for (const std::string& line : checks.lines) printf("%s\n", line.c_str());
    printf("result: %s\n", checks.passed ? "PASS" : "FAIL");
    if (!args.keep) {
        unlink(args.options.configPath.c_str());
        if (!log.empty()) unlink(log.c_str());
        rmdir(dir.c_str());
    } else {
        printf("kept: %s\n", dir.c_str());
    }
    return checks.passed ? 0 : 1;
}
