// A stand-in libkvo_comm.so for the loader and registration tests: records the
// calls it gets and returns the results a test sets. Built twice, once without
// kvo_comm_post, to be a library that lacks one symbol.
#include <stdint.h>

#include <string>

#define FAKE_API extern "C" __attribute__((visibility("default")))

struct comm_data {
    const char* text;
    uint32_t length;
};

typedef uint32_t (*Receiver)(comm_data*, comm_data*, void*);

namespace {
std::string g_calls;
uint32_t g_initResult = 0;
uint32_t g_registerResult = 0;
Receiver g_receiver = nullptr;
void* g_context = nullptr;
}  // namespace

// Test controls, reached with dlsym on the test's own handle.
FAKE_API const char* fake_comm_calls() { return g_calls.c_str(); }
FAKE_API void fake_comm_set_results(uint32_t init, uint32_t reg) {
    g_initResult = init;
    g_registerResult = reg;
    g_calls.clear();
}
FAKE_API uint32_t fake_comm_deliver(const char* text, uint32_t length) {
    comm_data data = {text, length};
    return g_receiver != nullptr ? g_receiver(&data, nullptr, g_context) : 0xffffffffu;
}
FAKE_API void* fake_comm_context() { return g_context; }
FAKE_API void* fake_comm_receiver() { return reinterpret_cast<void*>(g_receiver); }

FAKE_API uint32_t kvo_comm_init(void) {
    g_calls += "init;";
    return g_initResult;
}
FAKE_API uint32_t kvo_comm_uninit(void) {
    g_calls += "uninit;";
    return 0;
}
FAKE_API uint32_t kvo_comm_register(const char* name, Receiver receiver, void* context) {
    g_calls += std::string("register(") + name + ");";
    if (g_registerResult == 0) {
        g_receiver = receiver;
        g_context = context;
    }
    return g_registerResult;
}
FAKE_API uint32_t kvo_comm_unregister(const char* name) {
    g_calls += std::string("unregister(") + name + ");";
    g_receiver = nullptr;
    return 0;
}
FAKE_API uint32_t kvo_comm_unregister_all(void) { return 0; }
FAKE_API uint32_t kvo_comm_new_data(comm_data**) { return 1; }
FAKE_API uint32_t kvo_comm_set_data(comm_data*, const char*, uint32_t) { return 1; }
FAKE_API uint32_t kvo_comm_get_data(comm_data* data, const char** text, uint32_t* length) {
    *text = data->text;
    *length = data->length;
    return 0;
}
FAKE_API uint32_t kvo_comm_delete_data(comm_data*) { return 1; }
FAKE_API uint32_t kvo_comm_send(uint32_t, const char*, comm_data*) { return 1; }
#ifndef FAKE_COMM_WITHOUT_POST
FAKE_API uint32_t kvo_comm_post(uint32_t, const char*, comm_data*) { return 1; }
#endif
