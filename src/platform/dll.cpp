// Dynamic loading over dlopen / dlsym.
#include <dlfcn.h>
#include <errno.h>

#include "platform/kvo_base.h"

extern "C" int kvo_dll_open(const char* path, kvo_dll_t* handle) {
    if (handle == nullptr) return EINVAL;
    *handle = nullptr;
    if (path == nullptr) return EINVAL;
    *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (*handle == nullptr) {
        const char* why = dlerror();
        KVO_LOGD("dlopen %s failed: %s", path, why != nullptr ? why : "?");
        return ENOENT;
    }
    return 0;
}

extern "C" int kvo_dll_get_addr(kvo_dll_t handle, const char* name, void** address) {
    if (address == nullptr) return EINVAL;
    *address = nullptr;
    if (handle == nullptr || name == nullptr) return EINVAL;
    *address = dlsym(handle, name);
    return *address != nullptr ? 0 : ENOENT;
}

extern "C" void kvo_dll_close(kvo_dll_t handle) {
    if (handle != nullptr) dlclose(handle);
}
