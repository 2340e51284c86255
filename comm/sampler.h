// CSampler: the system's and one process's CPU and IO figures between two reads
// of /proc, as the two collector messages. Used by the comm library's embedded
// sampler and by kvo-collectord.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>

// What the sampler needs of the system; tests hand it a fake.
class SamplerEnv {
public:
    virtual ~SamplerEnv() = default;
    virtual bool ReadFile(const std::string& path, std::string* text) = 0;
    virtual int64_t MonotonicMs() = 0;
    virtual void LocalNow(struct tm* now) = 0;
    static SamplerEnv* Default();  // the real one; lives as long as the process
};

struct _SampleFigures {
    float sysCpu;      // 100 * busy / total ticks, percent of the machine
    float procCpu;     // 100 * (utime + stime) / total ticks, percent of the machine
    int32_t iorspeed;  // bytes per second read, 0 when the io file is unreadable
    int32_t iowspeed;  // bytes per second written
};

// Counters of one read: 64-bit, some exceed 32 bits even on a 32-bit system.
struct _SampleCounters {
    uint64_t total;
    uint64_t busy;
    uint64_t procTicks;
    uint64_t readBytes;
    uint64_t writeBytes;
    bool haveIo;
    int64_t atMs;
};

class CSampler {
public:
    CSampler(uint32_t pid, SamplerEnv* env);

    // Reads the counters. The first successful read only sets the baseline and
    // returns false; later ones fill the two messages (same "time") and return
    // true. False, with the baseline kept, when /proc/stat or the process's
    // stat file cannot be read (the process has ended), and when the local
    // time is not a later second than the last published one: no two
    // published rounds share a time text.
    bool Sample(std::string* systemMessage, std::string* processMessage);
    // The figures of the last successful Sample.
    const _SampleFigures& Figures() const { return m_figures; }
    uint32_t Pid() const { return m_pid; }

private:
    bool ReadCounters(_SampleCounters* counters);

    uint32_t m_pid;
    SamplerEnv* m_env;
    bool m_havePrevious;
    _SampleCounters m_previous;
    _SampleFigures m_figures;  // of the last published round
    bool m_published;
    struct tm m_lastPublished;
};

// Figures from two reads; deltas that run backwards count as 0.
_SampleFigures ComputeFigures(const _SampleCounters& before, const _SampleCounters& after);

// "year/month/day hour:minute:second" as the collector reads it.
std::string FormatSampleTime(const struct tm& when);
std::string BuildSystemMessage(const std::string& time, float cpu);
std::string BuildProcessMessage(const std::string& time, float cpu, int32_t iorspeed,
                                int32_t iowspeed);

// Parsers of the /proc texts; false when the text has no such figures.
bool ParseStatTotals(const std::string& stat, uint64_t* total, uint64_t* busy);
bool ParseProcessTicks(const std::string& stat, uint64_t* ticks);
bool ParseIoBytes(const std::string& io, uint64_t* readBytes, uint64_t* writeBytes);
