// Event loop and timers: each thread has its own timer list, which
// cl_event_loop_once() runs on the monotonic clock. A period of 0 never fires.
#pragma once

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct cl_timerplus cl_timerplus;
typedef void (*cl_timerplus_cb)(cl_timerplus* timer);
typedef uint32_t (*cl_ev_thread_proc)(void* argument);

// Starts a thread that owns its own event loop and runs proc(argument) on it.
// flags must be 0. The thread blocks SIGUSR1. 0 = success.
int cl_ev_create_isolated_thread(pthread_t* thread, int flags, cl_ev_thread_proc proc,
                                 void* argument);

// Runs the calling thread's due timers once, in order of their due time; 0.
int cl_event_loop_once(void);

// Creates and starts a periodic timer on the calling thread's loop. first_ms is
// the first expiry, period_ms the period; flags must be 0. Null on failure.
cl_timerplus* cl_timerplus_start(uint32_t first_ms, int flags, uint32_t period_ms,
                                 cl_timerplus_cb callback, void* context);
void* cl_timerplus_context(cl_timerplus* timer);  // the context given at start
// Restarts the timer so that it next fires period_ms from now (and every period_ms).
int cl_timerplus_reset(cl_timerplus* timer, uint32_t period_ms, int flags);
int cl_timerplus_stop(cl_timerplus* timer);
void cl_timerplus_close(cl_timerplus* timer);

// Test seam: replaces the clock of every event loop (milliseconds, monotonic);
// null restores the real one.
void cl_ev_set_clock(int64_t (*now_ms)(void));

#ifdef __cplusplus
}
#endif
