#include "common.h"

#include "qelch.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace app {

size_t chunk_size() {
    size_t size = size_t(64) << 20;
    if (const char* env = std::getenv("QELCH_CHUNK_SIZE")) {
        long long v = std::atoll(env);
        if (v >= 16 && v < (1ll << 30)) size = size_t(v);
    }
    return size;
}

void error(const std::string& msg) { std::fprintf(stderr, "qelch: %s\n", msg.c_str()); }

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

namespace {

bool read_fully(int fd, char* buf, size_t want, size_t& got, const std::string& name) {
    got = 0;
    while (got < want) {
        ssize_t n = ::read(fd, buf + got, want - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            error(name + ": " + std::strerror(errno));
            return false;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    return true;
}

// First size of the read buffer: large enough that the per-piece work is
// negligible, small enough to stay in the second-level cache.
constexpr size_t kFirstBuffer = size_t(1) << 20;

bool chunked(const std::string& path, const LineChunkFn& fn, bool align_lines) {
    const std::string name = path == "-" ? "(standard input)" : path;
    int fd = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error(name + ": " + std::strerror(errno));
        return false;
    }
    // The buffer starts small, so that the pieces handed on stay in the
    // processor's caches while they are searched and read again, and doubles
    // up to the chunk size only when one line does not fit.
    const size_t cap = chunk_size();
    std::vector<char> buf(std::min(cap, kFirstBuffer));
    size_t have = 0;
    bool ok = true;
    for (;;) {
        size_t got = 0;
        if (!read_fully(fd, buf.data() + have, buf.size() - have, got, name)) {
            ok = false;
            break;
        }
        have += got;
        bool eof = have < buf.size();
        if (have == 0) break;
        size_t cut = have;
        if (align_lines && !eof) {
            const void* nl = memrchr(buf.data(), '\n', have);
            if (!nl && buf.size() < cap) {
                buf.resize(std::min(cap, buf.size() * 2));
                continue;
            }
            if (!nl) {
                error(name + ": a line is longer than the chunk size (" + std::to_string(cap) + " bytes)");
                ok = false;
                break;
            }
            cut = size_t(static_cast<const char*>(nl) - buf.data()) + 1;
        }
        if (!fn(std::string_view(buf.data(), cut))) {
            ok = false;
            break;
        }
        std::memmove(buf.data(), buf.data() + cut, have - cut);
        have -= cut;
        if (eof) break;  // at the end the whole rest went out as the last piece
    }
    if (fd != 0) ::close(fd);
    return ok;
}

}  // namespace

bool for_each_chunk(const std::string& path, const LineChunkFn& fn) { return chunked(path, fn, true); }
bool for_each_block(const std::string& path, const LineChunkFn& fn) { return chunked(path, fn, false); }

bool Out::flush() {
    if (!buf_.empty()) {
        if (std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size()) failed_ = true;
        buf_.clear();
    }
    if (std::fflush(f_) != 0) failed_ = true;
    return !failed_;
}

bool wants_help(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "-h" || a == "--help") return true;
    return false;
}

}  // namespace app
