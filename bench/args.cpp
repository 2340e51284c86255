// Command line of kvo-bench-sched and the holding cases it runs.
#include "args.h"

#include <stdio.h>

std::vector<HoldCase> HoldCases() { return {{10, 1}, {30, 1}, {50, 1}, {80, 1}, {90, 1}, {30, 4}}; }

int ParseArgs(int argc, char** argv, Config* cfg) {
    cfg->self = argv[0];
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            cfg->runSeconds = 8;
            cfg->fromSecond = 3;
            cfg->costSeconds = 3;
        } else if (arg == "--no-cpulimit") {
            cfg->cpulimit = false;
        } else if (arg == "--no-cfs") {
            cfg->cfs = false;
        } else if (arg == "--out" && i + 1 < argc) {
            cfg->outDir = argv[++i];
        } else {
            fprintf(stderr,
                    "usage: kvo-bench-sched [--quick] [--no-cpulimit] [--no-cfs] [--out DIR]\n"
                    "  --quick        8 s runs (mean over seconds 3 to 8), 3 s cost runs\n"
                    "  --no-cpulimit  skip the cpulimit column\n"
                    "  --no-cfs       skip the kernel's CFS quota column\n"
                    "  --out DIR      also write DIR/shares.csv and DIR/report.md\n");
            return arg == "--help" ? 0 : 2;
        }
    }
    return -1;
}
