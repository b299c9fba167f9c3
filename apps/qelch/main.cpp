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
    "1 nothing found, 2 error.\n";

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
        return app::kFound;
    }
    if (cmd == "--version") {
        std::printf("qelch %s\n", qelchGetLibVersion()->versionText);
        return app::kFound;
    }
    if (cmd == "grep") return app::cmd_grep(args);
    if (cmd == "replace") return app::cmd_replace(args);
    if (cmd == "sets") return app::cmd_sets(args);
    if (cmd == "convert") return app::cmd_convert(args);
    if (cmd == "hash") return app::cmd_hash(args);
    app::error("unknown command '" + cmd + "' (see qelch --help)");
    return app::kError;
}
