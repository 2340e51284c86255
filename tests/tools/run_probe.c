// A program for kvo-run to run: busy threads that report their CPU shares, a
// SIGUSR1 counter, and plain exits and deaths.
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

static double Now(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

struct Busy {
    const char* name;
    int index;
    double seconds, share;
};

static void* Spin(void* raw) {
    struct Busy* b = raw;
    // Threads are named after start, the two ways programs do it.
    if (b->index > 0) {
        b->index % 2 ? pthread_setname_np(pthread_self(), b->name)
                     : prctl(PR_SET_NAME, b->name, 0, 0, 0);
    }
    const double start = Now(CLOCK_MONOTONIC);
    volatile unsigned long sink = 0;
    while (Now(CLOCK_MONOTONIC) < start + 2) sink++;  // a warm-up
    const double cpu0 = Now(CLOCK_THREAD_CPUTIME_ID), wall0 = Now(CLOCK_MONOTONIC);
    while (Now(CLOCK_MONOTONIC) < start + b->seconds) sink++;
    b->share = 100.0 * (Now(CLOCK_THREAD_CPUTIME_ID) - cpu0) / (Now(CLOCK_MONOTONIC) - wall0);
    return NULL;
}

// busy SECONDS NAME...: one thread per name; prints "NAME SHARE" per thread
// over the time after 2 s.
static int Busy(int n, char** argv) {
    struct Busy b[n];
    pthread_t t[n];
    for (int i = 0; i < n; ++i) {
        b[i] = (struct Busy){argv[i + 1], i + 1, atof(argv[0]), 0};
        pthread_create(&t[i], NULL, Spin, &b[i]);
    }
    for (int i = 0; i < n; ++i) {
        pthread_join(t[i], NULL);
        printf("%s %.1f\n", b[i].name, b[i].share);
    }
    return 0;
}

static volatile sig_atomic_t g_count;
static void Count(int sig) { g_count += sig == SIGUSR1; }

// usr1 count|default|ignore SECONDS: the main thread busy for SECONDS with that
// SIGUSR1 disposition (a counter that restarts calls); says "ready" once set,
// then "count N share S" at the end.
static int Usr1(char** argv) {
    if (strcmp(argv[0], "count") == 0) signal(SIGUSR1, Count);
    if (strcmp(argv[0], "ignore") == 0) signal(SIGUSR1, SIG_IGN);
    printf("ready\n");
    fflush(stdout);
    struct Busy b = {"main", 0, atof(argv[1]), 0};
    Spin(&b);
    printf("count %d share %.1f\n", (int)g_count, b.share);
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 4 && strcmp(argv[1], "busy") == 0) return Busy(argc - 3, argv + 2);
    if (argc == 4 && strcmp(argv[1], "usr1") == 0) return Usr1(argv + 2);
    if (argc == 3 && strcmp(argv[1], "exit") == 0) return atoi(argv[2]);
    if (argc == 3 && strcmp(argv[1], "kill") == 0) raise(atoi(argv[2]));
    fprintf(stderr, "usage: run_probe busy|usr1|exit|kill ...\n");
    return 2;
}
