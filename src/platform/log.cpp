// Logger: one formatted line per write() to stderr or to $KVO_LOG_FILE.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/kvo_base.h"
#include "platform/log_sink.h"

namespace {

// Long enough for any line the library writes; longer ones are truncated.
constexpr size_t kLineMax = 4096;
constexpr int kDefaultLevel = KVO_LOG_INFO;

// The sink is chosen lazily, once (tests choose again through
// KvoLogReloadSettings); g_fd and g_level are read without the lock.
pthread_mutex_t g_initLock = PTHREAD_MUTEX_INITIALIZER;
int g_ready = 0;
int g_fd = STDERR_FILENO;
int g_level = kDefaultLevel;
// Set when the code that holds this logger goes away (unload or exit): the
// sink has been given back, and each later line opens the file for itself.
int g_unloading = 0;

int ParseLevel(const char* text) {
    if (text == nullptr || *text == '\0') return kDefaultLevel;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0') return kDefaultLevel;
    if (value < KVO_LOG_ERROR) return KVO_LOG_ERROR;
    if (value > KVO_LOG_DEBUG) return KVO_LOG_DEBUG;
    return static_cast<int>(value);
}

int OpenSink() {
    const char* path = getenv("KVO_LOG_FILE");
    if (path == nullptr || *path == '\0') return STDERR_FILENO;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return fd >= 0 ? fd : STDERR_FILENO;
}

// Writers may be using the current descriptor while the sink changes: a private
// descriptor is redirected in place (dup3), so no line ever goes to a closed or
// reused descriptor.
void SwitchSink(int fd) {
    const int current = __atomic_load_n(&g_fd, __ATOMIC_RELAXED);
    if (current == STDERR_FILENO) {
        __atomic_store_n(&g_fd, fd, __ATOMIC_RELAXED);
        return;
    }
    if (fd != current) dup3(fd, current, O_CLOEXEC);
    if (fd != STDERR_FILENO && fd != current) close(fd);
}

// Holds g_initLock for one scope. The lock is statically initialised, as a line
// may be logged before this file's constructors have run.
class InitLockHold {
public:
    InitLockHold() { pthread_mutex_lock(&g_initLock); }
    ~InitLockHold() { pthread_mutex_unlock(&g_initLock); }
    InitLockHold(const InitLockHold&) = delete;
    InitLockHold& operator=(const InitLockHold&) = delete;
};

void EnsureReady() {
    if (__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE)) return;
    InitLockHold hold;
    if (!g_ready) {
        __atomic_store_n(&g_level, ParseLevel(getenv("KVO_LOG_LEVEL")), __ATOMIC_RELAXED);
        // Once unloading, lines open their own sink and nothing is kept open.
        if (!__atomic_load_n(&g_unloading, __ATOMIC_RELAXED)) SwitchSink(OpenSink());
        __atomic_store_n(&g_ready, 1, __ATOMIC_RELEASE);
    }
}

// A host that loads and unloads the library would otherwise keep one open log
// file per load. Registered at load, so it runs after the function-local
// singletons (which may still log while they are destroyed); nothing of the
// library runs any more when it is unloaded.
struct SinkRelease {
    ~SinkRelease() {
        InitLockHold hold;
        __atomic_store_n(&g_unloading, 1, __ATOMIC_RELEASE);
        const int fd = __atomic_exchange_n(&g_fd, STDERR_FILENO, __ATOMIC_ACQ_REL);
        if (fd != STDERR_FILENO) close(fd);
    }
} g_sinkRelease;

// One write per line keeps concurrent lines whole in an O_APPEND file. During
// unload the line goes to a sink opened for it alone.
void WriteLine(const char* line, size_t length) {
    const bool own = __atomic_load_n(&g_unloading, __ATOMIC_ACQUIRE) != 0;
    const int fd = own ? OpenSink() : __atomic_load_n(&g_fd, __ATOMIC_RELAXED);
    while (write(fd, line, length) < 0 && errno == EINTR) {
    }
    if (own && fd != STDERR_FILENO) close(fd);
}

}  // namespace

void KvoLogReloadSettings() {
    // The next line reads the environment again; see SwitchSink.
    InitLockHold hold;
    __atomic_store_n(&g_ready, 0, __ATOMIC_RELEASE);
}

extern "C" void kvo_log_output(int level, const char* format, ...) {
    if (format == nullptr) return;
    int savedErrno = errno;  // callers log between a failing call and reading errno
    EnsureReady();
    if (level > __atomic_load_n(&g_level, __ATOMIC_RELAXED)) {
        errno = savedErrno;
        return;
    }
    char line[kLineMax];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line) - 1, format, args);  // keep a byte for '\n'
    va_end(args);
    if (n < 0) n = 0;
    size_t length =
        static_cast<size_t>(n) < sizeof(line) - 1 ? static_cast<size_t>(n) : sizeof(line) - 2;
    if (length == 0 || line[length - 1] != '\n') line[length++] = '\n';
    WriteLine(line, length);
    errno = savedErrno;
}

extern "C" const char* kvo_log_file_name(const char* path) {
    if (path == nullptr) return "";
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}
