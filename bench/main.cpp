// kvo-bench-sched: how well busy threads are held at a limit by the library in
// its default and exact modes, beside cpulimit and the kernel's CFS quota, and
// what the schedule thread costs in each mode. With --out DIR it also writes
// DIR/shares.csv (the share of every second) and DIR/report.md.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "args.h"
#include "cost.h"
#include "holding.h"
#include "processes.h"
#include "writers.h"

int main(int argc, char** argv) {
    // This program again, as a child that runs one case in the mode its
    // environment chose.
    if (argc == 5 && strcmp(argv[1], "--child-hold") == 0) {
        return LibraryChildMain(strtof(argv[2], nullptr), atoi(argv[3]), atoi(argv[4]));
    }
    if (argc == 4 && strcmp(argv[1], "--child-cost") == 0) {
        return CostChildMain(atoi(argv[2]), atoi(argv[3]));
    }
    Config cfg;
    const int rc = ParseArgs(argc, argv, &cfg);
    if (rc >= 0) return rc;
    if (cfg.cpulimit && !FindInPath("cpulimit")) {
        printf("cpulimit is not installed: its column is left out\n");
        cfg.cpulimit = false;
    }
    const std::string cfsNote = CfsInterface();
    if (cfg.cfs && cfsNote.empty()) {
        printf("no cgroup file system with the cpu controller: the CFS column is left out\n");
    } else if (cfg.cfs) {
        printf("CFS quota: %s%s\n", cfsNote.c_str(), geteuid() == 0 ? "" : " (not root: may fail)");
    }
    printf("%ld processors online\n\n", sysconf(_SC_NPROCESSORS_ONLN));

    std::vector<HoldRow> holding;
    PrintHoldHeader(cfg);
    for (const HoldCase& c : HoldCases()) {
        HoldRow row{c, {}};
        row.tools.push_back(HoldWithLibrary(cfg, "default", c));
        row.tools.push_back(HoldWithLibrary(cfg, "exact", c));
        row.tools.push_back(HoldWithCpulimit(cfg, c));
        row.tools.push_back(HoldWithCfs(cfg, c));
        PrintHoldRow(row);
        holding.push_back(row);
    }
    PrintCostHeader(cfg);
    const std::vector<CostFigures> cost = CostTable(cfg);
    for (const CostFigures& f : cost) PrintCostRow(f, cost);
    if (!cfg.outDir.empty()) {
        WriteShares(cfg.outDir + "/shares.csv", holding);
        WriteMarkdown(cfg.outDir + "/report.md", cfg, cfsNote, holding, cost);
    }
    return 0;
}
