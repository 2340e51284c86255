// The holding benchmark's tools: busy threads held by the library in either
// mode, busy processes held by cpulimit, and by the kernel's CFS quota.
#pragma once

#include "args.h"
#include "windows.h"

// Library, as a child process in the given mode ("default" or "exact").
ToolRun HoldWithLibrary(const Config& cfg, const char* mode, const HoldCase& c);
// The child's side: threads busy at the limit; prints one line per thread.
int LibraryChildMain(float limit, int threads, int seconds);

ToolRun HoldWithCpulimit(const Config& cfg, const HoldCase& c);

ToolRun HoldWithCfs(const Config& cfg, const HoldCase& c);
// Which interface of the kernel the CFS runs use, or why they cannot run.
std::string CfsInterface();
