// The scheduler's window on the operating system: /proc reads, thread signals,
// sleeping and the SIGUSR1 disposition. Tests hand the scheduler a fake.
#pragma once

#include <signal.h>
#include <stdint.h>

class SchedEnv {
public:
    virtual ~SchedEnv() = default;

    // One open() and one read() of at most maxBytes into buf; *got receives the
    // count. False when the open or the read fails.
    virtual bool ReadFile(const char* path, char* buf, unsigned int maxBytes,
                          unsigned int* got) = 0;
    // Sends sig to thread tid of this process (tgkill). 0, or the errno value.
    // Async-signal-safe.
    virtual int SignalThread(uint32_t tid, int sig) = 0;
    // Kernel thread id of the caller. Async-signal-safe.
    virtual uint32_t CurrentTid() = 0;
    virtual uint32_t ProcessId() = 0;
    virtual unsigned int CpuCount() = 0;
    // Sleeps ms milliseconds, resuming after interruptions. Async-signal-safe.
    virtual void SleepMs(int64_t ms) = 0;
    // The monotonic clock in nanoseconds. Async-signal-safe.
    virtual int64_t MonotonicNs() = 0;
    // CPU time thread tid of this process has used, in nanoseconds; false when
    // it cannot be read (the thread has ended or is not ours).
    virtual bool ThreadCpuNs(uint32_t tid, int64_t* ns) = 0;

    // Installs handler for SIGUSR1, kept for every delivery, with interrupted
    // system calls restarted; remembers the disposition it replaces unless that
    // was handler itself. False with errno set on failure.
    virtual bool InstallSigusr1(void (*handler)(int)) = 0;
    // The handler's code is about to go away: while handler is still installed,
    // gives SIGUSR1 back the disposition remembered by InstallSigusr1; a
    // disposition someone installed since is left alone.
    virtual void RestoreSigusr1(void (*handler)(int)) = 0;
    // Blocks SIGUSR1 in the calling thread; *previous receives the old mask.
    virtual void BlockSigusr1(sigset_t* previous) = 0;
    virtual void RestoreSignalMask(const sigset_t* previous) = 0;

    // The real one; never destroyed.
    static SchedEnv* Default();
};

// Keeps SIGUSR1 blocked in the calling thread for one scope.
class Sigusr1BlockScope {
public:
    explicit Sigusr1BlockScope(SchedEnv* env) : m_env(env) { m_env->BlockSigusr1(&m_previous); }
    ~Sigusr1BlockScope() { m_env->RestoreSignalMask(&m_previous); }
    Sigusr1BlockScope(const Sigusr1BlockScope&) = delete;
    Sigusr1BlockScope& operator=(const Sigusr1BlockScope&) = delete;

private:
    SchedEnv* m_env;
    sigset_t m_previous;
};
