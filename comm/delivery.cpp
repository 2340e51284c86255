// The delivery thread of one registration: receives datagrams, checks their
// size and sender, runs the embedded sampler on its interval.
#define KVO_MODULE_TAG "[kvo_comm]"

#include "delivery.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "commaddr.h"
#include "platform/env.h"
#include "platform/recv_header.h"
#include "platform/runtime_dir.h"
#include "sampler.h"

namespace {

constexpr int64_t kDropLogPeriodMs = 60 * 1000;
constexpr long kDefaultIntervalS = 1;

thread_local Registration* t_current = nullptr;

int64_t NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// KVO_COMM_SAMPLER: on unless one of the spellings of off.
bool SamplerEnabled() { return KvoEnvSwitch("KVO_COMM_SAMPLER", true); }

// KVO_COMM_INTERVAL in seconds, kvo-collectord's range; a value outside it is
// bounded, text that is no number gives the default, each with a warning.
int64_t SampleIntervalMs() {
    return static_cast<int64_t>(KvoEnvInteger("KVO_COMM_INTERVAL", kCommMinIntervalS,
                                              kCommMaxIntervalS, kDefaultIntervalS)) *
           1000;
}

// Only the process's own uids and root may feed its receivers. The kernel's
// credentials carry the sender's real uid, so a host whose real and effective
// uids differ sees its own sampler under its real uid.
bool TrustedSender(const msghdr& message, const Registration& reg, uint32_t* senderUid) {
    bool trusted = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred cred;
            memcpy(&cred, CMSG_DATA(c), sizeof(cred));
            *senderUid = cred.uid;
            trusted = cred.uid == reg.ruid || cred.uid == reg.euid || cred.uid == 0;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            // Descriptors are no part of a message: close any that were passed.
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int fd;
                memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(fd));
                close(fd);
            }
        }
    }
    return trusted;
}

