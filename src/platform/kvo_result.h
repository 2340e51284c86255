// Result codes of the library, in one place. Every function that returns a
// 32-bit code uses these names; no bare 0x84ce... literal appears elsewhere.
#pragma once

#include <stdint.h>

#define KVO_OK ((uint32_t)0)
#define KVO_E_FAIL ((uint32_t)0x84ce0001u)
#define KVO_E_INVALID_PARAM ((uint32_t)0x84ce0002u)
#define KVO_E_TIMEOUT ((uint32_t)0x84ce000du)
#define KVO_E_DISABLED ((uint32_t)0x84ce000eu)
#define KVO_E_NO_GROUP ((uint32_t)0x84ce0015u)
