// Finding status sockets, sending the requests, collecting and checking the
// answers.
#include "client.h"

#include <dirent.h>
#include <errno.h>
#include <jansson.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "comm/kvo_protocol.h"
#include "platform/recv_header.h"
#include "platform/runtime_dir.h"
#include "scheduler/statusport.h"

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A comm file's name, printable ASCII only: JSON strings must be UTF-8.
std::string NameIn(const std::string& path) {
    std::string name = ReadText(path);
    while (!name.empty() && name.back() == '\n') name.pop_back();
    for (char& c : name) {
        if (c < ' ' || c > '~') c = '?';
    }
    return name;
}

int64_t NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The socket of pid: one listed in /proc/net/unix or at the place the runtime
// directory rule gives, owned by the process's user.
std::string SocketOf(uint32_t pid, uint32_t uid, const std::vector<std::string>& listed) {
    std::vector<std::string> candidates = listed;
    const std::string tail = "/" + std::to_string(pid) + "/" + kStatusSocketName;
    candidates.push_back(KvoRuntimeDirOf(uid) + tail);
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && *xdg == '/' && uid == geteuid()) {
        candidates.push_back(std::string(xdg) + "/" + kCommDirName + tail);
    }
    for (const std::string& path : candidates) {
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == uid) return path;
    }
    return "";
}

struct Pending {
    size_t index;  // into the answers
    std::map<int, std::shared_ptr<json_t>> parts;
    int partsWanted = 0;
};

std::shared_ptr<json_t> Own(json_t* value) {
    return std::shared_ptr<json_t>(value, [](json_t* v) { json_decref(v); });
}

// The first part with the threads of the others appended.
std::shared_ptr<json_t> Merge(const Pending& pending) {
    std::shared_ptr<json_t> whole = Own(json_deep_copy(pending.parts.begin()->second.get()));
    json_t* threads = json_object_get(whole.get(), "threads");
    for (auto it = std::next(pending.parts.begin()); it != pending.parts.end(); ++it) {
        json_array_extend(threads, json_object_get(it->second.get(), "threads"));
    }
    json_object_del(whole.get(), "part");
    json_object_del(whole.get(), "parts");
    json_object_del(whole.get(), "seq");
    return whole;
}

// One datagram, with the sender's pid as the kernel gives it; false when none.
bool ReceiveOne(int fd, std::string* text, uint32_t* senderPid) {
    static char buf[kStatusMaxDatagram + 1];
    iovec io = {buf, sizeof(buf) - 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr msg = KvoRecvHeader(&io, control, sizeof(control));
    const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    if (n < 0) return false;
    *senderPid = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
            ucred cred;
            memcpy(&cred, CMSG_DATA(c), sizeof(cred));
            *senderPid = static_cast<uint32_t>(cred.pid);
        }
    }
    text->assign(buf, static_cast<size_t>(n));
    return true;
}

int OpenClientSocket() {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // An abstract address of the kernel's choosing: the answers come back to it.
    sockaddr_un self;
    memset(&self, 0, sizeof(self));
    self.sun_family = AF_UNIX;
    const int on = 1;
    const int room = 1 << 20;
    if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0) {
        close(fd);
        return -1;
    }
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));  // best effort
    return fd;
}

int SendRequest(int fd, const std::string& path, uint32_t seq) {
    sockaddr_un to;
    memset(&to, 0, sizeof(to));
    to.sun_family = AF_UNIX;
    if (path.size() >= sizeof(to.sun_path)) return ENAMETOOLONG;
    memcpy(to.sun_path, path.data(), path.size());
    const std::string text = std::string(kStatusRequestWord) + " " + std::to_string(seq);
    const ssize_t sent = sendto(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<sockaddr*>(&to), sizeof(to));
    return sent < 0 ? errno : 0;
}

}  // namespace

std::vector<std::pair<uint32_t, std::string>> ParseStatusSockets(const std::string& netUnix) {
    std::vector<std::pair<uint32_t, std::string>> found;
    const std::string suffix = std::string("/") + kStatusSocketName;
    std::istringstream lines(netUnix);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t start = line.find(" /");  // a path column starts with '/'
        if (start == std::string::npos) continue;
        const std::string path = line.substr(start + 1);
        if (path.size() <= suffix.size() ||
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const std::string folder = path.substr(0, path.size() - suffix.size());
        uint32_t pid = 0;
        if (KvoParsePid(folder.substr(folder.rfind('/') + 1), &pid)) found.emplace_back(pid, path);
    }
    return found;
}

