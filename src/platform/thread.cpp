// Threads of the library: started with SIGUSR1 blocked, joined for their code.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>

#include <new>

#include "platform/kvo_base.h"

namespace {

struct StartBlock {
    kvo_thread_proc proc;
    void* argument;
};

void* ThreadMain(void* raw) {
    // Copy and free the start block first, so kvo_thread_exit leaks nothing.
    StartBlock block = *static_cast<StartBlock*>(raw);
    delete static_cast<StartBlock*>(raw);
    uint32_t code = block.proc(block.argument);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}

}  // namespace

extern "C" int kvo_thread_start(kvo_thread_t* thread, kvo_thread_proc proc, void* argument) {
    if (thread == nullptr || proc == nullptr) return EINVAL;
    auto* block = new (std::nothrow) StartBlock{proc, argument};
    if (block == nullptr) return ENOMEM;
    // A new thread inherits the creator's mask: block SIGUSR1 around the
    // creation so the library's own threads are never made to sleep.
    sigset_t previous;
    kvo_thread_block_sigusr1(&previous);
    int rc = pthread_create(thread, nullptr, ThreadMain, block);
    kvo_thread_restore_mask(&previous);
    if (rc != 0) delete block;
    return rc;
}

extern "C" void kvo_thread_block_sigusr1(sigset_t* previous) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, previous);
}

extern "C" void kvo_thread_restore_mask(const sigset_t* previous) {
    pthread_sigmask(SIG_SETMASK, previous, nullptr);
}

extern "C" int kvo_thread_join(kvo_thread_t* thread, uint32_t* exit_code) {
    if (thread == nullptr) return EINVAL;
    void* result = nullptr;
    int rc = pthread_join(*thread, &result);
    if (rc == 0 && exit_code != nullptr) {
        *exit_code = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(result));
    }
    return rc;
}

extern "C" void kvo_thread_exit(uint32_t code) {
    pthread_exit(reinterpret_cast<void*>(static_cast<uintptr_t>(code)));
}
