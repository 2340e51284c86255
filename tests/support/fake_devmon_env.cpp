// Stand-in for /dev/input (see fake_devmon_env.h).
#include "support/fake_devmon_env.h"

#include <tuple>

input_event InputEvent(uint16_t type, uint16_t code, int32_t value) {
    input_event event{};
    std::tie(event.type, event.code, event.value) = std::tie(type, code, value);
    return event;
}
