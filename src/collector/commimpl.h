// The comm library's function table: eleven slots resolved from libkvo_comm.so
// at run time, then the library handle. All null while the library is not loaded.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kvo_vurizeda.h"
#include "platform/kvo_base.h"

// A message of the comm library; opaque here, only handed back to it.
struct comm_data;

typedef uint32_t (*kvo_comm_receiver_fn)(comm_data* data, comm_data* second, void* context);

struct CommImpl {
    uint32_t (*comm_register)(const char* name, kvo_comm_receiver_fn callback, void* context);
    uint32_t (*comm_unregister)(const char* name);
    uint32_t (*comm_unregister_all)(void);
    uint32_t (*comm_new_data)(comm_data** data);
    uint32_t (*comm_set_data)(comm_data* data, const char* text, uint32_t length);
    uint32_t (*comm_get_data)(comm_data* data, const char** text, uint32_t* length);
    uint32_t (*comm_delete_data)(comm_data* data);
    uint32_t (*comm_send)(uint32_t pid, const char* name, comm_data* data);
    uint32_t (*comm_post)(uint32_t pid, const char* name, comm_data* data);
    uint32_t (*comm_init)(void);
    uint32_t (*comm_uninit)(void);
    kvo_dll_t handle;
};

// Callers may index the table as twelve pointer-sized words.
static_assert(sizeof(CommImpl) == 12 * sizeof(void*), "CommImpl is eleven slots and a handle");

constexpr size_t kCommImplSlotCount = 11;

extern "C" {
// 1 when libkvo_comm.so is open and every slot is resolved, else 0.
KVO_API int PluginLoaderInit(void);
// Clears the slots and unloads the library when it is loaded.
KVO_API void PluginLoaderUnInit(void);
// The process-wide table; the pointer never changes.
KVO_API CommImpl* GetCommImpl(void);
}
