// Helpers of the activity tests: a fake event-loop clock and a capture of the
// library's log lines.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/cl_ev.h"
#include "platform/log_sink.h"

namespace activity_test {

inline int64_t& ClockMs() {
    static int64_t now = 0;
    return now;
}

inline int64_t FakeNowMs() { return ClockMs(); }

// Replaces the event loop's clock for the life of the object; starts at 0.
class FakeClock {
public:
    FakeClock() {
        ClockMs() = 0;
        cl_ev_set_clock(FakeNowMs);
    }
    ~FakeClock() { cl_ev_set_clock(nullptr); }
    int64_t now() const { return ClockMs(); }
    // Back to 0; only while no timer runs.
    void Reset() { ClockMs() = 0; }
    // Moves the clock forward in steps of step_ms and runs the calling thread's
    // due timers after every step, as the monitor thread's loop does.
    void AdvanceTo(int64_t ms, int64_t step_ms = 100) {
        while (ClockMs() < ms) {
            ClockMs() = ClockMs() + step_ms < ms ? ClockMs() + step_ms : ms;
            cl_event_loop_once();
        }
    }
};

// Points the logger at a file of its own, with every level written, for the
// life of the object; the previous settings come back afterwards.
class LogCapture {
public:
    LogCapture() {
        char name[] = "/tmp/kvo_activity_log_XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        m_path = name;
        Save("KVO_LOG_FILE", &m_savedFile, &m_hadFile);
        Save("KVO_LOG_LEVEL", &m_savedLevel, &m_hadLevel);
        setenv("KVO_LOG_FILE", m_path.c_str(), 1);
        setenv("KVO_LOG_LEVEL", "3", 1);
        KvoLogReloadSettings();
    }
    ~LogCapture() {
        Restore("KVO_LOG_FILE", m_savedFile, m_hadFile);
        Restore("KVO_LOG_LEVEL", m_savedLevel, m_hadLevel);
        KvoLogReloadSettings();
        unlink(m_path.c_str());
    }
    std::string Text() const {
        std::ifstream file(m_path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    // Lines of the given level ("ERROR", "WARN", "INFO", "DEBUG") whose message,
    // after the prefix, is exactly message.
    int Count(const std::string& level, const std::string& message) const {
        std::stringstream text(Text());
        std::string line;
        int count = 0;
        while (std::getline(text, line)) {
            size_t body = line.find(")] ");
            if (line.find("\t[" + level + "]\t") != std::string::npos &&
                body != std::string::npos && line.substr(body + 3) == message) {
                ++count;
            }
        }
        return count;
    }

private:
    static void Save(const char* name, std::string* value, bool* had) {
        const char* current = getenv(name);
        *had = current != nullptr;
        if (*had) *value = current;
    }
    static void Restore(const char* name, const std::string& value, bool had) {
        if (had) {
            setenv(name, value.c_str(), 1);
        } else {
            unsetenv(name);
        }
    }

    std::string m_path;
    std::string m_savedFile;
    std::string m_savedLevel;
    bool m_hadFile = false;
    bool m_hadLevel = false;
};

}  // namespace activity_test
