// The configuration check behind kvo-config: reads a file with the library's own
// reader and machine probe and explains the outcome, value by value.
#pragma once

#include <string>

#include "config/config_env.h"

// Exit statuses of a check.
enum {
    kConfigClean = 0,       // the file reads as written
    kConfigProblems = 1,    // unknown names, values that are no numbers, clipped or refused
    kConfigUnreadable = 2,  // the file cannot be read
};

// Writes the explanation of `path` to *report and returns one of the statuses.
int CheckConfigFile(const std::string& path, ConfigEnv* env, std::string* report);
