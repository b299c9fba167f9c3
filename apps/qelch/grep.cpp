// qelch grep: lines matching a pattern, each line matched on its own.
//
// Speed comes from searching a whole chunk of lines at once for a candidate
// (the pattern compiled with "m", so ^ and $ meet line boundaries). A line
// that matches on its own also matches inside the chunk at the same place, so
// no matching line is passed over. A candidate match that stays inside its
// line selects it at once; one that runs over a line end (and any line under
// -o or colour) is confirmed by a search of the line on its own, and the
// search resumes at the next line. Constructs that can
// see past a line end in a way that changes the outcome make every line go
// through the per-line search instead (sees_past_line_end). The search over
// many lines compiles the pattern with its classes kept off line feeds
// (keep_off_line_feeds) and, where lines match often, collects several
// matches per call (next_chunk_match).
//
// When the pattern's text shows literals that every match contains (see
// literals.h), plain substring searches find the candidate lines instead of
// the matcher (for three or more literals, one search of their alternation,
// which the library reads in one pass); for a pattern that is only an
// alternation of plain text they are the whole answer.
//
// Many files are searched on several threads, one file per thread at a time;
// each file's output is held back until the files before it are printed, so
// the output is the same as that of one thread.
//
// A few simple patterns ("x*", ".", "[0-9]+", "^\s*$") say by their text
// alone which lines match: where no match records are needed, byte-set
// searches over the piece decide each line and the matcher is not run
// (line_shape.h, search_by_shape).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "line_shape.h"
#include "literals.h"
#include "matches.h"
#include "patterns.h"
#include "walk.h"

namespace app {
namespace {

const char* kHelp =
    "usage: qelch grep [OPTIONS] PATTERN [FILE...]\n"
    "       qelch grep [OPTIONS] -e PATTERN... | -f FILE... [FILE...]\n"
    "\n"
    "Prints the lines of the FILEs (standard input without one; the current\n"
    "directory with -r) that match PATTERN. Each line is matched on its own,\n"
    "without its line feed. Short options combine (-in, -C2, -e PAT or -ePAT).\n"
    "\n"
    "Patterns:\n"
    "  -e PAT           a pattern (repeatable); -f FILE: one pattern per line\n"
    "  -F               patterns are plain text     -i  ignore case\n"
    "  -w               match whole words only      -x  match whole lines only\n"
    "  --multiline, --dotall, --extended: pattern options m, s, x\n"
    "  --bytes          treat input as bytes, not UTF-8\n"
    "  --crlf           a line ending in CR LF: $ matches before the CR\n"
    "Output:\n"
    "  -o  print each match          -c  print the number of selected lines\n"
    "  -n  prefix line numbers       -v  select the lines that do not match\n"
    "  -l  print names of files with a selected line, -L  of files without\n"
    "  -H  print file names, -h  never   -q  print nothing, exit 0 on a match\n"
    "  -s  no messages about missing or unreadable files\n"
    "  -m NUM           stop a file after NUM selected lines\n"
    "  -A NUM, -B NUM, -C NUM   lines of context after, before, around (groups\n"
    "                   apart are separated by a line \"--\")\n"
    "  --color[=WHEN]   highlight matches: auto (on a terminal), always, never\n"
    "Files:\n"
    "  -r               search directories recursively: hidden files and what\n"
    "                   .gitignore (inside a repository) and .ignore exclude\n"
    "                   are skipped; --hidden and --no-ignore include them\n"
    "  --include=GLOB, --exclude=GLOB, --exclude-dir=GLOB   filter by name\n"
    "  -a  search binary files as text, -I  skip them. A file with a NUL byte in\n"
    "      its first 32 KiB is binary: a match there prints \"binary file matches\".\n"
    "  --threads N      search files on N threads (default: all processors)\n"
    "  --line-buffered  write the output as the input comes (the default on a\n"
    "                   terminal); a pipe is read as it is written\n"
    "Patterns are those of the README section \"Supported pattern syntax\".\n"
    "Exit status: 0 a line was selected, 1 none, 2 error (also when a search\n"
    "was cut short by the match limit).\n";

struct Config {
    std::vector<std::string> patterns;
    bool pattern_given = false;  // -e or -f seen
    RegexFlags flags;
    bool fixed = false, word = false, whole_line = false;
    bool only = false, count = false, numbers = false, invert = false;
    bool list_with = false, list_without = false, quiet = false, no_messages = false;
    int with_name = -1;  // -1: when there are several files
    int64_t max_count = -1;
    int64_t after = 0, before = 0;
    bool color = false;
    bool recursive = false;
    WalkOptions walk;
    int binary = 0;  // 0 detect, 1 text (-a), 2 skip (-I)
    bool crlf = false;
    bool line_buffered = false;  // output written after each piece of input
    unsigned threads = 0;
    // Derived.
    std::string pattern;  // what is compiled
    std::string chunk_pattern;  // what the search over many lines compiles (keep_off_line_feeds)
    std::string shown;    // the pattern as the user gave it, for messages
    bool use_chunk = true;
    bool use_batch = false;  // the search over many lines may collect several matches per call
    LiteralPlan plan;
    // The plan's literals as one alternation, when the library reads such an
    // alternation in one pass for all of them (3 to 16 printable ASCII
    // literals of two bytes or more): next_literal then makes one search
    // where it would make one per literal. Empty: one per literal.
    std::string literal_alternation;
    // -w over an alternation of plain text: a literal's occurrence decides
    // its line by the bytes on either side of it (see word_hit).
    bool word_check = false;
    LineShape shape;          // lines answered by byte-set searches, no matcher
    std::array<bool, 256> shape_stop{};  // what ends the scan of a line: see search_by_shape
    std::string shape_stop_list;         // the same bytes, for the library's set search
    bool no_patterns = false;  // -f of an empty file: nothing matches
};

const char* kColorMatch = "\33[01;31m\33[K";
const char* kColorName = "\33[35m\33[K";
const char* kColorNumber = "\33[32m\33[K";
const char* kColorSep = "\33[36m\33[K";
const char* kColorEnd = "\33[m\33[K";

// Hands each file's output to standard output in file order, whichever
// thread produced it: the file next in order writes through, the others
// are held until their turn.
class Printer {
public:
    Printer(size_t files, bool separate_groups, bool color)
        : pending_(files), done_(files), started_(files), separate_(separate_groups), color_(color) {}
    void emit(size_t file, std::string& data, bool done) {
        std::lock_guard<std::mutex> lock(mu_);
        if (file == next_) write(file, data);
        else pending_[file] += data;
        data.clear();
        if (done) {
            done_[file] = true;
            while (next_ < done_.size() && done_[next_]) {
                if (++next_ < done_.size()) write(next_, pending_[next_]);
            }
        }
    }
    bool failed() { return out_.failed(); }
    void flush() {
        std::lock_guard<std::mutex> lock(mu_);
        out_.flush();
    }

private:
    void write(size_t file, std::string& data) {
        if (data.empty()) return;
        // Context groups of different files are apart too.
        if (separate_ && wrote_ && !started_[file]) {
            if (color_) out_.put(kColorSep), out_.put("--"), out_.put(kColorEnd);
            else out_.put("--");
            out_.put('\n');
        }
        started_[file] = true;
        out_.put(data);
        wrote_ = true;
        data.clear();
        data.shrink_to_fit();
    }
    std::mutex mu_;
    Out out_;
    std::vector<std::string> pending_;
    std::vector<bool> done_, started_;
    size_t next_ = 0;
    bool separate_, color_, wrote_ = false;
};

struct Shared {
    const Config& cfg;
    Printer& printer;
    std::atomic<bool> quit{false};  // -q found a line, or output failed
    std::atomic<bool> any_selected{false};
    std::atomic<bool> any_error{false};
};

// One thread's search: its own compiled states (a state serves one search
// at a time) and the per-file bookkeeping.
struct Searcher {
    const Config& cfg;
    Shared& sh;
    Compiled line_state, chunk_state, global_state, batch_state, literal_state;
    // Matches of one global search over the rest of a piece (batch_state),
    // used in order by the search over many lines; see next_chunk_match.
    std::vector<QelRegExpFind> batch;
    size_t batch_next = 0;
    bool batch_to_end = false;           // the global search ran to the piece's end
    const char* batch_valid_from = nullptr;  // the batch answers for positions from here on
    int64_t batch_used = 0, batch_passed = 0;  // matches that decided a line, and those passed over
    // Under -o a line's global search both decides the line (it finds a match
    // where the single search does: both scan from the line start alike) and
    // lists its matches, so once a confirmed line has told the pattern's
    // record count, the single search is left out and the list is kept for
    // the line's output.
    int32_t per_match = 0;  // the pattern's record count, once a line has matched
    std::vector<std::pair<int64_t, int32_t>> line_matches;
    const char* line_matches_of = nullptr;  // the line they list, until its output takes them
    std::vector<std::pair<int64_t, int32_t>> shown_matches;  // a coloured line's matches
    std::string folded;
    std::vector<int64_t> next_at;
    static constexpr int64_t kUnknown = -1;
    static constexpr int64_t kNone = INT64_MAX;
    std::string out;
    size_t file_index = 0;
    std::string name;
    // Per file.
    int64_t selected = 0;
    int64_t line_no = 0;  // number of the line that starts at `numbered_to`
    size_t numbered_to = 0;
    bool binary = false, binary_matched = false;
    bool stop = false;      // -m reached (and its context printed) or -l decided: not an error
    bool cut = false;       // a search failed: counts and listings of the file are unknown
    QelStatus cut_status = qelOk;
    int64_t last_printed = 0;  // number of the last line printed in this file (0: none)
    int64_t after_left = 0;
    size_t after_pos = 0;
    std::deque<std::pair<int64_t, std::string>> tail;  // last lines of earlier chunks, for -B
    bool need_numbers = false;
    bool line_output = false;

