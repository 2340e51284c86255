// A stand-in libkvo_comm.so for the registration tests: records the calls it
// gets and returns the results a test sets, both reached with dlsym. Built
// twice, once without kvo_comm_post, to be a library that lacks one symbol.
#include <stdint.h>

#include <string>

#define FAKE_API __attribute__((visibility("default")))

struct comm_data {
    const char* text;
    uint32_t length;
};
typedef uint32_t (*Receiver)(comm_data*, comm_data*, void*);

extern "C" {
static Receiver g_receiver = nullptr;
static void* g_context = nullptr;
FAKE_API std::string fake_calls;
FAKE_API uint32_t fake_results[2] = {0, 0};  // of init, of register

FAKE_API uint32_t fake_deliver(const char* text, uint32_t length) {
    comm_data data = {text, length};
    return g_receiver(&data, nullptr, g_context);
}

FAKE_API uint32_t kvo_comm_init(void) {
    fake_calls += "init;";
    return fake_results[0];
}
FAKE_API uint32_t kvo_comm_register(const char* name, Receiver receiver, void* context) {
    fake_calls += std::string("register(") + name + ");";
    g_receiver = receiver;
    g_context = context;
    return fake_results[1];
}
FAKE_API uint32_t kvo_comm_get_data(comm_data* data, const char** text, uint32_t* length) {
    *text = data->text;
    *length = data->length;
    return 0;
}
FAKE_API uint32_t kvo_comm_unregister(const char* name) {
    fake_calls += std::string("unregister(") + name + ");";
    return 0;
}
FAKE_API uint32_t kvo_comm_uninit(void) {
    fake_calls += "uninit;";
    return 0;
}
// Not called by the collector; present so that every slot resolves.
FAKE_API uint32_t kvo_comm_unregister_all(void) { return 1; }
FAKE_API uint32_t kvo_comm_new_data(comm_data**) { return 1; }
FAKE_API uint32_t kvo_comm_set_data(comm_data*, const char*, uint32_t) { return 1; }
FAKE_API uint32_t kvo_comm_delete_data(comm_data*) { return 1; }
FAKE_API uint32_t kvo_comm_send(uint32_t, const char*, comm_data*) { return 1; }
#ifndef FAKE_COMM_WITHOUT_POST
FAKE_API uint32_t kvo_comm_post(uint32_t, const char*, comm_data*) { return 1; }
#endif
}
