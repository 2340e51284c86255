// The SIGUSR1 handler: the limited thread looks its control object up without
// waiting and sleeps in it.
//
// Contract of everything in this file: no lock is waited for, nothing is
// allocated or freed, no thread_local, no logging; errno is saved and restored;
// the only system calls are gettid, clock_gettime (the exact mode's wake time),
// nanosleep and those inside a non-waiting rwlock try-acquire.
#include <errno.h>
#include <signal.h>

#include "scheduler/cpuschedule.h"
#include "scheduler/cpuschedule_state.h"

using namespace cpuschedule_state;

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
    // first and then waits for g_lookupsInside before it destroys the lock. A
    // handler never waits, so a try-acquire and a manual release, not a guard.
    if (__atomic_load_n(&g_handlerTarget, __ATOMIC_SEQ_CST) == this && m_rwlock.Alive() &&
        m_rwlock.TryReadLock()) {
        auto it = m_objects.find(key);
        if (it != m_objects.end()) {
            object = it->second;
            object->AddRef();
        }
        m_rwlock.ReadUnlock();
    }
    __atomic_sub_fetch(&g_lookupsInside, 1, __ATOMIC_SEQ_CST);
    return object;
}

void CpuSchedule::ReleaseFromSignal(ICtrlObject* object) {
    // Every registered object is a CLifeCycleImpl made by NewThreadCtrlObject.
    auto* counted = static_cast<CLifeCycleImpl<ICtrlObject>*>(object);
    if (counted->ReleaseNoDestroy() == 0) m_dead.Push(counted);
}
