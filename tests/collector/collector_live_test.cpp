// Real CPU figures: the embedded sampler and kvo-collectord report what a
// burning thread costs, and each process's own share. Loose bands: the machine
// is shared.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "collector/collector.h"
#include "collector_test_util.h"

extern char** environ;

namespace {

// Percent of the machine that one fully busy processor amounts to.
float OneCpuShare() {
    return 100.0f / static_cast<float>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
}

// Keeps one thread busy for `seconds`.
void Burn(double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    volatile uint64_t sink = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 100000; ++i) sink = sink + static_cast<uint64_t>(i);
    }
}

float MaxProcCpu(const std::vector<CollectedPair>& pairs, size_t from) {
    float most = 0.0f;
    for (size_t i = from; i < pairs.size(); ++i) most = std::max(most, pairs[i].proc.cpu);
    return most;
}

TEST(CollectorLive, EmbeddedSamplerProcessFigureRisesWhileBurning) {
    ScopedEnv base("KVO_BASE_DIR", BuildLibDir().c_str());
    ScopedEnv sampler("KVO_COMM_SAMPLER", nullptr);
    ScopedEnv interval("KVO_COMM_INTERVAL", "1");
    PairRecorder recorder;
    CCollector collector;
    ASSERT_EQ(KVO_OK, collector.RegCollectData(PairRecorder::Cb, &recorder));
    ASSERT_TRUE(recorder.WaitForCount(2, 5000)) << "no samples from the embedded sampler";
    size_t idleCount = recorder.Pairs().size();
    std::thread burner(Burn, 4.5);
    burner.join();
    recorder.WaitForCount(idleCount + 4, 3000);
    collector.UnRegCollectData();

    std::vector<CollectedPair> pairs = recorder.Pairs();
    ASSERT_GE(pairs.size(), idleCount + 3);
    for (const CollectedPair& p : pairs) {
        EXPECT_EQ(p.sys.time, p.proc.time);
        EXPECT_LE(p.proc.cpu, p.sys.cpu + 5.0f);
    }
    float idle =
        MaxProcCpu(std::vector<CollectedPair>(pairs.begin(), pairs.begin() + idleCount), 0);
    float busy = MaxProcCpu(pairs, idleCount);
    RecordProperty("idle_proc_cpu", std::to_string(idle));
    RecordProperty("busy_proc_cpu", std::to_string(busy));
    EXPECT_GT(busy, 0.2f * OneCpuShare()) << "idle " << idle;
    EXPECT_GT(busy, idle);
}

// A child registers a receiver and reports the process figures it gets; the
// service serves both processes while only the parent burns.
pid_t StartIdleReceiver(int reportFd) {
    pid_t child = fork();
    if (child != 0) return child;
    static int s_fd = reportFd;
    CCollector collector;
    auto report = [](_SysInfo*, _ProcInfo* proc, void*) {
        char line[32];
        int n = snprintf(line, sizeof(line), "%f\n", static_cast<double>(proc->cpu));
        if (write(s_fd, line, static_cast<size_t>(n)) < 0) _exit(5);
    };
    if (collector.RegCollectData(report, nullptr) != KVO_OK) _exit(4);
    for (;;) pause();
}

std::vector<float> ReadReports(int fd) {
    std::string text;
    char chunk[256];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof(chunk))) > 0) text.append(chunk, static_cast<size_t>(n));
    std::vector<float> values;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) break;
        values.push_back(std::stof(text.substr(pos, eol - pos)));
        pos = eol + 1;
    }
    return values;
}

TEST(CollectorLive, CollectordFiguresAreThoseOfEachServedProcess) {
    ScopedEnv base("KVO_BASE_DIR", BuildLibDir().c_str());
    ScopedEnv sampler("KVO_COMM_SAMPLER", "0");
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    pid_t child = StartIdleReceiver(fds[1]);  // before any thread of ours exists
    ASSERT_GT(child, 0);
    close(fds[1]);

    PairRecorder recorder;
    CCollector collector;
    ASSERT_EQ(KVO_OK, collector.RegCollectData(PairRecorder::Cb, &recorder));
    std::string service = BuildBinDir() + "/kvo-collectord";
    std::string self = std::to_string(getpid()), other = std::to_string(child);
    char* argv[] = {&service[0],
                    const_cast<char*>("--interval"),
                    const_cast<char*>("1"),
                    const_cast<char*>("--pid"),
                    &self[0],
                    const_cast<char*>("--pid"),
                    &other[0],
                    nullptr};
    pid_t pid = -1;
    ASSERT_EQ(0, posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    Burn(4.5);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    collector.UnRegCollectData();
    kill(child, SIGKILL);
    waitpid(child, &status, 0);

    std::vector<float> childCpu = ReadReports(fds[0]);
    close(fds[0]);
    float own = MaxProcCpu(recorder.Pairs(), 0);
    ASSERT_GE(recorder.Pairs().size(), 3u);
    ASSERT_GE(childCpu.size(), 3u);
    float idle = *std::max_element(childCpu.begin(), childCpu.end());
    RecordProperty("burning_proc_cpu", std::to_string(own));
    RecordProperty("idle_child_proc_cpu", std::to_string(idle));
    EXPECT_GT(own, 0.2f * OneCpuShare());
    EXPECT_LT(idle, 0.05f * OneCpuShare() + 1.0f);
    EXPECT_GT(own, 2.0f * idle);
}

}  // namespace
