// The monotonic clock in whole milliseconds, the one time base of the library.
#pragma once

#include <stdint.h>

// Milliseconds on CLOCK_MONOTONIC: never jumps with the wall clock.
int64_t MonotonicMs();
