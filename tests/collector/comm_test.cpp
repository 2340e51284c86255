// libkvo_comm.so for real: delivery to the abstract address, the size and trust
// rules, one callback at a time, and unregister's wait for a running callback;
// its sampler's figures over a fake /proc.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "collector/commimpl.h"
#include "collector_test_util.h"
#include "commaddr.h"
#include "sampler.h"

namespace {

// Sends bytes to kvo_comm/<pid>/<name> from a fresh socket, any size: 0 or errno.
int Send(const char* name, const std::string& bytes, uint32_t pid = getpid()) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!CommAddress(pid, name, &address, &length)) return EINVAL;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ssize_t sent =
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), length);
    int err = sent < 0 ? errno : 0;
    close(fd);
    return err;
}

// The real comm library with its sampler off. Members outlive TearDown's last
// uninit, after which no callback runs.
class CommLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, PluginLoaderInit());
        ASSERT_EQ(KVO_OK, m_comm->comm_init());
    }
    void TearDown() override {
        if (m_comm->comm_uninit != nullptr) m_comm->comm_uninit();
        PluginLoaderUnInit();
    }
    static uint32_t Receive(comm_data* data, comm_data*, void* context) {
        auto* self = static_cast<CommLibrary*>(context);
        const char* text = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(KVO_OK, GetCommImpl()->comm_get_data(data, &text, &length));
        if (self->m_onMessage) self->m_onMessage();
        self->m_texts.Add(std::string(text, length));
        return KVO_OK;
    }
    void Register(const char* name) {
        ASSERT_EQ(KVO_OK, m_comm->comm_register(name, Receive, this));
    }

    ScopedEnv m_base{"KVO_BASE_DIR", KVO_TEST_LIB_DIR};
    ScopedEnv m_sampler{"KVO_COMM_SAMPLER", "0"};
    CommImpl* m_comm = GetCommImpl();
    std::function<void()> m_onMessage;
    Recorded<std::string> m_texts;
};

// Datagrams arrive in order, so once the last is delivered the oversized one
// before it has been dropped.
TEST_F(CommLibrary, DatagramsUpToTheSizeLimitAreDeliveredInOrder) {
    Register("test:basic");
    ASSERT_EQ(KVO_OK, m_comm->comm_init());  // a nested init: its uninit stops nothing
    ASSERT_EQ(KVO_OK, m_comm->comm_uninit());
    const std::string largest(kCommMaxMessage, 'L'), binary("a\0b\xff", 4);
    const std::string oversized(kCommMaxMessage + 1, 'X');
    for (const std::string& text : {std::string("hello"), largest, oversized, binary})
        EXPECT_EQ(0, Send("test:basic", text));
    ASSERT_TRUE(m_texts.WaitForCount(3, 5000));
    EXPECT_EQ((std::vector<std::string>{"hello", largest, binary}), m_texts.Items());
}

TEST_F(CommLibrary, CallbacksOfOneRegistrationNeverOverlap) {
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    m_onMessage = [&] {
        if (++running > 1) overlapped = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --running;
    };
    Register("test:serial");
    // Sent faster than the callbacks return, so deliveries queue up.
    for (int i = 0; i < 50; ++i) EXPECT_EQ(0, Send("test:serial", std::to_string(i)));
    ASSERT_TRUE(m_texts.WaitForCount(50, 20000));
    EXPECT_FALSE(overlapped);
}

TEST_F(CommLibrary, UnregisterWaitsForARunningCallback) {
    std::atomic<bool> entered{false}, finished{false};
    m_onMessage = [&] {
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        finished = true;
    };
    Register("test:wait");
    EXPECT_EQ(0, Send("test:wait", "slow"));
    while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(KVO_OK, m_comm->comm_unregister("test:wait"));
    EXPECT_TRUE(finished);
    EXPECT_EQ(ECONNREFUSED, Send("test:wait", "late"));
}

