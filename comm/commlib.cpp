// libkvo_comm.so: the registry of receivers and the eleven exported functions.
//
// Stopping a registration: it leaves the registry and is marked stopping under
// g_lock, so no callback of it can start afterwards; the caller then waits
// until its running callback (if any) has returned, and joins its thread.
// Called from inside a callback (on a delivery thread), unregister and uninit
// never wait for that same callback, which is the caller; they do wait for the
// callbacks of other registrations, except for one whose thread is itself
// waiting inside an unregister call (two callbacks unregistering each other
// would otherwise wait forever). A delivery thread never joins threads: the
// stopped registrations are joined by the next call from outside a callback,
// or when the library is unloaded. So the library must not be unloaded from
// inside one of its own callbacks.
#define KVO_MODULE_TAG "[kvo_comm]"

#include <errno.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <new>

#include "commaddr.h"
#include "delivery.h"
#include "kvo_comm.h"

namespace {

// g_lock guards g_initCount, g_registrations, g_stopped and every
// registration's inCallback / waiting flags. No callback runs under it.
std::mutex g_lock;
std::condition_variable g_changed;  // a callback ended or a thread began waiting
int g_initCount = 0;
std::map<std::string, Registration*> g_registrations;
std::vector<Registration*> g_stopped;  // stopped, threads not yet joined

constexpr int kSendWaitSeconds = 1;

void StopAndWaitLocked(std::unique_lock<std::mutex>& lock, const std::vector<Registration*>& regs) {
    for (Registration* reg : regs) {
        reg->stopping.store(true);
        // The name is free at once, also while a callback of it still runs.
        RemoveReceiverPath(reg);
        WakeDelivery(reg);
        g_stopped.push_back(reg);
    }
    Registration* self = CurrentDelivery();
    if (self != nullptr) {
        self->waiting = true;
        g_changed.notify_all();
    }
    for (Registration* reg : regs) {
        if (reg == self) continue;  // the running callback is the caller
        g_changed.wait(lock, [&] { return !reg->inCallback || (self != nullptr && reg->waiting); });
    }
    if (self != nullptr) self->waiting = false;
}

void StopAllLocked(std::unique_lock<std::mutex>& lock) {
    std::vector<Registration*> regs;
    for (auto& entry : g_registrations) regs.push_back(entry.second);
    g_registrations.clear();
    StopAndWaitLocked(lock, regs);
}

// Joins and frees the stopped registrations, unless the caller is a delivery
// thread (it could be one of them, or be waited for by one).
void JoinStopped() {
    if (CurrentDelivery() != nullptr) return;
    std::vector<Registration*> stopped;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        stopped.swap(g_stopped);
    }
    for (Registration* reg : stopped) {
        DestroyRegistration(reg);
        delete reg;
    }
}

// A forked child has none of the delivery threads: it starts with an empty
// registry. The parent's registrations are closed in the child but never joined
// or freed there (their threads do not exist; a callback may have been running
// at the fork). g_lock is held across the fork so the child gets it unlocked.
void PrepareFork() { g_lock.lock(); }
void ParentAfterFork() { g_lock.unlock(); }
void ChildAfterFork() {
    for (auto& entry : g_registrations) ForgetInChild(entry.second);
    for (Registration* reg : g_stopped) ForgetInChild(reg);
    g_registrations.clear();
    g_stopped.clear();
    g_initCount = 0;
    g_lock.unlock();
}
// glibc drops these handlers when the library is unloaded.
const int g_forkHandlers = pthread_atfork(PrepareFork, ParentAfterFork, ChildAfterFork);

// Unloading with registrations left (no uninit) must not leave threads running
// in unmapped code.
struct Teardown {
    ~Teardown() {
        {
            std::unique_lock<std::mutex> lock(g_lock);
            StopAllLocked(lock);
        }
        JoinStopped();
    }
} g_teardown;

// The receiver name of process pid, in the runtime directory of that
// process's effective uid.
std::string TargetPath(uint32_t pid, const char* name) {
    uid_t uid = geteuid();
    std::string status;
    if (pid != static_cast<uint32_t>(getpid()) &&
        SamplerEnv::Default()->ReadFile("/proc/" + std::to_string(pid) + "/status", &status)) {
        ParseEffectiveUid(status, &uid);
    }
    return CommReceiverPathOf(uid, pid, name);
}

