// Input device monitor: device scan, readiness test, event classification and the
// once-a-second report.
#include "activity/devmon.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/kvo_base.h"

namespace {

// Event-type bitmap of a device (EVIOCGBIT for type 0, 31 bytes).
constexpr unsigned long kEventTypeBitsRequest = EVIOCGBIT(0, 31);
static_assert(kEventTypeBitsRequest == 0x801f4520u, "EVIOCGBIT(0, 31) request");

// A device qualifies when it reports key or relative-axis events.
constexpr unsigned char kUsableTypes = (1u << EV_KEY) | (1u << EV_REL);

// Highest key code still counted as a keyboard key; larger EV_KEY codes are buttons.
constexpr uint16_t kLastKeyboardCode = 0x100;

// Tally kinds.
enum { DEV_EVENT_POINTER = 1, DEV_EVENT_KEYBOARD = 2 };

bool IsKeyboardEvent(const input_event& event) {
    return event.type == EV_KEY && event.code <= kLastKeyboardCode;
}

bool IsPointerEvent(const input_event& event) {
    return (event.type == EV_KEY && event.code > kLastKeyboardCode) || event.type == EV_REL ||
           event.type == EV_ABS;
}

}  // namespace

Devmon::Devmon(DevmonEnv* env)
    : m_monitorType(0),
      m_devCount(0),
      m_selectTimeout(0),
      m_noticeCb(nullptr),
      m_noticeTimer(nullptr),
      m_reloadTimer(nullptr),
      m_noticeCtx(nullptr),
      m_keyboardEvents(0),
      m_mouseEvents(0),
      m_behaviorSwitch(0),
      m_env(env) {
    for (int& fd : m_devFds) fd = -1;
}

// Devices and timers belong to Uninitialize, which runs on the monitor thread.
Devmon::~Devmon() = default;

uint32_t Devmon::Initialize(int behaviorSwitch, int monitorType, DevmonNoticeCb callback,
                            void* context) {
    if ((monitorType & (MONITOR_MOUSE | MONITOR_KEYBOARD)) == 0 || callback == nullptr) {
        KVO_LOGE("Param error with monitor type or callback.");
        return KVO_E_FAIL;
    }
    m_monitorType = monitorType;
    m_noticeCb = callback;
    m_noticeCtx = context;
    m_behaviorSwitch = behaviorSwitch;
    if (behaviorSwitch == 0) {
        KVO_LOGD("user info behavior switch off");
        return KVO_OK;
    }
    // Timers started before a later failure stay until Uninitialize.
    m_noticeTimer = cl_timerplus_start(kNoticePeriodMs, 0, kNoticePeriodMs, NoticeVuriZedaCb, this);
    if (m_noticeTimer == nullptr) {
        KVO_LOGE("Start notice timer failed.");
        return KVO_E_FAIL;
    }
    m_reloadTimer = cl_timerplus_start(kReloadPeriodMs, 0, kReloadPeriodMs, DeviceReloadCb, this);
    if (m_reloadTimer == nullptr) {
        KVO_LOGE("Start device reload timer failed.");
        return KVO_E_FAIL;
    }
    if (LoadDevs() != KVO_OK) {
        KVO_LOGE("load input devices failed");
        return KVO_E_FAIL;
    }
    return KVO_OK;
}

void Devmon::Uninitialize() {
    if (m_noticeTimer != nullptr) {
        cl_timerplus_stop(m_noticeTimer);
        cl_timerplus_close(m_noticeTimer);
        m_noticeTimer = nullptr;
    }
    if (m_reloadTimer != nullptr) {
        cl_timerplus_stop(m_reloadTimer);
        cl_timerplus_close(m_reloadTimer);
        m_reloadTimer = nullptr;
    }
    UnloadDevs();
}

uint32_t Devmon::LoadDevs() {
    int lastError = 0;
    for (int slot = 0; slot < MAX_DEVICES; ++slot) {
        char path[256];
        kvo_str_snprintf(path, sizeof(path), "/dev/input/event%d", slot);
        mode_t mode = 0;
        if (m_env->Stat(path, &mode) != 0) {
            int error = errno;
            if (m_devFds[slot] != -1) {
                CloseSlot(slot);  // the device went away
            } else {
                lastError = error;
                KVO_LOGD("get device: [%s] status failed, return code is: %d", path, error);
            }
            continue;
        }
        if ((mode & S_IFCHR) == 0 || m_devFds[slot] != -1) continue;
        if (OpenSlot(slot, path) == ENOENT) {
            lastError = ENOENT;
            break;  // the node vanished between stat and open: stop the scan
        }
    }
    if (m_devCount != 0) {
        KVO_LOGD("Devmon: Device load success, totally %d input devices.", m_devCount);
        return KVO_OK;
    }
    KVO_LOGD("Devmon: No device loaded.");
    errno = lastError;  // after the log line, which must not disturb it
    return KVO_E_FAIL;
}

// Opens node path into slot when it delivers key or relative-axis events. Returns
// the errno of a failed open, else 0 (also for a device that does not qualify).
int Devmon::OpenSlot(int slot, const char* path) {
    int fd = m_env->OpenReadOnly(path);
    if (fd < 0) return errno;
    unsigned char types[32];
    memset(types, 0, sizeof(types));
    m_env->Ioctl(fd, kEventTypeBitsRequest, types);  // a failure leaves the bitmap empty
    if ((types[0] & kUsableTypes) == 0) {
        m_env->Close(fd);
        return 0;
    }
    m_devFds[slot] = fd;
    ++m_devCount;
    return 0;
}

