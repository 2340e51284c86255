// The status port: the credentials rule, the answer's datagrams and the
// controller's place in them.
#include "scheduler/statusport.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "platform/kvo_base.h"

namespace {

// The controller's callback. Constant-initialised, so it exists before any
// constructor runs and needs no destructor at unload.
pthread_mutex_t g_sourceLock = PTHREAD_MUTEX_INITIALIZER;
ControllerStatusCb g_source = nullptr;
void* g_sourceContext = nullptr;

// Held across a fork, so a child never inherits it held by a thread it lacks.
void LockSourceForFork() { pthread_mutex_lock(&g_sourceLock); }
void UnlockSourceAfterFork() { pthread_mutex_unlock(&g_sourceLock); }

bool ReadController(_ControllerStatus* status) {
    sigset_t mask;
    kvo_thread_block_sigusr1(&mask);  // never sleep in the handler holding the lock
    pthread_mutex_lock(&g_sourceLock);
    const bool have = g_source != nullptr;
    if (have) g_source(status, g_sourceContext);
    pthread_mutex_unlock(&g_sourceLock);
    kvo_thread_restore_mask(&mask);
    return have;
}

// Fixed-point text of a figure, "null" for an unknown one (negative).
std::string Figure(float value) {
    if (value < 0) return "null";
    char text[32];
    snprintf(text, sizeof(text), "%.2f", static_cast<double>(value));
    return text;
}

std::string ControllerJson(const _ControllerStatus* c) {
    if (c == nullptr) return "null";
    char text[512];
    const char* present = c->userPresent < 0 ? "null" : (c->userPresent ? "true" : "false");
    std::string sample = "null";
    if (c->haveSample) {
        char s[160];
        snprintf(s, sizeof(s), "{\"sys\":%s,\"proc\":%s,\"time\":%lld}", Figure(c->sysCpu).c_str(),
                 Figure(c->procCpu).c_str(), static_cast<long long>(c->sampleTime));
        sample = s;
    }
    snprintf(text, sizeof(text),
             "{\"running\":%s,\"auto\":%s,\"limit\":%s,\"ceiling\":%s,\"user_present\":%s,"
             "\"sample\":%s}",
             c->running ? "true" : "false", c->autoOn ? "true" : "false", Figure(c->limit).c_str(),
             Figure(c->ceiling).c_str(), present, sample.c_str());
    return text;
}

std::string RowJson(const _ThreadFigures& f) {
    char text[320];
    snprintf(text, sizeof(text),
             "{\"tid\":%u,\"signalled_tid\":%u,\"limit\":%s,\"share\":%s,\"sleep_ms\":%lld,"
             "\"signals_per_s\":%u,\"signals\":%llu,\"terminated\":%s}",
             f.tid, f.target, Figure(f.limit).c_str(), Figure(f.share).c_str(),
             static_cast<long long>(f.sleepMs), f.signalsLastSecond,
             static_cast<unsigned long long>(f.signalsSent), f.terminated ? "true" : "false");
    return text;
}

}  // namespace

void StatusSetControllerSource(ControllerStatusCb callback, void* context) {
    // Once per load of the library; glibc drops the handlers at unload.
    static const int sForkHandlers =
        pthread_atfork(LockSourceForFork, UnlockSourceAfterFork, UnlockSourceAfterFork);
    (void)sForkHandlers;
    sigset_t mask;
    kvo_thread_block_sigusr1(&mask);  // never sleep in the handler holding the lock
    pthread_mutex_lock(&g_sourceLock);
    g_source = callback;
    g_sourceContext = context;
    pthread_mutex_unlock(&g_sourceLock);
    kvo_thread_restore_mask(&mask);
}

void StatusClearControllerSource(void* context) {
    sigset_t mask;
    kvo_thread_block_sigusr1(&mask);
    // Taken while an answer runs the callback: it is done when we get the lock.
    pthread_mutex_lock(&g_sourceLock);
    if (g_sourceContext == context) {
        g_source = nullptr;
        g_sourceContext = nullptr;
    }
    pthread_mutex_unlock(&g_sourceLock);
    kvo_thread_restore_mask(&mask);
}

