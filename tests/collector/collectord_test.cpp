// kvo-collectord and the comm library's embedded sampler publish pairs with
// one time to a collector registered with the real comm library.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "collector/collector.h"
#include "collector_test_util.h"

extern char** environ;

namespace {

struct PublishCase {
    const char* name;
    bool service;     // kvo-collectord publishes, else the embedded sampler
    const char* pid;  // given to kvo-collectord, else it finds the receiver
};

TEST(Publishing, ServiceAndEmbeddedSamplerDeliverMatchingPairs) {
    const std::string service = std::string(KVO_TEST_BIN_DIR) + "/kvo-collectord";
    const std::string self = std::to_string(getpid());
    const PublishCase cases[] = {
        {"service for this pid", true, self.c_str()},
        {"service finding the receiver", true, nullptr},
        {"embedded sampler", false, nullptr},  // every second by default
    };
    ScopedEnv base("KVO_BASE_DIR", KVO_TEST_LIB_DIR);
    for (const PublishCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv sampler("KVO_COMM_SAMPLER", c.service ? "0" : nullptr);
        PairRecorder pairs;
        CCollector collector;
        ASSERT_EQ(KVO_OK, collector.RegCollectData(RecordPair, &pairs));
        std::vector<const char*> argv = {service.c_str(), "--interval", "1", "--pid", c.pid};
        if (c.pid == nullptr) argv.resize(3);
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (c.service) {
            ASSERT_EQ(0, posix_spawn(&pid, argv[0], nullptr, nullptr,
                                     const_cast<char* const*>(argv.data()), environ));
        }
        bool got = pairs.WaitForCount(1, 10000);
        int status = 0;
        if (c.service) {
            kill(pid, SIGTERM);
            EXPECT_EQ(pid, waitpid(pid, &status, 0));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        collector.UnRegCollectData();
        ASSERT_TRUE(got);
        const CollectedPair pair = pairs.Items()[0];
        EXPECT_EQ(pair.sys.time, pair.proc.time);
        EXPECT_NE(kCollectorNoTime, pair.sys.time);
        EXPECT_GE(pair.proc.cpu, 0.0f);
        EXPECT_LE(pair.proc.cpu, pair.sys.cpu + 5.0f);
        EXPECT_LE(pair.sys.cpu, 100.0f);
    }
}

}  // namespace
