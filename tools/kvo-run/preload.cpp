// Start of the preload library in the program: reads kvo-run's settings from
// the environment, starts the library's scheduler and registers the main thread.
#include "preload.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "kvo_vurizeda.h"
#include "run_env.h"

namespace {

// Made on first use: the start-up below may run before this file's static
// initialisers, which would otherwise reset what it read.
_RunSettings& Settings() {
    static _RunSettings* settings = new _RunSettings();  // lives as long as the process
    return *settings;
}

float EnvFloat(const char* name) {
    const char* text = getenv(name);
    return text != nullptr ? strtof(text, nullptr) : 0.0f;
}

void ReadSettings() {
    _RunSettings& s = Settings();
    s.limit = EnvFloat(KVO_RUN_ENV_LIMIT);
    s.total = EnvFloat(KVO_RUN_ENV_TOTAL);
    s.verbose = getenv(KVO_RUN_ENV_VERBOSE) != nullptr;
    if (const char* lines = getenv(KVO_RUN_ENV_THREADS)) {
        // NAME=P lines; the name is split at its last '=' so it may hold one.
        std::string all(lines);
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\n', start);
            if (end == std::string::npos) end = all.size();
            const std::string line = all.substr(start, end - start);
            const size_t eq = line.rfind('=');
            if (eq != std::string::npos && eq > 0) {
                s.names.emplace_back(line.substr(0, eq), strtof(line.c_str() + eq + 1, nullptr));
            }
            start = end + 1;
        }
    }
    if (const char* conf = getenv(KVO_RUN_ENV_AUTO)) s.autoConfig = conf;
    if (!s.autoConfig.empty()) {
        s.mode = RUN_MODE_AUTO;
    } else if (s.total > 0) {
        s.mode = RUN_MODE_TOTAL;
    } else if (!s.names.empty()) {
        s.mode = RUN_MODE_NAMES;
    } else if (s.limit > 0) {
        s.mode = RUN_MODE_FIXED;
    }
}

// --no-children: programs this one execs get an environment without us.
void StripFromEnvironment() {
    const char* self = getenv(KVO_RUN_ENV_LIB);
    if (const char* preload = getenv("LD_PRELOAD"); preload != nullptr && self != nullptr) {
        std::string kept;
        std::string all(preload);
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find_first_of(" :", start);
            if (end == std::string::npos) end = all.size();
            const std::string item = all.substr(start, end - start);
            if (!item.empty() && item != self) kept += (kept.empty() ? "" : " ") + item;
            start = end + 1;
        }
        if (kept.empty()) {
            unsetenv("LD_PRELOAD");
        } else {
            setenv("LD_PRELOAD", kept.c_str(), 1);
        }
    }
    if (getenv(KVO_RUN_ENV_EXACT) != nullptr) unsetenv("KVO_SCHED_MODE");
    const char* ours[] = {KVO_RUN_ENV_LIB,     KVO_RUN_ENV_LIMIT,       KVO_RUN_ENV_TOTAL,
                          KVO_RUN_ENV_THREADS, KVO_RUN_ENV_AUTO,        KVO_RUN_ENV_VERBOSE,
                          KVO_RUN_ENV_EXACT,   KVO_RUN_ENV_NO_CHILDREN, KVO_RUN_ENV_SIGNAL_TAG};
    for (const char* name : ours) unsetenv(name);
}

bool StartLibrary() {
    const _RunSettings& s = Settings();
    // The library's own threads take no signal of the program's: they start
    // with every signal blocked (the pthread_create wrapper sees to it, and
    // this covers threads made before it is in place).
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool ok;
    if (s.mode == RUN_MODE_AUTO) {
        ok = kvo_perfctrl_init(s.autoConfig.c_str()) == 0;
        kvo_enable_vurizeda(2, 1);
        if (!ok) RunSay("the automatic limit could not start with %s", s.autoConfig.c_str());
    } else {
        ok = RegisterCpuCtrl() == 1;
        if (!ok) RunSay("the scheduler could not start: the program runs unlimited");
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return ok;
}

}  // namespace

const _RunSettings& RunSettings() { return Settings(); }

float LimitForName(const char* name) {
    const _RunSettings& s = Settings();
    for (const auto& entry : s.names) {
        // The kernel keeps 15 characters of a name; kvo-run refuses longer ones.
        if (strncmp(entry.first.c_str(), name, 15) == 0) return entry.second;
    }
    return s.limit > 0 ? s.limit : 100.0f;
}

void RunSay(const char* format, ...) {
    if (!Settings().verbose) return;
    char line[512];
    int used = snprintf(line, sizeof(line), "kvo-run[%d]: ", static_cast<int>(getpid()));
    va_list args;
    va_start(args, format);
    vsnprintf(line + used, sizeof(line) - used - 1, format, args);
    va_end(args);
    size_t len = strlen(line);
    line[len++] = '\n';
    ssize_t rc = write(STDERR_FILENO, line, len);
    (void)rc;
}

bool IsLibraryCode(const void* addr) {
    Dl_info info;
    if (dladdr(addr, &info) == 0 || info.dli_fname == nullptr) return false;
    const char* base = strrchr(info.dli_fname, '/');
    base = base != nullptr ? base + 1 : info.dli_fname;
    return strncmp(base, "libkvo_", 7) == 0;
}

namespace {

// Runs before main: one thread, an environment nobody else reads yet.
__attribute__((constructor)) void PreloadStart() {
    ReadSettings();
    const _RunSettings& s = Settings();
    if (s.mode == RUN_MODE_NONE) return;
    SignalsInit();  // before the library starts: it takes the tag from the environment
    if (!StartLibrary()) return;
    ThreadsInit();
    if (getenv(KVO_RUN_ENV_NO_CHILDREN) != nullptr) StripFromEnvironment();
    if (s.mode == RUN_MODE_TOTAL || s.mode == RUN_MODE_NAMES) WatcherStart();
    RegisterSelf();
}

}  // namespace
