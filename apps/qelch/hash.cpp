// qelch hash: one 32-bit hash per input line (without its line feed).
#include <cstdio>
#include <string>
#include <vector>

#include "common.h"

namespace app {
namespace {

const char* kHelp =
    "usage: qelch hash [--algo sx|x33|x31] [--16] [FILE...]\n"
    "\n"
    "Prints one hash per input line, as 8 hex digits:\n"
    "  sx   shift-xor (default)   x33  times-33-xor, stops at a zero byte\n"
    "  x31  times-31-add          --16 hash the line as UTF-16 units\n";

}  // namespace

int cmd_hash(const std::vector<std::string>& args) {
    if (wants_help(args)) {
        std::fputs(kHelp, stdout);
        return kFound;
    }
    std::string algo = "sx";
    bool wide = false;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--algo" && i + 1 < args.size()) algo = args[++i];
        else if (args[i] == "--16") wide = true;
        else if (args[i].size() > 1 && args[i][0] == '-') {
            error("hash: unknown or incomplete option '" + args[i] + "' (see qelch hash --help)");
            return kError;
        } else files.push_back(args[i]);
    }
    using Fn8 = QelStatus (*)(const Qel8u*, int32_t, Qel32u*);
    using Fn16 = QelStatus (*)(const Qel16u*, int32_t, Qel32u*);
    Fn8 f8 = nullptr;
    Fn16 f16 = nullptr;
    if (algo == "sx") f8 = qelsHash_8u32u, f16 = qelsHash_16u32u;
    else if (algo == "x33") f8 = qelsHashMSCS_8u32u, f16 = qelsHashMSCS_16u32u;
    else if (algo == "x31") f8 = qelsHashSJ2_8u32u, f16 = qelsHashSJ2_16u32u;
    else {
        error("hash: unknown algorithm '" + algo + "' (sx, x33 or x31)");
        return kError;
    }
    if (files.empty()) files.push_back("-");
    Out out;
    std::vector<Qel16u> units;
    static const Qel8u empty8 = 0;
    static const Qel16u empty16 = 0;
    char hex[16];
    bool ok = true;
    for (const auto& f : files) {
        ok = for_each_chunk(f, [&](std::string_view c) {
                 size_t pos = 0;
                 while (pos < c.size()) {
                     size_t nl = c.find('\n', pos);
                     size_t end = nl == std::string_view::npos ? c.size() : nl;
                     std::string_view line = c.substr(pos, end - pos);
                     Qel32u h = 0;
                     if (!wide) {
                         f8(line.empty() ? &empty8 : reinterpret_cast<const Qel8u*>(line.data()), int32_t(line.size()), &h);
                     } else {
                         units.resize(line.size() + 1);
                         int32_t srcLen = int32_t(line.size()), dstLen = int32_t(units.size());
                         if (!line.empty())
                             qelsConvertUTF_8u16u(reinterpret_cast<const Qel8u*>(line.data()), &srcLen, units.data(),
                                                  &dstLen, 0);
                         else dstLen = 0;
                         f16(dstLen ? units.data() : &empty16, dstLen, &h);
                     }
                     std::snprintf(hex, sizeof hex, "%08x\n", h);
                     out.put(hex);
                     pos = end + 1;
                 }
                 return !out.failed();
             }) && ok;
    }
    if (!out.flush()) return kError;
    return ok ? kFound : kError;
}

}  // namespace app
