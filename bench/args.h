// kvo-bench-sched's options, and the cases and tools they select.
#pragma once

#include <string>
#include <vector>

struct Config {
    int runSeconds = 20;  // each holding run
    int fromSecond = 5;   // mean and spread over (fromSecond, runSeconds]
    int costSeconds = 6;  // each schedule-thread cost run
    bool cpulimit = true;
    bool cfs = true;
    std::string outDir;  // empty: no files
    std::string self;    // this program, to start it again as a child
};

// One holding case: this many busy threads (or processes), each at limit.
struct HoldCase {
    float limit;
    int threads;
};

// Every holding case the report shows.
std::vector<HoldCase> HoldCases();

// Fills cfg from the command line. -1 to go on, else the exit status (usage).
int ParseArgs(int argc, char** argv, Config* cfg);
