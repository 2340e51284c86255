// Production SchedEnv: the only scheduler code that makes system calls.
#include "scheduler/schedenv.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/kvo_base.h"
#include "platform/kvo_static.h"

namespace {

// Low bits of a thread CPU clock id: per-thread (4) and the scheduler's exact
// runtime (2).
constexpr uint32_t kThreadCpuClockBits = 6;

// A non-zero KVO_SIGNAL_TAG (a decimal number) asks that the limiting signal be
// queued with that value, so that a dispatcher in front of the process's own
// SIGUSR1 disposition can tell ours from anyone else's. Unset: plain tgkill.
uint32_t SignalTagFromEnvironment() {
    const char* text = getenv("KVO_SIGNAL_TAG");
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const unsigned long value = strtoul(text, &end, 10);
    return *end == '\0' ? static_cast<uint32_t>(value) : 0;
}

class SystemSchedEnv final : public SchedEnv {
public:
    SystemSchedEnv() : m_signalTag(SignalTagFromEnvironment()) {}

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
        long rc;
        if (m_signalTag != 0 && sig == SIGUSR1) {
            siginfo_t info;
            memset(&info, 0, sizeof(info));
            info.si_signo = sig;
            info.si_code = SI_QUEUE;
            info.si_pid = getpid();
            info.si_uid = getuid();
            info.si_value.sival_int = static_cast<int>(m_signalTag);
            rc = syscall(SYS_rt_tgsigqueueinfo, static_cast<long>(getpid()), static_cast<long>(tid),
                         sig, &info);
        } else {
            rc = syscall(SYS_tgkill, static_cast<long>(getpid()), static_cast<long>(tid), sig);
        }
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

    int64_t MonotonicNs() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    }

    bool ThreadCpuNs(uint32_t tid, int64_t* ns) override {
        // The kernel's per-thread CPU clock of any thread of our process, named
        // by kernel id as pthread_getcpuclockid names it: nanoseconds, up to date
        // even while the thread runs, and refused once the thread has ended.
        const clockid_t clock = static_cast<clockid_t>((~tid << 3) | kThreadCpuClockBits);
        timespec used{};
        if (clock_gettime(clock, &used) != 0) return false;
        *ns = static_cast<int64_t>(used.tv_sec) * 1000000000 + used.tv_nsec;
        return true;
    }

    bool InstallSigusr1(void (*handler)(int)) override {
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;  // as glibc's signal(): stays installed, calls resume
        struct sigaction before;
        pthread_mutex_lock(&m_lock);
        const bool ok = sigaction(SIGUSR1, &action, &before) == 0;
        if (ok && !IsHandler(before, handler)) m_before = before;  // a restart keeps the host's
        pthread_mutex_unlock(&m_lock);
        return ok;
    }

    void RestoreSigusr1(void (*handler)(int)) override {
        pthread_mutex_lock(&m_lock);
        struct sigaction current;
        if (sigaction(SIGUSR1, nullptr, &current) == 0 && IsHandler(current, handler)) {
            // Ignoring first discards a signal of ours still pending in a thread
            // that blocks it, so none reaches the restored disposition (the
            // default ends the process).
            struct sigaction ignore;
            memset(&ignore, 0, sizeof(ignore));
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            sigaction(SIGUSR1, &ignore, nullptr);
            sigaction(SIGUSR1, &m_before, nullptr);
        }
        pthread_mutex_unlock(&m_lock);
    }
    void HoldSleep(sigset_t* previous) override { kvo_thread_block_sigusr1(previous); }
    void ResumeSleep(const sigset_t* previous) override { kvo_thread_restore_mask(previous); }

private:
    static bool IsHandler(const struct sigaction& action, void (*handler)(int)) {
        return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == handler;
    }

    const uint32_t m_signalTag;  // 0: plain tgkill, as every host gets
    // The disposition is process-wide; so is this record of it. Constant-
    // initialised, not a heap lock: this object is never destroyed, and a heap
    // lock would be left behind at every unload.
    pthread_mutex_t m_lock = PTHREAD_MUTEX_INITIALIZER;
    struct sigaction m_before = DefaultAction();  // under m_lock

    static struct sigaction DefaultAction() {
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        return action;
    }
};

}  // namespace

SchedEnv* SchedEnv::Default() {
    // Never destroyed: it outlives every static user of the scheduler.
    return NeverDestroyed<SystemSchedEnv>();
}
