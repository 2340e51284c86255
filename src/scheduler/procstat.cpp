// CPU time readings from /proc.
#include "scheduler/procstat.h"

#include <stdio.h>
#include <string.h>

#include <initializer_list>

namespace {
constexpr unsigned int kProcBufferSize = 1024;
}  // namespace

bool ReadProcFile(char* buf, unsigned int size, const char* name, unsigned int pid,
                  unsigned int tid, unsigned int* len, SchedEnv* env) {
    if (buf == nullptr || name == nullptr) return false;
    char path[kProcBufferSize];
    memset(path, 0, sizeof(path));
    if (pid == 0) {
        snprintf(path, sizeof(path), "/proc/%s", name);
    } else if (tid == 0) {
        snprintf(path, sizeof(path), "/proc/%d/%s", static_cast<int>(pid), name);
    } else {
        snprintf(path, sizeof(path), "/proc/%d/task/%d/%s", static_cast<int>(pid),
                 static_cast<int>(tid), name);
    }
    unsigned int n = 0;
    // One read only: a longer file is cut at size - 1 bytes.
    if (!env->ReadFile(path, buf, size - 1, &n)) return false;
    if (len != nullptr) *len = n;
    buf[n] = '\0';
    return true;
}

uint64_t ParseThreadStatTime(const char* line) {
    // The first ')' ends the thread name as far as this parser knows; a name that
    // itself holds ')' makes the fields misalign and the line read as 0.
    const char* close = strchr(line, ')');
    if (close == nullptr) return 0;
    const char* fields = close + 1;
    if (*fields != '\0') ++fields;  // "two characters after": skip ") "
    int ppid = 0;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // state, ppid, pgrp session tty_nr tpgid, flags minflt cminflt majflt cmajflt,
    // utime stime; the fields after stime are not needed.
    int stored = sscanf(fields, "%*c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ppid,
                        &utime, &stime);
    if (stored != 3) return 0;
    return utime + stime;
}

uint64_t GetThreadTime(int tid, SchedEnv* env) {
    char buffer[kProcBufferSize];
    memset(buffer, 0, sizeof(buffer));
    if (!ReadProcFile(buffer, sizeof(buffer), "stat", env->ProcessId(),
                      static_cast<unsigned int>(tid), nullptr, env)) {
        return 0;
    }
    return ParseThreadStatTime(buffer);
}

int64_t ParseTotalCpuTime(const char* line) {
    char label[5] = {0};
    long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
    // Fields that are missing count as 0; the label is cut to fit its buffer.
    sscanf(line, "%4s%lld%lld%lld%lld%lld%lld%lld", label, &user, &nice, &system, &idle, &iowait,
           &irq, &softirq);
    // Summed as unsigned: a line of huge numbers wraps instead of overflowing, and
    // the callers only ever take differences of totals.
    uint64_t sum = 0;
    for (long long field : {user, nice, system, idle, iowait, irq, softirq}) {
        sum += static_cast<uint64_t>(field);
    }
    return static_cast<int64_t>(sum);
}

int64_t GetTotalCpuTime(SchedEnv* env) {
    // The first line as fgets would give it (1023 bytes at most), read with
    // open/read so the schedule thread never allocates a stdio buffer.
    char line[kProcBufferSize];
    memset(line, 0, sizeof(line));
    if (!ReadProcFile(line, sizeof(line), "stat", 0, 0, nullptr, env)) return 0;
    char* end = strchr(line, '\n');
    if (end != nullptr) end[1] = '\0';
    if (line[0] == '\0') return 0;
    return ParseTotalCpuTime(line);
}
