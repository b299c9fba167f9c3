// Class parser: one bracket class "[...]" into an RE_CLASS header and its
// members, or into the single member when a plain class holds exactly one
// RE_CHAR or RE_PREDEF.
//
// Invariants while the member loop runs:
// - nodes[header] is the RE_CLASS node; every node after it is a member.
// - At most one range is pending (waiting for its upper end), and only as the
//   last node; `pending` says so. A complete range may have a high end of 0
//   ("[\0-\0]"), so the node's w2 cannot tell the two apart.
// - Every read of the pattern stops at its terminating zero: multi-byte
//   forms check each byte before looking at the next.
//
// Error offsets are reported by leaving the cursor on the byte concerned.
#include <algorithm>

#include "regex/compile/parse.h"

namespace qel::re {

namespace {

constexpr int32_t kComplemented = -1;  // member w3: matches what its test rejects
constexpr int32_t kMaxCodePoint = 0x7FFFFFFF;  // the largest value the UTF-8 reading rule gives

struct PosixRange {
    int32_t low;
    int32_t high;  // equal to low: an RE_CHAR member
};

struct PosixClass {
    const char* name;
    int32_t length;
    int32_t count;
    PosixRange ranges[4];
};

// "word" is handled apart: it becomes RE_PREDEF 'w' (or 'W' when negated).
constexpr PosixClass kPosixClasses[] = {
    {"alnum", 5, 3, {{0x61, 0x7A}, {0x41, 0x5A}, {0x30, 0x39}}},
    {"alpha", 5, 2, {{0x61, 0x7A}, {0x41, 0x5A}}},
    {"ascii", 5, 1, {{0x00, 0x7F}}},
    {"blank", 5, 2, {{0x20, 0x20}, {0x09, 0x09}}},
    {"cntrl", 5, 1, {{0x00, 0x1F}}},
    {"digit", 5, 1, {{0x30, 0x39}}},
    {"graph", 5, 1, {{0x21, 0xFF}}},
    {"lower", 5, 1, {{0x61, 0x7A}}},
    {"print", 5, 1, {{0x20, 0xFF}}},
    {"punct", 5, 4, {{0x20, 0x2F}, {0x3A, 0x40}, {0x5B, 0x60}, {0x7B, 0xFF}}},
    {"space", 5, 2, {{0x09, 0x0D}, {0x20, 0x20}}},
    {"upper", 5, 1, {{0x41, 0x5A}}},
    {"word", 4, 0, {}},
    {"xdigit", 6, 3, {{0x61, 0x66}, {0x41, 0x46}, {0x30, 0x39}}},
};

bool is_octal(char c) { return c >= '0' && c <= '7'; }
bool is_alnum(char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
    return -1;
}

// Decodes one UTF-8 character at p. An invalid or over-long sequence yields
// its first byte alone. Surrogate values are accepted.
uint32_t decode_utf8(const char*& p) {
    const uint8_t lead = uint8_t(*p);
    int n = 0;
    while (n < 8 && (lead & (0x80u >> n)) != 0) ++n;
    if (n >= 2 && n <= 6) {
        uint32_t value = lead & (0x7Fu >> n);
        int i = 1;
        for (; i < n; ++i) {
            const uint8_t b = uint8_t(p[i]);  // p[i-1] was not the terminator
            if ((b & 0xC0) != 0x80) break;
            value = (value << 6) | (b & 0x3F);
        }
        static constexpr uint32_t kShortestAbove[7] = {0, 0, 0x7F, 0x7FF, 0xFFFF, 0x1FFFFF, 0x3FFFFFF};
        if (i == n && value > kShortestAbove[n]) {
            p += n;
            return value;
        }
    }
    ++p;
    return lead;
}

class ClassParser {
public:
    ClassParser(RegExpNode* nodes, int32_t& nodeCount) : nodes_(nodes), nodeCount_(nodeCount) {}

    QelStatus parse(const char*& cursor);

private:
    RegExpNode& last() { return nodes_[nodeCount_ - 1]; }

