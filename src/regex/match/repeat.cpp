// Repeats of single items: "x*", "\d+?", "[a-z]{2,5}", "\1*" and the rest.
//
// Every routine matches its copies in a loop and calls the match step only for
// the continuation (the node after the quantifier), so a run of any length
// costs one nested step, not one per copy. Greedy routines take the longest
// run first and give back one copy at a time down to the minimum; lazy
// routines try the continuation first and extend one copy at a time.
//
// Giving back a variable-length copy steps backwards: a character from the
// UTF-8 segmentation of the run (prev_char_length), a cluster from its last
// base character. Only a class that holds "\X" has copies whose start cannot
// be found backwards; it steps over the run again from its start.
//
// Literal pre-test: when the continuation is an unquantified RE_CHAR (or an
// RE_STRING, by its first byte) and case folding is off, a continuation attempt can only succeed where the next byte
// is that literal, so attempts elsewhere are skipped (they would all fail).
// An unquantified end anchor ("$", "\\Z") is tested the same way, with a
// line feed as its byte and the window end allowed as well. Where the
// continuation first closes groups, the plan may name the byte it needs
// after them (closeFollow); without the plan (the general path) the closing
// node is tried at every give-back.
// Record 0's length is exact on every path: added before each continuation,
// and back at its entry value whenever a routine fails.
//
// Every loop over copies charges the work budget once per iteration, so a
// search that backtracks without end is cut even where a loop skips its
// continuation attempts, and a cut unwinds without finishing the loops.
#include <immintrin.h>

#include <cstring>

#include "regex/match/match_internal.h"

namespace qel::re {
namespace {

struct Pretest {
    bool on;
    uint8_t byte;
    bool orEnd;  // the window end is a place where it may succeed too
    bool allows(const uint8_t* e, const uint8_t* end) const { return !on || (e < end ? *e == byte : orEnd); }
};

[[gnu::always_inline]] inline Pretest literal_pretest(const RegExpMatchState& ms, int32_t cont, uint32_t options) {
    if (cont < 0 || cont >= ms.endNode) return {false, 0, false};
    const RegExpNode& n = ms.nodes[cont];
    // An end anchor holds at the window end or before a line feed only
    // ("\\s*$" gives back straight to the line feeds of its run).
    if (n.w0 == RE_ANCHOR && (n.w1 == '$' || n.w1 == 'Z') && quantifier_at(ms, cont + 1) == nullptr)
        return {true, '\n', true};
    if (options & RE_OPT_IGNORECASE) return {false, 0, false};
    // A string is never quantified as a whole: its first byte must stand there.
    if (n.w0 == RE_STRING && n.w2 >= 1 && node_pointer(n) != nullptr)
        return {true, static_cast<const uint8_t*>(node_pointer(n))[0], false};
    if (n.w0 != RE_CHAR || n.w1 < 0 || n.w1 > 255 || quantifier_at(ms, cont + 1) != nullptr) return {false, 0, false};
    return {true, uint8_t(n.w1), false};
}

// Last position x in [lo, hi) holding `byte`, or null.
const uint8_t* last_byte(const uint8_t* lo, const uint8_t* hi, uint8_t byte) {
    if (hi <= lo) return nullptr;
    return static_cast<const uint8_t*>(memrchr(lo, byte, size_t(hi - lo)));
}

// ---- Predefined sets over ASCII, built at compile time. ----
struct PredefTables {
    AsciiSet sets[8];  // d D s S w W . (without s) . (with s)
};
constexpr PredefTables make_predef_tables() {
    PredefTables t{};
    const char letters[6] = {'d', 'D', 's', 'S', 'w', 'W'};
    for (int k = 0; k < 8; ++k) {
        for (int b = 0; b < 0x80; ++b) {
            bool in;
            const bool word = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_';
            const bool space = b == 9 || b == 10 || b == 12 || b == 13 || b == 32;
            const bool digit = b >= '0' && b <= '9';
            if (k < 6) {
                switch (letters[k]) {
                    case 'd': in = digit; break;
                    case 'D': in = !digit; break;
                    case 's': in = space; break;
                    case 'S': in = !space; break;
                    case 'w': in = word; break;
                    default: in = !word; break;
                }
            } else {
                in = b != '\n' || k == 7;
            }
            if (in) t.sets[k].lo[b & 15] = uint8_t(t.sets[k].lo[b & 15] | (1u << (b >> 4)));
        }
    }
    return t;
}
constexpr PredefTables kPredef = make_predef_tables();

const AsciiSet* predef_set(int32_t letter, uint32_t options) {
    switch (letter) {
        case 'd': return &kPredef.sets[0];
        case 'D': return &kPredef.sets[1];
        case 's': return &kPredef.sets[2];
        case 'S': return &kPredef.sets[3];
        case 'w': return &kPredef.sets[4];
        case 'W': return &kPredef.sets[5];
        case '.': return &kPredef.sets[(options & RE_OPT_DOTALL) ? 7 : 6];
        default: return nullptr;
    }
}

// ---- One copy of a character-unit item. ----
struct UnitItem {
    const RegExpNode* nodes;
    int32_t index;
    const RegExpNode* node;
    uint32_t options;
    bool clusterClass;  // a class with a "\X" member: copies found only forwards
    const AsciiSet* ascii;  // the class's compiled ASCII set, or null
    bool noGiveBack;        // the plan showed that giving back never helps
    int32_t followByte;     // the byte the continuation needs past closing groups (plan), or -1

