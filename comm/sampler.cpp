// The sampler: /proc counters, the figures between two reads and the two
// collector messages built from them.
#include "sampler.h"

#include <fcntl.h>
#include <jansson.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "comm/kvo_protocol.h"
#include "platform/kvo_static.h"

namespace {

// /proc/stat lists a line per processor after the total; enough for any machine.
constexpr size_t kMaxProcFile = 1 << 20;

class ProcEnv : public SamplerEnv {
public:
    bool ReadFile(const std::string& path, std::string* text) override {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        text->clear();
        char chunk[4096];
        ssize_t n = 0;
        while (text->size() < kMaxProcFile && (n = read(fd, chunk, sizeof(chunk))) > 0) {
            text->append(chunk, static_cast<size_t>(n));
        }
        close(fd);
        return n >= 0;
    }
    int64_t MonotonicMs() override {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    }
    void LocalNow(struct tm* now) override {
        time_t seconds = time(nullptr);
        localtime_r(&seconds, now);
    }
};

uint64_t Delta(uint64_t before, uint64_t after) { return after > before ? after - before : 0; }

float Percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return 0.0f;
    double value = 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    return static_cast<float>(value > 100.0 ? 100.0 : value);
}

int32_t BytesPerSecond(uint64_t bytes, int64_t elapsedMs) {
    if (elapsedMs <= 0) return 0;
    double value = static_cast<double>(bytes) * 1000.0 / static_cast<double>(elapsedMs);
    return value >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(value);
}

bool ParseU64(const std::string& token, uint64_t* value) {
    if (token.empty() || token[0] < '0' || token[0] > '9') return false;
    char* end = nullptr;
    *value = strtoull(token.c_str(), &end, 10);
    return end != nullptr && *end == '\0';
}

// a is a later second than b, in the fields the time text shows.
bool LaterSecond(const struct tm& a, const struct tm& b) {
    const int left[] = {a.tm_year, a.tm_mon, a.tm_mday, a.tm_hour, a.tm_min, a.tm_sec};
    const int right[] = {b.tm_year, b.tm_mon, b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec};
    return std::lexicographical_compare(right, right + 6, left, left + 6);
}

// Two decimals are all the figures mean; the collector reads any JSON number.
double Rounded(float cpu) { return round(static_cast<double>(cpu) * 100.0) / 100.0; }

// {"context": "<inner document as text>"}; empty on allocation failure.
std::string Wrap(json_t* inner) {
    std::string result;
    char* innerText = json_dumps(inner, JSON_COMPACT | JSON_REAL_PRECISION(6));
    json_decref(inner);
    if (innerText == nullptr) return result;
    json_t* outer = json_pack("{s:s}", "context", innerText);
    free(innerText);
    if (outer == nullptr) return result;
    char* outerText = json_dumps(outer, JSON_COMPACT);
    json_decref(outer);
    if (outerText == nullptr) return result;
    result = outerText;
    free(outerText);
    return result;
}

}  // namespace

SamplerEnv* SamplerEnv::Default() {
    return NeverDestroyed<ProcEnv>();  // threads may still sample while the process exits
}

bool ParseStatTotals(const std::string& stat, uint64_t* total, uint64_t* busy) {
    std::istringstream in(stat.substr(0, stat.find('\n')));
    std::string label, token;
    if (!(in >> label) || label != "cpu") return false;
    // user nice system idle iowait irq softirq steal; guest time is inside user.
    std::vector<uint64_t> fields;
    while (fields.size() < 8 && in >> token) {
        uint64_t value = 0;
        if (!ParseU64(token, &value)) return false;
        fields.push_back(value);
    }
    if (fields.size() < 4) return false;
    uint64_t sum = 0;
    for (uint64_t value : fields) sum += value;
    uint64_t idle = fields[3] + (fields.size() > 4 ? fields[4] : 0);
    *total = sum;
    *busy = sum - idle;
    return true;
}

bool ParseProcessTicks(const std::string& stat, uint64_t* ticks) {
    // The command name may hold blanks and ')': the fields start after the last ')'.
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream in(stat.substr(close + 1));
    std::string token;
    uint64_t utime = 0, stime = 0;
    // After ')': state is field 3; utime and stime are fields 14 and 15.
    for (int field = 3; field <= 15; ++field) {
        if (!(in >> token)) return false;
        if (field == 14 && !ParseU64(token, &utime)) return false;
        if (field == 15 && !ParseU64(token, &stime)) return false;
    }
    *ticks = utime + stime;
    return true;
}

