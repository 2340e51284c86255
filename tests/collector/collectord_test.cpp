// kvo-collectord publishes to the receivers of the processes it is given or finds.
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

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

int ExitCode(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string Collectord() { return BuildBinDir() + "/kvo-collectord"; }

// A CCollector registered with the real comm library, its own sampler off.
class CollectordTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(KVO_OK, m_collector.RegCollectData(PairRecorder::Cb, &m_pairs));
    }
    void TearDown() override { m_collector.UnRegCollectData(); }

    // Runs the service until the receiver has a pair (or 10 s), then stops it.
    void RunUntilPair(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {Collectord(), "--interval", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_t service = Spawn(args);
        ASSERT_GT(service, 0);
        bool got = m_pairs.WaitForCount(1, 10000);
        kill(service, SIGTERM);
        EXPECT_EQ(0, ExitCode(service));
        ASSERT_TRUE(got);
        CollectedPair pair = m_pairs.Pairs()[0];
        EXPECT_EQ(pair.sys.time, pair.proc.time);
        EXPECT_GE(pair.sys.cpu, 0.0f);
        EXPECT_LE(pair.sys.cpu, 100.0f);
        EXPECT_GE(pair.proc.cpu, 0.0f);
        EXPECT_LE(pair.proc.cpu, pair.sys.cpu + 5.0f);
    }

    ScopedEnv m_base{"KVO_BASE_DIR", BuildLibDir().c_str()};
    ScopedEnv m_sampler{"KVO_COMM_SAMPLER", "0"};
    PairRecorder m_pairs;
    CCollector m_collector;
};

TEST_F(CollectordTest, PublishesToTheReceiverOfAGivenPid) {
    RunUntilPair({"--pid", std::to_string(getpid())});
}

TEST_F(CollectordTest, FindsTheReceiverWithoutAPid) { RunUntilPair({}); }

TEST(Collectord, RefusesBadArguments) {
    const std::vector<std::vector<std::string>> bad = {
        {"--interval", "0"}, {"--interval", "601"}, {"--interval"}, {"--pid", "abc"},
        {"--pid", "0"},      {"--pid=-5"},          {"--bogus"}};
    for (const auto& extra : bad) {
        std::vector<std::string> args = {Collectord()};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_t service = Spawn(args);
        ASSERT_GT(service, 0);
        EXPECT_EQ(2, ExitCode(service)) << extra[0];
    }
    pid_t help = Spawn({Collectord(), "--help"});
    EXPECT_EQ(0, ExitCode(help));
}

}  // namespace
