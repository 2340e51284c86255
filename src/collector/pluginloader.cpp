// Loads libkvo_comm.so from the installation's library directory and resolves
// its functions into the process-wide CommImpl table.
#include <string.h>

#include "collector/commimpl.h"

namespace {

// Zero at start; written only by the thread that starts or stops the controller.
CommImpl g_commImpl;

struct SlotName {
    const char* symbol;
    size_t offset;
};

// Table order is the resolution order; a failure stops at the first gap.
const SlotName kSlots[kCommImplSlotCount] = {
    {"kvo_comm_register", offsetof(CommImpl, comm_register)},
    {"kvo_comm_unregister", offsetof(CommImpl, comm_unregister)},
    {"kvo_comm_unregister_all", offsetof(CommImpl, comm_unregister_all)},
    {"kvo_comm_new_data", offsetof(CommImpl, comm_new_data)},
    {"kvo_comm_set_data", offsetof(CommImpl, comm_set_data)},
    {"kvo_comm_get_data", offsetof(CommImpl, comm_get_data)},
    {"kvo_comm_delete_data", offsetof(CommImpl, comm_delete_data)},
    {"kvo_comm_send", offsetof(CommImpl, comm_send)},
    {"kvo_comm_post", offsetof(CommImpl, comm_post)},
    {"kvo_comm_init", offsetof(CommImpl, comm_init)},
    {"kvo_comm_uninit", offsetof(CommImpl, comm_uninit)},
};

// A dlsym address stored into a typed function-pointer slot (same size on Linux).
void StoreSlot(size_t offset, void* address) {
    memcpy(reinterpret_cast<char*>(&g_commImpl) + offset, &address, sizeof(address));
}

}  // namespace

extern "C" int PluginLoaderInit(void) {
    char path[4096];
    memset(path, 0, sizeof(path));
    kvo_dirutils_path_transform("@/../lib/libkvo_comm.so", path, sizeof(path));
    kvo_dll_open(path, &g_commImpl.handle);
    if (g_commImpl.handle == nullptr) return 0;
    for (const SlotName& slot : kSlots) {
        void* address = nullptr;
        int rc = kvo_dll_get_addr(g_commImpl.handle, slot.symbol, &address);
        StoreSlot(slot.offset, address);
        if (rc != 0 && address == nullptr) return 0;
    }
    return 1;
}

extern "C" void PluginLoaderUnInit(void) {
    if (g_commImpl.handle == nullptr) return;
    for (const SlotName& slot : kSlots) StoreSlot(slot.offset, nullptr);
    kvo_dll_close(g_commImpl.handle);
    g_commImpl.handle = nullptr;
}

extern "C" CommImpl* GetCommImpl(void) { return &g_commImpl; }
