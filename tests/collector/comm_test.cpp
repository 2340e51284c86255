// libkvo_comm.so for real: delivery to the receiver's socket in the private
// runtime directory, the size and trust rules, one callback at a time,
// unregister's wait for a running callback, other users kept out, and
// kvo-collectord and the embedded sampler publishing pairs with one time.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "collector/commimpl.h"
#include "collector_test_util.h"
#include "commaddr.h"
#include "platform/runtime_dir.h"

extern char** environ;

namespace {

std::string ReceiverPath(const char* name) { return CommReceiverPathOf(geteuid(), getpid(), name); }

// From a fresh datagram socket: sends bytes of any size (CommSendTo refuses
// oversized ones) to path or, with bind, binds there and leaves the socket
// unserved, as a killed process does. 0 or errno.
int SendTo(const std::string& path, const std::string& bytes, int flags = 0, bool bind = false) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!CommSocketAddress(path, &address, &length)) return EINVAL;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto* to = reinterpret_cast<sockaddr*>(&address);
    const bool done = bind ? ::bind(fd, to, length) == 0
                           : sendto(fd, bytes.data(), bytes.size(), flags, to, length) >= 0;
    const int err = done ? 0 : errno;
    close(fd);
    return err;
}
int Send(const char* name, const std::string& bytes) { return SendTo(ReceiverPath(name), bytes); }
int Bind(const std::string& path) { return SendTo(path, "", 0, true); }

// Runs body in a forked child with real uid ruid and effective uid euid (and
// the same gids); its exit code, 100 when the ids could not be set, or -1 when
// it did not exit.
int AsUser(uid_t ruid, uid_t euid, const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) {
        const bool as = setresgid(ruid, euid, euid) == 0 && setresuid(ruid, euid, euid) == 0;
        _exit(as ? body() : 100);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
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

    ScopedEnv m_base{"KVO_BASE_DIR", KVO_TEST_LIB_DIR};
    ScopedEnv m_sampler{"KVO_COMM_SAMPLER", "0"};
    CommImpl* m_comm = GetCommImpl();
    std::function<void()> m_onMessage;
    Recorded<std::string> m_texts;
};

// Datagrams arrive in order, so once the last is delivered the oversized one
// has been dropped. They are sent faster than the callbacks return, so
// deliveries queue up, yet never overlap.
TEST_F(CommLibrary, DatagramsUpToTheSizeLimitArriveInOrderOneCallbackAtATime) {
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    m_onMessage = [&] {
        if (++running > 1) overlapped = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --running;
    };
    ASSERT_EQ(KVO_OK, m_comm->comm_register("test:basic", Receive, this));
    ASSERT_EQ(KVO_OK, m_comm->comm_init());  // a nested init: its uninit stops nothing
    ASSERT_EQ(KVO_OK, m_comm->comm_uninit());
    std::vector<std::string> texts = {"hello",
                                      std::string(kCommMaxMessage, 'L'),
                                      std::string(kCommMaxMessage + 1, 'X'),
                                      {"a\0b\xff", 4}};
    for (int i = 0; i < 50; ++i) texts.push_back(std::to_string(i));
    for (const std::string& text : texts) EXPECT_EQ(0, Send("test:basic", text));
    texts.erase(texts.begin() + 2);  // the oversized one
    EXPECT_EQ(texts, m_texts.WaitFor(texts.size(), 20000));
    EXPECT_FALSE(overlapped);
}

// A socket left at our own name and the folder of a process that has ended do
// not stop a registration; a live receiver's name is not taken over; unregister
// waits for a running callback and removes the socket and the emptied folder.
TEST_F(CommLibrary, StaleSocketsGoBeforeBindingAndUnregisterWaitsForACallback) {
    std::atomic<bool> entered{false}, finished{false};
    m_onMessage = [&] {
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        finished = true;
    };
    std::string dir, why;
    ASSERT_TRUE(KvoRuntimeDir(&dir, &why)) << why;
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_EQ(ended, waitpid(ended, nullptr, 0));
    const std::string endedDir = dir + "/" + std::to_string(ended);
    const std::string pidDir = dir + "/" + std::to_string(getpid());
    ASSERT_EQ(0, mkdir(endedDir.c_str(), 0700));
    ASSERT_EQ(0, Bind(endedDir + "/test:stale"));
    ASSERT_TRUE(KvoPrivateDir(pidDir, &why)) << why;
    ASSERT_EQ(0, Bind(ReceiverPath("test:stale")));
    ASSERT_EQ(KVO_OK, m_comm->comm_register("test:stale", Receive, this));
    EXPECT_NE(0, access(endedDir.c_str(), F_OK));
    EXPECT_NE(KVO_OK, m_comm->comm_register("test:stale", Receive, this));
    EXPECT_EQ(0, Send("test:stale", "fresh"));
    while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(KVO_OK, m_comm->comm_unregister("test:stale"));
    EXPECT_TRUE(finished);
    EXPECT_EQ(std::vector<std::string>{"fresh"}, m_texts.Items());
    EXPECT_EQ(ENOENT, Send("test:stale", "late"));
    EXPECT_NE(0, access(pidDir.c_str(), F_OK));
}

