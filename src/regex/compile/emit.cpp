// The emitting pass: literal runs, escapes, predefined items and quantifiers.
//
// Literal bytes are collected into a pending run and written as one RE_CHAR
// or RE_STRING when something else follows (a flush). A quantifier splits the
// run so that it applies to the last byte only. Top-level literal nodes carry
// the options in force in w3 and become the prefilter candidate; the
// finishing pass keeps the candidate only if nothing but repeats follows it.
#include "regex/compile/compiler.h"
#include "regex/compile/parse.h"

namespace qel::re {

namespace {

bool is_octal(unsigned char c) { return c >= '0' && c <= '7'; }
int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
bool is_space_byte(unsigned char c) { return c == '\n' || c == '\t' || c == '\f' || c == '\r' || c == ' '; }

int32_t saturating_add(int32_t a, int32_t b) {
    int64_t s = int64_t(a) + b;
    return s > RE_UNBOUNDED ? RE_UNBOUNDED : static_cast<int32_t>(s);
}

// Writes `count` pattern bytes ending just before `end` as one literal node.
void write_literal(Parser& ps, const char* end, int32_t count) {
    if (count == 1) {
        ps.push(RE_CHAR, static_cast<unsigned char>(end[-1]));
    } else {
        RegExpNode& n = ps.push(RE_STRING, 0, count);
        set_node_pointer(n, end);  // pattern position; the finishing pass copies the bytes
    }
}

// A literal node just written at top level is the prefilter candidate.
void note_prefilter(Parser& ps) {
    if (ps.depth == 0 && ps.prefilter != -2) {
        ps.prefilter = ps.nodeCount - 1;
        ps.nodes[ps.prefilter].w3 = static_cast<int32_t>(ps.options);
    }
}

void escaped_char(Parser& ps, int32_t value) {
    ps.push(RE_CHAR, value);
    note_prefilter(ps);
}

// A PREDEF node that stands on its own, not as the last member of a class
// (merging "\d" into "[a\d]" would turn "[a\d]\d" into "[a\d]{2}").
bool standalone_predef(const Parser& ps, int32_t index, int32_t letter) {
    return index >= 0 && ps.nodes[index].w0 == RE_PREDEF && ps.nodes[index].w1 == letter &&
           ps.classEnd != index + 1;
}

// Decimal digits at p, saturating at the unbounded value; returns the count.
int read_count(const Parser& ps, const char*& p, int32_t* value) {
    int digits = 0;
    int32_t v = 0;
    while (is_decimal(ps.at(p))) {
        int64_t next = int64_t(v) * 10 + (ps.at(p) - '0');
        v = next > RE_UNBOUNDED ? RE_UNBOUNDED : static_cast<int32_t>(next);
        ++p;
        ++digits;
    }
    *value = v;
    return digits;
}

// The bounds of a quantifier whose shape has been checked, read without
// judging them, so that an item can look at the quantifier that follows it.
struct Bounds {
    int32_t lo, hi;
    int32_t n, m;        // the counts as written (0 when absent)
    const char* mStart;  // first digit of m, or null
    const char* next;    // the byte after the quantifier (a lazy '?' not included)
};

Bounds scan_bounds(const Parser& ps, const char* q) {
    switch (*q) {
        case '*': return {0, RE_UNBOUNDED, 0, 0, nullptr, q + 1};
        case '+': return {1, RE_UNBOUNDED, 0, 0, nullptr, q + 1};
        case '?': return {0, 1, 0, 0, nullptr, q + 1};
        default: break;
    }
    Bounds b{0, 0, 0, 0, nullptr, nullptr};
    const char* p = q + 1;
    int nDigits = read_count(ps, p, &b.n);
    b.lo = b.hi = b.n;
    if (ps.at(p) == ',') {
        const char* mStart = ++p;
        int mDigits = read_count(ps, p, &b.m);
        b.hi = mDigits ? b.m : RE_UNBOUNDED;
        b.mStart = mDigits ? mStart : nullptr;
    } else if (!nDigits) {
        b.lo = b.hi = 0;  // "{}"
    }
    b.next = p + 1;  // past '}' (the shape test guarantees it)
    return b;
}

// Two repeats of the same single item add up to one repeat only when they
// agree on preference: "\d*\d+" is "\d{1,}", "\d*?\d+?" is "\d{1,}?", but
// "\d+?\d{0,2}" is neither. A fixed count has no preference of its own.
bool merge_keeps_meaning(const Parser& ps, const RegExpNode& repeat, const char* q) {
    Bounds b = scan_bounds(ps, q);
    bool lazy = ps.at(b.next) == '?';
    return repeat.w1 == repeat.w2 || b.lo == b.hi || lazy == (repeat.w0 == RE_LAZY);
}

// ".", "\d" ... with the cursor already past the item. Runs of the same item
// merge into one PREDEF with a counted repeat.
void predefined(Parser& ps, char letter) {
    int32_t n = ps.nodeCount;
    const char* after = next_significant(ps, ps.cur, ps.options);
    bool quantified = quantifier_shape(ps, after);
    if (standalone_predef(ps, n - 1, letter)) {
        int32_t c = quantified ? 1 : 2;
        ps.push(RE_GREEDY, c, c);
    } else if (n >= 2 && standalone_predef(ps, n - 2, letter) && is_repeat(ps.nodes[n - 1].w0) &&
               (!quantified || merge_keeps_meaning(ps, ps.nodes[n - 1], after))) {
        if (!quantified) {
            ps.nodes[n - 1].w1 = saturating_add(ps.nodes[n - 1].w1, 1);
            ps.nodes[n - 1].w2 = saturating_add(ps.nodes[n - 1].w2, 1);
        }
    } else {
        ps.push(RE_PREDEF, letter);
    }
}

QelStatus escape(Parser& ps) {
    const char* bs = ps.cur;
    const char* p = bs + 1;
    unsigned char e = ps.at(p);
    switch (e) {
        case 0:
            // A lone trailing backslash escapes nothing.
            return ps.fail(qelErrRegExpEscape, bs);
        case '0': {
            int32_t v = 0;
            ++p;
            for (int k = 0; k < 2 && is_octal(ps.at(p)); ++k, ++p) v = v * 8 + (ps.at(p) - '0');
            escaped_char(ps, v);
            ps.cur = p;
            return qelOk;
        }
        case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9': {
            if (!is_decimal(ps.at(p + 1))) {
                int32_t d = e - '0';
                if (d >= ps.captureCount) return ps.fail(qelErrRegExpReference, p);
                ps.push(RE_BACKREF, d);
                ps.cur = p + 1;
                return qelOk;
            }
            int32_t n = 0, octal = 0;
            int digits = 0, octalDigits = 0;
            bool octalRun = true;
            for (; digits < 3 && is_decimal(ps.at(p + digits)); ++digits) {
                unsigned char d = ps.at(p + digits);
                n = n * 10 + (d - '0');
                if (octalRun && is_octal(d)) {
                    octal = octal * 8 + (d - '0');
                    ++octalDigits;
                } else {
                    octalRun = false;
                }
            }
            if (n < ps.captureCount) {
                ps.push(RE_BACKREF, n);
                ps.cur = p + digits;
            } else {
                escaped_char(ps, octal);
                ps.cur = p + octalDigits;  // the other digits are read again as literals
            }
            return qelOk;
        }
        case 'a': escaped_char(ps, 7); break;
        case 'e': escaped_char(ps, 27); break;
        case 'f': escaped_char(ps, 12); break;
        case 'n': escaped_char(ps, 10); break;
        case 'r': escaped_char(ps, 13); break;
        case 't': escaped_char(ps, 9); break;
        case 'v': escaped_char(ps, 11); break;
        case 'c': {
            unsigned char x = ps.at(p + 1);
            if (x == 0) return ps.fail(qelErrRegExpEscape, bs);
            int32_t v = (x >= 0x20 && x <= 0x3F) ? x + 64 : (x >= 0x60 && x <= 0x7A) ? x - 96 : x - 64;
            escaped_char(ps, v);
            ps.cur = p + 2;
            return qelOk;
        }
        case 'x': {
            if (ps.at(p + 1) == '{') {
                const char* q = p + 2;
                uint32_t v = 0;
                for (int k = 0; k < 8 && hex_value(ps.at(q)) >= 0; ++k, ++q) v = v * 16 + uint32_t(hex_value(ps.at(q)));
                if (ps.at(q) != '}') return ps.fail(qelErrRegExpEscape, p + 2);
                ps.push(RE_UCHAR, static_cast<int32_t>(v));
                ps.cur = q + 1;
                return qelOk;
            }
            const char* q = p + 1;
            int32_t v = 0;
            for (int k = 0; k < 2 && hex_value(ps.at(q)) >= 0; ++k, ++q) v = v * 16 + hex_value(ps.at(q));
            escaped_char(ps, v);
            ps.cur = q;
            return qelOk;
        }
        case 'd': case 'D': case 's': case 'S': case 'w': case 'W':
            ps.cur = p + 1;
            predefined(ps, static_cast<char>(e));
            return qelOk;
        case 'A': case 'B': case 'G': case 'Z': case 'b': case 'z':
            ps.push(RE_ANCHOR, e);
            break;
        case 'C': ps.push(RE_BYTE); break;
        case 'X': ps.push(RE_GRAPHEME); break;
        case 'p': case 'P': {
            const char* q = p;
            if (ownRegExpParseProperty(q, ps.nodes, ps.nodeCount, e == 'P' ? -1 : 0) != 0)
                return ps.fail(qelErrRegExpEscape, q);
            ps.cur = q;
            return qelOk;
        }
        case 'Q': {
            const char* s = p + 1;
            while (s < ps.end && !(s[0] == '\\' && ps.at(s + 1) == 'E')) ++s;
            int32_t count = static_cast<int32_t>(s - (p + 1));
            if (count > 0) {
                write_literal(ps, s, count);
                note_prefilter(ps);
            }
            ps.cur = s < ps.end ? s + 2 : ps.end;
            return qelOk;
        }
        case 'E': break;
        default:
            // Any other escaped byte is literal and starts a new run.
            ps.runCount = 1;
            ps.runEnd = p + 1;
            break;
    }
    ps.cur = p + 1;
    return qelOk;
}

// Reads the bounds of the quantifier at the cursor; on success the cursor is
// past the bounds (not yet past a lazy '?').
QelStatus read_bounds(Parser& ps, int32_t* minOut, int32_t* maxOut) {
    const char* q = ps.cur;
    Bounds b = scan_bounds(ps, q);
    ps.cur = b.next;
    if (b.n > RE_COUNT_MAX) return ps.fail(qelErrRegExpQuantifier, q + 1);
    if (b.mStart && b.m > RE_COUNT_MAX) return ps.fail(qelErrRegExpQuantifier, b.mStart);
    if (b.lo > b.hi) return ps.fail(qelErrRegExpQuantifier, q + 1);
    *minOut = b.lo;
    *maxOut = b.hi;
    return qelOk;
}

QelStatus quantifier(Parser& ps) {
    const char* q = ps.cur;
    int32_t lo, hi;
    QelStatus st = read_bounds(ps, &lo, &hi);
    if (st != qelOk) return st;
    // "(?x)" writes no node, so the node before it would take the quantifier
    // ("a*(?x)+" read as "a+"); like any option setting it has nothing to repeat.
    if (ps.optionSettingEnd != nullptr && ps.itemEnd == ps.optionSettingEnd)
        return ps.fail(qelErrRegExpQuantifier, q);

    bool hadRun = ps.runCount > 0;
    if (hadRun) {
        // The quantifier binds to the run's last byte only.
        if (ps.runCount > 1) write_literal(ps, ps.runEnd - 1, ps.runCount - 1);
        ps.push(RE_CHAR, static_cast<unsigned char>(ps.runEnd[-1]));
        ps.runCount = 0;
    } else if (ps.nodeCount > 0 && ps.nodes[ps.nodeCount - 1].w0 == RE_STRING && ps.classEnd != ps.nodeCount) {
        // A run already written ("\Qab\E*", "ab *" under "x", "ab(?#c)*"):
        // the same split, so that the quantifier binds to its last byte as
        // well. The matcher has no repeat of a whole string.
        RegExpNode& run = ps.nodes[ps.nodeCount - 1];
        const char* end = static_cast<const char*>(node_pointer(run));
        const unsigned char lastByte = static_cast<unsigned char>(end[-1]);
        if (run.w2 == 2) {
            run.w0 = RE_CHAR;
            run.w1 = static_cast<unsigned char>(end[-2]);
            run.w2 = 0;
            set_node_pointer(run, nullptr);
        } else {
            run.w2 -= 1;
            set_node_pointer(run, end - 1);
        }
        ps.push(RE_CHAR, lastByte);
    }
    if (ps.nodeCount == 0) return ps.fail(qelErrRegExpQuantifier, q);

    int32_t last = ps.nodeCount - 1;
    RegExpNode& operand = ps.nodes[last];
    uint32_t kind = operand.w0;
    if (is_repeat(kind)) {
        // White space and comments between two quantifiers are no item:
        // "a* +" under "x", "a*#c\n+" and "a*(?#c)+" are "a*+" as written
        // without them.
        const char* b = ps.itemEnd;
        unsigned char before = b > ps.pattern ? static_cast<unsigned char>(b[-1]) : 0;
        if (before == '*' || before == '+' || before == '?' || before == '}')
            return ps.fail(qelErrRegExpQuantifier, q);
        // A repeat made by merging predefined items absorbs the quantifier.
        // The sum keeps the preference of whichever part has one (a lazy
        // quantifier after a fixed count stays lazy: "\w\w{1,3}?").
        bool lazy = ps.at(ps.cur) == '?';
        if (lazy) ++ps.cur;
        bool oldFixed = operand.w1 == operand.w2, newFixed = lo == hi;
        bool oldLazy = operand.w0 == RE_LAZY;
        bool resultLazy = oldFixed ? (!newFixed && lazy) : newFixed ? oldLazy : (oldLazy && lazy);
        operand.w0 = resultLazy ? RE_LAZY : RE_GREEDY;
        operand.w1 = saturating_add(operand.w1, lo);
        operand.w2 = saturating_add(operand.w2, hi);
        return qelOk;
    }
    if (kind == RE_ALT_END || (kind >= RE_LOOKBEHIND && kind <= RE_NLOOKAHEAD) || kind == RE_GROUP_OPTS ||
        kind == RE_CAPTURE || kind == RE_GROUP || kind == RE_ATOMIC || kind == RE_SETOPTS)
        return ps.fail(qelErrRegExpQuantifier, q);
    if ((kind == RE_CHAR || kind == RE_UCHAR) && ps.prefilter != -2) {
        if (ps.depth == 0 && lo >= 1 && hadRun) {
            ps.prefilter = last;
            operand.w3 = static_cast<int32_t>(ps.options);
        } else {
            ps.prefilter = -1;
        }
    }
    bool lazy = ps.at(ps.cur) == '?';
    if (lazy) ++ps.cur;
    ps.push(lazy ? RE_LAZY : RE_GREEDY, lo, hi);

    if (kind == RE_CLOSE) {
        RegExpNode& close = ps.nodes[last];
        if (close.w3 == 1) close.w3 = -1;
        // A repeated look-around tests the same position each time: with a
        // minimum of one it is the look-around itself, with zero it is nothing.
        for (int32_t i = last - 1; i >= 0; --i) {
            if (is_group_open(ps.nodes[i].w0) && ps.nodes[i].w1 == close.w1) {
                if (is_lookaround(ps.nodes[i].w0)) ps.nodeCount = lo >= 1 ? ps.nodeCount - 1 : i;
                if (ps.classEnd > ps.nodeCount) ps.classEnd = -1;
                break;
            }
        }
    }
    return qelOk;
}

QelStatus bracket_class(Parser& ps) {
    int32_t start = ps.nodeCount;
    const char* c = ps.cur;
    QelStatus st = ownRegExpParseClass(ps.pattern, c, ps.nodes, ps.nodeCount);
    if (st != qelOk) return ps.fail(st, c);
    ps.cur = c;
    if (ps.nodeCount > start && ps.nodes[start].w0 == RE_CLASS) ps.classEnd = ps.nodeCount;
    return qelOk;
}

// Under "x" white space and "#" comments to the line feed, and "(?#...)"
// comments in any mode: text that stands for nothing.
bool ignorable_at(const Parser& ps, const char* p, uint32_t options) {
    const unsigned char c = ps.at(p);
    if ((options & RE_OPT_EXTENDED) && (is_space_byte(c) || c == '#')) return true;
    return c == '(' && ps.at(p + 1) == '?' && ps.at(p + 2) == '#';
}

}  // namespace