    Searcher(const Config& c, Shared& s) : cfg(c), sh(s) {
        need_numbers = cfg.numbers || cfg.after > 0 || cfg.before > 0;
        line_output = !cfg.count && !cfg.list_with && !cfg.list_without && !cfg.quiet;
    }

    bool compile_all() {
        const std::string opts = cfg.flags.letters();
        if (!compile(cfg.pattern, opts, cfg.flags.bytes, line_state)) return false;
        if (cfg.use_chunk && !compile(cfg.chunk_pattern, opts + "m", cfg.flags.bytes, chunk_state)) return false;
        if ((cfg.only || cfg.color) && !compile(cfg.pattern, opts + "g", cfg.flags.bytes, global_state)) return false;
        if (cfg.use_batch && !compile(cfg.chunk_pattern, opts + "mg", cfg.flags.bytes, batch_state)) return false;
        // Bytes format: the literals are ASCII, which starts a character in
        // UTF-8 too, and "i" folds only A-Z onto a-z there, as the plan does.
        if (!cfg.literal_alternation.empty() &&
            !compile(cfg.literal_alternation, cfg.plan.folded ? "i" : "", true, literal_state))
            return false;
        return true;
    }

    void note_status(QelStatus st) {
        if (st < 0 && !cut) {
            cut = true;
            cut_status = st;
        }
    }

