#include "common.h"

#include "qelch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace app {

size_t chunk_size() {
    static const size_t size = [] {
        size_t s = size_t(64) << 20;
        if (const char* env = std::getenv("QELCH_CHUNK_SIZE")) {
            long long v = std::atoll(env);
            if (v >= 16 && v < (1ll << 30)) s = size_t(v);
        }
        return s;
    }();
    return size;
}

void error(const std::string& msg) { std::fprintf(stderr, "qelch: %s\n", msg.c_str()); }

namespace {
bool g_file_messages = true;
void file_error(const std::string& msg) {
    if (g_file_messages) error(msg);
}
}  // namespace

void set_file_messages(bool on) { g_file_messages = on; }

std::string RegexFlags::letters() const {
    std::string s;
    if (ignore_case) s += 'i';
    if (multiline) s += 'm';
    if (dotall) s += 's';
    if (extended) s += 'x';
    return s;
}

bool RegexFlags::take(std::string_view arg) {
    if (arg == "-i" || arg == "--ignore-case") return ignore_case = true;
    if (arg == "--multiline") return multiline = true;
    if (arg == "--dotall") return dotall = true;
    if (arg == "--extended") return extended = true;
    if (arg == "--bytes") return bytes = true;
    return false;
}

// The words are the C++ wrapper's, so programs built on either say the same.
const char* status_phrase(QelStatus st) { return qel::status_message(st); }

bool compile(const std::string& pattern, const std::string& options, bool bytes_format, Compiled& out) {
    int32_t size = 0;
    if (qelsRegExpGetSize(pattern.c_str(), &size) != qelOk || size <= 0) {
        error("pattern too long");
        return false;
    }
    out.mem.assign(size_t(size) / 8 + 1, 0);
    int32_t offset = 0;
    QelStatus st = qelsRegExpInit(pattern.c_str(), options.c_str(), out.state(), &offset);
    if (st != qelOk) {
        std::fprintf(stderr, "qelch: bad pattern: %s at offset %d\n%s\n%*s^\n", status_phrase(st), int(offset),
                     pattern.c_str(), int(offset), "");
        return false;
    }
    if (bytes_format) qelsRegExpSetFormat(0, out.state());
    return true;
}

size_t escape_length(const std::string& p, size_t i) { return i + 1 < p.size() && p[i + 1] == 'c' ? 3 : 2; }

size_t skip_class(const std::string& p, size_t i) {
    ++i;
    if (i < p.size() && p[i] == '^') ++i;
    if (i < p.size() && p[i] == ']') ++i;
    while (i < p.size() && p[i] != ']') {
        if (p[i] == '\\') {
            i += escape_length(p, i);
        } else if (p[i] == '[' && i + 1 < p.size() && p[i + 1] == ':') {
            size_t end = p.find(":]", i + 2);
            if (end == std::string::npos) return std::string::npos;
            i = end + 2;
        } else {
            ++i;
        }
    }
    return i < p.size() ? i + 1 : std::string::npos;
}

size_t group_end(const std::string& p, size_t i) {
    int depth = 0;
    while (i < p.size()) {
        char c = p[i];
        if (c == '\\') {
            i += escape_length(p, i);
            continue;
        }
        if (c == '[') {
            i = skip_class(p, i);
            if (i == std::string::npos) return i;
            continue;
        }
        if (c == '(') ++depth;
        if (c == ')' && --depth == 0) return i;
        ++i;
    }
    return std::string::npos;
}

bool lookaround_at(const std::string& p, size_t i) {
    return p.compare(i, 3, "(?=") == 0 || p.compare(i, 3, "(?!") == 0 || p.compare(i, 4, "(?<=") == 0 ||
           p.compare(i, 4, "(?<!") == 0;
}

