// kvo-config: says what a configuration file means on this machine.
//   kvo-config check FILE   the given file
//   kvo-config show         the installation's own file (<prefix>/config/kvo_vurizeda.ini)
// Exit: 0 clean, 1 problems found, 2 the file cannot be read or bad usage.
#include <stdio.h>
#include <string.h>

#include <string>

#include "cli.h"
#include "config_check.h"
#include "platform/kvo_base.h"

namespace {

const char kUsage[] =
    "usage: kvo-config check FILE | kvo-config show\n"
    "  check FILE  explain FILE as the library on this machine reads it: the profile this\n"
    "              machine gets and why, each value and where it came from, the CPU groups\n"
    "              and thread limits, and every problem (unknown names, values that are no\n"
    "              numbers, values clipped or refused)\n"
    "  show        the same for the installation's own file\n"
    "  --version   print the version\n"
    "exit status: 0 clean, 1 problems found, 2 the file cannot be read\n";

int Run(const std::string& path) {
    std::string report;
    const int status = CheckConfigFile(path, ConfigEnv::Default(), &report);
    fputs(report.c_str(), status == kConfigUnreadable ? stderr : stdout);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CliArgs cli("kvo-config", argc, argv);
    if (!cli.Next()) {
        cli.Fail("a command is needed: check FILE or show");
        return kCliUsageError;
    }
    if (cli.Is("--help") || cli.Is("-h")) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (cli.Is("--version")) return CliPrintVersion("kvo-config");
    if (strcmp(cli.Current(), "check") == 0) {
        if (argc != 3) {
            cli.Fail("check takes one FILE");
            return kCliUsageError;
        }
        return Run(argv[2]);
    }
    if (strcmp(cli.Current(), "show") == 0) {
        if (argc != 2) {
            cli.Fail("show takes no argument");
            return kCliUsageError;
        }
        char path[4096] = {0};
        kvo_dirutils_path_transform("@/../config/kvo_vurizeda.ini", path, sizeof path);
        kvo_path_format_a(path);
        return Run(path);
    }
    if (cli.Current()[0] == '-') return cli.Unknown();
    cli.Fail("unknown command '%s' (check FILE or show)", cli.Current());
    return kCliUsageError;
}
