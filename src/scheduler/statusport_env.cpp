// Production StatusEnv: the only status-port code that makes system calls.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "platform/kvo_static.h"
#include "platform/runtime_dir.h"
#include "scheduler/statusport.h"

namespace {

bool FillAddress(const std::string& path, sockaddr_un* address, socklen_t* length) {
    if (path.size() >= sizeof(address->sun_path)) return false;
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path, path.data(), path.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

class SystemStatusEnv final : public StatusEnv {
public:
    int Open(std::string* path) override {
        std::string dir, why;
        if (!KvoRuntimeDir(&dir, &why)) return -1;
        const std::string folder = dir + "/" + std::to_string(getpid());
        *path = folder + "/" + kStatusSocketName;
        sockaddr_un address;
        socklen_t length = 0;
        if (!FillAddress(*path, &address, &length)) return -1;
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return -1;
        const int on = 1;
        // Twice at most: the comm library may remove an empty folder between our
        // mkdir and our bind.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!KvoPrivateDir(folder, &why)) break;
            // The folder is ours and named by our pid: a file there is a leftover
            // of an earlier process that had our pid.
            unlink(path->c_str());
            if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
                if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) == 0) return fd;
                unlink(path->c_str());
                break;
            }
            if (errno != ENOENT) break;
        }
        close(fd);
        return -1;
    }

    int Receive(int fd, char* buf, size_t size, _StatusPeer* peer) override {
        memset(peer, 0, sizeof(*peer));
        iovec io = {buf, size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_name = &peer->address;
        msg.msg_namelen = sizeof(peer->address);
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        ssize_t n;
        do {
            n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return -1;
        peer->length = msg.msg_namelen;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
                ucred cred;
                memcpy(&cred, CMSG_DATA(c), sizeof(cred));
                peer->hasCreds = true;
                peer->uid = cred.uid;
                peer->pid = static_cast<uint32_t>(cred.pid);
            }
        }
        if ((msg.msg_flags & MSG_TRUNC) != 0) return 0;
        return static_cast<int>(n);
    }

    int Send(int fd, const _StatusPeer& peer, const char* text, size_t length) override {
        // An unbound asker has no address to answer to.
        if (peer.length <= sizeof(sa_family_t)) return ENOTCONN;
        ssize_t sent;
        do {
            sent = sendto(fd, text, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&peer.address), peer.length);
        } while (sent < 0 && errno == EINTR);
        return sent < 0 ? errno : 0;
    }

    void Close(int fd, const char* path, bool removeFile) override {
        close(fd);
        if (!removeFile || path[0] == '\0') return;
        unlink(path);
        std::string folder(path);
        folder.erase(folder.rfind('/'));
        rmdir(folder.c_str());  // fails, as it should, while the comm socket is there
    }

    uint32_t RealUid() override { return getuid(); }
    uint32_t EffectiveUid() override { return geteuid(); }
    uint32_t ProcessId() override { return static_cast<uint32_t>(getpid()); }
};

}  // namespace

StatusEnv* StatusEnv::Default() { return NeverDestroyed<SystemStatusEnv>(); }
