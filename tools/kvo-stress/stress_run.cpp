// One stress run: starting the thread roles, the watchdog, and collecting the
// report once they have stopped.
#include "stress_run.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

namespace stress {

namespace {

// A blocked thread does not run; one that a loaded machine or its limit merely
// slows still runs now and then. A call that outlasts this many watchdog times
// is hung even while its thread runs (a livelock).
constexpr int32_t kCallCapFactor = 4;

// The CPU time of one of our threads in nanoseconds, by kernel id (the per-thread
// clock pthread_getcpuclockid names), or -1 once the thread has ended.
int64_t ThreadCpuNs(uint32_t tid) {
    const clockid_t clock = static_cast<clockid_t>((~tid << 3) | 6);
    timespec used{};
    if (tid == 0 || clock_gettime(clock, &used) != 0) return -1;
    return static_cast<int64_t>(used.tv_sec) * 1000000000 + used.tv_nsec;
}

}  // namespace

uint32_t Gettid() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

double NowSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void Run::Nap(int ms) const {
    const double until = NowSeconds(CLOCK_MONOTONIC) + ms / 1000.0;
    while (!Stopping()) {
        const double left = until - NowSeconds(CLOCK_MONOTONIC);
        if (left <= 0) return;
        const double step = std::min(left, 0.02);
        timespec pause{0, static_cast<long>(step * 1e9)};
        nanosleep(&pause, nullptr);
    }
}

Slot* Run::AddSlot(const std::string& role) {
    m_slots.push_back(std::make_unique<Slot>());
    m_slots.back()->role = role;
    return m_slots.back().get();
}

void Run::Begin(Slot* slot, int op) {
    slot->opSince.store(RunMs(), std::memory_order_relaxed);
    slot->op.store(op, std::memory_order_release);
}

void Run::End(Slot* slot, int op, bool refused, bool unexpected) {
    slot->op.store(-1, std::memory_order_release);
    OpTally& tally = slot->ops[op];
    ++tally.calls;
    tally.refused += refused ? 1 : 0;
    tally.unexpected += unexpected ? 1 : 0;
}

// ---- Watchdog and results -------------------------------------------------------------

std::string Run::FindStuck(bool includeIdle) const {
    const int32_t now = RunMs();
    const int32_t limit = m_options.watchdogSeconds * 1000;
    std::string stuck;
    for (const auto& slot : m_slots) {
        if (slot->done.load(std::memory_order_acquire)) continue;
        const int op = slot->op.load(std::memory_order_acquire);
        const int32_t since = slot->opSince.load(std::memory_order_relaxed);
        // Read on every look, so a thread that stops running is seen from then on.
        const int64_t cpu = ThreadCpuNs(slot->tid.load());
        if (cpu != slot->seenCpuNs) {
            slot->seenCpuNs = cpu;
            slot->seenCpuMs = now;
        }
        const int32_t idle = now - slot->seenCpuMs;
        if (op >= 0 && now - since > limit &&
            (idle > limit || now - since > kCallCapFactor * limit)) {
            char line[160];
            snprintf(line, sizeof line,
                     "  %s (tid %u) inside %s for %d ms, not running for %d ms\n",
                     slot->role.c_str(), slot->tid.load(), StressOpName(op), now - since, idle);
            stuck += line;
        } else if (includeIdle) {
            char line[160];
            snprintf(line, sizeof line, "  %s (tid %u) did not end (now: %s)\n", slot->role.c_str(),
                     slot->tid.load(), op >= 0 ? StressOpName(op) : "between calls");
            stuck += line;
        }
    }
    return stuck;
}

void Run::HoldIfHung() const {
    if (!m_options.holdOnHang) return;
    const std::string stuck = FindStuck(false);
    if (stuck.empty()) return;
    fprintf(stderr, "kvo-stress: hang, holding pid %d for inspection:\n%s",
            static_cast<int>(getpid()), stuck.c_str());
    for (;;) pause();
}

// Waits until every thread has ended or untilMs has passed; a call that takes
// longer than the watchdog time ends the wait at once.
bool Run::WaitForAll(int32_t untilMs) {
    while (RunMs() < untilMs) {
        bool all = true;
        for (const auto& slot : m_slots) all = all && slot->done.load(std::memory_order_acquire);
        if (all) return true;
        HoldIfHung();
        if (!FindStuck(false).empty()) return false;
        timespec pause{0, 50 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

void Run::Collect(StressReport* report) const {
    for (const auto& slot : m_slots) {
        for (int op = 0; op < kOpCount; ++op) {
            report->ops[op].calls += slot->ops[op].calls;
            report->ops[op].refused += slot->ops[op].refused;
            report->ops[op].unexpected += slot->ops[op].unexpected;
        }
        report->fixedLimitWarnings += slot->fixedLimitWarnings;
        if (slot->role.rfind("limited", 0) == 0) {
            report->limitedShares.push_back(slot->share);
            report->limitedAttachFailures += slot->attachFailed ? 1 : 0;
        }
    }
    report->shareWindowSeconds = std::min(10.0, m_options.seconds / 2.0);
    for (const auto& slot : m_slots) {
        if (slot->role != "probe" || slot->latencyMs.empty()) continue;
        std::vector<double> waits = slot->latencyMs;
        std::sort(waits.begin(), waits.end());
        report->probe.calls = waits.size();
        report->probe.p50 = waits[waits.size() / 2];
        report->probe.p99 = waits[std::min(waits.size() - 1, waits.size() * 99 / 100)];
        report->probe.max = waits.back();
    }
    for (int op = 0; op < kOpCount; ++op) {
        if (report->ops[op].unexpected == 0) continue;
        char line[160];
        snprintf(line, sizeof line, "%llu unexpected results of %s",
                 static_cast<unsigned long long>(report->ops[op].unexpected), StressOpName(op));
        report->failures.push_back(line);
    }
}

void Run::StartThreads() {
    std::mt19937 seeds(m_options.seed);
    // Every slot exists before the first thread starts: the watchdog reads the list.
    Slot* control = AddSlot("control");
    Slot* feeder = AddSlot("feeder");
    Slot* probe = AddSlot("probe");
    std::vector<Slot*> limited, workers;
    for (int i = 0; i < m_options.limitedThreads; ++i) {
        limited.push_back(AddSlot("limited " + std::to_string(i)));
    }
    for (int i = 0; i < m_options.threads; ++i) {
        workers.push_back(AddSlot("worker " + std::to_string(i)));
    }
    for (Slot* slot : limited) slot->thread = std::thread(&Run::LimitedMain, this, slot);
    control->thread = std::thread(&Run::ControlMain, this, control, seeds());
    feeder->thread = std::thread(&Run::FeederMain, this, feeder, seeds());
    probe->thread = std::thread(&Run::ProbeMain, this, probe, seeds());
    for (Slot* slot : workers) slot->thread = std::thread(&Run::WorkerMain, this, slot, seeds());
}

// Until the run's time is up or a call hangs.
void Run::Supervise() {
    const int32_t endMs = m_options.seconds * 1000;
    int32_t nextProgress = 1000;
    while (RunMs() < endMs && (HoldIfHung(), FindStuck(false).empty())) {
        timespec pause{0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        if (m_options.verbose && RunMs() >= nextProgress) {
            fprintf(stderr, "kvo-stress: %d s\n", nextProgress / 1000);
            nextProgress += 1000;
        }
    }
}

bool Run::Execute(StressReport* report) {
    m_start = NowSeconds(CLOCK_MONOTONIC);
    // The host's own registration: fixed limits need a running scheduler.
    if (m_api.RegisterCpuCtrl() != 1) report->failures.push_back("RegisterCpuCtrl failed");
    StartThreads();
    Supervise();
    report->seconds = RunMs() / 1000.0;
    m_stop.store(true, std::memory_order_release);
    // A hung call ends the wait at once; slow threads get as long as a call may take.
    if (!WaitForAll(RunMs() + kCallCapFactor * m_options.watchdogSeconds * 1000)) {
        report->finished = false;
        report->stuck = FindStuck(true);
        for (const auto& slot : m_slots) slot->thread.detach();
        return false;
    }
    for (const auto& slot : m_slots) slot->thread.join();
    m_api.UnRegisterCpuCtrl();
    Collect(report);
    return true;
}

}  // namespace stress

bool RunStress(const KvoApi& api, const StressOptions& options, StressReport* report) {
    // Left running on purpose when a thread hangs: the caller leaves the process.
    stress::Run* run = new stress::Run(api, options);
    const bool finished = run->Execute(report);
    if (finished) delete run;
    return finished;
}
