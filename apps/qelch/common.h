// Shared pieces of the qelch command-line tool: option parsing helpers,
// chunked input cut at line boundaries, output buffering and messages.
#ifndef QELCH_APP_COMMON_H
#define QELCH_APP_COMMON_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "qelch.h"

namespace app {

// Exit codes, as grep has them.
constexpr int kFound = 0;
constexpr int kNothing = 1;
constexpr int kError = 2;

// Library lengths are signed 32-bit; a chunk stays well below that. The
// QELCH_CHUNK_SIZE environment variable lowers it (tests use tiny chunks).
size_t chunk_size();

void error(const std::string& msg);  // "qelch: msg" on stderr
// grep -s: no messages about files that cannot be opened or read.
void set_file_messages(bool on);

// Regex options shared by grep, replace and sets.
struct RegexFlags {
    bool ignore_case = false, multiline = false, dotall = false, extended = false, bytes = false;
    std::string letters() const;
    // Consumes one of -i, --multiline, --dotall, --extended, --bytes.
    bool take(std::string_view arg);
};

// A compiled pattern in memory the tool owns.
struct Compiled {
    std::vector<uint64_t> mem;
    QelRegExpState* state() { return reinterpret_cast<QelRegExpState*>(mem.data()); }
};
// Compiles or prints "bad pattern" with a caret under the offset; false on error.
bool compile(const std::string& pattern, const std::string& options, bool bytes_format, Compiled& out);
const char* status_phrase(QelStatus st);

// Reading a pattern's text, for the tool's own analyses. An escape at p[i]
// ('\\') takes escape_length bytes ("\\cX" takes any X, '(' or '[' too).
size_t escape_length(const std::string& p, size_t i);
// Index just past the bracket class that starts at p[i] ('['), or npos.
size_t skip_class(const std::string& p, size_t i);
// Index of the ')' that closes the group opened at p[i], or npos.
size_t group_end(const std::string& p, size_t i);
// Whether a look-around opens at p[i]: "(?=", "(?!", "(?<=" or "(?<!".
bool lookaround_at(const std::string& p, size_t i);

// True when the pattern holds a construct that can see past a line end in a
// way that changes whether a line matches (look-around, atomic groups,
// \A \z \Z \G, or an inline option that switches "m" off): such a pattern must be run on each
// line alone rather than on a piece of many lines compiled with "m". With the
// options the pattern is compiled with, a look-around whose body can take no
// line feed is not counted (it decides the same at a line feed as at the
// subject's ends); without them every look-around is.
bool sees_past_line_end(const std::string& pattern, const RegexFlags* flags = nullptr);

// Reads `path` ("-" = stdin) and calls `fn` with pieces that end at a line
// feed (the last piece of the input may lack it), each at most the chunk size
// unless one line is longer. Before the first piece, `head` (when given) sees
// the first kHeadSize bytes of the input. Returns false on an I/O error
// (message printed) or when a callback returned false.
constexpr size_t kHeadSize = 32768;
using LineChunkFn = std::function<bool(std::string_view chunk)>;
bool for_each_chunk(const std::string& path, const LineChunkFn& fn, const LineChunkFn* head = nullptr);
// Raw pieces of the input, no line alignment (convert).
bool for_each_block(const std::string& path, const LineChunkFn& fn);

// The errno of the first failed write to an Out, 0 when none failed.
int output_error();
// Prints one message when writing standard output failed (an Out or the
// final flush); true when it did.
bool report_output_error();

// Buffered stdout.
class Out {
public:
    explicit Out(FILE* f = stdout) : f_(f) {}
    ~Out() { flush(); }
    void put(std::string_view s) {
        buf_.append(s);
        if (buf_.size() > (1u << 20)) flush();
    }
    void put(char c) { buf_.push_back(c); }
    bool flush();
    bool failed() const { return failed_; }

private:
    FILE* f_;
    std::string buf_;
    bool failed_ = false;
};

// True when args holds -h or --help before a "--".
bool wants_help(const std::vector<std::string>& args);

int cmd_grep(const std::vector<std::string>& args);
int cmd_replace(const std::vector<std::string>& args);
int cmd_sets(const std::vector<std::string>& args);
int cmd_convert(const std::vector<std::string>& args);
int cmd_hash(const std::vector<std::string>& args);

}  // namespace app

#endif
