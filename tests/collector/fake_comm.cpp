// A stand-in libkvo_comm.so for the registration tests: records the calls it
// gets and returns the results a test sets, both reached with dlsym. Built
// twice, once without kvo_comm_post, to be a library that lacks one symbol.
#include <string>

#include "kvo_comm.h"

struct comm_data {
    const char* text;
    uint32_t length;
};

static kvo_comm_receiver g_receiver = nullptr;
static void* g_context = nullptr;

extern "C" {
KVO_COMM_API std::string fake_calls;
KVO_COMM_API uint32_t fake_results[2] = {0, 0};  // of init, of register

KVO_COMM_API uint32_t fake_deliver(const char* text, uint32_t length) {
    comm_data data = {text, length};
    return g_receiver(&data, nullptr, g_context);
}
}

// Records one call, then answers result.
static uint32_t Note(const std::string& call, uint32_t result) {
    fake_calls += call + ";";
    return result;
}

uint32_t kvo_comm_init(void) { return Note("init", fake_results[0]); }
uint32_t kvo_comm_register(const char* name, kvo_comm_receiver receiver, void* context) {
    g_receiver = receiver;
    g_context = context;
    return Note(std::string("register(") + name + ")", fake_results[1]);
}
uint32_t kvo_comm_get_data(comm_data* data, const char** text, uint32_t* length) {
    *text = data->text;
    *length = data->length;
    return 0;
}
uint32_t kvo_comm_unregister(const char* name) {
    return Note(std::string("unregister(") + name + ")", 0);
}
uint32_t kvo_comm_uninit(void) { return Note("uninit", 0); }
// Not called by the collector; present so that every slot resolves.
uint32_t kvo_comm_unregister_all(void) { return 1; }
uint32_t kvo_comm_new_data(comm_data**) { return 1; }
uint32_t kvo_comm_set_data(comm_data*, const char*, uint32_t) { return 1; }
uint32_t kvo_comm_delete_data(comm_data*) { return 1; }
uint32_t kvo_comm_send(uint32_t, const char*, comm_data*) { return 1; }
#ifndef FAKE_COMM_WITHOUT_POST
uint32_t kvo_comm_post(uint32_t, const char*, comm_data*) { return 1; }
#endif
