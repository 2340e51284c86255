// Runs kvo-run as a user would, with its output captured, for the tool tests.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // as waitpid gives it
    std::string out;
    std::string err;
};

// Runs kvo-run with args. While it runs, during(pid, readyLine) is called once
// the program wrote its first line to standard output (when given).
RunResult RunKvo(const std::vector<std::string>& args,
                 const std::function<void(pid_t)>& whenReady = nullptr);

// The value after "key " in text, or -1.
double Figure(const std::string& text, const std::string& key);

// Path of the test program and whether the suite can run kvo-run end to end
// (not in sanitizer builds: an instrumented preload needs its runtime first).
std::string ProbePath();
bool CanRunEndToEnd(std::string* why);