void ReceiveOne(Registration* reg) {
    iovec part = {reg->buffer.data(), reg->buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(4 * sizeof(int))];
    msghdr message = KvoRecvHeader(&part, control, sizeof(control));
    // MSG_TRUNC makes the result the datagram's real length, so oversize shows.
    ssize_t n = recvmsg(reg->fd, &message, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
    if (n < 0) return;
    uint32_t uid = 0;
    bool trusted = TrustedSender(message, *reg, &uid);
    if (static_cast<size_t>(n) > kCommMaxMessage) {
        if (reg->oversized.Note(NowMs())) {
            KVO_LOGW("%s: dropped %u datagram(s) longer than %u bytes", reg->name.c_str(),
                     reg->oversized.count, static_cast<unsigned>(kCommMaxMessage));
            reg->oversized.count = 0;
        }
        return;
    }
    if (!trusted) {
        if (reg->untrusted.Note(NowMs())) {
            KVO_LOGW("%s: dropped %u datagram(s) from untrusted senders (last uid %u)",
                     reg->name.c_str(), reg->untrusted.count, uid);
            reg->untrusted.count = 0;
        }
        return;
    }
    DeliverMessage(reg, reg->buffer.data(), static_cast<uint32_t>(n));
}

// The sampler's messages travel through our own socket, like any other sender's.
void SampleAndSend(Registration* reg) {
    std::string system, process;
    if (!reg->sampler->Sample(&system, &process)) return;
    for (const std::string* text : {&system, &process}) {
        int err = CommSendTo(reg->fd, reg->path, text->data(), text->size(), MSG_DONTWAIT);
        if (err != 0) KVO_LOGD("%s: sample not queued: %s", reg->name.c_str(), strerror(err));
    }
}

int PollTimeout(const Registration* reg, int64_t nextSampleMs) {
    if (!reg->sampler) return -1;
    int64_t wait = nextSampleMs - NowMs();
    return wait < 0 ? 0 : static_cast<int>(wait);
}

uint32_t DeliveryMain(void* argument) {
    Registration* reg = static_cast<Registration*>(argument);
    t_current = reg;
    int64_t nextSampleMs = NowMs() + reg->intervalMs;
    while (!reg->stopping.load()) {
        pollfd fds[2] = {{reg->fd, POLLIN, 0}, {reg->wakeFd, POLLIN, 0}};
        int ready = poll(fds, 2, PollTimeout(reg, nextSampleMs));
        if (ready < 0 && errno != EINTR) {
            KVO_LOGE("%s: poll failed: %s", reg->name.c_str(), strerror(errno));
            break;
        }
        if (reg->stopping.load()) break;
        if (reg->sampler && NowMs() >= nextSampleMs) {
            SampleAndSend(reg);
            nextSampleMs += reg->intervalMs;
            if (nextSampleMs <= NowMs()) nextSampleMs = NowMs() + reg->intervalMs;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) ReceiveOne(reg);
    }
    // Frees the name at once, also when the stop came from our own callback
    // and the join happens later; datagrams still queued are dropped with it.
    close(reg->fd);
    reg->fd = -1;
    t_current = nullptr;
    return 0;
}

// A socket file at path that nobody receives on (its process died) is removed;
// false, with errno EADDRINUSE, when a live socket is bound there.
bool RemoveDeadSocket(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return true;
    sockaddr_un address;
    socklen_t length = 0;
    int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool live = probe >= 0 && CommSocketAddress(path, &address, &length) &&
                connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    if (probe >= 0) close(probe);
    if (live) {
        errno = EADDRINUSE;
        return false;
    }
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

// The folders of processes that no longer exist, with what they hold. The
// directory is private, so everything in it is ours.
void RemoveStaleFolders(const std::string& dir, uint32_t self) {
    for (uint32_t pid : ListPidFolders(dir)) {
        if (pid == self || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        const std::string folder = dir + "/" + std::to_string(pid);
        DIR* entries = opendir(folder.c_str());
        if (entries == nullptr) continue;
        while (dirent* entry = readdir(entries)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                unlinkat(dirfd(entries), entry->d_name, 0);
            }
        }
        closedir(entries);
        if (rmdir(folder.c_str()) == 0) KVO_LOGD("removed the receivers of ended process %u", pid);
    }
}

}  // namespace

bool DropLog::Note(int64_t nowMs) {
    ++count;
    if (logged && nowMs - lastLogMs < kDropLogPeriodMs) return false;
    logged = true;
    lastLogMs = nowMs;
    return true;
}

bool ValidReceiverName(const char* name) {
    return name != nullptr && *name != '\0' && strchr(name, '/') == nullptr &&
           strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

std::unique_ptr<Registration> CreateRegistration(const char* name, kvo_comm_receiver callback,
                                                 void* context) {
    std::unique_ptr<Registration> reg(new Registration());
    reg->name = name;
    reg->callback = callback;
    reg->context = context;
    reg->pid = static_cast<uint32_t>(getpid());
    reg->ruid = static_cast<uint32_t>(getuid());
    reg->euid = static_cast<uint32_t>(geteuid());
    std::string dir, why;
    if (!KvoRuntimeDir(&dir, &why)) {
        KVO_LOGE("register %s: refused runtime directory %s", name, why.c_str());
        return nullptr;
    }
    RemoveStaleFolders(dir, reg->pid);
    const std::string pidDir = dir + "/" + std::to_string(reg->pid);
    if (!KvoPrivateDir(pidDir, &why)) {
        KVO_LOGE("register %s: refused runtime directory %s", name, why.c_str());
        return nullptr;
    }
    const std::string path = CommReceiverPath(dir, reg->pid, name);
    sockaddr_un address;
    socklen_t length = 0;
    if (!CommSocketAddress(path, &address, &length)) {
        KVO_LOGW("register %s: the path %s is too long for a socket", name, path.c_str());
        return nullptr;
    }
    reg->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    reg->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int on = 1;
    if (reg->fd < 0 || reg->wakeFd < 0 ||
        setsockopt(reg->fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0 ||
        !RemoveDeadSocket(path) ||
        bind(reg->fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        KVO_LOGW("register %s: cannot bind %s: %s", name, path.c_str(), strerror(errno));
        DestroyRegistration(reg.get());
        return nullptr;
    }
    reg->path = path;
    reg->pidDir = pidDir;
    reg->buffer.resize(kCommMaxMessage);
    if (SamplerEnabled()) {
        reg->intervalMs = SampleIntervalMs();
        reg->sampler.reset(new CSampler(reg->pid, SamplerEnv::Default()));
        std::string unusedSystem, unusedProcess;
        reg->sampler->Sample(&unusedSystem, &unusedProcess);  // the baseline
    }
    return reg;
}

int StartDelivery(Registration* reg) {
    int rc = kvo_thread_start(&reg->thread, DeliveryMain, reg);
    reg->threadStarted = rc == 0;
    return rc;
}

void WakeDelivery(Registration* reg) {
    uint64_t one = 1;
    while (write(reg->wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void RemoveReceiverPath(Registration* reg) {
    if (reg->path.empty()) return;
    unlink(reg->path.c_str());
    rmdir(reg->pidDir.c_str());  // fails while another receiver of ours is in it
    reg->path.clear();
}

void DestroyRegistration(Registration* reg) {
    RemoveReceiverPath(reg);
    if (reg->threadStarted) kvo_thread_join(&reg->thread, nullptr);
    reg->threadStarted = false;
    if (reg->fd >= 0) close(reg->fd);
    if (reg->wakeFd >= 0) close(reg->wakeFd);
    reg->fd = reg->wakeFd = -1;
}

void ForgetInChild(Registration* reg) {
    reg->threadStarted = false;  // that thread exists only in the parent
    reg->sampler.release();      // may be mid-sample in the parent: never touched again
    reg->path.clear();           // the parent's socket stays
    if (reg->fd >= 0) close(reg->fd);
    if (reg->wakeFd >= 0) close(reg->wakeFd);
    reg->fd = reg->wakeFd = -1;
}

Registration* CurrentDelivery() { return t_current; }