namespace {

// Whether the body of a look-around, p[from, to), can only read bytes of the
// line it starts on, so that it decides the same in a piece of many lines
// as in the line alone: it takes no line feed (nor a byte that could be
// one: no negated or POSIX class, no escape but \w \d \b \B and escaped
// punctuation, no raw control byte, "." only without dotall), and its
// assertions ^ $ \b \B see a line feed as they see the subject's ends.
// Groups inside may only be plain or "(?:".
bool line_bound_body(const std::string& p, size_t from, size_t to, bool dotall) {
    auto escape_ok = [](char e, bool in_class) {
        const unsigned char u = static_cast<unsigned char>(e);
        if (e == 'w' || e == 'd') return true;
        if (!in_class && (e == 'b' || e == 'B')) return true;
        return u > 0x20 && u < 0x7F && std::ispunct(u);
    };
    for (size_t i = from; i < to; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == '\\') {
            if (i + 1 >= to || !escape_ok(p[i + 1], false)) return false;
            ++i;
        } else if (c == '.') {
            if (dotall) return false;
        } else if (c == '(') {
            if (i + 1 < to && p[i + 1] == '?' && !(i + 2 < to && p[i + 2] == ':')) return false;
        } else if (c == '[') {
            size_t j = i + 1;
            if (j < to && p[j] == '^') return false;
            if (j < to && p[j] == ']') ++j;
            for (; j < to && p[j] != ']'; ++j) {
                const unsigned char b = static_cast<unsigned char>(p[j]);
                if (b < 0x20 || b == 0x7F || (b == '[' && j + 1 < to && p[j + 1] == ':')) return false;
                if (b == '\\') {
                    if (j + 1 >= to || !escape_ok(p[j + 1], true)) return false;
                    ++j;
                }
            }
            if (j >= to) return false;
            i = j;
        }
    }
    return true;
}

}  // namespace

bool sees_past_line_end(const std::string& p, const RegexFlags* flags) {
    // An atomic group belongs here too: over many lines it may take a line
    // feed and, unable to give it back, fail where the line alone matches.
    static const char* risky[] = {"(?>", "\\A", "\\z", "\\Z", "\\G"};
    for (const char* r : risky)
        if (p.find(r) != std::string::npos) return true;
    // "(?-m)", "(?i-sm:" ...: after a '-' the letter m switches multi-line off.
    bool options = false;
    for (size_t at = p.find("(?"); at != std::string::npos; at = p.find("(?", at + 2)) {
        bool clearing = false;
        for (size_t i = at + 2; i < p.size() && std::strchr("imsx-", p[i]); ++i) {
            options = true;
            if (p[i] == '-') clearing = true;
            else if (p[i] == 'm' && clearing) return true;
        }
    }
    // A look-around reads past the match; with the flags known, one whose
    // body stays on its line is safe. Inline options (a "(?s" could make "."
    // take a line feed), quoting and the extended syntax are not read here.
    const bool read_bodies = flags != nullptr && !flags->extended && !options && p.find("\\Q") == std::string::npos;
    static const char* looks[] = {"(?=", "(?!", "(?<=", "(?<!"};
    for (const char* l : looks) {
        for (size_t at = p.find(l); at != std::string::npos; at = p.find(l, at + 1)) {
            if (!read_bodies) return true;
            // After an odd number of backslashes the '(' is no group; rather
            // than read further, such a pattern stays risky.
            size_t slashes = 0;
            while (at > slashes && p[at - 1 - slashes] == '\\') ++slashes;
            if (slashes % 2 == 1) return true;
            const size_t end = group_end(p, at);
            if (end == std::string::npos || !line_bound_body(p, at + std::strlen(l), end, flags->dotall)) return true;
        }
    }
    return false;
}

