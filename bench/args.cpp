// Command line of kvo-bench-sched and the holding cases it runs.
#include "args.h"

#include <stdio.h>

#include "cli.h"

std::vector<HoldCase> HoldCases() { return {{10, 1}, {30, 1}, {50, 1}, {80, 1}, {90, 1}, {30, 4}}; }

// -1 to run, otherwise the exit status (0 after --help or --version).
int ParseArgs(int argc, char** argv, Config* cfg) {
    cfg->self = argv[0];
    CliArgs cli("kvo-bench-sched", argc, argv);
    bool bad = false;
    while (cli.Next() && !bad) {
        const char* text = nullptr;
        if (cli.Is("--help") || cli.Is("-h")) {
            printf(
                "usage: kvo-bench-sched [--quick] [--no-cpulimit] [--no-cfs] [--out DIR]\n"
                "  --quick        8 s runs (mean over seconds 3 to 8), 3 s cost runs\n"
                "  --no-cpulimit  skip the cpulimit column\n"
                "  --no-cfs       skip the kernel's CFS quota column\n"
                "  --out DIR      also write DIR/shares.csv and DIR/report.md\n"
                "  --version      print the version\n");
            return 0;
        } else if (cli.Is("--version")) {
            return CliPrintVersion("kvo-bench-sched");
        } else if (cli.IsFlag("--quick", &bad)) {
            cfg->runSeconds = 8;
            cfg->fromSecond = 3;
            cfg->costSeconds = 3;
        } else if (cli.IsFlag("--no-cpulimit", &bad)) {
            cfg->cpulimit = false;
        } else if (cli.IsFlag("--no-cfs", &bad)) {
            cfg->cfs = false;
        } else if (cli.Is("--out")) {
            bad = !cli.Text(&text);
            if (!bad) cfg->outDir = text;
        } else {
            return cli.Unknown();
        }
    }
    return bad ? kCliUsageError : -1;
}
