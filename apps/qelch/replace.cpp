// qelch replace: every match (or only the first) replaced by a template.
//
// By default each line is its own subject, without its line feed, as a
// stream editor works: ^ and $ are the line's start and end, and nothing
// matches across a line end, however the input happens to be cut into
// pieces. Candidate lines are found as grep finds them (one search over a
// piece of many lines compiled with "m"), and only those are rewritten.
// --whole makes the whole input one subject instead.
//
// --in-place writes a new file beside the target (the file a symbolic link
// points to), without a name where the file system allows it, gives it the
// owner, group and mode of the original, and renames it over the original
// only once it is complete. A file that cannot be rewritten that way is
// reported and left untouched.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "matches.h"
#include "patterns.h"
#include "qelch.hpp"

namespace app {
namespace {

const char* kHelp =
    "usage: qelch replace [OPTIONS] PATTERN TEMPLATE [FILE...]\n"
    "\n"
    "Replaces every match of PATTERN (only the first of each file with --first) by\n"
    "TEMPLATE: \"$&\" is the whole match, \"$1\"... a group; a backslash ends a run of\n"
    "text and is dropped.\n"
    "\n"
    "Each line is matched on its own, without its line feed, as sed does: ^ and $\n"
    "are the line's start and end and no match spans two lines. --whole matches\n"
    "the whole input as one subject instead (held in memory, at most 2 GiB): then\n"
    "^ and $ are the input's start and end unless --multiline is given.\n"
    "\n"
    "  -i, --multiline, --dotall, --extended   pattern options i, m, s, x\n"
    "  --bytes         treat input as bytes, not UTF-8\n"
    "  --first         only the first match of each file\n"
    "  --whole         match the whole input at once (see above)\n"
    "  --in-place      write the result back into each FILE: atomically, through\n"
    "                  symbolic links, keeping owner, group and mode; a file that\n"
    "                  cannot be rewritten so is reported and left untouched, and\n"
    "                  a file without a match is not rewritten\n"
    "  --backup SUFFIX with --in-place, keep the original as FILE+SUFFIX\n"
    "  --dry-run       print a unified diff of the changes instead\n"
    "With several files, --in-place or --dry-run, the number of replacements per\n"
    "file goes to standard error. Patterns: README section \"Supported pattern syntax\".\n"
    "Exit status: 0 done, 2 error.\n";

// The literal text a template produces for an empty match on an empty line,
// where every capture is empty or unset: the library refuses an empty
// subject, so the tool expands it itself.
std::string template_text(const std::string& t) {
    std::string out;
    for (size_t i = 0; i < t.size();) {
        if (t[i] == '\\') {
            ++i;
        } else if (t[i] == '$') {
            ++i;
            if (i < t.size() && t[i] == '&') ++i;
            else
                while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
        } else {
            out += t[i++];
        }
    }
    return out;
}

struct Replacer {
    Compiled state;        // the pattern with "g" (without it for --first)
    Compiled chunk_state;  // with "m", for candidate lines
    Compiled multi_state;  // with "m" and the "g" of `state`, for many lines at once
    bool use_chunk = true;
    bool whole = false;
    std::vector<uint64_t> template_mem;
    QelRegExpReplaceState* rs() { return reinterpret_cast<QelRegExpReplaceState*>(template_mem.data()); }
    std::string empty_line_text;
    int32_t per_match = 1;  // records of one match: whole match + groups
    bool first_only = false;
    bool done_first = false;
    int64_t replaced = 0;  // matches replaced in the current file
    std::vector<QelRegExpFind> recs;
    std::string buf;
    std::string file;  // for messages
    std::string pattern;
    std::string* keep_input = nullptr;  // --dry-run: the input as read
    bool in_place = false;

    bool fail(QelStatus st) {
        error("replace: " + file + ": " +
              (st == qelErrLength ? std::string("the output of one piece does not fit in 2 GiB")
                                  : "the search for '" + pattern + "' failed: " + status_phrase(st)) +
              (in_place ? "; left untouched" : "; the output of this file stops here"));
        return false;
    }

