// Starting and stopping the benchmark's child processes.
#include "processes.h"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

bool FindInPath(const char* name) {
    const char* path = getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t end = dirs.find(':', pos);
        if (end == std::string::npos) end = dirs.size();
        const std::string file = dirs.substr(pos, end - pos) + "/" + name;
        if (access(file.c_str(), X_OK) == 0) return true;
        pos = end + 1;
    }
    return false;
}

pid_t StartBusyProcess() {
    const pid_t child = fork();
    if (child == 0) {
        volatile unsigned long sink = 0;
        for (;;) sink = sink + 1;
    }
    return child;
}

void StopProcess(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool RunSelf(const std::vector<std::string>& args, const char* mode, std::string* out) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (strncmp(*e, "KVO_SCHED_MODE=", 15) != 0) env.emplace_back(*e);
    }
    env.push_back(std::string("KVO_SCHED_MODE=") + mode);
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    argv.push_back(&self[0]);
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t child = -1;
    const int rc =
        posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return false;
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
