// Unloading the library gives SIGUSR1 back: the host's disposition from before
// the library took the signal, unless the host has installed its own since.
// Each case runs in a child process of its own, as a host that loads the library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "kvo_vurizeda.h"

namespace {

volatile sig_atomic_t g_hostCalls = 0;
void HostHandler(int) { g_hostCalls = g_hostCalls + 1; }
void LaterHostHandler(int) { g_hostCalls = g_hostCalls + 1; }

using Handler = void (*)(int);

// Sets SIGUSR1's disposition when `set`; returns the one before.
Handler Disposition(bool set, Handler handler = SIG_DFL) {
    struct sigaction action = {}, old = {};
    action.sa_handler = handler;
    sigaction(SIGUSR1, set ? &action : nullptr, &old);
    return old.sa_handler;
}

// The library's function `name`, typed as the header declares it.
#define KVO_SYM(name) reinterpret_cast<decltype(&name)>(dlsym(lib, #name))

// Loads the library, limits this thread for a while (so signals fly), stops the
// scheduler, lets the host install `after` (when set), unloads. Exit code 0 when
// SIGUSR1 is then `want` and, for a host handler, reaches it.
[[noreturn]] void LoadLimitUnload(Handler after, Handler want) {
    void* lib = dlopen(KVO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) exit(2);
    if (KVO_SYM(RegisterCpuCtrl)() != 1) exit(3);
    const auto tid = static_cast<unsigned int>(syscall(SYS_gettid));
    if (KVO_SYM(AddCpuCtrlObject)(tid, 20) != 1) exit(4);
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
         std::chrono::steady_clock::now() < end;) {
    }
    KVO_SYM(UnRegisterCpuCtrl)();
    if (after != nullptr) Disposition(true, after);
    dlclose(lib);
    if (Disposition(false) != want) exit(5);
    if (want == HostHandler || want == LaterHostHandler) {
        const int before = g_hostCalls;
        syscall(SYS_tgkill, getpid(), tid, SIGUSR1);
        // Delivery may lag the raise: ThreadSanitizer holds an async signal back
        // until the thread next enters a call it intercepts, such as nanosleep.
        const timespec step{0, 1000000};
        for (int ms = 0; ms < 2000 && g_hostCalls == before; ++ms) nanosleep(&step, nullptr);
        if (g_hostCalls != before + 1) exit(6);
    }
    exit(0);
}

TEST(UnloadSignal, GivesTheHostsDispositionBackOnlyWhileTheHandlerIsOurs) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* name;
        Handler before;  // the host's disposition before loading
        Handler after;   // one the host installs once the scheduler stopped, or null
        Handler want;
    } cases[] = {
        {"host handler before load", HostHandler, nullptr, HostHandler},
        {"default before load (survives exec)", SIG_DFL, nullptr, SIG_DFL},
        {"ignored before load", SIG_IGN, nullptr, SIG_IGN},
        {"host handler installed after the stop", SIG_DFL, LaterHostHandler, LaterHostHandler},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                Disposition(true, c.before);
                LoadLimitUnload(c.after, c.want);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