    std::string_view subject(std::string_view line) const {
        if (cfg.crlf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        return line;
    }

    void put_colored(const char* color, std::string_view s) {
        if (cfg.color) out += color;
        out += s;
        if (cfg.color) out += kColorEnd;
    }

    void line_prefix(int64_t no, char sep) {
        const char s[2] = {sep, 0};
        if (cfg.with_name > 0) {
            put_colored(kColorName, name);
            put_colored(kColorSep, s);
        }
        if (cfg.numbers) {
            put_colored(kColorNumber, std::to_string(no));
            put_colored(kColorSep, s);
        }
    }

    void group_separator(int64_t no) {
        if ((cfg.after > 0 || cfg.before > 0) && last_printed > 0 && no > last_printed + 1) {
            put_colored(kColorSep, "--");
            out += '\n';
        }
    }

    // A line with its matches highlighted (only when colouring).
    void put_line(std::string_view line, bool matching, int32_t records) {
        if (!cfg.color || !matching) {
            out += line;
            out += '\n';
            return;
        }
        std::string_view subj = subject(line);
        if (records < 1) records = std::max<int32_t>(1, first_match(line_state.state(), subj).count);
        const QelStatus st = all_matches(global_state.state(), records, subj, shown_matches);
        size_t at = 0;
        for (auto [off, len] : shown_matches) {
            if (len <= 0) continue;
            out += line.substr(at, size_t(off) - at);
            put_colored(kColorMatch, line.substr(size_t(off), size_t(len)));
            at = size_t(off) + size_t(len);
        }
        note_status(st);
        out += line.substr(at);
        out += '\n';
    }

    void context_line(int64_t no, std::string_view line) {
        group_separator(no);
        line_prefix(no, '-');
        put_line(line, cfg.invert, 0);
        last_printed = no;
    }

    int64_t number_of(std::string_view chunk, size_t line_start) {
        if (!need_numbers) return 0;
        line_no += std::count(chunk.begin() + long(numbered_to), chunk.begin() + long(line_start), '\n');
        numbered_to = line_start;
        return line_no;
    }

    // Prints the lines after the last printed one that -A asks for, up to `upto`.
    void flush_after(std::string_view c, size_t upto) {
        while (after_left > 0 && after_pos < upto && after_pos < c.size()) {
            const void* nl = std::memchr(c.data() + after_pos, '\n', c.size() - after_pos);
            size_t end = nl ? size_t(static_cast<const char*>(nl) - c.data()) : c.size();
            context_line(last_printed + 1, c.substr(after_pos, end - after_pos));
            --after_left;
            after_pos = end + 1;
        }
    }

    void before_context(std::string_view c, size_t start, int64_t no) {
        int64_t lo = std::max(last_printed + 1, no - cfg.before);
        if (lo >= no) return;
        // Lines of this chunk before `start`, nearest first.
        std::vector<std::string_view> mine;
        size_t p = start;
        while (int64_t(mine.size()) < no - lo && p > 0) {
            const void* nl = p >= 2 ? memrchr(c.data(), '\n', p - 1) : nullptr;
            size_t b = nl ? size_t(static_cast<const char*>(nl) - c.data()) + 1 : 0;
            mine.push_back(c.substr(b, p - 1 - b));
            p = b;
        }
        int64_t from_chunk = int64_t(mine.size());
        for (const auto& [n, text] : tail)
            if (n >= lo && n < no - from_chunk) context_line(n, text);
        for (int64_t j = from_chunk - 1; j >= 0; --j) context_line(no - 1 - j, mine[size_t(j)]);
    }

    void select(std::string_view c, size_t start, size_t end, int32_t records) {
        ++selected;
        // A plain store would fence on every selected line.
        if (!sh.any_selected.load(std::memory_order_relaxed)) sh.any_selected = true;
        if (cfg.quiet) {
            sh.quit = true;
            stop = true;
            return;
        }
        if (cfg.list_with || cfg.list_without) {  // one selected line decides
            stop = true;
            return;
        }
        if (binary && line_output) {
            binary_matched = true;
            stop = true;
            return;
        }
        if (line_output) {
            int64_t no = number_of(c, start);
            std::string_view line = c.substr(start, end - start);
            if (cfg.after > 0 || cfg.before > 0) {
                flush_after(c, start);
                before_context(c, start, no);
                group_separator(no);
            }
            if (!cfg.only) {
                line_prefix(no, ':');
                put_line(line, !cfg.invert, records);
            } else if (!cfg.invert) {
                QelStatus st = qelOk;
                if (line_matches_of != line.data())
                    st = all_matches(global_state.state(), std::max(records, 1), subject(line), line_matches);
                line_matches_of = nullptr;
                for (auto [off, len] : line_matches) {
                    if (len <= 0) continue;
                    line_prefix(no, ':');
                    put_colored(kColorMatch, line.substr(size_t(off), size_t(len)));
                    out += '\n';
                }
                note_status(st);
            }
            last_printed = no;
            after_left = cfg.after;
            after_pos = end + 1;
        }
        if (cfg.max_count >= 0 && selected >= cfg.max_count) stop = true;
    }

    // Confirms one line; returns the record count of its match, 0 for none.
    int32_t confirm(std::string_view line) {
        Found f = first_match(line_state.state(), subject(line));
        note_status(f.status);
        return f.count;
    }

    // Confirms one line as confirm does; under -o (see per_match) with the
    // line's global search once the record count is known.
    int32_t decide(std::string_view line) {
        if (!cfg.only || cfg.invert || cfg.color || !line_output || per_match == 0) {
            const int32_t records = confirm(line);
            if (records > 0) per_match = records;
            return records;
        }
        note_status(all_matches(global_state.state(), per_match, subject(line), line_matches));
        line_matches_of = line_matches.empty() ? nullptr : line.data();
        return line_matches_of ? per_match : 0;
    }

    // Start of the first occurrence of any literal at or after `pos`, or -1.
    // A line-start plan's occurrence starts after its line feed: the text
    // alone at the start of the piece (which starts a line) counts too.
    // next_at[k] is then where literal k occurs first at or after `pos`, as
    // far as known: kUnknown, or at least the start returned when it is not
    // there (word_hit reads which literals occur at the start).
    int64_t next_literal(const char* hay, size_t size, size_t pos) {
        if (!cfg.literal_alternation.empty()) return next_of_alternation(hay, size, pos);
        int64_t best = kNone;
        const size_t skip = cfg.plan.line_start ? 1 : 0;  // the line feed
        for (size_t k = 0; k < cfg.plan.literals.size(); ++k) {
            int64_t& at = next_at[k];
            if (at != kNone && at < int64_t(pos)) {
                const std::string& lit = cfg.plan.literals[k];
                if (pos == 0 && skip && size >= lit.size() - 1 && std::memcmp(hay, lit.data() + 1, lit.size() - 1) == 0) {
                    at = 0;
                } else {
                    const size_t from = pos - (pos >= skip ? skip : 0);
                    int32_t index = -1;
                    qelsFind_8u(reinterpret_cast<const Qel8u*>(hay + from), int32_t(size - from),
                                reinterpret_cast<const Qel8u*>(lit.data()), int32_t(lit.size()), &index);
                    at = index < 0 ? kNone : int64_t(from + skip) + index;
                }
            }
            best = std::min(best, at);
        }
        return best == kNone ? -1 : best;
    }

    // next_literal by one search of the literals' alternation (over the piece
    // itself: the search folds case when the plan does).
    int64_t next_of_alternation(const char* hay, size_t size, size_t pos) {
        QelRegExpFind rec{};
        int32_t count = 1;
        const QelStatus st = qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(hay + pos), int32_t(size - pos),
                                               literal_state.state(), &rec, &count);
        note_status(st);
        if (st < 0 || count < 1) return -1;
        const int64_t at = int64_t(pos) + (reinterpret_cast<const char*>(rec.pointer) - (hay + pos));
        for (size_t k = 0; k < cfg.plan.literals.size(); ++k) {
            const std::string& lit = cfg.plan.literals[k];
            bool here = size - size_t(at) >= lit.size();
            for (size_t j = 0; here && j < lit.size(); ++j) {
                const unsigned char b = static_cast<unsigned char>(hay[size_t(at) + j]);
                here = char(cfg.plan.folded && b >= 'A' && b <= 'Z' ? b + 32 : b) == lit[j];
            }
            next_at[k] = here ? at : kNone;
        }
        return at;
    }

