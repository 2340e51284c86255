// ReadSmallFile: open, read to the end, close.
#include "platform/small_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

bool ReadSmallFile(const std::string& path, std::string* text, size_t maxBytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    text->clear();
    char chunk[4096];
    ssize_t n = 0;
    while (text->size() < maxBytes) {
        n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text->append(chunk, static_cast<size_t>(n));
    }
    const int err = errno;
    close(fd);
    errno = err;
    return n >= 0;
}
