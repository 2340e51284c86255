// Choosing the scheduler's mode: the variable over the file, unknown values
// warned about and ignored. exact_live_test sees the exact mode's objects made.
#include "scheduler/schedmode.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/log_capture.h"

namespace {

struct ModeCase {
    const char* env;   // KVO_SCHED_MODE; null: unset
    const char* file;  // [scheduler] mode; null: no key
    SchedMode want;
    const char* warning;  // the WARN message, or null
};

const ModeCase kModes[] = {
    {nullptr, nullptr, SCHED_MODE_DEFAULT, nullptr},
    {"exact", nullptr, SCHED_MODE_EXACT, nullptr},
    {nullptr, "exact", SCHED_MODE_EXACT, nullptr},
    {"default", "exact", SCHED_MODE_DEFAULT, nullptr},
    {"", "exact", SCHED_MODE_EXACT, nullptr},  // an empty variable counts as unset
    {"Exact", "exact", SCHED_MODE_DEFAULT,
     "KVO_SCHED_MODE=Exact is not a scheduler mode (default, exact): using the default mode"},
    {nullptr, "fast", SCHED_MODE_DEFAULT,
     "[scheduler] mode = fast in /cfg.ini is not a scheduler mode (default, exact): using the "
     "default mode"},
};

TEST(SchedMode, VariableWinsAndUnknownValuesFallBackWithOneWarning) {
    for (const ModeCase& c : kModes) {
        SCOPED_TRACE(testing::Message()
                     << (c.env ? c.env : "-") << " / " << (c.file ? c.file : "-"));
        LogCapture log;
        EXPECT_EQ(ChooseSchedMode(c.env, c.file, "/cfg.ini"), c.want);
        std::vector<std::string> want;
        if (c.warning != nullptr) want.push_back(c.warning);
        EXPECT_EQ(log.Messages("WARN"), want);
    }
}

TEST(SchedMode, ProcessModeIsReadFromTheInstallationsFile) {
    TempDir dir;
    std::filesystem::create_directories(dir.File("lib"));
    std::filesystem::create_directories(dir.File("config"));
    ScopedEnv base("KVO_BASE_DIR", dir.File("lib").c_str());
    ScopedEnv unset("KVO_SCHED_MODE", nullptr);
    EXPECT_EQ(ReadSchedMode(), SCHED_MODE_DEFAULT) << "no file";
    WriteFile(dir.File("config/kvo_vurizeda.ini"), "[scheduler]\nmode = exact\n");
    EXPECT_EQ(ReadSchedMode(), SCHED_MODE_EXACT);
}

}  // namespace
