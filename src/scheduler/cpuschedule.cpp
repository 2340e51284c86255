// The scheduler: registry, schedule thread, SIGUSR1 handler and the five
// exported interface functions.
//
// How the open points are settled:
// - The handler never waits for a lock. Its lookup try-acquires the registry
//   lock; when the lock is busy (the interrupted thread, or a writer, holds it)
//   the thread skips this tick's sleep, and the next tick signals it again. Our
//   own registry paths also block SIGUSR1 while they run, so a thread never
//   sleeps in its handler while it holds m_mutex or m_rwlock. The handler never
//   frees: a last reference dropped there goes to m_dead, which the schedule
//   thread (and every registry call) drains.
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

#include <new>
#include <vector>

#include "kvo_vurizeda.h"
#include "scheduler/threadctrlobject.h"

namespace {

// The running scheduler, whose registry the SIGUSR1 handler consults; null
// while none runs. Set and cleared under that scheduler's m_mutex.
CpuSchedule* g_handlerTarget = nullptr;
// Handlers between entry and return, and handlers that may be touching the
// target's registry lock. A scheduler waits for the second before it destroys
// its lock and for the first before it goes away.
int g_handlersInside = 0;
int g_lookupsInside = 0;

// The singleton, which fork handling looks after; null once it is destroyed.
CpuSchedule* g_forkTarget = nullptr;

constexpr int64_t kLookupWaitMs = 1000;
constexpr int64_t kHandlerWaitMs = 5000;  // a handler sleeps one tick at most

void WaitUntilZero(const int* counter, SchedEnv* env, int64_t maxMs) {
    for (int64_t waited = 0; waited < maxMs; ++waited) {
        if (__atomic_load_n(counter, __ATOMIC_SEQ_CST) == 0) return;
        env->SleepMs(1);
    }
}

}  // namespace

CpuSchedule* CpuSchedule::GetInstance() {
    static CpuSchedule sIntance(SchedEnv::Default(), kTickMs, kIdleTickMs, StatusEnv::Default());
    // Once, after the singleton exists; glibc drops the handlers when the
    // library that registered them is unloaded.
    static const int sForkHandlers = (__atomic_store_n(&g_forkTarget, &sIntance, __ATOMIC_SEQ_CST),
                                      pthread_atfork(PrepareForkCb, ParentForkCb, ChildForkCb));
    (void)sForkHandlers;
    return &sIntance;
}

CpuSchedule::CpuSchedule(SchedEnv* env, int64_t tickMs, int64_t idleTickMs, StatusEnv* statusEnv)
    : m_env(env),
      m_tickMs(tickMs),
      m_idleTickMs(idleTickMs),
      m_mutex(nullptr),
      m_initCount(0),
      m_semaphore(nullptr),
      m_event(nullptr),
      m_scheduleThread(),
      m_threadStarted(false),
      m_rwlock(nullptr),
      m_handlerInstalled(false),
      m_statusPort(statusEnv) {
    kvo_mutex_init(&m_mutex);
}

