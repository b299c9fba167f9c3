// The pattern compiler's working data and the stages it is built from:
//
//   options string -> structural pre-scan -> emitting pass -> finishing pass
//
// The pre-scan (prescan.cpp) only checks balance and counts captures; the
// emitting pass (emit.cpp for items, escapes and quantifiers, groups.cpp for
// group opening and closing) writes nodes in pattern order straight into the
// caller's state; the finishing pass (compile.cpp) copies literal text and
// fills in the header.
//
// Invariants the emitting pass keeps:
//  - The cursor never moves past the pattern's terminating zero; every
//    look-ahead goes through Parser::at(), which reads 0 at and past the end.
//  - The pending literal run is always a contiguous span of pattern bytes
//    ending at runEnd: anything that is not a plain literal flushes it first.
//  - Every open group holds a distinct ordinal below the ordinal counter, so
//    the counter limit (1000) also bounds the depth and the saved-options stack.
//  - At most one node per pattern byte plus the leading-wildcard marker: the
//    state is sized for that and no bound check is made while writing.
#ifndef QELCH_REGEX_COMPILE_COMPILER_H
#define QELCH_REGEX_COMPILE_COMPILER_H

#include <cstddef>
#include <cstdint>

#include "regex/regexp_state.h"

namespace qel::re {

// Longest pattern whose state size 48056 + 24 * length fits a signed 32-bit count.
constexpr size_t kMaxPatternLength = (size_t(INT32_MAX) - size_t(state_size_for(0))) / kNodeSize;

// The ordinal counter may reach this value; one more '(' is refused.
constexpr int32_t kOrdinalLimit = kMaxGroups + 1;

struct Parser {
    const char* pattern;  // start, for error offsets
    const char* end;      // the terminating zero
    const char* cur;
    RegExpNode* nodes;
    int32_t nodeCount;
    int32_t runCount;     // pending literal bytes, ending just before runEnd
    const char* runEnd;
    const char* itemEnd;  // just past the last item, white space and comments after it not included
    const char* optionSettingEnd;  // just past the last option setting that wrote no node ("(?x)")
    uint32_t options;     // options in force at the cursor
    int32_t depth;
    int32_t ordinal;      // next group ordinal
    int32_t capture;      // next capture number
    int32_t captureCount; // from the pre-scan
    int32_t prefilter;    // trailing top-level literal node, -1 none, -2 top-level bar
    int32_t classEnd;     // node count right after the last bracket class, -1 none
    int32_t errOffset;
    uint32_t saved[kMaxGroups + 1];  // options before the group at depth d + 1

    unsigned char at(const char* p) const { return p < end ? static_cast<unsigned char>(*p) : 0; }
    QelStatus fail(QelStatus status, const char* where) {
        errOffset = static_cast<int32_t>(where - pattern);
        return status;
    }
    RegExpNode& push(uint32_t kind, int32_t w1 = 0, int32_t w2 = 0, int32_t w3 = 0) {
        RegExpNode& n = nodes[nodeCount++];
        n = RegExpNode{kind, w1, w2, w3, 0, 0};
        return n;
    }
};

inline bool is_repeat(uint32_t kind) { return kind == RE_LAZY || kind == RE_GREEDY; }
inline bool is_lookaround(uint32_t kind) { return kind >= RE_LOOKBEHIND && kind <= RE_NLOOKAHEAD; }
inline bool is_group_open(uint32_t kind) { return kind >= RE_LOOKBEHIND && kind <= RE_ATOMIC; }
inline bool is_decimal(unsigned char c) { return c >= '0' && c <= '9'; }

// ---- prescan.cpp ----
// Option letters to bits; false on a letter outside "smixg".
bool parse_options(const char* options, uint32_t* bits);
// The pattern starts with a wildcard repeat that lets the search anchor at line starts.
bool has_leading_wildcard(const char* pattern, size_t len);
// Balance, nesting depth and capture count; writes the error offset on failure.
QelStatus prescan(const char* pattern, size_t len, uint32_t options, int32_t* captureCount, int32_t* errOffset);

// ---- emit.cpp ----
bool quantifier_shape(const Parser& ps, const char* p);
// The first byte at or after p past white space and "#" comments (with "x" in
// `options`) and "(?#...)" comments: where a quantifier would stand.
const char* next_significant(const Parser& ps, const char* p, uint32_t options);
void flush_run(Parser& ps);
QelStatus emit_pattern(Parser& ps);

// ---- groups.cpp ----
QelStatus open_group(Parser& ps);
QelStatus close_group(Parser& ps);
// -1 when the body holds anything but single items, literal runs and greedy repeats.
int32_t simple_item_count(const RegExpNode* nodes, int32_t from, int32_t to);
// Width in characters of a look-behind body, -1 when its alternatives differ.
int32_t fixed_width(const RegExpNode* nodes, int32_t from, int32_t to);

// ---- compile.cpp ----
// The whole compilation of a pattern of `len` bytes into `state` (arguments checked).
QelStatus compile_pattern(const char* pattern, size_t len, const char* options, QelRegExpState* state,
                          int32_t* errOffset);

}  // namespace qel::re

#endif
