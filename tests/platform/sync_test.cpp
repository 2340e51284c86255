// Events, semaphores, mutexes and read-write locks shared between threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/kvo_base.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

struct EventGuard {
    kvo_event_t handle = nullptr;
    EventGuard(int initial, int autoReset) {
        EXPECT_EQ(KVO_OK, kvo_event_init(&handle, initial, autoReset));
    }
    ~EventGuard() { kvo_event_destroy(handle); }
};

TEST(Event, SetBeforeTheWaitIsNotLostAndAutoResetConsumesIt) {
    EventGuard e(0, 1);
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_event_timedwait(e.handle, 0));
    kvo_event_set(e.handle);
    EXPECT_EQ(KVO_OK, kvo_event_timedwait(e.handle, 0));
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_event_timedwait(e.handle, 0));
}

TEST(Event, InitialStateAndManualResetKeepTheSignal) {
    EventGuard initiallySet(1, 1);
    EXPECT_EQ(KVO_OK, kvo_event_timedwait(initiallySet.handle, 0));
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_event_timedwait(initiallySet.handle, 0));

    EventGuard manual(0, 0);
    kvo_event_set(manual.handle);
    EXPECT_EQ(KVO_OK, kvo_event_timedwait(manual.handle, 0));
    EXPECT_EQ(KVO_OK, kvo_event_timedwait(manual.handle, 0));
}

TEST(Event, SetFromAnotherThreadWakesTheWaiter) {
    EventGuard e(0, 1);
    std::atomic<uint32_t> result{0xFFFFFFFFu};
    std::atomic<int64_t> waitedMs{-1};
    std::thread waiter([&] {
        auto start = Clock::now();
        result = kvo_event_timedwait(e.handle, 20000);
        waitedMs = ElapsedMs(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kvo_event_set(e.handle);
    waiter.join();
    EXPECT_EQ(KVO_OK, result.load());
    EXPECT_LT(waitedMs.load(), 10000) << "woken by the set, not by the timeout";
}

TEST(Event, TimedWaitRunsOutAfterItsTimeout) {
    EventGuard e(0, 1);
    auto start = Clock::now();
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_event_timedwait(e.handle, 150));
    int64_t waited = ElapsedMs(start);
    EXPECT_GE(waited, 149);
    EXPECT_LT(waited, 5000);
}

TEST(Semaphore, StartsEmptyAndTimesOut) {
    kvo_semaphore_t sem = kvo_semaphore_init(65535);
    ASSERT_NE(nullptr, sem);
    auto start = Clock::now();
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_semaphore_wait(sem, 100, 0));
    EXPECT_GE(ElapsedMs(start), 99);
    kvo_semaphore_post(sem, 1);
    EXPECT_EQ(KVO_OK, kvo_semaphore_wait(sem, 0, 0));
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_semaphore_wait(sem, 0, 0));
    kvo_semaphore_destroy(sem);
}

TEST(Semaphore, CountIsCappedAtMaxCount) {
    kvo_semaphore_t sem = kvo_semaphore_init(2);
    ASSERT_NE(nullptr, sem);
    kvo_semaphore_post(sem, 5);
    kvo_semaphore_post(sem, 1);
    EXPECT_EQ(KVO_OK, kvo_semaphore_wait(sem, 0, 0));
    EXPECT_EQ(KVO_OK, kvo_semaphore_wait(sem, 0, 0));
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_semaphore_wait(sem, 0, 0));
    kvo_semaphore_destroy(sem);
}

