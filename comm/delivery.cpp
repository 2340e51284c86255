// The delivery thread of one registration: receives datagrams, checks their
// size and sender, runs the embedded sampler on its interval.
#define KVO_MODULE_TAG "[kvo_comm]"

#include "delivery.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "commaddr.h"
#include "platform/env.h"
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

// Only the process's own effective uid and root may feed its receivers.
bool TrustedSender(const msghdr& message, uint32_t euid, uint32_t* senderUid) {
    bool trusted = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred cred;
            memcpy(&cred, CMSG_DATA(c), sizeof(cred));
            *senderUid = cred.uid;
            trusted = cred.uid == euid || cred.uid == 0;
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
    msghdr message;
    memset(&message, 0, sizeof(message));
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    // MSG_TRUNC makes the result the datagram's real length, so oversize shows.
    ssize_t n = recvmsg(reg->fd, &message, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
    if (n < 0) return;
    uint32_t uid = 0;
    bool trusted = TrustedSender(message, reg->euid, &uid);
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
        int err = CommSendTo(reg->fd, reg->pid, reg->name.c_str(), text->data(), text->size(),
                             MSG_DONTWAIT);
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

}  // namespace

bool DropLog::Note(int64_t nowMs) {
    ++count;
    if (logged && nowMs - lastLogMs < kDropLogPeriodMs) return false;
    logged = true;
    lastLogMs = nowMs;
    return true;
}

std::unique_ptr<Registration> CreateRegistration(const char* name, kvo_comm_receiver callback,
                                                 void* context) {
    std::unique_ptr<Registration> reg(new Registration());
    reg->name = name;
    reg->callback = callback;
    reg->context = context;
    reg->pid = static_cast<uint32_t>(getpid());
    reg->euid = static_cast<uint32_t>(geteuid());
    sockaddr_un address;
    socklen_t length = 0;
    if (!CommAddress(reg->pid, name, &address, &length)) return nullptr;
    reg->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    reg->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int on = 1;
    if (reg->fd < 0 || reg->wakeFd < 0 ||
        setsockopt(reg->fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0 ||
        bind(reg->fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        KVO_LOGW("%s: cannot bind kvo_comm/%u/%s: %s", name, reg->pid, name, strerror(errno));
        DestroyRegistration(reg.get());
        return nullptr;
    }
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

void DestroyRegistration(Registration* reg) {
    if (reg->threadStarted) kvo_thread_join(&reg->thread, nullptr);
    reg->threadStarted = false;
    if (reg->fd >= 0) close(reg->fd);
    if (reg->wakeFd >= 0) close(reg->wakeFd);
    reg->fd = reg->wakeFd = -1;
}

void ForgetInChild(Registration* reg) {
    reg->threadStarted = false;  // that thread exists only in the parent
    reg->sampler.release();      // may be mid-sample in the parent: never touched again
    if (reg->fd >= 0) close(reg->fd);
    if (reg->wakeFd >= 0) close(reg->wakeFd);
    reg->fd = reg->wakeFd = -1;
}

Registration* CurrentDelivery() { return t_current; }
