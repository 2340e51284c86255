// Receiver paths in the private runtime directories, one-datagram sends and
// the listing of the processes that have receivers in a directory.
#include "commaddr.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <sstream>

#include "platform/runtime_dir.h"

std::string CommReceiverPath(const std::string& dir, uint32_t pid, const char* name) {
    return dir + "/" + std::to_string(pid) + "/" + name;
}

std::string CommReceiverPathOf(uid_t uid, uint32_t pid, const char* name) {
    return CommReceiverPath(KvoRuntimeDirOf(uid), pid, name);
}

bool CommSocketAddress(const std::string& path, sockaddr_un* address, socklen_t* length) {
    // sun_path keeps its terminating NUL.
    if (path.empty() || path.size() >= sizeof(address->sun_path)) return false;
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path, path.c_str(), path.size() + 1);
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

int CommSendTo(int fd, const std::string& path, const char* text, size_t length, int flags) {
    sockaddr_un address;
    socklen_t addressLength = 0;
    if (!CommSocketAddress(path, &address, &addressLength)) return EINVAL;
    if (length > kCommMaxMessage) return EMSGSIZE;
    ssize_t sent;
    do {
        sent = sendto(fd, text, length, flags | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&address), addressLength);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? errno : 0;
}

std::vector<uint32_t> ListPidFolders(const std::string& dir) {
    std::vector<uint32_t> pids;
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) return pids;
    while (dirent* entry = readdir(folder)) {
        uint32_t pid = 0;
        if (KvoParsePid(entry->d_name, &pid)) pids.push_back(pid);
    }
    closedir(folder);
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool ParseEffectiveUid(const std::string& status, uid_t* uid) {
    std::istringstream lines(status);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 4, "Uid:") != 0) continue;
        unsigned long real = 0, effective = 0;
        if (sscanf(line.c_str() + 4, "%lu %lu", &real, &effective) != 2) return false;
        *uid = static_cast<uid_t>(effective);
        return true;
    }
    return false;
}
