// Helpers of the life-cycle tests (see lifecycle_util.h).
#include "lifecycle/lifecycle_util.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "kvo_vurizeda.h"

BusyThread::BusyThread(float limit)
    : m_thread([this, limit] {
          const auto self = static_cast<uint32_t>(syscall(SYS_gettid));
          const bool limited = limit > 0 && AddCpuCtrlObject(self, limit) == 1;
          tid = self;
          for (uint64_t x = self; !m_stop.load(std::memory_order_relaxed); ++loops) {
              void* scratch = malloc(64 + x % 4096);  // the handler may land in malloc
              x ^= reinterpret_cast<uintptr_t>(scratch);
              for (int i = 0; i < 2000; ++i)
                  x = x * 6364136223846793005ull + 1442695040888963407ull;
              free(scratch);
          }
          if (limited) DelCpuCtrlObject(self);
      }) {
    while (tid == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

BusyThread::~BusyThread() {
    m_stop = true;
    m_thread.join();
}

int64_t BusyThread::CpuNs() {
    clockid_t clock;
    timespec now{};
    if (pthread_getcpuclockid(m_thread.native_handle(), &clock) != 0) return 0;
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

pid_t StartSignalFlood(const uint32_t* tids, int count, int rateHz, double seconds) {
    const pid_t target = getpid();
    const pid_t child = fork();
    if (child != 0) return child;
    // The child of a threaded process: system calls only, then _exit.
    const timespec step = {0, 1000000000L / rateHz};
    for (long i = 0; i < static_cast<long>(seconds * rateHz) && getppid() == target; ++i) {
        if (i % 4 == 3)
            kill(target, SIGUSR1);  // to the process: any thread may take it
        else
            syscall(SYS_tgkill, target, tids[i % count], SIGUSR1);
        nanosleep(&step, nullptr);
    }
    _exit(0);
}
