// Automatic CPU quota: turns system and process CPU samples into one process
// limit under a system ceiling, spreads it over the monitored threads, and keeps
// the named CPU groups whose limits follow the user's activity.
#pragma once

#include <stdint.h>

#include <atomic>
#include <list>
#include <map>
#include <set>
#include <string>

#include "config/autoconf.h"
#include "platform/kvo_base.h"
#include "platform/mutexlock.h"
#include "quota/cpuctrl.h"

// One CPU sample, percent of the whole machine.
struct _CpuFactor {
    float sys_cpu;
    float proc_cpu;
};

// A named group: its limit (percent of one processor in total) is shared evenly by
// its threads and switches between the using and not-using value.
struct _CpuGroup {
    float using_limit;
    float not_using_limit;
    float cur_limit;
    std::set<unsigned int> threads;
    // One entry per member, made with the membership: true once the member's own
    // AddGroupThread has created its control object. Flipped under the shared lock.
    std::map<unsigned int, std::atomic<bool>> joined;
};

class CAutoCpu {
public:
    // ctrl: the scheduler seam, not owned; null means the production scheduler.
    explicit CAutoCpu(ICpuCtrl* ctrl = nullptr);
    virtual ~CAutoCpu();

    CAutoCpu(const CAutoCpu&) = delete;
    CAutoCpu& operator=(const CAutoCpu&) = delete;

    // Quota: fed by the collector's delivery thread only (the window has no lock).
    void AdjustCpu(_CpuFactor* sample);
    float CalcCpuBySub(_CpuFactor* sample);
    float CalcCpuQuota(_CpuFactor* sample);
    float CalcCpuEqual(_CpuFactor* sample);

    void SetCurrentCpuLimit(float limit);
    float GetCurrentCpuLimit();
    void SetCurrentAutoSysMaxCpu(float ceiling);

    // Monitored threads share the process limit.
    void AddMonitorThread(unsigned int tid);
    void DelMonitorThread(unsigned int tid);
    void ClearMonitorThread();

    // CPU groups: 0, or KVO_E_NO_GROUP for a name no group has.
    uint32_t AddGroupThread(const char* name, unsigned int tid);
    uint32_t DelGroupThread(const char* name, unsigned int tid);
    void SetGroupCpuLimit(const char* name);
    // Holds m_groupLock exclusive while it switches and pushes, so no host push of
    // the old limit interleaves with it.
    void SetCurGroupCpuLimit(int notUsing);

    // Binds conf by address (it must outlive this object) and (re)creates the groups.
    // Until then the record's defaults stand in for proc_min and adjust_cycle, and
    // the ceiling stays at its starting 50.
    void SetCpuLimitConfig(_CpuConf* conf, std::list<_CpuGroupConf>& groups);

protected:
    // Around a fork: both locks are held, so the child never inherits one held by a
    // thread it does not have. Taken monitor lock first; nothing else ever holds
    // both, so no thread can wait on one while holding the other.
    void LockForFork() ACQUIRE(m_monitorLock, m_groupLock);
    void UnlockAfterFork() RELEASE(m_monitorLock, m_groupLock);
    // In the child: a write-held rwlock cannot be released by another thread id,
    // so the child takes fresh locks and leaves the parent's copies alone.
    void RenewLocksInChild();

private:
    enum class Rule { kSub, kQuota, kEqual };

    float CalcCpu(_CpuFactor* sample, Rule rule);
    float RuleBySub(float avgSys, float avgProc);
    float RuleQuota(float avgSys);
    float RuleEqual(float avgSys);
    // Bounds and records the process limit and pushes the share to the monitored
    // threads that have joined; joining: the id whose own AddMonitorThread pushes
    // now (always pushed, and marked joined when its object exists), or null.
    void PushCurrentLimit(float limit, const unsigned int* joining);
    // The same for a group's members.
    void PushGroup(const char* name, const unsigned int* joining);
    // Pushes the group's share to its threads; the caller holds m_groupLock.
    void PushGroupLocked(_CpuGroup& group, const unsigned int* joining)
        REQUIRES_SHARED(m_groupLock);
    // Runs change(group) under m_groupLock exclusive, then pushes the group's limit
    // (joining: as for PushGroup); KVO_E_NO_GROUP (and no change) for a name no
    // group has.
    template <class Change>
    uint32_t ChangeGroup(const char* name, const unsigned int* joining, Change change);
    float ProcMin() const;
    uint32_t AdjustCycle() const;

    float m_autoSysMaxCpu;  // shared: WordLoad/WordStore
    float m_curCpuLimit;    // shared: WordLoad/WordStore
    float m_lastSysAvgCpu;
    float m_lastProcAvgCpu;
    std::list<_CpuFactor> m_cpuFactors;
    KvoMutex m_monitorLock;
    std::set<unsigned int> m_monitorThreads GUARDED_BY(m_monitorLock);
    // Monitored ids whose own AddMonitorThread created their control object.
    // Only these are pushed by other callers.
    std::set<unsigned int> m_monitorJoined GUARDED_BY(m_monitorLock);
    // Bound by the init thread, read by host and delivery threads; null until bound.
    std::atomic<_CpuConf*> m_cpuConf;
    KvoRwLock m_groupLock;
    std::map<std::string, _CpuGroup> m_cpuGroups GUARDED_BY(m_groupLock);
    unsigned int m_cpuCount;
    ICpuCtrl* m_ctrl;
};
