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

// The signal and share counters behind a _ThreadFigures, kept per second by
// every control object; written and read on the schedule thread only.
struct _SecondCounters {
    uint64_t signalsSent = 0;
    uint32_t signalsThisSecond = 0;
    uint32_t signalsLastSecond = 0;
    float lastSecondShare = -1;

    void CountSignal() {
        ++signalsSent;
        ++signalsThisSecond;
    }

    // Ends a second whose measured share was `share` percent (negative: not measured).
    void Close(double share) {
        lastSecondShare = share > 100.0 ? 100.0f : static_cast<float>(share);
        signalsLastSecond = signalsThisSecond;
        signalsThisSecond = 0;
    }

    _ThreadFigures Figures(uint32_t tid, uint32_t target, float limit, int64_t sleepMs,
                           bool terminated) const {
        _ThreadFigures f;
        f.tid = tid;
        f.target = target;
        f.limit = limit;
        f.share = lastSecondShare;
        f.sleepMs = sleepMs;
        f.signalsLastSecond = signalsLastSecond;
        f.signalsSent = signalsSent;
        f.terminated = terminated;
        return f;
    }
};

// A second base of the control-object classes: ICtrlObject's slots are fixed.
class IStatusFigures {
public:
    // Schedule thread only: the counters behind it are that thread's own.
    virtual _ThreadFigures Figures() const = 0;

protected:
    ~IStatusFigures() = default;
};
