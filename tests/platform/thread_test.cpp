// Threads started by the library: exit codes and the blocked SIGUSR1.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/cl_ev.h"
#include "platform/kvo_base.h"

namespace {

uint32_t ReturnsArgument(void* argument) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument));
}

[[noreturn]] void ExitDeepInside(uint32_t code) { kvo_thread_exit(code); }

uint32_t ExitsEarly(void* argument) {
    ExitDeepInside(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument)));
}

TEST(Thread, JoinReturnsTheResultOrTheExitCode) {
    struct Case {
        kvo_thread_proc proc;
        uint32_t code;
    };
    const Case cases[] = {{ReturnsArgument, 0},
                          {ReturnsArgument, 0xDEADBEEFu},
                          {ExitsEarly, 7},
                          {ExitsEarly, 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        kvo_thread_t thread;
        void* argument = reinterpret_cast<void*>(static_cast<uintptr_t>(c.code));
        ASSERT_EQ(0, kvo_thread_start(&thread, c.proc, argument));
        uint32_t code = 12345;
        ASSERT_EQ(0, kvo_thread_join(&thread, &code));
        EXPECT_EQ(c.code, code);
    }
    kvo_thread_t thread;
    ASSERT_EQ(0, kvo_thread_start(&thread, ReturnsArgument, nullptr));
    EXPECT_EQ(0, kvo_thread_join(&thread, nullptr));
}

uint32_t Usr1Blocked(void*) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGUSR1) == 1 ? 1 : 0;
}

bool CallerBlocksUsr1() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGUSR1) == 1;
}

using Starter = int (*)(pthread_t*, kvo_thread_proc);

int StartPlain(pthread_t* thread, kvo_thread_proc proc) {
    return kvo_thread_start(thread, proc, nullptr);
}
int StartLoop(pthread_t* thread, kvo_thread_proc proc) {
    return cl_ev_create_isolated_thread(thread, 0, proc, nullptr);
}

// Host threads must stay limitable: the creator's own mask comes back intact.
TEST(Thread, ThreadsStartedHereBlockSigusr1AndTheCreatorKeepsItsMask) {
    ASSERT_FALSE(CallerBlocksUsr1());
    for (Starter start : {StartPlain, StartLoop}) {
        pthread_t thread;
        ASSERT_EQ(0, start(&thread, Usr1Blocked));
        uint32_t blocked = 0;
        ASSERT_EQ(0, kvo_thread_join(&thread, &blocked));
        EXPECT_EQ(1u, blocked);
        EXPECT_FALSE(CallerBlocksUsr1());
    }
}

uint32_t OwnTid(void*) { return kvo_gettid(); }

TEST(Thread, GettidIsTheKernelThreadId) {
    EXPECT_EQ(static_cast<uint32_t>(getpid()), kvo_gettid());
    EXPECT_EQ(static_cast<uint32_t>(getpid()), kvo_process_get_cur_pid());
    kvo_thread_t thread;
    ASSERT_EQ(0, kvo_thread_start(&thread, OwnTid, nullptr));
    uint32_t tid = 0;
    ASSERT_EQ(0, kvo_thread_join(&thread, &tid));
    EXPECT_NE(0u, tid);
    EXPECT_NE(kvo_gettid(), tid);
}

}  // namespace
