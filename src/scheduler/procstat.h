// CPU time readings from /proc: a whole /proc file, one thread's CPU time and
// the whole system's CPU time, in clock ticks.
#pragma once

#include <stdint.h>

#include "scheduler/schedenv.h"

// Reads /proc/<name>, /proc/<pid>/<name> (tid 0) or /proc/<pid>/task/<tid>/<name>
// into buf with one read of at most size - 1 bytes, and terminates it. size >= 1.
bool ReadProcFile(char* buf, unsigned int size, const char* name, unsigned int pid,
                  unsigned int tid, unsigned int* len, SchedEnv* env = SchedEnv::Default());

// utime + stime of one line of a thread's stat file, taken after the first ')';
// 0 when the line does not parse.
uint64_t ParseThreadStatTime(const char* line);

// CPU time of thread tid of this process (tid 0: the whole process), 0 when it
// cannot be read. 64-bit: long-running threads pass 2^32 ticks.
uint64_t GetThreadTime(int tid, SchedEnv* env = SchedEnv::Default());

// Sum of the first seven numbers of /proc/stat's first line, 0 when unreadable.
int64_t ParseTotalCpuTime(const char* line);
int64_t GetTotalCpuTime(SchedEnv* env = SchedEnv::Default());
