// Threads, events, semaphores and read-write locks shared between threads.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "platform/cl_ev.h"
#include "platform/kvo_base.h"
#include "support/watchdog.h"

namespace {

bool Usr1Blocked() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGUSR1) == 1;
}

// Its kernel thread id when SIGUSR1 is blocked, else 0: returned, or with an
// argument handed to kvo_thread_exit.
uint32_t Proc(void* viaExit) {
    uint32_t code = Usr1Blocked() ? kvo_gettid() : 0;
    if (viaExit != nullptr) kvo_thread_exit(code);
    return code;
}

// The library's own threads are never limited; host threads, the creator
// among them, must stay limitable.
TEST(Thread, LibraryThreadsBlockSigusr1AndHandBackTheirResult) {
    for (int how = 0; how < 3; ++how) {
        pthread_t thread;
        ASSERT_EQ(0, how == 2 ? cl_ev_create_isolated_thread(&thread, 0, Proc, nullptr)
                              : kvo_thread_start(&thread, Proc, how == 1 ? &thread : nullptr));
        uint32_t code = 0;
        ASSERT_EQ(0, kvo_thread_join(&thread, &code));
        EXPECT_NE(0u, code) << how;
        EXPECT_NE(kvo_gettid(), code);
        EXPECT_FALSE(Usr1Blocked());
    }
}

// Auto-reset, as every caller asks: a set before the wait is kept, a wait consumes it.
TEST(Event, KeepsOneSignalAndTimesOutWithoutIt) {
    kvo_event_t e = nullptr;
    ASSERT_EQ(KVO_OK, kvo_event_init(&e, 0, 1));
    kvo_event_set(e);
    kvo_event_set(e);
    EXPECT_EQ(KVO_OK, kvo_event_timedwait(e, 0));
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_event_timedwait(e, 50));
    std::thread setter([e] { kvo_event_set(e); });
    EXPECT_EQ(KVO_OK, kvo_event_timedwait(e, 60000));
    setter.join();
    kvo_event_destroy(e);
}

TEST(Semaphore, StartsEmptyAndEachPostReleasesOneWait) {
    kvo_semaphore_t sem = kvo_semaphore_init(65535);
    ASSERT_NE(nullptr, sem);
    std::thread waiter([sem] {
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(KVO_OK, kvo_semaphore_wait(sem, KVO_WAIT_INFINITE, 0));
    });
    kvo_semaphore_post(sem, 1);
    kvo_semaphore_post(sem, 1);
    RunWithWatchdog(10, "waits for posts", [&] { waiter.join(); });
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_semaphore_wait(sem, 0, 0));
    kvo_semaphore_destroy(sem);
}

// One thread takes the lock shared twice while a writer waits, as nested group
// lookups do: with writers preferred that deadlocks.
TEST(RwLock, SharedTwiceWhileAWriterWaits) {
    kvo_rwlock_t lock = nullptr;
    ASSERT_EQ(0, kvo_rwlock_init(&lock));
    RunWithWatchdog(10, "nested shared acquisition", [lock] {
        kvo_rwlock_shared_acquire(lock);
        std::thread writer([lock] {
            kvo_rwlock_exclusive_acquire(lock);
            kvo_rwlock_exclusive_release(lock);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it queue
        kvo_rwlock_shared_acquire(lock);
        kvo_rwlock_shared_release(lock);
        kvo_rwlock_shared_release(lock);
        writer.join();
    });
    kvo_rwlock_destroy(lock);
}

}  // namespace