CpuSchedule::~CpuSchedule() {
    CpuSchedule* self = this;
    __atomic_compare_exchange_n(&g_forkTarget, &self, nullptr, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    kvo_mutex_lock(m_mutex);
    if (m_initCount > 1) m_initCount = 1;  // registrations left at exit: stop anyway
    kvo_mutex_unlock(m_mutex);
    UnInitialize();
    // A handler that took an object before the stop may still sleep in it; its
    // last Release lands on m_dead, so wait it out before draining.
    WaitUntilZero(&g_handlersInside, m_env, kHandlerWaitMs);
    m_dead.Drain();
    // Our handler's code may be unloaded next: leave SIGUSR1 ignored rather than
    // pointing at it, unless another scheduler has taken the signal over.
    if (m_handlerInstalled && __atomic_load_n(&g_handlerTarget, __ATOMIC_SEQ_CST) == nullptr) {
        m_env->IgnoreSigusr1();
    }
    kvo_mutex_destroy(m_mutex);
    m_mutex = nullptr;
}

uint64_t CpuSchedule::MakeKey(unsigned int type, unsigned int id) {
    return (static_cast<uint64_t>(type) << 32) | id;
}

// ---- Start and stop -----------------------------------------------------------

bool CpuSchedule::Initialize() {
    Sigusr1BlockScope noSleepHere(m_env);
    kvo_mutex_lock(m_mutex);
    bool ok = true;
    if (m_initCount >= 1) {
        ++m_initCount;
    } else {
        m_dead.Drain();
        ok = StartLocked();
        if (ok) ++m_initCount;
    }
    const int err = errno;
    kvo_mutex_unlock(m_mutex);
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
    if (kvo_rwlock_init(&m_rwlock) != 0) {
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
    kvo_mutex_lock(m_mutex);
    if (m_initCount > 0) --m_initCount;
    if (m_initCount == 0) TearDownLocked();
    kvo_mutex_unlock(m_mutex);
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
    if (m_rwlock != nullptr) {
        kvo_rwlock_exclusive_acquire(m_rwlock);
        doomed.swap(m_objects);
        kvo_rwlock_exclusive_release(m_rwlock);
    }
    // In ascending key order; a thread sleeping in Dojob keeps its own reference.
    for (const auto& entry : doomed) entry.second->Release();
    m_dead.Drain();

    if (m_semaphore != nullptr) kvo_semaphore_destroy(m_semaphore);
    if (m_event != nullptr) kvo_event_destroy(m_event);
    if (m_rwlock != nullptr) kvo_rwlock_destroy(m_rwlock);
    m_semaphore = nullptr;
    m_event = nullptr;
    m_rwlock = nullptr;
}

// ---- Fork -----------------------------------------------------------------------
//
// The child of a fork has one thread, the one that forked: the schedule thread
// and the parent's limited threads do not exist there. So the child starts with
// the scheduler stopped and no registration, and may register anew. Holding
// both locks across the fork means the child never inherits a registry in the
// middle of a change. What the gone threads may still have been using (the
// registry and its lock, the event and semaphore the schedule thread waited on)
// is set aside, never destroyed: destroying a condition variable that had a
// waiter in the parent would wait forever in the child.

namespace {

struct ForkLeftovers {
    std::map<uint64_t, ICtrlObject*> objects;
    kvo_rwlock_t rwlock;
    kvo_event_t event;
    kvo_semaphore_t semaphore;
};
// Reachable for as long as the child lives; only ever grows in children.
std::vector<ForkLeftovers>* g_forkLeftovers = nullptr;
thread_local sigset_t t_maskBeforeFork;

}  // namespace

void CpuSchedule::PrepareForkCb() {
    CpuSchedule* self = __atomic_load_n(&g_forkTarget, __ATOMIC_SEQ_CST);
    if (self == nullptr) return;
    // The forking thread must not sleep in its handler holding the registry.
    self->m_env->BlockSigusr1(&t_maskBeforeFork);
    // Lock order: m_mutex, then m_rwlock; the parent and child handlers undo it.
    kvo_mutex_lock(self->m_mutex);
    if (self->m_rwlock != nullptr) kvo_rwlock_exclusive_acquire(self->m_rwlock);
}

void CpuSchedule::ParentForkCb() {
    CpuSchedule* self = __atomic_load_n(&g_forkTarget, __ATOMIC_SEQ_CST);
    if (self == nullptr) return;
    if (self->m_rwlock != nullptr) kvo_rwlock_exclusive_release(self->m_rwlock);
    kvo_mutex_unlock(self->m_mutex);
    self->m_env->RestoreSignalMask(&t_maskBeforeFork);
}

void CpuSchedule::ChildForkCb() {
    CpuSchedule* self = __atomic_load_n(&g_forkTarget, __ATOMIC_SEQ_CST);
    if (self == nullptr) return;
    self->StartOverInChild();
    kvo_mutex_unlock(self->m_mutex);
    self->m_env->RestoreSignalMask(&t_maskBeforeFork);
}

void CpuSchedule::StartOverInChild() {
    __atomic_store_n(&g_handlerTarget, nullptr, __ATOMIC_SEQ_CST);
    // Handlers counted in the parent ran on threads the child does not have.
    __atomic_store_n(&g_handlersInside, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&g_lookupsInside, 0, __ATOMIC_SEQ_CST);
    if (m_rwlock != nullptr) {
        if (g_forkLeftovers == nullptr) g_forkLeftovers = new std::vector<ForkLeftovers>();
        g_forkLeftovers->push_back(ForkLeftovers{{}, m_rwlock, m_event, m_semaphore});
        g_forkLeftovers->back().objects.swap(m_objects);
    }
    m_rwlock = nullptr;
    m_event = nullptr;
    m_semaphore = nullptr;
    m_threadStarted = false;
    m_initCount = 0;
    m_statusPort.ForgetInChild();
}

// ---- Registry -----------------------------------------------------------------

bool CpuSchedule::RegisterObject(CtrlObjectType type, unsigned int id, float percent) {
    if (type == 0 || type > 2) return false;
    Sigusr1BlockScope noSleepHere(m_env);
    // Lock order: m_mutex (keeps m_rwlock alive), then m_rwlock inside.
    kvo_mutex_lock(m_mutex);
    const bool ok = RegisterLocked(type, id, percent);
    const int err = errno;
    kvo_mutex_unlock(m_mutex);
    m_dead.Drain();
    errno = err;
    return ok;
}

bool CpuSchedule::RegisterLocked(CtrlObjectType type, unsigned int id, float percent) {
    if (m_rwlock == nullptr) {
        errno = EAGAIN;
        return false;
    }
    const uint64_t key = MakeKey(type, id);
    if (ICtrlObject* found = AcquireLocked(key)) {
        if (found->AdjustCpuRatio(percent)) {
            found->Release();
            return true;
        }
        // A refused limit ends the limiting of the thread. The entry goes before
        // our own reference, so the pointer compared is still alive.
        const int err = errno;
        if (RemoveIfMapped(key, found)) found->Release();
        found->Release();
        errno = err;
        return false;
    }
    if (type != CTRL_OBJECT_THREAD) return false;
    auto* object = new (std::nothrow) CThreadCtrlObject(m_env);
    if (object == nullptr) return false;
    if (!object->Attach(static_cast<int>(id), percent)) {
        const int err = errno;
        object->Release();
        errno = err;
        return false;
    }
    if (!InsertObject(key, object)) {
        object->Release();
        return false;
    }
    return true;
}

ICtrlObject* CpuSchedule::AcquireLocked(uint64_t key) {
    ICtrlObject* object = nullptr;
    kvo_rwlock_shared_acquire(m_rwlock);
    auto it = m_objects.find(key);
    if (it != m_objects.end()) {
        object = it->second;
        object->AddRef();  // before the lock goes: the entry may be removed next
    }
    kvo_rwlock_shared_release(m_rwlock);
    return object;
}

bool CpuSchedule::InsertObject(uint64_t key, ICtrlObject* object) {
    // The map node is allocated before the exclusive lock is taken, so nothing
    // allocates while writers hold the registry.
    Registry staging;
    try {
        staging.emplace(key, object);
    } catch (const std::bad_alloc&) {
        return false;
    }
    Registry::node_type node = staging.extract(staging.begin());
    ICtrlObject* displaced = nullptr;
    kvo_rwlock_exclusive_acquire(m_rwlock);
    auto it = m_objects.find(key);
    if (it == m_objects.end()) {
        m_objects.insert(std::move(node));
    } else {
        displaced = it->second;  // another caller created one meanwhile: ours wins
        it->second = object;
    }
    kvo_rwlock_exclusive_release(m_rwlock);
    if (displaced != nullptr) displaced->Release();
    return true;
}

bool CpuSchedule::RemoveIfMapped(uint64_t key, ICtrlObject* object) {
    Registry::node_type node;  // freed after the lock is released
    kvo_rwlock_exclusive_acquire(m_rwlock);
    auto it = m_objects.find(key);
    if (it != m_objects.end() && it->second == object) node = m_objects.extract(it);
    kvo_rwlock_exclusive_release(m_rwlock);
    return !node.empty();
}

void CpuSchedule::UnRegisterObject(CtrlObjectType type, unsigned int id) {
    Sigusr1BlockScope noSleepHere(m_env);
    Registry::node_type node;  // freed after the locks are released
    kvo_mutex_lock(m_mutex);
    if (m_rwlock != nullptr) {
        kvo_rwlock_exclusive_acquire(m_rwlock);
        auto it = m_objects.find(MakeKey(type, id));
        if (it != m_objects.end()) node = m_objects.extract(it);
        kvo_rwlock_exclusive_release(m_rwlock);
    }
    kvo_mutex_unlock(m_mutex);
    // A thread sleeping in Dojob is not woken; it is simply not signalled again.
    if (!node.empty()) node.mapped()->Release();
    m_dead.Drain();
}

ICtrlObject* CpuSchedule::AcquireObject(CtrlObjectType type, unsigned int id) {
    Sigusr1BlockScope noSleepHere(m_env);
    kvo_mutex_lock(m_mutex);
    ICtrlObject* object = m_rwlock != nullptr ? AcquireLocked(MakeKey(type, id)) : nullptr;
    kvo_mutex_unlock(m_mutex);
    return object;
}

size_t CpuSchedule::ObjectCount() {
    Sigusr1BlockScope noSleepHere(m_env);
    kvo_mutex_lock(m_mutex);
    size_t count = 0;
    if (m_rwlock != nullptr) {
        kvo_rwlock_shared_acquire(m_rwlock);
        count = m_objects.size();
        kvo_rwlock_shared_release(m_rwlock);
    }
    kvo_mutex_unlock(m_mutex);
    return count;
}

int CpuSchedule::InitCount() {
    kvo_mutex_lock(m_mutex);
    const int count = m_initCount;
    kvo_mutex_unlock(m_mutex);
    return count;
}

// ---- Schedule thread ----------------------------------------------------------

uint32_t CpuSchedule::OnSchedule(void* arg) {
    static_cast<CpuSchedule*>(arg)->OnScheduleImpl();
    return 0;
}

void CpuSchedule::OnScheduleImpl() {
    // Open before Initialize returns, so a process is askable once it limits.
    m_statusPort.Open();
    kvo_semaphore_post(m_semaphore, 1);
    int64_t timeout = m_tickMs;
    // Any result but a timeout (the stop event, or a failed wait) ends the thread.
    while (kvo_event_timedwait(m_event, timeout) == KVO_E_TIMEOUT) {
        timeout = SchedulePass() ? m_tickMs : m_idleTickMs;
        // After the pass, holding no lock: the answer allocates.
        m_statusPort.Poll(ModeName(), CollectStatusCb, this);
    }
    m_statusPort.Close();
}

bool CpuSchedule::SchedulePass() {
    m_noted.clear();
    // Shared for the whole pass: RefreshTime and the signals run under it, and
    // a limited thread's handler can still take it shared (never waiting).
    kvo_rwlock_shared_acquire(m_rwlock);
    const bool any = !m_objects.empty();
    for (const auto& entry : m_objects) {
        if (entry.second->IsTerminated()) {
            m_noted.push_back(entry.first);
        } else {
            entry.second->RefreshTime(kTickMs);
        }
    }
    kvo_rwlock_shared_release(m_rwlock);
    RemoveNoted();
    m_dead.Drain();
    return any;
}

void CpuSchedule::CollectStatusCb(void* context, std::vector<_ThreadFigures>* rows) {
    static_cast<CpuSchedule*>(context)->CollectStatusImpl(rows);
}

void CpuSchedule::CollectStatusImpl(std::vector<_ThreadFigures>* rows) {
    // Shared, as in a pass; the figures' counters belong to this thread.
    kvo_rwlock_shared_acquire(m_rwlock);
    rows->reserve(m_objects.size());
    for (const auto& entry : m_objects) {
        if (auto* object = dynamic_cast<CThreadCtrlObject*>(entry.second)) {
            rows->push_back(object->Figures());
        }
    }
    kvo_rwlock_shared_release(m_rwlock);
}

void CpuSchedule::RemoveNoted() {
    if (m_noted.empty()) return;
    Registry removed;  // nodes move over without allocating; freed after the lock
    kvo_rwlock_exclusive_acquire(m_rwlock);
    for (uint64_t key : m_noted) {
        auto it = m_objects.find(key);
        // Test the mapped object again: the key may map to a new object by now.
        if (it != m_objects.end() && it->second->IsTerminated()) {
            removed.insert(m_objects.extract(it));
        }
    }
    kvo_rwlock_exclusive_release(m_rwlock);
    for (const auto& entry : removed) entry.second->Release();
    m_noted.clear();
}

// ---- Signal handler -------------------------------------------------------------
//
// Contract of everything below SignalHandler: no lock is waited for, nothing is
// allocated or freed, no thread_local, no logging; errno is saved and restored;
// the only system calls are gettid, nanosleep and those inside a non-waiting
// rwlock try-acquire.

void CpuSchedule::SignalHandler(int sig) {
    if (sig != SIGUSR1) return;
    const int savedErrno = errno;
    __atomic_add_fetch(&g_handlersInside, 1, __ATOMIC_SEQ_CST);
    // The running scheduler: the singleton in production. Null while stopped.
    CpuSchedule* target = __atomic_load_n(&g_handlerTarget, __ATOMIC_SEQ_CST);
    if (target != nullptr) target->ProcessObject(CTRL_OBJECT_THREAD, target->m_env->CurrentTid());
    __atomic_sub_fetch(&g_handlersInside, 1, __ATOMIC_SEQ_CST);
    errno = savedErrno;
}

void CpuSchedule::ProcessObject(CtrlObjectType type, unsigned int id) {
    ICtrlObject* object = LookupFromSignal(MakeKey(type, id));
    if (object == nullptr) return;
    object->Dojob();  // sleeps without holding any lock
    ReleaseFromSignal(object);
}

ICtrlObject* CpuSchedule::LookupFromSignal(uint64_t key) {
    __atomic_add_fetch(&g_lookupsInside, 1, __ATOMIC_SEQ_CST);
    ICtrlObject* object = nullptr;
    // Only a running scheduler's lock is alive: TearDownLocked clears the target
    // first and then waits for g_lookupsInside before it destroys the lock.
    if (__atomic_load_n(&g_handlerTarget, __ATOMIC_SEQ_CST) == this && m_rwlock != nullptr &&
        kvo_rwlock_shared_try_acquire(m_rwlock) == 0) {
        auto it = m_objects.find(key);
        if (it != m_objects.end()) {
            object = it->second;
            object->AddRef();
        }
        kvo_rwlock_shared_release(m_rwlock);
    }
    __atomic_sub_fetch(&g_lookupsInside, 1, __ATOMIC_SEQ_CST);
    return object;
}

void CpuSchedule::ReleaseFromSignal(ICtrlObject* object) {
    // Every registered object is a CThreadCtrlObject made by RegisterObject.
    auto* counted = static_cast<CLifeCycleImpl<ICtrlObject>*>(object);
    if (counted->ReleaseNoDestroy() == 0) m_dead.Push(counted);
}

// ---- Exported interface ---------------------------------------------------------

extern "C" {

KVO_API int RegisterCpuCtrl(void) { return CpuSchedule::GetInstance()->Initialize() ? 1 : 0; }

KVO_API void UnRegisterCpuCtrl(void) { CpuSchedule::GetInstance()->UnInitialize(); }

KVO_API int AddCpuCtrlObject(unsigned int tid, float percent) {
    return CpuSchedule::GetInstance()->RegisterObject(CpuSchedule::CTRL_OBJECT_THREAD, tid, percent)
               ? 1
               : 0;
}

KVO_API void DelCpuCtrlObject(unsigned int tid) {
    CpuSchedule::GetInstance()->UnRegisterObject(CpuSchedule::CTRL_OBJECT_THREAD, tid);
}

KVO_API void ResumeUpdateThread(unsigned int tid) { (void)tid; }

}  // extern "C"
