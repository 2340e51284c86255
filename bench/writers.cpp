// Console tables, shares.csv and report.md.
#include "writers.h"

#include <math.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>

namespace {

// A tool's figures over all its units: the mean of the means, the largest
// spread, the latest holding second and the largest distance from the limit.
struct Summary {
    bool valid = false;
    double mean = 0;
    double sd = 0;
    int heldFrom = -1;
    double worst = 0;
};

Summary Summarize(const ToolRun& run, float limit) {
    Summary s;
    if (!run.ran || run.units.empty()) return s;
    s.valid = true;
    for (const Figures& f : run.units) {
        if (!f.valid) return Summary{};
        s.mean += f.mean / static_cast<double>(run.units.size());
        s.sd = fmax(s.sd, f.stddev);
        s.worst = fmax(s.worst, fabs(f.mean - limit));
        if (f.heldFrom < 0 || s.heldFrom == 0) {
            s.heldFrom = 0;  // some unit never held
        } else if (f.heldFrom > s.heldFrom) {
            s.heldFrom = f.heldFrom;
        }
    }
    if (s.heldFrom == 0) s.heldFrom = -1;
    return s;
}

std::string Held(int second) {
    return second > 0 ? std::to_string(second) + " s" : std::string("never");
}

std::string CaseName(const HoldCase& c) {
    char text[32];
    if (c.threads == 1) {
        snprintf(text, sizeof text, "%g", c.limit);
    } else {
        snprintf(text, sizeof text, "%dx%g", c.threads, c.limit);
    }
    return text;
}

std::string Relative(double value, double base) {
    char text[32];
    snprintf(text, sizeof text, base > 0 ? "%.1f" : "n/a", 100.0 * value / base);
    return text;
}

const CostFigures* BaseRow(const CostFigures& f, const std::vector<CostFigures>& rows) {
    for (const CostFigures& r : rows) {
        if (r.mode == f.mode && r.threads == 0 && r.valid) return &r;
    }
    return nullptr;
}

}  // namespace

const std::vector<ToolName>& HoldTools() {
    static const std::vector<ToolName> tools = {{"default", "library, default mode"},
                                                {"exact", "library, exact mode"},
                                                {"cpulimit", "cpulimit -l P"},
                                                {"cfs", "CFS quota"}};
    return tools;
}

void PrintHoldHeader(const Config& cfg) {
    printf(
        "Holding busy threads (library) or processes (cpulimit, CFS) at a limit, %% of one\n"
        "processor: mean and standard deviation of 1-second windows over seconds %d to %d,\n"
        "and the second from which every window stays within 10%% of the limit. With\n"
        "several units: mean of their means, largest sd, latest second, and the largest\n"
        "distance of one unit's mean from the limit (worst).\n\n",
        cfg.fromSecond + 1, cfg.runSeconds);
    printf("case  ");
    for (const ToolName& t : HoldTools()) printf("| %-30s", t.label);
    printf("\n");
}

void PrintHoldRow(const HoldRow& row) {
    printf("%-6s", CaseName(row.c).c_str());
    for (const ToolRun& run : row.tools) {
        const Summary s = Summarize(run, row.c.limit);
        if (!s.valid) {
            printf("| %-30s", run.note.empty() ? "n/a" : run.note.substr(0, 30).c_str());
            continue;
        }
        char cell[64];
        if (row.c.threads == 1) {
            snprintf(cell, sizeof cell, "%6.1f %5.2f %6s", s.mean, s.sd, Held(s.heldFrom).c_str());
        } else {
            snprintf(cell, sizeof cell, "%6.1f %5.2f %6s w%.1f", s.mean, s.sd,
                     Held(s.heldFrom).c_str(), s.worst);
        }
        printf("| %-30s", cell);
    }
    printf("\n");
    fflush(stdout);
}

void PrintCostHeader(const Config& cfg) {
    printf(
        "\nSchedule thread cost with limited threads that sleep (limit 30, %d s each), and\n"
        "the work rate of an unlimited busy thread beside them, in percent of the row\n"
        "without limited threads of the same mode (per wall second, and per second of\n"
        "its own CPU)\n\n",
        cfg.costSeconds);
    printf(
        "mode    | threads | thread CPU%% | us/thread/tick | library threads | unlimited wall%% "
        "cpu%%\n");
}

void PrintCostRow(const CostFigures& f, const std::vector<CostFigures>& rows) {
    if (!f.valid) {
        printf("%-7s | %7d | the child run failed\n", f.mode.c_str(), f.threads);
        return;
    }
    const CostFigures* base = BaseRow(f, rows);
    printf("%-7s | %7d | %10.3f | %14.2f | %15d | %14s %5s\n", f.mode.c_str(), f.threads,
           f.cpuPercent, f.usPerThreadTick, f.libraryThreads,
           Relative(f.freeWallRate, base ? base->freeWallRate : 0).c_str(),
           Relative(f.freeCpuRate, base ? base->freeCpuRate : 0).c_str());
    fflush(stdout);
}

