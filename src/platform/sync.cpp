// Mutex, read-write lock, event and semaphore over POSIX threads.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <new>

#include "platform/deadline.h"
#include "platform/kvo_base.h"

namespace {

// Condition variables here wait on CLOCK_MONOTONIC, so wall-clock jumps never
// stretch or cut a timed wait.
int InitMonotonicCond(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0) return rc;
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0) rc = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

// A mutex and a monotonic condition variable: the body of an event and of a semaphore.
struct Waitable {
    pthread_mutex_t lock;
    pthread_cond_t cond;
};

struct Event : Waitable {
    bool signalled;
    bool autoReset;
};

struct Semaphore : Waitable {
    uint32_t count;
    uint32_t maxCount;
};

// A new T whose Waitable part is initialised; null when allocation or either
// initialisation fails.
template <class T>
T* NewWaitable() {
    auto* w = new (std::nothrow) T;
    if (w == nullptr) return nullptr;
    if (pthread_mutex_init(&w->lock, nullptr) != 0) {
        delete w;
        return nullptr;
    }
    if (InitMonotonicCond(&w->cond) != 0) {
        pthread_mutex_destroy(&w->lock);
        delete w;
        return nullptr;
    }
    return w;
}

template <class T>
void DeleteWaitable(void* handle) {
    if (handle == nullptr) return;
    auto* w = static_cast<T*>(handle);
    pthread_cond_destroy(&w->cond);
    pthread_mutex_destroy(&w->lock);
    delete w;
}

// A new pthread lock object in *handle, initialised by init; 0 or the error.
template <class T, class Init>
int NewLock(void** handle, Init init) {
    if (handle == nullptr) return EINVAL;
    *handle = nullptr;
    auto* lock = new (std::nothrow) T;
    if (lock == nullptr) return ENOMEM;
    const int rc = init(lock);
    if (rc != 0) {
        delete lock;
        return rc;
    }
    *handle = lock;
    return 0;
}

// op on the pthread lock behind handle; a null handle is ignored.
template <class T>
void OnLock(void* handle, int (*op)(T*)) {
    if (handle != nullptr) op(static_cast<T*>(handle));
}

template <class T>
void DeleteLock(void* handle, int (*destroy)(T*)) {
    if (handle == nullptr) return;
    auto* lock = static_cast<T*>(handle);
    destroy(lock);
    delete lock;
}

// Holds a Waitable's mutex for one scope.
class WaitableHold {
public:
    explicit WaitableHold(Waitable* w) : m_lock(&w->lock) { pthread_mutex_lock(m_lock); }
    ~WaitableHold() { pthread_mutex_unlock(m_lock); }
    WaitableHold(const WaitableHold&) = delete;
    WaitableHold& operator=(const WaitableHold&) = delete;

private:
    pthread_mutex_t* const m_lock;
};

}  // namespace

timespec MonotonicDeadline(int64_t timeout_ms) {
    constexpr int64_t kMaxTimeoutMs = INT64_C(1000000000) * 1000;
    if (timeout_ms < 0) timeout_ms = 0;
    if (timeout_ms > kMaxTimeoutMs) timeout_ms = kMaxTimeoutMs;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t nsec = static_cast<int64_t>(now.tv_nsec) + (timeout_ms % 1000) * 1000000;
    timespec deadline;
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(timeout_ms / 1000 + nsec / 1000000000);
    deadline.tv_nsec = static_cast<long>(nsec % 1000000000);
    return deadline;
}

// ---- Mutex -------------------------------------------------------------------

extern "C" int kvo_mutex_init(kvo_mutex_t* mutex) {
    return NewLock<pthread_mutex_t>(
        mutex, [](pthread_mutex_t* m) { return pthread_mutex_init(m, nullptr); });
}

extern "C" void kvo_mutex_lock(kvo_mutex_t mutex) { OnLock(mutex, pthread_mutex_lock); }

extern "C" void kvo_mutex_unlock(kvo_mutex_t mutex) { OnLock(mutex, pthread_mutex_unlock); }

extern "C" void kvo_mutex_destroy(kvo_mutex_t mutex) { DeleteLock(mutex, pthread_mutex_destroy); }

// ---- Read-write lock -----------------------------------------------------------

extern "C" int kvo_rwlock_init(kvo_rwlock_t* lock) {
    return NewLock<pthread_rwlock_t>(lock, [](pthread_rwlock_t* rw) {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        // Readers preferred: a thread holding the lock shared may take it shared
        // again while a writer waits, without deadlocking against that writer.
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_READER_NP);
        const int rc = pthread_rwlock_init(rw, &attr);
        pthread_rwlockattr_destroy(&attr);
        return rc;
    });
}

