// Helpers of the collector tests: the build tree's paths and recording
// receivers for the real comm library and the collector.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "collector/collector.h"
#include "support/log_capture.h"

// Directories of the build tree.
std::string BuildLibDir();                      // holds libkvo_comm.so
std::string BuildBinDir();                      // holds kvo-collectord
std::string FakeCommBaseDir(const char* kind);  // "full" or "partial": <dir>/lib

// Waits with a deadline on a condition guarded by a mutex.
template <class Predicate>
bool WaitFor(std::mutex& lock, std::condition_variable& cv, int ms, Predicate done) {
    std::unique_lock<std::mutex> guard(lock);
    return cv.wait_for(guard, std::chrono::milliseconds(ms), done);
}

// Texts taken through kvo_comm_get_data by a real registration's callback.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> texts;
    std::function<void(comm_data*, const std::string&)> onMessage;  // inside the callback

    static uint32_t Cb(comm_data* data, comm_data* second, void* context);
    bool WaitForCount(size_t count, int ms);
    std::vector<std::string> Texts();
};

// A registration with the loaded comm library, taken back (waiting for its
// callback) before the objects its callback uses, declared earlier, go away.
class ScopedReceiver {
public:
    ScopedReceiver(const char* name, kvo_comm_receiver_fn callback, void* context);
    ~ScopedReceiver();
    uint32_t result() const { return m_result; }

private:
    std::string m_name;
    uint32_t m_result;
};

// Pairs handed to a CCollector's callback.
struct CollectedPair {
    _SysInfo sys;
    _ProcInfo proc;
};

struct PairRecorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<CollectedPair> pairs;

    static void Cb(_SysInfo* sys, _ProcInfo* proc, void* context);
    bool WaitForCount(size_t count, int ms);
    std::vector<CollectedPair> Pairs();
};

// A JSON string literal of text, quotes included.
std::string JsonQuote(const std::string& text);
// {"context": "<inner>"} with the inner text escaped as a JSON string.
std::string Wrap(const std::string& inner);
