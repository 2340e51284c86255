// INI parsing of a text already in memory, shared by the file loader and tests.
#pragma once

#include <stddef.h>

#include "platform/kvo_base.h"

// Parses length bytes of text (NUL bytes allowed); never fails on content.
// Null only when memory runs out. Free with kvo_ini_file_free.
kvo_ini_file_st* KvoIniParse(const char* text, size_t length);

// Files larger than this fail to load (errno EFBIG).
constexpr size_t kKvoIniMaxBytes = 4u << 20;

// Calls cb for every entry of every section in file order (sections named as
// written, "" before the first header); returns the number of entries.
int KvoIniEnumAll(kvo_ini_file_st* file, kvo_ini_entry_cb cb, void* context);
