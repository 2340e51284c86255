// Reference-counted control-object interface of the scheduler, and the
// reference-count half that every control object shares.
#pragma once

#include <stdint.h>

#include "platform/kvo_base.h"

// Ten operations in a fixed slot order; no virtual destructor: objects are
// destroyed only through Release.
class ICtrlObject {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual bool Attach(int tid, float limit) = 0;
    virtual void Detach() = 0;
    virtual bool AdjustCpuRatio(float limit) = 0;
    virtual void RefreshTime(long long elapsedMs) = 0;
    virtual float GetCurrentCpu() = 0;
    virtual bool IsTerminated() = 0;
    virtual void ResumeIfSuspend() = 0;
    virtual void Dojob() = 0;

protected:
    ~ICtrlObject() = default;
};

// The limits Attach and AdjustCpuRatio accept, in percent of one processor.
inline bool LimitInRange(float limit) {
    // Written as a positive test so that NaN is refused too.
    return limit >= 0.1 && limit <= 100.0;
}

template <class Interface>
class CLifeCycleImpl : public Interface {
public:
    CLifeCycleImpl() : m_refCount(1), m_nextDead(nullptr) {}

    uint32_t AddRef() override {
        return static_cast<uint32_t>(kvo_atomic32_add_and_fetch(&m_refCount, 1));
    }

    uint32_t Release() override {
        int32_t count = kvo_atomic32_add_and_fetch(&m_refCount, -1);
        if (count == 0) delete this;
        return static_cast<uint32_t>(count);
    }

    virtual ~CLifeCycleImpl() {}

    // For a signal handler, which must never free: drops one reference and
    // returns the new count without destroying the object at 0. Whoever sees 0
    // hands the object to a thread that may free it (see CDeadList).
    uint32_t ReleaseNoDestroy() {
        return static_cast<uint32_t>(kvo_atomic32_add_and_fetch(&m_refCount, -1));
    }

private:
    template <class>
    friend class CDeadList;

    volatile int32_t m_refCount;
    CLifeCycleImpl* m_nextDead;  // link while waiting on a CDeadList
};

// Objects whose last reference went inside a signal handler, waiting to be
// destroyed by a thread that may free. Push is lock-free and async-signal-safe;
// Drain takes the whole list at once, so pushes and drains never see ABA.
template <class Interface>
class CDeadList {
public:
    using Object = CLifeCycleImpl<Interface>;

    void Push(Object* object) {
        Object* head = __atomic_load_n(&m_head, __ATOMIC_RELAXED);
        do {
            object->m_nextDead = head;
        } while (!__atomic_compare_exchange_n(&m_head, &head, object, true, __ATOMIC_RELEASE,
                                              __ATOMIC_RELAXED));
    }

    // Destroys every object pushed so far. Not for signal handlers.
    void Drain() {
        Object* object = __atomic_exchange_n(&m_head, nullptr, __ATOMIC_ACQUIRE);
        while (object != nullptr) {
            Object* next = object->m_nextDead;
            delete object;
            object = next;
        }
    }

    bool Empty() const { return __atomic_load_n(&m_head, __ATOMIC_ACQUIRE) == nullptr; }

private:
    Object* m_head = nullptr;
};
