// The --total rule: busy threads share what idle ones leave, within the budget.
#include "waterfill.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

TEST(WaterFill, BusyThreadsShareWhatIdleOnesLeave) {
    // clang-format off
    const struct { const char* what; std::vector<_ThreadShare> threads; float total, cap;
                   std::vector<float> want; } cases[] = {
        {"one busy thread gets it all", {{30, 30}}, 30, 100, {30}},
        {"an idle thread keeps 1.25 x use + 1", {{4, 20}, {20, 20}}, 40, 100, {6, 34}},
        {"uneven busy threads meet at one level", {{30, 30}, {10, 10}}, 40, 100, {20, 20}},
        {"idle threads' leftovers go on top", {{2, 30}, {2, 30}}, 40, 100, {20, 20}},
        {"the cap (-l) bounds every thread", {{50, 50}}, 80, 30, {30}},
    };
    // clang-format on
    for (const auto& c : cases) {
        const std::vector<float> got = WaterFill(c.threads, c.total, c.cap);
        ASSERT_EQ(got.size(), c.want.size()) << c.what;
        for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], c.want[i], 0.01) << c.what;
        EXPECT_LE(std::accumulate(got.begin(), got.end(), 0.0f), c.total + 0.01f) << c.what;
    }
}

}  // namespace
