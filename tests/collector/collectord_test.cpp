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
    const char* sampler;            // KVO_COMM_SAMPLER; null runs the embedded one
    std::vector<std::string> args;  // of kvo-collectord, when it runs
};

TEST(Publishing, ServiceAndEmbeddedSamplerDeliverMatchingPairs) {
    const std::string service = std::string(KVO_TEST_BIN_DIR) + "/kvo-collectord";
    const PublishCase cases[] = {
        {"service for this pid",
         "0",
         {service, "--interval", "1", "--pid", std::to_string(getpid())}},
        {"service finding the receiver", "0", {service, "--interval", "1"}},
        {"embedded sampler", nullptr, {}},
    };
    ScopedEnv base("KVO_BASE_DIR", KVO_TEST_LIB_DIR);
    ScopedEnv interval("KVO_COMM_INTERVAL", "1");
    for (const PublishCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv sampler("KVO_COMM_SAMPLER", c.sampler);
        PairRecorder pairs;
        CCollector collector;
        ASSERT_EQ(KVO_OK, collector.RegCollectData(RecordPair, &pairs));
        std::vector<char*> argv;
        for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (!c.args.empty()) {
            ASSERT_EQ(0, posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ));
        }
        bool got = pairs.WaitForCount(1, 10000);
        int status = 0;
        if (pid > 0) {
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