// As root, forked children with real uid 65534: as another user (effective
// 65534) one can neither reach our receiver (one datagram or a flood) nor bind
// one of our names first, as the runtime directory keeps it out. With
// effective uid 0 one reaches the socket but is dropped, as the kernel's
// credentials carry the real uid; yet a host running so gets its own
// sampler's messages. Each child exits 0 when all went so.
TEST_F(CommLibrary, OnlyOurUidsAreDelivered) {
    if (geteuid() != 0 || getuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
    const std::string target = ReceiverPath("test:trust"), squat = ReceiverPath("test:squat");
    const auto floodAndSquat = [&] {
        int reached = 0;
        for (int i = 0; i < 5000; ++i) reached += SendTo(target, "flood", MSG_DONTWAIT) == 0;
        mkdir(squat.substr(0, squat.rfind('/')).c_str(), 0777);
        return std::min(99, reached + (Bind(squat) == 0));
    };
    const auto hearOwn = [&] {
        setenv("KVO_COMM_SAMPLER", "1", 1);
        setenv("KVO_COMM_INTERVAL", "1", 1);
        if (m_comm->comm_init() != KVO_OK) return 101;
        if (m_comm->comm_register("test:own", Receive, this) != KVO_OK) return 102;
        const bool heard = m_texts.WaitFor(2, 8000).size() >= 2;  // a system and a process message
        m_comm->comm_unregister("test:own");
        return heard ? 0 : 103;
    };
    EXPECT_EQ(0, AsUser(65534, 0, hearOwn)) << "effective root hears its own";
    // Only now: ThreadSanitizer lets no child of a threaded process start threads.
    ASSERT_EQ(KVO_OK, m_comm->comm_register("test:trust", Receive, this));
    EXPECT_EQ(0, AsUser(65534, 65534, floodAndSquat)) << "another user floods and squats";
    EXPECT_EQ(0, AsUser(65534, 0, [&] { return SendTo(target, "x"); })) << "effective root sends";
    ASSERT_EQ(KVO_OK, m_comm->comm_register("test:squat", Receive, this));
    EXPECT_EQ(0, Send("test:trust", "trusted"));
    EXPECT_EQ(0, Send("test:squat", "ours"));
    std::vector<std::string> texts = m_texts.WaitFor(2, 5000);  // two threads: either order
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ((std::vector<std::string>{"ours", "trusted"}), texts);
}

// As root, a child that becomes a spare uid registers while its runtime
// directory /tmp/kvo_comm-<uid> is a symbolic link, even to a private folder:
// refused, with an ERROR line that names it.
TEST_F(CommLibrary, ARuntimeDirectoryThatIsALinkIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to prepare another uid's directory";
    const uid_t uid = static_cast<uid_t>(40000 + getpid() % 20000);  // no account, no /run/user
    const std::string dir = kCommTmpDirPrefix + std::to_string(uid), target = dir + ".target";
    ASSERT_EQ(0, system(("rm -rf " + dir + " " + target).c_str()));
    ASSERT_EQ(0, mkdir(target.c_str(), 0700));
    ASSERT_EQ(0, chown(target.c_str(), uid, uid));
    ASSERT_EQ(0, symlink(target.c_str(), dir.c_str()));
    char log[] = "/tmp/kvo_comm_test_log_XXXXXX";
    const int logFd = mkstemp(log);
    ASSERT_GE(logFd, 0);
    EXPECT_EQ(0, AsUser(uid, uid, [&] {
                  unsetenv("XDG_RUNTIME_DIR");
                  dup2(logFd, STDERR_FILENO);
                  if (m_comm->comm_init() != KVO_OK) return 101;
                  return m_comm->comm_register("test:dir", Receive, this) == KVO_OK ? 102 : 0;
              }));
    const std::string text = ReadFile(log);
    close(logFd);
    unlink(log);
    EXPECT_NE(std::string::npos, text.find("[ERROR]")) << text;
    EXPECT_NE(std::string::npos, text.find(dir + ": is a symbolic link")) << text;
    system(("rm -rf " + dir + " " + target).c_str());
}

// kvo-collectord, for this pid or finding the receiver itself, and the
// embedded sampler (every second by default) publish pairs to a collector.
TEST(Publishing, ServiceAndEmbeddedSamplerDeliverMatchingPairs) {
    const std::string service = std::string(KVO_TEST_BIN_DIR) + "/kvo-collectord";
    const std::string self = std::to_string(getpid());
    const std::vector<const char*> cases[] = {
        {service.c_str(), "--interval", "1", "--pid", self.c_str(), nullptr},
        {service.c_str(), "--interval", "1", nullptr},
        {}};
    ScopedEnv base("KVO_BASE_DIR", KVO_TEST_LIB_DIR);
    for (const std::vector<const char*>& argv : cases) {
        SCOPED_TRACE(argv.empty() ? "embedded sampler" : std::to_string(argv.size()) + " args");
        ScopedEnv sampler("KVO_COMM_SAMPLER", argv.empty() ? nullptr : "0");
        PairRecorder pairs;
        CCollector collector;
        ASSERT_EQ(KVO_OK, collector.RegCollectData(RecordPair, &pairs));
        pid_t pid = -1;
        if (!argv.empty()) {
            ASSERT_EQ(0, posix_spawn(&pid, argv[0], nullptr, nullptr,
                                     const_cast<char* const*>(argv.data()), environ));
        }
        const std::vector<CollectedPair> got = pairs.WaitFor(1, 10000);
        int status = 0;
        if (pid != -1) {
            kill(pid, SIGTERM);
            EXPECT_EQ(pid, waitpid(pid, &status, 0));
            EXPECT_EQ(0, status) << "the service ends cleanly on SIGTERM";
        }
        collector.UnRegCollectData();
        ASSERT_FALSE(got.empty());
        const CollectedPair& pair = got[0];
        EXPECT_EQ(pair.sys.time, pair.proc.time);
        EXPECT_NE(kCollectorNoTime, pair.sys.time);
        EXPECT_GE(pair.proc.cpu, 0.0f);
        EXPECT_LE(pair.proc.cpu, pair.sys.cpu + 5.0f);
        EXPECT_LE(pair.sys.cpu, 100.0f);
    }
}

}  // namespace