    // Whether the literals that occur at `at` (the least of next_at) make a
    // match of -w there: 1 when one of them has no word character on either
    // side, 0 when each has one, -1 when a byte beside one is not ASCII (the
    // matcher decides those). A piece starts and ends at line ends, and a
    // literal holds no line feed, so the bytes beside it are in its line.
    int word_hit(std::string_view c, int64_t at) const {
        const auto word = [](unsigned char b) {
            return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_';
        };
        int verdict = 0;
        for (size_t k = 0; k < cfg.plan.literals.size(); ++k) {
            if (next_at[k] != at) continue;
            const size_t end = size_t(at) + cfg.plan.literals[k].size();
            const unsigned char before = at > 0 ? static_cast<unsigned char>(c[size_t(at) - 1]) : '\n';
            const unsigned char after = end < c.size() ? static_cast<unsigned char>(c[end]) : '\n';
            if (before >= 0x80 || after >= 0x80) verdict = -1;
            else if (!word(before) && !word(after)) return 1;
        }
        return verdict;
    }

    // Selects every line in [from, to), which holds whole lines.
    void select_range(std::string_view c, size_t from, size_t to) {
        while (from < to && !stop) {
            const void* nl = std::memchr(c.data() + from, '\n', to - from);
            size_t end = nl ? size_t(static_cast<const char*>(nl) - c.data()) : to;
            select(c, from, end, 0);
            from = end + 1;
        }
    }

    // First byte at or after `from` that ends a scan under the line shape, or
    // c.size(). Most lines of the shapes that select many lines end their
    // scan within a few bytes, where a plain loop beats setting up a vector
    // search; past those the library's set search takes over.
    size_t next_stop(std::string_view c, size_t from) const {
        const size_t near = std::min(c.size(), from + 32);
        for (size_t k = from; k < near; ++k)
            if (cfg.shape_stop[static_cast<unsigned char>(c[k])]) return k;
        if (near == c.size()) return near;
        int32_t index = -1;
        qelsFindCAny_8u(reinterpret_cast<const Qel8u*>(c.data() + near), int32_t(c.size() - near),
                        reinterpret_cast<const Qel8u*>(cfg.shape_stop_list.data()), int32_t(cfg.shape_stop_list.size()),
                        &index);
        return index < 0 ? c.size() : near + size_t(index);
    }

    // Whether each line matches follows from its bytes (line_shape.h): the
    // matcher is not run. Only for modes that need no match records.
    void search_by_shape(std::string_view c) {
        const size_t n = c.size();
        const char* d = c.data();
        if (cfg.shape.kind == LineShape::kEveryLine) {
            if (cfg.invert) return;
            if (cfg.count && cfg.max_count < 0 && !cfg.quiet && !cfg.list_with && !cfg.list_without) {
                int64_t lines = std::count(c.begin(), c.end(), '\n') + (n > 0 && c.back() != '\n' ? 1 : 0);
                if (lines > 0 && !sh.any_selected.load(std::memory_order_relaxed)) sh.any_selected = true;
                selected += lines;
                return;
            }
            select_range(c, 0, n);
            return;
        }
        size_t pos = 0;
        while (pos < n && !stop) {
            // kAnyOf: the scan stops at a byte of the set, which may lie on a
            // later line; kOnlyOf: at a byte outside the set or the line feed.
            const size_t at = next_stop(c, pos);
            size_t start = pos;
            bool match = false;
            if (cfg.shape.kind == LineShape::kAnyOf) {
                if (at == n) {
                    if (cfg.invert) select_range(c, pos, n);
                    break;
                }
                const void* nl = at > pos ? memrchr(d + pos, '\n', at - pos) : nullptr;
                start = nl ? size_t(static_cast<const char*>(nl) - d) + 1 : pos;
                if (cfg.invert) select_range(c, pos, start);
                if (stop) break;
                match = true;
            } else {
                match = at == n || d[at] == '\n';
            }
            const void* nl = at < n ? std::memchr(d + at, '\n', n - at) : nullptr;
            const size_t end = nl ? size_t(static_cast<const char*>(nl) - d) : n;
            if (match != cfg.invert) select(c, start, end, 0);
            pos = end + 1;
        }
    }

    // The leftmost match of the search over many lines from `pos` (a line
    // start) to the piece's end, as first_match over c.substr(pos) gives it.
    //
    // Where lines match often, one call per selected line costs more in
    // setting up the search than in searching, so a global search collects
    // the matches ahead, up to a batch at a time. Its matches are the
    // leftmost ones from the end of the one before (or from the position
    // after an empty one), and every construct of a pattern searched over
    // many lines sees the same at a line start as at a subject's start; so
    // the first one at or after `pos` is the leftmost from `pos` as long as
    // the one before it ended at or before `pos`. A match that ran over a
    // line end (the line is then searched alone and the scan goes on at the
    // next line) is what breaks that: until the scan has passed its end, the
    // calls are single searches again. Matches passed over lie in lines
    // already decided; where more than one in five is such (many matches per
    // line), batches cost more than they save and the calls go back to one
    // per selected line for good.
    Found next_chunk_match(std::string_view c, size_t pos) {
        constexpr int32_t kBatch = 256;
        constexpr int64_t kTrial = 4 * kBatch;
        const bool batching = cfg.use_batch && (batch_used + batch_passed < kTrial || batch_passed * 4 <= batch_used);
        if (!batching) return first_match(chunk_state.state(), c.substr(pos));
        const char* at = c.data() + pos;
        const auto start = [](const QelRegExpFind& r) { return reinterpret_cast<const char*>(r.pointer); };
        while (batch_next < batch.size() && start(batch[batch_next]) < at) {
            const QelRegExpFind& r = batch[batch_next++];
            batch_valid_from = start(r) + (r.length > 0 ? r.length : 1);
            ++batch_passed;
        }
        // Past a match that ran over a line end, the batch answers again
        // once the scan has left that match behind; until then, one search.
        if (batch_valid_from != nullptr && batch_valid_from > at) return first_match(chunk_state.state(), c.substr(pos));
        Found f;
        if (batch_valid_from == nullptr || (batch_next == batch.size() && !batch_to_end)) {
            batch.resize(kBatch);
            f.status = first_matches(batch_state.state(), c.substr(pos), batch);
            if (f.status < 0) {
                batch_valid_from = nullptr;
                return f;
            }
            batch_next = 0;
            batch_to_end = batch.size() < size_t(kBatch);
            batch_valid_from = at;
        }
        if (batch_next == batch.size()) return f;  // none left up to the piece's end
        const QelRegExpFind& r = batch[batch_next++];
        batch_valid_from = start(r) + (r.length > 0 ? r.length : 1);
        ++batch_used;
        f.count = 1;
        f.offset = start(r) - at;
        f.length = r.length;
        return f;
    }

