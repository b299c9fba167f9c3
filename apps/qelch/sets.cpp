// qelch sets: the matches of many patterns counted in one pass over the
// input with the C++ wrapper's pattern set (the library's parallel
// pattern-set search underneath).
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common.h"
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
    "are more patterns than threads; --threads sets the thread count. A pattern\n"
    "whose search fails (for example at the match limit) gets no count line: the\n"
    "error names it and the exit status is 2.\n";

struct Entry {
    std::string pattern;
    qel::regex re;
    int64_t count = 0;
    QelStatus failed = qelOk;  // first failing status; the count is then not printed
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
    qel::pattern_set set(Qel32u(entries.size()));
    if (!set) {
        error("sets: cannot allocate the pattern set");
        return kError;
    }
    // The set refers to the regexes: compile them all before adding any, so
    // none moves afterwards.
    for (auto& e : entries) {
        e.re = qel::regex(e.pattern, opts);
        if (!e.re) {
            Compiled report;  // prints the message with the offset
            if (compile(e.pattern, opts, flags.bytes, report)) error("sets: cannot compile " + e.pattern);
            return kError;
        }
        if (flags.bytes) e.re.set_format(0);
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (set.add(entries[i].re, int32_t(i + 1)) != qelOk) {
            error("sets: cannot add " + entries[i].pattern);
            return kError;
        }
    }
    if (threads > 0) qelcoreCtlSetNumThreads(threads);

    if (files.empty()) files.push_back("-");
    bool ok = true;
    for (const auto& f : files) {
        ok = for_each_chunk(f, [&](std::string_view c) {
                 auto counts = set.count(c);
                 if (!counts.ok()) {
                     error(std::string("sets: search failed: ") + status_phrase(counts.status));
                     return false;
                 }
                 for (const auto& t : counts.value) {
                     Entry& e = entries[size_t(t.id - 1)];
                     if (e.failed != qelOk) continue;
                     if (t.status < 0) e.failed = t.status;
                     else e.count += t.count;
                 }
                 return true;
             }) && ok;
    }
    Out out;
    int64_t total = 0;
    bool failed = false;
    for (const auto& e : entries) {
        if (e.failed != qelOk) {
            // A search cut short may have missed matches: no count for it.
            error("sets: pattern '" + e.pattern + "': " + status_phrase(e.failed) + " (" + std::to_string(e.failed) +
                  ")");
            failed = true;
            continue;
        }
        out.put(e.pattern);
        out.put('\t');
        out.put(std::to_string(e.count));
        out.put('\n');
        total += e.count;
    }
    if (!out.flush()) return kError;  // main reports the failed write once
    if (!ok || failed) return kError;
    return total > 0 ? kFound : kNothing;
}

}  // namespace app
