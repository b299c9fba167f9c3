// qelch grep: lines matching a pattern, each line matched on its own.
//
// Speed comes from searching a whole chunk of lines at once for a candidate
// (the pattern compiled with "m", so ^ and $ meet line boundaries) and then
// confirming only the candidate's line on its own. A line that matches on its
// own also matches inside the chunk at the same place, so no matching line is
// passed over; a candidate that only matched across a line end fails its
// confirmation, and the search resumes at the next line. Constructs that can
// see past a line end in a way that changes the outcome (look-around, \A \z
// \Z \G) make every line go through the per-line search instead.
//
// When the pattern's text shows literals that every match contains (see
// literals.h), plain substring searches find the candidate lines instead of
// the matcher; for a pattern that is only an alternation of plain text they
// are the whole answer.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "literals.h"
#include "matches.h"

namespace app {
namespace {

const char* kHelp =
    "usage: qelch grep [-i] [--multiline] [--dotall] [--extended] [-o] [-c] [-n] [-v] [--bytes] PATTERN [FILE...]\n"
    "\n"
    "Prints the lines of the FILEs (standard input without one) that match PATTERN.\n"
    "Each line is matched on its own, without its line feed.\n"
    "  -i            ignore case          --multiline, --dotall, --extended: pattern options m, s, x\n"
    "  -o            print each match     -c  print the number of selected lines\n"
    "  -n            prefix line numbers  -v  select the lines that do not match\n"
    "  --bytes       treat input as bytes, not UTF-8\n"
    "Exit status: 0 a line was selected, 1 none, 2 error.\n";

bool sees_past_line_end(const std::string& p) {
    static const char* risky[] = {"(?=", "(?!", "(?<=", "(?<!", "\\A", "\\z", "\\Z", "\\G"};
    for (const char* r : risky)
        if (p.find(r) != std::string::npos) return true;
    return false;
}

struct Grep {
    bool only = false, count = false, numbers = false, invert = false, prefix = false;
    Compiled line_state, chunk_state, global_state;
    bool use_chunk = true;
    // Literals every match contains: a substring search over the chunk
    // (Latin lower-cased first when folded) finds the candidate lines; with an
    // exact plan they need no confirmation. next_at caches, per literal, its
    // next occurrence in the chunk (kUnknown: search again, kNone: no more).
    LiteralPlan plan;
    std::string folded;
    std::vector<int64_t> next_at;
    static constexpr int64_t kUnknown = -1;
    static constexpr int64_t kNone = INT64_MAX;
    Out out;
    std::string name;
    int64_t selected = 0;
    int64_t line_no = 0;   // number of the line that starts at `numbered_to`
    size_t numbered_to = 0;
    bool search_error = false;

    void line_prefix(int64_t no) {
        if (prefix) {
            out.put(name);
            out.put(':');
        }
        if (numbers) {
            out.put(std::to_string(no));
            out.put(':');
        }
    }

    int64_t number_of(std::string_view chunk, size_t line_start) {
        if (!numbers) return 0;
        line_no += std::count(chunk.begin() + long(numbered_to), chunk.begin() + long(line_start), '\n');
        numbered_to = line_start;
        return line_no;
    }

    void select(std::string_view chunk, size_t start, size_t end, int32_t records) {
        ++selected;
        if (count) return;
        int64_t no = number_of(chunk, start);
        std::string_view line = chunk.substr(start, end - start);
        if (!only) {
            line_prefix(no);
            out.put(line);
            out.put('\n');
            return;
        }
        QelStatus st = qelOk;
        for (auto [off, len] : all_matches(global_state.state(), records, line, &st)) {
            if (len <= 0) continue;
            line_prefix(no);
            out.put(line.substr(size_t(off), size_t(len)));
            out.put('\n');
        }
        if (st < 0) search_error = true;
    }

    // Confirms one line; returns the record count of its match, 0 for none.
    int32_t confirm(std::string_view line) {
        Found f = first_match(line_state.state(), line);
        if (f.status < 0) search_error = true;
        return f.count;
    }

    // Start of the first occurrence of any literal at or after `pos`, or -1.
    int64_t next_literal(const char* hay, size_t size, size_t pos) {
        int64_t best = kNone;
        for (size_t k = 0; k < plan.literals.size(); ++k) {
            int64_t& at = next_at[k];
            if (at != kNone && at < int64_t(pos)) {
                const std::string& lit = plan.literals[k];
                int32_t index = -1;
                qelsFind_8u(reinterpret_cast<const Qel8u*>(hay + pos), int32_t(size - pos),
                            reinterpret_cast<const Qel8u*>(lit.data()), int32_t(lit.size()), &index);
                at = index < 0 ? kNone : int64_t(pos) + index;
            }
            best = std::min(best, at);
        }
        return best == kNone ? -1 : best;
    }

