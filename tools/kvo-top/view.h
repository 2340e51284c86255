// What kvo-top shows of the answers: a table for people, JSON for programs.
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "client.h"

// One JSON document: {"version", "time", "processes": [...]}; a process that
// did not answer carries "error" instead of its figures.
std::string RenderJson(const std::vector<_TopAnswer>& answers, const char* version, time_t now);
// The table: a line per process, then a line per limited thread.
std::string RenderText(const std::vector<_TopAnswer>& answers, const char* version, time_t now);
