// Helpers of the collector tests.
#include "collector_test_util.h"

#include <jansson.h>

std::string BuildLibDir() { return KVO_TEST_LIB_DIR; }
std::string BuildBinDir() { return KVO_TEST_BIN_DIR; }
std::string FakeCommBaseDir(const char* kind) {
    return std::string(KVO_TEST_FAKE_COMM_DIR) + "/" + kind + "/lib";
}

uint32_t Recorder::Cb(comm_data* data, comm_data* second, void* context) {
    auto* self = static_cast<Recorder*>(context);
    const char* text = nullptr;
    uint32_t length = 0;
    if (second != nullptr) return KVO_E_FAIL;  // never given by our comm library
    if (GetCommImpl()->comm_get_data(data, &text, &length) != KVO_OK) return KVO_E_INVALID_PARAM;
    std::string message(text, length);
    if (self->onMessage) self->onMessage(data, message);
    // Notified under the lock: a waiter that sees the text may destroy us.
    std::lock_guard<std::mutex> guard(self->lock);
    self->texts.push_back(message);
    self->changed.notify_all();
    return KVO_OK;
}

ScopedReceiver::ScopedReceiver(const char* name, kvo_comm_receiver_fn callback, void* context)
    : m_name(name != nullptr ? name : ""),
      m_result(GetCommImpl()->comm_register(name, callback, context)) {}

ScopedReceiver::~ScopedReceiver() {
    if (GetCommImpl()->comm_unregister != nullptr) GetCommImpl()->comm_unregister(m_name.c_str());
}

bool Recorder::WaitForCount(size_t count, int ms) {
    return WaitFor(lock, changed, ms, [&] { return texts.size() >= count; });
}

std::vector<std::string> Recorder::Texts() {
    std::lock_guard<std::mutex> guard(lock);
    return texts;
}

void PairRecorder::Cb(_SysInfo* sys, _ProcInfo* proc, void* context) {
    auto* self = static_cast<PairRecorder*>(context);
    std::lock_guard<std::mutex> guard(self->lock);
    self->pairs.push_back(CollectedPair{*sys, *proc});
    self->changed.notify_all();
}

bool PairRecorder::WaitForCount(size_t count, int ms) {
    return WaitFor(lock, changed, ms, [&] { return pairs.size() >= count; });
}

std::vector<CollectedPair> PairRecorder::Pairs() {
    std::lock_guard<std::mutex> guard(lock);
    return pairs;
}

std::string JsonQuote(const std::string& text) {
    json_t* value = json_stringn(text.data(), text.size());
    char* dumped = json_dumps(value, JSON_ENCODE_ANY);
    std::string result = dumped != nullptr ? dumped : "";
    free(dumped);
    json_decref(value);
    return result;
}

std::string Wrap(const std::string& inner) { return "{\"context\":" + JsonQuote(inner) + "}"; }
