// The scheduler's life: the singleton, start and stop, and the schedule thread
// that steps every registered object each tick.
//
// How the open points are settled:
// - The handler never waits for a lock (see cpuschedule_signal.cpp). Our own
//   registry paths block SIGUSR1 while they run, so a thread never sleeps in its
//   handler while it holds m_mutex or m_rwlock. The handler never frees: a last
//   reference dropped there goes to m_dead, which the schedule thread (and every
//   registry call) drains.
// - AddCpuCtrlObject while the scheduler is stopped or was never started fails
//   with errno EAGAIN (there is no thread to step the object); DelCpuCtrlObject
//   then does nothing, as the registry is empty whenever the scheduler is
//   stopped. m_mutex guards the lifetime of the registry lock for both.
// - The destructor stops the scheduler whatever the count of registrations:
//   it takes the count down to one and calls UnInitialize once.
#include "scheduler/cpuschedule.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include "scheduler/cpuschedule_state.h"

namespace cpuschedule_state {

CpuSchedule* g_handlerTarget = nullptr;
int g_handlersInside = 0;
int g_lookupsInside = 0;
CpuSchedule* g_forkTarget = nullptr;

void WaitUntilZero(const int* counter, SchedEnv* env, int64_t maxMs) {
    for (int64_t waited = 0; waited < maxMs; ++waited) {
        if (__atomic_load_n(counter, __ATOMIC_SEQ_CST) == 0) return;
        env->SleepMs(1);
    }
}

}  // namespace cpuschedule_state

using namespace cpuschedule_state;

namespace {

constexpr int64_t kLookupWaitMs = 1000;
constexpr int64_t kHandlerWaitMs = 5000;  // a handler sleeps one tick at most

}  // namespace

CpuSchedule* CpuSchedule::GetInstance() {
    static CpuSchedule sIntance(SchedEnv::Default(), kTickMs, kIdleTickMs, ReadSchedMode());
    // Once, after the singleton exists; glibc drops the handlers when the
    // library that registered them is unloaded.
    static const int sForkHandlers = (__atomic_store_n(&g_forkTarget, &sIntance, __ATOMIC_SEQ_CST),
                                      pthread_atfork(PrepareForkCb, ParentForkCb, ChildForkCb));
    (void)sForkHandlers;
    return &sIntance;
}

CpuSchedule::CpuSchedule(SchedEnv* env, int64_t tickMs, int64_t idleTickMs, SchedMode mode)
    : m_env(env),
      m_tickMs(tickMs),
      m_idleTickMs(idleTickMs),
      m_mode(mode),
      m_initCount(0),
      m_semaphore(nullptr),
      m_event(nullptr),
      m_scheduleThread(),
      m_threadStarted(false),
      m_rwlock(false),
      m_handlerInstalled(false) {}

