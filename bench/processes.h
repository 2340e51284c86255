// Processes the benchmark starts: busy children, this program again as a
// child in a chosen scheduler mode, and tools found on the PATH.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

bool FindInPath(const char* name);

// A child process that spins until it is stopped; -1 on failure.
pid_t StartBusyProcess();
void StopProcess(pid_t pid);

// Runs this program again with args and KVO_SCHED_MODE=mode, and collects its
// standard output. False when it could not be started or did not exit with 0.
bool RunSelf(const std::vector<std::string>& args, const char* mode, std::string* out);