void WriteShares(const std::string& path, const std::vector<HoldRow>& rows) {
    std::ofstream out(path);
    out << "tool,case,unit,second,share\n";
    for (const HoldRow& row : rows) {
        for (size_t t = 0; t < row.tools.size(); ++t) {
            const ToolRun& run = row.tools[t];
            for (size_t u = 0; u < run.units.size(); ++u) {
                const std::vector<double>& w = run.units[u].windows;
                for (size_t s = 0; s < w.size(); ++s) {
                    out << HoldTools()[t].id << ',' << CaseName(row.c) << ',' << u + 1 << ','
                        << s + 1 << ',' << w[s] << '\n';
                }
            }
        }
    }
}

void WriteMarkdown(const std::string& path, const Config& cfg, const std::string& cfsNote,
                   const std::vector<HoldRow>& holding, const std::vector<CostFigures>& cost) {
    std::ofstream out(path);
    out << "## Holding a busy thread at a limit\n\n"
        << "Percent of one processor, " << sysconf(_SC_NPROCESSORS_ONLN)
        << " processors online. Mean and standard deviation (sd) of the 1-second windows over "
           "seconds "
        << cfg.fromSecond + 1 << " to " << cfg.runSeconds
        << "; held: the second from which every window stays within 10 % of the limit. The "
           "library holds threads of one process (one process per mode: the mode is chosen "
           "per process); `cpulimit -l P` and the CFS quota each hold a busy process. CFS: "
        << (cfsNote.empty() ? "not available on this machine" : cfsNote) << ".\n\n";
    out << "| limit |";
    for (const ToolName& t : HoldTools()) out << ' ' << t.label << ": mean / sd / held |";
    out << "\n|---:|";
    for (size_t i = 0; i < HoldTools().size(); ++i) out << "---:|";
    out << '\n';
    for (const HoldRow& row : holding) {
        if (row.c.threads != 1) continue;
        out << "| " << row.c.limit << " |";
        for (const ToolRun& run : row.tools) {
            const Summary s = Summarize(run, row.c.limit);
            char cell[96];
            if (s.valid) {
                snprintf(cell, sizeof cell, " %.1f / %.2f / %s |", s.mean, s.sd,
                         Held(s.heldFrom).c_str());
            } else {
                snprintf(cell, sizeof cell, " n/a (%s) |", run.note.c_str());
            }
            out << cell;
        }
        out << '\n';
    }
    for (const HoldRow& row : holding) {
        if (row.c.threads == 1) continue;
        out << "\n### " << row.c.threads << " busy units at " << row.c.limit << " % each\n\n"
            << "| tool | mean of each unit | largest sd | held | worst distance from the limit |\n"
            << "|---|---|---:|---:|---:|\n";
        for (size_t t = 0; t < row.tools.size(); ++t) {
            const ToolRun& run = row.tools[t];
            const Summary s = Summarize(run, row.c.limit);
            out << "| " << HoldTools()[t].label << " | ";
            if (!s.valid) {
                out << "n/a (" << run.note << ") | | | |\n";
                continue;
            }
            for (size_t u = 0; u < run.units.size(); ++u) {
                char mean[32];
                snprintf(mean, sizeof mean, "%s%.1f", u > 0 ? ", " : "", run.units[u].mean);
                out << mean;
            }
            char rest[96];
            snprintf(rest, sizeof rest, " | %.2f | %s | %.1f |\n", s.sd, Held(s.heldFrom).c_str(),
                     s.worst);
            out << rest;
        }
    }
    out << "\n## Cost of the schedule thread, and an unlimited thread beside it\n\n"
        << "Limited threads that sleep (limit 30), " << cfg.costSeconds
        << " s per row, one process per row. Unlimited thread: the work rate of a busy thread "
           "that is not limited, in percent of the row without limited threads of the same "
           "mode, per wall second and per second of its own CPU time.\n\n"
        << "| mode | limited threads | library threads' CPU % | µs per limited thread per tick "
           "| unlimited thread, wall % | unlimited thread, own CPU % |\n"
        << "|---|---:|---:|---:|---:|---:|\n";
    for (const CostFigures& f : cost) {
        if (!f.valid) {
            out << "| " << f.mode << " | " << f.threads << " | n/a | n/a | n/a | n/a |\n";
            continue;
        }
        const CostFigures* base = BaseRow(f, cost);
        char line[200];
        snprintf(line, sizeof line, "| %s | %d | %.3f | %.2f | %s | %s |\n", f.mode.c_str(),
                 f.threads, f.cpuPercent, f.usPerThreadTick,
                 Relative(f.freeWallRate, base ? base->freeWallRate : 0).c_str(),
                 Relative(f.freeCpuRate, base ? base->freeCpuRate : 0).c_str());
        out << line;
    }
}
