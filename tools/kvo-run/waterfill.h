// The --total rule: shares one budget among a program's threads so that what
// idle threads leave goes to the busy ones (water-filling).
#pragma once

#include <vector>

struct _ThreadShare {
    float used;   // percent of one processor over the last second
    float limit;  // the limit it ran under
};

// One second's new limits, in the order given. A thread that used at least
// kBusyFraction of its limit may want more and asks for the cap; any other
// asks for 1.25 x its use + 1. The largest level L with sum(min(ask, L)) <=
// total gives min(ask, L); when the asks leave budget over, it is spread
// evenly on top. Every limit lies in [kFloor, cap].
std::vector<float> WaterFill(const std::vector<_ThreadShare>& threads, float total, float cap);

constexpr float kBusyFraction = 0.8f;
constexpr float kFloor = 0.1f;  // the scheduler's smallest limit
