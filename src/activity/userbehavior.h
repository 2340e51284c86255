// User behaviour state machine: turns the device monitor's reports into a using /
// not-using status and announces every change to a callback.
#pragma once

#include <stdint.h>

#include <map>

#include "config/autoconf.h"
#include "platform/cl_ev.h"
#include "platform/kvo_result.h"

// Handle of the IPC library; only ever passed as an unused parameter.
struct yul_ipc_st;

enum _MSG_STATUS {
    MSG_STATUS_NOT_USING = 0,  // no input for the idle time
    MSG_STATUS_USING = 1,      // the user is active
};

// Input kinds; each one's value is its bit value in the device monitor's report.
enum _MSG_TYPE {
    MSG_TYPE_KEYBOARD = 1,
    MSG_TYPE_MOUSE = 2,
};

struct _BehaviorInfo {
    int active;  // 1 when this kind of input was seen since the last switch to not using
};

typedef void (*UserStatusCb)(_MSG_STATUS status, void* context);

class CUserBehavior {
public:
    CUserBehavior();
    ~CUserBehavior();

    CUserBehavior(const CUserBehavior&) = delete;
    CUserBehavior& operator=(const CUserBehavior&) = delete;

    // conf is not owned and is read afresh at each use. ipc is not used.
    uint32_t Initialize(_UserBehaviorconf* conf, yul_ipc_st* ipc, UserStatusCb statusCb,
                        void* context);
    void UnInitialize();
    int DevMonNotify(unsigned int value);
    uint32_t HandleNotify(unsigned int value);
    static void TimerCb(cl_timerplus* timer);
    void TimerImpl();
    void InitBehaviorInfo();
    void OnStatusChange(_MSG_STATUS status);

private:
    bool SwitchedOn() const;

    _UserBehaviorconf* m_conf;
    cl_timerplus* m_timer;
    std::map<_MSG_TYPE, _BehaviorInfo> m_behaviorInfo;
    UserStatusCb m_statusCb;
    void* m_statusCtx;
};
