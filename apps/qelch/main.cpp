// qelch — command-line front end of the qelch library.
#include <cstdio>
#include <string>
#include <vector>

#include "common.h"

namespace {

const char* kUsage =
    "usage: qelch COMMAND [OPTIONS] ...\n"
    "\n"
    "commands:\n"
    "  grep     print lines matching a pattern\n"
    "  replace  replace matches of a pattern by a template\n"
    "  sets     count the matches of many patterns at once\n"
    "  convert  convert between UTF-8 and UTF-16\n"
    "  hash     print one hash per input line\n"
    "\n"
    "'qelch COMMAND --help' describes a command. Exit status: 0 found/ok,\n"
    "1 nothing found, 2 error.\n"
    "\n"
    "Patterns: see the section \"Supported pattern syntax\" of the README.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return app::kError;
    }
    std::string cmd = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return app::report_output_error() ? app::kError : app::kFound;
    }
    if (cmd == "--version") {
        std::printf("qelch %s\n", qelchGetLibVersion()->versionText);
        return app::report_output_error() ? app::kError : app::kFound;
    }
    int rc = -1;
    if (cmd == "grep") rc = app::cmd_grep(args);
    else if (cmd == "replace") rc = app::cmd_replace(args);
    else if (cmd == "sets") rc = app::cmd_sets(args);
    else if (cmd == "convert") rc = app::cmd_convert(args);
    else if (cmd == "hash") rc = app::cmd_hash(args);
    if (rc < 0) {
        app::error("unknown command '" + cmd + "' (see qelch --help)");
        return app::kError;
    }
    // Every command's output ends here: a failed write (a full disk, a
    // closed descriptor) is reported once, whichever path produced it.
    if (app::report_output_error()) return app::kError;
    return rc;
}
