// The program's threads under kvo-run: each registers itself at its start
// (pthread_create is wrapped) and is removed at its end (a key destructor);
// names set later are followed, and under --total a balancer moves the limits.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "kvo_vurizeda.h"
#include "preload.h"
#include "waterfill.h"

namespace {

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
using SetNameFn = int (*)(pthread_t, const char*);
using PrctlFn = int (*)(int, unsigned long, unsigned long, unsigned long, unsigned long);

CreateFn g_realCreate = nullptr;
pthread_key_t g_exitKey;
bool g_ready = false;  // set once before any program thread is wrapped

// The registered threads. Lock order: g_tableLock, then the library's locks
// (every scheduler call on behalf of a thread is made under it, so a thread in
// the table is alive and has its control object: a call for it can only change
// its limit, never make a new object bound to the caller).
pthread_mutex_t g_tableLock = PTHREAD_MUTEX_INITIALIZER;
std::vector<_RunThread>* g_table = nullptr;

pid_t OwnTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

int64_t ClockNs(clockid_t clock) {
    timespec ts;
    if (clock_gettime(clock, &ts) != 0) return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The CPU clock of one thread of this process, by kernel id (as glibc's
// pthread_getcpuclockid makes it), so an ended thread reads as an error.
clockid_t ThreadClock(pid_t tid) {
    return static_cast<clockid_t>((~static_cast<unsigned int>(tid) << 3) | 6);
}

sigset_t Usr1Only() {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    return usr1;
}

// Holds the table with SIGUSR1 blocked: the thread must not sleep its share of
// a tick while others wait for the table.
class TableScope : public MaskedLockScope {
public:
    TableScope() : MaskedLockScope(&g_tableLock, Usr1Only()) {}
};

_RunThread* FindLocked(pid_t tid, pthread_t handle, bool byTid) {
    for (auto& t : *g_table) {
        if (byTid ? t.tid == tid : pthread_equal(t.handle, handle)) return &t;
    }
    return nullptr;
}

void SetLimitLocked(_RunThread* t, float limit, const char* why) {
    if (limit == t->limit) return;
    if (AddCpuCtrlObject(static_cast<unsigned int>(t->tid), limit) == 1) {
        RunSay("thread %d (%s) %s: %.1f %% of one processor", static_cast<int>(t->tid), t->name,
               why, static_cast<double>(limit));
        t->limit = limit;
    }
}

void ReadOwnName(char* name) {
    name[0] = '\0';
    prctl(PR_GET_NAME, name, 0, 0, 0);
    name[15] = '\0';
}

void UnregisterSelf(void*) {
    const pid_t tid = OwnTid();
    TableScope hold;
    auto it = std::find_if(g_table->begin(), g_table->end(),
                           [tid](const _RunThread& t) { return t.tid == tid; });
    if (it == g_table->end()) return;
    g_table->erase(it);
    if (RunSettings().mode == RUN_MODE_AUTO) {
        kvo_del_cpu_vurizeda(static_cast<unsigned int>(tid));
    } else {
        DelCpuCtrlObject(static_cast<unsigned int>(tid));
    }
}

struct StartArgs {
    void* (*routine)(void*);
    void* arg;
};

void* StartWrapper(void* raw) {
    StartArgs args = *static_cast<StartArgs*>(raw);
    free(raw);
    RegisterSelf();
    return args.routine(args.arg);
}

CreateFn RealCreate() {
    if (g_realCreate == nullptr) {
        g_realCreate = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
    }
    return g_realCreate;
}

int CreateInternal(pthread_t* thread, const pthread_attr_t* attr, void* (*routine)(void*),
                   void* arg) {
    // The library's threads take none of the program's signals.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int rc = RealCreate()(thread, attr, routine, arg);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return rc;
}

// ---- Balancer and name watcher -------------------------------------------------

void FollowNamesLocked() {
    char path[64];
    for (auto& t : *g_table) {
        snprintf(path, sizeof(path), "/proc/self/task/%d/comm", static_cast<int>(t.tid));
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char name[17] = {0};
        ssize_t n = read(fd, name, 16);
        close(fd);
        if (n <= 0) continue;
        name[n] = '\0';
        if (char* nl = strchr(name, '\n')) *nl = '\0';
        name[15] = '\0';
        if (strcmp(name, t.name) == 0) continue;
        memcpy(t.name, name, sizeof(t.name));
        SetLimitLocked(&t, LimitForName(t.name), "renamed");
    }
}

void BalanceLocked() {
    const _RunSettings& s = RunSettings();
    const float cap = s.limit > 0 ? s.limit : 100.0f;
    std::vector<_ThreadShare> shares;
    shares.reserve(g_table->size());
    const int64_t now = ClockNs(CLOCK_MONOTONIC);
    for (auto& t : *g_table) {
        const int64_t cpu = ClockNs(ThreadClock(t.tid));
        const int64_t wall = now - t.lastWallNs;
        float used = t.limit;  // unreadable: as if it ran at its limit
        if (cpu >= 0 && wall > 0) used = 100.0f * static_cast<float>(cpu - t.lastCpuNs) / wall;
        if (cpu >= 0) t.lastCpuNs = cpu;
        t.lastWallNs = now;
        shares.push_back({used, t.limit});
    }
    const std::vector<float> limits = WaterFill(shares, s.total, cap);
    for (size_t i = 0; i < limits.size(); ++i) {
        _RunThread& t = (*g_table)[i];
        // Small moves are left alone: each change restarts the thread's own
        // estimate of its use in the scheduler.
        const float moved = limits[i] > t.limit ? limits[i] - t.limit : t.limit - limits[i];
        if (moved >= std::max(1.0f, 0.05f * t.limit)) SetLimitLocked(&t, limits[i], "balanced");
    }
}

void* WatcherLoop(void*) {
    const _RunSettings& s = RunSettings();
    for (;;) {
        timespec second{1, 0};
        while (nanosleep(&second, &second) != 0 && errno == EINTR) {
        }
        TableScope hold;
        if (s.mode == RUN_MODE_NAMES) FollowNamesLocked();
        if (s.mode == RUN_MODE_TOTAL) BalanceLocked();
    }
    return nullptr;
}

// ---- Fork -------------------------------------------------------------------------
//
// A forked child has one thread and, from the library's own fork handling, a
// stopped scheduler. Unless it is under --auto (whose controller the child
// would have to start from scratch), the child starts the scheduler again and
// registers its one thread, so a worker process forked without exec stays
// limited. The table is held across the fork so the child never copies it
// half changed.

sigset_t g_maskBeforeFork;

void PrepareFork() {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &g_maskBeforeFork);
    pthread_mutex_lock(&g_tableLock);
}

void ParentAfterFork() {
    pthread_mutex_unlock(&g_tableLock);
    pthread_sigmask(SIG_SETMASK, &g_maskBeforeFork, nullptr);
}

void ChildAfterFork() {
    pthread_mutex_unlock(&g_tableLock);
    g_table->clear();  // the other threads are the parent's
    const _RunSettings& s = RunSettings();
    if (s.mode != RUN_MODE_AUTO) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, nullptr);
        const bool started = RegisterCpuCtrl() == 1;
        pthread_sigmask(SIG_SETMASK, &g_maskBeforeFork, nullptr);
        if (started) {
            if (s.mode == RUN_MODE_TOTAL || s.mode == RUN_MODE_NAMES) WatcherStart();
            RegisterSelf();
        }
        return;
    }
    pthread_sigmask(SIG_SETMASK, &g_maskBeforeFork, nullptr);
}

}  // namespace

