// Busy processes, each held by its own `cpulimit -l P -p <pid>`.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>

#include "holding.h"
#include "processes.h"

extern char** environ;

namespace {

pid_t StartCpulimit(float limit, pid_t target) {
    char limitText[32], pidText[32];
    snprintf(limitText, sizeof limitText, "%g", limit);
    snprintf(pidText, sizeof pidText, "%d", static_cast<int>(target));
    char* args[] = {const_cast<char*>("cpulimit"),
                    const_cast<char*>("-q"),
                    const_cast<char*>("-l"),
                    limitText,
                    const_cast<char*>("-p"),
                    pidText,
                    nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t limiter = -1;
    const int rc = posix_spawnp(&limiter, "cpulimit", &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? limiter : -1;
}

}  // namespace

ToolRun HoldWithCpulimit(const Config& cfg, const HoldCase& c) {
    ToolRun run;
    if (!cfg.cpulimit) {
        run.note = "cpulimit left out";
        return run;
    }
    std::vector<pid_t> children, limiters;
    std::vector<clockid_t> clocks;
    for (int i = 0; i < c.threads; ++i) {
        const pid_t child = StartBusyProcess();
        if (child < 0) break;
        children.push_back(child);
        limiters.push_back(StartCpulimit(c.limit, child));
        clockid_t clock;
        if (limiters.back() < 0 || clock_getcpuclockid(child, &clock) != 0) break;
        clocks.push_back(clock);
    }
    if (static_cast<int>(clocks.size()) == c.threads) {
        for (const auto& w : SampleWindows(clocks, cfg.runSeconds)) {
            run.units.push_back(Reduce(w, c.limit, cfg.fromSecond));
        }
        run.ran = true;
    } else {
        run.note = "could not start the processes or cpulimit";
    }
    for (pid_t limiter : limiters) {
        if (limiter <= 0) continue;
        kill(limiter, SIGTERM);
        waitpid(limiter, nullptr, 0);
    }
    for (pid_t child : children) StopProcess(child);
    return run;
}
