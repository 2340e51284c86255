// The thread roles of a stress run that call the library: random workers,
// fixed-limit threads, the unlimited probe and the control thread.
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

#include "stress_run.h"

namespace stress {

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

}  // namespace stress
