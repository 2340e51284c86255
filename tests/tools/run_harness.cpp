// Spawns kvo-run with pipes for its standard output and error.
#include "run_harness.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

std::string ProbePath() { return KVO_RUN_PROBE; }

bool CanRunEndToEnd(std::string* why) {
#ifdef KVO_RUN_SANITIZED
    *why = "a sanitizer build's preload library needs the sanitizer's runtime loaded first";
    return false;
#else
    (void)why;
    return true;
#endif
}

RunResult RunKvo(const std::vector<std::string>& args,
                 const std::function<void(pid_t)>& whenReady) {
    int out[2], err[2];
    RunResult r;
    if (pipe(out) != 0 || pipe(err) != 0) return r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(KVO_RUN_TOOL));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(KVO_RUN_TOOL, argv.data());
        _exit(120);
    }
    close(out[1]);
    close(err[1]);
    bool readySent = whenReady == nullptr;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
        }
        if (!readySent && r.out.find('\n') != std::string::npos) {
            readySent = true;
            whenReady(pid);
        }
    }
    waitpid(pid, &r.status, 0);
    return r;
}

double Figure(const std::string& text, const std::string& key) {
    const std::string look = key + " ";
    size_t at = text.rfind(look);
    while (at != std::string::npos && at != 0 && text[at - 1] != '\n' && text[at - 1] != ' ') {
        at = at == 0 ? std::string::npos : text.rfind(look, at - 1);
    }
    return at == std::string::npos ? -1 : atof(text.c_str() + at + look.size());
}
