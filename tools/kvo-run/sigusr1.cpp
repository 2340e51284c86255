// SIGUSR1 under kvo-run: the library sleeps a thread with SIGUSR1, and the
// program may use SIGUSR1 for its own ends. One dispatcher owns the real
// disposition; the program's sigaction/signal calls only change a copy kept
// here. Signals the library's scheduler queued with this process's tag go to
// the library's handler; every other SIGUSR1 gets the program's disposition,
// its default (terminate) emulated by resetting and raising again.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "preload.h"
#include "run_env.h"

namespace {

using SigactionFn = int (*)(int, const struct sigaction*, struct sigaction*);
using SigwaitinfoFn = int (*)(const sigset_t*, siginfo_t*);
using SigtimedwaitFn = int (*)(const sigset_t*, siginfo_t*, const struct timespec*);

SigactionFn g_realSigaction = nullptr;
bool g_active = false;
int g_tag = 0;
void (*g_libraryHandler)(int) = nullptr;  // atomic: read in the dispatcher

// The program's disposition, read by the dispatcher in any thread: a sequence
// lock whose writers block every signal, so a reader never spins on a write
// its own thread was interrupted in.
// Kept as words, each read and written atomically, so that no read is torn
// and the sequence check after them cannot move ahead of them.
constexpr size_t kProgramWords = sizeof(struct sigaction) / sizeof(unsigned long);
static_assert(sizeof(struct sigaction) % sizeof(unsigned long) == 0, "whole words");
unsigned long g_program[kProgramWords];
unsigned int g_programSeq = 0;
pthread_mutex_t g_programLock = PTHREAD_MUTEX_INITIALIZER;  // program-side writers only

// Where the library's code lies, found once before the dispatcher goes in, so
// that telling its sigaction calls from the program's needs no loader lock
// (a program may call sigaction from a signal handler).
uintptr_t g_libraryStart = 0;
uintptr_t g_libraryEnd = 0;

int FindLibraryCb(dl_phdr_info* info, size_t, void*) {
    const char* name = info->dlpi_name != nullptr ? strrchr(info->dlpi_name, '/') : nullptr;
    if (name == nullptr || strncmp(name + 1, "libkvo_vurizeda.so", 18) != 0) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& p = info->dlpi_phdr[i];
        if (p.p_type != PT_LOAD) continue;
        const uintptr_t start = info->dlpi_addr + p.p_vaddr;
        const uintptr_t end = start + p.p_memsz;
        if (g_libraryStart == 0 || start < g_libraryStart) g_libraryStart = start;
        if (end > g_libraryEnd) g_libraryEnd = end;
    }
    return 1;
}

bool FromLibrary(const void* caller) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(caller);
    return at >= g_libraryStart && at < g_libraryEnd;
}

// Nested library sleeps are dropped: one per tick is the library's rule.
__thread int t_inLibrary __attribute__((tls_model("initial-exec"))) = 0;

SigactionFn RealSigaction() {
    if (g_realSigaction == nullptr) {
        g_realSigaction = reinterpret_cast<SigactionFn>(dlsym(RTLD_NEXT, "sigaction"));
    }
    return g_realSigaction;
}

// True when a call about sig is none of the dispatcher's business: another
// signal, or the dispatcher not in place yet.
bool PassedOn(int sig) { return sig != SIGUSR1 || !__atomic_load_n(&g_active, __ATOMIC_ACQUIRE); }

