// Timers of the per-thread event loop, driven by a fake clock.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "platform/cl_ev.h"
#include "platform/kvo_base.h"

namespace {

std::atomic<int64_t> g_fakeNow{0};
int64_t FakeNow() { return g_fakeNow.load(); }

// What the callbacks saw, and what they should do to timers while running.
struct Probe {
    std::string name;
    std::vector<std::string>* log;
    cl_timerplus* closeInCallback = nullptr;  // stop + close this timer when fired
    cl_timerplus* stopInCallback = nullptr;
    uint32_t resetSelfTo = 0;
    int64_t callbackTakesMs = 0;  // the fake clock moves on while it runs
};

void Record(cl_timerplus* timer) {
    auto* probe = static_cast<Probe*>(cl_timerplus_context(timer));
    probe->log->push_back(probe->name);
    g_fakeNow += probe->callbackTakesMs;
    if (probe->stopInCallback != nullptr) cl_timerplus_stop(probe->stopInCallback);
    if (probe->resetSelfTo != 0) cl_timerplus_reset(timer, probe->resetSelfTo, 0);
    if (probe->closeInCallback != nullptr) {
        cl_timerplus_stop(probe->closeInCallback);
        cl_timerplus_close(probe->closeInCallback);
    }
}

class EventLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fakeNow = 1000;
        cl_ev_set_clock(FakeNow);
    }
    void TearDown() override {
        for (cl_timerplus* t : m_open) {
            cl_timerplus_stop(t);
            cl_timerplus_close(t);
        }
        cl_ev_set_clock(nullptr);
    }
    Probe* NewProbe(const std::string& name) {
        m_probes.push_back(Probe{name, &m_log});
        return &m_probes.back();
    }
    cl_timerplus* Start(Probe* probe, uint32_t first, uint32_t period) {
        cl_timerplus* t = cl_timerplus_start(first, 0, period, Record, probe);
        EXPECT_NE(nullptr, t);
        m_open.push_back(t);
        return t;
    }
    std::vector<std::string> RunAt(int64_t now) {
        g_fakeNow = now;
        m_log.clear();
        EXPECT_EQ(0, cl_event_loop_once());
        return m_log;
    }
    using Names = std::vector<std::string>;

    std::vector<std::string> m_log;
    std::deque<Probe> m_probes;  // stable addresses for the timers' contexts
    std::vector<cl_timerplus*> m_open;
};

TEST_F(EventLoopTest, DueTimersRunInOrderOfDueTime) {
    Start(NewProbe("a"), 300, 1000);
    Start(NewProbe("b"), 100, 1000);
    Start(NewProbe("c"), 200, 1000);
    Start(NewProbe("late"), 900, 1000);
    EXPECT_EQ(Names{}, RunAt(1099));
    EXPECT_EQ((Names{"b", "c", "a"}), RunAt(1500));
    EXPECT_EQ(Names{"late"}, RunAt(1900));
}

TEST_F(EventLoopTest, ALateTurnFiresOnceAndRearmsFromNow) {
    Start(NewProbe("t"), 100, 100);
    EXPECT_EQ(Names{"t"}, RunAt(5000));  // fifty periods late: still one call
    EXPECT_EQ(Names{}, RunAt(5000));
    EXPECT_EQ(Names{}, RunAt(5099));
    EXPECT_EQ(Names{"t"}, RunAt(5100));
    EXPECT_EQ(Names{"t"}, RunAt(5200));
}

TEST_F(EventLoopTest, PeriodZeroNeverFires) {
    Start(NewProbe("zero"), 0, 0);
    Start(NewProbe("zero-first"), 50, 0);
    for (int64_t now : {1000, 1050, 2000, 100000}) EXPECT_EQ(Names{}, RunAt(now));
}

TEST_F(EventLoopTest, ResetPushesTheNextExpiryOnePeriodFromNow) {
    cl_timerplus* t = Start(NewProbe("t"), 100, 100);
    g_fakeNow = 1090;
    EXPECT_EQ(0, cl_timerplus_reset(t, 100, 0));
    EXPECT_EQ(Names{}, RunAt(1100));
    EXPECT_EQ(Names{}, RunAt(1189));
    EXPECT_EQ(Names{"t"}, RunAt(1190));
    g_fakeNow = 1200;
    cl_timerplus_reset(t, 500, 0);  // a new period holds from now on
    EXPECT_EQ(Names{}, RunAt(1690));
    EXPECT_EQ(Names{"t"}, RunAt(1700));
    EXPECT_EQ(Names{"t"}, RunAt(2200));
}

