// Unloading the library gives SIGUSR1 back: the host's disposition from before
// the library took the signal, unless the host has installed its own since.
// Each case runs in a child process of its own, as a host that loads the library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

namespace {

volatile sig_atomic_t g_hostCalls = 0;
void HostHandler(int) { g_hostCalls = g_hostCalls + 1; }
void LaterHostHandler(int) { g_hostCalls = g_hostCalls + 1; }

using Handler = void (*)(int);

void Install(Handler handler) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
}

Handler Current() {
    struct sigaction action;
    sigaction(SIGUSR1, nullptr, &action);
    return action.sa_handler;
}

// Loads the library, limits this thread for a while (so signals fly), stops the
// scheduler, lets the host install `after` (when set), unloads. Exit code 0 when
// SIGUSR1 is then `want` and, for a host handler, reaches it.
[[noreturn]] void LoadLimitUnload(Handler after, Handler want) {
    void* lib = dlopen(KVO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) exit(2);
    auto call = [lib](const char* name) { return dlsym(lib, name); };
    if (reinterpret_cast<int (*)()>(call("RegisterCpuCtrl"))() != 1) exit(3);
    const auto tid = static_cast<unsigned int>(syscall(SYS_gettid));
    if (reinterpret_cast<int (*)(unsigned, float)>(call("AddCpuCtrlObject"))(tid, 20) != 1) exit(4);
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
         std::chrono::steady_clock::now() < end;) {
    }
    reinterpret_cast<void (*)()>(call("UnRegisterCpuCtrl"))();
    if (after != nullptr) Install(after);
    dlclose(lib);
    if (Current() != want) exit(5);
    if (want == HostHandler || want == LaterHostHandler) {
        const int before = g_hostCalls;
        syscall(SYS_tgkill, getpid(), tid, SIGUSR1);
        // Delivery may lag the raise: ThreadSanitizer holds an async signal back
        // until the thread next enters a call it intercepts, such as nanosleep.
        for (int ms = 0; ms < 2000 && g_hostCalls == before; ++ms) {
            const timespec step{0, 1000000};
            nanosleep(&step, nullptr);
        }
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
                Install(c.before);
                LoadLimitUnload(c.after, c.want);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