const char* next_significant(const Parser& ps, const char* p, uint32_t options) {
    while (ignorable_at(ps, p, options)) {
        if (*p == '(') {
            p += 3;
            while (p < ps.end && *p != ')') ++p;
            if (p < ps.end) ++p;
        } else if (*p == '#') {
            while (p < ps.end && *p != '\n') ++p;
        } else {
            ++p;
        }
    }
    return p;
}

bool quantifier_shape(const Parser& ps, const char* p) {
    unsigned char c = ps.at(p);
    if (c == '*' || c == '+' || c == '?') return true;
    if (c != '{') return false;
    ++p;
    while (is_decimal(ps.at(p))) ++p;
    if (ps.at(p) == ',') {
        ++p;
        while (is_decimal(ps.at(p))) ++p;
    }
    return ps.at(p) == '}';
}

void flush_run(Parser& ps) {
    if (ps.runCount == 0) return;
    write_literal(ps, ps.runEnd, ps.runCount);
    note_prefilter(ps);
    ps.runCount = 0;
}

QelStatus emit_pattern(Parser& ps) {
    bool afterIgnorable = false;
    while (ps.cur < ps.end) {
        unsigned char c = static_cast<unsigned char>(*ps.cur);
        bool extended = (ps.options & RE_OPT_EXTENDED) != 0;
        // A quantifier looks back past white space and comments to the end
        // of the item before them.
        if (!afterIgnorable) ps.itemEnd = ps.cur;
        afterIgnorable = ignorable_at(ps, ps.cur, ps.options);
        QelStatus st = qelOk;
        switch (c) {
            case '\n': case '\t': case '\f': case '\r': case ' ':
                if (!extended) goto literal;
                flush_run(ps);
                while (ps.cur < ps.end && is_space_byte(static_cast<unsigned char>(*ps.cur))) ++ps.cur;
                continue;
            case '#':
                if (!extended) goto literal;
                flush_run(ps);
                while (ps.cur < ps.end && *ps.cur != '\n') ++ps.cur;
                if (ps.cur < ps.end) ++ps.cur;
                continue;
            case '^': case '$':
                flush_run(ps);
                ps.push(RE_ANCHOR, c);
                ++ps.cur;
                continue;
            case '.':
                flush_run(ps);
                ++ps.cur;
                predefined(ps, '.');
                continue;
            case '\\': flush_run(ps); st = escape(ps); break;
            case '[': flush_run(ps); st = bracket_class(ps); break;
            case '(': flush_run(ps); st = open_group(ps); break;
            case ')': flush_run(ps); st = close_group(ps); break;
            case '|':
                if (ps.depth == 0) ps.prefilter = -2;
                flush_run(ps);
                ps.push(RE_ALT_END, ps.depth, static_cast<int32_t>(ps.options));
                ++ps.cur;
                continue;
            case '*': case '+': case '?': case '{':
                if (!quantifier_shape(ps, ps.cur)) goto literal;
                st = quantifier(ps);
                break;
            default:
            literal:
                ps.runCount++;
                ps.runEnd = ps.cur + 1;
                ++ps.cur;
                continue;
        }
        if (st != qelOk) return st;
    }
    return qelOk;
}

}  // namespace qel::re