bool ParseIoBytes(const std::string& io, uint64_t* readBytes, uint64_t* writeBytes) {
    std::istringstream in(io);
    std::string key, value;
    bool haveRead = false, haveWrite = false;
    while (in >> key >> value) {
        if (key == "read_bytes:") haveRead = ParseU64(value, readBytes);
        if (key == "write_bytes:") haveWrite = ParseU64(value, writeBytes);
    }
    return haveRead && haveWrite;
}

_SampleFigures ComputeFigures(const _SampleCounters& before, const _SampleCounters& after) {
    _SampleFigures figures = {};
    uint64_t total = Delta(before.total, after.total);
    figures.sysCpu = Percent(Delta(before.busy, after.busy), total);
    figures.procCpu = Percent(Delta(before.procTicks, after.procTicks), total);
    if (before.haveIo && after.haveIo) {
        int64_t elapsed = after.atMs - before.atMs;
        figures.iorspeed = BytesPerSecond(Delta(before.readBytes, after.readBytes), elapsed);
        figures.iowspeed = BytesPerSecond(Delta(before.writeBytes, after.writeBytes), elapsed);
    }
    return figures;
}

std::string FormatSampleTime(const struct tm& when) {
    char text[96];
    snprintf(text, sizeof(text), "%d/%d/%d %d:%d:%d", when.tm_year + 1900, when.tm_mon + 1,
             when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
    return text;
}

std::string BuildSystemMessage(const std::string& time, float cpu) {
    return Wrap(json_pack("{s:{s:s,s:s},s:{s:f}}", "header", "id", kCommSystemId, "time",
                          time.c_str(), "body", "cpu", Rounded(cpu)));
}

std::string BuildProcessMessage(const std::string& time, float cpu, int32_t iorspeed,
                                int32_t iowspeed) {
    return Wrap(json_pack("{s:{s:s,s:s},s:{s:f,s:I,s:I}}", "header", "id", kCommProcessId, "time",
                          time.c_str(), "body", "cpu", Rounded(cpu), "iorspeed",
                          static_cast<json_int_t>(iorspeed), "iowspeed",
                          static_cast<json_int_t>(iowspeed)));
}

CSampler::CSampler(uint32_t pid, SamplerEnv* env)
    : m_pid(pid),
      m_env(env),
      m_havePrevious(false),
      m_previous(),
      m_figures(),
      m_published(false),
      m_lastPublished() {}

bool CSampler::ReadCounters(_SampleCounters* counters) {
    std::string text;
    const std::string dir = "/proc/" + std::to_string(m_pid) + "/";
    if (!m_env->ReadFile("/proc/stat", &text) ||
        !ParseStatTotals(text, &counters->total, &counters->busy)) {
        return false;
    }
    if (!m_env->ReadFile(dir + "stat", &text) || !ParseProcessTicks(text, &counters->procTicks)) {
        return false;
    }
    // Another user's process hides its io file: its speeds read 0.
    counters->haveIo = m_env->ReadFile(dir + "io", &text) &&
                       ParseIoBytes(text, &counters->readBytes, &counters->writeBytes);
    counters->atMs = m_env->MonotonicMs();
    return true;
}

bool CSampler::Sample(std::string* systemMessage, std::string* processMessage) {
    _SampleCounters now = {};
    if (!ReadCounters(&now)) return false;
    if (!m_havePrevious) {
        m_previous = now;
        m_havePrevious = true;
        return false;
    }
    struct tm local = {};
    m_env->LocalNow(&local);
    // The collector pairs the latest figure of each kind by time text alone: a
    // text published before (a late round in the same second, a clock stepped
    // back) could pair this round's figure with an older one of the other
    // kind. Such a round is skipped; its interval counts into the next one.
    if (m_published && !LaterSecond(local, m_lastPublished)) return false;
    m_figures = ComputeFigures(m_previous, now);
    m_previous = now;
    const std::string time = FormatSampleTime(local);
    *systemMessage = BuildSystemMessage(time, m_figures.sysCpu);
    *processMessage =
        BuildProcessMessage(time, m_figures.procCpu, m_figures.iorspeed, m_figures.iowspeed);
    if (systemMessage->empty() || processMessage->empty()) return false;
    m_published = true;
    m_lastPublished = local;
    return true;
}
