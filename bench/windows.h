// Per-second CPU shares of threads or processes, and their reduction to a
// mean, a spread and the second from which they hold the limit.
#pragma once

#include <time.h>

#include <atomic>
#include <string>
#include <vector>

struct Figures {
    bool valid = false;
    double mean = 0;
    double stddev = 0;
    int heldFrom = -1;  // first second from which every window is within 10 % of the target
    std::vector<double> windows;  // share of each second, percent of one processor
};

// What a tool made of one case: a Figures per limited thread or process.
struct ToolRun {
    bool ran = false;
    std::string note;  // why it did not run
    std::vector<Figures> units;
};

double CpuSeconds(clockid_t clock);

// Samples every clock once a second for the given seconds: the share of each
// second, percent of one processor, per clock.
std::vector<std::vector<double>> SampleWindows(const std::vector<clockid_t>& clocks, int seconds);

// Mean and spread of the windows after fromSecond, and the holding second.
Figures Reduce(const std::vector<double>& windows, double target, int fromSecond);

// Busy loop until *stop.
void Spin(const std::atomic<bool>* stop, std::atomic<unsigned long>* loops = nullptr);