// The definition of name that this library's own stands in front of.
template <class Fn>
Fn NextDefinition(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void ReadProgram(struct sigaction* out) {
    for (;;) {
        const unsigned int before = __atomic_load_n(&g_programSeq, __ATOMIC_ACQUIRE);
        if (before & 1u) continue;
        unsigned long words[kProgramWords];
        for (size_t i = 0; i < kProgramWords; ++i) {
            words[i] = __atomic_load_n(&g_program[i], __ATOMIC_ACQUIRE);
        }
        if (__atomic_load_n(&g_programSeq, __ATOMIC_RELAXED) == before) {
            memcpy(out, words, sizeof(*out));
            return;
        }
    }
}

// Async-signal-safe: the dispatcher uses it for SA_RESETHAND.
void WriteProgram(const struct sigaction* in) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    unsigned int seq;
    do {
        seq = __atomic_load_n(&g_programSeq, __ATOMIC_ACQUIRE);
    } while ((seq & 1u) || !__atomic_compare_exchange_n(&g_programSeq, &seq, seq + 1, false,
                                                        __ATOMIC_ACQ_REL, __ATOMIC_RELAXED));
    unsigned long words[kProgramWords];
    memcpy(words, in, sizeof(*in));
    for (size_t i = 0; i < kProgramWords; ++i) {
        __atomic_store_n(&g_program[i], words[i], __ATOMIC_RELEASE);
    }
    __atomic_store_n(&g_programSeq, seq + 2, __ATOMIC_RELEASE);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

bool IsHandler(const struct sigaction& a) {
    return a.sa_handler != SIG_DFL && a.sa_handler != SIG_IGN;
}

void Dispatch(int sig, siginfo_t* info, void* context);

// The real disposition: always the dispatcher, never deferring SIGUSR1 (a
// program's signal must interrupt a library sleep, or two of them during one
// sleep would merge). It restarts system calls and uses the alternate stack
// as the program's own handler asked; without one, it restarts.
void InstallDispatcher() {
    struct sigaction program;
    ReadProgram(&program);
    struct sigaction real;
    memset(&real, 0, sizeof(real));
    real.sa_sigaction = Dispatch;
    sigemptyset(&real.sa_mask);
    real.sa_flags = SA_SIGINFO | SA_NODEFER;
    if (IsHandler(program)) {
        real.sa_flags |= program.sa_flags & (SA_RESTART | SA_ONSTACK);
    } else {
        real.sa_flags |= SA_RESTART;
    }
    RealSigaction()(SIGUSR1, &real, nullptr);
}

bool IsOurs(const siginfo_t* info) {
    return info != nullptr && info->si_code == SI_QUEUE &&
           info->si_pid == static_cast<pid_t>(syscall(SYS_getpid)) &&
           info->si_value.sival_int == g_tag;
}

// Async-signal-safe throughout: atomics, sigprocmask, sigaction, tgkill.
void Dispatch(int sig, siginfo_t* info, void* context) {
    if (IsOurs(info)) {
        const int savedErrno = errno;
        void (*library)(int) = __atomic_load_n(&g_libraryHandler, __ATOMIC_ACQUIRE);
        if (library != nullptr && t_inLibrary == 0) {
            t_inLibrary = 1;
            library(sig);
            t_inLibrary = 0;
        }
        errno = savedErrno;
        return;
    }
    struct sigaction program;
    ReadProgram(&program);
    if (program.sa_handler == SIG_IGN) return;
    if (program.sa_handler == SIG_DFL) {
        // SIGUSR1's default action ends the process: let the kernel take it.
        struct sigaction dfl;
        memset(&dfl, 0, sizeof(dfl));
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        RealSigaction()(SIGUSR1, &dfl, nullptr);
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
        syscall(SYS_tgkill, syscall(SYS_getpid), syscall(SYS_gettid), SIGUSR1);
        return;  // not reached unless the signal was taken over meanwhile
    }
    if (program.sa_flags & SA_RESETHAND) {
        struct sigaction dfl = program;
        dfl.sa_handler = SIG_DFL;
        dfl.sa_flags &= ~SA_SIGINFO;
        WriteProgram(&dfl);
    }
    // The mask the kernel would have set for the program's handler; the
    // return from the dispatcher restores the interrupted one.
    sigset_t block = program.sa_mask;
    if (!(program.sa_flags & SA_NODEFER)) sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);
    if (program.sa_flags & SA_SIGINFO) {
        program.sa_sigaction(sig, info, context);
    } else {
        program.sa_handler(sig);
    }
}

sigset_t AllSignals() {
    sigset_t all;
    sigfillset(&all);
    return all;
}

// Every signal stays blocked while the lock is held: a program may call
// sigaction from a handler, which must not find its own thread holding it.
class ProgramLockScope : public MaskedLockScope {
public:
    ProgramLockScope() : MaskedLockScope(&g_programLock, AllSignals()) {}
};

int ProgramSigaction(const struct sigaction* act, struct sigaction* old) {
    ProgramLockScope hold;
    if (old != nullptr) ReadProgram(old);
    if (act != nullptr) {
        WriteProgram(act);
        InstallDispatcher();
    }
    return 0;
}

// The library installs its handler (or, when it goes away, ignores SIGUSR1).
int LibrarySigaction(const struct sigaction* act, struct sigaction* old) {
    if (old != nullptr) {
        memset(old, 0, sizeof(*old));
        void (*library)(int) = __atomic_load_n(&g_libraryHandler, __ATOMIC_ACQUIRE);
        old->sa_handler = library != nullptr ? library : SIG_IGN;
    }
    if (act != nullptr) {
        void (*handler)(int) =
            (act->sa_flags & SA_SIGINFO) || !IsHandler(*act) ? nullptr : act->sa_handler;
        __atomic_store_n(&g_libraryHandler, handler, __ATOMIC_RELEASE);
    }
    return 0;
}

