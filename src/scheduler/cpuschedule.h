// Process-wide scheduler of per-thread CPU limits: a registry of control
// objects, a schedule thread that steps each of them every 250 ms, and the
// SIGUSR1 handler in which a limited thread sleeps.
#pragma once

#include <stdint.h>

#include <map>
#include <vector>

#include "platform/kvo_base.h"
#include "platform/mutexlock.h"
#include "scheduler/ctrlobject.h"
#include "scheduler/schedenv.h"
#include "scheduler/schedmode.h"

class CpuSchedule {
public:
    enum CtrlObjectType { CTRL_OBJECT_THREAD = 2 };

    static constexpr int64_t kTickMs = 250;
    static constexpr int64_t kIdleTickMs = 2500;

    // The singleton: the real environment, the real tick and this process's mode.
    static CpuSchedule* GetInstance();

    // For tests and tools: another environment, the pace of the schedule
    // thread's waits (a long pace lets a test drive SchedulePass by hand) and
    // the mode of the control objects it makes. The step handed to each object
    // is kTickMs whatever the pace.
    explicit CpuSchedule(SchedEnv* env, int64_t tickMs = kTickMs, int64_t idleTickMs = kIdleTickMs,
                         SchedMode mode = SCHED_MODE_DEFAULT);
    virtual ~CpuSchedule();
    CpuSchedule(const CpuSchedule&) = delete;
    CpuSchedule& operator=(const CpuSchedule&) = delete;

    bool Initialize();
    void UnInitialize();
    bool RegisterObject(CtrlObjectType type, unsigned int id, float percent);
    void UnRegisterObject(CtrlObjectType type, unsigned int id);
    void ProcessObject(CtrlObjectType type, unsigned int id);

    // Fork handlers of the singleton: the child starts with the scheduler stopped.
    static void PrepareForkCb();
    static void ParentForkCb();
    static void ChildForkCb();

    static uint32_t OnSchedule(void* arg);
    void OnScheduleImpl();
    // Runs in the limited thread: waits for no lock, allocates and frees nothing,
    // keeps errno; it try-acquires the registry lock and sleeps in the object.
    static void SignalHandler(int sig);

    // One tick of the schedule thread: steps every entry, then removes the
    // entries that were already terminated when visited. False when empty.
    bool SchedulePass();

    // The entry of id with one reference added for the caller, or null.
    ICtrlObject* AcquireObject(CtrlObjectType type, unsigned int id);
    size_t ObjectCount();
    int InitCount();
    // The registry lock itself, so a test can hold it while a signal arrives.
    kvo_rwlock_t RegistryLockForTest() { return m_rwlock.Handle(); }

private:
    using Registry = std::map<uint64_t, ICtrlObject*>;

    static uint64_t MakeKey(unsigned int type, unsigned int id);
    bool StartLocked() REQUIRES(m_mutex);
    bool StartSteps(int* err) REQUIRES(m_mutex);
    bool RegisterLocked(CtrlObjectType type, unsigned int id, float percent) REQUIRES(m_mutex);
    ICtrlObject* AcquireLocked(uint64_t key) REQUIRES(m_mutex);
    void TearDownLocked() REQUIRES(m_mutex);
    bool InsertObject(uint64_t key, ICtrlObject* object) REQUIRES(m_mutex);
    bool RemoveIfMapped(uint64_t key, ICtrlObject* object) REQUIRES(m_mutex);
    void RemoveNoted();
    ICtrlObject* LookupFromSignal(uint64_t key);
    void ReleaseFromSignal(ICtrlObject* object);
    void StartOverInChild() REQUIRES(m_mutex, m_rwlock);  // both held since PrepareForkCb

    SchedEnv* const m_env;
    const int64_t m_tickMs;
    const int64_t m_idleTickMs;
    const SchedMode m_mode;

    // Lock order: m_mutex, then m_rwlock. Callers' own locks come before both.
    KvoMutex m_mutex;  // Initialize/UnInitialize, and the lifetime of m_rwlock
    int m_initCount GUARDED_BY(m_mutex);
    // Made before the schedule thread starts and destroyed after it is joined,
    // both under m_mutex; the schedule thread reads them in between.
    kvo_semaphore_t m_semaphore;
    kvo_event_t m_event;
    kvo_thread_t m_scheduleThread GUARDED_BY(m_mutex);
    bool m_threadStarted GUARDED_BY(m_mutex);
    KvoRwLock m_rwlock ACQUIRED_AFTER(m_mutex);  // absent while stopped
    Registry m_objects GUARDED_BY(m_rwlock);

    std::vector<uint64_t> m_noted;  // keys seen terminated in a pass; schedule thread only
    CDeadList<ICtrlObject> m_dead;  // last references dropped in the handler
    bool m_handlerInstalled GUARDED_BY(m_mutex);
};
