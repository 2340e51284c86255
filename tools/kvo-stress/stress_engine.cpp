// The stress exercise: worker threads that limit, monitor and group themselves
// at random, fixed-limit threads whose share is measured, one control thread
// that starts and stops the controller, and a feeder of collector datagrams.
#include "stress_engine.h"

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

#include "comm/kvo_protocol.h"
#include "platform/kvo_result.h"
#include "platform/runtime_dir.h"

const char* const kKvoApiSymbols[] = {
    "RegisterCpuCtrl",          "UnRegisterCpuCtrl",          "kvo_perfctrl_init",
    "kvo_perfctrl_uninit",      "kvo_enable_vurizeda",        "kvo_add_cpu_vurizeda",
    "kvo_del_cpu_vurizeda",     "kvo_set_cpu_vurizeda_upper", "kvo_set_cpu_vurizeda_lower",
    "kvo_add_cpu_group",        "kvo_del_cpu_group",          "kvo_add_thread_cpu_limit",
    "kvo_del_thread_cpu_limit",
};

const char* const kStressGroups[2] = {"stress_scan", "stress_index"};
const char* const kStressMissingGroup = "stress_none";

namespace {

constexpr int kAutoCpu = 2;  // the CPU bit of kvo_enable_vurizeda

const char* const kOpNames[kOpCount] = {
    "fixed limit add",
    "fixed limit refused",
    "fixed limit del",
    "monitor add",
    "monitor del",
    "group add",
    "group del",
    "auto switch",
    "auto ceiling/min",
    "init",
    "uninit",
    "collector message",
    "alloc/free (limited)",
};

uint32_t Gettid() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

double NowSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

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