    void search_chunk(std::string_view c) {
        size_t pos = 0;
        const bool ends_with_lf = !c.empty() && c.back() == '\n';
        const char* hay = c.data();
        const bool use_literals = !cfg.plan.literals.empty();
        if (cfg.no_patterns) {
            if (cfg.invert) select_range(c, 0, c.size());
            return;
        }
        if (cfg.shape.kind != LineShape::kNone) {
            search_by_shape(c);
            return;
        }
        next_at.assign(cfg.plan.literals.size(), kUnknown);
        batch.clear();
        batch_next = 0;
        batch_valid_from = nullptr;
        bool per_line = false;
        if (use_literals && cfg.plan.folded && cfg.literal_alternation.empty() && !c.empty()) {
            folded.resize(c.size());
            qelsLowercaseLatin_8u(reinterpret_cast<const Qel8u*>(c.data()), reinterpret_cast<Qel8u*>(folded.data()),
                                  int32_t(c.size()));
            hay = folded.data();
        }
        while (pos < c.size() && !stop) {
            size_t start = pos;
            bool found = false;
            int32_t records = 0;   // records of the search over many lines
            size_t match_end = 0;  // and where its match ends
            if (use_literals) {
                int64_t at = next_literal(hay, c.size(), pos);
                int word = 0;
                // Occurrences inside longer words are passed over here, not
                // by the matcher on their lines.
                while (cfg.word_check && at >= 0 && (word = word_hit(c, at)) == 0)
                    at = next_literal(hay, c.size(), size_t(at) + 1);
                if (at < 0) {
                    if (cfg.invert) select_range(c, pos, c.size());
                    break;
                }
                const void* nl = size_t(at) > pos ? memrchr(c.data() + pos, '\n', size_t(at) - pos) : nullptr;
                start = nl ? size_t(static_cast<const char*>(nl) - c.data()) + 1 : pos;
                if (cfg.invert) select_range(c, pos, start);
                found = cfg.plan.exact || word > 0;
                if (found) records = 1;
            } else if (cfg.use_chunk && !per_line) {
                Found f = next_chunk_match(c, pos);
                if (f.status < 0) {
                    // The search over many lines ran out of budget: the rest
                    // of the piece goes line by line, each a smaller search.
                    per_line = true;
                    continue;
                }
                if (f.count == 0) {
                    if (cfg.invert) select_range(c, pos, c.size());
                    break;
                }
                size_t at = pos + size_t(f.offset);
                const void* nl = at > pos ? memrchr(c.data() + pos, '\n', at - pos) : nullptr;
                start = nl ? size_t(static_cast<const char*>(nl) - c.data()) + 1 : pos;
                if (cfg.invert) select_range(c, pos, start);
                if (start >= c.size() && ends_with_lf) break;  // a position after the last line feed
                match_end = at + size_t(f.length);
                records = f.count;
            }
            if (stop) break;
            const void* nl = std::memchr(c.data() + start, '\n', c.size() - start);
            size_t end = nl ? size_t(static_cast<const char*>(nl) - c.data()) : c.size();
            // A match of the search over many lines that stays inside its
            // line (before a CR that --crlf drops, too) is one the line's own
            // search has as well: outside the constructs that rule that
            // search out, every assertion sees the same at a line feed as at
            // the end of a subject. Only the match's place is known then, not
            // the records of the line's own search, which -o and colour need.
            if (!found && records > 0 && !cfg.only && !cfg.color &&
                match_end <= end - size_t(cfg.crlf && end > start && c[end - 1] == '\r'))
                found = true;
            if (!found) records = decide(c.substr(start, end - start));
            if ((records > 0) != cfg.invert) select(c, start, end, records);
            pos = end + 1;
        }
    }

    bool chunk(std::string_view c) {
        if (sh.quit) return false;
        numbered_to = 0;
        after_pos = 0;
        if (stop) {  // -m reached in an earlier chunk: only its after-context is left
            flush_after(c, c.size());
            if (after_left == 0) return false;
            return flush_output(false);
        }
        search_chunk(c);
        if (line_output) flush_after(c, c.size());
        if (need_numbers) {
            const bool ends_with_lf = !c.empty() && c.back() == '\n';
            line_no += std::count(c.begin() + long(numbered_to), c.end(), '\n') + (ends_with_lf ? 0 : 1);
            numbered_to = c.size();
            if (cfg.before > 0 && line_output) keep_tail(c);
        }
        if (stop && (!line_output || after_left == 0)) return false;
        return flush_output(false);
    }

    // The last -B lines of the chunk, for a match at the start of the next.
    void keep_tail(std::string_view c) {
        size_t end = c.size();
        if (end > 0 && c[end - 1] == '\n') --end;
        std::vector<std::pair<int64_t, std::string>> lines;
        int64_t no = line_no - 1;
        while (int64_t(lines.size()) < cfg.before && no > last_printed) {
            const void* nl = end > 0 ? memrchr(c.data(), '\n', end) : nullptr;
            size_t b = nl ? size_t(static_cast<const char*>(nl) - c.data()) + 1 : 0;
            lines.emplace_back(no, std::string(c.substr(b, end - b)));
            --no;
            if (b == 0) break;
            end = b - 1;
        }
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) tail.push_back(std::move(*it));
        while (int64_t(tail.size()) > cfg.before) tail.pop_front();
    }

    bool flush_output(bool done) {
        sh.printer.emit(file_index, out, done);
        if (cfg.line_buffered) sh.printer.flush();
        if (sh.printer.failed()) {
            sh.quit = true;
            return false;
        }
        return true;
    }