uint32_t SendMessage(uint32_t pid, const char* name, comm_data* data, bool wait) {
    if (!ValidReceiverName(name) || data == nullptr ||
        (data->text == nullptr && data->length > 0)) {
        return KVO_E_INVALID_PARAM;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return KVO_E_FAIL;
    if (wait) {
        timeval limit = {kSendWaitSeconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    }
    uint32_t target = pid != 0 ? pid : static_cast<uint32_t>(getpid());
    int err =
        CommSendTo(fd, TargetPath(target, name), data->text, data->length, wait ? 0 : MSG_DONTWAIT);
    close(fd);
    if (err == EINVAL || err == EMSGSIZE) return KVO_E_INVALID_PARAM;
    return err == 0 ? KVO_OK : KVO_E_FAIL;
}

}  // namespace

void DeliverMessage(Registration* reg, const char* text, uint32_t length) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (reg->stopping.load()) return;
        reg->inCallback = true;
    }
    comm_data data = {text, length, false, std::string()};
    uint32_t rc = reg->callback(&data, nullptr, reg->context);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        reg->inCallback = false;
    }
    g_changed.notify_all();
    if (rc != KVO_OK) KVO_LOGD("%s: receiver returned 0x%08x", reg->name.c_str(), rc);
}

extern "C" {

KVO_COMM_API uint32_t kvo_comm_init(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_initCount;
    return KVO_OK;
}

KVO_COMM_API uint32_t kvo_comm_uninit(void) {
    {
        std::unique_lock<std::mutex> lock(g_lock);
        if (g_initCount == 0) return KVO_E_FAIL;
        if (--g_initCount > 0) return KVO_OK;
        StopAllLocked(lock);
    }
    JoinStopped();
    return KVO_OK;
}

KVO_COMM_API uint32_t kvo_comm_register(const char* name, kvo_comm_receiver callback,
                                        void* context) {
    if (!ValidReceiverName(name) || callback == nullptr) return KVO_E_INVALID_PARAM;
    JoinStopped();
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_initCount == 0) {
        KVO_LOGW("register %s: kvo_comm_init was not called", name);
        return KVO_E_FAIL;
    }
    if (g_registrations.count(name) != 0) {
        KVO_LOGW("register %s: the name is registered already", name);
        return KVO_E_FAIL;
    }
    std::unique_ptr<Registration> reg = CreateRegistration(name, callback, context);
    if (!reg) return KVO_E_FAIL;
    if (StartDelivery(reg.get()) != 0) {
        KVO_LOGE("register %s: cannot start the delivery thread", name);
        DestroyRegistration(reg.get());
        return KVO_E_FAIL;
    }
    g_registrations[name] = reg.release();
    return KVO_OK;
}

KVO_COMM_API uint32_t kvo_comm_unregister(const char* name) {
    if (name == nullptr) return KVO_E_INVALID_PARAM;
    uint32_t result = KVO_E_FAIL;  // not registered
    {
        std::unique_lock<std::mutex> lock(g_lock);
        auto found = g_registrations.find(name);
        if (found != g_registrations.end()) {
            std::vector<Registration*> regs = {found->second};
            g_registrations.erase(found);
            StopAndWaitLocked(lock, regs);
            result = KVO_OK;
        }
    }
    JoinStopped();
    return result;
}

KVO_COMM_API uint32_t kvo_comm_unregister_all(void) {
    {
        std::unique_lock<std::mutex> lock(g_lock);
        StopAllLocked(lock);
    }
    JoinStopped();
    return KVO_OK;
}

KVO_COMM_API uint32_t kvo_comm_new_data(comm_data** data) {
    if (data == nullptr) return KVO_E_INVALID_PARAM;
    comm_data* made = new (std::nothrow) comm_data{nullptr, 0, true, std::string()};
    if (made == nullptr) return KVO_E_FAIL;
    made->text = made->storage.c_str();
    *data = made;
    return KVO_OK;
}

KVO_COMM_API uint32_t kvo_comm_set_data(comm_data* data, const char* text, uint32_t length) {
    if (data == nullptr || !data->owned || (text == nullptr && length > 0) ||
        length > kCommMaxMessage) {
        return KVO_E_INVALID_PARAM;
    }
    data->storage.assign(text != nullptr ? text : "", length);
    data->text = data->storage.c_str();
    data->length = length;
    return KVO_OK;
}

KVO_COMM_API uint32_t kvo_comm_get_data(comm_data* data, const char** text, uint32_t* length) {
    if (data == nullptr || text == nullptr || length == nullptr) return KVO_E_INVALID_PARAM;
    *text = data->text;
    *length = data->length;
    return KVO_OK;
}

KVO_COMM_API uint32_t kvo_comm_delete_data(comm_data* data) {
    if (data == nullptr || !data->owned) return KVO_E_INVALID_PARAM;
    delete data;
    return KVO_OK;
}

KVO_COMM_API uint32_t kvo_comm_send(uint32_t pid, const char* name, comm_data* data) {
    return SendMessage(pid, name, data, true);
}

KVO_COMM_API uint32_t kvo_comm_post(uint32_t pid, const char* name, comm_data* data) {
    return SendMessage(pid, name, data, false);
}

}  // extern "C"
