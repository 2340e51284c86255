// The JSON document and the table of one round of answers.
#include "view.h"

#include <jansson.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

json_t* ProcessJson(const _TopAnswer& answer) {
    json_t* process = json_object();
    json_object_set_new(process, "pid", json_integer(answer.target.pid));
    json_object_set_new(process, "command", json_string(answer.target.command.c_str()));
    json_object_set_new(process, "uid", json_integer(answer.target.uid));
    if (answer.status) {
        json_object_update_missing(process, answer.status.get());
    } else {
        json_object_set_new(process, "error", json_string(answer.error.c_str()));
    }
    return process;
}

const char* Text(json_t* value) {
    const char* text = json_string_value(value);
    return text != nullptr ? text : "?";
}

// "12.5%", or "-" for a figure that is absent or null.
std::string Percent(json_t* value) {
    if (!json_is_number(value)) return "-";
    char text[32];
    snprintf(text, sizeof(text), "%.1f%%", json_number_value(value));
    return text;
}

std::string Presence(json_t* value) {
    if (json_is_true(value)) return "present";
    if (json_is_false(value)) return "away";
    return "n/a";
}

std::string Sample(json_t* sample, time_t now) {
    if (!json_is_object(sample)) return "-";
    const long long age =
        static_cast<long long>(now) -
        static_cast<long long>(json_integer_value(json_object_get(sample, "time")));
    char text[96];
    snprintf(text, sizeof(text), "sys %s proc %s, %llds ago",
             Percent(json_object_get(sample, "sys")).c_str(),
             Percent(json_object_get(sample, "proc")).c_str(), age < 0 ? 0 : age);
    return text;
}

void AppendLine(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendLine(std::string* out, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    *out += line;
    *out += '\n';
}

void AppendThreads(std::string* out, json_t* threads) {
    if (json_array_size(threads) == 0) {
        AppendLine(out, "        (no limited thread)");
        return;
    }
    AppendLine(out, "     %8s  %-16s %7s %7s %10s %5s", "TID", "NAME", "LIMIT", "SHARE",
               "SLEEP/TICK", "SIG/S");
    size_t i;
    json_t* row;
    json_array_foreach(threads, i, row) {
        std::string note;
        if (!json_is_true(json_object_get(row, "exists"))) {
            note = "  no such thread in this process";
        } else if (json_is_true(json_object_get(row, "terminated"))) {
            note = "  ended";
        }
        const json_int_t tid = json_integer_value(json_object_get(row, "tid"));
        const json_int_t signalled = json_integer_value(json_object_get(row, "signalled_tid"));
        if (signalled != tid) note += "  (signals go to " + std::to_string(signalled) + ")";
        AppendLine(
            out, "     %8lld  %-16s %7s %7s %7lld ms %5lld%s", static_cast<long long>(tid),
            Text(json_object_get(row, "name")), Percent(json_object_get(row, "limit")).c_str(),
            Percent(json_object_get(row, "share")).c_str(),
            static_cast<long long>(json_integer_value(json_object_get(row, "sleep_ms"))),
            static_cast<long long>(json_integer_value(json_object_get(row, "signals_per_s"))),
            note.c_str());
    }
}

}  // namespace

std::string RenderJson(const std::vector<_TopAnswer>& answers, const char* version, time_t now) {
    json_t* document = json_object();
    json_object_set_new(document, "version", json_string(version));
    json_object_set_new(document, "time", json_integer(static_cast<json_int_t>(now)));
    json_t* processes = json_array();
    for (const _TopAnswer& answer : answers) json_array_append_new(processes, ProcessJson(answer));
    json_object_set_new(document, "processes", processes);
    char* text =
        json_dumps(document, JSON_INDENT(2) | JSON_PRESERVE_ORDER | JSON_REAL_PRECISION(6));
    std::string result = text != nullptr ? text : "{}";
    free(text);
    json_decref(document);
    return result + "\n";
}

std::string RenderText(const std::vector<_TopAnswer>& answers, const char* version, time_t now) {
    std::string out;
    char clock[16];
    tm local;
    strftime(clock, sizeof(clock), "%H:%M:%S", localtime_r(&now, &local));
    AppendLine(&out, "kvo-top %s  %s  %zu process%s", version, clock, answers.size(),
               answers.size() == 1 ? "" : "es");
    if (answers.empty()) {
        AppendLine(&out, "no process found that uses libkvo_vurizeda");
        return out;
    }
    AppendLine(&out, "%7s %-15s %-8s %-4s %7s %7s %-8s %s", "PID", "COMMAND", "MODE", "AUTO",
               "LIMIT", "CEILING", "USER", "LAST SAMPLE");
    for (const _TopAnswer& answer : answers) {
        out += '\n';
        if (!answer.status) {
            AppendLine(&out, "%7u %-15s %s", answer.target.pid, answer.target.command.c_str(),
                       answer.error.c_str());
            continue;
        }
        json_t* status = answer.status.get();
        json_t* controller = json_object_get(status, "controller");
        const bool running = json_is_true(json_object_get(controller, "running"));
        AppendLine(&out, "%7u %-15s %-8s %-4s %7s %7s %-8s %s", answer.target.pid,
                   answer.target.command.c_str(), Text(json_object_get(status, "mode")),
                   !running                                            ? "-"
                   : json_is_true(json_object_get(controller, "auto")) ? "on"
                                                                       : "off",
                   running ? Percent(json_object_get(controller, "limit")).c_str() : "-",
                   running ? Percent(json_object_get(controller, "ceiling")).c_str() : "-",
                   running ? Presence(json_object_get(controller, "user_present")).c_str() : "-",
                   running ? Sample(json_object_get(controller, "sample"), now).c_str() : "-");
        AppendThreads(&out, json_object_get(status, "threads"));
        const json_int_t omitted = json_integer_value(json_object_get(status, "omitted"));
        if (omitted > 0)
            AppendLine(&out, "     ... and %lld more", static_cast<long long>(omitted));
    }
    AppendLine(&out,
               "\nLIMIT, CEILING, SAMPLE: %% of the whole machine. Thread LIMIT, SHARE (last "
               "second): %% of one processor.");
    return out;
}
