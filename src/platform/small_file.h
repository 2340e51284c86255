// Reading a whole small file (a /proc entry, a probe) into a string.
#pragma once

#include <stddef.h>

#include <string>

// Most bytes read: /proc/stat and /proc/cpuinfo of any machine fit.
constexpr size_t kSmallFileMaxBytes = 1 << 20;

// The file's text, at most maxBytes of it (a little more may be kept). False,
// with errno set, when the file cannot be opened or a read fails.
bool ReadSmallFile(const std::string& path, std::string* text,
                   size_t maxBytes = kSmallFileMaxBytes);
