// The match step: prologue (budget, stack guard, end node, reject-empty rule,
// kind check), the quantifier look-ahead, single items, anchors and option
// changes. Repeats are in repeat.cpp, groups and look-around in group.cpp,
// character tests in item_tests.cpp.
//
// A failed step leaves ms.currentNode and ms.options as it found them, so a
// loop that tries one continuation after another never inherits the options
// of a failed attempt (an inline "(?i)" after a lazy repeat would otherwise
// make the repeat's later copies case-blind).
#include <cstring>

#include "regex/match/match_internal.h"

namespace qel::re {
namespace {

bool anchor_holds(int32_t letter, const uint8_t* p, int32_t r, const RegExpMatchState& ms) {
    const bool atStart = p == ms.subjectStart;
    switch (letter) {
        case '^':
            return atStart || ((ms.options & RE_OPT_MULTILINE) && r >= 1 && p[-1] == '\n');
        case '$':
            if (ms.options & RE_OPT_MULTILINE) return r == 0 || p[0] == '\n';
            return r == 0 || (r == 1 && p[0] == '\n');
        case 'A':
        case 'G':
            return atStart;
        case 'Z':
            return r == 0 || (r == 1 && p[0] == '\n');
        case 'z':
            return r == 0;
        case 'b':
        case 'B': {
            const bool before = !atStart && is_word_byte(p[-1]);
            const bool after = r > 0 && is_word_byte(p[0]);
            return (before != after) == (letter == 'b');
        }
        case RE_ANCHOR_LINE_START:
            return atStart || p[-1] == '\n';
        default:
            return false;
    }
}

// Consumes `len` bytes of a single item at node `cur` and matches the rest.
inline int consume(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t cur, int32_t len) {
    ms.captures[0].length += len;
    ms.currentNode = cur + 1;
    const int res = RegExpMatchAt(p + len, r - len, ms);
    if (res != 0) ms.captures[0].length -= len;
    return res;
}

bool string_equal(const uint8_t* p, const uint8_t* lit, int32_t n, uint32_t options) {
    if (!(options & RE_OPT_IGNORECASE)) return std::memcmp(p, lit, size_t(n)) == 0;
    for (int32_t i = 0; i < n; ++i)
        if (!char_equal(p[i], lit[i], options)) return false;
    return true;
}

// Everything after the prologue. Kept out of line from the prologue's
// bookkeeping so the step's own frame stays small.
int dispatch(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t cur) {
    const RegExpNode& n = ms.nodes[cur];
    switch (n.w0) {
        case RE_CHAR:
        case RE_PREDEF:
        case RE_BYTE:
        case RE_UCHAR:
        case RE_UPROP:
        case RE_URANGE:
        case RE_URANGES:
        case RE_GRAPHEME:
        case RE_BACKREF: {
            if (const RegExpNode* q = quantifier_at(ms, cur + 1)) {
                // A back-reference to an empty capture may match at the end, so
                // it leaves the "nothing left" decision to its repeat routine.
                if (r == 0 && q->w1 >= 1 && n.w0 != RE_BACKREF) return 1;
                return match_repeat(p, r, ms, cur, cur + 1);
            }
            if (n.w0 == RE_BACKREF) return match_backref(p, r, ms);
            if (r == 0) return 1;
            switch (n.w0) {
                case RE_CHAR:
                    return char_equal(p[0], uint8_t(n.w1), ms.options) && n.w1 >= 0 && n.w1 < 256
                               ? consume(p, r, ms, cur, 1)
                               : 1;
                case RE_BYTE:
                    return consume(p, r, ms, cur, 1);
                case RE_PREDEF:
                    return predef_test(n.w1, p[0], ms.options) ? consume(p, r, ms, cur, read_utf8(p, r).length) : 1;
                case RE_GRAPHEME: {
                    const int32_t len = grapheme_length(p, r);
                    return len > 0 ? consume(p, r, ms, cur, len) : 1;
                }
                default: {
                    const Utf8Char ch = read_utf8(p, r);
                    return codepoint_item_test(n, ch, ms.options) ? consume(p, r, ms, cur, ch.length) : 1;
                }
            }
        }
        case RE_CLASS: {
            if (n.w2 < 0 || int64_t(cur) + n.w2 >= ms.endNode) return 1;
            const int32_t after = cur + n.w2 + 1;
            if (const RegExpNode* q = quantifier_at(ms, after)) {
                if (r == 0 && q->w1 >= 1) return 1;
                return match_repeat(p, r, ms, cur, after);
            }
            return match_class_single(p, r, ms, cur);
        }
        case RE_STRING: {
            const auto* lit = static_cast<const uint8_t*>(node_pointer(n));
            if (n.w2 <= 0 || lit == nullptr || r < n.w2 || !string_equal(p, lit, n.w2, ms.options)) return 1;
            return consume(p, r, ms, cur, n.w2);
        }
        case RE_ANCHOR: {
            const RegExpNode* q = quantifier_at(ms, cur + 1);
            if (q != nullptr) {
                // An optional anchor is passed over; one with a larger minimum
                // leaves the quantifier as the current node, which never matches.
                if (q->w1 > 0) return 1;
                ms.currentNode = cur + 2;
                return RegExpMatchAt(p, r, ms);
            }
            if (!anchor_holds(n.w1, p, r, ms)) return 1;
            ms.currentNode = cur + 1;
            return RegExpMatchAt(p, r, ms);
        }
        case RE_SETOPTS:
            ms.options = uint32_t(n.w1);
            ms.currentNode = cur + 1;
            return RegExpMatchAt(p, r, ms);
        case RE_ALT_END: {
            if (n.w1 <= 0) {
                // End of a top-level alternative is the end of the pattern, so
                // the reject-empty rule applies there too; a negative index ends
                // a sub-match, which the rule does not concern.
                return (n.w1 == 0 && ms.rejectEmpty && ms.captures[0].length == 0) ? 1 : 0;
            }
            if (n.w1 > kMaxGroups) return 1;
            const int32_t open = ms.groups[n.w1].openNode;
            if (open < 0 || open >= cur) return 1;
            return match_group_close(p, r, ms, open + ms.nodes[open].w2 + 1);
        }
        case RE_GROUP:
        case RE_CAPTURE:
        case RE_GROUP_OPTS:
        case RE_COND:
            return match_group_entry(p, r, ms);
        case RE_CLOSE:
            return match_group_close(p, r, ms, cur);
        case RE_ATOMIC:
            return match_atomic(p, r, ms);
        case RE_LOOKAHEAD:
        case RE_NLOOKAHEAD:
            return match_lookahead(p, r, ms);
        case RE_LOOKBEHIND:
        case RE_NLOOKBEHIND:
            return match_lookbehind(p, r, ms);
        default:  // RE_RANGE, RE_LAZY, RE_GREEDY met on their own
            return 1;
    }
}

}  // namespace

int RegExpMatchAt(const uint8_t* p, int32_t r, RegExpMatchState& ms) {
    // Once a path is cut the work budget stays empty, so this one test also
    // fails every step after a cut.
    if (--ms.workLeft < 0 || ms.budget <= 0) return cut_path(ms);
    const int32_t cur = ms.currentNode;
    if (r < 0 || cur >= ms.endNode || cur < 0) {
        if (cur != ms.endNode) return 1;
        return (ms.rejectEmpty && ms.captures[0].length == 0) ? 1 : 0;
    }
    if (!is_valid_kind(ms.nodes[cur].w0)) return 1;
    if (stack_exhausted(ms)) return cut_path(ms);
    const uint32_t options = ms.options;
    --ms.budget;
    const int res = dispatch(p, r, ms, cur);
    ++ms.budget;
    if (res != 0) {
        ms.currentNode = cur;
        ms.options = options;
    }
    return res;
}

int match_at_for_test(QelRegExpState* state, const uint8_t* subject, int32_t len, int32_t pos, CaptureRecord* out,
                      int32_t outCount, int32_t* budgetAfter) {
    const StateHeader* h = header(state);
    RegExpMatchState ms{};
    ms.currentNode = 0;
    ms.endNode = h->nodeCount;
    ms.options = h->options;
    ms.rejectEmpty = 0;
    ms.captureCount = h->captureCount;
    ms.budget = h->matchLimit;
    ms.format = h->format;
    ms.subjectStart = subject;
    ms.nodes = node_array(state);
    ms.captures = capture_table(state);
    ms.groups = group_table(state);
    init_match_stack_guard(ms);
    ms.workLeft = work_budget_for(h->matchLimit);
    ms.cut = 0;

    int res = 1;
    for (;;) {
        for (int32_t i = 1; i < ms.captureCount; ++i) ms.captures[i] = {nullptr, -1, 0};
        ms.captures[0] = {subject + pos, 0, 0};
        const int32_t first = ms.currentNode;
        res = RegExpMatchAt(subject + pos, len - pos, ms);
        if (res == 0 || ms.cut) break;
        int32_t j = first;
        while (j < ms.endNode && !(ms.nodes[j].w0 == RE_ALT_END && ms.nodes[j].w1 == 0)) ++j;
        if (j >= ms.endNode) break;
        ms.options = uint32_t(ms.nodes[j].w2);
        ms.currentNode = j + 1;
    }
    const int32_t n = outCount < ms.captureCount ? outCount : ms.captureCount;
    for (int32_t i = 0; i < n; ++i) out[i] = ms.captures[i];
    if (budgetAfter) *budgetAfter = ms.budget;
    return ms.cut ? 2 : res;
}

}  // namespace qel::re
