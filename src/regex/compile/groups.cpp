// Group opening and closing.
//
// An opening node is written with w1 = its depth and w2 = its ordinal; both
// are provisional. At ')' the parser finds the opening node again by kind and
// depth (every group inside it is closed by then and carries its link value
// instead, which is never the depth), turns w2 into the body length and
// writes the link value (+ordinal, or -ordinal for groups whose alternatives
// end a sub-match) into the opening node, the RE_CLOSE and every RE_ALT_END
// directly inside. A non-capturing group around a plain literal sequence is
// dissolved instead, since it changes nothing the matcher could see.
#include "regex/compile/compiler.h"
#include "regex/match/match_internal.h"

namespace qel::re {

namespace {

// One character per node for these kinds.
bool is_single_item(uint32_t kind) {
    return kind == RE_CHAR || kind == RE_PREDEF || kind == RE_UCHAR || kind == RE_UPROP || kind == RE_URANGE ||
           kind == RE_URANGES || kind == RE_GRAPHEME;
}

constexpr int64_t kWidthCap = RE_UNBOUNDED;  // keeps the arithmetic in range; nothing that wide can match

// While compiling, a string node points just past its text in the pattern.
const uint8_t* literal_text(const RegExpNode& n) { return static_cast<const uint8_t*>(node_pointer(n)) - n.w2; }

// Characters in literal text, read the way the look-behind steps back over the
// subject (a valid multi-byte sequence is one character, any other byte one
// each): the window must be as many characters wide as the text it has to
// hold. The text comes in pieces (a run, and the last byte a quantifier split
// off it), so bytes that may still start a multi-byte character wait for the
// next piece.
struct LiteralChars {
    uint8_t pending[6];
    int32_t held = 0;
    int64_t chars = 0;

