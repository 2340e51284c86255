// Runs a test body under a deadline: a hang aborts the whole program with a
// message instead of stalling the suite.
#pragma once

#include <functional>

void RunWithWatchdog(int seconds, const char* what, const std::function<void()>& body);
