// Shared state of the preload library that kvo-run puts into a program: its
// settings, the table of the program's threads, and the SIGUSR1 dispatcher.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

enum _RunMode { RUN_MODE_NONE, RUN_MODE_FIXED, RUN_MODE_NAMES, RUN_MODE_TOTAL, RUN_MODE_AUTO };

struct _RunSettings {
    _RunMode mode = RUN_MODE_NONE;
    float limit = 0;                                   // -l, 0 when not given
    float total = 0;                                   // -t
    std::vector<std::pair<std::string, float>> names;  // --thread
    std::string autoConfig;                            // --auto
    bool verbose = false;
};

// One thread of the program that registered itself.
struct _RunThread {
    pid_t tid;
    pthread_t handle;
    float limit;         // what the scheduler holds it to; 100 = free
    char name[16];       // last name seen
    int64_t lastCpuNs;   // its CPU clock at the last balance
    int64_t lastWallNs;  // the monotonic clock then
};

// Settings as the preload read them from the environment.
const _RunSettings& RunSettings();
// The limit a thread of this name gets under --thread (with -l as the fallback).
float LimitForName(const char* name);
// Writes one "kvo-run: ..." line to standard error when -v was given.
void RunSay(const char* format, ...) __attribute__((format(printf, 1, 2)));
// True when addr lies in one of the library's own objects (libkvo_*.so).
bool IsLibraryCode(const void* addr);

// The SIGUSR1 dispatcher: installs itself in front of the program's
// disposition; the library's queued signals (tagged with a value only this
// process knows) go to the library's handler, every other one to the program's.
void SignalsInit();

// The thread table: made once before the first thread registers.
void ThreadsInit();
// The calling thread registers itself under the settings' limit.
void RegisterSelf();

// The once-a-second balancer / name watcher for --total and --thread.
void WatcherStart();
// Applies a name change of thread handle (or of the caller, when handle is 0).
void ThreadRenamed(pthread_t handle, bool self, const char* name);

// Holds a mutex with the given signals blocked, so that no handler run on this
// thread can want the lock it already holds; the old mask returns after the unlock.
class MaskedLockScope {
public:
    MaskedLockScope(pthread_mutex_t* lock, const sigset_t& block) : m_lock(lock) {
        pthread_sigmask(SIG_BLOCK, &block, &m_previous);
        pthread_mutex_lock(m_lock);
    }
    ~MaskedLockScope() {
        pthread_mutex_unlock(m_lock);
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    MaskedLockScope(const MaskedLockScope&) = delete;
    MaskedLockScope& operator=(const MaskedLockScope&) = delete;

private:
    pthread_mutex_t* const m_lock;
    sigset_t m_previous;
};
