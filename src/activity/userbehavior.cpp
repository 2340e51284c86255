// User behaviour state machine: the idle timer turns the status to not using, a
// report carrying input turns it back to using.
#include "activity/userbehavior.h"

#include "platform/kvo_base.h"
#include "platform/kvo_word.h"

// Report bits: keyboard 1, pointer 2 (the values of the matching _MSG_TYPE).
namespace {
constexpr unsigned int kKeyboardBit = MSG_TYPE_KEYBOARD;
constexpr unsigned int kMouseBit = MSG_TYPE_MOUSE;
}  // namespace

CUserBehavior::CUserBehavior()
    : m_conf(nullptr), m_timer(nullptr), m_statusCb(nullptr), m_statusCtx(nullptr) {}

// The timer belongs to UnInitialize, which runs on the thread of its event loop.
CUserBehavior::~CUserBehavior() = default;

// The configuration's fields are single words that host threads may rewrite.
bool CUserBehavior::SwitchedOn() const {
    return m_conf != nullptr && WordLoad(m_conf->behavior_switch) != 0;
}

uint32_t CUserBehavior::Initialize(_UserBehaviorconf* conf, yul_ipc_st* /*ipc*/,
                                   UserStatusCb statusCb, void* context) {
    m_conf = conf;
    m_statusCb = statusCb;
    m_statusCtx = context;
    if (!SwitchedOn()) {
        KVO_LOGI("user behavior switch off");
        return KVO_OK;
    }
    // An idle time of 0 is passed on as it is: a timer with a period of 0 never
    // fires, so the status then stays "using" for good.
    uint32_t idle = WordLoad(m_conf->allow_time);
    m_timer = cl_timerplus_start(idle, 0, idle, TimerCb, this);
    if (m_timer == nullptr) {
        KVO_LOGW("start timer failed");
        return KVO_E_FAIL;
    }
    InitBehaviorInfo();
    return KVO_OK;
}

void CUserBehavior::UnInitialize() {
    if (m_timer == nullptr) return;
    cl_timerplus_stop(m_timer);
    cl_timerplus_close(m_timer);
    m_timer = nullptr;
}

// The machine counts as in use from the start: the table is set before the
// announcement, so a callback that looks finds the status it is told.
void CUserBehavior::InitBehaviorInfo() {
    m_behaviorInfo[MSG_TYPE_MOUSE].active = 1;
    m_behaviorInfo[MSG_TYPE_KEYBOARD].active = 1;
    OnStatusChange(MSG_STATUS_USING);
}

int CUserBehavior::DevMonNotify(unsigned int value) {
    if (!SwitchedOn()) {
        KVO_LOGD("user behavior switch off");
        return 0;
    }
    return static_cast<int>(HandleNotify(value));
}

uint32_t CUserBehavior::HandleNotify(unsigned int value) {
    // A quiet report changes nothing, not even the idle timer.
    if ((value & (kKeyboardBit | kMouseBit)) == 0) return KVO_OK;
    if (m_behaviorInfo[MSG_TYPE_MOUSE].active == 0 &&
        m_behaviorInfo[MSG_TYPE_KEYBOARD].active == 0) {
        OnStatusChange(MSG_STATUS_USING);  // announced before the table changes
    }
    if (value & kKeyboardBit) m_behaviorInfo[MSG_TYPE_KEYBOARD].active = 1;
    if (value & kMouseBit) m_behaviorInfo[MSG_TYPE_MOUSE].active = 1;
    // The idle time counts again from this report.
    if (m_timer != nullptr) cl_timerplus_reset(m_timer, WordLoad(m_conf->allow_time), 0);
    return KVO_OK;
}

void CUserBehavior::TimerCb(cl_timerplus* timer) {
    CUserBehavior* self = static_cast<CUserBehavior*>(cl_timerplus_context(timer));
    if (self != nullptr) self->TimerImpl();
}

// The idle time passed without input. The timer stays periodic: while the user
// stays away it keeps firing and finds nothing to do.
void CUserBehavior::TimerImpl() {
    if (m_behaviorInfo[MSG_TYPE_MOUSE].active != 1 &&
        m_behaviorInfo[MSG_TYPE_KEYBOARD].active != 1) {
        return;
    }
    OnStatusChange(MSG_STATUS_NOT_USING);
    m_behaviorInfo[MSG_TYPE_KEYBOARD].active = 0;
    m_behaviorInfo[MSG_TYPE_MOUSE].active = 0;
}

void CUserBehavior::OnStatusChange(_MSG_STATUS status) {
    if (m_statusCb != nullptr) m_statusCb(status, m_statusCtx);
}
