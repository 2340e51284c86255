// The stress exercise with the library linked in, where the registry can be
// seen: afterwards nothing is registered and only the schedule thread remains.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "kvo_vurizeda.h"
#include "platform/kvo_base.h"
#include "scheduler/cpuschedule.h"
#include "stress_engine.h"
#include "support/log_capture.h"

namespace {

KvoApi LinkedApi() {
    return KvoApi{
        &RegisterCpuCtrl,         &UnRegisterCpuCtrl,          &kvo_perfctrl_init,
        &kvo_perfctrl_uninit,     &kvo_enable_vurizeda,        &kvo_add_cpu_vurizeda,
        &kvo_del_cpu_vurizeda,    &kvo_set_cpu_vurizeda_upper, &kvo_set_cpu_vurizeda_lower,
        &kvo_add_cpu_group,       &kvo_del_cpu_group,          &kvo_add_thread_cpu_limit,
        &kvo_del_thread_cpu_limit};
}

TEST(StressInProcess, AfterTheRunNothingIsRegisteredAndOnlyTheScheduleThreadRemains) {
    TempDir dir;
    StressOptions options;
    options.threads = 16;
    options.seconds = 4;
    options.watchdogSeconds = 60;
    options.configPath = dir.Write("kvo_vurizeda.ini", StressConfigText());
    ScopedEnv sampler("KVO_COMM_SAMPLER", "0");
    LogCapture log(KVO_LOG_WARN);  // the refused limits' lines stay out of the output

    std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
    const size_t threadsBefore = ProcessThreadIds().size();
    StressReport report;
    if (!RunStress(LinkedApi(), options, &report)) {
        fprintf(stderr, "threads hung:\n%s", report.stuck.c_str());
        abort();  // they still run on the library: no clean way on from here
    }
    for (const std::string& failure : report.failures) ADD_FAILURE() << failure;
    EXPECT_GT(report.ops[kOpInit].calls, 0u);
    EXPECT_GT(report.ops[kOpFixedAdd].calls, 0u);

    CpuSchedule* schedule = CpuSchedule::GetInstance();
    EXPECT_EQ(schedule->ObjectCount(), 0u);
    // The controller, constructed by the run, keeps its own registration.
    EXPECT_EQ(schedule->InitCount(), 1);
    size_t threadsAfter = 0;
    for (int i = 0; i < 40 && (threadsAfter = ProcessThreadIds().size()) != threadsBefore + 1;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(threadsAfter, threadsBefore + 1);
}

}  // namespace
