// Busy threads held by libkvo_vurizeda, in a child process whose scheduler
// mode is chosen by KVO_SCHED_MODE (the mode is fixed once per process).
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "holding.h"
#include "kvo_vurizeda.h"
#include "processes.h"

int LibraryChildMain(float limit, int threads, int seconds) {
    if (RegisterCpuCtrl() != 1) return 1;
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0}, failed{0};
    std::vector<std::thread> busy;
    for (int i = 0; i < threads; ++i) {
        busy.emplace_back([&] {
            const auto tid = static_cast<unsigned int>(syscall(SYS_gettid));
            if (AddCpuCtrlObject(tid, limit) != 1) ++failed;
            ++ready;
            Spin(&stop);
            DelCpuCtrlObject(tid);
        });
    }
    while (ready < threads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<clockid_t> clocks(busy.size());
    for (size_t i = 0; i < busy.size(); ++i)
        pthread_getcpuclockid(busy[i].native_handle(), &clocks[i]);
    std::vector<std::vector<double>> windows;
    if (failed == 0) windows = SampleWindows(clocks, seconds);
    stop = true;
    for (auto& t : busy) t.join();
    UnRegisterCpuCtrl();
    for (const auto& w : windows) {
        printf("w");
        for (double share : w) printf(" %.4f", share);
        printf("\n");
    }
    return failed == 0 ? 0 : 1;
}

ToolRun HoldWithLibrary(const Config& cfg, const char* mode, const HoldCase& c) {
    ToolRun run;
    std::string out;
    if (!RunSelf({"--child-hold", std::to_string(c.limit), std::to_string(c.threads),
                  std::to_string(cfg.runSeconds)},
                 mode, &out)) {
        run.note = "the child run failed";
        return run;
    }
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("w ", 0) != 0) continue;
        std::istringstream fields(line.substr(2));
        std::vector<double> windows;
        double share;
        while (fields >> share) windows.push_back(share);
        run.units.push_back(Reduce(windows, c.limit, cfg.fromSecond));
    }
    run.ran = static_cast<int>(run.units.size()) == c.threads;
    if (!run.ran) run.note = "the child reported no shares";
    return run;
}
