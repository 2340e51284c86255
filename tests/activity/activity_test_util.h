// Helpers of the activity tests: a fake event-loop clock.
#pragma once

#include <stdint.h>

#include "platform/cl_ev.h"

namespace activity_test {

inline int64_t& ClockMs() {
    static int64_t now = 0;
    return now;
}

inline int64_t FakeNowMs() { return ClockMs(); }

// Replaces the event loop's clock for the life of the object; starts at 0.
class FakeClock {
public:
    FakeClock() {
        ClockMs() = 0;
        cl_ev_set_clock(FakeNowMs);
    }
    ~FakeClock() { cl_ev_set_clock(nullptr); }
    int64_t now() const { return ClockMs(); }
    // Back to 0; only while no timer runs.
    void Reset() { ClockMs() = 0; }
    // Moves the clock forward in steps of step_ms and runs the calling thread's
    // due timers after every step, as the monitor thread's loop does.
    void AdvanceTo(int64_t ms, int64_t step_ms = 100) {
        while (ClockMs() < ms) {
            ClockMs() = ClockMs() + step_ms < ms ? ClockMs() + step_ms : ms;
            cl_event_loop_once();
        }
    }
};

}  // namespace activity_test
