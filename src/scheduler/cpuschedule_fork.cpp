// Fork handling of the scheduler singleton.
//
// The child of a fork has one thread, the one that forked: the schedule thread
// and the parent's limited threads do not exist there. So the child starts with
// the scheduler stopped and no registration, and may register anew. Holding
// both locks across the fork means the child never inherits a registry in the
// middle of a change. What the gone threads may still have been using (the
// registry and its lock, the event and semaphore the schedule thread waited on)
// is set aside, never destroyed: destroying a condition variable that had a
// waiter in the parent would wait forever in the child.
#include <signal.h>

#include <map>
#include <vector>

#include "scheduler/cpuschedule.h"
#include "scheduler/cpuschedule_state.h"

using namespace cpuschedule_state;

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

// The handlers take the locks in one callback and release them in another, which
// no scoped guard can express; the analysis is off for these three.
void CpuSchedule::PrepareForkCb() NO_THREAD_SAFETY_ANALYSIS {
    CpuSchedule* self = __atomic_load_n(&g_forkTarget, __ATOMIC_SEQ_CST);
    if (self == nullptr) return;
    // The forking thread must not sleep in its handler holding the registry.
    self->m_env->BlockSigusr1(&t_maskBeforeFork);
    // Lock order: m_mutex, then m_rwlock; the parent and child handlers undo it.
    self->m_mutex.Lock();
    if (self->m_rwlock.Alive()) self->m_rwlock.WriteLock();
}

void CpuSchedule::ParentForkCb() NO_THREAD_SAFETY_ANALYSIS {
    CpuSchedule* self = __atomic_load_n(&g_forkTarget, __ATOMIC_SEQ_CST);
    if (self == nullptr) return;
    if (self->m_rwlock.Alive()) self->m_rwlock.WriteUnlock();
    self->m_mutex.Unlock();
    self->m_env->RestoreSignalMask(&t_maskBeforeFork);
}

void CpuSchedule::ChildForkCb() NO_THREAD_SAFETY_ANALYSIS {
    CpuSchedule* self = __atomic_load_n(&g_forkTarget, __ATOMIC_SEQ_CST);
    if (self == nullptr) return;
    self->StartOverInChild();
    self->m_mutex.Unlock();
    self->m_env->RestoreSignalMask(&t_maskBeforeFork);
}

void CpuSchedule::StartOverInChild() {
    __atomic_store_n(&g_handlerTarget, nullptr, __ATOMIC_SEQ_CST);
    // Handlers counted in the parent ran on threads the child does not have.
    __atomic_store_n(&g_handlersInside, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&g_lookupsInside, 0, __ATOMIC_SEQ_CST);
    if (m_rwlock.Alive()) {
        if (g_forkLeftovers == nullptr) g_forkLeftovers = new std::vector<ForkLeftovers>();
        // The write lock taken before the fork stays held in the set-aside copy.
        g_forkLeftovers->push_back(ForkLeftovers{{}, m_rwlock.Handle(), m_event, m_semaphore});
        g_forkLeftovers->back().objects.swap(m_objects);
    }
    (void)m_rwlock.Abandon();
    m_event = nullptr;
    m_semaphore = nullptr;
    m_threadStarted = false;
    m_initCount = 0;
}