void Devmon::CloseSlot(int slot) {
    m_env->Close(m_devFds[slot]);
    m_devFds[slot] = -1;
    --m_devCount;
}

void Devmon::UnloadDevs() {
    if (m_devCount != 0) {
        for (int slot = 0; slot < MAX_DEVICES; ++slot) {
            if (m_devFds[slot] != -1) {
                m_env->Close(m_devFds[slot]);
                m_devFds[slot] = -1;
            }
        }
    }
    m_devCount = 0;
    KVO_LOGD("DevMon: unload input device finished.");
}

// The readiness test uses poll(), not select(): the host may hold so many
// descriptors that a device's number reaches FD_SETSIZE, and an fd_set cannot
// hold it. poll() takes any descriptor and, with a zero timeout, is the same
// non-waiting test; hang-up and error count as readable, as select reports them,
// so that the read sees an unplugged device's ENODEV.
uint32_t Devmon::LoopEventOnce() {
    if (m_behaviorSwitch == 0) {
        KVO_LOGD("user behavior switch off");
        return KVO_OK;
    }
    struct pollfd fds[MAX_DEVICES];
    int slots[MAX_DEVICES];
    nfds_t count = 0;
    for (int slot = 0; slot < MAX_DEVICES; ++slot) {
        if (m_devFds[slot] == -1) continue;
        fds[count].fd = m_devFds[slot];
        fds[count].events = POLLIN;
        fds[count].revents = 0;
        slots[count++] = slot;
    }
    int ready = m_env->Poll(fds, count, m_selectTimeout * 1000);
    if (ready == 0) return KVO_OK;
    if (ready < 0) return errno == EINTR ? KVO_OK : KVO_E_FAIL;
    for (nfds_t i = 0; i < count; ++i) {
        if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
        // A rescan caused by an earlier slot's ENODEV may have closed this one.
        if (m_devFds[slots[i]] != fds[i].fd) continue;
        ReadDevice(slots[i]);
    }
    return KVO_OK;
}

void Devmon::ReadDevice(int slot) {
    DevEvent tally;
    memset(&tally, 0, sizeof(tally));
    // Whole records only; on 64-bit 256 bytes leave a partial record, never filled.
    input_event events[READ_BYTES / sizeof(input_event) + 1];
    memset(events, 0, sizeof(events));
    ssize_t got = m_env->Read(m_devFds[slot], events, READ_BYTES);
    if (got <= 0) {
        int error = errno;
        KVO_LOGW("read fd failed with error = %d", error);
        if (error == ENODEV) LoadDevs();  // closes the slot once its node is gone
        return;
    }
    int count = static_cast<int>(static_cast<size_t>(got) / sizeof(input_event));
    if (count <= 0) return;
    KVO_LOGD("deal fd index = %d event cnt: %d", slot, count);
    uint32_t result = ParseEvent(&tally, events, count);
    KVO_LOGD("parse input event result: %d", static_cast<int>(result));
}

uint32_t Devmon::ParseEvent(DevEvent* tally, input_event* events, int count) {
    for (int i = 0; i < count; ++i) {
        const input_event& event = events[i];
        const bool keyboard = IsKeyboardEvent(event);
        if (keyboard || IsPointerEvent(event)) {
            const char* name = keyboard ? "keyboard" : "mouse";
            if ((m_monitorType & (keyboard ? MONITOR_KEYBOARD : MONITOR_MOUSE)) == 0) {
                KVO_LOGD("%s event not enabled.", name);
                return KVO_E_FAIL;
            }
            tally->kind = keyboard ? DEV_EVENT_KEYBOARD : DEV_EVENT_POINTER;
            int& seen = keyboard ? m_keyboardEvents : m_mouseEvents;
            ++seen;
            ++tally->count;
            KVO_LOGD("Input %s event total: %d, %d-th event\n", name, count, seen);
        }
        // Synchronisation, miscellaneous, LED and other types carry no user input.
    }
    return tally->count > 0 ? KVO_OK : KVO_E_FAIL;
}

void Devmon::NoticeVuriZedaCb(cl_timerplus* timer) {
    Devmon* self = static_cast<Devmon*>(cl_timerplus_context(timer));
    if (self != nullptr) self->NoticeVuriZedaCbImpl();
}

void Devmon::NoticeVuriZedaCbImpl() {
    unsigned int value = 0;
    if (m_keyboardEvents > 0) value += 1;
    if (m_mouseEvents > 0) value += 2;
    KVO_LOGD("Notice auto perf value: %d", static_cast<int>(value));
    // Reported every period, also when nothing arrived.
    if (m_noticeCb != nullptr) m_noticeCb(value, m_noticeCtx);
    m_keyboardEvents = 0;
    m_mouseEvents = 0;
}

void Devmon::DeviceReloadCb(cl_timerplus* timer) {
    Devmon* self = static_cast<Devmon*>(cl_timerplus_context(timer));
    if (self != nullptr) self->LoadDevs();  // opens new devices, closes vanished ones
}
