// Numbers read from configuration text the same way on 32- and 64-bit targets.
#pragma once

#include <stdint.h>

#include "platform/kvo_base.h"

// strtoul base 10 as a 32-bit unsigned long reads it, on every target.
uint32_t ReadU32(const char* text);
// strtol base 10 with the range of a 32-bit long.
int32_t ReadI32(const char* text);
// The key's value read by ReadU32; false when the key is absent.
bool ReadKey(kvo_ini_file_st* file, const char* section, const char* key, uint32_t* value);