    void file(size_t index, const std::string& path) {
        file_index = index;
        name = path == "-" ? "(standard input)" : path;
        selected = 0;
        line_no = 1;
        binary = binary_matched = stop = cut = false;
        last_printed = 0;
        after_left = 0;
        tail.clear();
        bool skipped = false;
        const LineChunkFn head = [&](std::string_view h) {
            if (cfg.binary != 1 && std::memchr(h.data(), '\0', h.size())) {
                binary = true;
                if (cfg.binary == 2) {
                    skipped = true;
                    return false;
                }
            }
            return true;
        };
        bool read_ok = for_each_chunk(path, [&](std::string_view c) { return chunk(c); }, &head);
        // The reader stops early for -m, -l, -q and -I; that is not an error.
        bool whole = read_ok || stop || skipped;
        bool io_error = !whole && !sh.quit;
        if (io_error) sh.any_error = true;
        if (cut) {
            sh.any_error = true;
            error("grep: " + name + ": the search for '" + cfg.shown + "' was cut short: " + status_phrase(cut_status) +
                  (cfg.count || cfg.list_without ? "; no count or listing for this file" : ""));
        }
        // A count or a listing of a file not searched to the end would be wrong.
        if (!cut && !io_error && !cfg.quiet) {
            if (cfg.count) {
                if (cfg.with_name > 0) {
                    put_colored(kColorName, name);
                    put_colored(kColorSep, ":");
                }
                out += std::to_string(selected);
                out += '\n';
            } else if ((cfg.list_with && selected > 0) || (cfg.list_without && selected == 0)) {
                put_colored(kColorName, name);
                out += '\n';
            }
        }
        if (binary_matched && !cfg.quiet) error(name + ": binary file matches");
        flush_output(true);
    }
};

bool read_pattern_file(const std::string& path, std::vector<std::string>& out) {
    std::ifstream in(path == "-" ? "/dev/stdin" : path, std::ios::binary);
    if (!in) {
        error("grep: " + path + ": " + std::strerror(errno));
        return false;
    }
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return true;
}

bool parse_count(const std::string& opt, const std::string& v, int64_t& out) {
    char* end = nullptr;
    long long n = std::strtoll(v.c_str(), &end, 10);
    if (v.empty() || *end || n < 0) {
        error("grep: " + opt + " needs a number, not '" + v + "'");
        return false;
    }
    out = n;
    return true;
}

// Parses the command line; returns -1 to go on, else an exit status.
int parse(const std::vector<std::string>& args, Config& cfg, std::vector<std::string>& rest) {
    std::string color_when = "never";
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            rest.insert(rest.end(), args.begin() + long(i) + 1, args.end());
            break;
        }
        if (a.size() < 2 || a[0] != '-') {
            rest.push_back(a);
            continue;
        }
        if (a[1] == '-') {
            std::string key = a, val;
            bool has_val = false;
            if (size_t eq = a.find('='); eq != std::string::npos) {
                key = a.substr(0, eq);
                val = a.substr(eq + 1);
                has_val = true;
            }
            auto value = [&](std::string& v) {
                if (has_val) return v = val, true;
                if (i + 1 >= args.size()) {
                    error("grep: " + key + " needs a value");
                    return false;
                }
                v = args[++i];
                return true;
            };
            std::string v;
            if (!has_val && cfg.flags.take(key)) continue;
            if (key == "--ignore-case") cfg.flags.ignore_case = true;
            else if (key == "--regexp") { if (!value(v)) return kError; cfg.patterns.push_back(v); cfg.pattern_given = true; }
            else if (key == "--file") { if (!value(v) || !read_pattern_file(v, cfg.patterns)) return kError; cfg.pattern_given = true; }
            else if (key == "--fixed-strings") cfg.fixed = true;
            else if (key == "--word-regexp") cfg.word = true;
            else if (key == "--line-regexp") cfg.whole_line = true;
            else if (key == "--only-matching") cfg.only = true;
            else if (key == "--count") cfg.count = true;
            else if (key == "--line-number") cfg.numbers = true;
            else if (key == "--invert-match") cfg.invert = true;
            else if (key == "--files-with-matches") cfg.list_with = true;
            else if (key == "--files-without-match") cfg.list_without = true;
            else if (key == "--with-filename") cfg.with_name = 1;
            else if (key == "--no-filename") cfg.with_name = 0;
            else if (key == "--quiet" || key == "--silent") cfg.quiet = true;
            else if (key == "--no-messages") cfg.no_messages = true;
            else if (key == "--max-count") { if (!value(v) || !parse_count(key, v, cfg.max_count)) return kError; }
            else if (key == "--after-context") { if (!value(v) || !parse_count(key, v, cfg.after)) return kError; }
            else if (key == "--before-context") { if (!value(v) || !parse_count(key, v, cfg.before)) return kError; }
            else if (key == "--context") {
                if (!value(v) || !parse_count(key, v, cfg.after)) return kError;
                cfg.before = cfg.after;
            }
            else if (key == "--color" || key == "--colour") color_when = has_val ? val : "auto";
            else if (key == "--recursive") cfg.recursive = true;
            else if (key == "--include") { if (!value(v)) return kError; cfg.walk.includes.push_back(v); }
            else if (key == "--exclude") { if (!value(v)) return kError; cfg.walk.excludes.push_back(v); }
            else if (key == "--exclude-dir") { if (!value(v)) return kError; cfg.walk.exclude_dirs.push_back(v); }
            else if (key == "--no-ignore") cfg.walk.no_ignore = true;
            else if (key == "--hidden") cfg.walk.hidden = true;
            else if (key == "--text") cfg.binary = 1;
            else if (key == "--crlf") cfg.crlf = true;
            else if (key == "--line-buffered") cfg.line_buffered = true;
            else if (key == "--threads") {
                int64_t n = 0;
                if (!value(v) || !parse_count(key, v, n) || n < 1) return kError;
                cfg.threads = unsigned(std::min<int64_t>(n, 256));
            } else {
                error("grep: unknown option '" + a + "' (see qelch grep --help)");
                return kError;
            }
            continue;
        }
        // Short options, several in one word; a value is the rest of the
        // word or the next argument.
        for (size_t k = 1; k < a.size(); ++k) {
            char c = a[k];
            if (std::strchr("efmABC", c)) {
                std::string v;
                if (k + 1 < a.size()) v = a.substr(k + 1);
                else if (i + 1 < args.size()) v = args[++i];
                else {
                    error(std::string("grep: -") + c + " needs a value");
                    return kError;
                }
                const std::string opt = std::string("-") + c;
                if (c == 'e') cfg.patterns.push_back(v), cfg.pattern_given = true;
                else if (c == 'f') {
                    if (!read_pattern_file(v, cfg.patterns)) return kError;
                    cfg.pattern_given = true;
                } else if (c == 'm' && !parse_count(opt, v, cfg.max_count)) return kError;
                else if (c == 'A' && !parse_count(opt, v, cfg.after)) return kError;
                else if (c == 'B' && !parse_count(opt, v, cfg.before)) return kError;
                else if (c == 'C') {
                    if (!parse_count(opt, v, cfg.after)) return kError;
                    cfg.before = cfg.after;
                }
                break;
            }
            switch (c) {
                case 'i': cfg.flags.ignore_case = true; break;
                case 'F': cfg.fixed = true; break;
                case 'w': cfg.word = true; break;
                case 'x': cfg.whole_line = true; break;
                case 'o': cfg.only = true; break;
                case 'c': cfg.count = true; break;
                case 'n': cfg.numbers = true; break;
                case 'v': cfg.invert = true; break;
                case 'l': cfg.list_with = true; break;
                case 'L': cfg.list_without = true; break;
                case 'H': cfg.with_name = 1; break;
                case 'h': cfg.with_name = 0; break;
                case 'q': cfg.quiet = true; break;
                case 's': cfg.no_messages = true; break;
                case 'r': cfg.recursive = true; break;
                case 'a': cfg.binary = 1; break;
                case 'I': cfg.binary = 2; break;
                default:
                    error(std::string("grep: unknown option '-") + c + "' (see qelch grep --help)");
                    return kError;
            }
        }
    }
    if (::isatty(1)) cfg.line_buffered = true;
    if (color_when == "always") cfg.color = true;
    else if (color_when == "auto") cfg.color = ::isatty(1) != 0;
    else if (color_when != "never") {
        error("grep: --color takes auto, always or never");
        return kError;
    }
    return -1;
}

