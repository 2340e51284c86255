// Stand-in for /dev/input (see fake_devmon_env.h).
#include "support/fake_devmon_env.h"

input_event InputEvent(uint16_t type, uint16_t code, int32_t value) {
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    return event;
}
