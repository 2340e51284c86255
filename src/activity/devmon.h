// Input device monitor: watches the evdev keyboard and pointer nodes and reports,
// once a second, which kinds of input arrived. Runs entirely on one event-loop thread.
#pragma once

#include <linux/input.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "platform/cl_ev.h"
#include "platform/kvo_result.h"

// The device calls of the monitor, so that tests can stand in for /dev/input.
// Each returns what the system call returns and leaves errno as it sets it.
class DevmonEnv {
public:
    virtual ~DevmonEnv() = default;
    virtual int Stat(const char* path, mode_t* mode) = 0;
    virtual int OpenReadOnly(const char* path) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual int Close(int fd) = 0;
    virtual int Poll(struct pollfd* fds, nfds_t count, int timeout_ms) = 0;
    virtual ssize_t Read(int fd, void* buffer, size_t size) = 0;
    static DevmonEnv* Default();  // the real calls; lives as long as the process
};

// Tally of one read: what ParseEvent counted in one batch.
struct DevEvent {
    int kind;      // 0 none yet, 1 pointer, 2 keyboard (kind of the last counted event)
    int reserved;  // never set
    int count;     // events counted in this batch
};

// Receives the report: bit value 1 keyboard input, 2 pointer input, 0 none.
typedef void (*DevmonNoticeCb)(unsigned int value, void* context);

class Devmon {
public:
    // Bits of the monitor type (the report uses the reverse assignment).
    enum { MONITOR_MOUSE = 1, MONITOR_KEYBOARD = 2 };
    enum { MAX_DEVICES = 32 };
    // A 32-bit kernel delivers 16 records of 16 bytes per read.
    enum { READ_BYTES = 256 };
    static constexpr uint32_t kNoticePeriodMs = 1000;
    static constexpr uint32_t kReloadPeriodMs = 120000;

    explicit Devmon(DevmonEnv* env = DevmonEnv::Default());
    virtual ~Devmon();

    Devmon(const Devmon&) = delete;
    Devmon& operator=(const Devmon&) = delete;

    uint32_t Initialize(int behaviorSwitch, int monitorType, DevmonNoticeCb callback,
                        void* context);
    void Uninitialize();
    uint32_t LoopEventOnce();
    uint32_t LoadDevs();
    void UnloadDevs();
    uint32_t ParseEvent(DevEvent* tally, input_event* events, int count);

    static void NoticeVuriZedaCb(cl_timerplus* timer);
    void NoticeVuriZedaCbImpl();
    static void DeviceReloadCb(cl_timerplus* timer);

    // Read-only views for the owner's diagnostics and for tests.
    int DeviceCount() const { return m_devCount; }
    int DeviceFd(int slot) const { return m_devFds[slot]; }

private:
    int OpenSlot(int slot, const char* path);
    void CloseSlot(int slot);
    void ReadDevice(int slot);

    int m_monitorType;
    int m_devFds[MAX_DEVICES];
    int m_devCount;
    int m_selectTimeout;  // seconds; stays 0, so the readiness test never waits
    DevmonNoticeCb m_noticeCb;
    cl_timerplus* m_noticeTimer;
    cl_timerplus* m_reloadTimer;
    void* m_noticeCtx;
    int m_keyboardEvents;
    int m_mouseEvents;
    int m_behaviorSwitch;
    DevmonEnv* m_env;  // not owned
};
