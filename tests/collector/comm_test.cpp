// libkvo_comm.so for real: delivery to the receiver's socket in the private
// runtime directory, the size and trust rules, one callback at a time,
// unregister's wait for a running callback, and other users kept out.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
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

namespace {

std::string ReceiverPath(const char* name, uint32_t pid = getpid()) {
    return CommReceiverPathOf(geteuid(), pid, name);
}

// A fresh datagram socket and the address of path.
int Socket(const std::string& path, sockaddr_un* address, socklen_t* length) {
    return CommSocketAddress(path, address, length) ? socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)
                                                    : -1;
}

// Sends bytes to the socket at path from a fresh socket, any size: 0 or errno.
int SendTo(const std::string& path, const std::string& bytes, int flags = 0) {
    sockaddr_un address;
    socklen_t length = 0;
    int fd = Socket(path, &address, &length);
    ssize_t sent = sendto(fd, bytes.data(), bytes.size(), flags,
                          reinterpret_cast<sockaddr*>(&address), length);
    int err = sent < 0 ? errno : 0;
    close(fd);
    return err;
}
int Send(const char* name, const std::string& bytes) { return SendTo(ReceiverPath(name), bytes); }

// Leaves a socket file at path with nobody receiving on it, as a killed process does.
void LeaveDeadSocket(const std::string& path) {
    sockaddr_un address;
    socklen_t length = 0;
    int fd = Socket(path, &address, &length);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), length)) << strerror(errno);
    close(fd);
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Runs body in a forked child; its exit code, or -1 when it did not exit.
int InChild(const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A uid that no account and no /run/user folder is likely to have.
uid_t SpareUid() { return static_cast<uid_t>(40000 + getpid() % 20000); }

bool DropTo(uid_t uid) { return setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0; }

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
    // The socket and the now empty folder of this process are gone.
    EXPECT_EQ(ENOENT, Send("test:wait", "late"));
    EXPECT_FALSE(Exists(KvoRuntimeDirOf(geteuid()) + "/" + std::to_string(getpid())));
}

// A socket left at our own name and the folder of a process that has ended
// do not stop a registration.
TEST_F(CommLibrary, SocketsOfEndedProcessesAreRemovedBeforeBinding) {
    std::string dir, why;
    ASSERT_TRUE(KvoRuntimeDir(&dir, &why)) << why;
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_EQ(ended, waitpid(ended, nullptr, 0));
    const std::string endedDir = dir + "/" + std::to_string(ended);
    ASSERT_EQ(0, mkdir(endedDir.c_str(), 0700));
    LeaveDeadSocket(endedDir + "/test:stale");
    ASSERT_TRUE(KvoPrivateDir(dir + "/" + std::to_string(getpid()), &why)) << why;
    LeaveDeadSocket(ReceiverPath("test:stale"));
    Register("test:stale");
    EXPECT_FALSE(Exists(endedDir));
    EXPECT_EQ(0, Send("test:stale", "fresh"));
    ASSERT_TRUE(m_texts.WaitForCount(1, 5000));
    // A live receiver's name is not taken over.
    EXPECT_NE(KVO_OK, m_comm->comm_register("test:stale", Receive, this));
}

