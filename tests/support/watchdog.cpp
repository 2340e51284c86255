// Deadline for test bodies that could deadlock.
#include "support/watchdog.h"

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <future>
#include <thread>

void RunWithWatchdog(int seconds, const char* what, const std::function<void()>& body) {
    std::promise<void> finished;
    std::thread dog([seconds, what, done = finished.get_future()] {
        if (done.wait_for(std::chrono::seconds(seconds)) == std::future_status::timeout) {
            fprintf(stderr, "watchdog: %s did not finish within %d s (deadlock?)\n", what, seconds);
            abort();
        }
    });
    body();
    finished.set_value();
    dog.join();
}
