// Production side of the quota's seam: forwards to the scheduler's exported
// interface functions and the base runtime.
#include "quota/cpuctrl.h"

#include <pthread.h>

#include "kvo_vurizeda.h"
#include "platform/kvo_base.h"
#include "platform/kvo_static.h"

namespace {

class SchedulerCpuCtrl final : public ICpuCtrl {
public:
    int Register() override { return RegisterCpuCtrl(); }
    void Unregister() override { UnRegisterCpuCtrl(); }
    int Add(unsigned int tid, float percent) override { return AddCpuCtrlObject(tid, percent); }
    void Del(unsigned int tid) override { DelCpuCtrlObject(tid); }
    unsigned int ProcessorCount() override { return kvo_cpu_count(); }
    void HoldSleep(sigset_t* previous) override { kvo_thread_block_sigusr1(previous); }
    void ResumeSleep(const sigset_t* previous) override { kvo_thread_restore_mask(previous); }
};

}  // namespace

ICpuCtrl* ICpuCtrl::Default() {
    // Never destroyed: the controller singleton is destroyed at exit in an order
    // we do not control and still unregisters through this object.
    return NeverDestroyed<SchedulerCpuCtrl>();
}
