// /proc readings of the stress process itself: its threads, their names and
// its open descriptors.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "stress_engine.h"

std::vector<uint32_t> ProcessThreadIds() {
    std::vector<uint32_t> tids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return tids;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') tids.push_back(static_cast<uint32_t>(atol(entry->d_name)));
    }
    closedir(dir);
    std::sort(tids.begin(), tids.end());
    return tids;
}

std::string ThreadName(uint32_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%u/comm", tid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char name[64] = {0};
    const ssize_t n = read(fd, name, sizeof name - 1);
    close(fd);
    std::string text(name, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

int OpenDescriptorCount() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}
