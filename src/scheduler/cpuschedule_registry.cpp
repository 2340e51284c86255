// The scheduler's registry: control objects by key, added, adjusted, removed
// and looked up under m_mutex and the registry lock.
#include <errno.h>

#include <new>

#include "scheduler/cpuschedule.h"

bool CpuSchedule::RegisterObject(CtrlObjectType type, unsigned int id, float percent) {
    if (type == 0 || type > 2) return false;
    Sigusr1BlockScope noSleepHere(m_env);
    bool ok;
    int err;
    {
        // Lock order: m_mutex (keeps m_rwlock alive), then m_rwlock inside.
        KvoMutexLock hold(&m_mutex);
        ok = RegisterLocked(type, id, percent);
        err = errno;
    }
    m_dead.Drain();
    errno = err;
    return ok;
}

bool CpuSchedule::RegisterLocked(CtrlObjectType type, unsigned int id, float percent) {
    if (!m_rwlock.Alive()) {
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
    ICtrlObject* object = NewThreadCtrlObject(m_mode, m_env);
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
    KvoReadLock hold(&m_rwlock);
    auto it = m_objects.find(key);
    if (it == m_objects.end()) return nullptr;
    it->second->AddRef();  // before the lock goes: the entry may be removed next
    return it->second;
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
    {
        KvoWriteLock hold(&m_rwlock);
        auto it = m_objects.find(key);
        if (it == m_objects.end()) {
            m_objects.insert(std::move(node));
        } else {
            displaced = it->second;  // another caller created one meanwhile: ours wins
            it->second = object;
        }
    }
    if (displaced != nullptr) displaced->Release();
    return true;
}

bool CpuSchedule::RemoveIfMapped(uint64_t key, ICtrlObject* object) {
    Registry::node_type node;  // freed after the lock is released
    {
        KvoWriteLock hold(&m_rwlock);
        auto it = m_objects.find(key);
        if (it != m_objects.end() && it->second == object) node = m_objects.extract(it);
    }
    return !node.empty();
}

void CpuSchedule::UnRegisterObject(CtrlObjectType type, unsigned int id) {
    Sigusr1BlockScope noSleepHere(m_env);
    Registry::node_type node;  // freed after the locks are released
    {
        KvoMutexLock hold(&m_mutex);
        if (m_rwlock.Alive()) {
            KvoWriteLock write(&m_rwlock);
            auto it = m_objects.find(MakeKey(type, id));
            if (it != m_objects.end()) node = m_objects.extract(it);
        }
    }
    // A thread sleeping in Dojob is not woken; it is simply not signalled again.
    if (!node.empty()) node.mapped()->Release();
    m_dead.Drain();
}

ICtrlObject* CpuSchedule::AcquireObject(CtrlObjectType type, unsigned int id) {
    Sigusr1BlockScope noSleepHere(m_env);
    KvoMutexLock hold(&m_mutex);
    return m_rwlock.Alive() ? AcquireLocked(MakeKey(type, id)) : nullptr;
}

size_t CpuSchedule::ObjectCount() {
    Sigusr1BlockScope noSleepHere(m_env);
    KvoMutexLock hold(&m_mutex);
    if (!m_rwlock.Alive()) return 0;
    KvoReadLock read(&m_rwlock);
    return m_objects.size();
}

int CpuSchedule::InitCount() {
    KvoMutexLock hold(&m_mutex);
    return m_initCount;
}
