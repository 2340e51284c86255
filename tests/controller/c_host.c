/* A host in strict C99 that knows only the public header: it runs the whole
   sequence of the automatic limit, a group and a fixed limit through the
   helpers that pass the calling thread's id, then exits cleanly.
   With --exit-limited it returns from main while its threads are still limited
   and the controller is initialised: the process must still exit cleanly. */
#define _POSIX_C_SOURCE 200809L
#include <kvo_vurizeda.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static int g_stop; /* __atomic: read by the workers */

static void* Worker(void* arg) {
    int automatic = *(int*)arg;
    /* The helpers' id is this thread's kernel id, never the process id. */
    if (kvo_this_thread_id() != (unsigned int)syscall(SYS_gettid) ||
        kvo_this_thread_id() == (unsigned int)getpid()) {
        fprintf(stderr, "worker: the helpers' id is not this thread's\n");
        return (void*)1;
    }
    unsigned int r = automatic ? kvo_join_auto() : kvo_limit_this_thread(20.0f);
    if (r == KVO_OK && !automatic) r = kvo_join_group("scan");
    if (r != KVO_OK) {
        fprintf(stderr, "worker join failed: 0x%08x\n", r);
        return (void*)1;
    }
    if (kvo_join_group("no-such-group") != KVO_E_NO_GROUP) {
        fprintf(stderr, "worker: an unknown group was accepted\n");
        return (void*)1;
    }
    while (!__atomic_load_n(&g_stop, __ATOMIC_RELAXED)) {
    }
    if (automatic) {
        kvo_leave_auto();
    } else if (kvo_leave_group("scan") == KVO_OK) {
        kvo_unlimit_this_thread();
    } else {
        return (void*)1;
    }
    return NULL;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: c_host CONFIG [--exit-limited]\n");
        return 2;
    }
    if (kvo_perfctrl_init(argv[1]) != KVO_OK) return 3;
    if (kvo_enable_vurizeda(2, 1) != KVO_OK) return 4;
    if (kvo_query_vurizeda_cpucnt() == 0) return 5;
    pthread_t threads[2];
    int modes[2] = {1, 0};
    for (int i = 0; i < 2; ++i) pthread_create(&threads[i], NULL, Worker, &modes[i]);
    sleep(2);
    if (argc > 2 && strcmp(argv[2], "--exit-limited") == 0) {
        puts("c_host: exiting with limited threads");
        return 0;
    }
    __atomic_store_n(&g_stop, 1, __ATOMIC_RELAXED);
    int failed = 0;
    for (int i = 0; i < 2; ++i) {
        void* result = NULL;
        pthread_join(threads[i], &result);
        failed |= result != NULL;
    }
    kvo_perfctrl_uninit();
    puts(failed ? "c_host: worker failed" : "c_host: ok");
    return failed ? 6 : 0;
}