CpuSchedule::~CpuSchedule() {
    CpuSchedule* self = this;
    __atomic_compare_exchange_n(&g_forkTarget, &self, nullptr, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    {
        KvoMutexLock hold(&m_mutex);
        if (m_initCount > 1) m_initCount = 1;  // registrations left at exit: stop anyway
    }
    UnInitialize();
    // A handler that took an object before the stop may still sleep in it; its
    // last Release lands on m_dead, so wait it out before draining.
    WaitUntilZero(&g_handlersInside, m_env, kHandlerWaitMs);
    m_dead.Drain();
    // Our handler's code may be unloaded next: give SIGUSR1 back what the host
    // had before us (the disposition survives exec), unless another scheduler
    // has taken the signal over or the host has installed its own since.
    if (m_handlerInstalled && __atomic_load_n(&g_handlerTarget, __ATOMIC_SEQ_CST) == nullptr) {
        m_env->RestoreSigusr1(SignalHandler);
    }
}

uint64_t CpuSchedule::MakeKey(unsigned int type, unsigned int id) {
    return (static_cast<uint64_t>(type) << 32) | id;
}

// ---- Start and stop -----------------------------------------------------------

bool CpuSchedule::Initialize() {
    Sigusr1BlockScope noSleepHere(m_env);
    bool ok = true;
    int err;
    {
        KvoMutexLock hold(&m_mutex);
        if (m_initCount >= 1) {
            ++m_initCount;
        } else {
            m_dead.Drain();
            ok = StartLocked();
            if (ok) ++m_initCount;
        }
        err = errno;
    }
    errno = err;
    return ok;
}

bool CpuSchedule::StartLocked() {
    int err = 0;
    if (StartSteps(&err)) return true;
    TearDownLocked();  // undoes whatever the steps built
    if (err != 0) errno = err;
    return false;
}

// Builds the running state in order; on the first failing step, *err is the
// errno value that step left (EACCES for the handler) and the result false.
bool CpuSchedule::StartSteps(int* err) {
    if (m_rwlock.Create() != 0) {
        *err = errno;
        return false;
    }
    m_semaphore = kvo_semaphore_init(65535);
    if (m_semaphore == nullptr || kvo_event_init(&m_event, 0, 1) != 0 ||
        kvo_thread_start(&m_scheduleThread, OnSchedule, this) != 0) {
        *err = errno;
        return false;
    }
    m_threadStarted = true;
    if (kvo_semaphore_wait(m_semaphore, KVO_WAIT_INFINITE, 0) != 0) {
        *err = errno;
        return false;
    }
    __atomic_store_n(&g_handlerTarget, this, __ATOMIC_SEQ_CST);
    if (!m_env->InstallSigusr1(SignalHandler)) {
        *err = EACCES;
        return false;
    }
    m_handlerInstalled = true;
    return true;
}

void CpuSchedule::UnInitialize() {
    Sigusr1BlockScope noSleepHere(m_env);
    KvoMutexLock hold(&m_mutex);
    if (m_initCount > 0) --m_initCount;
    if (m_initCount == 0) TearDownLocked();
}

void CpuSchedule::TearDownLocked() {
    // From here the handler finds nothing; a lookup already past that test
    // still reads m_rwlock, so wait for it before the lock goes.
    CpuSchedule* self = this;
    __atomic_compare_exchange_n(&g_handlerTarget, &self, nullptr, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    WaitUntilZero(&g_lookupsInside, m_env, kLookupWaitMs);

    if (m_event != nullptr) {
        kvo_event_set(m_event);
        if (m_threadStarted) kvo_thread_join(&m_scheduleThread, 0);
        m_threadStarted = false;
    }
    Registry doomed;
    if (m_rwlock.Alive()) {
        KvoWriteLock hold(&m_rwlock);
        doomed.swap(m_objects);
    }
    // In ascending key order; a thread sleeping in Dojob keeps its own reference.
    for (const auto& entry : doomed) entry.second->Release();
    m_dead.Drain();

    if (m_semaphore != nullptr) kvo_semaphore_destroy(m_semaphore);
    if (m_event != nullptr) kvo_event_destroy(m_event);
    m_rwlock.Destroy();
    m_semaphore = nullptr;
    m_event = nullptr;
}

// ---- Schedule thread ----------------------------------------------------------

uint32_t CpuSchedule::OnSchedule(void* arg) {
    static_cast<CpuSchedule*>(arg)->OnScheduleImpl();
    return 0;
}

void CpuSchedule::OnScheduleImpl() {
    kvo_semaphore_post(m_semaphore, 1);
    int64_t timeout = m_tickMs;
    // Any result but a timeout (the stop event, or a failed wait) ends the thread.
    while (kvo_event_timedwait(m_event, timeout) == KVO_E_TIMEOUT) {
        timeout = SchedulePass() ? m_tickMs : m_idleTickMs;
    }
}

bool CpuSchedule::SchedulePass() {
    m_noted.clear();
    bool any;
    {
        // Shared for the whole pass: RefreshTime and the signals run under it, and
        // a limited thread's handler can still take it shared (never waiting).
        KvoReadLock hold(&m_rwlock);
        any = !m_objects.empty();
        for (const auto& entry : m_objects) {
            if (entry.second->IsTerminated()) {
                m_noted.push_back(entry.first);
            } else {
                entry.second->RefreshTime(kTickMs);
            }
        }
    }
    RemoveNoted();
    m_dead.Drain();
    return any;
}

void CpuSchedule::RemoveNoted() {
    if (m_noted.empty()) return;
    Registry removed;  // nodes move over without allocating; freed after the lock
    {
        KvoWriteLock hold(&m_rwlock);
        for (uint64_t key : m_noted) {
            auto it = m_objects.find(key);
            // Test the mapped object again: the key may map to a new object by now.
            if (it != m_objects.end() && it->second->IsTerminated()) {
                removed.insert(m_objects.extract(it));
            }
        }
    }
    for (const auto& entry : removed) entry.second->Release();
    m_noted.clear();
}
