// libkvo_comm.so for real: abstract datagram sockets, the size and trust rules,
// one callback at a time per registration, and the waits of unregister.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "collector/commimpl.h"
#include "collector_test_util.h"
#include "commaddr.h"

namespace {

// Sends bytes to "\0kvo_comm/<pid>/<name>", addressed by hand; 0 or errno.
int SendRaw(const std::string& name, const std::string& bytes, uint32_t pid = getpid()) {
    std::string path = std::string(1, '\0') + "kvo_comm/" + std::to_string(pid) + "/" + name;
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    ssize_t n = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address),
                       static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size()));
    int err = n < 0 ? errno : 0;
    close(fd);
    return err;
}

// A name stopped from inside a callback is freed when its thread ends, soon after.
bool NameFreed(const std::string& name) {
    for (int i = 0; i < 5000; ++i) {
        if (SendRaw(name, "probe") == ECONNREFUSED) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Loads the real comm library with the sampler off; unloads it at the end.
class CommLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, PluginLoaderInit());
        m_comm = GetCommImpl();
        ASSERT_EQ(KVO_OK, m_comm->comm_init());
    }
    void TearDown() override {
        if (m_comm != nullptr && m_comm->comm_uninit != nullptr) m_comm->comm_uninit();
        PluginLoaderUnInit();
    }

    ScopedEnv m_base{"KVO_BASE_DIR", BuildLibDir().c_str()};
    ScopedEnv m_sampler{"KVO_COMM_SAMPLER", "0"};
    CommImpl* m_comm = nullptr;
};

TEST_F(CommLibrary, DatagramsToTheAbstractAddressReachTheCallback) {
    Recorder recorder;
    ScopedReceiver receiver("test:basic", Recorder::Cb, &recorder);
    ASSERT_EQ(KVO_OK, receiver.result());
    const std::string largest(kCommMaxMessage, 'L');
    std::string binary("a\0b\xff", 4);
    EXPECT_EQ(0, SendRaw("test:basic", "hello"));
    EXPECT_EQ(0, SendRaw("test:basic", largest));
    EXPECT_EQ(0, SendRaw("test:basic", binary));
    ASSERT_TRUE(recorder.WaitForCount(3, 5000));
    std::vector<std::string> texts = recorder.Texts();
    EXPECT_EQ("hello", texts[0]);
    EXPECT_EQ(largest, texts[1]);
    EXPECT_EQ(binary, texts[2]);
    // The receiver shows in /proc/net/unix the way kvo-collectord looks for it.
    std::ifstream in("/proc/net/unix");
    std::stringstream text;
    text << in.rdbuf();
    std::vector<uint32_t> pids = ParseReceiverPids(text.str(), "test:basic");
    EXPECT_NE(pids.end(), std::find(pids.begin(), pids.end(), static_cast<uint32_t>(getpid())));
}

TEST_F(CommLibrary, OversizedDatagramIsDropped) {
    Recorder recorder;
    ScopedReceiver receiver("test:size", Recorder::Cb, &recorder);
    ASSERT_EQ(KVO_OK, receiver.result());
    EXPECT_EQ(0, SendRaw("test:size", std::string(kCommMaxMessage + 1, 'X')));
    EXPECT_EQ(0, SendRaw("test:size", "after"));
    ASSERT_TRUE(recorder.WaitForCount(1, 5000));
    EXPECT_FALSE(recorder.WaitForCount(2, 200));
    EXPECT_EQ(std::vector<std::string>{"after"}, recorder.Texts());
}

