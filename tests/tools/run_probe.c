/* A program for kvo-run to run: busy threads that report their CPU shares, a
   SIGUSR1 counter, and plain exits and deaths. */
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
    double seconds, warmup, share;
};

static void Spin(struct Busy* b) {
    const double start = Now(CLOCK_MONOTONIC);
    volatile unsigned long sink = 0;
    while (Now(CLOCK_MONOTONIC) < start + b->warmup) sink++;
    const double cpu0 = Now(CLOCK_THREAD_CPUTIME_ID), wall0 = Now(CLOCK_MONOTONIC);
    while (Now(CLOCK_MONOTONIC) < start + b->seconds) sink++;
    b->share = 100.0 * (Now(CLOCK_THREAD_CPUTIME_ID) - cpu0) / (Now(CLOCK_MONOTONIC) - wall0);
}

static void* BusyThread(void* raw) {
    struct Busy* b = raw;
    /* Named after start, the two ways programs do it. */
    if (b->index % 2 == 0) {
        pthread_setname_np(pthread_self(), b->name);
    } else {
        prctl(PR_SET_NAME, b->name, 0, 0, 0);
    }
    Spin(b);
    return NULL;
}

/* busy SECONDS [NAME...]: the main thread alone, or one thread per name;
   prints "NAME SHARE" per thread and "total SHARE" over the time after 2 s. */
static int Busy(int argc, char** argv) {
    const double seconds = atof(argv[0]);
    const int n = argc - 1;
    struct Busy main = {"main", 0, seconds, 2.0, 0};
    double total = 0;
    if (n == 0) {
        Spin(&main);
        total = main.share;
        printf("main %.1f\n", main.share);
    } else {
        struct Busy* b = calloc((size_t)n, sizeof(*b));
        pthread_t* t = calloc((size_t)n, sizeof(*t));
        for (int i = 0; i < n; ++i) {
            b[i] = (struct Busy){argv[i + 1], i, seconds, 2.0, 0};
            pthread_create(&t[i], NULL, BusyThread, &b[i]);
        }
        for (int i = 0; i < n; ++i) {
            pthread_join(t[i], NULL);
            printf("%s %.1f\n", b[i].name, b[i].share);
            total += b[i].share;
        }
    }
    printf("total %.1f\n", total);
    return 0;
}

static volatile sig_atomic_t g_count;
static void Count(int sig) {
    (void)sig;
    g_count++;
}

/* usr1 count|default|ignore SECONDS: busy for SECONDS with that SIGUSR1
   disposition; says "ready" once set, then "count N share S" at the end. */
static int Usr1(char** argv) {
    if (strcmp(argv[0], "count") == 0) {
        struct sigaction act;
        memset(&act, 0, sizeof(act));
        act.sa_handler = Count;
        act.sa_flags = SA_RESTART;
        sigaction(SIGUSR1, &act, NULL);
    } else if (strcmp(argv[0], "ignore") == 0) {
        signal(SIGUSR1, SIG_IGN);
    }
    printf("ready\n");
    fflush(stdout);
    struct Busy b = {"main", 0, atof(argv[1]), 1.0, 0};
    Spin(&b);
    printf("count %d share %.1f\n", (int)g_count, b.share);
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "busy") == 0) return Busy(argc - 2, argv + 2);
    if (argc == 4 && strcmp(argv[1], "usr1") == 0) return Usr1(argv + 2);
    if (argc == 3 && strcmp(argv[1], "exit") == 0) return atoi(argv[2]);
    /* env NAME...: the values, '|' between them; exec PROGRAM ARGS...: becomes it. */
    if (argc >= 3 && strcmp(argv[1], "env") == 0) {
        for (int i = 2; i < argc; ++i) {
            const char* value = getenv(argv[i]);
            printf("%s%s", i > 2 ? "|" : "", value != NULL ? value : "");
        }
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "exec") == 0) {
        execv(argv[2], argv + 2);
        return 127;
    }
    if (argc == 3 && strcmp(argv[1], "kill") == 0) {
        raise(atoi(argv[2]));
        return 99;
    }
    fprintf(stderr, "usage: run_probe busy|usr1|exit|kill|env|exec ...\n");
    return 2;
}
