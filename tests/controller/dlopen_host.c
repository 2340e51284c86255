/* Loads and unloads the library many times in one process: init, a limited
   thread, uninit, dlclose. Afterwards no thread of the library may remain and
   the process may not grow in threads or descriptors. Usage: dlopen_host LIB CONFIG CYCLES */
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

typedef unsigned int (*InitFn)(const char*);
typedef void (*VoidFn)(void);
typedef unsigned int (*EnableFn)(int, int);
typedef unsigned int (*AddFn)(unsigned int);
typedef unsigned int (*LimitFn)(unsigned int, float);

static int CountEntries(const char* path) {
    DIR* dir = opendir(path);
    if (dir == NULL) return -1;
    int n = 0;
    struct dirent* e;
    while ((e = readdir(dir)) != NULL) n += e->d_name[0] != '.';
    closedir(dir);
    return n;
}

static int g_stop;  /* __atomic: read by the workers */
static LimitFn g_limit;

static void* Busy(void* arg) {
    (void)arg;
    g_limit((unsigned int)syscall(SYS_gettid), 30.0f);
    while (!__atomic_load_n(&g_stop, __ATOMIC_RELAXED)) {
    }
    return NULL;
}

static int Cycle(const char* lib, const char* config) {
    void* h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    if (h == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    InitFn init = (InitFn)dlsym(h, "kvo_perfctrl_init");
    VoidFn uninit = (VoidFn)dlsym(h, "kvo_perfctrl_uninit");
    EnableFn enable = (EnableFn)dlsym(h, "kvo_enable_vurizeda");
    AddFn add = (AddFn)dlsym(h, "kvo_add_cpu_vurizeda");
    g_limit = (LimitFn)dlsym(h, "kvo_add_thread_cpu_limit");
    if (!init || !uninit || !enable || !add || !g_limit) return 2;
    if (init(config) != 0) return 3;
    enable(2, 1);
    add((unsigned int)syscall(SYS_gettid));
    __atomic_store_n(&g_stop, 0, __ATOMIC_RELAXED);
    pthread_t t;
    pthread_create(&t, NULL, Busy, NULL);
    usleep(300 * 1000);
    __atomic_store_n(&g_stop, 1, __ATOMIC_RELAXED);
    pthread_join(t, NULL);
    uninit();
    if (dlclose(h) != 0) return 4;
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: dlopen_host LIB CONFIG CYCLES\n");
        return 2;
    }
    int cycles = atoi(argv[3]);
    int threads0 = 0, fds0 = 0;
    for (int i = 0; i < cycles; ++i) {
        /* The baseline is taken after the first cycle: a sanitizer's runtime
           starts a thread of its own on first use. */
        if (i == 1) {
            threads0 = CountEntries("/proc/self/task");
            fds0 = CountEntries("/proc/self/fd");
        }
        int r = Cycle(argv[1], argv[2]);
        if (r != 0) {
            fprintf(stderr, "cycle %d failed: %d\n", i, r);
            return 10 + r;
        }
    }
    int threads1 = CountEntries("/proc/self/task");
    int fds1 = CountEntries("/proc/self/fd");
    printf("dlopen_host: %d cycles, threads %d -> %d, descriptors %d -> %d\n", cycles, threads0,
           threads1, fds0, fds1);
    return (threads1 == threads0 && fds1 == fds0) ? 0 : 1;
}
