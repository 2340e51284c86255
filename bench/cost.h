// What the schedule thread costs per limited thread per tick, in each mode,
// and how much an unlimited busy thread beside the limited ones is slowed.
#pragma once

#include <string>
#include <vector>

#include "args.h"

struct CostFigures {
    std::string mode;
    bool valid = false;
    int threads = 0;
    double cpuPercent = 0;  // the library's own threads, percent of one processor
    double usPerThreadTick = 0;
    int libraryThreads = 0;
    double freeWallRate = 0;  // the unlimited thread's loops per wall second
    double freeCpuRate = 0;   // and per second of its own CPU time
};

// Rows for 0, 1, 10, 100 and 1000 limited threads, each mode in turn.
std::vector<CostFigures> CostTable(const Config& cfg);
// The child's side: one row, printed as one line.
int CostChildMain(int count, int seconds);
