// Stand-in for /dev/input (see fake_devmon_env.h).
#include "support/fake_devmon_env.h"

#include <errno.h>

input_event InputEvent(uint16_t type, uint16_t code, int32_t value) {
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    return event;
}

void FakeDevmonEnv::Unplug(int slot) {
    m_nodes.erase(slot);
    for (auto& entry : m_devices) {
        if (entry.second.slot == slot) entry.second.unplugged = true;
    }
}

void FakeDevmonEnv::Queue(int slot, const std::vector<input_event>& events) {
    for (auto& [fd, device] : m_devices) {
        if (device.slot == slot)
            device.pending.insert(device.pending.end(), events.begin(), events.end());
    }
}

FakeDevmonEnv::OpenDevice* FakeDevmonEnv::Find(int fd) {
    auto it = m_devices.find(fd);
    return it == m_devices.end() ? nullptr : &it->second;
}

int FakeDevmonEnv::Stat(const char* path, mode_t* mode) {
    ++m_looks;
    auto it = m_nodes.find(SlotOf(path));
    if (it != m_nodes.end()) *mode = it->second.mode;
    errno = ENOENT;
    return it == m_nodes.end() ? -1 : 0;
}

int FakeDevmonEnv::OpenReadOnly(const char* path) {
    auto it = m_nodes.find(SlotOf(path));
    errno = it == m_nodes.end() ? ENOENT : it->second.openErrno;
    if (errno != 0) return -1;
    m_devices[m_nextFd] = {it->first, false, {}};
    return m_nextFd++;
}

int FakeDevmonEnv::Ioctl(int fd, unsigned long request, void* argument) {
    OpenDevice* device = Find(fd);
    // Only the event-type bitmap, 31 bytes, is asked for.
    if (device == nullptr || request != EVIOCGBIT(0, 31)) {
        ++m_badCalls;
        errno = device == nullptr ? EBADF : EINVAL;
        return -1;
    }
    static_cast<unsigned char*>(argument)[0] = m_nodes[device->slot].typeBits;
    return 31;
}

int FakeDevmonEnv::Close(int fd) {
    if (m_devices.erase(fd) != 0) return 0;
    ++m_badCalls;  // closed twice, or never opened
    errno = EBADF;
    return -1;
}

int FakeDevmonEnv::Poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    ++m_looks;
    if (timeout_ms != 0) ++m_badCalls;  // the monitor's own loop sets the pace
    if (m_pollErrno != 0) {
        errno = m_pollErrno;
        m_pollErrno = 0;
        return -1;
    }
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        OpenDevice* device = Find(fds[i].fd);
        if (device == nullptr) ++m_badCalls;  // only what the monitor holds open
        fds[i].revents = device == nullptr || device->pending.empty() ? 0 : POLLIN;
        // A gone device reports hang-up and error, as evdev does.
        if (device != nullptr && device->unplugged) fds[i].revents = POLLHUP | POLLERR;
        if (fds[i].revents != 0) ++ready;
    }
    return ready;
}

ssize_t FakeDevmonEnv::Read(int fd, void* buffer, size_t size) {
    OpenDevice* device = Find(fd);
    // Reading nothing: a real blocking descriptor would hang the monitor thread.
    if (device == nullptr || device->unplugged || device->pending.empty()) {
        if (device == nullptr || !device->unplugged) ++m_badCalls;
        errno = device == nullptr ? EBADF : device->unplugged ? ENODEV : EAGAIN;
        return -1;
    }
    // Whole records only, as evdev delivers them.
    size_t records = std::min(size / sizeof(input_event), device->pending.size());
    memcpy(buffer, device->pending.data(), records * sizeof(input_event));
    device->pending.erase(device->pending.begin(), device->pending.begin() + records);
    return static_cast<ssize_t>(records * sizeof(input_event));
}
