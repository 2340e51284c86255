// Deadline for test bodies that could deadlock.
#include "support/watchdog.h"

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

void RunWithWatchdog(int seconds, const char* what, const std::function<void()>& body) {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::thread dog([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!done.wait_for(guard, std::chrono::seconds(seconds), [&] { return finished; })) {
            fprintf(stderr, "watchdog: %s did not finish within %d s (deadlock?)\n", what, seconds);
            abort();
        }
    });
    body();
    {
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
    }
    done.notify_one();
    dog.join();
}