std::vector<_TopTarget> FindTargets(const std::vector<uint32_t>& pids, bool all, uint32_t uid) {
    std::map<uint32_t, std::vector<std::string>> listed;
    for (const auto& entry : ParseStatusSockets(ReadText("/proc/net/unix"))) {
        listed[entry.first].push_back(entry.second);
    }
    std::vector<uint32_t> wanted = pids;
    if (wanted.empty()) {
        DIR* proc = opendir("/proc");
        if (proc != nullptr) {
            while (dirent* e = readdir(proc)) {
                uint32_t pid = 0;
                if (KvoParsePid(e->d_name, &pid)) wanted.push_back(pid);
            }
            closedir(proc);
        }
    }
    std::vector<_TopTarget> targets;
    for (uint32_t pid : wanted) {
        struct stat st;
        const bool exists = stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0;
        _TopTarget target{pid, exists ? static_cast<uint32_t>(st.st_uid) : 0, "", ""};
        if (exists && (all || target.uid == uid)) {
            target.command = NameIn("/proc/" + std::to_string(pid) + "/comm");
            target.socket = SocketOf(pid, target.uid, listed[pid]);
        }
        if (!pids.empty() || !target.socket.empty()) targets.push_back(target);
    }
    return targets;
}

std::vector<_TopAnswer> QueryTargets(const std::vector<_TopTarget>& targets, uint32_t seq,
                                     int64_t timeoutMs) {
    std::vector<_TopAnswer> answers;
    std::map<uint32_t, Pending> pending;
    const int fd = OpenClientSocket();
    for (const _TopTarget& target : targets) {
        answers.push_back(_TopAnswer{target, nullptr, "", false});
        if (target.socket.empty()) {
            answers.back().error = "no status socket (not using the library, or not yours)";
        } else if (fd < 0) {
            answers.back().error = std::string("no socket to ask with: ") + strerror(errno);
        } else if (int err = SendRequest(fd, target.socket, seq)) {
            answers.back().error = std::string("cannot ask: ") + strerror(err);
            answers.back().stale = err == ECONNREFUSED;
        } else {
            pending[target.pid].index = answers.size() - 1;
        }
    }
    const int64_t deadline = NowMs() + timeoutMs;
    while (!pending.empty()) {
        const int64_t left = deadline - NowMs();
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        std::string text;
        uint32_t sender = 0;
        while (ReceiveOne(fd, &text, &sender)) {
            auto it = pending.find(sender);
            if (it == pending.end()) continue;  // not a process we asked
            json_t* part = json_loadb(text.data(), text.size(), 0, nullptr);
            if (part == nullptr) continue;
            std::shared_ptr<json_t> owned = Own(part);
            if (json_integer_value(json_object_get(part, "seq")) != seq ||
                json_integer_value(json_object_get(part, "pid")) != sender) {
                continue;  // a late answer to an earlier round
            }
            Pending& p = it->second;
            p.partsWanted = static_cast<int>(json_integer_value(json_object_get(part, "parts")));
            p.parts[static_cast<int>(json_integer_value(json_object_get(part, "part")))] = owned;
            if (static_cast<int>(p.parts.size()) >= p.partsWanted && p.parts.count(1) != 0) {
                answers[p.index].status = Merge(p);
                pending.erase(it);
            }
        }
    }
    for (const auto& left : pending) {
        answers[left.second.index].error =
            left.second.parts.empty() ? "no answer" : "incomplete answer";
    }
    if (fd >= 0) close(fd);
    return answers;
}

void DescribeThreads(uint32_t pid, json_t* status) {
    json_t* threads = json_object_get(status, "threads");
    size_t i;
    json_t* row;
    json_array_foreach(threads, i, row) {
        const auto tid = static_cast<uint32_t>(json_integer_value(json_object_get(row, "tid")));
        // Under /proc/<pid>/task only the threads of that very process appear.
        const std::string task =
            "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/comm";
        struct stat st;
        const bool exists = tid != 0 && stat(task.c_str(), &st) == 0;
        json_object_set_new(row, "name", json_string(exists ? NameIn(task).c_str() : ""));
        json_object_set_new(row, "exists", json_boolean(exists));
    }
}