namespace {

// Reads until `want` bytes or the end of a regular file; from a pipe or a
// terminal, only what one read returns, so that lines are handled as they
// come (`tail -f log | qelch grep x`). `got` 0 means the end.
bool read_some(int fd, char* buf, size_t want, size_t& got, const std::string& name, bool stream) {
    got = 0;
    while (got < want) {
        ssize_t n = ::read(fd, buf + got, want - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            file_error(name + ": " + std::strerror(errno));
            return false;
        }
        if (n == 0) break;
        got += size_t(n);
        if (stream) break;
    }
    return true;
}

// Memory for reading, of a size that only grows; its bytes are not
// initialised.
class ReadBuffer {
public:
    char* data() { return p_.get(); }
    size_t size() const { return size_; }
    void reserve(size_t n) {
        if (n > size_) grow(n, 0);
    }
    // Grows to n bytes, keeping the first `keep`.
    void grow(size_t n, size_t keep) {
        std::unique_ptr<char[]> q(new char[n]);
        if (keep) std::memcpy(q.get(), p_.get(), keep);
        p_ = std::move(q);
        size_ = n;
    }
    void release() {
        p_.reset();
        size_ = 0;
    }

private:
    std::unique_ptr<char[]> p_;
    size_t size_ = 0;
};

// First size of the read buffer: large enough that the per-piece work is
// negligible, small enough to stay in the second-level cache.
constexpr size_t kFirstBuffer = size_t(1) << 20;
// The library's lengths are signed 32-bit: no piece may be longer.
constexpr size_t kMaxPiece = 0x7FFFFFFF;

bool chunked(const std::string& path, const LineChunkFn& fn, bool align_lines, const LineChunkFn* head) {
    const std::string name = path == "-" ? "(standard input)" : path;
    int fd = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        file_error(name + ": " + std::strerror(errno));
        return false;
    }
    // Pieces end at the last line feed within the chunk size, so that what
    // is handed on stays in the processor's caches while it is searched and
    // read again. A line longer than that makes its piece longer: the buffer
    // grows for it, limited only by memory and the library's 32-bit lengths.
    // The buffer always holds at least kHeadSize bytes so that the first
    // block seen by `head` does not depend on the chunk size.
    const size_t cap = chunk_size();
    // One buffer per thread, kept from file to file and never cleared: a
    // search over thousands of small files would otherwise spend its time
    // filling fresh buffers with zeros.
    thread_local ReadBuffer buf;
    buf.reserve(std::max(std::min(cap, kFirstBuffer), kHeadSize));
    struct stat st{};
    const bool stream = ::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode);
    size_t have = 0;
    bool ok = true, eof = false, first = true, need_more = true;
    for (;;) {
        if (!eof && need_more && have < buf.size()) {
            size_t got = 0;
            if (!read_some(fd, buf.data() + have, buf.size() - have, got, name, stream)) {
                ok = false;
                break;
            }
            have += got;
            eof = stream ? got == 0 : have < buf.size();
        }
        need_more = true;
        if (first && head) {
            first = false;
            if (!(*head)(std::string_view(buf.data(), std::min(have, kHeadSize)))) {
                ok = false;
                break;
            }
        }
        if (have == 0) {
            if (eof) break;
            continue;
        }
        size_t cut = std::min(have, cap);
        if (align_lines && !(eof && cut == have)) {
            const void* nl = memrchr(buf.data(), '\n', cut);
            if (!nl) nl = std::memchr(buf.data() + cut, '\n', have - cut);
            if (!nl && !eof) {
                if (have < buf.size()) continue;  // a pipe: read on
                if (buf.size() >= kMaxPiece) {
                    error(name + ": a line is longer than " + std::to_string(kMaxPiece) +
                          " bytes, more than the library can search");
                    ok = false;
                    break;
                }
                buf.grow(std::min(kMaxPiece, buf.size() * 2), have);
                continue;
            }
            cut = nl ? size_t(static_cast<const char*>(nl) - buf.data()) + 1 : have;
        }
        if (cut > kMaxPiece) {
            error(name + ": a line is longer than " + std::to_string(kMaxPiece) + " bytes, more than the library can search");
            ok = false;
            break;
        }
        if (!fn(std::string_view(buf.data(), cut))) {
            ok = false;
            break;
        }
        std::memmove(buf.data(), buf.data() + cut, have - cut);
        have -= cut;
        if (eof && have == 0) break;
        // From a pipe, a whole line still waiting is handled before reading on.
        if (stream && have > 0 && (!align_lines || std::memchr(buf.data(), '\n', have))) need_more = false;
    }
    if (fd != 0) ::close(fd);
    // A buffer grown for one very long line is not kept for the next file.
    if (buf.size() > std::max(std::min(cap, kFirstBuffer), kHeadSize) * 4) buf.release();
    return ok;
}

}  // namespace

bool for_each_chunk(const std::string& path, const LineChunkFn& fn, const LineChunkFn* head) {
    return chunked(path, fn, true, head);
}
bool for_each_block(const std::string& path, const LineChunkFn& fn) { return chunked(path, fn, false, nullptr); }

namespace {
int g_write_errno = 0;
}

int output_error() { return g_write_errno; }

bool report_output_error() {
    if (std::fflush(stdout) != 0 && g_write_errno == 0) g_write_errno = errno ? errno : EIO;
    if (g_write_errno == 0 && std::ferror(stdout)) g_write_errno = EIO;
    if (g_write_errno == 0) return false;
    error(std::string("cannot write the output: ") + std::strerror(g_write_errno));
    return true;
}

bool Out::flush() {
    if (failed_) {
        buf_.clear();
        return false;
    }
    errno = 0;
    if (!buf_.empty()) {
        if (std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size()) failed_ = true;
        buf_.clear();
    }
    if (std::fflush(f_) != 0) failed_ = true;
    if (failed_ && g_write_errno == 0) g_write_errno = errno ? errno : EIO;
    return !failed_;
}

bool wants_help(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "--") break;
        if (a == "-h" || a == "--help") return true;
    }
    return false;
}

}  // namespace app
