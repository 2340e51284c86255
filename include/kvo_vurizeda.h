/* Host API of libkvo_vurizeda: CPU limits for threads of the calling process.
 * Usable from C and C++. Results are 32-bit codes, named below (KVO_OK, KVO_E_...).
 * A thread to be limited registers itself: call the add functions on that thread,
 * with its own kernel thread id, or use the kvo_*_this_thread helpers at the end,
 * which pass the caller's id for you. */
#ifndef KVO_VURIZEDA_H
#define KVO_VURIZEDA_H

#include <sys/syscall.h>
#include <unistd.h>

#if !defined(__cplusplus) && defined(__GLIBC__) && !defined(__USE_MISC)
/* A strict C mode (-std=c99) hides syscall(); the helpers below need it. */
long syscall(long number, ...);
#endif

#define KVO_API __attribute__((visibility("default")))

/* ---- Result codes (unsigned int) ---- */

#define KVO_OK 0u                       /* success */
#define KVO_E_FAIL 0x84ce0001u          /* general failure */
#define KVO_E_INVALID_PARAM 0x84ce0002u /* null pointer or zero thread id */
#define KVO_E_TIMEOUT 0x84ce000du       /* a timed wait ran out (logged by init) */
#define KVO_E_DISABLED 0x84ce000eu      /* automatic CPU limiting (or IO) is off */
#define KVO_E_NO_GROUP 0x84ce0015u      /* no CPU group of that name */

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Scheduler interface: per-thread limits in percent of one processor ---- */

/* Starts the schedule thread on the first call, counts later calls. 1 ok, 0 failed. */
KVO_API int RegisterCpuCtrl(void);
/* Takes one registration back; the last one stops the scheduler and drops every limit. */
KVO_API void UnRegisterCpuCtrl(void);
/* Limits thread tid to percent (0.1 to 100) of one processor, or changes its limit.
 * The first call for a tid must come from that thread. 1 ok, 0 failed (errno set);
 * a refused percentage for a limited thread removes its limit. */
KVO_API int AddCpuCtrlObject(unsigned int tid, float percent);
/* Removes the limit of thread tid, if any. */
KVO_API void DelCpuCtrlObject(unsigned int tid);
/* Has no effect; kept for compatibility. */
KVO_API void ResumeUpdateThread(unsigned int tid);

/* ---- Automatic controller (call init/uninit from one thread at a time) ---- */

/* Loads the INI file conf_file and starts the controller. KVO_OK, KVO_E_FAIL,
 * KVO_E_INVALID_PARAM. */
KVO_API unsigned int kvo_perfctrl_init(const char* conf_file);
/* Stops the controller: leaves the collector, switches automatic limiting off. */
KVO_API void kvo_perfctrl_uninit(void);
/* type bit 1: IO (always refused), bit 2: automatic CPU limiting; enable 0 = off. Returns 0. */
KVO_API unsigned int kvo_enable_vurizeda(int type, int enable);
/* Puts the calling thread tid under the automatic limit. KVO_OK, or KVO_E_DISABLED. */
KVO_API unsigned int kvo_add_cpu_vurizeda(unsigned int tid);
/* Takes tid out of the automatic limit and removes its limit. */
KVO_API void kvo_del_cpu_vurizeda(unsigned int tid);
/* Sets the system CPU ceiling (percent of the machine). KVO_OK, or KVO_E_DISABLED. */
KVO_API unsigned int kvo_set_cpu_vurizeda_upper(float percent);
/* Sets the minimum process limit (percent of the machine). KVO_OK, or KVO_E_DISABLED. */
KVO_API unsigned int kvo_set_cpu_vurizeda_lower(float percent);
/* Processors the idle ceiling amounts to, plus one; 0 when not initialised. */
KVO_API unsigned int kvo_query_vurizeda_cpucnt(void);

/* ---- CPU groups from the configuration file's [cpu_group] section ---- */

