// A host in strict C99 that knows only the public header and loads and unloads
// the library many times in one process: init, the calling thread and a busy one
// limited, uninit, dlclose. Afterwards no thread of the library may remain and
// the process may not grow in threads or descriptors; from the warm-up cycle on
// (the 20th, or half the run when shorter) its resident memory may not grow by
// more than a small slack either. Then it loads the library once more and returns
// from main while both threads are limited and the controller is initialised:
// the process must still exit cleanly.
// Usage: dlopen_host LIB CONFIG CYCLES [BUSY_MS]
// BUSY_MS: how long the limited thread runs in each cycle (300).
#define _POSIX_C_SOURCE 200809L
#include <dirent.h>
#include <dlfcn.h>
#include <kvo_vurizeda.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

// The function `name` of the library h, typed as the header declares it. A missing
// symbol fails the test suite's symbol check; here it would crash.
#define KVO_SYM(h, name) ((__typeof__(&name))dlsym(h, #name))

static int CountEntries(const char* path) {
    DIR* dir = opendir(path);
    int n = 0;
    for (struct dirent* e; dir != NULL && (e = readdir(dir)) != NULL;) n += e->d_name[0] != '.';
    if (dir != NULL) closedir(dir);
    return n;
}

// Resident kilobytes, from the second field of /proc/self/statm.
static long ResidentKiB(void) {
    FILE* f = fopen("/proc/self/statm", "r");
    long size = 0, resident = -1;
    if (f == NULL || fscanf(f, "%ld %ld", &size, &resident) != 2) resident = -1;
    if (f != NULL) fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A sanitizer keeps freed memory aside for a while, so growth says nothing there;
// its own leak check covers memory instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVO_JUDGE_RESIDENT 0
#else
#define KVO_JUDGE_RESIDENT 1
#endif
// Allocator and loader caches settle within the warm-up; a leak of even 10 KiB
// per cycle shows beyond this over 180 cycles.
#define KVO_RESIDENT_SLACK_KIB 1024

static int g_stop;  // __atomic: read by the workers
static long g_busyMs = 300;
static __typeof__(&kvo_add_thread_cpu_limit) g_limit;

static void* Busy(void* arg) {
    (void)arg;
    g_limit(kvo_this_thread_id(), 30.0f);
    while (!__atomic_load_n(&g_stop, __ATOMIC_RELAXED)) {
    }
    return NULL;
}

// One cycle; the last one (`last`) keeps the library and its threads limited.
static int Cycle(const char* lib, const char* config, int last) {
    void* h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    if (h == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    g_limit = KVO_SYM(h, kvo_add_thread_cpu_limit);
    if (KVO_SYM(h, kvo_perfctrl_init)(config) != KVO_OK) return 3;
    KVO_SYM(h, kvo_enable_vurizeda)(2, 1);
    if (KVO_SYM(h, kvo_add_cpu_vurizeda)(kvo_this_thread_id()) != KVO_OK) return 5;
    __atomic_store_n(&g_stop, 0, __ATOMIC_RELAXED);
    pthread_t t;
    pthread_create(&t, NULL, Busy, NULL);
    const struct timespec busy = {g_busyMs / 1000, g_busyMs % 1000 * 1000000};
    nanosleep(&busy, NULL);
    if (last) return 0;
    __atomic_store_n(&g_stop, 1, __ATOMIC_RELAXED);
    pthread_join(t, NULL);
    KVO_SYM(h, kvo_perfctrl_uninit)();
    return dlclose(h) != 0 ? 4 : 0;
}

int main(int argc, char** argv) {
    if (argc < 4) return 2;  // see the usage above
    int cycles = atoi(argv[3]), warmup = cycles >= 40 ? 20 : cycles / 2;
    if (argc > 4) g_busyMs = atol(argv[4]);
    int threads0 = 0, fds0 = 0;
    long rssWarm = -1;
    for (int i = 0; i < cycles; ++i) {
        if (i == warmup) rssWarm = ResidentKiB();
        // The baseline is taken after the first cycle: a sanitizer's runtime
        // starts a thread of its own on first use.
        if (i == 1) {
            threads0 = CountEntries("/proc/self/task");
            fds0 = CountEntries("/proc/self/fd");
        }
        int r = Cycle(argv[1], argv[2], 0);
        if (r != 0) {
            fprintf(stderr, "cycle %d failed: %d\n", i, r);
            return 10 + r;
        }
    }
    int threads1 = CountEntries("/proc/self/task"), fds1 = CountEntries("/proc/self/fd");
    long rss1 = ResidentKiB(), growth = rssWarm >= 0 && rss1 >= 0 ? rss1 - rssWarm : 0;
    printf(
        "dlopen_host: %d cycles, threads %d -> %d, descriptors %d -> %d, resident %ld -> %ld KiB "
        "from cycle %d (%+ld KiB%s)\n",
        cycles, threads0, threads1, fds0, fds1, rssWarm, rss1, warmup, growth,
        KVO_JUDGE_RESIDENT ? "" : ", not judged under a sanitizer");
    if (threads1 != threads0 || fds1 != fds0 ||
        (KVO_JUDGE_RESIDENT && growth > KVO_RESIDENT_SLACK_KIB))
        return 1;
    return Cycle(argv[1], argv[2], 1) == 0 ? 0 : 20;
}