    // Replaces in one subject (a line, or the whole input).
    bool subject(std::string_view s, std::string& out) {
        if (s.empty()) {
            Found f = first_match(state.state(), s);
            if (f.status < 0) return fail(f.status);
            if (f.count > 0) {
                out += empty_line_text;
                ++replaced;
                done_first = true;
            }
            return true;
        }
        int32_t count = 0;
        QelStatus st = replace_with(state, s, count);
        if (st < 0) return fail(st);
        out.append(buf);
        if (count > 0) {
            replaced += first_only ? 1 : count / per_match;
            done_first = true;
        }
        return true;
    }

    // The replacement of one subject run to its end, as qel::replace_to_end
    // does it, but keeping the record array at its size between calls: the
    // tool calls this once per matching line, and refilling thousands of
    // records each time would cost more than the search.
    QelStatus replace_with(Compiled& with, std::string_view s, int32_t& count) {
        if (s.size() > 0x7FFFFFFF) return qelErrLength;
        if (recs.size() < 4 * qel::kMaxRecordsPerMatch) recs.resize(4 * qel::kMaxRecordsPerMatch);
        size_t cap = s.size() * 2 + 64;
        for (;;) {
            if (cap > 0x7FFFFFFF) cap = 0x7FFFFFFF;
            if (buf.size() < cap) buf.resize(cap);
            int32_t subLen = int32_t(s.size()), dstLen = int32_t(cap);
            count = int32_t(recs.size());
            QelStatus st = qelsRegExpReplace_8u(reinterpret_cast<const Qel8u*>(s.data()), &subLen,
                                                reinterpret_cast<Qel8u*>(buf.data()), &dstLen, recs.data(), &count,
                                                with.state(), rs());
            if (st < 0) return st;
            // A full record array stops a global search silently: grow it
            // until room for one more match is left.
            if (st == qelWrnFindIncomplete || size_t(count) + qel::kMaxRecordsPerMatch > recs.size()) {
                if (recs.size() >= 0x3FFFFFFF / 4) return qelErrLength;
                recs.resize(recs.size() * 4);
                continue;
            }
            if (size_t(subLen) == s.size()) {
                buf.resize(size_t(dstLen));
                return st;
            }
            if (cap == 0x7FFFFFFF) return qelErrLength;
            cap *= 2;
        }
    }

    // One piece of whole lines. First as one subject with "m" (one library
    // call for many lines): the same as line by line unless a match takes a
    // line feed, which the records show; then line by line.
    bool lines(std::string_view c, std::string& out) {
        if (use_chunk && !(first_only && done_first)) {
            // The subject ends at the last line's end, not after its line
            // feed; an empty last line is left to the line-by-line path, as
            // "m" does not see a line start after a final line feed.
            std::string_view body = c;
            if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
            while (!body.empty() && body.back() == '\n') body.remove_suffix(1);
            int32_t count = 0;
            QelStatus st = body.empty() ? qelOk : replace_with(multi_state, body, count);
            bool within_lines = st >= 0 && !body.empty();
            for (int32_t k = 0; within_lines && k < count; ++k) {
                const QelRegExpFind& f = recs[size_t(k)];
                if (f.length > 0 && std::memchr(f.pointer, '\n', size_t(f.length))) within_lines = false;
            }
            if (within_lines) {
                out.append(buf);
                if (count > 0) {
                    replaced += first_only ? 1 : count / per_match;
                    done_first = true;
                }
                if (body.size() == c.size()) return true;
                out += '\n';
                return lines_one_by_one(c.substr(body.size() + 1), out);
            }
        }
        return lines_one_by_one(c, out);
    }

