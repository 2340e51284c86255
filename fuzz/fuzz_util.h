// Helpers shared by the fuzz targets: a log sink that formats every line but
// writes it nowhere, and a check that turns a broken property into a crash.
#pragma once

#include <stdio.h>
#include <stdlib.h>

// Every log line is still formatted (DEBUG level): the formatting of hostile
// text is part of what runs.
inline void FuzzQuietLog() {
    setenv("KVO_LOG_FILE", "/dev/null", 1);
    setenv("KVO_LOG_LEVEL", "3", 1);
}

#define FUZZ_CHECK(cond)                                                                \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                    \
        }                                                                               \
    } while (0)
