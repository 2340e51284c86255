// The environment variables through which kvo-run hands its settings to the
// preload library in the program (and, by default, in the programs it execs).
#pragma once

#define KVO_RUN_ENV_LIB "KVO_RUN_LIB"          // the preload's own path, to strip it
#define KVO_RUN_ENV_LIMIT "KVO_RUN_LIMIT"      // -l: percent of one processor per thread
#define KVO_RUN_ENV_TOTAL "KVO_RUN_TOTAL"      // -t: percent of one processor, whole program
#define KVO_RUN_ENV_THREADS "KVO_RUN_THREADS"  // --thread: NAME=P lines
#define KVO_RUN_ENV_AUTO "KVO_RUN_AUTO"        // --auto: configuration file path
#define KVO_RUN_ENV_VERBOSE "KVO_RUN_VERBOSE"  // -v
#define KVO_RUN_ENV_NO_CHILDREN "KVO_RUN_NO_CHILDREN"  // --no-children
#define KVO_RUN_ENV_EXACT "KVO_RUN_EXACT"              // --exact set KVO_SCHED_MODE itself
#define KVO_RUN_ENV_SIGNAL_TAG "KVO_SIGNAL_TAG"        // read by the library's scheduler
