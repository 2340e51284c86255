// Helpers of the activity tests: a fake event-loop clock.
#pragma once

#include <stdint.h>

#include <algorithm>

#include "platform/cl_ev.h"

inline int64_t g_nowMs = 0;

// Replaces the event loop's clock for the life of the object, from 0.
struct FakeClock {
    FakeClock() {
        g_nowMs = 0;
        cl_ev_set_clock([] { return g_nowMs; });
    }
    ~FakeClock() { cl_ev_set_clock(nullptr); }
    // Moves the clock on in steps, running the due timers after each, as the
    // monitor thread's loop does.
    void AdvanceTo(int64_t ms, int64_t step = 100) {
        for (; g_nowMs < ms; cl_event_loop_once()) g_nowMs = std::min(g_nowMs + step, ms);
    }
};
