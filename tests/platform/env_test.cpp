// Our environment variables: which texts are used as they stand, what replaces
// the others, and that each variable is warned about once.
#include "platform/env.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace {

TEST(Env, IntegersOutsideTheRangeTakeTheNearerBoundAndTextTheFallback) {
    // The text, the value used and the problem named (null: used as it stands).
    // clang-format off
    const struct { const char* text; long want; const char* problem; } cases[] = {
        {nullptr, 7, nullptr}, {"", 7, nullptr}, {"1", 1, nullptr}, {"600", 600, nullptr},
        {"0", 1, "below the range 1..600"}, {"999999", 600, "above the range 1..600"},
        {"99999999999999999999", 600, "above the range 1..600"},
        {"abc", 7, "not a whole number (range 1..600)"}, {"5s", 7, "not a whole number"}};
    // clang-format on
    for (const auto& c : cases) {
        long value = -1;
        std::string problem;
        const bool usable = KvoEnvParseInteger(c.text, 1, 600, 7, &value, &problem);
        EXPECT_EQ(c.want, value) << (c.text ? c.text : "(unset)");
        EXPECT_EQ(c.problem == nullptr, usable) << (c.text ? c.text : "(unset)");
        EXPECT_NE(std::string::npos, problem.find(c.problem ? c.problem : "")) << problem;
    }
}

TEST(Env, SwitchesKnowTheUsualSpellingsInAnyCase) {
    const std::pair<const char*, int> cases[] = {
        {"0", 0},     {"off", 0}, {"NO", 0},    {"False", 0}, {"disabled", 0},
        {"1", 1},     {"ON", 1},  {"yes", 1},   {"true", 1},  {"Enabled", 1},
        {nullptr, 1}, {"", 1},    {"nope", -1}, {"2", -1}};
    for (const auto& [text, want] : cases) {
        bool value = false;
        std::string problem;
        const bool usable = KvoEnvParseSwitch(text, true, &value, &problem);
        EXPECT_EQ(want >= 0, usable) << (text ? text : "(unset)");
        EXPECT_EQ(want != 0, value) << (text ? text : "(unset)");  // -1: the fallback, on
    }
}

TEST(Env, ABadValueIsWarnedAboutOnceNamingVariableValueAndReplacement) {
    LogCapture log;
    ScopedEnv interval("KVO_TEST_INTERVAL", "0");
    KvoEnvForgetWarning("KVO_TEST_INTERVAL");
    EXPECT_EQ(1, KvoEnvInteger("KVO_TEST_INTERVAL", 1, 600, 1));
    EXPECT_EQ(1, KvoEnvInteger("KVO_TEST_INTERVAL", 1, 600, 1));
    ScopedEnv sampler("KVO_TEST_SAMPLER", "of");
    KvoEnvForgetWarning("KVO_TEST_SAMPLER");
    EXPECT_TRUE(KvoEnvSwitch("KVO_TEST_SAMPLER", true));
    EXPECT_EQ(log.Messages("WARN"),
              (std::vector<std::string>{
                  "KVO_TEST_INTERVAL=\"0\": below the range 1..600; using 1",
                  "KVO_TEST_SAMPLER=\"of\": neither on (1, on, yes, true, enabled) nor off "
                  "(0, off, no, false, disabled); using on"}));
}

}  // namespace
