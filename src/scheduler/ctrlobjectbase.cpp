// The attach checks, end flag and views that every control object shares.
#include "scheduler/ctrlobjectbase.h"

#include <errno.h>

#include "platform/kvo_word.h"

CCtrlObjectBase::CCtrlObjectBase(SchedEnv* env)
    : m_env(env),
      m_thread(0),
      m_tid(0),
      m_limit(0),
      m_currentCpu(0),
      m_sleepMs(0),
      m_terminated(false) {}

CCtrlObjectBase::~CCtrlObjectBase() { Detach(); }

bool CCtrlObjectBase::AttachThreads(int tid, float limit) {
    if (tid == 0 || !LimitInRange(limit)) {
        errno = EINVAL;
        return false;
    }
    const uint32_t self = m_env->CurrentTid();
    const int probe = m_env->SignalThread(self, 0);
    if (probe == ESRCH || probe == EINVAL) {
        errno = probe;
        return false;
    }
    // Runs before the object is published: plain stores are enough.
    m_thread = self;
    m_tid = tid;
    m_limit = limit;
    m_currentCpu = limit;
    return true;
}

bool CCtrlObjectBase::StoreLimit(float limit) {
    if (!LimitInRange(limit)) {
        errno = EINVAL;
        return false;
    }
    WordStore(m_limit, limit);
    return true;
}

void CCtrlObjectBase::DetachIfGone(int signalResult) {
    if (signalResult == ESRCH || signalResult == EINVAL) Detach();
}

void CCtrlObjectBase::Detach() { __atomic_store_n(&m_terminated, true, __ATOMIC_RELAXED); }

float CCtrlObjectBase::GetCurrentCpu() { return WordLoad(m_currentCpu); }

bool CCtrlObjectBase::IsTerminated() { return __atomic_load_n(&m_terminated, __ATOMIC_RELAXED); }

void CCtrlObjectBase::ResumeIfSuspend() {}

float CCtrlObjectBase::Limit() const { return WordLoad(m_limit); }

_ThreadFigures CCtrlObjectBase::Figures() const {
    return m_counters.Figures(static_cast<uint32_t>(m_tid), m_thread, Limit(), SleepMs(),
                              __atomic_load_n(&m_terminated, __ATOMIC_RELAXED));
}
