// Stand-in for /dev/input: event nodes with chosen modes, permissions and event
// types, queued input records, unplugging, and a record of the calls made.
#pragma once

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "activity/devmon.h"

class FakeDevmonEnv : public DevmonEnv {
public:
    struct Node {
        mode_t mode = S_IFCHR | 0660;
        int openErrno = 0;           // non-zero: open fails with it
        unsigned char typeBits = 0;  // first byte of the event-type bitmap
    };

    // A character device at /dev/input/event<slot> reporting the given types.
    void AddDevice(int slot, unsigned char typeBits) { AddNode(slot, {S_IFCHR, 0, typeBits}); }
    void AddNode(int slot, const Node& node) { m_nodes[slot] = node; }
    // The node disappears; a descriptor still open on it reads ENODEV.
    void Unplug(int slot) {
        m_nodes.erase(slot);
        for (auto& entry : m_devices) entry.second.unplugged |= entry.second.slot == slot;
    }
    // Records for the open device of the slot (none open: they are dropped).
    void Queue(int slot, const std::vector<input_event>& events) {
        for (auto& [fd, device] : m_devices)
            if (device.slot == slot)
                device.pending.insert(device.pending.end(), events.begin(), events.end());
    }
    // Makes the next Poll fail with error (once; the devmon fuzz target uses it).
    void FailNextPoll(int error) { m_pollErrno = error; }

    std::set<int> OpenFds() const {
        std::set<int> fds;
        for (const auto& entry : m_devices) fds.insert(entry.first);
        return fds;
    }
    int looks() const { return m_looks; }        // Stat and Poll calls: looks at the devices
    int badCalls() const { return m_badCalls; }  // calls a correct monitor never makes

    int Stat(const char* path, mode_t* mode) override {
        ++m_looks;
        auto it = m_nodes.find(SlotOf(path));
        if (it != m_nodes.end()) *mode = it->second.mode;
        errno = ENOENT;
        return it == m_nodes.end() ? -1 : 0;
    }
    int OpenReadOnly(const char* path) override {
        auto it = m_nodes.find(SlotOf(path));
        errno = it == m_nodes.end() ? ENOENT : it->second.openErrno;
        if (errno != 0) return -1;
        m_devices[m_nextFd] = {it->first, false, {}};
        return m_nextFd++;
    }
    int Ioctl(int fd, unsigned long request, void* argument) override {
        OpenDevice* device = Find(fd);
        // Only the event-type bitmap, 31 bytes, is asked for.
        if (device == nullptr || request != EVIOCGBIT(0, 31)) {
            ++m_badCalls;
            return -1;
        }
        static_cast<unsigned char*>(argument)[0] = m_nodes[device->slot].typeBits;
        return 31;
    }
    int Close(int fd) override {
        if (m_devices.erase(fd) != 0) return 0;
        ++m_badCalls;  // closed twice, or never opened
        return -1;
    }
    int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) override {
        ++m_looks;
        if (timeout_ms != 0) ++m_badCalls;  // the monitor's own loop sets the pace
        if ((errno = std::exchange(m_pollErrno, 0)) != 0) return -1;  // FailNextPoll
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
    ssize_t Read(int fd, void* buffer, size_t size) override {
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

private:
    struct OpenDevice {
        int slot;
        bool unplugged;
        std::vector<input_event> pending;
    };
    static int SlotOf(const char* path) { return atoi(path + strlen("/dev/input/event")); }
    OpenDevice* Find(int fd) {
        auto it = m_devices.find(fd);
        return it == m_devices.end() ? nullptr : &it->second;
    }

    std::map<int, Node> m_nodes;          // by slot
    std::map<int, OpenDevice> m_devices;  // by descriptor
    int m_nextFd = FD_SETSIZE + 100;      // beyond what select() can watch
    int m_pollErrno = 0;
    int m_looks = 0;
    int m_badCalls = 0;
};

// One input record.
inline input_event InputEvent(uint16_t type, uint16_t code, int32_t value) {
    input_event event{};
    std::tie(event.type, event.code, event.value) = std::tie(type, code, value);
    return event;
}
