// The stress exercise: many host threads calling the library at random while a
// control thread starts and stops the controller and a feeder sends collector
// messages. Works on a table of the host functions, so the same run drives a
// dlopen'ed library (kvo-stress) or the library linked into a test.
#pragma once

#include <stdint.h>

#include <array>
#include <string>
#include <vector>

#include "kvo_vurizeda.h"

// The host API as the header declares it, one pointer per function used.
struct KvoApi {
    decltype(&::RegisterCpuCtrl) RegisterCpuCtrl;
    decltype(&::UnRegisterCpuCtrl) UnRegisterCpuCtrl;
    decltype(&::kvo_perfctrl_init) kvo_perfctrl_init;
    decltype(&::kvo_perfctrl_uninit) kvo_perfctrl_uninit;
    decltype(&::kvo_enable_vurizeda) kvo_enable_vurizeda;
    decltype(&::kvo_add_cpu_vurizeda) kvo_add_cpu_vurizeda;
    decltype(&::kvo_del_cpu_vurizeda) kvo_del_cpu_vurizeda;
    decltype(&::kvo_set_cpu_vurizeda_upper) kvo_set_cpu_vurizeda_upper;
    decltype(&::kvo_set_cpu_vurizeda_lower) kvo_set_cpu_vurizeda_lower;
    decltype(&::kvo_add_cpu_group) kvo_add_cpu_group;
    decltype(&::kvo_del_cpu_group) kvo_del_cpu_group;
    decltype(&::kvo_add_thread_cpu_limit) kvo_add_thread_cpu_limit;
    decltype(&::kvo_del_thread_cpu_limit) kvo_del_thread_cpu_limit;
};

// Symbol names in the order of KvoApi's members, for a loader that fills it.
extern const char* const kKvoApiSymbols[];
constexpr int kKvoApiCount = 13;
static_assert(sizeof(KvoApi) == kKvoApiCount * sizeof(void*), "one pointer per symbol");

// What the threads do; each call of the library counts once under its kind.
enum StressOp {
    kOpFixedAdd,      // kvo_add_thread_cpu_limit with 0.1 to 100
    kOpFixedRefused,  // kvo_add_thread_cpu_limit with 0.05, 150 or NaN
    kOpFixedDel,
    kOpMonitorAdd,
    kOpMonitorDel,
    kOpGroupAdd,
    kOpGroupDel,
    kOpAutoSwitch,  // kvo_enable_vurizeda(2, 0 or 1)
    kOpAutoSetter,  // ceiling and minimum of the automatic limit
    kOpInit,
    kOpUninit,
    kOpMessage,    // one collector datagram
    kOpAllocFree,  // one malloc/free pair in a limited thread
    kOpCount
};

const char* StressOpName(int op);

struct OpTally {
    uint64_t calls = 0;
    uint64_t refused = 0;     // an answer the library may give: switched off, no group...
    uint64_t unexpected = 0;  // an answer it must never give here
};

// Wait of a caller that is never made to sleep: pure lock waiting and
// processor contention, in milliseconds.
struct LatencySummary {
    uint64_t calls = 0;
    double p50 = 0, p99 = 0, max = 0;
};

struct StressOptions {
    int threads = 64;
    int seconds = 30;
    int limitedThreads = 3;        // held at limitedPercent for the whole run, measured
    float limitedPercent = 20.0f;  // percent of one processor
    int messageRate = 100;         // collector messages per second (pairs = rate / 2)
    int watchdogSeconds = 30;      // see FindStuck: how long a call may wait without running
    uint32_t seed = 1;
    std::string configPath;  // the controller's INI file, with the groups below
    bool verbose = false;
    // On a hang, print it and wait (for a debugger) with every thread as it is.
    bool holdOnHang = false;
};

// The CPU groups the configuration must define, and one it must not.
extern const char* const kStressGroups[2];
extern const char* const kStressMissingGroup;
// An INI text that defines kStressGroups and a short sample window.
std::string StressConfigText();

struct StressReport {
    double seconds = 0;
    std::array<OpTally, kOpCount> ops{};
    LatencySummary probe;  // the unlimited caller's group, monitor and switch calls
    // Share of one processor (percent) of each fixed-limit thread over the window.
    std::vector<double> limitedShares;
    double shareWindowSeconds = 0;
    int limitedAttachFailures = 0;
    // Refused fixed-limit calls, each of which logs one WARN line.
    uint64_t fixedLimitWarnings = 0;
    bool finished = true;  // every thread ended within the watchdog time
    std::string stuck;     // which threads did not, and in which call
    std::vector<std::string> failures;
};

// Runs the exercise once. Returns false when a thread hung: then the threads
// are left running (detached) and the caller should leave the process at once.
bool RunStress(const KvoApi& api, const StressOptions& options, StressReport* report);

// The summary table of a report.
std::string FormatStressReport(const StressOptions& options, const StressReport& report);

// Kernel thread ids of this process, sorted.
std::vector<uint32_t> ProcessThreadIds();
// The comm name of one thread of this process, or "" when it is gone.
std::string ThreadName(uint32_t tid);
// Open descriptors of this process.
int OpenDescriptorCount();