void ThreadsInit() {
    g_table = new std::vector<_RunThread>();  // lives as long as the process
    pthread_key_create(&g_exitKey, UnregisterSelf);
    RealCreate();
    // After the library's own handlers: its child handler stops the scheduler first.
    pthread_atfork(PrepareFork, ParentAfterFork, ChildAfterFork);
    __atomic_store_n(&g_ready, true, __ATOMIC_RELEASE);
}

void RegisterSelf() {
    if (!__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE)) return;
    const _RunSettings& s = RunSettings();
    _RunThread t{};
    t.tid = OwnTid();
    t.handle = pthread_self();
    ReadOwnName(t.name);
    t.lastCpuNs = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    t.lastWallNs = ClockNs(CLOCK_MONOTONIC);
    const unsigned int tid = static_cast<unsigned int>(t.tid);
    TableScope hold;
    bool ok;
    switch (s.mode) {
        case RUN_MODE_AUTO:
            ok = kvo_add_cpu_vurizeda(tid) == 0;
            t.limit = 0;
            break;
        case RUN_MODE_TOTAL: {
            // Its even share until the next balance moves it.
            const float cap = s.limit > 0 ? s.limit : 100.0f;
            t.limit = std::max(kFloor, std::min(cap, s.total / (g_table->size() + 1)));
            ok = AddCpuCtrlObject(tid, t.limit) == 1;
            break;
        }
        case RUN_MODE_NAMES:
            // Every thread is registered, free ones at 100, so that a name set
            // later by any thread can change its limit.
            t.limit = LimitForName(t.name);
            ok = AddCpuCtrlObject(tid, t.limit) == 1;
            break;
        default:
            t.limit = s.limit;
            ok = AddCpuCtrlObject(tid, t.limit) == 1;
            break;
    }
    if (!ok) {
        RunSay("thread %u (%s) could not be limited: %s", tid, t.name, strerror(errno));
        return;
    }
    g_table->push_back(t);
    pthread_setspecific(g_exitKey, reinterpret_cast<void*>(1));
    if (s.mode == RUN_MODE_AUTO) {
        RunSay("thread %u (%s) joins the automatic limit", tid, t.name);
    } else {
        RunSay("thread %u (%s): %.1f %% of one processor", tid, t.name,
               static_cast<double>(t.limit));
    }
}

