// Helpers of the collector tests: things recorded on a delivery thread, the
// collector's callback that records pairs, and the outer message wrapper.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "collector/collector.h"
#include "support/log_capture.h"

// Items added on a delivery thread and waited for on the test's own.
template <class T>
struct Recorded {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<T> items;

    void Add(const T& item) {
        // Notified under the lock: a waiter that sees the item may destroy us.
        std::lock_guard<std::mutex> guard(lock);
        items.push_back(item);
        changed.notify_all();
    }
    // The items once there are count of them, or when ms have passed.
    std::vector<T> WaitFor(size_t count, int ms) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::milliseconds(ms),
                         [&] { return items.size() >= count; });
        return items;
    }
    std::vector<T> Items() { return WaitFor(0, 0); }
};

struct CollectedPair {
    _SysInfo sys;
    _ProcInfo proc;
};
using PairRecorder = Recorded<CollectedPair>;

inline void RecordPair(_SysInfo* sys, _ProcInfo* proc, void* context) {
    static_cast<PairRecorder*>(context)->Add(CollectedPair{*sys, *proc});
}

// {"context":"<inner>"}, the inner text escaped as a JSON string.
inline std::string Wrap(const std::string& inner) {
    std::string text = "{\"context\":\"";
    for (char c : inner) {
        if (c == '"' || c == '\\') text += '\\';
        text += c;
    }
    return text + "\"}";
}