// As root: a datagram from a child that dropped to another uid is not delivered.
TEST_F(CommLibrary, UntrustedSenderIsNotDelivered) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to send as another uid";
    Register("test:trust");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(3);
        _exit(Send("test:trust", "untrusted", static_cast<uint32_t>(getppid())) == 0 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not send";
    EXPECT_EQ(0, Send("test:trust", "trusted"));
    ASSERT_TRUE(m_texts.WaitForCount(1, 5000));
    EXPECT_EQ(std::vector<std::string>{"trusted"}, m_texts.Items());
}

// /proc of process 42 as text; a missing file cannot be read.
struct FakeProc : SamplerEnv {
    std::map<std::string, std::string> files;
    int64_t nowMs = 0;
    bool ReadFile(const std::string& path, std::string* text) override {
        auto it = files.find(path);
        if (it == files.end()) return false;
        *text = it->second;
        return true;
    }
    int64_t MonotonicMs() override { return nowMs; }
    void LocalNow(struct tm* now) override {
        *now = tm{};
        now->tm_year = 121, now->tm_mon = 2, now->tm_mday = 4, now->tm_hour = 10;
    }
};

// One read: the first line of /proc/stat, the process's utime + stime as two
// fields, its io file (null: unreadable) and the clock.
struct ProcRead {
    const char* stat;
    uint64_t utime, stime;
    const char* io;
    int64_t ms;
};

void Load(FakeProc* proc, const ProcRead& read) {
    proc->files["/proc/stat"] = std::string(read.stat) + "\ncpu0 1 2 3 4\n";
    proc->files["/proc/42/stat"] = "42 (a) b) S 1 1 1 0 -1 4194304 5 0 0 0 " +
                                   std::to_string(read.utime) + " " + std::to_string(read.stime) +
                                   " 0 0 20 0 1\n";
    if (read.io != nullptr) {
        proc->files["/proc/42/io"] = read.io;
    } else {
        proc->files.erase("/proc/42/io");
    }
    proc->nowMs = read.ms;
}

// busy = total - idle - iowait (guest time is inside user), the process's share
// = 100 x its ticks / total ticks, io speeds per second; backwards counts 0.
TEST(Sampler, FiguresBetweenTwoReads) {
    const char* io1 = "rchar: 9\nread_bytes: 1000\nwrite_bytes: 0\n";
    const char* io2 = "rchar: 1\nread_bytes: 3000\nwrite_bytes: 500\n";
    const char *stat1 = "cpu  100 0 100 700 100 0 0 0 50 0",
               *stat2 = "cpu  200 0 200 1300 300 0 0 0 90 0";
    // clang-format off
    const struct { const char* name; ProcRead before, after; float sys, proc; int32_t ior, iow; } cases[] = {
        {"figures", {stat1, 10, 5, io1, 1000}, {stat2, 60, 55, io2, 1500}, 20, 10, 4000, 1000},
        {"io unreadable before", {stat1, 10, 5, nullptr, 1000}, {stat2, 10, 5, io2, 1500}, 20, 0, 0, 0},
        {"io unreadable after", {stat1, 10, 5, io1, 1000}, {stat2, 10, 5, nullptr, 1500}, 20, 0, 0, 0},
        {"backwards", {stat2, 60, 55, io2, 1000}, {stat1, 10, 5, io1, 1500}, 0, 0, 0, 0},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeProc proc;
        CSampler sampler(42, &proc);
        std::string system, process;
        Load(&proc, c.before);
        EXPECT_FALSE(sampler.Sample(&system, &process));  // the baseline
        EXPECT_TRUE(system.empty() && process.empty());
        Load(&proc, c.after);
        ASSERT_TRUE(sampler.Sample(&system, &process));
        EXPECT_FLOAT_EQ(c.sys, sampler.Figures().sysCpu);
        EXPECT_FLOAT_EQ(c.proc, sampler.Figures().procCpu);
        EXPECT_EQ(c.ior, sampler.Figures().iorspeed);
        EXPECT_EQ(c.iow, sampler.Figures().iowspeed);
        EXPECT_NE(std::string::npos, process.find("2021/3/4 10:0:0")) << process;
        proc.files.erase("/proc/42/stat");  // the process ended
        EXPECT_FALSE(sampler.Sample(&system, &process));
    }
}

}  // namespace
