// Timers of the per-thread event loop, driven by a fake clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cl_ev.h"

namespace {

int64_t g_now = 0;
int64_t FakeNow() { return g_now; }
using Names = std::vector<std::string>;
Names g_fired;

void Record(cl_timerplus* t) { g_fired.push_back(static_cast<char*>(cl_timerplus_context(t))); }

Names RunAt(int64_t now) {
    g_now = now;
    g_fired.clear();
    EXPECT_EQ(0, cl_event_loop_once());
    return g_fired;
}

class EventLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1000;
        cl_ev_set_clock(FakeNow);
    }
    void TearDown() override {
        for (cl_timerplus* t : m_timers) {
            cl_timerplus_stop(t);
            cl_timerplus_close(t);
        }
        cl_ev_set_clock(nullptr);
    }
    cl_timerplus* Start(const char* name, uint32_t first, uint32_t period) {
        m_timers.push_back(cl_timerplus_start(first, 0, period, Record, const_cast<char*>(name)));
        return m_timers.back();
    }
    std::vector<cl_timerplus*> m_timers;
};

TEST_F(EventLoopTest, DueTimersRunOnceInOrderOfDueTimeAndRearmFromNow) {
    Start("a", 300, 1000);
    Start("b", 100, 1000);
    Start("zero", 50, 0);  // a period of 0 never fires
    EXPECT_EQ(Names{}, RunAt(1099));
    EXPECT_EQ((Names{"b", "a"}), RunAt(5000));  // late: one call each
    EXPECT_EQ(Names{}, RunAt(5999));
    EXPECT_EQ((Names{"a", "b"}), RunAt(6000));  // equal due times: in start order
}

TEST_F(EventLoopTest, ResetRestartsThePeriodFromNowAndStopSilences) {
    cl_timerplus* t = Start("t", 100, 100);
    g_now = 1090;
    EXPECT_EQ(0, cl_timerplus_reset(t, 500, 0));
    EXPECT_EQ(Names{}, RunAt(1589));
    EXPECT_EQ(Names{"t"}, RunAt(1590));
    cl_timerplus_stop(t);
    EXPECT_EQ(Names{}, RunAt(9000));
    cl_timerplus_reset(t, 100, 0);
    EXPECT_EQ(Names{"t"}, RunAt(9100));
}

}  // namespace
