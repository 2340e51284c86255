// Production SchedEnv: the only scheduler code that makes system calls.
#include "scheduler/schedenv.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/kvo_base.h"
#include "platform/kvo_static.h"

namespace {

class SystemSchedEnv final : public SchedEnv {
public:
    bool ReadFile(const char* path, char* buf, unsigned int maxBytes, unsigned int* got) override {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        ssize_t n = read(fd, buf, maxBytes);
        close(fd);
        if (n < 0) return false;
        *got = static_cast<unsigned int>(n);
        return true;
    }

    int SignalThread(uint32_t tid, int sig) override {
        // By kernel id within our own process: an ended thread reads as ESRCH,
        // never as a reclaimed pthread_t.
        long rc = syscall(SYS_tgkill, static_cast<long>(getpid()), static_cast<long>(tid), sig);
        return rc == 0 ? 0 : errno;
    }

    uint32_t CurrentTid() override { return kvo_gettid(); }
    uint32_t ProcessId() override { return static_cast<uint32_t>(getpid()); }
    unsigned int CpuCount() override { return kvo_cpu_count(); }

    void SleepMs(int64_t ms) override {
        if (ms <= 0) return;
        timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }

    bool InstallSigusr1(void (*handler)(int)) override {
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;  // as glibc's signal(): stays installed, calls resume
        return sigaction(SIGUSR1, &action, nullptr) == 0;
    }

    void IgnoreSigusr1() override {
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, nullptr);
    }

    void HoldSleep(sigset_t* previous) override { kvo_thread_block_sigusr1(previous); }
    void ResumeSleep(const sigset_t* previous) override { kvo_thread_restore_mask(previous); }
};

}  // namespace

SchedEnv* SchedEnv::Default() {
    // Never destroyed: it outlives every static user of the scheduler.
    return NeverDestroyed<SystemSchedEnv>();
}
