// The automatic quota's only way out: registration with the thread CPU scheduler,
// per-thread limits pushed to it, and the processor count that sets its scale.
#pragma once

#include <signal.h>

#include "platform/sleep_hold.h"

class ICpuCtrl : public SleepHold {
public:
    virtual ~ICpuCtrl() = default;
    virtual int Register() = 0;     // RegisterCpuCtrl: 1 ok, 0 failed
    virtual void Unregister() = 0;  // UnRegisterCpuCtrl
    // AddCpuCtrlObject: percent of one processor; 1 ok, 0 refused.
    virtual int Add(unsigned int tid, float percent) = 0;
    virtual void Del(unsigned int tid) = 0;  // DelCpuCtrlObject
    // Online processors (kvo_cpu_count); 0 when unknown.
    virtual unsigned int ProcessorCount() = 0;
    // HoldSleep and ResumeSleep (SleepHold): the calling thread is about to take
    // a quota lock, so the scheduler's sleep signal waits until it is done.

    // The production object: the scheduler's exported functions. Never destroyed,
    // so a singleton torn down at exit may still reach it.
    static ICpuCtrl* Default();
};
