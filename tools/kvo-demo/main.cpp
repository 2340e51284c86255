// kvo-demo: busy threads held by the library. The tour shows fixed per-thread
// limits and then the automatic limit; --limit/--from-config and --auto run one.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "cli.h"
#include "demo.h"

namespace {

enum class Mode { kTour, kFixed, kAutomatic };

void Usage(FILE* out) {
    fprintf(out,
            "usage: kvo-demo [--auto | --limit P | --from-config NAME] [--threads N] "
            "[--seconds S]\n"
            "  Without a mode: a tour of 8 s of fixed limits, then 24 s of the automatic limit.\n"
            "  --limit P          N busy threads (default 3), each limiting itself to P percent\n"
            "                     of one processor (default 30), for S seconds (default 10).\n"
            "  --from-config NAME each thread looks its limit up by NAME in [thread_cpulimit]\n"
            "                     of <prefix>/config/kvo_vurizeda.ini.\n"
            "  --auto             N busy threads under the automatic limit, which follows the\n"
            "                     collector's samples; halfway the host raises the ceiling.\n"
            "  --threads N        busy threads, 1 to 64 (default 3).\n"
            "  --seconds S        length of the run, 1 to 3600.\n"
            "  --version          print the version.\n");
}

// Returns 0 when options were read, -1 after --help or --version, otherwise the
// exit code.
int ParseOptions(int argc, char** argv, Mode* mode, Options* options) {
    CliArgs cli("kvo-demo", argc, argv);
    bool secondsGiven = false;
    const char* modeOption = nullptr;  // the one mode option given
    auto setMode = [&](Mode wanted, const char* option) {
        if (modeOption != nullptr && strcmp(modeOption, option) != 0) {
            return cli.Fail("%s and %s cannot be combined: choose one mode", modeOption, option);
        }
        modeOption = option;
        *mode = wanted;
        return true;
    };
    while (cli.Next()) {
        double value = 0;
        bool bad = false;
        if (cli.Is("--help") || cli.Is("-h")) {
            Usage(stdout);
            return -1;
        } else if (cli.Is("--version")) {
            CliPrintVersion("kvo-demo");
            return -1;
        } else if (cli.IsFlag("--auto", &bad)) {
            bad = bad || !setMode(Mode::kAutomatic, "--auto");
        } else if (cli.Is("--threads")) {
            long threads = 0;
            bad = !cli.Integer(1, 64, &threads);
            options->threads = static_cast<int>(threads);
        } else if (cli.Is("--limit")) {
            bad = !cli.Number(0.1, 100, &value) || !setMode(Mode::kFixed, "--limit");
            options->limit = static_cast<float>(value);
        } else if (cli.Is("--from-config")) {
            bad = !cli.Text(&options->fromConfig) || !setMode(Mode::kFixed, "--from-config");
        } else if (cli.Is("--seconds")) {
            long seconds = 0;
            bad = !cli.Integer(1, 3600, &seconds);
            options->seconds = static_cast<int>(seconds);
            secondsGiven = true;
        } else {
            return cli.Unknown();
        }
        if (bad) return kCliUsageError;
    }
    if (*mode == Mode::kAutomatic && !secondsGiven) options->seconds = 24;
    return 0;
}

// The automatic mode reads the library's DEBUG lines: send them to a file, unless
// the user already chose one. The library reads these once, at its first line.
// Returns the file the demo made (removed at the end), or "".
std::string RouteLibraryLog() {
    std::string made;
    if (getenv("KVO_LOG_FILE") == nullptr) {
        char path[] = "/tmp/kvo-demo-log-XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) {
            close(fd);
            made = path;
        }
        setenv("KVO_LOG_FILE", path, 1);
    }
    if (getenv("KVO_LOG_LEVEL") == nullptr || atoi(getenv("KVO_LOG_LEVEL")) < 3) {
        setenv("KVO_LOG_LEVEL", "3", 1);
    }
    return made;
}

int RunTour(const Options& options) {
    Options fixed = options;
    fixed.seconds = 8;
    printf("== 1. fixed limits ==\n");
    if (int r = RunFixedLimit(fixed)) return r;
    Options automatic = options;
    automatic.seconds = 24;
    printf("\n== 2. the automatic limit ==\n");
    return RunAutomatic(automatic);
}

}  // namespace

int main(int argc, char** argv) {
    Mode mode = Mode::kTour;
    Options options;
    const int parsed = ParseOptions(argc, argv, &mode, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    CatchStopSignals();
    if (mode == Mode::kFixed) return RunFixedLimit(options);
    const std::string madeLog = RouteLibraryLog();
    const int status = mode == Mode::kAutomatic ? RunAutomatic(options) : RunTour(options);
    if (!madeLog.empty()) unlink(madeLog.c_str());
    return status;
}
