/* The smallest host: the calling thread limits itself to 50 % of one processor,
   works for a second, and takes the limit back. The same file is built with
   CMake, with pkg-config and with plain -l (see the README). */
#include <kvo_vurizeda.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

int main(void) {
    unsigned int tid = (unsigned int)syscall(SYS_gettid);
    if (RegisterCpuCtrl() != 1) {
        fprintf(stderr, "RegisterCpuCtrl failed\n");
        return 1;
    }
    unsigned int r = kvo_add_thread_cpu_limit(tid, 50.0f);
    if (r != 0) {
        fprintf(stderr, "kvo_add_thread_cpu_limit: 0x%08x\n", r);
        UnRegisterCpuCtrl();
        return 1;
    }
    time_t end = time(NULL) + 1;
    volatile unsigned long spins = 0;
    while (time(NULL) <= end) spins = spins + 1;
    kvo_del_thread_cpu_limit(tid);
    UnRegisterCpuCtrl();
    printf("host: thread %u ran under a 50%% limit\n", tid);
    return 0;
}