    bool lines_one_by_one(std::string_view c, std::string& out) {
        size_t pos = 0;
        bool per_line = false;
        while (pos < c.size()) {
            if (first_only && done_first) {
                out.append(c.substr(pos));
                return true;
            }
            size_t start = pos;
            if (use_chunk && !per_line) {
                Found f = first_match(chunk_state.state(), c.substr(pos));
                if (f.status < 0) {
                    // Out of budget over many lines: go on line by line.
                    per_line = true;
                    continue;
                }
                if (f.count == 0) {
                    out.append(c.substr(pos));
                    return true;
                }
                size_t at = pos + size_t(f.offset);
                const void* nl = at > pos ? memrchr(c.data() + pos, '\n', at - pos) : nullptr;
                start = nl ? size_t(static_cast<const char*>(nl) - c.data()) + 1 : pos;
                out.append(c.substr(pos, start - pos));
                if (start >= c.size()) return true;  // a position after the last line feed
            }
            const void* nl = std::memchr(c.data() + start, '\n', c.size() - start);
            size_t end = nl ? size_t(static_cast<const char*>(nl) - c.data()) : c.size();
            if (!subject(c.substr(start, end - start), out)) return false;
            if (nl) out += '\n';
            pos = end + 1;
        }
        return true;
    }

