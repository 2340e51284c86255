// Per-thread event loop: each thread keeps its own timer list, which
// cl_event_loop_once() runs on the monotonic clock.
#include <errno.h>
#include <time.h>

#include <algorithm>
#include <new>
#include <vector>

#include "platform/cl_ev.h"
#include "platform/clock.h"
#include "platform/kvo_base.h"

struct TimerLoop;

struct cl_timerplus {
    TimerLoop* loop;
    cl_timerplus_cb callback;
    void* context;
    int64_t dueMs;
    uint32_t periodMs;  // 0: never fires
    uint64_t order;     // start order breaks ties between equal due times
    bool active;
    bool closed;  // closed during a turn: freed when the turn ends
};

struct TimerLoop {
    std::vector<cl_timerplus*> timers;
    std::vector<cl_timerplus*> closedInTurn;
    uint64_t nextOrder = 0;
    bool inTurn = false;
};

namespace {

thread_local TimerLoop t_loop;

// Shared by every thread's loop; swapped only by tests.
int64_t (*g_clock)(void) = MonotonicMs;

int64_t NowMs() {
    int64_t (*clock)(void) = __atomic_load_n(&g_clock, __ATOMIC_ACQUIRE);
    return clock();
}

bool IsDue(const cl_timerplus* timer, int64_t now) {
    return timer->active && !timer->closed && timer->periodMs != 0 && timer->dueMs <= now;
}

std::vector<cl_timerplus*> DueTimers(const TimerLoop& loop, int64_t now) {
    std::vector<cl_timerplus*> due;
    for (cl_timerplus* timer : loop.timers) {
        if (IsDue(timer, now)) due.push_back(timer);
    }
    std::sort(due.begin(), due.end(), [](const cl_timerplus* a, const cl_timerplus* b) {
        return a->dueMs != b->dueMs ? a->dueMs < b->dueMs : a->order < b->order;
    });
    return due;
}

void Unlink(TimerLoop* loop, cl_timerplus* timer) {
    auto& timers = loop->timers;
    timers.erase(std::remove(timers.begin(), timers.end(), timer), timers.end());
}

}  // namespace

extern "C" void cl_ev_set_clock(int64_t (*now_ms)(void)) {
    __atomic_store_n(&g_clock, now_ms != nullptr ? now_ms : MonotonicMs, __ATOMIC_RELEASE);
}

extern "C" int cl_ev_create_isolated_thread(pthread_t* thread, int flags, cl_ev_thread_proc proc,
                                            void* argument) {
    if (flags != 0) return EINVAL;
    // The loop is thread-local, so any new thread owns an empty one.
    return kvo_thread_start(thread, proc, argument);
}

extern "C" int cl_event_loop_once(void) {
    TimerLoop& loop = t_loop;
    if (loop.inTurn) return 0;  // a callback re-entering the loop runs nothing
    loop.inTurn = true;
    int64_t now = NowMs();
    try {
        for (cl_timerplus* timer : DueTimers(loop, now)) {
            // An earlier callback of this turn may have stopped, reset or closed it.
            if (!IsDue(timer, now)) continue;
            // Re-arm before the call, so a reset or stop inside the callback wins;
            // a late turn never fires a burst of catch-up calls.
            timer->dueMs = now + timer->periodMs;
            timer->callback(timer);
        }
    } catch (const std::bad_alloc&) {
        // No timer ran this turn; the next turn tries again.
    }
    loop.inTurn = false;
    for (cl_timerplus* timer : loop.closedInTurn) delete timer;
    loop.closedInTurn.clear();
    return 0;
}

extern "C" cl_timerplus* cl_timerplus_start(uint32_t first_ms, int flags, uint32_t period_ms,
                                            cl_timerplus_cb callback, void* context) {
    if (flags != 0 || callback == nullptr) return nullptr;
    TimerLoop& loop = t_loop;
    auto* timer = new (std::nothrow) cl_timerplus;
    if (timer == nullptr) return nullptr;
    *timer = cl_timerplus{&loop,     callback,         context, NowMs() + first_ms,
                          period_ms, loop.nextOrder++, true,    false};
    try {
        loop.timers.push_back(timer);
    } catch (const std::bad_alloc&) {
        delete timer;
        return nullptr;
    }
    return timer;
}

extern "C" void* cl_timerplus_context(cl_timerplus* timer) {
    return timer != nullptr ? timer->context : nullptr;
}

extern "C" int cl_timerplus_reset(cl_timerplus* timer, uint32_t period_ms, int flags) {
    if (timer == nullptr || timer->closed || flags != 0) return EINVAL;
    timer->periodMs = period_ms;
    timer->dueMs = NowMs() + period_ms;
    timer->active = true;
    return 0;
}

extern "C" int cl_timerplus_stop(cl_timerplus* timer) {
    if (timer == nullptr || timer->closed) return EINVAL;
    timer->active = false;
    return 0;
}

extern "C" void cl_timerplus_close(cl_timerplus* timer) {
    if (timer == nullptr || timer->closed) return;
    TimerLoop* loop = timer->loop;
    Unlink(loop, timer);
    timer->closed = true;
    if (!loop->inTurn) {
        delete timer;
        return;
    }
    // The running turn still holds it in its list of due timers.
    try {
        loop->closedInTurn.push_back(timer);
    } catch (const std::bad_alloc&) {
        // Leaked rather than freed under the running turn.
    }
}