    int32_t length(const uint8_t* p, int32_t r) const {
        switch (node->w0) {
            case RE_PREDEF:
                if (!predef_test(node->w1, p[0], options)) return 0;
                return p[0] < 0x80 ? 1 : read_utf8(p, r).length;
            case RE_GRAPHEME:
                return grapheme_length(p, r);
            case RE_CLASS:
                if (ascii != nullptr && p[0] < 0x80) return ascii_set_has(*ascii, p[0]) ? 1 : 0;
                return class_unit_length(nodes, index, p, r, options);
            default: {
                const Utf8Char ch = read_utf8(p, r);
                return codepoint_item_test(*node, ch, options) ? ch.length : 0;
            }
        }
    }

    // Bytes of the last copy of the run [origin, e).
    int32_t last_length(const uint8_t* origin, const uint8_t* e, const uint8_t* end) const {
        if (node->w0 == RE_GRAPHEME) return prev_grapheme_length(origin, e);
        if (!clusterClass) return prev_char_length(origin, e);
        const uint8_t* q = origin;
        for (;;) {
            const int32_t l = length(q, int32_t(end - q));
            if (q + l >= e) return int32_t(e - q);
            q += l;
        }
    }
};

// ASCII sets as 128-bit masks (bit b = byte b), turned into the nibble
// table of the vector scanner at the end.
using Mask128 = unsigned __int128;
constexpr Mask128 kAllAscii = ~Mask128(0);

constexpr Mask128 range_mask(int lo, int hi) {
    if (lo < 0) lo = 0;
    if (hi > 127) hi = 127;
    if (lo > hi) return 0;
    const Mask128 upTo = hi == 127 ? kAllAscii : (Mask128(1) << (hi + 1)) - 1;
    return upTo & ~((Mask128(1) << lo) - 1);
}
constexpr Mask128 kUpper = range_mask('A', 'Z');
constexpr Mask128 kLower = range_mask('a', 'z');

Mask128 predef_mask(int32_t letter, uint32_t options) {
    const Mask128 digit = range_mask('0', '9');
    const Mask128 space = (Mask128(1) << 9) | (Mask128(1) << 10) | (Mask128(1) << 12) | (Mask128(1) << 13) |
                          (Mask128(1) << 32);
    const Mask128 word = digit | kUpper | kLower | (Mask128(1) << '_');
    switch (letter) {
        case 'd': return digit;
        case 'D': return ~digit;
        case 's': return space;
        case 'S': return ~space;
        case 'w': return word;
        case 'W': return ~word;
        case '.': return (options & RE_OPT_DOTALL) ? kAllAscii : ~(Mask128(1) << 10);
        default: return 0;
    }
}

void mask_to_set(Mask128 m, AsciiSet& out) {
    const uint64_t lo = uint64_t(m), hi = uint64_t(m >> 64);
    constexpr uint64_t kStride16 = 0x0001000100010001ull;
    for (int l = 0; l < 16; ++l)
        out.lo[l] = uint8_t(_pext_u64(lo >> l, kStride16) | (_pext_u64(hi >> l, kStride16) << 4));
}

}  // namespace

// The ASCII members of a class, straight from its members when every member
// is a byte test (RE_CHAR, RE_PREDEF, or RE_RANGE with both ends below 256);
// otherwise by testing the class on each ASCII byte.
void class_ascii_set(const RegExpNode* nodes, int32_t cls, uint32_t opts, AsciiSet& out) {
    const RegExpNode& head = nodes[cls];
    const bool fold = opts & RE_OPT_IGNORECASE;
    Mask128 in = 0;
    for (int32_t i = 1; i <= head.w2; ++i) {
        const RegExpNode& m = nodes[cls + i];
        Mask128 mine = 0;
        switch (m.w0) {
            case RE_CHAR:
                if (m.w1 < 0 || m.w1 > 127) break;
                mine = Mask128(1) << m.w1;
                if (fold && is_ascii_letter(uint8_t(m.w1))) mine |= Mask128(1) << (m.w1 ^ 0x20);
                break;
            case RE_PREDEF:
                mine = predef_mask(m.w1, opts);
                break;
            case RE_RANGE:
                if (m.w1 < 256 && m.w2 < 256) {
                    mine = range_mask(m.w1, m.w2);
                    // A letter also passes when its other case lies in the range.
                    if (fold) mine |= ((range_mask(m.w1, m.w2) >> 32) & kUpper) | ((range_mask(m.w1, m.w2) << 32) & kLower);
                    break;
                }
                [[fallthrough]];
            default: {
                out = {};
                for (int b = 0; b < 0x80; ++b) {
                    const uint8_t byte = uint8_t(b);
                    if (class_unit_length(nodes, cls, &byte, 1, opts) == 1) ascii_set_add(out, byte);
                }
                return;
            }
        }
        in |= (m.w3 == -1) ? ~mine : mine;
    }
    mask_to_set(head.w1 == -1 ? ~in : in, out);
}

namespace {

// Copies taken one by one before a run builds its ASCII set (some 20 ns): most runs in a
// search are short, and they should not pay for the set.
constexpr int32_t kUnitsBeforeSet = 4;

// Supplies the vector scanner's set for a run of u once the run has shown
// itself long enough; null for items without one.
struct FastSet {
    const UnitItem& u;
    AsciiSet scratch;
    const AsciiSet* set = nullptr;
    bool possible;
    int32_t wait = kUnitsBeforeSet;