    // Runs over one input; `sink` receives the output in pieces.
    bool run(const std::string& path, const std::function<bool(std::string_view)>& sink) {
        done_first = false;
        replaced = 0;
        file = path == "-" ? "(standard input)" : path;
        std::string out;
        if (whole) {
            std::string all;
            bool ok = for_each_block(path, [&](std::string_view b) {
                if (keep_input) keep_input->append(b);
                if (all.size() + b.size() > 0x7FFFFFFF) {
                    error("replace: " + file + ": more than 2 GiB, too large for --whole");
                    return false;
                }
                all.append(b);
                return true;
            });
            if (!ok || !subject(all, out)) return false;
            return sink(out);
        }
        return for_each_chunk(path, [&](std::string_view c) {
            out.clear();
            if (keep_input) keep_input->append(c);
            return lines(c, out) && sink(out);
        });
    }
};

// ---- unified diff for --dry-run ----

struct Change {
    size_t old_start, old_count;     // lines of the original, from 0
    std::vector<std::string> added;  // the lines that replace them
};

std::vector<std::string> split_lines(std::string_view s, bool& ends_with_lf) {
    std::vector<std::string> out;
    ends_with_lf = s.empty() || s.back() == '\n';
    size_t pos = 0;
    while (pos < s.size()) {
        size_t nl = s.find('\n', pos);
        if (nl == std::string_view::npos) nl = s.size();
        out.emplace_back(s.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

std::string range(size_t start, size_t count) {
    // As diff writes it: "start,count", the count left out when it is 1, and
    // an empty range named by the line before it.
    if (count == 1) return std::to_string(start + 1);
    return std::to_string(count == 0 ? start : start + 1) + "," + std::to_string(count);
}

void unified_diff(const std::string& name, std::string_view before, std::string_view after, Out& out) {
    bool old_lf = true, new_lf = true;
    std::vector<std::string> a = split_lines(before, old_lf), b = split_lines(after, new_lf);
    // Trim the common head and tail, then compare what is left line by line
    // where both sides have the same number of lines (the usual case: each
    // line replaced on its own); otherwise one change covers the middle.
    size_t head = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
    size_t tail = 0;
    while (tail < a.size() - head && tail < b.size() - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) ++tail;
    // The last line differs when only its line feed does.
    if (old_lf != new_lf && tail == 0 && head == a.size() && head == b.size() && head > 0) --head;
    else if (old_lf != new_lf && tail > 0) tail = 0;
    std::vector<Change> changes;
    size_t na = a.size() - head - tail, nb = b.size() - head - tail;
    if (na == nb) {
        for (size_t i = head; i < head + na; ++i)
            if (a[i] != b[i]) {
                if (!changes.empty() && changes.back().old_start + changes.back().old_count == i) {
                    ++changes.back().old_count;
                    changes.back().added.push_back(b[i]);
                } else {
                    changes.push_back({i, 1, {b[i]}});
                }
            }
        if (old_lf != new_lf && (changes.empty() || changes.back().old_start + changes.back().old_count != a.size()))
            changes.push_back({a.size() - 1, 1, {b.back()}});
    } else if (na > 0 || nb > 0) {
        changes.push_back({head, na, std::vector<std::string>(b.begin() + long(head), b.begin() + long(head + nb))});
    }
    if (changes.empty()) return;
    out.put("--- " + name + "\n+++ " + name + "\n");
    constexpr size_t kContext = 3;
    long delta = 0;  // new line number minus old before the current change
    for (size_t k = 0; k < changes.size();) {
        size_t last = k;
        while (last + 1 < changes.size() &&
               changes[last + 1].old_start <= changes[last].old_start + changes[last].old_count + 2 * kContext)
            ++last;
        size_t from = changes[k].old_start > kContext ? changes[k].old_start - kContext : 0;
        size_t to = std::min(a.size(), changes[last].old_start + changes[last].old_count + kContext);
        size_t new_count = to - from;
        long hunk_delta = delta;
        for (size_t j = k; j <= last; ++j) new_count = new_count - changes[j].old_count + changes[j].added.size();
        std::string body;
        auto line = [&](char mark, const std::string& text, bool last_of_side, bool lf) {
            body += mark;
            body += text;
            body += '\n';
            if (last_of_side && !lf) body += "\\ No newline at end of file\n";
        };
        size_t i = from;
        for (size_t j = k; j <= last; ++j) {
            for (; i < changes[j].old_start; ++i) line(' ', a[i], i + 1 == a.size(), old_lf);
            for (size_t d = 0; d < changes[j].old_count; ++d, ++i) line('-', a[i], i + 1 == a.size(), old_lf);
            const bool at_end = changes[j].old_start + changes[j].old_count == a.size();
            for (size_t d = 0; d < changes[j].added.size(); ++d)
                line('+', changes[j].added[d], at_end && d + 1 == changes[j].added.size(), new_lf);
            delta += long(changes[j].added.size()) - long(changes[j].old_count);
        }
        for (; i < to; ++i) line(' ', a[i], i + 1 == a.size(), old_lf);
        size_t new_from = size_t(long(from) + hunk_delta);
        out.put("@@ -" + range(from, to - from) + " +" + range(new_from, new_count) + " @@\n");
        out.put(body);
        k = last + 1;
    }
}

// ---- --in-place ----

// The temporary file being written, removed by a signal that ends the
// process before it is renamed into place.
char g_temp_path[PATH_MAX + 64];

void remove_temp_and_die(int sig) {
    if (g_temp_path[0]) ::unlink(g_temp_path);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void guard_signals() {
    static bool done = false;
    if (done) return;
    done = true;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(sig, remove_temp_and_die);
    // A write past the file-size limit then fails with EFBIG, and the
    // ordinary error path removes the temporary file.
    ::signal(SIGXFSZ, SIG_IGN);
}

bool write_all(int fd, std::string_view data) {
    size_t off = 0;
    // Test hook: make writing fail, to prove that --in-place never loses data.
    if (std::getenv("QELCH_TEST_FAIL_WRITE")) {
        errno = EIO;
        return false;
    }
    while (off < data.size()) {
        ssize_t n = ::write(fd, data.data() + off, data.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        off += size_t(n);
    }
    // Test hook: a signal that ends the process half-way through a file.
    if (const char* sig = std::getenv("QELCH_TEST_SIGNAL_AFTER_WRITE")) ::raise(std::atoi(sig));
    return true;
}

bool replace_in_place(Replacer& r, const std::string& path, const std::string& backup) {
    std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), std::free);
    if (!real) {
        error(path + ": " + std::strerror(errno));
        return false;
    }
    const std::string target = real.get();
    struct stat st{};
    if (::stat(target.c_str(), &st) != 0) {
        error(path + ": " + std::strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error(path + ": not a regular file; left untouched");
        return false;
    }
    if (st.st_nlink > 1) {
        error(path + ": has " + std::to_string(st.st_nlink) +
              " hard links, which a rewrite would separate; left untouched");
        return false;
    }
    guard_signals();
    const size_t slash = target.rfind('/');
    std::string tmp = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".qelch-XXXXXX";
    if (tmp.size() >= PATH_MAX) {
        error(path + ": the path is too long for a temporary file beside it; left untouched");
        return false;
    }
    sigset_t all, old;
    sigfillset(&all);
    // Best, a file without a name until it is complete: nothing is left
    // behind whatever ends the process while it is written, even a signal
    // that cannot be caught. Else a named temporary file, removed by the
    // signals that can be.
    const std::string dir = target.substr(0, slash + 1);
    // Test hook: the named temporary file, as where the file system has no
    // unnamed files.
    int fd = std::getenv("QELCH_TEST_NAMED_TEMP") ? -1 : ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    const bool unnamed = fd >= 0 && ::access("/proc/self/fd", X_OK) == 0;
    if (fd >= 0 && !unnamed) {
        ::close(fd);
        fd = -1;
    }
    if (!unnamed) {
        sigprocmask(SIG_BLOCK, &all, &old);
        fd = ::mkstemp(tmp.data());
        if (fd >= 0) std::memcpy(g_temp_path, tmp.c_str(), tmp.size() + 1);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (fd < 0) {
            error(path + ": cannot create a temporary file beside it: " + std::strerror(errno) + "; left untouched");
            return false;
        }
    }
    bool ok = true;
    // Owner and group first: changing them may clear the set-id bits that
    // the mode then restores.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        error(path + ": cannot give the new file the owner and group of the original (" + std::strerror(errno) +
              "); left untouched");
        ok = false;
    } else if (::fchmod(fd, st.st_mode & 07777) != 0) {
        error(path + ": cannot give the new file the mode of the original (" + std::strerror(errno) +
              "); left untouched");
        ok = false;
    }
    ok = ok && r.run(path, [&](std::string_view out) {
        if (write_all(fd, out)) return true;
        error(path + ": cannot write the temporary file: " + std::strerror(errno) + "; left untouched");
        return false;
    });
    if (ok && ::fsync(fd) != 0) {
        error(path + ": " + std::strerror(errno) + "; left untouched");
        ok = false;
    }
    const bool publish = ok && r.replaced > 0;
    if (publish && !backup.empty()) {
        const std::string saved = target + backup;
        ::unlink(saved.c_str());
        if (::link(target.c_str(), saved.c_str()) != 0) {
            error(path + ": cannot keep the backup " + saved + ": " + std::strerror(errno) + "; left untouched");
            ok = false;
        }
    }
    // From here to the rename, signals wait: the name given to the new file
    // is either renamed over the original or removed.
    sigprocmask(SIG_BLOCK, &all, &old);
    bool named = !unnamed;
    if (ok && publish && unnamed) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        for (int attempt = 0; attempt < 100 && !named; ++attempt) {
            tmp = dir + "." + target.substr(slash + 1) + ".qelch-" + std::to_string(::getpid()) + "-" +
                  std::to_string(attempt);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0) named = true;
            else if (errno != EEXIST) break;
        }
        if (!named) {
            error(path + ": cannot name the new file: " + std::strerror(errno) + "; left untouched");
            ok = false;
        }
    }
    if (::close(fd) != 0 && ok) {
        error(path + ": " + std::strerror(errno) + "; left untouched");
        ok = false;
    }
    if (ok && publish && ::rename(tmp.c_str(), target.c_str()) != 0) {
        error(path + ": cannot replace the file: " + std::strerror(errno) + "; left untouched");
        ok = false;
    }
    if (named && (!ok || !publish)) ::unlink(tmp.c_str());
    g_temp_path[0] = '\0';
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

}  // namespace

int cmd_replace(const std::vector<std::string>& args) {
    if (wants_help(args)) {
        std::fputs(kHelp, stdout);
        return kFound;
    }
    RegexFlags flags;
    bool in_place = false, dry_run = false;
    std::string backup;
    Replacer r;
    std::vector<std::string> rest;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!options_done && a.size() > 1 && a[0] == '-') {
            if (a == "--") options_done = true;
            else if (flags.take(a)) {}
            else if (a == "--first") r.first_only = true;
            else if (a == "--whole") r.whole = true;
            else if (a == "--in-place") in_place = true;
            else if (a == "--dry-run") dry_run = true;
            else if (a == "--backup" && i + 1 < args.size()) backup = args[++i];
            else if (a.rfind("--backup=", 0) == 0) backup = a.substr(9);
            else {
                error("replace: unknown or incomplete option '" + a + "' (see qelch replace --help)");
                return kError;
            }
        } else {
            rest.push_back(a);
        }
    }
    if (rest.size() < 2) {
        error("replace: missing PATTERN or TEMPLATE (see qelch replace --help)");
        return kError;
    }
    std::vector<std::string> files(rest.begin() + 2, rest.end());
    if (in_place && dry_run) {
        error("replace: --in-place and --dry-run exclude each other");
        return kError;
    }
    if (in_place && files.empty()) {
        error("replace: --in-place needs at least one FILE");
        return kError;
    }
    if (!backup.empty() && !in_place) {
        error("replace: --backup goes with --in-place");
        return kError;
    }
    if (files.empty()) files.push_back("-");
    r.pattern = rest[0];
    r.in_place = in_place;
    if (!check_pattern(rest[0])) return kError;
    const std::string opts = flags.letters();
    if (!compile(rest[0], opts + (r.first_only ? "" : "g"), flags.bytes, r.state)) return kError;
    r.per_match = examine_pattern(rest[0]).captures + 1;
    r.use_chunk = !r.whole && !sees_past_line_end(rest[0]);
    if (r.use_chunk && (!compile(rest[0], opts + "m", flags.bytes, r.chunk_state) ||
                        !compile(rest[0], opts + (r.first_only ? "m" : "mg"), flags.bytes, r.multi_state)))
        return kError;
    int32_t tsize = 0;
    qelsRegExpReplaceGetSize(rest[1].c_str(), &tsize);
    r.template_mem.assign(size_t(tsize) / 8 + 1, 0);
    // The replace state points into the template text: rest[1] outlives it.
    if (QelStatus st = qelsRegExpReplaceInit(rest[1].c_str(), r.rs()); st != qelOk) {
        error(std::string("replace: bad template: ") + status_phrase(st));
        return kError;
    }
    r.empty_line_text = template_text(rest[1]);
    const bool summary = in_place || dry_run || files.size() > 1;
    bool ok = true;
    Out out;
    for (const auto& f : files) {
        bool done = true;
        if (in_place) {
            done = replace_in_place(r, f, backup);
        } else if (dry_run) {
            std::string before, after;
            r.keep_input = &before;
            done = r.run(f, [&](std::string_view piece) {
                after.append(piece);
                return true;
            });
            r.keep_input = nullptr;
            if (done) unified_diff(f == "-" ? "(standard input)" : f, before, after, out);
        } else {
            done = r.run(f, [&](std::string_view piece) {
                out.put(piece);
                return !out.failed();
            });
        }
        ok = done && ok;
        if (summary && done) {
            std::fprintf(stderr, "%s: %lld replacement%s\n", r.file.c_str(), static_cast<long long>(r.replaced),
                         r.replaced == 1 ? "" : "s");
        }
        if (out.failed()) break;
    }
    if (!out.flush()) return kError;
    return ok ? kFound : kError;
}

}  // namespace app
