// Fuzzes the input device monitor: a script of device arrivals, unplugs, queued
// event records, polls, rescans and reports runs against a stand-in /dev/input,
// and random event records go straight to ParseEvent. After every step the
// monitor's device table must agree with the descriptors it holds open.
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#include "activity/devmon.h"
#include "fuzz_util.h"
#include "support/fake_devmon_env.h"

namespace {

class Script {
public:
    Script(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_pos >= m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    // A record whose type is mostly one of the few the monitor looks at.
    input_event Event() {
        uint8_t type = Byte();
        uint16_t code = Word();
        int32_t value = static_cast<int8_t>(Byte());
        return InputEvent(type < 0xf0 ? type % 6 : type, code, value);
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

unsigned int g_lastReport = 0;

void OnReport(unsigned int value, void*) {
    FUZZ_CHECK(value <= 3);
    g_lastReport = value;
}

void CheckTable(const Devmon& monitor, const FakeDevmonEnv& env) {
    int held = 0;
    for (int slot = 0; slot < Devmon::MAX_DEVICES; ++slot) {
        int fd = monitor.DeviceFd(slot);
        if (fd == -1) continue;
        ++held;
        FUZZ_CHECK(env.OpenFds().count(fd) == 1);
    }
    FUZZ_CHECK(held == monitor.DeviceCount());
    FUZZ_CHECK(env.OpenFds().size() == static_cast<size_t>(held));
    FUZZ_CHECK(env.badCalls() == 0);
}

void DirectParse(Devmon* monitor, int monitorType, Script* script) {
    std::vector<input_event> events(script->Byte() % 20);
    for (input_event& event : events) event = script->Event();
    DevEvent tally;
    memset(&tally, 0, sizeof(tally));
    uint32_t rc = monitor->ParseEvent(&tally, events.data(), static_cast<int>(events.size()));
    FUZZ_CHECK(rc == KVO_OK || rc == KVO_E_FAIL);
    FUZZ_CHECK(rc != KVO_OK || tally.count > 0);
    // Only an event of a kind not watched ends a batch early, counted events or not.
    if (monitorType == (Devmon::MONITOR_MOUSE | Devmon::MONITOR_KEYBOARD)) {
        FUZZ_CHECK((rc == KVO_OK) == (tally.count > 0));
    }
    FUZZ_CHECK(tally.count <= static_cast<int>(events.size()));
    FUZZ_CHECK(tally.kind >= 0 && tally.kind <= 2 && tally.reserved == 0);
}

void Step(uint8_t op, int monitorType, Devmon* monitor, FakeDevmonEnv* env, Script* script) {
    const int slot = script->Byte() % Devmon::MAX_DEVICES;
    switch (op % 9) {
        case 0:
            env->AddDevice(slot, script->Byte());
            break;
        case 1:
            env->Unplug(slot);
            break;
        case 2: {
            std::vector<input_event> events(script->Byte() % 40);
            for (input_event& event : events) event = script->Event();
            env->Queue(slot, events);
            break;
        }
        case 3:
            monitor->LoopEventOnce();
            break;
        case 4:
            monitor->LoadDevs();
            break;
        case 5:
            monitor->NoticeVuriZedaCbImpl();
            break;
        case 6:
            env->FailNextPoll(script->Byte() & 1 ? EINTR : EIO);
            break;
        case 7:
            DirectParse(monitor, monitorType, script);
            break;
        case 8: {
            FakeDevmonEnv::Node node;
            uint8_t how = script->Byte();
            if (how & 1) node.mode = S_IFREG | 0644;
            if (how & 2) node.openErrno = (how & 4) ? ENOENT : EACCES;
            node.typeBits = script->Byte();
            env->AddNode(slot, node);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzQuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script script(data, size);
    FakeDevmonEnv env;
    Devmon monitor(&env);
    const int monitorType = 1 + script.Byte() % 3;
    for (int i = 0; i < 3; ++i) env.AddDevice(script.Byte() % Devmon::MAX_DEVICES, script.Byte());
    monitor.Initialize(1, monitorType, OnReport, nullptr);
    CheckTable(monitor, env);
    for (int steps = 0; steps < 200 && !script.Done(); ++steps) {
        Step(script.Byte(), monitorType, &monitor, &env, &script);
        CheckTable(monitor, env);
    }
    monitor.Uninitialize();
    FUZZ_CHECK(env.OpenFds().empty());
    FUZZ_CHECK(monitor.DeviceCount() == 0);
    return 0;
}