    // Watchdog: the threads that sit in one call too long, or "".
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

// ---- Workers ------------------------------------------------------------------

void Run::WorkerMain(Slot* slot, uint32_t seed) {
    const uint32_t tid = Gettid();
    slot->tid.store(tid);
    std::mt19937 rng(seed);
    while (!Stopping()) {
        RandomCall(slot, tid, rng);
        AllocBurst(slot, rng);
    }
    CleanUp(slot, tid);
    slot->done.store(true, std::memory_order_release);
}

void Run::FixedAdd(Slot* slot, uint32_t tid, float percent, bool valid) {
    const int op = valid ? kOpFixedAdd : kOpFixedRefused;
    Begin(slot, op);
    const unsigned int r = m_api.kvo_add_thread_cpu_limit(tid, percent);
    // A valid percentage is always taken (this run holds a registration); a
    // refused one always fails. Every failure logs one WARN line.
    End(slot, op, !valid, valid ? r != KVO_OK : r != KVO_E_FAIL);
    slot->fixedLimitWarnings += r != KVO_OK ? 1 : 0;
}

void Run::RandomCall(Slot* slot, uint32_t tid, std::mt19937& rng) {
    static const float kRefused[] = {0.05f, 150.0f, NAN};
    const int pick = static_cast<int>(rng() % 100);
    if (pick < 22) {
        std::uniform_real_distribution<float> percent(0.1f, 100.0f);
        FixedAdd(slot, tid, percent(rng), true);
    } else if (pick < 30) {
        FixedAdd(slot, tid, kRefused[rng() % 3], false);
    } else if (pick < 42) {
        Begin(slot, kOpFixedDel);
        m_api.kvo_del_thread_cpu_limit(tid);
        End(slot, kOpFixedDel, false, false);
    } else if (pick < 54) {
        Begin(slot, kOpMonitorAdd);
        const unsigned int r = m_api.kvo_add_cpu_vurizeda(tid);
        End(slot, kOpMonitorAdd, r == KVO_E_DISABLED, r != KVO_OK && r != KVO_E_DISABLED);
    } else if (pick < 64) {
        Begin(slot, kOpMonitorDel);
        m_api.kvo_del_cpu_vurizeda(tid);
        End(slot, kOpMonitorDel, false, false);
    } else if (pick < 76) {
        GroupCall(slot, tid, rng, true);
    } else if (pick < 86) {
        GroupCall(slot, tid, rng, false);
    } else if (pick < 93) {
        Begin(slot, kOpAutoSwitch);
        const unsigned int r = m_api.kvo_enable_vurizeda(kAutoCpu, static_cast<int>(rng() % 2));
        End(slot, kOpAutoSwitch, false, r != KVO_OK);
    } else {
        Begin(slot, kOpAutoSetter);
        const bool upper = rng() % 2 == 0;
        const float percent =
            upper ? 20.0f + static_cast<float>(rng() % 70) : 1.0f + static_cast<float>(rng() % 10);
        const unsigned int r = upper ? m_api.kvo_set_cpu_vurizeda_upper(percent)
                                     : m_api.kvo_set_cpu_vurizeda_lower(percent);
        End(slot, kOpAutoSetter, r == KVO_E_DISABLED, r != KVO_OK && r != KVO_E_DISABLED);
    }
}

// One group in five calls is a name no group has, which must always be refused;
// the configured groups exist from the first init on and are never removed.
void Run::GroupCall(Slot* slot, uint32_t tid, std::mt19937& rng, bool add) {
    const int op = add ? kOpGroupAdd : kOpGroupDel;
    const bool missing = rng() % 5 == 0;
    const char* name = missing ? kStressMissingGroup : kStressGroups[rng() % 2];
    Begin(slot, op);
    const unsigned int r =
        add ? m_api.kvo_add_cpu_group(name, tid) : m_api.kvo_del_cpu_group(name, tid);
    const bool unexpected = missing ? r != KVO_E_NO_GROUP : r != KVO_OK && r != KVO_E_NO_GROUP;
    End(slot, op, r == KVO_E_NO_GROUP, unexpected);
}

void Run::AllocBurst(Slot* slot, std::mt19937& rng) {
    void* ring[kRing] = {};
    const int count = 20 + static_cast<int>(rng() % 180);
    Begin(slot, kOpAllocFree);
    for (int i = 0; i < count; ++i) {
        const size_t size = 16 + rng() % 4080;
        void*& place = ring[i % kRing];
        free(place);
        place = malloc(size);
        if (place != nullptr) memset(place, i, std::min<size_t>(size, 64));
    }
    for (void* p : ring) free(p);
    slot->op.store(-1, std::memory_order_release);
    slot->ops[kOpAllocFree].calls += static_cast<uint64_t>(count);
}

// Everything a worker may have set up for itself, taken back; afterwards no
// path of the library holds this thread any more.
void Run::CleanUp(Slot* slot, uint32_t tid) {
    Begin(slot, kOpFixedDel);
    m_api.kvo_del_thread_cpu_limit(tid);
    End(slot, kOpFixedDel, false, false);
    Begin(slot, kOpMonitorDel);
    m_api.kvo_del_cpu_vurizeda(tid);
    End(slot, kOpMonitorDel, false, false);
    for (const char* name : kStressGroups) {
        Begin(slot, kOpGroupDel);
        const unsigned int r = m_api.kvo_del_cpu_group(name, tid);
        End(slot, kOpGroupDel, r == KVO_E_NO_GROUP, r != KVO_OK && r != KVO_E_NO_GROUP);
    }
}

// ---- Fixed-limit threads ----------------------------------------------------------

// Held at one limit for the whole run, allocating all the time; the share of
// one processor is measured over the second half of the run (at most 10 s).
void Run::LimitedMain(Slot* slot) {
    const uint32_t tid = Gettid();
    slot->tid.store(tid);
    FixedAdd(slot, tid, m_options.limitedPercent, true);
    slot->attachFailed = slot->ops[kOpFixedAdd].unexpected != 0;
    const double window = std::min(10.0, m_options.seconds / 2.0);
    const double windowStart = m_start + m_options.seconds - window;
    std::mt19937 rng(tid);
    double wall0 = -1, cpu0 = 0;
    while (!Stopping()) {
        AllocBurst(slot, rng);
        if (wall0 < 0 && NowSeconds(CLOCK_MONOTONIC) >= windowStart) {
            wall0 = NowSeconds(CLOCK_MONOTONIC);
            cpu0 = NowSeconds(CLOCK_THREAD_CPUTIME_ID);
        }
    }
    if (wall0 >= 0) {
        const double wall = NowSeconds(CLOCK_MONOTONIC) - wall0;
        if (wall > 0.5) slot->share = 100.0 * (NowSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0) / wall;
    }
    Begin(slot, kOpFixedDel);
    m_api.kvo_del_thread_cpu_limit(tid);
    End(slot, kOpFixedDel, false, false);
    slot->done.store(true, std::memory_order_release);
}

// ---- Unlimited probe ------------------------------------------------------------------

// A host thread that must never be throttled (it keeps SIGUSR1 blocked) and
// calls the paths that take the library's locks without limiting itself. Its
// waits show how long any caller can be held up by the others.
void Run::ProbeMain(Slot* slot, uint32_t seed) {
    const uint32_t tid = Gettid();
    slot->tid.store(tid);
    sigset_t sleep;
    sigemptyset(&sleep);
    sigaddset(&sleep, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &sleep, nullptr);
    std::mt19937 rng(seed);
    while (!Stopping()) {
        const double start = NowSeconds(CLOCK_MONOTONIC);
        const int pick = static_cast<int>(rng() % 4);
        if (pick == 0) {
            Begin(slot, kOpMonitorDel);
            m_api.kvo_del_cpu_vurizeda(tid);  // the monitored-thread lock, then a re-push
            End(slot, kOpMonitorDel, false, false);
        } else if (pick == 1) {
            GroupCall(slot, tid, rng, false);  // the group lock, then a re-push
        } else if (pick == 2) {
            Begin(slot, kOpGroupAdd);
            const unsigned int r = m_api.kvo_add_cpu_group(kStressMissingGroup, tid);
            End(slot, kOpGroupAdd, true, r != KVO_E_NO_GROUP);
        } else {
            Begin(slot, kOpFixedDel);
            m_api.kvo_del_thread_cpu_limit(tid);  // the scheduler's registry
            End(slot, kOpFixedDel, false, false);
        }
        slot->latencyMs.push_back((NowSeconds(CLOCK_MONOTONIC) - start) * 1000.0);
        Nap(2);
    }
    slot->done.store(true, std::memory_order_release);
}

// ---- Control thread ------------------------------------------------------------------

// The only caller of init and uninit: the host API asks for one thread at a time.
void Run::ControlMain(Slot* slot, uint32_t seed) {
    slot->tid.store(Gettid());
    std::mt19937 rng(seed);
    while (!Stopping()) {
        Begin(slot, kOpInit);
        const unsigned int r = m_api.kvo_perfctrl_init(m_options.configPath.c_str());
        End(slot, kOpInit, false, r != KVO_OK);
        Nap(50 + static_cast<int>(rng() % 250));
        Begin(slot, kOpUninit);
        m_api.kvo_perfctrl_uninit();
        End(slot, kOpUninit, false, false);
        Nap(static_cast<int>(rng() % 100));
    }
    slot->done.store(true, std::memory_order_release);
}

// ---- Collector feeder ----------------------------------------------------------------

bool Run::SendSample(Slot* slot, int fd, const sockaddr_un& to, socklen_t length, bool system,
                     const char* time, float cpu) {
    const char* kind = system ? kCommSystemId : kCommProcessId;
    char inner[256];
    if (system) {
        snprintf(inner, sizeof inner,
                 "{\\\"header\\\":{\\\"id\\\":\\\"%s\\\",\\\"time\\\":\\\"%s\\\"},"
                 "\\\"body\\\":{\\\"cpu\\\":%.2f}}",
                 kind, time, static_cast<double>(cpu));
    } else {
        snprintf(inner, sizeof inner,
                 "{\\\"header\\\":{\\\"id\\\":\\\"%s\\\",\\\"time\\\":\\\"%s\\\"},"
                 "\\\"body\\\":{\\\"cpu\\\":%.2f,\\\"iorspeed\\\":0,\\\"iowspeed\\\":4096}}",
                 kind, time, static_cast<double>(cpu));
    }
    char message[320];
    const int n = snprintf(message, sizeof message, "{\"context\":\"%s\"}", inner);
    Begin(slot, kOpMessage);
    const ssize_t sent = sendto(fd, message, static_cast<size_t>(n), MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&to), length);
    const int err = sent < 0 ? errno : 0;
    // No receiver (between uninit and init) or a full queue (its thread sleeping
    // or busy) drops the datagram; anything else is a fault of ours.
    const bool dropped = err == ECONNREFUSED || err == EAGAIN || err == ENOENT;
    End(slot, kOpMessage, dropped, err != 0 && !dropped);
    return err == 0;
}

