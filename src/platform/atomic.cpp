// Sequentially consistent atomics on a 32-bit word.
#include "platform/kvo_base.h"

extern "C" int32_t kvo_atomic32_get(volatile int32_t* word) {
    return __atomic_load_n(word, __ATOMIC_SEQ_CST);
}

extern "C" void kvo_atomic32_set(volatile int32_t* word, int32_t value) {
    __atomic_store_n(word, value, __ATOMIC_SEQ_CST);
}

extern "C" int32_t kvo_atomic32_add_and_fetch(volatile int32_t* word, int32_t delta) {
    return __atomic_add_fetch(word, delta, __ATOMIC_SEQ_CST);
}
