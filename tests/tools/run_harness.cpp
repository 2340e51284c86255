// Spawns a program with a pipe for its standard output and a file for its errors.
#include "run_harness.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

RunResult RunProgram(std::vector<std::string> argv, std::function<void(pid_t)> whenReady) {
    // Built before the fork: the child of a threaded test program may not allocate.
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    RunResult r;
    int out[2];
    FILE* err = tmpfile();  // a file, so that only standard output needs reading meanwhile
    if (err == nullptr || pipe(out) != 0) return r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out[1], 1);
        dup2(fileno(err), 2);
        close(out[0]);
        execv(args[0], args.data());
        _exit(120);
    }
    close(out[1]);
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof(buf))) > 0;) {
        r.out.append(buf, static_cast<size_t>(n));
        if (whenReady != nullptr && r.out.find('\n') != std::string::npos) {
            whenReady(pid);
            whenReady = nullptr;
        }
    }
    close(out[0]);
    waitpid(pid, &r.status, 0);
    rewind(err);
    for (size_t n; (n = fread(buf, 1, sizeof(buf), err)) > 0;) r.err.append(buf, n);
    fclose(err);
    return r;
}

double Figure(std::string text, const std::string& key) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    const size_t at = (" " + text).rfind(" " + key + " ");
    return at == std::string::npos ? -1 : atof(text.c_str() + at + key.size() + 1);
}
