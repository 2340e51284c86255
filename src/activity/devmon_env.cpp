// Production DevmonEnv: the only monitor code that touches /dev/input.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "activity/devmon.h"
#include "platform/kvo_static.h"

namespace {

class RealDevmonEnv : public DevmonEnv {
public:
    int Stat(const char* path, mode_t* mode) override {
        // stat64: on 32-bit a large inode number must not fail the call.
        struct stat64 info;
        int result = ::stat64(path, &info);
        if (result == 0) *mode = info.st_mode;
        return result;
    }
    int OpenReadOnly(const char* path) override {
        // Close-on-exec: a child the host starts must not inherit the input devices.
        return ::open(path, O_RDONLY | O_CLOEXEC);
    }
    int Ioctl(int fd, unsigned long request, void* argument) override {
        return ::ioctl(fd, request, argument);
    }
    int Close(int fd) override { return ::close(fd); }
    int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) override {
        return ::poll(fds, count, timeout_ms);
    }
    ssize_t Read(int fd, void* buffer, size_t size) override { return ::read(fd, buffer, size); }
};

}  // namespace

DevmonEnv* DevmonEnv::Default() {
    // Never destroyed: a monitor may still use it while static objects are torn down.
    return NeverDestroyed<RealDevmonEnv>();
}
