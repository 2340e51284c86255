// kvo-run: runs a command with its threads held to CPU limits by the library,
// through a preload library; kvo-run itself execs the command (no middle
// process), so the program keeps its pid, signals, stdio and exit status.
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli.h"
#include "elfcheck.h"
#include "run_env.h"

namespace {

constexpr int kCannotRun = 126;
constexpr int kNotFound = 127;

const char kUsage[] =
    "usage: kvo-run [options] -- COMMAND [ARGS...]\n"
    "Runs COMMAND with its threads held to CPU limits (percent of one processor).\n"
    "\n"
    "  -l, --limit P        each thread at most P %% (0.1 to 100)\n"
    "  -t, --total P        the program as a whole at most P %% (0.1 to %u), shared\n"
    "                       among its threads: what idle threads leave goes to busy ones\n"
    "                       (with -l, no thread gets more than that)\n"
    "      --thread NAME=P  threads named NAME at most P %% (repeatable); other threads\n"
    "                       run free unless -l is given too; names set later are followed\n"
    "      --auto[=CONFIG]  the automatic, presence-aware limit, configured by CONFIG\n"
    "                       (default: the installation's kvo_vurizeda.ini)\n"
    "      --exact          the scheduler's exact mode\n"
    "      --no-children    programs the command execs run unlimited\n"
    "  -v, --verbose        say what is limited, on standard error\n"
    "  -h, --help           this text\n"
    "      --version        the version\n"
    "\n"
    "The exit status is the command's; 126 or 127 when it cannot be run or found.\n";

[[noreturn]] void Fail(int code, const std::string& text) {
    fprintf(stderr, "kvo-run: %s\n", text.c_str());
    exit(code);
}

[[noreturn]] void UsageFail(const std::string& text) {
    fprintf(stderr, "kvo-run: %s\nTry 'kvo-run --help'.\n", text.c_str());
    exit(kCliUsageError);
}

unsigned int CpuCount() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned int>(n) : 1;
}

float Percent(const char* option, const char* text, float high) {
    char* end = nullptr;
    errno = 0;
    const float value = strtof(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0.1f ||
        value > high) {
        char line[160];
        snprintf(line, sizeof(line), "%s: '%s' is not a percentage from 0.1 to %g", option, text,
                 static_cast<double>(high));
        UsageFail(line);
    }
    return value;
}

struct Options {
    float limit = 0;
    float total = 0;
    std::vector<std::string> threads;  // NAME=P, checked
    bool autoLimit = false;
    std::string autoConfig;
    bool exact = false;
    bool noChildren = false;
    bool verbose = false;
};

std::string ThreadOption(const char* text) {
    const char* eq = strrchr(text, '=');
    if (eq == nullptr || eq == text)
        UsageFail(std::string("--thread: '") + text + "' is not NAME=P");
    const std::string name(text, eq - text);
    if (name.size() > 15) {
        UsageFail("--thread: '" + name + "' is longer than the 15 characters a thread name holds");
    }
    if (name.find('\n') != std::string::npos) UsageFail("--thread: a name holds no line break");
    char value[32];
    snprintf(value, sizeof(value), "%g", static_cast<double>(Percent("--thread", eq + 1, 100.0f)));
    return name + "=" + value;
}

Options Parse(int argc, char** argv) {
    enum { OPT_THREAD = 256, OPT_AUTO, OPT_EXACT, OPT_NO_CHILDREN, OPT_VERSION };
    static const option kLong[] = {{"limit", required_argument, nullptr, 'l'},
                                   {"total", required_argument, nullptr, 't'},
                                   {"thread", required_argument, nullptr, OPT_THREAD},
                                   {"auto", optional_argument, nullptr, OPT_AUTO},
                                   {"exact", no_argument, nullptr, OPT_EXACT},
                                   {"no-children", no_argument, nullptr, OPT_NO_CHILDREN},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, OPT_VERSION},
                                   {nullptr, 0, nullptr, 0}};
    Options o;
    opterr = 0;
    int c;
    // '+': options end at the command, whose own options are its business.
    while ((c = getopt_long(argc, argv, "+:l:t:vh", kLong, nullptr)) != -1) {
        switch (c) {
            case 'l':
                if (o.limit > 0) UsageFail("-l given twice");
                o.limit = Percent("-l", optarg, 100.0f);
                break;
            case 't':
                if (o.total > 0) UsageFail("-t given twice");
                o.total = Percent("-t", optarg, 100.0f * static_cast<float>(CpuCount()));
                break;
            case OPT_THREAD:
                o.threads.push_back(ThreadOption(optarg));
                break;
            case OPT_AUTO:
                o.autoLimit = true;
                if (optarg != nullptr) o.autoConfig = optarg;
                break;
            case OPT_EXACT:
                o.exact = true;
                break;
            case OPT_NO_CHILDREN:
                o.noChildren = true;
                break;
            case 'v':
                o.verbose = true;
                break;
            case 'h':
                printf(kUsage, 100u * CpuCount());
                exit(0);
            case OPT_VERSION:
                exit(CliPrintVersion("kvo-run"));
            case ':':
                UsageFail(std::string("option '") + argv[optind - 1] + "' needs a value");
            default:
                if (optopt != 0) UsageFail(std::string("unknown option '-") + char(optopt) + "'");
                UsageFail(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (o.autoLimit && (o.limit > 0 || o.total > 0 || !o.threads.empty())) {
        UsageFail("--auto cannot be combined with -l, -t or --thread");
    }
    if (o.total > 0 && !o.threads.empty()) UsageFail("-t and --thread cannot be combined");
    if (!o.autoLimit && o.limit <= 0 && o.total <= 0 && o.threads.empty()) {
        UsageFail("nothing to limit: give -l, -t, --thread or --auto");
    }
    if (optind >= argc) UsageFail("no command given");
    return o;
}

std::string InstallDir() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) Fail(1, "cannot find its own location");
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/'));  // bin/
    return dir + "/..";
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// The command as a shell finds it: a name with a slash as it stands, else the
// first executable regular file of that name on PATH.
std::string FindCommand(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* pathEnv = getenv("PATH");
    const std::string path = pathEnv != nullptr ? pathEnv : "/usr/local/bin:/usr/bin:/bin";
    std::string unusable;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string dir = end > start ? path.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
            if (unusable.empty()) unusable = candidate;
        }
        start = end + 1;
    }
    if (!unusable.empty()) return unusable;  // exec reports why it cannot run
    Fail(kNotFound, name + ": command not found");
}

