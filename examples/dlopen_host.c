/* A plugin-style host: loads the library at run time (argument: its path, or
   the name libkvo_vurizeda.so.1 for the loader's search) and calls it through
   looked-up pointers, with nothing of it at link time but the header. */
#include <dlfcn.h>
#include <kvo_vurizeda.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "libkvo_vurizeda.so.1";
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    int (*reg)(void) = (int (*)(void))dlsym(lib, "RegisterCpuCtrl");
    void (*unreg)(void) = (void (*)(void))dlsym(lib, "UnRegisterCpuCtrl");
    unsigned int (*add)(unsigned int, float) =
        (unsigned int (*)(unsigned int, float))dlsym(lib, "kvo_add_thread_cpu_limit");
    void (*del)(unsigned int) = (void (*)(unsigned int))dlsym(lib, "kvo_del_thread_cpu_limit");
    if (reg == NULL || unreg == NULL || add == NULL || del == NULL) {
        fprintf(stderr, "dlsym: %s\n", dlerror());
        return 1;
    }
    unsigned int tid = (unsigned int)syscall(SYS_gettid);
    int ok = reg() == 1 && add(tid, 50.0f) == 0;
    del(tid);
    unreg();
    dlclose(lib); /* every registration is taken back first */
    printf("dlopen host: %s\n", ok ? "limited and released" : "FAILED");
    return ok ? 0 : 1;
}
