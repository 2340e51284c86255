// State the scheduler shares with its SIGUSR1 handler and its fork handlers:
// process-wide, as a signal or a fork reaches no object but through globals.
#pragma once

#include <stdint.h>

#include "scheduler/schedenv.h"

class CpuSchedule;

namespace cpuschedule_state {

// The running scheduler, whose registry the SIGUSR1 handler consults; null
// while none runs. Set and cleared under that scheduler's m_mutex.
extern CpuSchedule* g_handlerTarget;
// Handlers between entry and return, and handlers that may be touching the
// target's registry lock. A scheduler waits for the second before it destroys
// its lock and for the first before it goes away.
extern int g_handlersInside;
extern int g_lookupsInside;

// The singleton, which fork handling looks after; null once it is destroyed.
extern CpuSchedule* g_forkTarget;

// Waits, in steps of one millisecond and for at most maxMs, until *counter is 0.
void WaitUntilZero(const int* counter, SchedEnv* env, int64_t maxMs);

}  // namespace cpuschedule_state
