// What a control object shows of its thread to the status port, whatever rule
// it follows; read on the schedule thread only.
#pragma once

#include <stdint.h>

// One limited thread as the status answer shows it.
struct _ThreadFigures {
    uint32_t tid;     // the measured thread
    uint32_t target;  // the thread that SIGUSR1 goes to
    float limit;
    float share;  // percent of one processor over the last full second; -1 when not measured
    int64_t sleepMs;
    uint32_t signalsLastSecond;
    uint64_t signalsSent;
    bool terminated;
};

// A second base of the control-object classes: ICtrlObject's slots are fixed.
class IStatusFigures {
public:
    // Schedule thread only: the counters behind it are that thread's own.
    virtual _ThreadFigures Figures() const = 0;

protected:
    ~IStatusFigures() = default;
};
