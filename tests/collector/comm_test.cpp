// libkvo_comm.so for real: delivery to the abstract address, the size and trust
// rules, one callback at a time, and unregister's wait for a running callback.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "collector/commimpl.h"
#include "collector_test_util.h"
#include "commaddr.h"

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

}  // namespace