bool ParseStatusRequest(const char* text, size_t length, uint32_t* seq) {
    const size_t word = sizeof(kStatusRequestWord) - 1;
    if (length <= word + 1 || length > word + 11) return false;
    if (memcmp(text, kStatusRequestWord, word) != 0 || text[word] != ' ') return false;
    uint64_t value = 0;
    for (size_t i = word + 1; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (value > UINT32_MAX) return false;
    *seq = static_cast<uint32_t>(value);
    return true;
}

std::vector<std::string> StatusAnswer(uint32_t pid, uint32_t seq, const char* mode,
                                      const _ControllerStatus* controller,
                                      const std::vector<_ThreadFigures>& rows) {
    // Room for the head and the tail of any part: numbers and the mode word.
    constexpr size_t kFrame = 256;
    const std::string controllerJson = ControllerJson(controller);
    std::vector<std::vector<std::string>> parts(1);
    size_t used = controllerJson.size();
    size_t packed = 0;
    for (const _ThreadFigures& row : rows) {
        std::string text = RowJson(row);
        if (kFrame + used + text.size() + 1 > kStatusMaxDatagram) {
            if (parts.size() == kStatusMaxParts) break;
            parts.emplace_back();
            used = 0;
        }
        used += text.size() + 1;
        parts.back().push_back(std::move(text));
        ++packed;
    }
    std::vector<std::string> datagrams;
    for (size_t i = 0; i < parts.size(); ++i) {
        char head[kFrame];
        snprintf(head, sizeof(head),
                 "{\"pid\":%u,\"seq\":%u,\"part\":%zu,\"parts\":%zu,\"mode\":\"%s\","
                 "\"threads_total\":%zu,\"omitted\":%zu,\"controller\":",
                 pid, seq, i + 1, parts.size(), mode, rows.size(), rows.size() - packed);
        std::string text = head;
        text += i == 0 ? controllerJson : "null";
        text += ",\"threads\":[";
        for (size_t r = 0; r < parts[i].size(); ++r) {
            if (r > 0) text += ',';
            text += parts[i][r];
        }
        text += "]}";
        datagrams.push_back(std::move(text));
    }
    return datagrams;
}

void CStatusPort::Open() {
    if (m_env == nullptr || IsOpen()) return;
    std::string path;
    const int fd = m_env->Open(&path);
    if (fd < 0) return;
    kvo_str_strlcpy(m_path, path.c_str(), sizeof(m_path));
    __atomic_store_n(&m_fd, fd, __ATOMIC_SEQ_CST);
}

void CStatusPort::Close() {
    // Forgotten before it is closed: a fork in between leaves the child a
    // descriptor that is still ours to close, never a reused number.
    const int fd = __atomic_exchange_n(&m_fd, -1, __ATOMIC_SEQ_CST);
    if (fd >= 0) m_env->Close(fd, m_path, true);
}

void CStatusPort::ForgetInChild() {
    const int fd = __atomic_exchange_n(&m_fd, -1, __ATOMIC_SEQ_CST);
    if (fd >= 0) m_env->Close(fd, m_path, false);
}

// The directory keeps other users out; this is the second wall. The kernel
// vouches for the uid, which is the sender's real uid unless it chose another
// of its own ids (or is root).
bool CStatusPort::Trusted(const _StatusPeer& peer) {
    return peer.hasCreds &&
           (peer.uid == m_env->RealUid() || peer.uid == m_env->EffectiveUid() || peer.uid == 0);
}

void CStatusPort::Poll(const char* mode, CollectCb collect, void* context) {
    const int fd = __atomic_load_n(&m_fd, __ATOMIC_SEQ_CST);
    if (fd < 0) return;
    std::vector<std::string> answer;
    uint32_t answeredSeq = 0;
    std::vector<_ThreadFigures> rows;
    bool collected = false;
    _ControllerStatus controller;
    bool haveController = false;
    for (int i = 0; i < kStatusMaxRequestsPerTick; ++i) {
        char request[32];
        _StatusPeer peer;
        const int n = m_env->Receive(fd, request, sizeof(request), &peer);
        if (n < 0) return;
        uint32_t seq = 0;
        if (!Trusted(peer) || !ParseStatusRequest(request, static_cast<size_t>(n), &seq)) continue;
        if (!collected) {  // one look at the registry and the controller per tick
            collect(context, &rows);
            memset(&controller, 0, sizeof(controller));
            haveController = ReadController(&controller);
            collected = true;
        }
        if (answer.empty() || answeredSeq != seq) {
            answer = StatusAnswer(m_env->ProcessId(), seq, mode,
                                  haveController ? &controller : nullptr, rows);
            answeredSeq = seq;
        }
        for (const std::string& datagram : answer) {
            // A full queue drops the rest: the asker sees an incomplete answer.
            if (m_env->Send(fd, peer, datagram.data(), datagram.size()) != 0) break;
        }
    }
}
