// Helpers of the collector tests.
#include "collector_test_util.h"

#include <jansson.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/log_sink.h"

LogCapture::LogCapture() {
    char path[] = "/tmp/kvo_collector_log_XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    m_path = path;
    setenv("KVO_LOG_FILE", m_path.c_str(), 1);
    setenv("KVO_LOG_LEVEL", "3", 1);
    KvoLogReloadSettings();
}

LogCapture::~LogCapture() {
    unsetenv("KVO_LOG_FILE");
    unsetenv("KVO_LOG_LEVEL");
    KvoLogReloadSettings();
    unlink(m_path.c_str());
}

namespace {

// "[PID:<pid padded to 5>]\t[LEVEL]\t<tag padded to 10> [file(line)] message"
bool SplitLine(const std::string& raw, LogLine* line) {
    if (raw.compare(0, 5, "[PID:") != 0) return false;
    size_t levelStart = raw.find("]\t[");
    if (levelStart == std::string::npos) return false;
    levelStart += 3;
    size_t levelEnd = raw.find("]\t", levelStart);
    if (levelEnd == std::string::npos) return false;
    size_t tagStart = levelEnd + 2;
    size_t tagEnd = raw.find(' ', tagStart);
    if (tagEnd == std::string::npos) return false;
    size_t fileStart = raw.find(" [", tagEnd);
    if (fileStart == std::string::npos) return false;
    fileStart += 2;
    size_t fileEnd = raw.find('(', fileStart);
    size_t messageStart = raw.find(")] ", fileStart);
    if (fileEnd == std::string::npos || messageStart == std::string::npos) return false;
    line->level = raw.substr(levelStart, levelEnd - levelStart);
    line->tag = raw.substr(tagStart, tagEnd - tagStart);
    line->file = raw.substr(fileStart, fileEnd - fileStart);
    line->message = raw.substr(messageStart + 3);
    return true;
}

}  // namespace

std::vector<LogLine> LogCapture::Lines() const {
    std::vector<LogLine> lines;
    std::ifstream in(m_path);
    std::string raw;
    while (std::getline(in, raw)) {
        LogLine line;
        line.raw = raw;
        SplitLine(raw, &line);
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> LogCapture::Messages(const std::string& level,
                                              const std::string& file) const {
    std::vector<std::string> messages;
    for (const LogLine& line : Lines()) {
        if (line.level == level && line.file == file) messages.push_back(line.message);
    }
    return messages;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (m_had) {
        setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        unsetenv(m_name.c_str());
    }
}

std::string BuildLibDir() { return KVO_TEST_LIB_DIR; }
std::string BuildBinDir() { return KVO_TEST_BIN_DIR; }
std::string FakeCommBaseDir(const char* kind) {
    return std::string(KVO_TEST_FAKE_COMM_DIR) + "/" + kind + "/lib";
}

TempDir::TempDir() {
    char path[] = "/tmp/kvo_collector_dir_XXXXXX";
    m_path = mkdtemp(path) != nullptr ? path : "/tmp";
}

TempDir::~TempDir() {
    if (m_path != "/tmp") rmdir(m_path.c_str());
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
