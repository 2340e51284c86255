// Receiver addresses in the abstract namespace, one-datagram sends and the
// discovery of receivers in /proc/net/unix.
#include "commaddr.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <sstream>

namespace {

const char kPrefix[] = "kvo_comm/";

// Digits only, no sign, fits 32 bits, not 0.
bool ParsePid(const std::string& text, uint32_t* pid) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value == 0 || value > UINT32_MAX) return false;
    *pid = static_cast<uint32_t>(value);
    return true;
}

// The path column: the eighth field to the end of the line (a name may hold blanks).
bool PathColumn(const std::string& line, std::string* path) {
    size_t pos = 0;
    for (int field = 0; field < 7; ++field) {
        pos = line.find_first_not_of(' ', pos);
        if (pos == std::string::npos) return false;
        pos = line.find(' ', pos);
        if (pos == std::string::npos) return false;
    }
    pos = line.find_first_not_of(' ', pos);
    if (pos == std::string::npos) return false;
    *path = line.substr(pos);
    return true;
}

}  // namespace

bool CommAddress(uint32_t pid, const char* name, sockaddr_un* address, socklen_t* length) {
    if (name == nullptr || *name == '\0') return false;
    char text[sizeof(address->sun_path) + 1];
    int n = snprintf(text, sizeof(text), "%s%u/%s", kPrefix, pid, name);
    // The leading NUL takes one byte of sun_path.
    if (n <= 0 || static_cast<size_t>(n) + 1 > sizeof(address->sun_path)) return false;
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path + 1, text, static_cast<size_t>(n));
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    return true;
}

int CommSendTo(int fd, uint32_t pid, const char* name, const char* text, size_t length, int flags) {
    sockaddr_un address;
    socklen_t addressLength = 0;
    if (!CommAddress(pid, name, &address, &addressLength)) return EINVAL;
    if (length > kCommMaxMessage) return EMSGSIZE;
    ssize_t sent;
    do {
        sent = sendto(fd, text, length, flags | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&address), addressLength);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? errno : 0;
}

std::vector<uint32_t> ParseReceiverPids(const std::string& netUnix, const char* name) {
    std::vector<uint32_t> pids;
    const std::string prefix = std::string("@") + kPrefix;
    const std::string suffix = std::string("/") + name;
    std::istringstream lines(netUnix);
    std::string line;
    while (std::getline(lines, line)) {
        std::string path;
        if (!PathColumn(line, &path) || path.compare(0, prefix.size(), prefix) != 0) continue;
        if (path.size() <= prefix.size() + suffix.size()) continue;
        if (path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
        uint32_t pid = 0;
        std::string digits =
            path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
        if (ParsePid(digits, &pid)) pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    return pids;
}
