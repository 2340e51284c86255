// kvo-demo: busy threads held by the library. The tour shows fixed per-thread
// limits and then the automatic limit; --limit/--from-config and --auto run one.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

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
            "                     collector's samples; halfway the host raises the ceiling.\n");
}

bool ParseNumber(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= low && v <= high)) return false;
    *value = v;
    return true;
}

// Returns 0 when options were read, -1 after --help, otherwise the exit code.
int ParseOptions(int argc, char** argv, Mode* mode, Options* options) {
    bool secondsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return -1;
        }
        double value = 0;
        const bool hasValue = i + 1 < argc;
        if (arg == "--auto") {
            *mode = Mode::kAutomatic;
        } else if (arg == "--threads" && hasValue && ParseNumber(argv[++i], 1, 64, &value)) {
            options->threads = static_cast<int>(value);
        } else if (arg == "--limit" && hasValue && ParseNumber(argv[++i], 0.1, 100, &value)) {
            options->limit = static_cast<float>(value);
            *mode = Mode::kFixed;
        } else if (arg == "--from-config" && hasValue) {
            options->fromConfig = argv[++i];
            *mode = Mode::kFixed;
        } else if (arg == "--seconds" && hasValue && ParseNumber(argv[++i], 1, 3600, &value)) {
            options->seconds = static_cast<int>(value);
            secondsGiven = true;
        } else {
            fprintf(stderr, "kvo-demo: bad or incomplete option '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (*mode == Mode::kAutomatic && !secondsGiven) options->seconds = 24;
    return 0;
}

// The automatic mode reads the library's DEBUG lines: send them to a file, unless
// the user already chose one. The library reads these once, at its first line.
void RouteLibraryLog() {
    if (getenv("KVO_LOG_FILE") == nullptr) {
        char path[] = "/tmp/kvo-demo-log-XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) close(fd);
        setenv("KVO_LOG_FILE", path, 1);
    }
    if (getenv("KVO_LOG_LEVEL") == nullptr || atoi(getenv("KVO_LOG_LEVEL")) < 3) {
        setenv("KVO_LOG_LEVEL", "3", 1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Mode mode = Mode::kTour;
    Options options;
    const int parsed = ParseOptions(argc, argv, &mode, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    switch (mode) {
        case Mode::kFixed:
            return RunFixedLimit(options);
        case Mode::kAutomatic:
            RouteLibraryLog();
            return RunAutomatic(options);
        case Mode::kTour: {
            RouteLibraryLog();
            Options fixed = options;
            fixed.seconds = 8;
            printf("== 1. fixed limits ==\n");
            if (int r = RunFixedLimit(fixed)) return r;
            Options automatic = options;
            automatic.seconds = 24;
            printf("\n== 2. the automatic limit ==\n");
            return RunAutomatic(automatic);
        }
    }
    return 2;
}