int NewTag() {
    unsigned int tag = 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (read(fd, &tag, sizeof(tag)) != static_cast<ssize_t>(sizeof(tag))) tag = 0;
        close(fd);
    }
    if (tag == 0) tag = static_cast<unsigned int>(getpid()) * 2654435761u ^ time(nullptr);
    tag &= 0x7fffffffu;
    return tag == 0 ? 1 : static_cast<int>(tag);
}

bool IsTaggedWait(int sig, const siginfo_t& info) { return sig == SIGUSR1 && IsOurs(&info); }

__sighandler_t SignalLike(int sig, __sighandler_t handler, int flags) {
    struct sigaction act, old;
    memset(&act, 0, sizeof(act));
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    if (!(flags & SA_NODEFER)) sigaddset(&act.sa_mask, sig);
    act.sa_flags = flags;
    ProgramSigaction(&act, &old);
    return old.sa_handler;
}

}  // namespace

void SignalsInit() {
    RealSigaction();
    dl_iterate_phdr(FindLibraryCb, nullptr);
    g_tag = NewTag();
    char text[16];
    snprintf(text, sizeof(text), "%d", g_tag);
    setenv(KVO_RUN_ENV_SIGNAL_TAG, text, 1);
    // What the program inherited (an ignored SIGUSR1 stays ignored across exec).
    struct sigaction inherited;
    RealSigaction()(SIGUSR1, nullptr, &inherited);
    WriteProgram(&inherited);
    InstallDispatcher();
    __atomic_store_n(&g_active, true, __ATOMIC_RELEASE);
}

// ---- Interposed entry points ----------------------------------------------------

extern "C" {

__attribute__((visibility("default"))) int sigaction(int sig, const struct sigaction* act,
                                                     struct sigaction* old) {
    if (PassedOn(sig)) {
        return RealSigaction()(sig, act, old);
    }
    if (FromLibrary(__builtin_return_address(0))) return LibrarySigaction(act, old);
    return ProgramSigaction(act, old);
}

__attribute__((visibility("default"))) __sighandler_t signal(int sig, __sighandler_t handler) {
    if (PassedOn(sig)) {
        static const auto real = NextDefinition<__sighandler_t (*)(int, __sighandler_t)>("signal");
        return real(sig, handler);
    }
    if (FromLibrary(__builtin_return_address(0))) {
        struct sigaction act, old;
        memset(&act, 0, sizeof(act));
        act.sa_handler = handler;
        LibrarySigaction(&act, &old);
        return old.sa_handler;
    }
    return SignalLike(sig, handler, SA_RESTART);  // BSD semantics, as glibc's signal()
}

__attribute__((visibility("default"))) __sighandler_t bsd_signal(int sig, __sighandler_t handler) {
    return signal(sig, handler);
}

__attribute__((visibility("default"))) __sighandler_t sysv_signal(int sig, __sighandler_t handler) {
    if (PassedOn(sig)) {
        static const auto real =
            NextDefinition<__sighandler_t (*)(int, __sighandler_t)>("sysv_signal");
        return real(sig, handler);
    }
    return SignalLike(sig, handler, SA_RESETHAND | SA_NODEFER);
}

__attribute__((visibility("default"))) int siginterrupt(int sig, int flag) {
    if (PassedOn(sig)) {
        static const auto real = NextDefinition<int (*)(int, int)>("siginterrupt");
        return real(sig, flag);
    }
    struct sigaction act;
    ProgramLockScope hold;
    ReadProgram(&act);
    if (flag) {
        act.sa_flags &= ~SA_RESTART;
    } else {
        act.sa_flags |= SA_RESTART;
    }
    WriteProgram(&act);
    InstallDispatcher();
    return 0;
}

// A thread that waits for SIGUSR1 must not be handed one of the library's.
__attribute__((visibility("default"))) int sigtimedwait(const sigset_t* set, siginfo_t* info,
                                                        const struct timespec* timeout) {
    static const auto real = NextDefinition<SigtimedwaitFn>("sigtimedwait");
    for (;;) {
        siginfo_t mine;
        const int sig = real(set, &mine, timeout);
        if (sig > 0 && IsTaggedWait(sig, mine)) continue;
        if (info != nullptr && sig > 0) *info = mine;
        return sig;
    }
}

__attribute__((visibility("default"))) int sigwaitinfo(const sigset_t* set, siginfo_t* info) {
    return sigtimedwait(set, info, nullptr);
}

__attribute__((visibility("default"))) int sigwait(const sigset_t* set, int* sig) {
    for (;;) {
        const int got = sigtimedwait(set, nullptr, nullptr);
        if (got > 0) {
            *sig = got;
            return 0;
        }
        if (errno != EINTR) return errno;
    }
}

}  // extern "C"
