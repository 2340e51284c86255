// The production seam reaches the real scheduler: registration and per-thread
// control objects made through CAutoCpu with no seam given.
#include "quota/cpuctrl.h"

#include <gtest/gtest.h>

#include "quota/autocpu.h"
#include "scheduler/cpuschedule.h"

namespace {

bool SchedulerHolds(unsigned int tid) {
    ICtrlObject* object =
        CpuSchedule::GetInstance()->AcquireObject(CpuSchedule::CTRL_OBJECT_THREAD, tid);
    if (object != nullptr) object->Release();
    return object != nullptr;
}

TEST(CpuCtrlProduction, DefaultSeamDrivesTheRealScheduler) {
    CpuSchedule* schedule = CpuSchedule::GetInstance();
    const int registrations = schedule->InitCount();
    const unsigned int self = kvo_gettid();
    {
        CAutoCpu quota;  // the production scheduler
        EXPECT_EQ(schedule->InitCount(), registrations + 1);
        quota.AddMonitorThread(self);
        EXPECT_TRUE(SchedulerHolds(self));
        quota.DelMonitorThread(self);
        EXPECT_FALSE(SchedulerHolds(self));
    }
    EXPECT_EQ(schedule->InitCount(), registrations);
    EXPECT_EQ(ICpuCtrl::Default()->ProcessorCount(), kvo_cpu_count());
}

}  // namespace
