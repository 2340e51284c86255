// Stand-in for /dev/input: event nodes with chosen modes, permissions and event
// types, queued input records, unplugging, and a record of the calls made.
#pragma once

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
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
    void Unplug(int slot);
    // Records for the open device of the slot (none open: they are dropped).
    void Queue(int slot, const std::vector<input_event>& events);
    // Makes the next Poll fail with error (once; the devmon fuzz target uses it).
    void FailNextPoll(int error) { m_pollErrno = error; }
    // Descriptors are numbered from here (to test numbers beyond FD_SETSIZE).
    void SetFirstFd(int fd) { m_nextFd = fd; }

    std::set<int> OpenFds() const {
        std::set<int> fds;
        for (const auto& entry : m_devices) fds.insert(entry.first);
        return fds;
    }
    int looks() const { return m_looks; }        // Stat and Poll calls: looks at the devices
    int badCalls() const { return m_badCalls; }  // calls a correct monitor never makes

    int Stat(const char* path, mode_t* mode) override;
    int OpenReadOnly(const char* path) override;
    int Ioctl(int fd, unsigned long request, void* argument) override;
    int Close(int fd) override;
    int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) override;
    ssize_t Read(int fd, void* buffer, size_t size) override;

private:
    struct OpenDevice {
        int slot;
        bool unplugged;
        std::vector<input_event> pending;
    };
    static int SlotOf(const char* path) { return atoi(path + strlen("/dev/input/event")); }
    OpenDevice* Find(int fd);

    std::map<int, Node> m_nodes;          // by slot
    std::map<int, OpenDevice> m_devices;  // by descriptor
    int m_nextFd = 40;
    int m_pollErrno = 0;
    int m_looks = 0;
    int m_badCalls = 0;
};

// One input record.
input_event InputEvent(uint16_t type, uint16_t code, int32_t value);
