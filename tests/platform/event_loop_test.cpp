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

cl_timerplus* Start(const char* name, uint32_t first, uint32_t period) {
    return cl_timerplus_start(first, 0, period, Record, const_cast<char*>(name));
}

Names RunAt(int64_t now) {
    g_now = now;
    g_fired.clear();
    EXPECT_EQ(0, cl_event_loop_once());
    return g_fired;
}

TEST(EventLoop, DueTimersRunOnceInOrderOfDueTimeRearmFromNowAndFollowResetAndStop) {
    cl_ev_set_clock(FakeNow);
    g_now = 1000;
    cl_timerplus* const timers[] = {Start("a", 300, 1000), Start("b", 100, 1000),
                                    Start("zero", 50, 0)};  // a period of 0 never fires
    EXPECT_EQ(Names{}, RunAt(1099));
    EXPECT_EQ((Names{"b", "a"}), RunAt(5000));  // late: one call each
    EXPECT_EQ(Names{}, RunAt(5999));
    EXPECT_EQ((Names{"a", "b"}), RunAt(6000));  // equal due times: in start order
    cl_timerplus_stop(timers[0]);
    g_now = 6090;
    EXPECT_EQ(0, cl_timerplus_reset(timers[1], 500, 0));  // the period restarts from now
    EXPECT_EQ(Names{}, RunAt(6589));
    EXPECT_EQ(Names{"b"}, RunAt(6590));
    cl_timerplus_stop(timers[1]);
    EXPECT_EQ(Names{}, RunAt(9000));
    cl_timerplus_reset(timers[1], 100, 0);
    EXPECT_EQ(Names{"b"}, RunAt(9100));
    for (cl_timerplus* t : timers) cl_timerplus_close(t);
    cl_ev_set_clock(nullptr);
}

}  // namespace