TEST_F(EventLoopTest, StopSilencesUntilReset) {
    cl_timerplus* t = Start(NewProbe("t"), 100, 100);
    cl_timerplus_stop(t);
    EXPECT_EQ(Names{}, RunAt(1500));
    g_fakeNow = 1500;
    cl_timerplus_reset(t, 100, 0);
    EXPECT_EQ(Names{"t"}, RunAt(1600));
}

TEST_F(EventLoopTest, ATimerClosedInItsOwnCallbackIsNeverTouchedAgain) {
    Probe* self = NewProbe("self");
    cl_timerplus* t = cl_timerplus_start(100, 0, 100, Record, self);
    ASSERT_NE(nullptr, t);
    self->closeInCallback = t;  // not in m_open: the callback frees it
    Start(NewProbe("other"), 100, 100);
    EXPECT_EQ((Names{"self", "other"}), RunAt(1100));
    EXPECT_EQ(Names{"other"}, RunAt(1200));
}

TEST_F(EventLoopTest, ATimerStoppedOrClosedByAnEarlierCallbackDoesNotRun) {
    Probe* first = NewProbe("first");
    Start(first, 100, 100);
    cl_timerplus* stopped = Start(NewProbe("stopped"), 110, 100);
    cl_timerplus* closed = cl_timerplus_start(120, 0, 100, Record, NewProbe("closed"));
    ASSERT_NE(nullptr, closed);
    first->stopInCallback = stopped;
    first->closeInCallback = closed;
    EXPECT_EQ(Names{"first"}, RunAt(1500));
}

TEST_F(EventLoopTest, AResetInsideTheCallbackWinsOverTheRearm) {
    Probe* p = NewProbe("t");
    p->resetSelfTo = 1000;
    p->callbackTakesMs = 50;
    Start(p, 100, 100);
    EXPECT_EQ(Names{"t"}, RunAt(1100));  // reset at 1150
    p->resetSelfTo = 0;
    p->callbackTakesMs = 0;
    EXPECT_EQ(Names{}, RunAt(1200));
    EXPECT_EQ(Names{}, RunAt(2149));
    EXPECT_EQ(Names{"t"}, RunAt(2150));
}

TEST_F(EventLoopTest, StartRefusesFlagsAndKeepsTheContext) {
    Probe* p = NewProbe("t");
    EXPECT_EQ(nullptr, cl_timerplus_start(10, 1, 10, Record, p));
    EXPECT_EQ(nullptr, cl_timerplus_start(10, 0, 10, nullptr, p));
    cl_timerplus* t = Start(p, 10, 10);
    EXPECT_EQ(p, cl_timerplus_context(t));
}

struct IsolatedRun {
    std::atomic<int> fired{0};
    int mainTimersSeen = 0;
};

void CountFire(cl_timerplus* timer) {
    static_cast<IsolatedRun*>(cl_timerplus_context(timer))->fired++;
}

// Runs on its own loop thread: a due timer of the creating thread is not seen
// here, and its own timer is.
uint32_t IsolatedProc(void* argument) {
    auto* run = static_cast<IsolatedRun*>(argument);
    cl_timerplus* own = cl_timerplus_start(0, 0, 10, CountFire, run);
    if (own == nullptr) return 1;
    cl_event_loop_once();
    cl_timerplus_stop(own);
    cl_timerplus_close(own);
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGUSR1) ? 42 : 2;
}

TEST_F(EventLoopTest, EachThreadRunsOnlyItsOwnTimers) {
    Probe* mainProbe = NewProbe("main");
    Start(mainProbe, 0, 10);
    IsolatedRun run;
    pthread_t thread;
    ASSERT_EQ(0, cl_ev_create_isolated_thread(&thread, 0, IsolatedProc, &run));
    uint32_t code = 0;
    ASSERT_EQ(0, kvo_thread_join(&thread, &code));
    EXPECT_EQ(42u, code) << "proc's result is the exit code; SIGUSR1 blocked";
    EXPECT_EQ(1, run.fired.load());
    EXPECT_TRUE(m_log.empty()) << "the main thread's timer ran on another thread";
    EXPECT_EQ(Names{"main"}, RunAt(1000));
    EXPECT_NE(0, cl_ev_create_isolated_thread(&thread, 1, IsolatedProc, &run));
}

}  // namespace
