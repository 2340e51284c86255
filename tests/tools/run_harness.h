// Runs the tools as a user would, with their output captured, for the tool tests.
#pragma once

#include <sys/wait.h>

#include <functional>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // as waitpid gives it
    std::string out, err;
    // As a shell shows it: the exit status, or 128 + the terminating signal.
    int Code() const { return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status); }
};

// Runs argv (argv[0] a path) with standard input from /dev/null; whenReady(pid)
// is called once the program wrote its first line to standard output.
RunResult RunProgram(std::vector<std::string> argv, std::function<void(pid_t)> whenReady = nullptr);
