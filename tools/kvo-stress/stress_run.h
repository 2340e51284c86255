// The parts of one stress run that its thread roles share: a slot per thread,
// the Run that starts, supervises and collects them, and small helpers.
#pragma once

#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/kvo_result.h"
#include "stress_engine.h"

namespace stress {

constexpr int kAutoCpu = 2;  // the CPU bit of kvo_enable_vurizeda

uint32_t Gettid();
double NowSeconds(clockid_t clock);

// One thread of the run. Written by its owner; the watchdog reads the atomics,
// everything else is read after the join.
struct Slot {
    std::string role;
    std::atomic<uint32_t> tid{0};
    std::atomic<int> op{-1};          // the call in progress, -1 between calls
    std::atomic<int32_t> opSince{0};  // run milliseconds when that call began
    std::atomic<bool> done{false};
    std::array<OpTally, kOpCount> ops{};
    uint64_t fixedLimitWarnings = 0;
    double share = -1.0;
    bool attachFailed = false;
    std::vector<double> latencyMs;  // the probe's calls
    std::thread thread;
    // The watchdog's own: the thread's CPU time when last seen to change, and when.
    int64_t seenCpuNs = -1;
    int32_t seenCpuMs = 0;
};

class Run {
public:
    Run(const KvoApi& api, const StressOptions& options) : m_api(api), m_options(options) {}

    bool Execute(StressReport* report);

private:
    void StartThreads();
    void Supervise();
    int32_t RunMs() const {
        return static_cast<int32_t>((NowSeconds(CLOCK_MONOTONIC) - m_start) * 1000.0);
    }
    bool Stopping() const { return m_stop.load(std::memory_order_acquire); }
    // Sleeps up to ms, waking early when the run stops.
    void Nap(int ms) const;

    Slot* AddSlot(const std::string& role);
    void Begin(Slot* slot, int op);
    void End(Slot* slot, int op, bool refused, bool unexpected);

    void WorkerMain(Slot* slot, uint32_t seed);
    void RandomCall(Slot* slot, uint32_t tid, std::mt19937& rng);
    void GroupCall(Slot* slot, uint32_t tid, std::mt19937& rng, bool add);
    void FixedAdd(Slot* slot, uint32_t tid, float percent, bool valid);
    void AllocBurst(Slot* slot, std::mt19937& rng);
    void CleanUp(Slot* slot, uint32_t tid);
    void LimitedMain(Slot* slot);
    void ProbeMain(Slot* slot, uint32_t seed);
    void ControlMain(Slot* slot, uint32_t seed);
    void FeederMain(Slot* slot, uint32_t seed);
    bool SendSample(Slot* slot, int fd, const sockaddr_un& to, socklen_t length, bool system,
                    const char* time, float cpu);

    // Watchdog: the threads that sit in one call too long, or "". A call is hung
    // once it has lasted the watchdog time while its thread did not run for as
    // long, or kCallCapFactor times that whatever the thread did.
    std::string FindStuck(bool includeIdle) const;
    // With holdOnHang, a hang is reported and the process waits as it is.
    void HoldIfHung() const;
    bool WaitForAll(int32_t untilMs);
    void Collect(StressReport* report) const;

    const KvoApi& m_api;
    const StressOptions& m_options;
    double m_start = 0;
    std::atomic<bool> m_stop{false};
    std::vector<std::unique_ptr<Slot>> m_slots;
    // A small heap ring per limited thread; the handler fires inside malloc/free.
    static constexpr int kRing = 16;
};

}  // namespace stress
