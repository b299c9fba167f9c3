// qelch replace: every match (or only the first) replaced by a template, to
// standard output or, with --in-place, through a temporary file that is
// renamed over the original only once it has been written completely.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "qelch.hpp"

namespace app {
namespace {

const char* kHelp =
    "usage: qelch replace [--first] [-i] [--multiline] [--dotall] [--extended] [--bytes] [--in-place]\n"
    "                     PATTERN TEMPLATE [FILE...]\n"
    "\n"
    "Replaces every match of PATTERN (only the first with --first) by TEMPLATE:\n"
    "\"$&\" is the whole match, \"$1\"... a group; a backslash ends a run of text and\n"
    "is dropped. Input is processed in large chunks cut at line ends, so a match\n"
    "never spans two chunks. Output goes to standard output, or with --in-place\n"
    "back into each FILE (atomically: the original stays intact on any error).\n";

struct Replacer {
    Compiled state;
    std::vector<uint64_t> template_mem;
    QelRegExpReplaceState* rs() { return reinterpret_cast<QelRegExpReplaceState*>(template_mem.data()); }
    bool first_only = false;
    bool done_first = false;
    std::vector<QelRegExpFind> recs;
    std::string buf;

    // Replaces in one chunk, always searched as one subject.
    bool run(std::string_view chunk, std::string& out) {
        if (chunk.empty() || (first_only && done_first)) {
            out.append(chunk);
            return true;
        }
        QelStatus st = qel::replace_to_end(state.state(), rs(), chunk, buf, recs);
        if (st < 0) {
            error(std::string("replace: ") + (st == qelErrLength ? "the output of one chunk does not fit in 2 GiB"
                                                                    : std::string("search failed: ") + status_phrase(st)));
            return false;
        }
        out.append(buf);
        if (!recs.empty()) done_first = true;
        return true;
    }
};

bool write_all(int fd, const std::string& data) {
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
    return true;
}

bool replace_in_place(Replacer& r, const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        error(path + ": " + std::strerror(errno));
        return false;
    }
    std::string tmp = path + ".qelch-XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        error(path + ": cannot create a temporary file: " + std::strerror(errno));
        return false;
    }
    bool ok = true;
    std::string out;
    ok = for_each_chunk(path, [&](std::string_view c) {
        out.clear();
        if (!r.run(c, out)) return false;
        if (!write_all(fd, out)) {
            error(path + ": cannot write the temporary file: " + std::strerror(errno));
            return false;
        }
        return true;
    });
    if (ok && (::fchmod(fd, st.st_mode & 07777) != 0 || ::fsync(fd) != 0)) {
        error(path + ": " + std::strerror(errno));
        ok = false;
    }
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        error(path + ": cannot replace the file: " + std::strerror(errno));
        ok = false;
    }
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

}  // namespace

int cmd_replace(const std::vector<std::string>& args) {
    if (wants_help(args)) {
        std::fputs(kHelp, stdout);
        return kFound;
    }
    RegexFlags flags;
    bool in_place = false;
    Replacer r;
    std::vector<std::string> rest;
    bool options_done = false;
    for (const auto& a : args) {
        if (!options_done && a.size() > 1 && a[0] == '-') {
            if (a == "--") options_done = true;
            else if (flags.take(a)) {}
            else if (a == "--first") r.first_only = true;
            else if (a == "--in-place") in_place = true;
            else {
                error("replace: unknown option '" + a + "' (see qelch replace --help)");
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
    if (in_place && files.empty()) {
        error("replace: --in-place needs at least one FILE");
        return kError;
    }
    if (files.empty()) files.push_back("-");
    if (!compile(rest[0], flags.letters() + (r.first_only ? "" : "g"), flags.bytes, r.state)) return kError;
    int32_t tsize = 0;
    qelsRegExpReplaceGetSize(rest[1].c_str(), &tsize);
    r.template_mem.assign(size_t(tsize) / 8 + 1, 0);
    // The replace state points into the template text: rest[1] outlives it.
    if (QelStatus st = qelsRegExpReplaceInit(rest[1].c_str(), r.rs()); st != qelOk) {
        error(std::string("replace: bad template: ") + status_phrase(st));
        return kError;
    }
    bool ok = true;
    Out out;
    std::string piece;
    for (const auto& f : files) {
        r.done_first = false;  // --first: the first match of each file
        if (in_place) {
            ok = replace_in_place(r, f) && ok;
            continue;
        }
        ok = for_each_chunk(f, [&](std::string_view c) {
                 piece.clear();
                 if (!r.run(c, piece)) return false;
                 out.put(piece);
                 return !out.failed();
             }) && ok;
    }
    if (!out.flush()) return kError;
    return ok ? kFound : kError;
}

}  // namespace app
