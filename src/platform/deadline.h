// Monotonic deadlines for the timed waits of events and semaphores.
#pragma once

#include <stdint.h>
#include <time.h>

// The CLOCK_MONOTONIC time timeout_ms from now; negative timeouts mean now.
// Very long timeouts are capped (about 31 years) so the sum fits a 32-bit time_t.
timespec MonotonicDeadline(int64_t timeout_ms);
