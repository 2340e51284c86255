// The five exported interface functions of the scheduler, over its singleton.
#include "kvo_vurizeda.h"
#include "scheduler/cpuschedule.h"

extern "C" {

KVO_API int RegisterCpuCtrl(void) { return CpuSchedule::GetInstance()->Initialize() ? 1 : 0; }

KVO_API void UnRegisterCpuCtrl(void) { CpuSchedule::GetInstance()->UnInitialize(); }

KVO_API int AddCpuCtrlObject(unsigned int tid, float percent) {
    return CpuSchedule::GetInstance()->RegisterObject(CpuSchedule::CTRL_OBJECT_THREAD, tid, percent)
               ? 1
               : 0;
}

KVO_API void DelCpuCtrlObject(unsigned int tid) {
    CpuSchedule::GetInstance()->UnRegisterObject(CpuSchedule::CTRL_OBJECT_THREAD, tid);
}

KVO_API void ResumeUpdateThread(unsigned int tid) { (void)tid; }

}  // extern "C"
