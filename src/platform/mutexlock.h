// The platform's mutex and read-write lock as C++ capabilities, and the scoped
// guards that take and release them (KvoMutexLock, KvoReadLock, KvoWriteLock).
#pragma once

#include "platform/kvo_base.h"
#include "platform/thread_annotations.h"

class CAPABILITY("mutex") KvoMutex {
public:
    KvoMutex() { (void)kvo_mutex_init(&m_handle); }
    ~KvoMutex() { kvo_mutex_destroy(m_handle); }
    KvoMutex(const KvoMutex&) = delete;
    KvoMutex& operator=(const KvoMutex&) = delete;

    void Lock() ACQUIRE() { kvo_mutex_lock(m_handle); }
    void Unlock() RELEASE() { kvo_mutex_unlock(m_handle); }

    // In a fork child: the parent's copy may be held by a thread the child does
    // not have, so a fresh mutex replaces it and the old one is left alone.
    void RenewInChild() { (void)kvo_mutex_init(&m_handle); }

private:
    kvo_mutex_t m_handle = nullptr;
};

// A read-write lock that may be absent (Alive() false): created with the object,
// or later by Create() for owners whose lock lives only while they run.
class CAPABILITY("rwlock") KvoRwLock {
public:
    explicit KvoRwLock(bool create = true) {
        if (create) (void)Create();
    }
    ~KvoRwLock() { Destroy(); }
    KvoRwLock(const KvoRwLock&) = delete;
    KvoRwLock& operator=(const KvoRwLock&) = delete;

    // 0, or the error of the creation (errno is set too).
    int Create() { return kvo_rwlock_init(&m_handle); }
    void Destroy() {
        kvo_rwlock_destroy(m_handle);
        m_handle = nullptr;
    }
    bool Alive() const { return m_handle != nullptr; }
    kvo_rwlock_t Handle() const { return m_handle; }
    // Forgets the lock without destroying it (a fork child sets it aside).
    kvo_rwlock_t Abandon() {
        kvo_rwlock_t handle = m_handle;
        m_handle = nullptr;
        return handle;
    }
    // In a fork child: see KvoMutex::RenewInChild.
    void RenewInChild() { (void)kvo_rwlock_init(&m_handle); }

    void ReadLock() ACQUIRE_SHARED() { kvo_rwlock_shared_acquire(m_handle); }
    void ReadUnlock() RELEASE_SHARED() { kvo_rwlock_shared_release(m_handle); }
    // Never waits: usable in a signal handler. True when acquired.
    bool TryReadLock() TRY_ACQUIRE_SHARED(true) {
        return kvo_rwlock_shared_try_acquire(m_handle) == 0;
    }
    void WriteLock() ACQUIRE() { kvo_rwlock_exclusive_acquire(m_handle); }
    void WriteUnlock() RELEASE() { kvo_rwlock_exclusive_release(m_handle); }

private:
    kvo_rwlock_t m_handle = nullptr;
};

class SCOPED_CAPABILITY KvoMutexLock {
public:
    explicit KvoMutexLock(KvoMutex* mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex->Lock(); }
    ~KvoMutexLock() RELEASE() { m_mutex->Unlock(); }
    KvoMutexLock(const KvoMutexLock&) = delete;
    KvoMutexLock& operator=(const KvoMutexLock&) = delete;

private:
    KvoMutex* const m_mutex;
};

class SCOPED_CAPABILITY KvoReadLock {
public:
    explicit KvoReadLock(KvoRwLock* lock) ACQUIRE_SHARED(lock) : m_lock(lock) {
        m_lock->ReadLock();
    }
    ~KvoReadLock() RELEASE() { m_lock->ReadUnlock(); }
    KvoReadLock(const KvoReadLock&) = delete;
    KvoReadLock& operator=(const KvoReadLock&) = delete;

private:
    KvoRwLock* const m_lock;
};

class SCOPED_CAPABILITY KvoWriteLock {
public:
    explicit KvoWriteLock(KvoRwLock* lock) ACQUIRE(lock) : m_lock(lock) { m_lock->WriteLock(); }
    ~KvoWriteLock() RELEASE() { m_lock->WriteUnlock(); }
    KvoWriteLock(const KvoWriteLock&) = delete;
    KvoWriteLock& operator=(const KvoWriteLock&) = delete;

private:
    KvoRwLock* const m_lock;
};
