// Holding the limiting signal (SIGUSR1) off the calling thread while it holds a
// lock: a thread put to sleep there would stall every other user of the lock.
#pragma once

#include <signal.h>

// What a seam offers to hold the sleep signal off; the production seams block
// SIGUSR1 (kvo_thread_block_sigusr1), fakes may count.
class SleepHold {
public:
    virtual ~SleepHold() = default;
    // *previous receives the mask ResumeSleep restores; a signal that came
    // meanwhile is taken then.
    virtual void HoldSleep(sigset_t* previous) = 0;
    virtual void ResumeSleep(const sigset_t* previous) = 0;
};

// Holds the sleep signal off the calling thread for one scope.
class SleepHeldOff {
public:
    explicit SleepHeldOff(SleepHold* hold) : m_hold(hold) { m_hold->HoldSleep(&m_previous); }
    ~SleepHeldOff() { m_hold->ResumeSleep(&m_previous); }
    SleepHeldOff(const SleepHeldOff&) = delete;
    SleepHeldOff& operator=(const SleepHeldOff&) = delete;

private:
    SleepHold* const m_hold;
    sigset_t m_previous;
};