    void append(uint32_t kind, int32_t w1, int32_t w2, int32_t w3) {
        RegExpNode& n = nodes_[nodeCount_++];
        n.w0 = kind;
        n.w1 = w1;
        n.w2 = w2;
        n.w3 = w3;
        n.w4 = 0;
        n.w5 = 0;
    }

    // A pending range that gets no upper end goes back to the member it was
    // made from, followed by a literal hyphen.
    void undo_pending() {
        if (!pending_) return;
        pending_ = false;
        last().w0 = pendingKind_;
        last().w2 = 0;
        append(RE_CHAR, '-', 0, 0);
    }

    // Adds a value as a new member, or as the upper end of the pending range.
    // `errorAt` is the byte reported when the range would be reversed.
    QelStatus add_value(uint32_t v, uint32_t newKind, const char* errorAt, const char*& cursor) {
        if (pending_) {
            // Signed, as the matcher compares: "\x{FFFFFFFF}" or a "\c" of a
            // control byte (negative values) cannot end a range.
            if (int32_t(v) < last().w1) {
                cursor = errorAt;
                return qelErrRegExpCharClass;
            }
            last().w2 = int32_t(v);
            pending_ = false;
            return qelOk;
        }
        append(newKind, int32_t(v), 0, 0);
        return qelOk;
    }

    QelStatus hyphen(const char*& p);
    QelStatus posix_item(const char*& p);
    void append_outside(const PosixClass& c);
    QelStatus escape(const char*& p);
    QelStatus close(const char*& p);

