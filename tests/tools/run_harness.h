// Runs the tools as a user would, with their output captured, for the tool tests.
#pragma once

#include <sys/types.h>
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
inline RunResult RunKvo(std::vector<std::string> args,
                        std::function<void(pid_t)> whenReady = nullptr) {
    args.insert(args.begin(), KVO_RUN_TOOL);
    return RunProgram(args, whenReady);
}

// The value after "key " where key starts a word of text (the last such), or -1.
double Figure(std::string text, const std::string& key);

// Not in sanitizer builds: an instrumented preload needs its runtime loaded first.
#ifdef KVO_RUN_SANITIZED
#define REQUIRE_END_TO_END() GTEST_SKIP() << "a sanitizer build's preload needs its runtime first"
#else
#define REQUIRE_END_TO_END() (void)0
#endif