// Two threads take turns through a pair of semaphores; an infinite wait must
// return once posted, and no post may be lost or doubled.
TEST(Semaphore, InfiniteWaitsHandOffBetweenThreads) {
    kvo_semaphore_t ping = kvo_semaphore_init(65535);
    kvo_semaphore_t pong = kvo_semaphore_init(65535);
    ASSERT_TRUE(ping != nullptr && pong != nullptr);
    constexpr int kRounds = 500;
    std::vector<int> trace;  // written alternately, ordered by the semaphores
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_EQ(KVO_OK, kvo_semaphore_wait(ping, KVO_WAIT_INFINITE, 0));
            trace.push_back(1);
            kvo_semaphore_post(pong, 1);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        trace.push_back(0);
        kvo_semaphore_post(ping, 1);
        ASSERT_EQ(KVO_OK, kvo_semaphore_wait(pong, KVO_WAIT_INFINITE, 0));
    }
    other.join();
    ASSERT_EQ(2u * kRounds, trace.size());
    for (size_t i = 0; i < trace.size(); ++i) ASSERT_EQ(static_cast<int>(i % 2), trace[i]) << i;
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_semaphore_wait(ping, 0, 0));
    EXPECT_EQ(KVO_E_TIMEOUT, kvo_semaphore_wait(pong, 0, 0));
    kvo_semaphore_destroy(ping);
    kvo_semaphore_destroy(pong);
}

TEST(Mutex, SerialisesUpdatesFromManyThreads) {
    kvo_mutex_t mutex = nullptr;
    ASSERT_EQ(0, kvo_mutex_init(&mutex));
    ASSERT_NE(nullptr, mutex);
    long counter = 0;  // plain on purpose: only the mutex keeps it right
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                kvo_mutex_lock(mutex);
                long seen = counter;
                counter = seen + 1;
                kvo_mutex_unlock(mutex);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(80000, counter);
    kvo_mutex_destroy(mutex);
}

TEST(RwLock, TryAcquireFailsWhileAWriterHoldsIt) {
    kvo_rwlock_t lock = nullptr;
    ASSERT_EQ(0, kvo_rwlock_init(&lock));
    EXPECT_EQ(0, kvo_rwlock_shared_try_acquire(lock));
    EXPECT_EQ(0, kvo_rwlock_shared_try_acquire(lock)) << "shared twice";
    kvo_rwlock_shared_release(lock);
    kvo_rwlock_shared_release(lock);

    kvo_rwlock_exclusive_acquire(lock);
    std::atomic<int> fromOtherThread{0};
    std::thread([&] { fromOtherThread = kvo_rwlock_shared_try_acquire(lock); }).join();
    EXPECT_NE(0, fromOtherThread.load());
    kvo_rwlock_exclusive_release(lock);

    std::thread([&] {
        fromOtherThread = kvo_rwlock_shared_try_acquire(lock);
        if (fromOtherThread == 0) kvo_rwlock_shared_release(lock);
    }).join();
    EXPECT_EQ(0, fromOtherThread.load());
    kvo_rwlock_destroy(lock);
}

// A reader takes the lock shared, a writer queues for it, and the reader takes
// it shared again. With writers preferred this deadlocks; a watchdog turns a
// deadlock into a failure instead of a hung test.
TEST(RwLock, NestedSharedAcquisitionWhileAWriterWaitsDoesNotDeadlock) {
    kvo_rwlock_t lock = nullptr;
    ASSERT_EQ(0, kvo_rwlock_init(&lock));
    kvo_event_t done = nullptr;
    ASSERT_EQ(KVO_OK, kvo_event_init(&done, 0, 1));
    std::atomic<bool> writerStarted{false};
    std::atomic<bool> writerGotIt{false};
    auto* writer = new std::thread;
    auto* reader = new std::thread([&] {
        kvo_rwlock_shared_acquire(lock);
        *writer = std::thread([&] {
            writerStarted = true;
            kvo_rwlock_exclusive_acquire(lock);
            writerGotIt = true;
            kvo_rwlock_exclusive_release(lock);
        });
        while (!writerStarted) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it queue
        kvo_rwlock_shared_acquire(lock);
        kvo_rwlock_shared_release(lock);
        kvo_rwlock_shared_release(lock);
        kvo_event_set(done);
    });
    uint32_t waited = kvo_event_timedwait(done, 10000);
    ASSERT_EQ(KVO_OK, waited) << "nested shared acquisition deadlocked";
    reader->join();
    writer->join();
    EXPECT_TRUE(writerGotIt.load());
    delete reader;
    delete writer;
    kvo_event_destroy(done);
    kvo_rwlock_destroy(lock);
}

}  // namespace