    FastSet(const UnitItem& item, bool uncounted)
        : u(item), possible(uncounted && item.node->w0 == RE_CLASS && !item.clusterClass) {
        // A predefined set is a constant table: no reason to wait for it.
        if (uncounted && item.node->w0 == RE_PREDEF) set = predef_set(item.node->w1, item.options);
        // Nor for a class whose set the compiler already worked out.
        if (possible && item.ascii != nullptr) set = item.ascii;
    }

    // Called once per copy taken; returns the set once it is worth having.
    const AsciiSet* tick() {
        if (set != nullptr || !possible || --wait > 0) return set;
        class_ascii_set(u.nodes, u.index, u.options, scratch);
        set = &scratch;
        return set;
    }
};

int repeat_units(const uint8_t* p, int32_t r, RegExpMatchState& ms, const UnitItem& u, int32_t min, int32_t max,
                 bool lazy, int32_t cont) {
    const uint8_t* const end = p + r;
    const uint32_t opts = u.options;
    Pretest pre = literal_pretest(ms, cont, opts);
    if (!pre.on && u.followByte >= 0) pre = {true, uint8_t(u.followByte), false};
    CaptureRecord& rec0 = ms.captures[0];
    const int32_t len0 = rec0.length;

    const uint8_t* e = p;
    int64_t count = 0;
    while (count < min) {
        if (e == end || out_of_work(ms)) return 1;
        const int32_t l = u.length(e, int32_t(end - e));
        if (l == 0) return 1;
        e += l;
        ++count;
    }

    // With a maximum no run of the remaining bytes can reach, copies need no
    // counting, and ASCII stretches go through the vector scanner.
    const bool uncounted = int64_t(max) - count >= int64_t(end - e);
    FastSet fastSet(u, uncounted);

    if (lazy) {
        // With the pre-test, the continuation can only succeed where the
        // literal stands, so the copies up to its next occurrence are taken
        // in one scan. An ASCII literal is a character of its own, hence a
        // copy boundary.
        const bool canSkip = pre.on && pre.byte < 0x80;
        const AsciiSet* fast = nullptr;
        for (;;) {
            if (count > max || out_of_work(ms)) break;
            if (pre.allows(e, end)) {
                rec0.length = len0 + int32_t(e - p);
                if (continue_at(e, int32_t(end - e), ms, cont, opts) == 0) return 0;
            }
            if (e == end) break;
            if (canSkip && fast == nullptr) fast = fastSet.tick();
            if (fast != nullptr) {
                const void* hit = std::memchr(e + 1, pre.byte, size_t(end - e - 1));
                const uint8_t* x = hit ? static_cast<const uint8_t*>(hit) : end;
                // The copy at e (the literal itself) and the ones up to x.
                const int32_t first = u.length(e, int32_t(end - e));
                if (first == 0) break;
                const uint8_t* q = e + first;
                while (q < x) {
                    q += ascii_run(q, x - q, *fast);
                    if (q >= x || out_of_work(ms)) break;
                    const int32_t l = u.length(q, int32_t(end - q));
                    if (l == 0) break;
                    q += l;
                }
                if (q < x) break;  // a copy before the next literal did not match
                if (q > x) {
                    // A multi-byte copy ran over x: x was not a boundary after all.
                    e = q;
                    continue;
                }
                e = x;
                continue;
            }
            const int32_t l = u.length(e, int32_t(end - e));
            if (l == 0) break;
            e += l;
            if (!uncounted) ++count;
        }
        rec0.length = len0;
        ms.currentNode = u.index;
        return 1;
    }

    const uint8_t* const minEnd = e;
    const AsciiSet* fast = nullptr;
    while (e < end && count < max) {
        if (out_of_work(ms)) break;
        if (fast != nullptr) {
            e += ascii_run(e, end - e, *fast);
            if (e == end) break;
        }
        const int32_t l = u.length(e, int32_t(end - e));
        if (l == 0) break;
        e += l;
        if (!uncounted) ++count;
        if (fast == nullptr) fast = fastSet.tick();
    }

    const bool jump = pre.on && pre.byte < 0x80 && u.node->w0 != RE_GRAPHEME && !u.clusterClass;
    // A continuation that is an optional group beginning with one byte
    // ("[^"\\]*(?:\\.[^"\\]*)*") is passed over where that byte does not
    // stand, as the group's entry would (with the plan only).
    const OptionalGroup group = ms.plannedCount > 0 && cont < ms.endNode &&
                                        (ms.nodes[cont].w0 == RE_GROUP || ms.nodes[cont].w0 == RE_CAPTURE)
                                    ? optional_group_at(ms, cont)
                                    : OptionalGroup{-1, 0, 0};
    for (;;) {
        if (out_of_work(ms)) break;
        if (pre.allows(e, end)) {
            rec0.length = len0 + int32_t(e - p);
            const int res = group.after >= 0 && !group.may_enter(e, end, opts)
                                ? continue_at(e, int32_t(end - e), ms, group.after, group.closeOpts)
                                : continue_at(e, int32_t(end - e), ms, cont, opts);
            if (res == 0) return 0;
        }
        if (e == minEnd || u.noGiveBack) break;
        if (jump) {
            // An ASCII byte is always a character of its own, so its position
            // is a copy boundary of the run.
            const uint8_t* x = last_byte(minEnd, e, pre.byte);
            if (x == nullptr) break;
            e = x;
            continue;
        }
        e -= u.last_length(p, e, end);
    }
    rec0.length = len0;
    ms.currentNode = u.index;
    return 1;
}

// ---- RE_CHAR: runs of one byte (both cases of a letter under ignore-case). ----
int repeat_char(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t item, int32_t min, int32_t max,
                bool lazy, int32_t cont) {
    const RegExpNode& n = ms.nodes[item];
    if (n.w1 < 0 || n.w1 > 255 || r < min) return 1;
    const uint32_t opts = ms.options;
    const uint8_t c = uint8_t(n.w1);
    const bool fold = (opts & RE_OPT_IGNORECASE) && is_ascii_letter(c);
    const Pretest pre = literal_pretest(ms, cont, opts);
    const uint8_t* const end = p + r;
    CaptureRecord& rec0 = ms.captures[0];
    const int32_t len0 = rec0.length;

    if (byte_run(p, min, c, fold) < min) return 1;
    if (lazy) {
        for (int32_t k = min;; ++k) {
            if (k > max || k > r || out_of_work(ms)) break;
            if (pre.allows(p + k, end)) {
                rec0.length = len0 + k;
                if (continue_at(p + k, r - k, ms, cont, opts) == 0) return 0;
            }
            if (k == r || !char_equal(p[k], c, opts)) break;
        }
    } else {
        const int32_t limit = max < r ? max : r;
        int32_t k = limit > min ? min + int32_t(byte_run(p + min, limit - min, c, fold)) : min;
        const bool noGiveBack = planned_no_give_back(ms, item);
        for (;;) {
            if (out_of_work(ms)) break;
            if (pre.allows(p + k, end)) {
                rec0.length = len0 + k;
                if (continue_at(p + k, r - k, ms, cont, opts) == 0) return 0;
            }
            if (k == min || noGiveBack) break;
            if (pre.on) {
                const uint8_t* x = last_byte(p + min, p + k, pre.byte);
                if (x == nullptr) break;
                k = int32_t(x - p);
            } else {
                --k;
            }
        }
    }
    rec0.length = len0;
    ms.currentNode = item;
    return 1;
}

// ---- RE_BYTE ("\C"): any bytes, so only the count matters. ----
int repeat_byte(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t item, int32_t min, int32_t max,
                bool lazy, int32_t cont) {
    if (r < min) return 1;
    const uint32_t opts = ms.options;
    const Pretest pre = literal_pretest(ms, cont, opts);
    const uint8_t* const end = p + r;
    CaptureRecord& rec0 = ms.captures[0];
    const int32_t len0 = rec0.length;
    const int32_t top = max < r ? max : r;
    if (lazy) {
        for (int32_t k = min; k <= top; ++k) {
            if (out_of_work(ms)) break;
            if (!pre.allows(p + k, end)) continue;
            rec0.length = len0 + k;
            if (continue_at(p + k, r - k, ms, cont, opts) == 0) return 0;
        }
    } else {
        for (int32_t k = top; k >= min; --k) {
            if (out_of_work(ms)) break;
            if (!pre.allows(p + k, end)) continue;
            rec0.length = len0 + k;
            if (continue_at(p + k, r - k, ms, cont, opts) == 0) return 0;
        }
    }
    rec0.length = len0;
    ms.currentNode = item;
    return 1;
}

// ---- RE_BACKREF: copies of the captured text. ----
bool copy_equal(const uint8_t* p, const uint8_t* text, int32_t len, uint32_t options) {
    if (!(options & RE_OPT_IGNORECASE)) return std::memcmp(p, text, size_t(len)) == 0;
    for (int32_t i = 0; i < len; ++i)
        if (!char_equal(p[i], text[i], options)) return false;
    return true;
}

int repeat_backref(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t item, int32_t min, int32_t max,
                   bool lazy, int32_t cont) {
    const RegExpNode& n = ms.nodes[item];
    const uint32_t opts = ms.options;
    const bool set = n.w1 >= 1 && n.w1 < ms.captureCount && n.w1 < kMaxCaptureRecords &&
                     ms.captures[n.w1].length >= 0 && ms.captures[n.w1].pointer != nullptr;
    // Copies of an empty (or unset) capture never move, so every count the
    // repeat could try leads to the same single continuation attempt.
    if (!set || ms.captures[n.w1].length == 0) {
        if ((!set && min > 0) || (lazy && min > max)) return 1;
        const int res = continue_at(p, r, ms, cont, opts);
        if (res != 0) ms.currentNode = item;
        return res;
    }
    const uint8_t* text = ms.captures[n.w1].pointer;
    const int32_t len = ms.captures[n.w1].length;
    if (int64_t(min) * len > r) return 1;
    const Pretest pre = literal_pretest(ms, cont, opts);
    const uint8_t* const end = p + r;
    CaptureRecord& rec0 = ms.captures[0];
    const int32_t len0 = rec0.length;

    int32_t count = 0;
    int32_t taken = 0;
    for (; count < min; ++count, taken += len)
        if (!copy_equal(p + taken, text, len, opts)) return 1;
    if (lazy) {
        for (;;) {
            if (count > max || out_of_work(ms)) break;
            if (pre.allows(p + taken, end)) {
                rec0.length = len0 + taken;
                if (continue_at(p + taken, r - taken, ms, cont, opts) == 0) return 0;
            }
            if (r - taken < len || !copy_equal(p + taken, text, len, opts)) break;
            taken += len;
            ++count;
        }
    } else {
        while (count < max && r - taken >= len && !out_of_work(ms) && copy_equal(p + taken, text, len, opts)) {
            taken += len;
            ++count;
        }
        for (;;) {
            if (out_of_work(ms)) break;
            if (pre.allows(p + taken, end)) {
                rec0.length = len0 + taken;
                if (continue_at(p + taken, r - taken, ms, cont, opts) == 0) return 0;
            }
            if (count == min) break;
            taken -= len;
            --count;
        }
    }
    rec0.length = len0;
    ms.currentNode = item;
    return 1;
}

}  // namespace

int match_repeat(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t item, int32_t quant) {
    const RegExpNode& q = ms.nodes[quant];
    const int32_t min = q.w1 > 0 ? q.w1 : 0;
    const int32_t max = q.w2;
    const bool lazy = q.w0 == RE_LAZY;
    const int32_t cont = quant + 1;
    const RegExpNode& n = ms.nodes[item];
    switch (n.w0) {
        case RE_CHAR:
            return repeat_char(p, r, ms, item, min, max, lazy, cont);
        case RE_BYTE:
            return repeat_byte(p, r, ms, item, min, max, lazy, cont);
        case RE_BACKREF:
            return repeat_backref(p, r, ms, item, min, max, lazy, cont);
        default: {
            const AsciiSet* ascii = n.w0 == RE_CLASS ? planned_class_set(ms, item) : nullptr;
            const PlannedItem* planned = ms.plannedCount > 0 ? planned_item(ms, item) : nullptr;
            const bool follow = planned != nullptr && planned->closeFollow && !lazy;
            const UnitItem u{ms.nodes, item, &n, ms.options,
                             n.w0 == RE_CLASS && ascii == nullptr && class_has_grapheme_member(ms.nodes, item), ascii,
                             !lazy && planned != nullptr && planned->noGiveBack, follow ? planned->followByte : -1};
            return repeat_units(p, r, ms, u, min, max, lazy, cont);
        }
    }
}

int match_class_single(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t cls) {
    if (r == 0) return 1;
    const AsciiSet* ascii = p[0] < 0x80 ? planned_class_set(ms, cls) : nullptr;
    const int32_t len = ascii != nullptr ? (ascii_set_has(*ascii, p[0]) ? 1 : 0)
                                         : class_unit_length(ms.nodes, cls, p, r, ms.options);
    if (len == 0) return 1;
    ms.captures[0].length += len;
    ms.currentNode = cls + ms.nodes[cls].w2 + 1;
    const int res = RegExpMatchAt(p + len, r - len, ms);
    if (res != 0) ms.captures[0].length -= len;
    return res;
}

}  // namespace qel::re
