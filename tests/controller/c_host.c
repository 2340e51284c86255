/* A host in plain C that knows only the public header: it runs the whole
   sequence of the automatic limit and of a fixed limit, then exits cleanly.
   With --exit-limited it returns from main while its threads are still limited
   and the controller is initialised: the process must still exit cleanly. */
#include <kvo_vurizeda.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static int g_stop; /* __atomic: read by the workers */

static void* Worker(void* arg) {
    unsigned int tid = (unsigned int)syscall(SYS_gettid);
    int automatic = *(int*)arg;
    unsigned int r = automatic ? kvo_add_cpu_vurizeda(tid) : kvo_add_thread_cpu_limit(tid, 20.0f);
    if (r != 0) {
        fprintf(stderr, "worker add failed: 0x%08x\n", r);
        return (void*)1;
    }
    while (!__atomic_load_n(&g_stop, __ATOMIC_RELAXED)) {
    }
    if (automatic) {
        kvo_del_cpu_vurizeda(tid);
    } else {
        kvo_del_thread_cpu_limit(tid);
    }
    return NULL;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: c_host CONFIG [--exit-limited]\n");
        return 2;
    }
    if (kvo_perfctrl_init(argv[1]) != 0) return 3;
    if (kvo_enable_vurizeda(2, 1) != 0) return 4;
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
