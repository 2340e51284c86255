/* A host in strict C99 that knows only the public header: its workers join the
   automatic limit, a fixed limit and a group through the helpers that pass the
   calling thread's id. It returns from main while they are still limited and the
   controller is initialised: the process must still exit cleanly. */
#define _POSIX_C_SOURCE 200809L
#include <kvo_vurizeda.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

static int g_failed; /* __atomic: set by a worker whose step failed */

static void* Worker(void* arg) {
    int automatic = *(int*)arg;
    unsigned int r = automatic ? kvo_join_auto() : kvo_limit_this_thread(20.0f);
    if (r == KVO_OK && !automatic) r = kvo_join_group("scan");
    if (r == KVO_OK && kvo_join_group("no-such-group") != KVO_E_NO_GROUP) r = KVO_E_FAIL;
    /* The helpers' id is this thread's kernel id, never the process id. */
    if (kvo_this_thread_id() != (unsigned int)syscall(SYS_gettid) ||
        kvo_this_thread_id() == (unsigned int)getpid() || r != KVO_OK) {
        fprintf(stderr, "worker %d failed: 0x%08x\n", automatic, r);
        __atomic_store_n(&g_failed, 1, __ATOMIC_RELAXED);
    }
    for (;;) {
    }
    return NULL;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: c_host CONFIG\n");
        return 2;
    }
    if (kvo_perfctrl_init(argv[1]) != KVO_OK || kvo_enable_vurizeda(2, 1) != KVO_OK ||
        kvo_query_vurizeda_cpucnt() == 0) {
        return 3;
    }
    pthread_t threads[2];
    int modes[2] = {1, 0};
    for (int i = 0; i < 2; ++i) pthread_create(&threads[i], NULL, Worker, &modes[i]);
    sleep(2);
    if (__atomic_load_n(&g_failed, __ATOMIC_RELAXED)) return 6;
    puts("c_host: exiting with limited threads");
    return 0;
}
