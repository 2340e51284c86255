// Fuzzes the /proc text parses of the CPU time sampling: a thread's stat line
// (utime + stime after the first ')') and the first line of /proc/stat, both
// directly and through the one-read file path with its 1023-byte cut.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz_util.h"
#include "scheduler/procstat.h"
#include "support/fake_sched_env.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzQuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    uint64_t threadTime = ParseThreadStatTime(text.c_str());
    int64_t totalTime = ParseTotalCpuTime(text.c_str());

    FakeSchedEnv env;
    const uint32_t tid = 4711;
    env.SetFile(env.ThreadStatPath(tid), text);
    env.SetFile("/proc/stat", text);
    // The file path reads at most 1023 bytes; within that it must agree with the parse.
    const std::string cut = text.substr(0, 1023);
    FUZZ_CHECK(GetThreadTime(static_cast<int>(tid), &env) == ParseThreadStatTime(cut.c_str()));
    if (cut.size() == text.size() && text.find('\0') == std::string::npos) {
        FUZZ_CHECK(GetThreadTime(static_cast<int>(tid), &env) == threadTime);
        if (text.find('\n') == std::string::npos && !text.empty()) {
            FUZZ_CHECK(GetTotalCpuTime(&env) == totalTime);
        }
    }
    GetTotalCpuTime(&env);
    return 0;
}
