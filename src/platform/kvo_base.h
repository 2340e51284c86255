// Base runtime services: logging, locks, events, semaphores, threads, atomics,
// INI files, paths, dynamic loading, strings and system facts, over POSIX.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include "platform/kvo_result.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Logging ---------------------------------------------------------------
// Levels: a line is written when its level is at most KVO_LOG_LEVEL (default 2).
// The sink is standard error, or the file named by KVO_LOG_FILE (appended).
// Each line is one write() call; a line feed is added when missing.
enum { KVO_LOG_ERROR = 0, KVO_LOG_WARN = 1, KVO_LOG_INFO = 2, KVO_LOG_DEBUG = 3 };

void kvo_log_output(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Base name of a source path (the text after the last '/').
const char* kvo_log_file_name(const char* path);

// ---- Mutex and read-write lock ---------------------------------------------
typedef void* kvo_mutex_t;
typedef void* kvo_rwlock_t;

int kvo_mutex_init(kvo_mutex_t* mutex);  // 0 = success
void kvo_mutex_lock(kvo_mutex_t mutex);
void kvo_mutex_unlock(kvo_mutex_t mutex);
void kvo_mutex_destroy(kvo_mutex_t mutex);

// Shared acquisition is recursive on one thread even while a writer waits
// (readers are preferred), which nested shared sections rely on.
int kvo_rwlock_init(kvo_rwlock_t* lock);  // 0 = success
void kvo_rwlock_shared_acquire(kvo_rwlock_t lock);
void kvo_rwlock_shared_release(kvo_rwlock_t lock);
// Non-waiting shared acquisition: 0 when acquired, non-zero when busy.
int kvo_rwlock_shared_try_acquire(kvo_rwlock_t lock);
void kvo_rwlock_exclusive_acquire(kvo_rwlock_t lock);
void kvo_rwlock_exclusive_release(kvo_rwlock_t lock);
void kvo_rwlock_destroy(kvo_rwlock_t lock);

// ---- Event -----------------------------------------------------------------
// kvo_event_init(&e, initial_state, auto_reset): every caller passes (0, 1): the
// event starts unsignalled and a wait that sees it set consumes the signal.
typedef void* kvo_event_t;

uint32_t kvo_event_init(kvo_event_t* event, int initial_state, int auto_reset);  // 0 = success
void kvo_event_set(kvo_event_t event);
// 0 when the event was set, KVO_E_TIMEOUT when the time ran out (monotonic clock).
uint32_t kvo_event_timedwait(kvo_event_t event, int64_t timeout_ms);
void kvo_event_destroy(kvo_event_t event);

// ---- Semaphore -------------------------------------------------------------
typedef void* kvo_semaphore_t;

#define KVO_WAIT_INFINITE 0xFFFFFFFFu

kvo_semaphore_t kvo_semaphore_init(uint32_t max_count);  // starts at 0; null on failure
void kvo_semaphore_post(kvo_semaphore_t sem, uint32_t count);
// Waits until posted (timeout_ms KVO_WAIT_INFINITE) or the time runs out:
// 0, or KVO_E_TIMEOUT.
uint32_t kvo_semaphore_wait(kvo_semaphore_t sem, uint32_t timeout_ms, int flags);
void kvo_semaphore_destroy(kvo_semaphore_t sem);

// ---- Thread ----------------------------------------------------------------
// Threads started here block SIGUSR1: the library's own threads are never limited.
typedef pthread_t kvo_thread_t;
typedef uint32_t (*kvo_thread_proc)(void* argument);

int kvo_thread_start(kvo_thread_t* thread, kvo_thread_proc proc, void* argument);  // 0 = success
// Blocks SIGUSR1 (the limiting signal) in the calling thread, keeping the previous
// mask in *previous; kvo_thread_restore_mask puts it back.
void kvo_thread_block_sigusr1(sigset_t* previous);
void kvo_thread_restore_mask(const sigset_t* previous);
// Joins; when exit_code is not null it receives the thread's result or exit code.
int kvo_thread_join(kvo_thread_t* thread, uint32_t* exit_code);
void kvo_thread_exit(uint32_t code) __attribute__((noreturn));

// ---- Atomics on a 32-bit word ---------------------------------------------
int32_t kvo_atomic32_get(volatile int32_t* word);
void kvo_atomic32_set(volatile int32_t* word, int32_t value);
int32_t kvo_atomic32_add_and_fetch(volatile int32_t* word, int32_t delta);

// ---- INI files -------------------------------------------------------------
// "[section]" lines, "key = value" lines with surrounding blanks trimmed, lines
// starting with ';' or '#' are comments; a ';' inside a value belongs to it.
// Keys and sections compare as written. A repeated section continues the first;
// a repeated key: kvo_ini_file_get returns the last value, enumeration sees all.
typedef struct kvo_ini_file kvo_ini_file_st;
typedef int (*kvo_ini_entry_cb)(const char* section, const char* key, const char* value,
                                void* context);

kvo_ini_file_st* kvo_ini_file_load(const char* path);  // null when unreadable (errno set)
const char* kvo_ini_file_get(kvo_ini_file_st* file, const char* section, const char* key);
// strtol base 10 of the value; default_value when the key is absent.
int kvo_ini_file_get_int(kvo_ini_file_st* file, const char* section, const char* key,
                         int default_value);
// Calls cb for each entry of section in file order; returns the number of entries.
int kvo_ini_file_enum_section(kvo_ini_file_st* file, const char* section, kvo_ini_entry_cb cb,
                              void* context);
void kvo_ini_file_free(kvo_ini_file_st* file);

// ---- Paths -----------------------------------------------------------------
// "@" at the start of a path stands for the installation's library directory:
// $KVO_BASE_DIR when set and not empty, else the directory of the file that holds
// this library's code (dladdr). 0 = success.
int kvo_dirutils_path_transform(const char* in, char* out, size_t size);
int kvo_path_get_cur_proc_a(char* buffer, size_t size);  // the executable's path; 0 = success
void kvo_path_remove_ext_a(char* buffer);                // strips ".ext" of the last component
// Canonical form in place: repeated '/' collapsed, "." dropped, ".." folded
// lexically, no trailing '/' (except the root).
void kvo_path_format_a(char* buffer);

// ---- Dynamic loading -------------------------------------------------------
typedef void* kvo_dll_t;

int kvo_dll_open(const char* path, kvo_dll_t* handle);                     // handle null on failure
int kvo_dll_get_addr(kvo_dll_t handle, const char* name, void** address);  // 0 = found
void kvo_dll_close(kvo_dll_t handle);

// ---- Strings ---------------------------------------------------------------
int kvo_str_snprintf(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
size_t kvo_str_strlcpy(char* destination, const char* source, size_t size);
int kvo_strnicmp(const char* a, const char* b, size_t n);

// ---- System ----------------------------------------------------------------
unsigned int kvo_cpu_count(void);   // online processors
int kvo_is_virtual_evn(int flags);  // non-zero inside a virtual machine
uint32_t kvo_process_get_cur_pid(void);
uint32_t kvo_gettid(void);  // kernel thread id of the caller (async-signal-safe)

#ifdef __cplusplus
}
#endif

// ---- Log prefix ------------------------------------------------------------
// Every line: "[PID:%-5ld]\t[LEVEL]\t%-10s [file(line)] message". A source file
// sets KVO_MODULE_TAG before including this header to change the module tag.
#ifndef KVO_MODULE_TAG
#define KVO_MODULE_TAG "[kvo_vurizeda]"
#endif

#define KVO_LOG_AT_(level, name, format, ...)                                                    \
    kvo_log_output(level, "[PID:%-5ld]\t[" name "]\t%-10s [%s(%d)] " format,                     \
                   (long)kvo_process_get_cur_pid(), KVO_MODULE_TAG, kvo_log_file_name(__FILE__), \
                   __LINE__, ##__VA_ARGS__)

#define KVO_LOGE(format, ...) KVO_LOG_AT_(KVO_LOG_ERROR, "ERROR", format, ##__VA_ARGS__)
#define KVO_LOGW(format, ...) KVO_LOG_AT_(KVO_LOG_WARN, "WARN", format, ##__VA_ARGS__)
#define KVO_LOGI(format, ...) KVO_LOG_AT_(KVO_LOG_INFO, "INFO", format, ##__VA_ARGS__)
#define KVO_LOGD(format, ...) KVO_LOG_AT_(KVO_LOG_DEBUG, "DEBUG", format, ##__VA_ARGS__)