// As root, a child that becomes another user can neither reach our receiver
// (one datagram or a flood) nor bind one of our names before we do: the
// runtime directory keeps it out. One that reaches the socket (effective uid 0)
// under another real uid is dropped, as the kernel's credentials carry the real uid.
TEST_F(CommLibrary, AnotherUserCanNeitherSendNorFloodNorTakeTheName) {
    if (geteuid() != 0 || getuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
    Register("test:trust");
    const std::string target = ReceiverPath("test:trust");
    const std::string squat = ReceiverPath("test:squat");
    int reached = InChild([&] {
        if (!DropTo(65534)) return 100;
        int reached = 0;
        for (int i = 0; i < 5000; ++i) reached += SendTo(target, "flood", MSG_DONTWAIT) == 0;
        sockaddr_un address;
        socklen_t length = 0;
        int fd = Socket(squat, &address, &length);
        mkdir(squat.substr(0, squat.rfind('/')).c_str(), 0777);
        reached += bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
        return reached > 99 ? 99 : reached;
    });
    EXPECT_EQ(0, reached) << "datagrams or binds of another user that got through";
    EXPECT_EQ(0, InChild([&] { return setresuid(65534, 0, 0) == 0 ? SendTo(target, "x") : 100; }))
        << "the child of another real uid could not send";
    Register("test:squat");
    EXPECT_EQ(0, Send("test:trust", "trusted"));
    EXPECT_EQ(0, Send("test:squat", "ours"));
    ASSERT_TRUE(m_texts.WaitForCount(2, 5000));
    std::vector<std::string> texts = m_texts.Items();  // two threads: either order
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ((std::vector<std::string>{"ours", "trusted"}), texts);
}

std::atomic<int> g_childMessages{0};
uint32_t CountInChild(comm_data*, comm_data*, void*) {
    ++g_childMessages;
    return KVO_OK;
}

// A host whose real uid is 65534 and effective uid 0 gets its own sampler's
// messages and its own posts.
TEST_F(CommLibrary, HostWithAnotherRealUidReceivesItsOwnSamples) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run with another real uid";
    EXPECT_EQ(0, InChild([&] {
                  if (setresuid(65534, 0, 0) != 0) return 100;
                  setenv("KVO_COMM_SAMPLER", "1", 1);
                  setenv("KVO_COMM_INTERVAL", "1", 1);
                  if (m_comm->comm_init() != KVO_OK) return 101;
                  if (m_comm->comm_register("test:own", CountInChild, nullptr) != KVO_OK)
                      return 102;
                  comm_data* data = nullptr;
                  m_comm->comm_new_data(&data);
                  m_comm->comm_set_data(data, "own", 3);
                  uint32_t posted = m_comm->comm_post(0, "test:own", data);
                  m_comm->comm_delete_data(data);
                  // One post, then a system and a process message each second.
                  for (int waited = 0; waited < 8000 && g_childMessages < 3; waited += 10)
                      usleep(10000);
                  m_comm->comm_unregister("test:own");
                  return posted != KVO_OK ? 103 : (g_childMessages >= 3 ? 0 : 104);
              }));
}

// As root, children that become a spare uid register with a runtime
// directory (/tmp/kvo_comm-<uid>) prepared in ways another user could.
TEST_F(CommLibrary, ARuntimeDirectoryOthersCouldReachIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to prepare another uid's directory";
    const uid_t uid = SpareUid();
    const std::string dir = kCommTmpDirPrefix + std::to_string(uid);
    const std::string target = dir + ".target";
    const struct {
        const char* what;
        mode_t mode;     // 0: no directory prepared; S_IFLNK: a link to a private one
        bool ownedByUs;  // else owned by root
        const char* reason;
    } cases[] = {
        {"missing: created", 0, true, nullptr},
        {"owned by root", 0700, false, "is owned by uid 0, not "},
        {"open to others", 0755, true, "is open to group or others (mode 0755)"},
        {"open to group", 0770, true, "is open to group or others (mode 0770)"},
        {"a symbolic link", S_IFLNK, true, "is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, system(("rm -rf " + dir + " " + target).c_str()));
        if (c.mode == S_IFLNK) {
            ASSERT_EQ(0, mkdir(target.c_str(), 0700));
            ASSERT_EQ(0, chown(target.c_str(), uid, uid));
            ASSERT_EQ(0, symlink(target.c_str(), dir.c_str()));
        } else if (c.mode != 0) {
            ASSERT_EQ(0, mkdir(dir.c_str(), c.mode));
            ASSERT_EQ(0, chmod(dir.c_str(), c.mode));
            ASSERT_EQ(0, c.ownedByUs ? chown(dir.c_str(), uid, uid) : 0);
        }
        char log[] = "/tmp/kvo_comm_test_log_XXXXXX";
        int logFd = mkstemp(log);
        ASSERT_GE(logFd, 0);
        int rc = InChild([&] {
            unsetenv("XDG_RUNTIME_DIR");
            dup2(logFd, STDERR_FILENO);
            if (!DropTo(uid) || m_comm->comm_init() != KVO_OK) return 100;
            if (m_comm->comm_register("test:dir", Receive, this) != KVO_OK) return 1;
            return m_comm->comm_unregister("test:dir") == KVO_OK ? 0 : 101;
        });
        std::string text(4096, '\0');
        text.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(logFd, &text[0], 4096, 0))));
        close(logFd);
        unlink(log);
        struct stat st = {};
        if (c.reason == nullptr) {
            EXPECT_EQ(0, rc) << text;
            ASSERT_EQ(0, lstat(dir.c_str(), &st));
            EXPECT_EQ(static_cast<mode_t>(S_IFDIR | 0700), st.st_mode);
            EXPECT_EQ(uid, st.st_uid);
        } else {
            EXPECT_EQ(1, rc) << text;
            EXPECT_NE(std::string::npos, text.find("[ERROR]")) << text;
            EXPECT_NE(std::string::npos, text.find(dir + ": " + c.reason)) << text;
        }
    }
    system(("rm -rf " + dir + " " + target).c_str());
}

}  // namespace