extern "C" void kvo_rwlock_shared_acquire(kvo_rwlock_t lock) {
    OnLock(lock, pthread_rwlock_rdlock);
}

extern "C" void kvo_rwlock_shared_release(kvo_rwlock_t lock) {
    OnLock(lock, pthread_rwlock_unlock);
}

// Never waits and never allocates: safe to call from a signal handler.
extern "C" int kvo_rwlock_shared_try_acquire(kvo_rwlock_t lock) {
    if (lock == nullptr) return EINVAL;
    return pthread_rwlock_tryrdlock(static_cast<pthread_rwlock_t*>(lock));
}

extern "C" void kvo_rwlock_exclusive_acquire(kvo_rwlock_t lock) {
    OnLock(lock, pthread_rwlock_wrlock);
}

extern "C" void kvo_rwlock_exclusive_release(kvo_rwlock_t lock) {
    OnLock(lock, pthread_rwlock_unlock);
}

extern "C" void kvo_rwlock_destroy(kvo_rwlock_t lock) { DeleteLock(lock, pthread_rwlock_destroy); }

// ---- Event ---------------------------------------------------------------------

extern "C" uint32_t kvo_event_init(kvo_event_t* event, int initial_state, int auto_reset) {
    if (event == nullptr) return KVO_E_INVALID_PARAM;
    *event = nullptr;
    auto* e = NewWaitable<Event>();
    if (e == nullptr) return KVO_E_FAIL;
    e->signalled = initial_state != 0;
    e->autoReset = auto_reset != 0;
    *event = e;
    return KVO_OK;
}

extern "C" void kvo_event_set(kvo_event_t event) {
    if (event == nullptr) return;
    auto* e = static_cast<Event*>(event);
    WaitableHold hold(e);
    e->signalled = true;
    // An auto-reset signal is consumed by one waiter; a manual one releases all.
    if (e->autoReset) {
        pthread_cond_signal(&e->cond);
    } else {
        pthread_cond_broadcast(&e->cond);
    }
}

extern "C" uint32_t kvo_event_timedwait(kvo_event_t event, int64_t timeout_ms) {
    if (event == nullptr) return KVO_E_INVALID_PARAM;
    auto* e = static_cast<Event*>(event);
    timespec deadline = MonotonicDeadline(timeout_ms);
    WaitableHold hold(e);
    int rc = 0;
    while (!e->signalled && rc != ETIMEDOUT) {
        rc = pthread_cond_timedwait(&e->cond, &e->lock, &deadline);
    }
    bool got = e->signalled;
    if (got && e->autoReset) e->signalled = false;
    return got ? KVO_OK : KVO_E_TIMEOUT;
}

extern "C" void kvo_event_destroy(kvo_event_t event) { DeleteWaitable<Event>(event); }

// ---- Semaphore -----------------------------------------------------------------

extern "C" kvo_semaphore_t kvo_semaphore_init(uint32_t max_count) {
    auto* s = NewWaitable<Semaphore>();
    if (s == nullptr) return nullptr;
    s->count = 0;
    s->maxCount = max_count;
    return s;
}

extern "C" void kvo_semaphore_post(kvo_semaphore_t sem, uint32_t count) {
    if (sem == nullptr || count == 0) return;
    auto* s = static_cast<Semaphore*>(sem);
    WaitableHold hold(s);
    uint32_t room = s->maxCount - s->count;  // count never exceeds maxCount
    s->count += count < room ? count : room;
    pthread_cond_broadcast(&s->cond);
}

extern "C" uint32_t kvo_semaphore_wait(kvo_semaphore_t sem, uint32_t timeout_ms, int flags) {
    (void)flags;
    if (sem == nullptr) return KVO_E_INVALID_PARAM;
    auto* s = static_cast<Semaphore*>(sem);
    bool forever = timeout_ms == KVO_WAIT_INFINITE;
    timespec deadline = MonotonicDeadline(forever ? 0 : timeout_ms);
    WaitableHold hold(s);
    int rc = 0;
    while (s->count == 0 && rc != ETIMEDOUT) {
        rc = forever ? pthread_cond_wait(&s->cond, &s->lock)
                     : pthread_cond_timedwait(&s->cond, &s->lock, &deadline);
    }
    bool got = s->count > 0;
    if (got) --s->count;
    return got ? KVO_OK : KVO_E_TIMEOUT;
}

extern "C" void kvo_semaphore_destroy(kvo_semaphore_t sem) { DeleteWaitable<Semaphore>(sem); }