TEST_F(CommLibrary, CallbacksOfOneRegistrationNeverOverlap) {
    Recorder recorder;
    std::atomic<int> running{0}, most{0};
    recorder.onMessage = [&](comm_data*, const std::string&) {
        int now = ++running;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --running;
    };
    ScopedReceiver receiver("test:serial", Recorder::Cb, &recorder);
    ASSERT_EQ(KVO_OK, receiver.result());
    constexpr int kSenders = 4, kEach = 25;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([s] {
            for (int i = 0; i < kEach; ++i) {
                // A full queue refuses a datagram for a moment; try again.
                while (SendRaw("test:serial", std::to_string(s) + ":" + std::to_string(i)) ==
                       EAGAIN) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    }
    for (std::thread& t : senders) t.join();
    ASSERT_TRUE(recorder.WaitForCount(kSenders * kEach, 20000));
    EXPECT_EQ(1, most.load());
}

TEST_F(CommLibrary, UnregisterWaitsForARunningCallback) {
    Recorder recorder;
    std::atomic<bool> entered{false}, finished{false};
    recorder.onMessage = [&](comm_data*, const std::string&) {
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        finished = true;
    };
    ScopedReceiver receiver("test:wait", Recorder::Cb, &recorder);
    ASSERT_EQ(KVO_OK, receiver.result());
    EXPECT_EQ(0, SendRaw("test:wait", "slow"));
    while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(KVO_OK, m_comm->comm_unregister("test:wait"));
    EXPECT_TRUE(finished);
    EXPECT_EQ(ECONNREFUSED, SendRaw("test:wait", "late"));
    EXPECT_EQ(KVO_E_FAIL, m_comm->comm_unregister("test:wait"));
    // The name is free again.
    ScopedReceiver again("test:wait", Recorder::Cb, &recorder);
    ASSERT_EQ(KVO_OK, again.result());
}

TEST_F(CommLibrary, UnregisterFromInsideItsOwnCallbackEndsDeliveries) {
    Recorder recorder;
    std::atomic<uint32_t> result{0xffffffffu};
    recorder.onMessage = [&](comm_data*, const std::string&) {
        result = GetCommImpl()->comm_unregister("test:self");
    };
    ScopedReceiver receiver("test:self", Recorder::Cb, &recorder);
    ASSERT_EQ(KVO_OK, receiver.result());
    EXPECT_EQ(0, SendRaw("test:self", "one"));
    ASSERT_TRUE(recorder.WaitForCount(1, 5000));
    EXPECT_EQ(KVO_OK, result.load());
    SendRaw("test:self", "two");  // may still be queued, never delivered
    EXPECT_TRUE(NameFreed("test:self"));
    EXPECT_FALSE(recorder.WaitForCount(2, 100));
}

// From inside another registration's callback, unregister still waits for the
// running callback (no join can do it there).
TEST_F(CommLibrary, UnregisterFromAnotherCallbackWaitsForTheRunningOne) {
    std::atomic<bool> slowEntered{false}, slowFinished{false}, finishedAtReturn{false};
    Recorder slow, other;
    slow.onMessage = [&](comm_data*, const std::string&) {
        slowEntered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        slowFinished = true;
    };
    other.onMessage = [&](comm_data*, const std::string&) {
        while (!slowEntered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        GetCommImpl()->comm_unregister("test:slow");
        finishedAtReturn = slowFinished.load();
    };
    ScopedReceiver slowReceiver("test:slow", Recorder::Cb, &slow);
    ASSERT_EQ(KVO_OK, slowReceiver.result());
    ScopedReceiver otherReceiver("test:other", Recorder::Cb, &other);
    ASSERT_EQ(KVO_OK, otherReceiver.result());
    EXPECT_EQ(0, SendRaw("test:slow", "work"));
    EXPECT_EQ(0, SendRaw("test:other", "stop it"));
    ASSERT_TRUE(other.WaitForCount(1, 10000));
    EXPECT_TRUE(finishedAtReturn.load());
}

// Two callbacks that unregister each other at the same moment both return.
TEST_F(CommLibrary, CallbacksUnregisteringEachOtherDoNotDeadlock) {
    std::mutex lock;
    std::condition_variable cv;
    int arrived = 0;
    Recorder a, b;
    auto meetThenUnregister = [&](const char* other) {
        {
            std::unique_lock<std::mutex> guard(lock);
            ++arrived;
            cv.notify_all();
            cv.wait_for(guard, std::chrono::seconds(5), [&] { return arrived == 2; });
        }
        GetCommImpl()->comm_unregister(other);
    };
    a.onMessage = [&](comm_data*, const std::string&) { meetThenUnregister("test:b"); };
    b.onMessage = [&](comm_data*, const std::string&) { meetThenUnregister("test:a"); };
    ScopedReceiver receiverA("test:a", Recorder::Cb, &a);
    ASSERT_EQ(KVO_OK, receiverA.result());
    ScopedReceiver receiverB("test:b", Recorder::Cb, &b);
    ASSERT_EQ(KVO_OK, receiverB.result());
    EXPECT_EQ(0, SendRaw("test:a", "x"));
    EXPECT_EQ(0, SendRaw("test:b", "y"));
    EXPECT_TRUE(a.WaitForCount(1, 10000));
    EXPECT_TRUE(b.WaitForCount(1, 10000));
    EXPECT_TRUE(NameFreed("test:a"));
    EXPECT_TRUE(NameFreed("test:b"));
}

TEST_F(CommLibrary, RegistrationNeedsInitAValidAndUniqueName) {
    Recorder recorder;
    EXPECT_EQ(KVO_E_INVALID_PARAM, m_comm->comm_register(nullptr, Recorder::Cb, &recorder));
    EXPECT_EQ(KVO_E_INVALID_PARAM, m_comm->comm_register("", Recorder::Cb, &recorder));
    EXPECT_EQ(KVO_E_INVALID_PARAM, m_comm->comm_register("test:x", nullptr, &recorder));
    EXPECT_EQ(KVO_E_INVALID_PARAM,
              m_comm->comm_register(std::string(120, 'n').c_str(), Recorder::Cb, &recorder));
    ScopedReceiver receiver("test:x", Recorder::Cb, &recorder);
    ASSERT_EQ(KVO_OK, receiver.result());
    EXPECT_EQ(KVO_E_FAIL, m_comm->comm_register("test:x", Recorder::Cb, &recorder));
    // A second init is counted: one uninit keeps the registrations.
    ASSERT_EQ(KVO_OK, m_comm->comm_init());
    EXPECT_EQ(KVO_OK, m_comm->comm_uninit());
    EXPECT_EQ(0, SendRaw("test:x", "still here"));
    ASSERT_TRUE(recorder.WaitForCount(1, 5000));
    // The last uninit ends every registration; registering then needs init again.
    EXPECT_EQ(KVO_OK, m_comm->comm_uninit());
    EXPECT_EQ(ECONNREFUSED, SendRaw("test:x", "gone"));
    EXPECT_EQ(KVO_E_FAIL, m_comm->comm_register("test:y", Recorder::Cb, &recorder));
    EXPECT_EQ(KVO_E_FAIL, m_comm->comm_uninit());
    ASSERT_EQ(KVO_OK, m_comm->comm_init());  // for TearDown's uninit
}

TEST_F(CommLibrary, HeapMessagesTravelBySendAndPost) {
    Recorder recorder;
    std::atomic<uint32_t> deleteDelivered{0}, setDelivered{0};
    // A delivered message belongs to the library: it is neither freed nor changed.
    recorder.onMessage = [&](comm_data* data, const std::string&) {
        deleteDelivered = GetCommImpl()->comm_delete_data(data);
        setDelivered = GetCommImpl()->comm_set_data(data, "x", 1);
    };
    ScopedReceiver receiver("test:heap", Recorder::Cb, &recorder);
    ASSERT_EQ(KVO_OK, receiver.result());
    comm_data* data = nullptr;
    ASSERT_EQ(KVO_OK, m_comm->comm_new_data(&data));
    const char* text = nullptr;
    uint32_t length = 99;
    ASSERT_EQ(KVO_OK, m_comm->comm_get_data(data, &text, &length));
    EXPECT_EQ(0u, length);
    ASSERT_EQ(KVO_OK, m_comm->comm_set_data(data, "ping", 4));
    EXPECT_EQ(KVO_OK, m_comm->comm_send(0, "test:heap", data));
    EXPECT_EQ(KVO_OK, m_comm->comm_post(static_cast<uint32_t>(getpid()), "test:heap", data));
    ASSERT_TRUE(recorder.WaitForCount(2, 5000));
    EXPECT_EQ((std::vector<std::string>{"ping", "ping"}), recorder.Texts());
    EXPECT_EQ(KVO_E_INVALID_PARAM, deleteDelivered.load());
    EXPECT_EQ(KVO_E_INVALID_PARAM, setDelivered.load());
    EXPECT_EQ(KVO_E_FAIL, m_comm->comm_post(0, "test:nobody", data));
    EXPECT_EQ(KVO_E_FAIL, m_comm->comm_send(0, "test:nobody", data));
    std::string tooLong(kCommMaxMessage + 1, 'x');
    EXPECT_EQ(KVO_E_INVALID_PARAM,
              m_comm->comm_set_data(data, tooLong.data(), static_cast<uint32_t>(tooLong.size())));
    EXPECT_EQ(KVO_E_INVALID_PARAM, m_comm->comm_send(0, nullptr, data));
    EXPECT_EQ(KVO_OK, m_comm->comm_delete_data(data));
    EXPECT_EQ(KVO_E_INVALID_PARAM, m_comm->comm_delete_data(nullptr));
}

// As root: a datagram from a child that dropped to another uid is not delivered.
TEST_F(CommLibrary, UntrustedSenderIsNotDelivered) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to send as another uid";
    Recorder recorder;
    ScopedReceiver receiver("test:trust", Recorder::Cb, &recorder);
    ASSERT_EQ(KVO_OK, receiver.result());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(3);
        _exit(SendRaw("test:trust", "untrusted", static_cast<uint32_t>(getppid())) == 0 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status)) << "the child could not drop its uid or send";
    EXPECT_EQ(0, SendRaw("test:trust", "trusted"));
    ASSERT_TRUE(recorder.WaitForCount(1, 5000));
    EXPECT_FALSE(recorder.WaitForCount(2, 200));
    EXPECT_EQ(std::vector<std::string>{"trusted"}, recorder.Texts());
}

}  // namespace