/* Adds the calling thread tid to group. KVO_OK, KVO_E_INVALID_PARAM, KVO_E_NO_GROUP. */
KVO_API unsigned int kvo_add_cpu_group(const char* group, unsigned int tid);
/* Removes tid from group and removes its limit. KVO_OK, KVO_E_INVALID_PARAM,
 * KVO_E_NO_GROUP. */
KVO_API unsigned int kvo_del_cpu_group(const char* group, unsigned int tid);

/* ---- Fixed per-thread limits (need a registration: init or the config path) ---- */

/* Limits the calling thread tid to percent of one processor. KVO_OK, or KVO_E_FAIL. */
KVO_API unsigned int kvo_add_thread_cpu_limit(unsigned int tid, float percent);
/* Removes the limit of tid. */
KVO_API void kvo_del_thread_cpu_limit(unsigned int tid);
/* Has no effect besides its log line. */
KVO_API void kvo_resume_update_thread(unsigned int tid);

/* ---- IO limiting: not provided, always refused ---- */

/* Always KVO_E_DISABLED. */
KVO_API unsigned int kvo_set_io_vurizeda_upper(unsigned int read, unsigned int write);
/* Always KVO_E_DISABLED. */
KVO_API unsigned int kvo_set_io_vurizeda_lower(unsigned int read, unsigned int write);
/* Do nothing; the argument is ignored. */
KVO_API void kvo_add_io_exclusions_handle(const void* handle);
KVO_API void kvo_del_io_exclusions_handle(const void* handle);

/* ---- Limits by thread name from <install>/config/kvo_vurizeda.ini [thread_cpulimit] ---- */

/* Limits the calling thread to the percentage configured for thread_name; registers
 * with the scheduler. KVO_OK, or KVO_E_FAIL. Works with or without kvo_perfctrl_init. */
KVO_API unsigned int kvo_thread_cpu_limit_from_config(const char* thread_name);
/* Takes back one registration made by kvo_thread_cpu_limit_from_config. */
KVO_API void kvo_thread_cpu_limit_unregister(void);

/* ---- The calling thread, by its own id ----
 * The commonest mistake is a wrong id (getpid() from a worker, pthread_self(),
 * another process's pid): it is accepted and limits nothing. These helpers take
 * no id: each passes the caller's kernel thread id and returns what the
 * function it calls returns. Call them on the thread to be limited. */

static inline unsigned int kvo_this_thread_id(void) { return (unsigned int)syscall(SYS_gettid); }

/* kvo_add_thread_cpu_limit for this thread: percent of one processor (0.1 to 100). */
static inline unsigned int kvo_limit_this_thread(float percent) {
    return kvo_add_thread_cpu_limit(kvo_this_thread_id(), percent);
}
/* kvo_del_thread_cpu_limit for this thread. */
static inline void kvo_unlimit_this_thread(void) { kvo_del_thread_cpu_limit(kvo_this_thread_id()); }
/* kvo_add_cpu_vurizeda for this thread: joins the automatic limit. */
static inline unsigned int kvo_join_auto(void) {
    return kvo_add_cpu_vurizeda(kvo_this_thread_id());
}
/* kvo_del_cpu_vurizeda for this thread: leaves the automatic limit. */
static inline void kvo_leave_auto(void) { kvo_del_cpu_vurizeda(kvo_this_thread_id()); }
/* kvo_add_cpu_group for this thread. */
static inline unsigned int kvo_join_group(const char* group) {
    return kvo_add_cpu_group(group, kvo_this_thread_id());
}
/* kvo_del_cpu_group for this thread. */
static inline unsigned int kvo_leave_group(const char* group) {
    return kvo_del_cpu_group(group, kvo_this_thread_id());
}

#ifdef __cplusplus
}

/* C++ only: the percentage configured for thread_name, or KVO_E_FAIL (as int). */
KVO_API int kvo_get_thread_cpulimit_percent(const char* thread_name);
#endif

#endif /* KVO_VURIZEDA_H */