// The pattern for the search over many lines with the classes that would
// take a line feed kept off it: "\s" becomes "[^\S\n]", "\W" "[^\w\n]", "\D"
// "[^\d\n]", and a negated bracket class gets "\n" added. Outside look-around
// bodies only, where a smaller class could let a negative test pass.
//
// The search over many lines stays exact either way (a match that runs
// over a line end has its line searched alone), and a line's own matches
// never hold a line feed, so every one of them is still a match of the
// narrowed pattern at the same place, and a narrowed match inside a line is
// a match of the pattern there. What changes is speed: "\s+$" no longer
// matches from the end of a line across the blank line after it, a match
// that only cost a search of its line alone. Any syntax not read here
// (inline options, quoting, the extended syntax, dotall) keeps the pattern
// as it is.
std::string keep_off_line_feeds(const std::string& p, const RegexFlags& flags) {
    if (flags.extended || flags.dotall || p.find("\\Q") != std::string::npos) return p;
    std::string out;
    std::vector<bool> groups;  // open groups: whether each is a look-around
    int looking = 0;
    for (size_t i = 0; i < p.size();) {
        const char c = p[i];
        if (c == '\\') {
            const char e = i + 1 < p.size() ? p[i + 1] : '\0';
            const char* narrowed = e == 's' ? "[^\\S\\n]" : e == 'W' ? "[^\\w\\n]" : e == 'D' ? "[^\\d\\n]" : nullptr;
            if (looking == 0 && narrowed != nullptr) {
                out += narrowed;
                i += 2;
                continue;
            }
            const size_t len = std::min(p.size() - i, escape_length(p, i));
            out.append(p, i, len);
            i += len;
        } else if (c == '[') {
            const size_t past = skip_class(p, i);
            if (past == std::string::npos) return p;
            const size_t j = past - 1;  // the closing ']'
            // A '-' before the end would make a range with the line feed.
            if (p[i + 1] == '^' && looking == 0 && p[j - 1] != '-') {
                out.append(p, i, j - i);
                out += "\\n]";
            } else {
                out.append(p, i, past - i);
            }
            i = past;
        } else if (c == '(') {
            const bool look = lookaround_at(p, i);
            if (!look && p.compare(i, 2, "(?") == 0 && p.compare(i, 3, "(?:") != 0) return p;
            groups.push_back(look);
            looking += look ? 1 : 0;
            out += c;
            ++i;
        } else if (c == ')') {
            if (groups.empty()) return p;
            looking -= groups.back() ? 1 : 0;
            groups.pop_back();
            out += c;
            ++i;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

// Escapes a plain-text pattern for -F: every ASCII punctuation byte gets a
// backslash, which makes it literal; letters and digits stay as they are
// (escaped, some would become classes or references).
std::string escape_fixed(const std::string& s) {
    std::string out;
    for (unsigned char b : s) {
        if (b < 0x80 && std::ispunct(b)) out += '\\';
        if (b == 0) {
            out += "\\x00";
            continue;
        }
        out += char(b);
    }
    return out;
}

// The alternation of a literal plan's literals for next_literal's one
// search, or "" where the library would search it literal by literal (two
// literals, a literal of one byte, more than 16: each literal's own search,
// whose place next_literal keeps, is then the quicker) or the plan's own
// search serves (the line-start text). A literal that would need an escape
// ("-F a.b") is left to its own search too: the escape splits the literal
// into pieces, which the library's search of plain alternatives does not
// take.
std::string literal_alternation(const LiteralPlan& plan) {
    if (plan.line_start || plan.literals.size() < 3 || plan.literals.size() > 16) return "";
    std::string out;
    for (const auto& lit : plan.literals) {
        if (lit.size() < 2) return "";
        for (unsigned char b : lit)
            if (b < 0x20 || b > 0x7E || std::strchr("\\^$.|?*+()[]{}", b) != nullptr) return "";
        if (!out.empty()) out += '|';
        out += lit;
    }
    return out;
}

}  // namespace

int cmd_grep(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "--") break;
        if (a == "--help") {
            std::fputs(kHelp, stdout);
            return kFound;
        }
    }
    Config cfg;
    std::vector<std::string> rest;
    if (int rc = parse(args, cfg, rest); rc >= 0) return rc;
    set_file_messages(!cfg.no_messages);
    if (!cfg.pattern_given) {
        if (rest.empty()) {
            error("grep: missing PATTERN (see qelch grep --help)");
            return kError;
        }
        cfg.patterns.push_back(rest[0]);
        rest.erase(rest.begin());
    }
    // A pattern with line feeds is several patterns, one per line.
    std::vector<std::string> pats;
    for (const auto& p : cfg.patterns) {
        size_t from = 0;
        for (size_t nl; (nl = p.find('\n', from)) != std::string::npos; from = nl + 1) pats.push_back(p.substr(from, nl - from));
        pats.push_back(p.substr(from));
    }
    if (cfg.patterns.empty()) pats.clear();
    cfg.no_patterns = pats.empty();
    for (auto& p : pats) {
        if (cfg.fixed) {
            p = escape_fixed(p);
            continue;
        }
        // Each pattern alone first, so that an error shows the user's own
        // text rather than the joined or wrapped one.
        Compiled alone;
        if (!check_pattern(p) || !compile(p, cfg.flags.letters(), cfg.flags.bytes, alone)) return kError;
    }
    if (pats.size() > 1) {
        for (const auto& p : pats)
            if (has_backreference(p)) {
                error("grep: back-references cannot be combined with other patterns (-e, -f): each pattern's groups "
                      "would be numbered anew");
                return kError;
            }
    }
    for (size_t k = 0; k < cfg.patterns.size(); ++k) cfg.shown += (k ? "' or '" : "") + cfg.patterns[k];
    std::string joined;
    bool risky = false;
    if (pats.size() == 1) joined = pats[0];
    for (size_t k = 0; pats.size() > 1 && k < pats.size(); ++k) joined += (k ? "|(?:" : "(?:") + pats[k] + ")";
    for (const auto& p : pats) risky = risky || sees_past_line_end(p, &cfg.flags);
    // -w and -x wrap the pattern; their look-around only sees the line feed
    // next to a line, which is neither a word character nor text.
    cfg.pattern = joined;
    if (cfg.whole_line) cfg.pattern = "^(?:" + joined + ")$";
    else if (cfg.word) cfg.pattern = "(?<!\\w)(?:" + joined + ")(?!\\w)";
    // With --crlf a line's subject drops its CR, which a search over many
    // lines cannot: $ needs the per-line search there.
    if (cfg.crlf && (cfg.whole_line || joined.find('$') != std::string::npos)) risky = true;
    cfg.use_chunk = !risky;
    cfg.chunk_pattern = cfg.use_chunk ? keep_off_line_feeds(cfg.pattern, cfg.flags) : cfg.pattern;
    // Batches need the whole match in each record, which a global search
    // gives only for a pattern without groups; -o and colour search each
    // selected line again anyway.
    cfg.use_batch = cfg.use_chunk && !cfg.only && !cfg.color && examine_pattern(cfg.pattern).captures == 0;
    // -o and colour need the match itself, not only whether a line has one.
    if (!cfg.no_patterns && !cfg.only && !cfg.color) {
        cfg.shape = line_shape(cfg.pattern, cfg.flags.bytes, cfg.flags.ignore_case, cfg.flags.extended);
        // With --crlf a line's last CR is not part of it; a set with CR
        // would see it, and a line of set bytes would end at it.
        const bool cr = cfg.shape.set['\r'];
        if (cfg.crlf && ((cfg.shape.kind == LineShape::kAnyOf && cr) || (cfg.shape.kind == LineShape::kOnlyOf && !cr)))
            cfg.shape.kind = LineShape::kNone;
        for (int b = 0; b < 256; ++b) {
            const bool in = cfg.shape.set[size_t(b)];
            const bool stops = cfg.shape.kind == LineShape::kAnyOf ? in : (!in || b == '\n');
            cfg.shape_stop[size_t(b)] = stops;
            if (stops) cfg.shape_stop_list += char(b);
        }
    }
    if (!cfg.no_patterns) {
        if (cfg.fixed && !cfg.flags.extended) {
            // Plain text: the literals are the patterns themselves.
            bool plain = pats.size() <= 16;
            for (const auto& p : cfg.patterns)
                for (unsigned char b : p)
                    if (b < 0x20 || b > 0x7E) plain = plain && b == '\n';
            for (const auto& p : pats) plain = plain && !p.empty();
            if (plain) {
                for (const auto& p : cfg.patterns) {
                    size_t from = 0;
                    for (size_t nl; (nl = p.find('\n', from)) != std::string::npos; from = nl + 1)
                        cfg.plan.literals.push_back(p.substr(from, nl - from));
                    cfg.plan.literals.push_back(p.substr(from));
                }
                cfg.plan.exact = true;
                cfg.plan.folded = cfg.flags.ignore_case;
                if (cfg.plan.folded)
                    for (auto& l : cfg.plan.literals)
                        for (auto& ch : l) ch = char(std::tolower(static_cast<unsigned char>(ch)));
            }
        } else {
            cfg.plan = plan_literals(joined, cfg.flags.ignore_case, cfg.flags.extended);
        }
        cfg.literal_alternation = literal_alternation(cfg.plan);
        // -w over plain text needs only the bytes beside an occurrence: \w
        // is A-Z, a-z, 0-9 and '_' in every mode. Next to a byte of 0x80 or
        // above the matcher decides the line, as it knows what a character is.
        cfg.word_check = cfg.word && !cfg.whole_line && !cfg.crlf && cfg.plan.exact && !cfg.plan.line_start;
        if (cfg.word || cfg.whole_line || cfg.crlf) cfg.plan.exact = false;
    }
    if (cfg.count || cfg.list_with || cfg.list_without || cfg.quiet || cfg.only) cfg.after = cfg.before = 0;

    // The files: operands as given, directories walked with -r.
    std::vector<std::string> files;
    bool io_error = false;
    bool several = rest.size() > 1;
    if (rest.empty()) {
        if (cfg.recursive) {
            std::vector<std::string> found;
            if (!walk_tree(cfg.walk, ".", cfg.no_messages, found)) io_error = true;
            for (auto& f : found) files.push_back(f.substr(2));  // no "./" before names, as grep and ripgrep
            several = true;
        } else {
            files.push_back("-");
        }
    }
    for (const auto& r : rest) {
        struct stat st{};
        if (cfg.recursive && r != "-" && ::stat(r.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            if (!walk_tree(cfg.walk, r, cfg.no_messages, files)) io_error = true;
            several = true;
        } else if (r == "-" || name_selected(cfg.walk, r)) {
            files.push_back(r);
        }
    }
    if (cfg.with_name < 0) cfg.with_name = several ? 1 : 0;

    Printer printer(files.size(), cfg.after + cfg.before > 0, cfg.color);
    Shared shared{cfg, printer};
    if (cfg.max_count == 0) files.clear();
    {
        Searcher probe(cfg, shared);  // reports pattern errors once
        if (!cfg.no_patterns && !probe.compile_all()) return kError;
    }
    unsigned threads = cfg.threads ? cfg.threads : std::max(1u, std::thread::hardware_concurrency());
    threads = unsigned(std::min<size_t>(threads, files.size()));
    std::atomic<size_t> next{0};
    auto work = [&]() {
        Searcher s(cfg, shared);
        if (!cfg.no_patterns && !s.compile_all()) return;
        for (size_t i; (i = next++) < files.size();) {
            if (shared.quit) {
                std::string none;
                printer.emit(i, none, true);
                continue;
            }
            s.file(i, files[i]);
        }
    };
    if (threads <= 1) {
        work();
    } else {
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work);
        for (auto& t : pool) t.join();
    }
    printer.flush();
    if (output_error()) return kError;
    if (cfg.quiet && shared.any_selected) return kFound;
    if (io_error || shared.any_error) return kError;
    return shared.any_selected ? kFound : kNothing;
}

}  // namespace app