    void add(uint8_t b) {
        pending[held++] = b;
        settle(false);
    }
    void add(const uint8_t* p, int32_t n) {
        for (int32_t i = 0; i < n; ++i) add(p[i]);
    }
    // `copies` of one byte. Past the first few, every copy is a character of
    // its own (a continuation byte can end no sequence that far back, and a
    // lead byte followed by itself is invalid) and leaves the same bytes
    // waiting, so only the first and last copies need reading.
    void add_copies(uint8_t b, int64_t copies) {
        constexpr int64_t kRead = 12;
        for (int64_t i = 0; i < copies && i < kRead; ++i) add(b);
        if (copies > kRead) chars += copies - kRead;
    }
    // The text ends here: what waits is read as it stands.
    int64_t take() {
        settle(true);
        const int64_t c = chars;
        chars = 0;
        return c;
    }

private:
    // Whether the waiting bytes are the start of a sequence more bytes could
    // still complete.
    bool incomplete() const {
        const int ones = __builtin_clz(~(uint32_t(pending[0]) << 24));
        if (ones < 2 || ones > 6 || held >= ones) return false;
        for (int32_t i = 1; i < held; ++i)
            if ((pending[i] & 0xC0) != 0x80) return false;
        return true;
    }
    void settle(bool atEnd) {
        while (held > 0) {
            if (!atEnd && incomplete()) return;
            const int32_t len = read_utf8(pending, held).length;
            for (int32_t i = len; i < held; ++i) pending[i - len] = pending[i];
            held -= len;
            ++chars;
        }
    }
};

int64_t width_of(const RegExpNode* nodes, int32_t from, int32_t to) {
    int64_t w = 0, first = 0, last = 0;
    bool inFirst = true, sawBar = false;
    // Consecutive literal bytes are counted together: a run whose last byte a
    // quantifier split off ("\xC3\xA9\xC3\xA9{2}") is one text in the subject.
    LiteralChars text;
    int32_t i = from;
    while (i < to) {
        const RegExpNode& n = nodes[i];
        uint32_t k = n.w0;
        const bool quantified = i + 1 < to && is_repeat(nodes[i + 1].w0);
        // Nothing the subject holds lies between the bytes on either side of these.
        const bool zeroWidth = k == RE_ANCHOR || k == RE_SETOPTS || is_lookaround(k) || is_repeat(k);
        if (k == RE_CHAR && n.w1 >= 0 && n.w1 < 256) {
            // The body holds no repeat whose bounds differ, so the minimum is the count.
            text.add_copies(uint8_t(n.w1), quantified ? nodes[i + 1].w1 : 1);
            last = 0;
            if (quantified) ++i;
            ++i;
            continue;
        }
        if (k == RE_STRING) {  // never quantified: a quantifier takes the run's last byte
            text.add(literal_text(n), n.w2);
            last = 0;
            ++i;
            continue;
        }
        if (!zeroWidth) w += text.take();
        if (is_single_item(k) || k == RE_BYTE) {
            w += 1;
            last = 1;
        } else if (k == RE_ANCHOR) {
            last = 0;  // a repeated assertion is still zero-width
        } else if (k == RE_CLASS) {
            w += 1;
            last = 1;
            i += n.w2 > 0 ? n.w2 : 0;
        } else if (k == RE_ALT_END) {
            if (inFirst) {
                first = w;
                inFirst = false;
            } else if (w != first) {
                return -1;
            }
            sawBar = true;
            w = 0;
            last = 0;
        } else if (is_repeat(k)) {
            // The operand was counted once already; "{0}" takes it back out,
            // since the item is passed over and matches nothing.
            w += (int64_t(n.w1) - 1) * last;
        } else if (k == RE_CAPTURE || k == RE_GROUP || k == RE_ATOMIC || k == RE_GROUP_OPTS) {
            last = width_of(nodes, i + 1, i + 1 + n.w2);
            if (last < 0) return -1;
            w += last;
            i += n.w2 + 1;
        } else if (k == RE_COND) {
            // Both branches must have the same width; a missing no-branch is empty.
            int32_t end = i + 1 + n.w2, j = i + 1;
            if (j < end && is_lookaround(nodes[j].w0)) j += nodes[j].w2 + 2;
            else if (j < end) ++j;
            bool noBranch = false;
            for (int32_t b = j; b < end; ++b) noBranch |= nodes[b].w0 == RE_ALT_END && nodes[b].w1 == n.w1;
            last = width_of(nodes, j, end);
            if (last < 0 || (!noBranch && last != 0)) return -1;
            w += last;
            i += n.w2 + 1;
        } else if (is_lookaround(k)) {
            i += n.w2 + 1;
        }
        if (w > kWidthCap) w = kWidthCap;
        ++i;
    }
    w += text.take();
    if (w > kWidthCap) w = kWidthCap;
    if (sawBar && w != first) return -1;
    return w;
}

void restore_depth(Parser& ps, int32_t ordinal) {
    --ps.depth;
    ps.ordinal = ordinal;
}

// "(?" followed by option letters, at p. Either an option group (the opening
// node is written) or a setting for the rest of the enclosing group.
QelStatus option_letters(Parser& ps, const char* p, int32_t ord) {
    const char* letters = p;
    uint32_t mask = 0;
    bool clearing = false;
    for (;; ++p) {
        unsigned char c = ps.at(p);
        uint32_t bit = 0;
        switch (c) {
            case 'i': bit = RE_OPT_IGNORECASE; break;
            case 'm': bit = RE_OPT_MULTILINE; break;
            case 's': bit = RE_OPT_DOTALL; break;
            case 'x': bit = RE_OPT_EXTENDED; break;
            default: break;
        }
        if (bit) {
            if (!clearing) {
                mask ^= bit;
                ps.options |= mask;
            } else {
                mask &= ~bit;
                ps.options &= mask;
            }
        } else if (c == '-') {
            clearing = true;
            mask = ~0u;
        } else if (c == ':') {
            ps.push(RE_GROUP_OPTS, ps.depth, ord, static_cast<int32_t>(ps.options));
            ps.cur = p + 1;
            return qelOk;
        } else if (c == ')') {
            restore_depth(ps, ord);
            size_t n = size_t(p - letters);
            // "(?x)" and "(?-x)" only steer the parser.
            bool onlyExtended = (n == 1 && letters[0] == 'x') || (n == 2 && letters[0] == '-' && letters[1] == 'x');
            if (!onlyExtended) ps.push(RE_SETOPTS, static_cast<int32_t>(ps.options));
            else ps.optionSettingEnd = p + 1;  // no node, yet a quantifier after it is refused all the same
            ps.cur = p + 1;
            return qelOk;
        } else {
            return ps.fail(qelErrRegExpGroup, p);
        }
    }
}

// "(?(" at open: a back-reference condition or a look-around condition.
QelStatus conditional(Parser& ps, const char* open, int32_t ord) {
    const char* q = open + 3;
    if (ps.at(q) == '?') {
        ps.push(RE_COND, ps.depth, ord);
        ps.cur = q - 1;  // the look-around is parsed next and becomes the condition
        return qelOk;
    }
    int32_t group = 0;
    int digits = 0;
    while (digits < 3 && is_decimal(ps.at(q))) {
        group = group * 10 + (ps.at(q) - '0');
        ++q;
        ++digits;
    }
    if (ps.at(q) != ')') return ps.fail(qelErrRegExpGroup, q);
    if (digits == 0 || group == 0) return ps.fail(qelErrRegExpReference, q + 1 - digits);
    ps.push(RE_COND, ps.depth, ord);
    ps.push(RE_BACKREF, group);
    ps.cur = q + 1;
    return qelOk;
}

bool body_has(const RegExpNode* nodes, int32_t from, int32_t to, bool (*test)(const RegExpNode&)) {
    for (int32_t i = from; i < to; ++i)
        if (test(nodes[i])) return true;
    return false;
}

}  // namespace

int32_t simple_item_count(const RegExpNode* nodes, int32_t from, int32_t to) {
    int64_t count = 0;
    for (int32_t i = from; i < to; ++i) {
        uint32_t k = nodes[i].w0;
        if (is_single_item(k)) {
            count += 1;
        } else if (k == RE_STRING) {
            count += nodes[i].w2;
        } else if (k == RE_CLASS) {
            count += 1;
            i += nodes[i].w2 > 0 ? nodes[i].w2 : 0;
        } else if (k != RE_GREEDY) {
            return -1;
        }
    }
    return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

int32_t fixed_width(const RegExpNode* nodes, int32_t from, int32_t to) {
    return static_cast<int32_t>(width_of(nodes, from, to));
}

QelStatus open_group(Parser& ps) {
    const char* open = ps.cur;
    int32_t ord = ps.ordinal++;
    if (ps.ordinal > kOrdinalLimit) return ps.fail(qelErrRegExpGroup, open);
    ps.saved[ps.depth++] = ps.options;

    if (ps.at(open + 1) != '?') {
        if (ps.capture > kMaxGroups) return ps.fail(qelErrRegExpGroup, open);
        ps.push(RE_CAPTURE, ps.depth, ord, ps.capture++);
        ps.cur = open + 1;
        return qelOk;
    }
    const char* p = open + 2;
    uint32_t kind;
    switch (ps.at(p)) {
        case ':': kind = RE_GROUP; break;
        case '=': kind = RE_LOOKAHEAD; break;
        case '!': kind = RE_NLOOKAHEAD; break;
        case '>': kind = RE_ATOMIC; break;
        case '<':
            ++p;
            if (ps.at(p) == '=') kind = RE_LOOKBEHIND;
            else if (ps.at(p) == '!') kind = RE_NLOOKBEHIND;
            else return ps.fail(qelErrRegExpGroup, p);
            break;
        case '#': {
            const char* q = p + 1;
            while (q < ps.end && *q != ')') ++q;
            if (q == ps.end) return ps.fail(qelErrRegExpGroup, q);
            restore_depth(ps, ord);
            ps.cur = q + 1;
            return qelOk;
        }
        case ')':
            restore_depth(ps, ord);
            ps.cur = p + 1;
            return qelOk;
        case '(':
            return conditional(ps, open, ord);
        case 'i': case 'm': case 's': case 'x': case '-':
            return option_letters(ps, p, ord);
        default:
            return ps.fail(qelErrRegExpGroup, p);
    }
    ps.push(kind, ps.depth, ord);
    ps.cur = p + 1;
    return qelOk;
}

QelStatus close_group(Parser& ps) {
    const char* paren = ps.cur;
    RegExpNode* nodes = ps.nodes;
    int32_t open = -1;
    if (ps.depth > 0) {
        for (int32_t i = ps.nodeCount - 1; i >= 0; --i) {
            if (is_group_open(nodes[i].w0) && nodes[i].w1 == ps.depth) {
                open = i;
                break;
            }
        }
    }
    if (open < 0) return ps.fail(qelErrRegExpGroup, paren);

    const int32_t groupDepth = ps.depth--;
    const uint32_t kind = nodes[open].w0;
    const int32_t ord = nodes[open].w2;
    const int32_t bodyStart = open + 1;
    const int32_t bodyLen = ps.nodeCount - bodyStart;
    const int32_t simple = simple_item_count(nodes, bodyStart, ps.nodeCount);
    const uint32_t outer = ps.saved[ps.depth];

    // A quantifier after white space or a comment binds to the group all the same.
    const bool quantified = quantifier_shape(ps, next_significant(ps, paren + 1, outer));
    if (kind == RE_GROUP && ((bodyLen == 1 && simple == 1) || (simple > 1 && !quantified))) {
        for (int32_t i = open; i + 1 < ps.nodeCount; ++i) nodes[i] = nodes[i + 1];
        --ps.nodeCount;
        --ps.ordinal;
        if (ps.classEnd > open) --ps.classEnd;
        // Options set inside (only "(?x)" can leave a group simple) end with it.
        ps.options = outer;
        ps.cur = paren + 1;
        return qelOk;
    }

    const int32_t closeIndex = ps.nodeCount;
    int32_t loopFlag = 0;
    if ((kind == RE_CAPTURE || kind == RE_GROUP) && bodyLen > 0 && is_repeat(nodes[closeIndex - 1].w0) &&
        simple == 1)
        loopFlag = 1;
    nodes[closeIndex] = RegExpNode{RE_CLOSE, 0, static_cast<int32_t>(outer), loopFlag, 0, 0};
    ps.options = outer;

    const bool negative = is_lookaround(kind) || kind == RE_ATOMIC;
    const int32_t link = negative ? -ord : ord;
    nodes[open].w2 = bodyLen;

    if (kind == RE_COND) {
        int32_t yes;
        if (bodyLen > 0 && nodes[bodyStart].w0 == RE_BACKREF) {
            yes = open + 2;
        } else if (bodyLen > 0 && is_lookaround(nodes[bodyStart].w0)) {
            yes = open + nodes[bodyStart].w2 + 3;
        } else {
            return ps.fail(qelErrRegExpGroup, paren);
        }
        if (yes < closeIndex && is_repeat(nodes[yes].w0)) return ps.fail(qelErrRegExpGroup, paren);
    }

    if (kind == RE_LOOKBEHIND || kind == RE_NLOOKBEHIND) {
        auto bad = [](const RegExpNode& n) { return n.w0 == RE_BACKREF || (is_repeat(n.w0) && n.w1 != n.w2); };
        if (body_has(nodes, bodyStart, closeIndex, bad)) return ps.fail(qelErrRegExpGroup, paren);
        int32_t width = fixed_width(nodes, bodyStart, closeIndex);
        if (width < 0) return ps.fail(qelErrRegExpGroup, paren);
        nodes[open].w3 = width;
    }

    nodes[open].w1 = link;
    nodes[closeIndex].w1 = link;
    int32_t bars = 0;
    for (int32_t i = bodyStart; i < closeIndex; ++i) {
        if (nodes[i].w0 == RE_ALT_END && nodes[i].w1 == groupDepth) {
            nodes[i].w1 = link;
            ++bars;
        }
    }
    if (kind == RE_COND && bars > 1) return ps.fail(qelErrRegExpGroup, paren);

    ps.nodeCount = closeIndex + 1;
    ps.cur = paren + 1;
    return qelOk;
}

}  // namespace qel::re
