// qelch sets: the matches of many patterns counted in one pass over the
// input with the library's parallel pattern-set search.
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common.h"
#include "matches.h"
#include "qelch.hpp"
#include "qelcore.h"

namespace app {
namespace {

const char* kHelp =
    "usage: qelch sets [-i] [--multiline] [--dotall] [--extended] [--bytes] [--threads N]\n"
    "                  -f PATTERNS_FILE [FILE...]\n"
    "\n"
    "Counts the matches of every pattern in PATTERNS_FILE (one per line; empty\n"
    "lines are skipped) over the input and prints \"pattern<TAB>count\" for each,\n"
    "in file order. The patterns are searched together, in parallel when there\n"
    "are more patterns than threads; --threads sets the thread count.\n";

struct Entry {
    std::string pattern;
    Compiled global, single;
    int32_t per_match = 0;  // records per match of the global search, 0 = not known yet
    int64_t count = 0;
};

}  // namespace

int cmd_sets(const std::vector<std::string>& args) {
    if (wants_help(args)) {
        std::fputs(kHelp, stdout);
        return kFound;
    }
    RegexFlags flags;
    std::string pattern_file;
    std::vector<std::string> files;
    int threads = 0;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!options_done && a.size() > 1 && a[0] == '-') {
            if (a == "--") options_done = true;
            else if (flags.take(a)) {}
            else if ((a == "-f" || a == "--threads") && i + 1 < args.size()) {
                if (a == "-f") pattern_file = args[++i];
                else threads = std::atoi(args[++i].c_str());
                if (a == "--threads" && threads < 1) {
                    error("sets: --threads needs a positive number");
                    return kError;
                }
            } else {
                error("sets: unknown or incomplete option '" + a + "' (see qelch sets --help)");
                return kError;
            }
        } else {
            files.push_back(a);
        }
    }
    if (pattern_file.empty()) {
        error("sets: missing -f PATTERNS_FILE (see qelch sets --help)");
        return kError;
    }
    std::ifstream in(pattern_file);
    if (!in) {
        error("sets: cannot read " + pattern_file);
        return kError;
    }
    std::vector<Entry> entries;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        entries.emplace_back();
        entries.back().pattern = line;
    }
    if (entries.empty()) {
        error("sets: no patterns in " + pattern_file);
        return kError;
    }
    const std::string opts = flags.letters();
    for (auto& e : entries) {
        if (!compile(e.pattern, opts + "g", flags.bytes, e.global)) return kError;
        if (!compile(e.pattern, opts, flags.bytes, e.single)) return kError;
    }
    if (threads > 0) qelcoreCtlSetNumThreads(threads);

    QelRegExpMultiState* set = nullptr;
    if (qelsRegExpMultiInitAlloc(&set, Qel32u(entries.size())) != qelOk) {
        error("sets: cannot allocate the pattern set");
        return kError;
    }
    for (size_t i = 0; i < entries.size(); ++i) qelsRegExpMultiAdd(entries[i].global.state(), int32_t(i + 1), set);

    const size_t kRecords = 4096;
    std::vector<std::vector<QelRegExpFind>> found(entries.size(), std::vector<QelRegExpFind>(kRecords));
    std::vector<QelRegExpMultiFind> recs(entries.size());
    if (files.empty()) files.push_back("-");
    bool ok = true;
    for (const auto& f : files) {
        ok = for_each_chunk(f, [&](std::string_view c) {
                 const Qel8u* p = reinterpret_cast<const Qel8u*>(c.data());
                 for (size_t i = 0; i < entries.size(); ++i)
                     recs[i] = {0, 0, int32_t(kRecords), 0, found[i].data()};
                 qelsRegExpMultiFind_8u(p, int32_t(c.size()), recs.data(), set);
                 for (size_t i = 0; i < entries.size(); ++i) {
                     Entry& e = entries[i];
                     int32_t count = recs[i].count;
                     if (recs[i].status < 0 || count <= 0) continue;
                     if (e.per_match == 0) {
                         // The global search reports the groups of each match
                         // (or the whole match when there are none).
                         int32_t records = first_match(e.single.state(), c).count;
                         e.per_match = records > 1 ? records - 1 : 1;
                     }
                     if (size_t(count) + qel::kMaxRecordsPerMatch > kRecords) {
                         // The array may have filled up (a global search stops
                         // there silently): search this pattern again alone
                         // until the records of one more match would fit.
                         std::vector<QelRegExpFind> big(kRecords);
                         for (;;) {
                             big.resize(big.size() * 4);
                             count = int32_t(big.size());
                             QelStatus st = qelsRegExpFind_8u(p, int32_t(c.size()), e.global.state(), big.data(), &count);
                             if (st < 0 || size_t(count) + qel::kMaxRecordsPerMatch <= big.size() ||
                                 big.size() > (size_t(1) << 28))
                                 break;
                         }
                     }
                     e.count += count / e.per_match;
                 }
                 return true;
             }) && ok;
    }
    qelsRegExpMultiFree(set);
    Out out;
    int64_t total = 0;
    for (const auto& e : entries) {
        out.put(e.pattern);
        out.put('\t');
        out.put(std::to_string(e.count));
        out.put('\n');
        total += e.count;
    }
    if (!out.flush()) {
        error("sets: cannot write output");
        return kError;
    }
    if (!ok) return kError;
    return total > 0 ? kFound : kNothing;
}

}  // namespace app