void CheckRunnable(const std::string& command, const std::string& display) {
    struct stat st;
    if (stat(command.c_str(), &st) != 0) {
        Fail(errno == ENOENT || errno == ENOTDIR ? kNotFound : kCannotRun,
             display + ": " + strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) Fail(kCannotRun, display + ": Is a directory");
    if (access(command.c_str(), X_OK) != 0) Fail(kCannotRun, display + ": " + strerror(errno));
}

void SetEnvironment(const Options& o, const std::string& preload) {
    // Appended: a preload the user already has (a sanitizer's runtime must be
    // first) keeps its place; ours still comes before the C library.
    const char* existing = getenv("LD_PRELOAD");
    std::string list = existing != nullptr && *existing != '\0' ? std::string(existing) + " " : "";
    setenv("LD_PRELOAD", (list + preload).c_str(), 1);
    setenv(KVO_RUN_ENV_LIB, preload.c_str(), 1);
    char value[32];
    if (o.limit > 0) {
        snprintf(value, sizeof(value), "%g", static_cast<double>(o.limit));
        setenv(KVO_RUN_ENV_LIMIT, value, 1);
    }
    if (o.total > 0) {
        snprintf(value, sizeof(value), "%g", static_cast<double>(o.total));
        setenv(KVO_RUN_ENV_TOTAL, value, 1);
    }
    if (!o.threads.empty()) {
        std::string lines;
        for (const auto& t : o.threads) lines += (lines.empty() ? "" : "\n") + t;
        setenv(KVO_RUN_ENV_THREADS, lines.c_str(), 1);
    }
    if (o.autoLimit) setenv(KVO_RUN_ENV_AUTO, o.autoConfig.c_str(), 1);
    if (o.verbose) setenv(KVO_RUN_ENV_VERBOSE, "1", 1);
    if (o.noChildren) setenv(KVO_RUN_ENV_NO_CHILDREN, "1", 1);
    if (o.exact) {
        setenv("KVO_SCHED_MODE", "exact", 1);
        setenv(KVO_RUN_ENV_EXACT, "1", 1);
    }
    // The program's standard error is its own: the library says only what is
    // wrong, unless the user chose a level.
    setenv("KVO_LOG_LEVEL", "1", 0);
}

}  // namespace

int main(int argc, char** argv) {
    Options o = Parse(argc, argv);
    const std::string base = InstallDir();
    const std::string preload = RealPath(base + "/lib/libkvo_run.so");
    if (preload.empty()) Fail(1, "its preload library is missing: " + base + "/lib/libkvo_run.so");
    if (preload.find_first_of(" :") != std::string::npos) {
        Fail(1, "its preload library's path holds a space or a colon: " + preload);
    }
    if (o.autoLimit) {
        const std::string given =
            o.autoConfig.empty() ? base + "/config/kvo_vurizeda.ini" : o.autoConfig;
        o.autoConfig = RealPath(given);
        if (o.autoConfig.empty()) Fail(1, "--auto: no configuration file at " + given);
    }

    const std::string display = argv[optind];
    const std::string command = FindCommand(display);
    CheckRunnable(command, display);
    const std::string refusal = PreloadRefusal(command, preload);
    if (!refusal.empty()) Fail(1, display + ": " + refusal);

    SetEnvironment(o, preload);
    execv(command.c_str(), argv + optind);
    Fail(errno == ENOENT ? kNotFound : kCannotRun, display + ": " + strerror(errno));
}