// Pairs of a system and a process sample with the same time, at the rate asked
// for, to the controller's receiver through the comm library's socket.
void Run::FeederMain(Slot* slot, uint32_t seed) {
    slot->tid.store(Gettid());
    std::mt19937 rng(seed);
    // The receiver's socket in our private runtime directory, as the comm library binds it.
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    const int pathLength =
        snprintf(to.sun_path, sizeof(to.sun_path), "%s/%d/%s", KvoRuntimeDirOf(geteuid()).c_str(),
                 static_cast<int>(getpid()), kCommLibraryReceiver);
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + pathLength);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const double period = 2.0 / std::max(2, m_options.messageRate);
    double next = NowSeconds(CLOCK_MONOTONIC);
    while (fd >= 0 && !Stopping()) {
        const time_t now = ::time(nullptr);
        tm local{};
        localtime_r(&now, &local);
        char stamp[64];
        snprintf(stamp, sizeof stamp, "%d/%d/%d %d:%d:%d", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        const float sys = static_cast<float>(rng() % 10000) / 100.0f;
        const float proc = sys * static_cast<float>(rng() % 100) / 100.0f;
        SendSample(slot, fd, to, length, true, stamp, sys);
        SendSample(slot, fd, to, length, false, stamp, proc);
        next += period;
        const double wait = next - NowSeconds(CLOCK_MONOTONIC);
        if (wait > 0)
            Nap(static_cast<int>(wait * 1000.0));
        else
            next = NowSeconds(CLOCK_MONOTONIC);  // fell behind: do not burst
    }
    if (fd >= 0) close(fd);
    slot->done.store(true, std::memory_order_release);
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
        if (op >= 0 && now - since > limit) {
            char line[160];
            snprintf(line, sizeof line, "  %s (tid %u) inside %s for %d ms\n", slot->role.c_str(),
                     slot->tid.load(), kOpNames[op], now - since);
            stuck += line;
        } else if (includeIdle) {
            char line[160];
            snprintf(line, sizeof line, "  %s (tid %u) did not end (now: %s)\n", slot->role.c_str(),
                     slot->tid.load(), op >= 0 ? kOpNames[op] : "between calls");
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
                 static_cast<unsigned long long>(report->ops[op].unexpected), kOpNames[op]);
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
    if (!WaitForAll(RunMs() + m_options.watchdogSeconds * 1000)) {
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

}  // namespace

const char* StressOpName(int op) { return op >= 0 && op < kOpCount ? kOpNames[op] : "?"; }

bool RunStress(const KvoApi& api, const StressOptions& options, StressReport* report) {
    // Left running on purpose when a thread hangs: the caller leaves the process.
    Run* run = new Run(api, options);
    const bool finished = run->Execute(report);
    if (finished) delete run;
    return finished;
}

std::string StressConfigText() {
    std::string text =
        "# Written by kvo-stress: a short sample window and two CPU groups.\n"
        "[env]\n"
        "td_switch = 1\n"
        "[td_cpu]\n"
        "sys_max = 30\n"
        "proc_min = 3\n"
        "adjust_cycle = 5\n"
        "sys_max_unused = 60\n"
        "[user_behavior]\n"
        "behavior_switch = 0\n"
        "[cpu_group]\n";
    text += std::string(kStressGroups[0]) + " = 30;60\n";
    text += std::string(kStressGroups[1]) + " = 10;40\n";
    return text;
}

std::string FormatStressReport(const StressOptions& options, const StressReport& report) {
    std::string out;
    char line[256];
    snprintf(line, sizeof line, "kvo-stress: %d threads, %d limited at %.1f %%, %.1f s, seed %u\n",
             options.threads, options.limitedThreads, static_cast<double>(options.limitedPercent),
             report.seconds, options.seed);
    out += line;
    snprintf(line, sizeof line, "%-22s %12s %10s %10s %10s\n", "operation", "calls", "per s",
             "refused", "unexpected");
    out += line;
    const double seconds = report.seconds > 0 ? report.seconds : 1;
    for (int op = 0; op < kOpCount; ++op) {
        const OpTally& t = report.ops[op];
        snprintf(line, sizeof line, "%-22s %12llu %10.1f %10llu %10llu\n", StressOpName(op),
                 static_cast<unsigned long long>(t.calls), static_cast<double>(t.calls) / seconds,
                 static_cast<unsigned long long>(t.refused),
                 static_cast<unsigned long long>(t.unexpected));
        out += line;
    }
    snprintf(line, sizeof line,
             "unlimited caller, wait per call: %llu calls, median %.2f ms, 99th %.2f ms, max "
             "%.1f ms\n",
             static_cast<unsigned long long>(report.probe.calls), report.probe.p50,
             report.probe.p99, report.probe.max);
    out += line;
    snprintf(line, sizeof line, "limited threads, share of one processor over the last %.0f s:",
             report.shareWindowSeconds);
    out += line;
    for (double share : report.limitedShares) {
        snprintf(line, sizeof line, share < 0 ? " n/a" : " %.1f %%", share);
        out += line;
    }
    out += "\n";
    return out;
}

std::vector<uint32_t> ProcessThreadIds() {
    std::vector<uint32_t> tids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return tids;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') tids.push_back(static_cast<uint32_t>(atol(entry->d_name)));
    }
    closedir(dir);
    std::sort(tids.begin(), tids.end());
    return tids;
}

std::string ThreadName(uint32_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%u/comm", tid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char name[64] = {0};
    const ssize_t n = read(fd, name, sizeof name - 1);
    close(fd);
    std::string text(name, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

int OpenDescriptorCount() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}