    bool chunk(std::string_view c) {
        size_t pos = 0;
        numbered_to = 0;
        const bool ends_with_lf = !c.empty() && c.back() == '\n';
        const char* hay = c.data();
        const bool use_literals = !plan.literals.empty();
        next_at.assign(plan.literals.size(), kUnknown);
        if (use_literals && plan.folded && !c.empty()) {
            folded.resize(c.size());
            qelsLowercaseLatin_8u(reinterpret_cast<const Qel8u*>(c.data()), reinterpret_cast<Qel8u*>(folded.data()),
                                  int32_t(c.size()));
            hay = folded.data();
        }
        while (pos < c.size()) {
            size_t start = pos;
            bool found = false;
            if (use_literals) {
                int64_t at = next_literal(hay, c.size(), pos);
                if (at < 0) {
                    if (invert) select_range(c, pos, c.size());
                    break;
                }
                const void* nl = size_t(at) > pos ? memrchr(c.data() + pos, '\n', size_t(at) - pos) : nullptr;
                start = nl ? size_t(static_cast<const char*>(nl) - c.data()) + 1 : pos;
                if (invert) select_range(c, pos, start);
                found = plan.exact;
            } else if (use_chunk) {
                Found f = first_match(chunk_state.state(), c.substr(pos));
                if (f.status < 0) search_error = true;
                if (f.count == 0) {
                    if (invert) select_range(c, pos, c.size());
                    break;
                }
                size_t at = pos + size_t(f.offset);
                const void* nl = at > pos ? memrchr(c.data() + pos, '\n', at - pos) : nullptr;
                start = nl ? size_t(static_cast<const char*>(nl) - c.data()) + 1 : pos;
                if (invert) select_range(c, pos, start);
                if (start >= c.size() && ends_with_lf) break;  // a position after the last line feed
            }
            const void* nl = std::memchr(c.data() + start, '\n', c.size() - start);
            size_t end = nl ? size_t(static_cast<const char*>(nl) - c.data()) : c.size();
            int32_t records = found ? 1 : confirm(c.substr(start, end - start));
            if ((records > 0) != invert) select(c, start, end, records);
            pos = end + 1;
        }
        if (numbers) line_no += std::count(c.begin() + long(numbered_to), c.end(), '\n') + (ends_with_lf ? 0 : 1);
        return !out.failed();
    }

    // Selects every line in [from, to), which holds whole lines.
    void select_range(std::string_view c, size_t from, size_t to) {
        while (from < to) {
            const void* nl = std::memchr(c.data() + from, '\n', to - from);
            size_t end = nl ? size_t(static_cast<const char*>(nl) - c.data()) : to;
            select(c, from, end, 0);
            from = end + 1;
        }
    }
};

}  // namespace

int cmd_grep(const std::vector<std::string>& args) {
    if (wants_help(args)) {
        std::fputs(kHelp, stdout);
        return kFound;
    }
    Grep g;
    RegexFlags flags;
    std::vector<std::string> rest;
    bool options_done = false;
    for (const auto& a : args) {
        if (!options_done && a.size() > 1 && a[0] == '-') {
            if (a == "--") options_done = true;
            else if (flags.take(a)) {}
            else if (a == "-o") g.only = true;
            else if (a == "-c") g.count = true;
            else if (a == "-n") g.numbers = true;
            else if (a == "-v") g.invert = true;
            else {
                error("grep: unknown option '" + a + "' (see qelch grep --help)");
                return kError;
            }
        } else {
            rest.push_back(a);
        }
    }
    if (rest.empty()) {
        error("grep: missing PATTERN (see qelch grep --help)");
        return kError;
    }
    const std::string pattern = rest[0];
    std::vector<std::string> files(rest.begin() + 1, rest.end());
    if (files.empty()) files.push_back("-");
    g.prefix = files.size() > 1;
    const std::string opts = flags.letters();
    if (!compile(pattern, opts, flags.bytes, g.line_state)) return kError;
    g.use_chunk = !sees_past_line_end(pattern);
    if (g.use_chunk && !compile(pattern, opts + "m", flags.bytes, g.chunk_state)) return kError;
    g.plan = plan_literals(pattern, flags.ignore_case, flags.extended);
    if (g.only && !compile(pattern, opts + "g", flags.bytes, g.global_state)) return kError;

    bool io_error = false;
    int64_t total = 0;
    for (const auto& f : files) {
        g.name = f == "-" ? "(standard input)" : f;
        g.selected = 0;
        g.line_no = 1;
        if (!for_each_chunk(f, [&](std::string_view c) { return g.chunk(c); })) io_error = true;
        if (g.count) {
            if (g.prefix) {
                g.out.put(g.name);
                g.out.put(':');
            }
            g.out.put(std::to_string(g.selected));
            g.out.put('\n');
        }
        total += g.selected;
    }
    if (!g.out.flush()) {
        error("grep: cannot write output");
        return kError;
    }
    if (g.search_error) error("grep: the match limit was reached on some lines");
    if (io_error || g.search_error) return kError;
    return total > 0 ? kFound : kNothing;
}

}  // namespace app
