// The stress run's texts: the API symbol table, operation names, the
// configuration file it writes and the report it prints.
#include <stdio.h>

#include <string>

#include "platform/kvo_result.h"
#include "stress_engine.h"

const char* const kKvoApiSymbols[] = {
    "RegisterCpuCtrl",          "UnRegisterCpuCtrl",          "kvo_perfctrl_init",
    "kvo_perfctrl_uninit",      "kvo_enable_vurizeda",        "kvo_add_cpu_vurizeda",
    "kvo_del_cpu_vurizeda",     "kvo_set_cpu_vurizeda_upper", "kvo_set_cpu_vurizeda_lower",
    "kvo_add_cpu_group",        "kvo_del_cpu_group",          "kvo_add_thread_cpu_limit",
    "kvo_del_thread_cpu_limit",
};

const char* const kStressGroups[2] = {"stress_scan", "stress_index"};
const char* const kStressMissingGroup = "stress_none";

namespace {

const char* const kOpNames[kOpCount] = {
    "fixed limit add",
    "fixed limit refused",
    "fixed limit del",
    "monitor add",
    "monitor del",
    "group add",
    "group del",
    "auto switch",
    "auto ceiling/min",
    "init",
    "uninit",
    "collector message",
    "alloc/free (limited)",
};

}  // namespace

const char* StressOpName(int op) { return op >= 0 && op < kOpCount ? kOpNames[op] : "?"; }

std::string StressConfigText() {
    std::string text =
        "# Written by kvo-stress: a short sample window and two CPU groups.\n"
        "[env]\n"
        "td_switch = 1\n"
        "[td_cpu]\n"
        "sys_max = 30\n"
        "proc_min = 3\n"
        "adjust_cycle = 5\n"
        "sys_max_unused = 60\n"
        "[user_behavior]\n"
        "behavior_switch = 0\n"
        "[cpu_group]\n";
    text += std::string(kStressGroups[0]) + " = 30;60\n";
    text += std::string(kStressGroups[1]) + " = 10;40\n";
    return text;
}

std::string FormatStressReport(const StressOptions& options, const StressReport& report) {
    std::string out;
    char line[256];
    snprintf(line, sizeof line, "kvo-stress: %d threads, %d limited at %.1f %%, %.1f s, seed %u\n",
             options.threads, options.limitedThreads, static_cast<double>(options.limitedPercent),
             report.seconds, options.seed);
    out += line;
    snprintf(line, sizeof line, "%-22s %12s %10s %10s %10s\n", "operation", "calls", "per s",
             "refused", "unexpected");
    out += line;
    const double seconds = report.seconds > 0 ? report.seconds : 1;
    for (int op = 0; op < kOpCount; ++op) {
        const OpTally& t = report.ops[op];
        snprintf(line, sizeof line, "%-22s %12llu %10.1f %10llu %10llu\n", StressOpName(op),
                 static_cast<unsigned long long>(t.calls), static_cast<double>(t.calls) / seconds,
                 static_cast<unsigned long long>(t.refused),
                 static_cast<unsigned long long>(t.unexpected));
        out += line;
    }
    snprintf(line, sizeof line,
             "unlimited caller, wait per call: %llu calls, median %.2f ms, 99th %.2f ms, max "
             "%.1f ms\n",
             static_cast<unsigned long long>(report.probe.calls), report.probe.p50,
             report.probe.p99, report.probe.max);
    out += line;
    snprintf(line, sizeof line, "limited threads, share of one processor over the last %.0f s:",
             report.shareWindowSeconds);
    out += line;
    for (double share : report.limitedShares) {
        snprintf(line, sizeof line, share < 0 ? " n/a" : " %.1f %%", share);
        out += line;
    }
    out += "\n";
    return out;
}
