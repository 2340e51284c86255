// One registration of the comm library: its bound socket, its delivery thread
// and, unless switched off, the embedded sampler that feeds it.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "kvo_comm.h"
#include "platform/kvo_base.h"
#include "sampler.h"

// A message as the receiver sees it: a delivered datagram, or a heap message.
struct comm_data {
    const char* text;
    uint32_t length;
    bool owned;           // made by kvo_comm_new_data; delivered ones belong to us
    std::string storage;  // the text of a heap message
};

// Counts dropped datagrams of one kind and says so at most once a minute.
struct DropLog {
    uint32_t count = 0;
    bool logged = false;
    int64_t lastLogMs = 0;
    // True when a line is due now; then count holds the drops since the last one.
    bool Note(int64_t nowMs);
};

struct Registration {
    std::string name;
    kvo_comm_receiver callback = nullptr;
    void* context = nullptr;
    uint32_t pid = 0;
    uint32_t ruid = 0;  // senders with either of our uids, or root, are trusted
    uint32_t euid = 0;
    std::string path;    // <runtime dir>/<pid>/<name>; empty once removed
    std::string pidDir;  // <runtime dir>/<pid>
    int fd = -1;         // bound datagram socket
    int wakeFd = -1;     // eventfd, written once to stop the thread
    kvo_thread_t thread{};
    bool threadStarted = false;
    std::atomic<bool> stopping{false};  // set under the registry lock; read freely

    // Guarded by the registry lock.
    bool inCallback = false;  // a callback runs now
    bool waiting = false;     // its delivery thread waits inside an unregister call

    // Delivery thread only.
    std::unique_ptr<CSampler> sampler;
    int64_t intervalMs = 0;
    std::vector<char> buffer;
    DropLog untrusted;
    DropLog oversized;
};

// A name is one path component: not empty, no '/', not "." or "..".
bool ValidReceiverName(const char* name);

// Creates the bound socket (SO_PASSCRED) in the private runtime directory, the
// wake event and the sampler of a registration whose thread is not started
// yet; sockets of processes that no longer exist are removed first. Null when
// the directory is refused (one ERROR line), the name is taken or a system
// call fails.
std::unique_ptr<Registration> CreateRegistration(const char* name, kvo_comm_receiver callback,
                                                 void* context);
// Starts the delivery thread; 0 = success.
int StartDelivery(Registration* reg);
// Wakes the delivery thread so that it ends; the caller has set `stopping`.
void WakeDelivery(Registration* reg);
// Removes the socket and, when empty, the process's folder. Once only; the
// caller holds the registry lock, so no registration binds meanwhile.
void RemoveReceiverPath(Registration* reg);
// Joins the thread (when started), closes the descriptors, removes the socket.
void DestroyRegistration(Registration* reg);

// In a forked child: closes the descriptors and forgets the thread, the
// sampler and the socket's path, which belong to the parent. The registration
// itself is leaked.
void ForgetInChild(Registration* reg);

// The registration whose delivery thread is the caller, or null.
Registration* CurrentDelivery();

// Provided by the registry: runs the callback unless the registration is
// stopping, with `inCallback` set around it.
void DeliverMessage(Registration* reg, const char* text, uint32_t length);