    RegExpNode* nodes_;
    int32_t& nodeCount_;
    int32_t header_ = 0;
    bool pending_ = false;
    uint32_t pendingKind_ = RE_CHAR;
    // nodeCount_ right after the last POSIX item: its RE_CHAR members
    // ("blank", "space") are not range starts, whatever their kind.
    int32_t posixEnd_ = -1;
};

QelStatus ClassParser::hyphen(const char*& p) {
    if (pending_) {  // "a--": the hyphen is the upper end
        if (last().w1 > '-') return qelErrRegExpCharClass;
        last().w2 = '-';
        pending_ = false;
        ++p;
        return qelOk;
    }
    const bool canStart = nodeCount_ != posixEnd_ && (last().w0 == RE_CHAR || last().w0 == RE_UCHAR);
    if (p[1] == ']' || !canStart) {
        append(RE_CHAR, '-', 0, 0);
    } else {
        pendingKind_ = last().w0;
        last().w0 = RE_RANGE;
        last().w2 = 0;
        pending_ = true;
    }
    ++p;
    return qelOk;
}

// A negated item of several ranges must accept exactly the characters
// outside all of them. Complementing each range on its own would not do: the
// class accepts when any member accepts, so "[[:^alpha:]]" would take every
// letter (each lies outside the other range). The gaps between the ranges,
// up to the largest code point, are written as ranges instead, marked as the
// gaps of one item (under ignore-case the item still has to reject every case
// form of what its ranges hold: "k" for U+212A KELVIN SIGN).
void ClassParser::append_outside(const PosixClass& c) {
    // At most four ranges: an insertion sort by low end.
    PosixRange sorted[4];
    for (int32_t k = 0; k < c.count; ++k) {
        int32_t j = k;
        for (; j > 0 && sorted[j - 1].low > c.ranges[k].low; --j) sorted[j] = sorted[j - 1];
        sorted[j] = c.ranges[k];
    }
    int64_t next = 0;
    for (int32_t k = 0; k < c.count; ++k) {
        if (sorted[k].low > next) append(RE_RANGE, int32_t(next), sorted[k].low - 1, RE_RANGE_GAP);
        if (sorted[k].high + 1 > next) next = sorted[k].high + 1;
    }
    static_assert(kMaxCodePoint == RE_GAP_END);
    append(RE_RANGE, int32_t(next), kMaxCodePoint, RE_RANGE_GAP);
}

// p on "[" followed by ':', '.' or '='.
QelStatus ClassParser::posix_item(const char*& p) {
    const char delimiter = p[1];
    const char* name = p + 2;
    const bool negated = *name == '^';
    if (negated) ++name;
    for (const PosixClass& c : kPosixClasses) {
        int32_t i = 0;
        while (i < c.length && name[i] == c.name[i]) ++i;
        if (i < c.length || name[i] != delimiter || name[i + 1] != ']') continue;
        undo_pending();
        if (c.count == 0) {
            append(RE_PREDEF, negated ? 'W' : 'w', 0, 0);
        } else if (negated && c.count > 1) {
            append_outside(c);
        } else {
            for (int32_t k = 0; k < c.count; ++k) {
                const PosixRange& r = c.ranges[k];
                if (r.low == r.high) append(RE_CHAR, r.low, 0, negated ? kComplemented : 0);
                else append(RE_RANGE, r.low, r.high, negated ? kComplemented : 0);
            }
        }
        posixEnd_ = nodeCount_;
        p = name + c.length + 2;
        return qelOk;
    }
    // Not a known item. A delimiter closed by "]" (or by the end of the
    // pattern) still looks like one and is refused; otherwise the "[" and
    // the delimiter are two ordinary members.
    if (p[2] != ']') {
        for (const char* s = p + 2; *s != '\0'; ++s) {
            if (*s != delimiter) continue;
            if (s[1] == ']' || s[1] == '\0') return qelErrRegExpCharClass;  // at the item's "["
        }
    }
    const char* at = p;
    QelStatus st = add_value(uint8_t(p[0]), RE_CHAR, at, p);
    if (st != qelOk) return st;
    at = p + 1;
    st = add_value(uint8_t(p[1]), RE_CHAR, at, p);
    if (st != qelOk) return st;
    p += 2;
    return qelOk;
}

// p on the backslash.
QelStatus ClassParser::escape(const char*& p) {
    const char* e = p + 1;
    const char letter = *e;
    uint32_t v = 0;
    uint32_t kind = RE_CHAR;
    const char* errorAt = is_alnum(letter) ? e : p;  // reversed-range offset
    const char* next = e + 1;
    switch (letter) {
    case '\0':  // a lone backslash at the end of the pattern
        p = e;
        return qelErrRegExpCharClass;
    case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
        const char* d = e;
        for (int i = 0; i < 3 && is_octal(*d); ++i, ++d) v = v * 8 + uint32_t(*d - '0');
        errorAt = d - 1;
        next = d;
        break;
    }
    case 'a': v = 7; break;
    case 'b': v = 8; break;
    case 'e': v = 27; break;
    case 'f': v = 12; break;
    case 'n': v = 10; break;
    case 'r': v = 13; break;
    case 't': v = 9; break;
    case 'v': v = 11; break;
    case 'c': {
        const uint8_t x = uint8_t(e[1]);
        if (x == 0) {  // "\c" at the end of the pattern
            p = e + 1;
            return qelErrRegExpCharClass;
        }
        if (x >= 0x20 && x <= 0x3F) v = x + 64u;
        else if (x >= 0x60 && x <= 0x7A) v = x - 96u;
        else v = uint32_t(int32_t(x) - 64);
        next = e + 2;
        break;
    }
    case 'x': {
        if (e[1] == '{') {
            const char* d = e + 2;
            for (int i = 0; i < 8 && hex_value(*d) >= 0; ++i, ++d) v = (v << 4) | uint32_t(hex_value(*d));
            if (*d != '}') {
                p = d;
                return qelErrRegExpEscape;
            }
            kind = RE_UCHAR;
            errorAt = d;
            next = d + 1;
        } else {
            const char* d = e + 1;
            for (int i = 0; i < 2 && hex_value(*d) >= 0; ++i, ++d) v = (v << 4) | uint32_t(hex_value(*d));
            errorAt = d == e + 1 ? e : d - 1;
            next = d;
        }
        break;
    }
    case 'd': case 'D': case 's': case 'S': case 'w': case 'W':
        undo_pending();
        append(RE_PREDEF, letter, 0, 0);
        p = next;
        return qelOk;
    case 'p': case 'P': {
        undo_pending();
        const char* q = e;
        if (ownRegExpParseProperty(q, nodes_, nodeCount_, letter == 'P' ? -1 : 0) != 0) {
            p = q;
            return qelErrRegExpEscape;
        }
        p = q;
        return qelOk;
    }
    case 'Q': {
        const char* q = e + 1;
        if (q[0] == '\\' && q[1] == 'E') undo_pending();  // "\Q\E" gives no upper end
        while (!(q[0] == '\\' && q[1] == 'E')) {
            if (*q == '\0') {  // not closed by "\E"
                p = q;
                return qelErrRegExpCharClass;
            }
            const QelStatus st = add_value(uint8_t(*q), RE_CHAR, q, p);
            if (st != qelOk) return st;
            ++q;
        }
        p = q + 2;
        return qelOk;
    }
    case 'E':
        p = next;
        return qelOk;
    case '8': case '9':  // no octal digit: the digit itself
    default:
        v = uint8_t(letter);
        break;
    }
    const QelStatus st = add_value(v, kind, errorAt, p);
    if (st != qelOk) return st;
    p = next;
    return qelOk;
}

// p on the closing "]".
QelStatus ClassParser::close(const char*& p) {
    undo_pending();  // "[a-\E]": the hyphen stays a literal member
    const int32_t members = nodeCount_ - header_ - 1;
    if (members == 0) return qelErrRegExpGroup;
    RegExpNode& h = nodes_[header_];
    if (members == 1 && h.w1 == 0) {
        const RegExpNode& m = nodes_[header_ + 1];
        if (m.w0 == RE_CHAR && m.w1 == '^' && m.w3 == 0) return qelErrRegExpGroup;
        // A member from 0x80 up stays inside its class: as a bare RE_CHAR it
        // would compare one byte, and never meet the character in UTF-8 text.
        if (((m.w0 == RE_CHAR && (m.w1 < 0x80 || m.w1 > 0xFF)) || m.w0 == RE_PREDEF) && m.w3 == 0) {
            h = m;
            nodeCount_ = header_ + 1;
            ++p;
            return qelOk;
        }
    }
    h.w2 = members;
    ++p;
    return qelOk;
}

QelStatus ClassParser::parse(const char*& cursor) {
    const char* p = cursor + 1;
    header_ = nodeCount_;
    append(RE_CLASS, 0, 0, 0);
    if (*p == '^') {
        nodes_[header_].w1 = -1;
        ++p;
    }
    if (*p == ']' || *p == '-') {  // a leading "]" or "-" is a member
        append(RE_CHAR, uint8_t(*p), 0, 0);
        ++p;
    }

    for (;;) {
        const char c = *p;
        QelStatus st = qelOk;
        if (c == '\0') {
            cursor = p;
            return qelErrRegExpCharClass;
        }
        if (c == ']') {
            st = close(p);
            cursor = p;
            return st;
        }
        if (c == '[' && (p[1] == ':' || p[1] == '.' || p[1] == '=')) {
            st = posix_item(p);
        } else if ((c == ':' || c == '.' || c == '=') && p[-1] == '[') {
            // A POSIX item without its outer brackets ("[:alpha:]") is refused.
            for (const char* s = p + 1; *s != '\0' && *s != ']'; ++s) {
                if (*s == c) {
                    cursor = p;
                    return qelErrRegExpCharClass;
                }
            }
            st = add_value(uint8_t(c), RE_CHAR, p, p);
            if (st == qelOk) ++p;
        } else if (c == '-') {
            st = hyphen(p);
        } else if (c == '\\') {
            st = escape(p);
        } else {
            const char* at = p;
            const char* q = p;
            const uint32_t v = decode_utf8(q);
            st = add_value(v, v < 0x100 ? RE_CHAR : RE_UCHAR, at, p);
            if (st == qelOk) p = q;
        }
        if (st != qelOk) {
            cursor = p;
            return st;
        }
    }
}

}  // namespace

// The pattern start is part of the shared signature; the parser needs only the
// cursor, since it never looks before the class's own "[".
QelStatus ownRegExpParseClass([[maybe_unused]] const char* pattern, const char*& cursor, RegExpNode* nodes,
                              int32_t& nodeCount) {
    ClassParser parser(nodes, nodeCount);
    return parser.parse(cursor);
}

}  // namespace qel::re