void WatcherStart() {
    pthread_t watcher;
    if (CreateInternal(&watcher, nullptr, WatcherLoop, nullptr) == 0) pthread_detach(watcher);
}

void ThreadRenamed(pthread_t handle, bool self, const char* name) {
    if (!__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE) || RunSettings().mode != RUN_MODE_NAMES) {
        return;
    }
    TableScope hold;
    _RunThread* t = self ? FindLocked(OwnTid(), handle, true) : FindLocked(0, handle, false);
    if (t == nullptr) return;  // not started yet: it reads its own name when it does
    strncpy(t->name, name, 15);
    t->name[15] = '\0';
    SetLimitLocked(t, LimitForName(t->name), "renamed");
}

// ---- Interposed entry points ----------------------------------------------------

extern "C" {

__attribute__((visibility("default"))) int pthread_create(pthread_t* thread,
                                                          const pthread_attr_t* attr,
                                                          void* (*routine)(void*), void* arg) {
    if (!__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE) ||
        IsLibraryCode(__builtin_return_address(0))) {
        if (g_ready) return CreateInternal(thread, attr, routine, arg);
        return RealCreate()(thread, attr, routine, arg);
    }
    auto* args = static_cast<StartArgs*>(malloc(sizeof(StartArgs)));
    if (args == nullptr) return EAGAIN;
    args->routine = routine;
    args->arg = arg;
    const int rc = RealCreate()(thread, attr, StartWrapper, args);
    if (rc != 0) free(args);
    return rc;
}

__attribute__((visibility("default"))) int pthread_setname_np(pthread_t thread, const char* name) {
    static SetNameFn real = reinterpret_cast<SetNameFn>(dlsym(RTLD_NEXT, "pthread_setname_np"));
    const int rc = real(thread, name);
    if (rc == 0) ThreadRenamed(thread, pthread_equal(thread, pthread_self()), name);
    return rc;
}

__attribute__((visibility("default"))) int prctl(int option, ...) {
    static PrctlFn real = reinterpret_cast<PrctlFn>(dlsym(RTLD_NEXT, "prctl"));
    va_list ap;
    va_start(ap, option);
    const unsigned long a2 = va_arg(ap, unsigned long);
    const unsigned long a3 = va_arg(ap, unsigned long);
    const unsigned long a4 = va_arg(ap, unsigned long);
    const unsigned long a5 = va_arg(ap, unsigned long);
    va_end(ap);
    const int rc = real(option, a2, a3, a4, a5);
    if (rc == 0 && option == PR_SET_NAME) {
        char name[16];
        prctl(PR_GET_NAME, name, 0, 0, 0);
        name[15] = '\0';
        ThreadRenamed(pthread_self(), true, name);
    }
    return rc;
}

}  // extern "C"
