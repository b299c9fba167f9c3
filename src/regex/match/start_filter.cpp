// Start filter: what the nodes say about where a match can begin.
//
// Each fact is derived only when it certainly holds:
// - first bytes: the set of bytes that can be the first byte of a non-empty
//   match, taken only when no match can be empty, so a position whose byte
//   is outside the set (or the window end) certainly fails;
// - a doubled byte: "(x)\k" at the start, x one one-byte character;
// - a leading run: a repeat of one-byte characters at the start that must be
//   followed by a byte outside its set, or whose run must hold a literal;
// - a required literal: a top-level literal that every match consumes within
//   a bounded number of bytes from its start;
// - end positions: one-byte items up to an end anchor that ends the pattern,
//   as steps the scan runs backwards from line feeds and the window end;
// - a leading word boundary, which fails between two word bytes.
//
// Membership is worked out per byte with three-valued tests (no, yes,
// maybe); anything the tests cannot settle counts as "maybe", which keeps the
// byte in the set. Case folding is assumed possible wherever any option word
// of the pattern could switch it on, and then both answers are kept.
#include <bit>

#include "regex/compile/unicode_data.h"
#include "regex/match/search_internal.h"

namespace qel::re {
namespace {

enum Tri : uint8_t { kNo, kYes, kMaybe };

inline Tri tri(bool b) { return b ? kYes : kNo; }
inline Tri tri_not(Tri t) { return t == kYes ? kNo : (t == kNo ? kYes : kMaybe); }

// A required literal further than this from the match start skips too
// little to be worth the searches.
constexpr int64_t kMaxLiteralOffset = 4096;
// Width bound that stands for "unbounded".
constexpr int64_t kUnbounded = int64_t(1) << 40;
// The filter is worked out on every search call: past this many one-character
// items the analysis gives up rather than cost more than the search it helps.
constexpr int32_t kMaxItemsAnalysed = 256;
// Steps of the end drive's reverse scan: one bit each in a 32-bit word, with
// the bit above the last standing for "all steps taken".
constexpr int64_t kMaxEndSteps = 31;

// Steps of a small bit-parallel automaton over one-byte items, for the end
// drive (read backwards) and the leading steps (read forwards): bit i of
// `bytes[b]` says step i takes byte b, `nullable` marks the steps a repeat
// may leave out, `loop` the last step of an unbounded repeat, which may take
// more bytes.
struct StepTable {
    int32_t steps = 0;
    uint32_t loop = 0, nullable = 0;
    uint32_t bytes[256] = {};
    // Adds `one` repeated qmin..qmax times; false, and nothing added, when
    // the steps would not fit.
    bool add(const ByteSet& one, int32_t qmin, int32_t qmax) {
        const bool unbounded = qmax >= RE_UNBOUNDED;
        if (qmin < 0 || qmax < qmin) return false;
        const int64_t count = int64_t(qmin) + (unbounded ? 1 : int64_t(qmax) - qmin);
        if (steps + count > kMaxEndSteps) return false;
        for (int64_t c = 0; c < count; ++c, ++steps) {
            const uint32_t bit = uint32_t(1) << steps;
            for (int b = 0; b < 256; ++b)
                if (one.has(static_cast<uint8_t>(b))) bytes[b] |= bit;
            if (c >= qmin) nullable |= bit;
            if (unbounded && c == count - 1) loop |= bit;
        }
        return true;
    }
};
// Longest character the matcher's UTF-8 rule reads.
constexpr int64_t kMaxCharBytes = 6;

inline bool is_letter(uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }
inline bool is_digit(uint8_t b) { return b >= '0' && b <= '9'; }
inline bool is_space(uint8_t b) { return b == 9 || b == 10 || b == 12 || b == 13 || b == 32; }

// The RE_CHAR comparison: the byte, or under case folding an ASCII letter
// that differs from it in bit 0x20 only.
inline bool char_equal(uint8_t b, int32_t w1, bool ic) {
    return b == w1 || (ic && is_letter(b) && (b ^ 0x20) == w1);
}

struct Analyzer {
    const RegExpNode* nodes;
    int32_t count;
    bool icPossible;
    bool dotallPossible;
    bool giveUp;
    int32_t itemsAnalysed;

    Tri predef(int32_t letter, uint8_t b) const {
        switch (letter) {
            case 'd': return tri(is_digit(b));
            case 'D': return tri(!is_digit(b));
            case 's': return tri(is_space(b));
            case 'S': return tri(!is_space(b));
            case 'w': return tri(is_word_byte(b));
            case 'W': return tri(!is_word_byte(b));
            case '.': return b != 10 ? kYes : (dotallPossible ? kMaybe : kNo);
            default: return kNo;
        }
    }

    // Can a character whose first byte is b pass this code-point node?
    Tri code_point(const RegExpNode& n, uint8_t b, bool ic) const {
        switch (n.w0) {
            case RE_UCHAR:
                if (b < 0x80) return ic ? kMaybe : tri(b == n.w1);
                return (!ic && n.w1 < 0x80) ? kNo : kMaybe;
            case RE_URANGE: {
                if (b >= 0x80 || ic) return kMaybe;
                Tri in = tri(n.w1 <= b && b <= n.w2);
                return n.w3 != 0 ? tri_not(in) : in;
            }
            default:
                return kMaybe;
        }
    }

    // A class member's own test, before its complement flag.
    Tri member(const RegExpNode& n, uint8_t b, bool ic) const {
        switch (n.w0) {
            case RE_CHAR:
                // A member from U+0080 to U+00FF also takes that character
                // (or, under ignore-case, one folding to it) in UTF-8, which
                // begins with a lead byte.
                if (n.w1 >= 0x80 && n.w1 < 0x100 && b >= 0xC0) return kMaybe;
                return tri(char_equal(b, n.w1, ic));
            case RE_PREDEF: return predef(n.w1, b);
            case RE_RANGE: {
                const int32_t lo = n.w1, hi = n.w2;
                if (b >= 0x80) return (!ic && hi < 0x80) ? kNo : kMaybe;
                if (lo < 256 && hi < 256) {
                    bool in = lo <= b && b <= hi;
                    if (ic && is_letter(b)) in = in || (lo <= (b ^ 0x20) && (b ^ 0x20) <= hi);
                    return tri(in);
                }
                return ic ? kMaybe : tri(lo <= b && b <= hi);
            }
            default: return code_point(n, b, ic);
        }
    }

    Tri bracket_class(int32_t at, uint8_t b, bool ic) const {
        const RegExpNode& c = nodes[at];
        Tri any = kNo;
        for (int32_t i = at + 1; i <= at + c.w2; ++i) {
            const RegExpNode& m = nodes[i];
            Tri t = member(m, b, ic);
            const bool flips = m.w0 == RE_CHAR || m.w0 == RE_RANGE || m.w0 == RE_PREDEF || m.w0 == RE_UCHAR ||
                               m.w0 == RE_GRAPHEME;
            if (flips && m.w3 == -1)
                t = tri_not(t);
            else if (flips && m.w3 != 0 && !(m.w0 == RE_RANGE && m.w3 == RE_RANGE_GAP))
                t = kMaybe;
            if (t == kYes) {
                any = kYes;
                break;
            }
            if (t == kMaybe) any = kMaybe;
        }
        if (c.w1 == -1) return tri_not(any);
        return c.w1 == 0 ? any : kMaybe;
    }

    // Can a one-character item at `at` begin with byte b?
    Tri single(int32_t at, uint8_t b, bool ic) const {
        const RegExpNode& n = nodes[at];
        switch (n.w0) {
            case RE_CHAR: return tri(char_equal(b, n.w1, ic));
            case RE_STRING: return tri(char_equal(b, static_cast<const uint8_t*>(node_pointer(n))[0], ic));
            case RE_PREDEF: return predef(n.w1, b);
            case RE_BYTE: return kYes;
            case RE_CLASS: return bracket_class(at, b, ic);
            default: return code_point(n, b, ic);
        }
    }

    // Adds the bytes that can begin item `at`; when the analysis budget is
    // spent it sets giveUp instead and the caller must not use `set`.
    void add_single(int32_t at, ByteSet& set) {
        if (++itemsAnalysed > kMaxItemsAnalysed) {
            giveUp = true;
            return;
        }
        for (int b = 0; b < 256; ++b) {
            uint8_t v = static_cast<uint8_t>(b);
            bool may = single(at, v, false) != kNo || (icPossible && single(at, v, true) != kNo);
            if (may) set.add(v);
        }
    }

    // The item at i: its node range end (quantifier included) and quantifier.
    struct Item {
        int32_t end;
        bool quantified;
        int32_t qmin, qmax;
    };

    bool is_group(uint32_t k) const {
        return k == RE_LOOKBEHIND || k == RE_NLOOKBEHIND || k == RE_LOOKAHEAD || k == RE_NLOOKAHEAD ||
               k == RE_GROUP_OPTS || k == RE_COND || k == RE_CAPTURE || k == RE_GROUP || k == RE_ATOMIC;
    }

    bool item_at(int32_t i, int32_t to, Item& it) {
        const RegExpNode& n = nodes[i];
        int32_t end = i + 1;
        if (n.w0 == RE_CLASS) {
            if (n.w2 < 0 || n.w2 > to - i - 1) return giveUp = true, false;
            end = i + 1 + n.w2;
        } else if (is_group(n.w0)) {
            if (n.w2 < 0 || n.w2 > to - i - 2 || nodes[i + n.w2 + 1].w0 != RE_CLOSE) return giveUp = true, false;
            end = i + n.w2 + 2;
        } else if (n.w0 == RE_CLOSE || n.w0 == RE_RANGE || is_quantifier(n.w0) || !is_valid_kind(n.w0)) {
            return giveUp = true, false;
        }
        it.quantified = end < to && is_quantifier(nodes[end].w0);
        it.qmin = it.quantified ? nodes[end].w1 : 1;
        it.qmax = it.quantified ? nodes[end].w2 : 1;
        it.end = end + (it.quantified ? 1 : 0);
        return true;
    }

    // Adds the first bytes of the alternation in [from, to) to `set`;
    // returns whether it can match empty.
    bool first_of(int32_t from, int32_t to, ByteSet& set) {
        bool nullable = false, altNullable = true;
        for (int32_t i = from; i < to && !giveUp;) {
            const RegExpNode& n = nodes[i];
            if (n.w0 == RE_ALT_END) {
                nullable = nullable || altNullable;
                altNullable = true;
                ++i;
                continue;
            }
            Item it;
            if (!item_at(i, to, it)) return true;
            if (altNullable) {
                bool itemNullable = false;
                switch (n.w0) {
                    case RE_CHAR: case RE_STRING: case RE_PREDEF: case RE_BYTE: case RE_CLASS: case RE_UCHAR:
                    case RE_UPROP: case RE_URANGE: case RE_URANGES: case RE_GRAPHEME:
                        add_single(i, set);
                        break;
                    case RE_ANCHOR: case RE_SETOPTS: case RE_NLOOKAHEAD: case RE_LOOKBEHIND: case RE_NLOOKBEHIND:
                        itemNullable = true;
                        break;
                    case RE_LOOKAHEAD: {
                        // What follows starts where the body does, so a body
                        // that needs a byte needs one of its first bytes
                        // there ("\\w+(?=\\()"); the set is then only wider
                        // than that of the whole match.
                        ByteSet body{};
                        if (first_of(i + 1, i + 1 + n.w2, body))
                            itemNullable = true;
                        else
                            for (int w = 0; w < 4; ++w) set.bits[w] |= body.bits[w];
                        break;
                    }
                    case RE_GROUP: case RE_CAPTURE: case RE_GROUP_OPTS: case RE_ATOMIC:
                        itemNullable = first_of(i + 1, i + 1 + n.w2, set);
                        break;
                    default:  // back-references and conditions: not worked out
                        giveUp = true;
                        return true;
                }
                if (it.qmin <= 0) itemNullable = true;
                if (!itemNullable) altNullable = false;
            }
            i = it.end;
        }
        return nullable || altNullable;
    }

    // Most bytes one item can consume (kUnbounded when not bounded).
    int64_t item_width(int32_t i, const Item& it) {
        const RegExpNode& n = nodes[i];
        int64_t w;
        switch (n.w0) {
            case RE_CHAR: case RE_BYTE: w = 1; break;
            case RE_STRING: w = n.w2; break;
            case RE_PREDEF: w = (n.w1 == 'd' || n.w1 == 's' || n.w1 == 'w') ? 1 : kMaxCharBytes; break;
            case RE_CLASS: case RE_UCHAR: case RE_UPROP: case RE_URANGE: case RE_URANGES: {
                bool grapheme = false;
                if (n.w0 == RE_CLASS)
                    for (int32_t m = i + 1; m <= i + n.w2; ++m) grapheme = grapheme || nodes[m].w0 == RE_GRAPHEME;
                if (grapheme) {
                    w = kUnbounded;
                    break;
                }
                // A character whose first byte is ASCII is one byte long.
                ByteSet s{};
                add_single(i, s);
                if (giveUp) return kUnbounded;
                w = (s.bits[2] | s.bits[3]) ? kMaxCharBytes : 1;
                break;
            }
            case RE_ANCHOR: case RE_SETOPTS: case RE_LOOKAHEAD: case RE_NLOOKAHEAD: case RE_LOOKBEHIND:
            case RE_NLOOKBEHIND:
                w = 0;
                break;
            case RE_GROUP: case RE_CAPTURE: case RE_GROUP_OPTS: case RE_ATOMIC:
                w = alternation_width(i + 1, i + 1 + n.w2);
                break;
            default: w = kUnbounded; break;
        }
        if (it.quantified) {
            if (it.qmax < 0 || it.qmax >= RE_UNBOUNDED) return w == 0 ? 0 : kUnbounded;
            w *= it.qmax;
        }
        return w < kUnbounded ? w : kUnbounded;
    }

    // A group the scan can look through: an unquantified capturing or plain
    // group whose body is one alternative. Its items stand in the top-level
    // sequence as if the parentheses were not there ("([a-z]+)@").
    bool transparent(int32_t i) {
        const RegExpNode& n = nodes[i];
        if (n.w0 != RE_CAPTURE && n.w0 != RE_GROUP) return false;
        Item it;
        if (!item_at(i, count, it) || it.quantified) return false;
        for (int32_t j = i + 1; j < i + 1 + n.w2; ++j)
            if (nodes[j].w0 == RE_ALT_END && nodes[j].w1 == n.w1) return false;
        return true;
    }

    // The next item of the top-level sequence from i, stepping into
    // transparent groups and over their closing nodes (the only closing nodes
    // such a walk meets: every other group is passed over whole).
    int32_t seq_next(int32_t i) {
        while (i < count && !giveUp) {
            if (nodes[i].w0 == RE_CLOSE || transparent(i))
                ++i;
            else
                break;
        }
        return i;
    }

    // Adds the first bytes of the rest of the top-level sequence from i;
    // returns whether that rest can match empty. When `endOk` is given, an
    // end anchor reached while the rest could still be empty ("\\s*$") ends
    // the walk instead: the rest then needs a byte of the set, a line feed
    // (added to the set; not for "\\z") or the window end, which *endOk
    // reports.
    bool seq_first(int32_t i, ByteSet& set, bool* endOk = nullptr) {
        for (i = seq_next(i); i < count && !giveUp; i = seq_next(i)) {
            Item it;
            if (!item_at(i, count, it)) return true;
            const RegExpNode& n = nodes[i];
            if (endOk != nullptr && n.w0 == RE_ANCHOR && !it.quantified &&
                (n.w1 == '$' || n.w1 == 'Z' || n.w1 == 'z')) {
                if (n.w1 != 'z') set.add('\n');
                *endOk = true;
                return false;
            }
            if (!first_of(i, it.end, set)) return false;
            i = it.end;
        }
        return true;
    }

    int64_t alternation_width(int32_t from, int32_t to) {
        int64_t best = 0, cur = 0;
        for (int32_t i = from; i < to && !giveUp;) {
            if (nodes[i].w0 == RE_ALT_END) {
                best = cur > best ? cur : best;
                cur = 0;
                ++i;
                continue;
            }
            Item it;
            if (!item_at(i, to, it)) return kUnbounded;
            cur += item_width(i, it);
            if (cur > kUnbounded) cur = kUnbounded;
            i = it.end;
        }
        return cur > best ? cur : best;
    }
};

bool option_word_has(uint32_t opts, uint32_t bit) { return (opts & bit) != 0; }

int set_share(const ByteSet& s) {
    int total = 0;
    for (int b = 0; b < 256; ++b)
        if (s.has(static_cast<uint8_t>(b))) total += byte_share(b);
    return total;
}

int literal_share(const uint8_t* lit, int32_t len) {
    int least = 1000;
    for (int32_t i = 0; i < len; ++i) least = byte_share(lit[i]) < least ? byte_share(lit[i]) : least;
    return least;
}

void derive_filter_parts(const QelRegExpState* state, StartFilter& f) {
    const StateHeader& h = *header(state);
    Analyzer a{node_array(state), h.nodeCount, false, false, false, 0};
    f.useByteSet = false;
    f.firstSingle = false;
    f.firstByte = 0;
    f.useRun = false;
    f.runEndFollows = false;
    f.runFollowAny = false;
    f.runMin = 0;
    f.literalDrive = false;
    f.useDoubled = false;
    f.doubledFolded = false;
    f.refAfterRun = false;
    f.refFolded = false;
    f.refAfterByte = false;
    f.refSep = 0;
    f.refStop = ByteSet{};
    f.runLiteral = nullptr;
    f.runLiteralLen = 0;
    f.runFollow = ByteSet{};
    f.runStop = ByteSet{};
    f.behindLiteral = nullptr;
    f.behindLen = 0;
    f.behindFolded = false;
    f.skipRunOnFail = false;
    f.headStop = ByteSet{};
    f.endDrive = false;
    f.endAnyLineFeed = false;
    f.endFinalLineFeed = false;
    f.endMinLen = 0;
    f.endSteps = 0;
    f.endLoop = 0;
    f.endNullable = 0;
    for (uint32_t& m : f.endStepBytes) m = 0;
    f.leadSteps = 0;
    f.leadWhole = false;
    f.leadStart = 0;
    f.leadLoop = 0;
    f.leadNullable = 0;
    f.leadWordEnd = false;
    f.leadSkipsLiteral = false;
    f.leadAfterLiteral = 0;
    f.endSet = ByteSet{};
    f.endStop = ByteSet{};
    f.wordStart = false;
    f.wordRun = false;
    f.wordRunDecides = false;
    f.wordRunMin = 0;
    f.wordRunMax = 0;
    f.wordRunSet = ByteSet{};
    f.useLiteral = false;
    f.literalFolded = false;
    f.literal = nullptr;
    f.literalLen = 0;
    f.literalRare = 0;
    f.literalOnly = false;
    f.maxOffset = 0;
    f.firstBytes = ByteSet{};
    f.usePair = false;
    f.pairSecond = ByteSet{};

    // Every option word the matcher may load.
    uint32_t anyOpts = h.options;
    bool topLevelBar = false;
    for (int32_t i = 0; i < a.count; ++i) {
        const RegExpNode& n = a.nodes[i];
        if (n.w0 == RE_SETOPTS) anyOpts |= static_cast<uint32_t>(n.w1);
        if (n.w0 == RE_GROUP_OPTS) anyOpts |= static_cast<uint32_t>(n.w3);
        if (n.w0 == RE_ALT_END || n.w0 == RE_CLOSE) anyOpts |= static_cast<uint32_t>(n.w2);
        if (n.w0 == RE_ALT_END && n.w1 == 0) topLevelBar = true;
    }
    a.icPossible = option_word_has(anyOpts, RE_OPT_IGNORECASE);
    a.dotallPossible = option_word_has(anyOpts, RE_OPT_DOTALL);

    ByteSet set{};
    bool nullable = a.first_of(0, a.count, set);
    if (!a.giveUp && !nullable && set.count() < 256) {
        f.useByteSet = true;
        f.firstBytes = set;
        f.firstBytes.build_rows();
        if (set.count() == 1) {
            f.firstSingle = true;
            f.firstByte = static_cast<uint8_t>(set.lowest());
        }
    }

    // "(x)\k" at the start, x one one-byte character: a doubled byte.
    if (f.useByteSet && !topLevelBar && a.count >= 4 && a.nodes[0].w0 == RE_CAPTURE && (f.firstBytes.bits[2] | f.firstBytes.bits[3]) == 0) {
        const RegExpNode& open = a.nodes[0];
        Analyzer::Item group, body, ref;
        a.giveUp = false;
        const int32_t close = open.w2 + 1;
        if (a.item_at(0, a.count, group) && !group.quantified && group.end < a.count && a.item_at(1, close, body) &&
            body.end == close && !body.quantified && a.nodes[group.end].w0 == RE_BACKREF &&
            a.nodes[group.end].w1 == open.w3 && a.item_at(group.end, a.count, ref) && !ref.quantified) {
            const uint32_t k = a.nodes[1].w0;
            if (k == RE_CHAR || k == RE_PREDEF || k == RE_CLASS || k == RE_UCHAR || k == RE_URANGE) {
                f.useDoubled = true;
                f.doubledFolded = a.icPossible;
            }
        }
    }
    if (topLevelBar) return;

    // A one-byte first item and the bytes that can follow it. A character
    // whose first byte is ASCII is one byte long in either format, so the
    // byte after it begins what the rest of the pattern takes; a rest that
    // can take nothing (or begin with any byte) tells nothing.
    if (f.useByteSet && (f.firstBytes.bits[2] | f.firstBytes.bits[3]) == 0) {
        Analyzer b = a;
        b.giveUp = false;
        Analyzer::Item it;
        const RegExpNode& n = b.nodes[0];
        const bool oneChar = n.w0 == RE_CHAR ||
                             (n.w0 == RE_PREDEF && (n.w1 == 'd' || n.w1 == 's' || n.w1 == 'w')) ||
                             (n.w0 == RE_CLASS && !class_has_grapheme_member(b.nodes, 0));
        if (oneChar && b.item_at(0, b.count, it) && !it.quantified) {
            ByteSet second{};
            const bool nullable = b.first_of(it.end, b.count, second);
            if (!b.giveUp && !nullable && second.count() < 256) {
                f.usePair = true;
                f.pairSecond = second;
            }
        }
    }

    // A leading "\\b": between two word bytes it fails, whatever follows.
    {
        const int32_t lead = a.seq_next(0);
        f.wordStart = !a.giveUp && lead + 1 < a.count && a.nodes[lead].w0 == RE_ANCHOR && a.nodes[lead].w1 == 'b' &&
                      !is_quantifier(a.nodes[lead + 1].w0);
    }

    // One-byte items up to an end anchor that ends the pattern ("\\s+$",
    // "\\w+\\s*$", ";\\s*$"): every byte of a match lies in the union of
    // the items' sets and the match ends at an end position.
    {
        a.giveUp = false;
        ByteSet u{};
        int64_t minLen = 0;
        int32_t letter = 0;
        // The reverse-scan steps; past kMaxEndSteps the scan walks the set.
        StepTable t;
        bool stepsFit = true;
        auto add_steps = [&](const ByteSet& one, int32_t qmin, int32_t qmax) {
            stepsFit = stepsFit && t.add(one, qmin, qmax);
        };
        int32_t i = a.seq_next(0);
        for (; i < a.count && !a.giveUp; i = a.seq_next(i)) {
            Analyzer::Item it;
            if (!a.item_at(i, a.count, it)) break;
            const RegExpNode& n = a.nodes[i];
            const uint32_t k = n.w0;
            if (k == RE_ANCHOR) {
                if (!it.quantified && (n.w1 == '$' || n.w1 == 'Z' || n.w1 == 'z')) {
                    letter = n.w1;
                    i = it.end;
                }
                break;
            }
            int64_t unit = 1;
            if (k == RE_STRING && !it.quantified && n.w2 >= 1) {
                const auto* bytes = static_cast<const uint8_t*>(node_pointer(n));
                for (int32_t j = 0; j < n.w2; ++j) {
                    ByteSet one{};
                    one.add(bytes[j]);
                    if (a.icPossible && is_letter(bytes[j])) one.add(static_cast<uint8_t>(bytes[j] ^ 0x20));
                    for (int w = 0; w < 4; ++w) u.bits[w] |= one.bits[w];
                    add_steps(one, 1, 1);
                }
                unit = n.w2;
            } else if (k == RE_CHAR || k == RE_PREDEF || k == RE_CLASS || k == RE_UCHAR || k == RE_URANGE) {
                ByteSet one{};
                a.add_single(i, one);
                for (int w = 0; w < 4; ++w) u.bits[w] |= one.bits[w];
                add_steps(one, it.qmin, it.qmax);
            } else {
                break;
            }
            if (it.qmin < 0) break;
            minLen += unit * it.qmin;
            if (minLen > kMaxLiteralOffset) minLen = kMaxLiteralOffset;
            i = it.end;
        }
        // Under "m" every line feed is an end position; where the bytes that
        // can begin a match are rarer than line feeds (";\\s*$"), the first-
        // byte search stops less often than the walk from end position to
        // end position, and the match step settles each start at once.
        const bool anyLineFeed = letter == '$' && option_word_has(anyOpts, RE_OPT_MULTILINE);
        const bool rareStart = f.useByteSet && set_share(f.firstBytes) < byte_share('\n');
        if (letter != 0 && !a.giveUp && a.seq_next(i) == a.count && (u.bits[2] | u.bits[3]) == 0 &&
            !(anyLineFeed && rareStart)) {
            f.endDrive = true;
            f.endAnyLineFeed = anyLineFeed;
            f.endFinalLineFeed = letter != 'z';
            f.endMinLen = static_cast<int32_t>(minLen);
            f.endSet = u;
            for (int w = 0; w < 4; ++w) f.endStop.bits[w] = ~u.bits[w];
            f.endSet.build_rows();
            f.endStop.build_rows();
            if (stepsFit) {
                f.endSteps = t.steps;
                f.endLoop = t.loop;
                f.endNullable = t.nullable;
                for (int b = 0; b < 256; ++b) f.endStepBytes[b] = t.bytes[b];
            }
        }
    }

    // The literal the leading steps end with, if they do.
    const uint8_t* leadLastLiteral = nullptr;

    // The leading one-byte items as forward steps. An item whose set holds
    // a byte of 0x80 or above may take a character of several bytes, and
    // ends them; so does anything else that is not an assertion, and an item
    // whose steps would not fit.
    {
        a.giveUp = false;
        StepTable t;
        bool whole = false;
        bool boundaryLast = false;  // a "\\b" after the last step
        for (int32_t i = a.seq_next(0);; i = a.seq_next(i)) {
            if (a.giveUp) break;
            if (i >= a.count) {
                whole = true;
                break;
            }
            Analyzer::Item it;
            if (!a.item_at(i, a.count, it)) break;
            const RegExpNode& n = a.nodes[i];
            const uint32_t k = n.w0;
            // Option changes too: the sets hold what any option word allows.
            if ((k == RE_ANCHOR || k == RE_SETOPTS) && !it.quantified) {
                if (k == RE_ANCHOR && n.w1 == 'b' && t.steps > 0) boundaryLast = true;
                i = it.end;
                continue;
            }
            boundaryLast = false;
            if (k == RE_STRING && !it.quantified && n.w2 >= 1) {
                const auto* bytes = static_cast<const uint8_t*>(node_pointer(n));
                bool ok = t.steps + n.w2 <= kMaxEndSteps;
                for (int32_t j = 0; j < n.w2 && ok; ++j) ok = bytes[j] < 0x80;
                if (!ok) break;
                for (int32_t j = 0; j < n.w2; ++j) {
                    ByteSet one{};
                    one.add(bytes[j]);
                    if (a.icPossible && is_letter(bytes[j])) one.add(static_cast<uint8_t>(bytes[j] ^ 0x20));
                    t.add(one, 1, 1);
                }
                leadLastLiteral = bytes;
            } else if (k == RE_CHAR || k == RE_PREDEF || k == RE_CLASS || k == RE_UCHAR || k == RE_URANGE) {
                ByteSet one{};
                a.add_single(i, one);
                if (a.giveUp || (one.bits[2] | one.bits[3]) != 0 || !t.add(one, it.qmin, it.qmax)) break;
                leadLastLiteral = k == RE_CHAR && !it.quantified ? reinterpret_cast<const uint8_t*>(&n) + 4 : nullptr;
            } else {
                break;
            }
            i = it.end;
        }
        // One byte that must be taken says no more than the first-byte set.
        const uint32_t all = t.steps > 0 ? ~uint32_t(0) >> (32 - t.steps) : 0;
        if (std::popcount(all & ~t.nullable) >= 2) {
            f.leadSteps = t.steps;
            f.leadWhole = whole;
            f.leadLoop = t.loop;
            f.leadNullable = t.nullable;
            f.leadStart = close_nullable(1, t.nullable);
            for (int b = 0; b < 256; ++b) f.leadStepBytes[b] = t.bytes[b];
            // Every step takes a word byte: a final "\\b" needs the byte after
            // the last step to be none ("\\b[A-Z_]{4,}\\b" in "ABC_D1").
            bool wordSteps = true;
            for (int b = 0; b < 256; ++b)
                if (t.bytes[b] != 0 && !is_word_byte(static_cast<uint8_t>(b))) wordSteps = false;
            f.leadWordEnd = whole && boundaryLast && wordSteps;
        }
    }

    // A leading look-behind at a plain literal. Other assertions before it
    // (and option settings) take no bytes, so it still tests the match
    // start: "(?<!\\w)" and the group that whole-word search wraps around
    // "(?<=struct )\\w+" leave it leading. Where ignore-case may be in force
    // the literal is searched folded: a plain character folds A-Z onto a-z
    // only, and a folded search finds every occurrence an exact one would.
    a.giveUp = false;
    int32_t behind = a.seq_next(0);
    for (Analyzer::Item it; behind < a.count && !a.giveUp;) {
        const uint32_t k = a.nodes[behind].w0;
        const bool assertion = k == RE_ANCHOR || k == RE_SETOPTS || k == RE_LOOKAHEAD || k == RE_NLOOKAHEAD ||
                               k == RE_NLOOKBEHIND ||
                               (k == RE_LOOKBEHIND && a.nodes[behind].w2 != 1);
        if (!assertion || !a.item_at(behind, a.count, it) || it.quantified) break;
        behind = a.seq_next(it.end);
    }
    if (!a.giveUp && behind + 2 < a.count && a.nodes[behind].w0 == RE_LOOKBEHIND &&
        a.nodes[behind].w2 == 1 && a.nodes[behind + 2].w0 == RE_CLOSE &&
        !(behind + 3 < a.count && is_quantifier(a.nodes[behind + 3].w0))) {
        const RegExpNode& body = a.nodes[behind + 1];
        if (body.w0 == RE_STRING && body.w2 >= 1) {
            f.behindLiteral = static_cast<const uint8_t*>(node_pointer(body));
            f.behindLen = body.w2;
        } else if (body.w0 == RE_CHAR && body.w1 >= 0 && body.w1 < 256) {
            f.behindLiteral = reinterpret_cast<const uint8_t*>(&body) + 4;
            f.behindLen = 1;
        }
        // The look-behind steps back by characters; only a literal of ASCII
        // bytes is sure to lie exactly its length in bytes before the match.
        for (int32_t j = 0; j < f.behindLen; ++j)
            if (f.behindLiteral[j] >= 0x80) f.behindLen = 0;
        if (f.behindLen == 0) f.behindLiteral = nullptr;
        f.behindFolded = f.behindLen > 0 && a.icPossible;
    }

    // A leading repeat of one-byte characters followed by something that
    // cannot begin with one of them. Transparent groups around the repeat or
    // after it do not matter: "([a-z]+)@" skips runs as "[a-z]+@" does.
    Analyzer::Item head{};
    a.giveUp = false;
    bool headRun = false, headRunEnd = false, headEnd = false, headEndLineFeed = false, headRefCheck = false;
    ByteSet headStop{}, headFollow{};
    // Word-boundary tests before the repeat consume nothing and leave the
    // match starting with it ("\\b[A-Z_]{4,}\\b").
    int32_t first = a.seq_next(0);
    bool wordBoundaryFirst = false;  // one of them is "\\b"
    while (!a.giveUp && first + 1 < a.count && a.nodes[first].w0 == RE_ANCHOR &&
           (a.nodes[first].w1 == 'b' || a.nodes[first].w1 == 'B') && !is_quantifier(a.nodes[first + 1].w0)) {
        wordBoundaryFirst = wordBoundaryFirst || a.nodes[first].w1 == 'b';
        first = a.seq_next(first + 1);
    }
    wordBoundaryFirst = wordBoundaryFirst && !a.giveUp;
    int32_t headMin = 0;
    if (!a.giveUp && first < a.count && a.item_at(first, a.count, head) && head.quantified && head.qmin >= 1) {
        const uint32_t k = a.nodes[first].w0;
        const bool oneChar = k == RE_CHAR || k == RE_PREDEF || k == RE_CLASS || k == RE_UCHAR || k == RE_URANGE;
        ByteSet run{};
        if (oneChar) {
            a.add_single(first, run);
            bool followEnd = false;
            bool followNullable = a.seq_first(head.end, headFollow, &followEnd);
            bool ascii = (run.bits[2] | run.bits[3]) == 0;
            if (ascii && !a.giveUp) {
                headMin = head.qmin;
                for (int w = 0; w < 4; ++w) headStop.bits[w] = ~run.bits[w];
            }
            // "(C+)x\\1" with x in C: the group may end at any x of the run.
            // Under ignore-case the sets hold both cases of a letter (the
            // analysis keeps both answers), so x's other case is in C too.
            {
                const int32_t open = first - 1;
                const int32_t sep = a.seq_next(head.end);
                Analyzer::Item sepItem, refItem;
                if (ascii && !a.giveUp && open >= 0 && a.nodes[open].w0 == RE_CAPTURE &&
                    a.nodes[open].w2 == head.end - first && sep < a.count && a.nodes[sep].w0 == RE_CHAR &&
                    a.nodes[sep].w1 >= 0 && a.nodes[sep].w1 < 0x80 && run.has(static_cast<uint8_t>(a.nodes[sep].w1)) &&
                    a.item_at(sep, a.count, sepItem) && !sepItem.quantified) {
                    const int32_t ref = a.seq_next(sepItem.end);
                    if (ref < a.count && a.nodes[ref].w0 == RE_BACKREF && a.nodes[ref].w1 == a.nodes[open].w3 &&
                        a.item_at(ref, a.count, refItem) && refItem.qmin >= 1 && !a.giveUp) {
                        f.refAfterByte = true;
                        f.refSep = static_cast<uint8_t>(a.nodes[sep].w1);
                        f.refFolded = a.icPossible;
                        for (int w = 0; w < 4; ++w) f.refStop.bits[w] = ~run.bits[w];
                    }
                }
                a.giveUp = false;
            }
            bool disjoint = ((run.bits[0] & headFollow.bits[0]) | (run.bits[1] & headFollow.bits[1]) |
                             (run.bits[2] & headFollow.bits[2]) | (run.bits[3] & headFollow.bits[3])) == 0;
            if (!a.giveUp && !followNullable && ascii && disjoint) {
                headRun = true;
                headRunEnd = followEnd;
                // "(C+)S+\\1": the group is the run, a run of S follows it
                // and the back-reference right after. With S and C apart the
                // group ends where the run of C does, and the reference can
                // only start at the end of the run of S, with the first byte
                // of the group.
                const int32_t open = first - 1;
                const int32_t sep = a.seq_next(head.end);
                Analyzer::Item sepItem, refItem;
                if (!followEnd && open >= 0 && a.nodes[open].w0 == RE_CAPTURE &&
                    a.nodes[open].w2 == head.end - first && sep < a.count && a.item_at(sep, a.count, sepItem) &&
                    sepItem.qmin >= 1) {
                    const uint32_t sk = a.nodes[sep].w0;
                    const int32_t ref = a.seq_next(sepItem.end);
                    headRefCheck = (sk == RE_CHAR || sk == RE_PREDEF || sk == RE_CLASS) &&
                                   (headFollow.bits[2] | headFollow.bits[3]) == 0 && ref < a.count &&
                                   a.nodes[ref].w0 == RE_BACKREF && a.nodes[ref].w1 == a.nodes[open].w3 &&
                                   a.item_at(ref, a.count, refItem) && refItem.qmin >= 1 && !a.giveUp;
                }
                for (int w = 0; w < 4; ++w) headStop.bits[w] = ~run.bits[w];
            }
            // An attempt from a start inside a run of C may end the repeat
            // anywhere from its minimum to the run's end and tries the rest
            // of the pattern there; a later start of the same run has only a
            // part of those ends to offer, and the rest of the pattern sees
            // the same text at each ("[a-z]+ed\\b" in "speeds"), so it fails
            // too. That needs: nothing before the repeat (a failed "\\B" at
            // one start says nothing about the next), no back-reference or
            // condition (the captures differ per start), and an item that
            // accepts exactly the bytes of its set (a start it rejects would
            // otherwise end the run early).
            bool plain = true;
            for (int32_t j = 0; j < a.count; ++j)
                plain = plain && a.nodes[j].w0 != RE_BACKREF && a.nodes[j].w0 != RE_COND;
            bool exact = !a.icPossible;
            for (int b = 0; b < 256 && exact; ++b) exact = a.single(first, static_cast<uint8_t>(b), false) != kMaybe;
            if (!a.giveUp && ascii && plain && exact && first == a.seq_next(0) &&
                a.nodes[head.end - 1].w0 == RE_GREEDY && head.qmax >= RE_UNBOUNDED) {
                f.skipRunOnFail = true;
                for (int w = 0; w < 4; ++w) f.headStop.bits[w] = ~run.bits[w];
                f.headStop.build_rows();
            }
            // Followed by an end anchor ("\s+$"): the repeat can stop only at
            // the window end or at a line feed ("$" under "m", or before a
            // final line feed).
            const int32_t next = a.seq_next(head.end);
            if (!headRun && !a.giveUp && ascii && next < a.count && a.nodes[next].w0 == RE_ANCHOR) {
                const int32_t letter = a.nodes[next].w1;
                Analyzer::Item anchor;
                if ((letter == '$' || letter == 'Z' || letter == 'z') && a.item_at(next, a.count, anchor) &&
                    !anchor.quantified) {
                    headEnd = true;
                    headEndLineFeed = letter != 'z';
                    for (int w = 0; w < 4; ++w) headStop.bits[w] = ~run.bits[w];
                }
            }
        }
    }

    // "\\b", a repeat of ASCII word bytes, "\\b": the word runs of the set.
    // Under ignore-case an ASCII class may take wider characters; left out.
    if (!a.icPossible && !a.giveUp && head.quantified && head.qmin >= 1 && first < a.count) {
        const int32_t lead = a.seq_next(0);
        const uint32_t k = a.nodes[first].w0;
        const bool oneChar = k == RE_CHAR || k == RE_PREDEF || k == RE_CLASS || k == RE_UCHAR || k == RE_URANGE;
        ByteSet run{};
        if (oneChar) a.add_single(first, run);
        bool wordOnly = run.count() > 0;
        for (int b = 0; b < 256 && wordOnly; ++b)
            wordOnly = !run.has(static_cast<uint8_t>(b)) || is_word_byte(static_cast<uint8_t>(b));
        const int32_t next = a.seq_next(head.end);
        if (!a.giveUp && wordOnly && lead + 1 < a.count && a.nodes[lead].w0 == RE_ANCHOR && a.nodes[lead].w1 == 'b' &&
            !is_quantifier(a.nodes[lead + 1].w0) && first == a.seq_next(lead + 1) && next < a.count &&
            a.nodes[next].w0 == RE_ANCHOR && a.nodes[next].w1 == 'b' &&
            (next + 1 == a.count || !is_quantifier(a.nodes[next + 1].w0))) {
            f.wordRun = true;
            f.wordRunDecides = a.seq_next(next + 1) == a.count && !a.giveUp;
            f.wordRunMin = head.qmin;
            f.wordRunMax = head.qmax >= RE_UNBOUNDED ? INT32_MAX : head.qmax;
            f.wordRunSet = run;
            f.wordRunSet.build_rows();
        }
        a.giveUp = false;
    }

    // A top-level prefix of one-byte-character items (at least one of them
    // repeated) whose bytes all lie in a set C, then a literal. The literal
    // must start within the run of C at the match start or right where that
    // run ends.
    //
    // Where case folding may apply, only a literal without ASCII letters
    // leads ("(\\w+)_\\1" under "i"): its bytes match only themselves, so the
    // plain search finds every occurrence; the run's set comes with both
    // cases from the item tests.
    const uint8_t* prefixLiteral = nullptr;
    int32_t prefixLiteralLen = 0;
    ByteSet prefixRun{};
    {
        bool repeated = false;
        a.giveUp = false;
        for (int32_t i = a.seq_next(0); i < a.count && !a.giveUp;) {
            Analyzer::Item it;
            if (!a.item_at(i, a.count, it)) break;
            const RegExpNode& n = a.nodes[i];
            const bool literal = !it.quantified && (n.w0 == RE_STRING || (n.w0 == RE_CHAR && n.w1 >= 0 && n.w1 < 256));
            if (literal && repeated) {
                prefixLiteral = n.w0 == RE_STRING ? static_cast<const uint8_t*>(node_pointer(n))
                                                  : reinterpret_cast<const uint8_t*>(&n) + 4;
                prefixLiteralLen = n.w0 == RE_STRING ? n.w2 : 1;
                break;
            }
            // A look-ahead right after the prefix whose one alternative opens
            // with a literal ("\\w+(?=\\()"): the literal starts where the
            // prefix ends just as a consumed one would.
            if (n.w0 == RE_LOOKAHEAD && !it.quantified && repeated && n.w2 >= 1) {
                bool oneBranch = true;
                for (int32_t j = i + 1; j <= i + n.w2; ++j) oneBranch = oneBranch && a.nodes[j].w0 != RE_ALT_END;
                const RegExpNode& b = a.nodes[i + 1];
                Analyzer::Item lead;
                if (oneBranch && a.item_at(i + 1, i + 1 + n.w2, lead) && !lead.quantified &&
                    ((b.w0 == RE_STRING && b.w2 >= 1) || (b.w0 == RE_CHAR && b.w1 >= 0 && b.w1 < 256))) {
                    prefixLiteral = b.w0 == RE_STRING ? static_cast<const uint8_t*>(node_pointer(b))
                                                      : reinterpret_cast<const uint8_t*>(&b) + 4;
                    prefixLiteralLen = b.w0 == RE_STRING ? b.w2 : 1;
                }
                break;
            }
            const uint32_t k = n.w0;
            if (k != RE_CHAR && k != RE_PREDEF && k != RE_CLASS && k != RE_UCHAR && k != RE_URANGE) break;
            ByteSet one{};
            a.add_single(i, one);
            if (a.giveUp) break;
            // An item that can take a character of two or more bytes ("[^ ]",
            // "\S", ".") takes bytes that are all 0x80 and up, lead and
            // continuation alike: with every such byte in C, the run of bytes
            // in C still covers every character run the items can match.
            if (one.bits[2] | one.bits[3]) one.bits[2] = one.bits[3] = ~uint64_t(0);
            for (int w = 0; w < 4; ++w) prefixRun.bits[w] |= one.bits[w];
            repeated = repeated || it.quantified;
            i = a.seq_next(it.end);
        }
    }

    if (a.icPossible && prefixLiteral != nullptr) {
        bool letter = false;
        for (int32_t j = 0; j < prefixLiteralLen; ++j) letter = letter || is_letter(prefixLiteral[j]);
        if (letter) prefixLiteral = nullptr;
    }

    // The literal leads where it is rarer than the bytes that begin a match;
    // otherwise the runs are skipped one by one.
    if (prefixLiteral != nullptr && literal_share(prefixLiteral, prefixLiteralLen) < set_share(prefixRun)) {
        f.useRun = true;
        f.literalDrive = true;
        f.runLiteral = prefixLiteral;
        f.runLiteralLen = prefixLiteralLen;
        for (int w = 0; w < 4; ++w) f.runStop.bits[w] = ~prefixRun.bits[w];
    } else if (headRun) {
        f.useRun = true;
        f.runStop = headStop;
        f.runFollow = headFollow;
        f.runEndFollows = headRunEnd;
        f.runMin = headMin;
        f.refAfterRun = headRefCheck;
        f.refFolded = headRefCheck && a.icPossible;
    } else if (f.endDrive) {
        // The end positions lead; the run of the repeat adds nothing.
    } else if (headEnd && headEndLineFeed == false) {
        f.useRun = true;
        f.runEndFollows = true;
        f.runStop = headStop;
        f.runMin = headMin;
    } else if (headEnd) {
        static constexpr uint8_t kLineFeed[1] = {'\n'};
        f.useRun = true;
        f.runEndFollows = true;
        f.runStop = headStop;
        if (headEndLineFeed) {
            f.runLiteral = kLineFeed;
            f.runLiteralLen = 1;
        }
    } else if (prefixLiteral != nullptr) {
        f.useRun = true;
        f.runLiteral = prefixLiteral;
        f.runLiteralLen = prefixLiteralLen;
        for (int w = 0; w < 4; ++w) f.runStop.bits[w] = ~prefixRun.bits[w];
    } else if (headMin >= 2) {
        // Only the repeat's minimum is known: a run shorter than it holds no
        // match start ("[0-9a-f]{8}").
        f.useRun = true;
        f.runFollowAny = true;
        f.runStop = headStop;
        f.runMin = headMin;
    }
    if (f.useRun) f.runStop.build_rows();

    // Steps that are the driving literal's run and the literal itself
    // ("[a-zA-Z]+ing", "[a-z]+://") check what the drive has made sure of.
    if (f.literalDrive && f.leadSteps > 0 && !f.leadWordEnd && leadLastLiteral == f.runLiteral) {
        f.leadSteps = 0;
        f.leadWhole = false;
    }

    // Every match starts with a word boundary test: a start whose byte and
    // the byte before it are word bytes fails it, so once an attempt at a
    // word byte fails the scan goes on at the next byte that is not one.
    // Unlike the skip above this needs nothing of what follows, back-
    // references included ("\\b(\\w+)\\s+\\1\\b").
    if (!f.skipRunOnFail && wordBoundaryFirst) {
        f.skipRunOnFail = true;
        f.headStop = ByteSet{};
        for (int b = 0; b < 256; ++b)
            if (!is_word_byte(static_cast<uint8_t>(b))) f.headStop.add(static_cast<uint8_t>(b));
        f.headStop.build_rows();
    }

    // A required literal: only along the top level of a pattern without a
    // top-level bar. Where case folding may apply it is searched folded,
    // which finds every occurrence the matcher could accept.
    f.literalFolded = a.icPossible;
    a.giveUp = false;
    int64_t offset = 0;
    int32_t bestChar = -1;
    int64_t bestCharOffset = 0;
    for (int32_t i = 0; i < a.count && offset <= kMaxLiteralOffset;) {
        Analyzer::Item it;
        if (!a.item_at(i, a.count, it)) break;
        const RegExpNode& n = a.nodes[i];
        if (!it.quantified && n.w0 == RE_STRING && n.w2 >= 2) {
            f.useLiteral = true;
            f.literal = static_cast<const uint8_t*>(node_pointer(n));
            f.literalLen = n.w2;
            f.maxOffset = static_cast<int32_t>(offset);
            for (int32_t j = 1; j < n.w2; ++j)
                if (byte_share(f.literal[j]) < byte_share(f.literal[f.literalRare])) f.literalRare = j;
            break;
        }
        // The rarest single byte, leaving out one at offset 0 that the
        // first-byte set already covers.
        if (!it.quantified && n.w0 == RE_CHAR && n.w1 >= 0 && n.w1 < 256 && !(offset == 0 && f.useByteSet) &&
            (bestChar < 0 || byte_share(n.w1) < byte_share(a.nodes[bestChar].w1))) {
            bestChar = i;
            bestCharOffset = offset;
        }
        offset += a.item_width(i, it);
        i = it.end;
    }
    if (!f.useLiteral && bestChar >= 0) {
        f.useLiteral = true;
        f.literal = reinterpret_cast<const uint8_t*>(&a.nodes[bestChar]) + 4;
        f.literalLen = 1;
        f.maxOffset = static_cast<int32_t>(bestCharOffset);
    }

    // Where the scan stands at an occurrence of a literal that begins every
    // match, the steps it covers are known to be taken: the steps start
    // after it, from the state the literal leads to.
    if (f.leadSteps > 0 && f.useLiteral && !f.literalFolded && f.maxOffset == 0) {
        uint32_t s = f.leadStart;
        for (int32_t j = 0; j < f.literalLen && (s >> f.leadSteps) == 0; ++j) {
            const uint32_t m = s & f.leadStepBytes[f.literal[j]];
            s = close_nullable((m << 1) | (m & f.leadLoop), f.leadNullable);
        }
        f.leadSkipsLiteral = true;
        f.leadAfterLiteral = s;
    }
    f.literalOnly = f.useLiteral && !f.literalFolded && f.maxOffset == 0 && f.literal[0] < 0x80 && !f.endDrive &&
                    f.behindLen == 0 && !f.useRun && !f.useDoubled && !f.wordStart;
}

}  // namespace

void derive_start_filter(const QelRegExpState* state, StartFilter& f) {
    derive_filter_parts(state, f);
    // The word runs take over from the first-byte set, the run and the word
    // start, not from the parts that know more.
    if (f.useLiteral || f.behindLen > 0 || f.endDrive || f.useDoubled || f.refAfterRun || f.refAfterByte)
        f.wordRun = false;
    f.firstOnly = f.useByteSet && !f.useDoubled && !f.useRun && !f.useLiteral && f.behindLen == 0 && !f.endDrive &&
                  !f.wordStart && !f.refAfterRun && !f.refAfterByte && !f.wordRun;
}

namespace {

// An analyser of the whole pattern with the option bits any part of it may
// run under; false for a pattern with a top-level bar.
bool top_level_analyzer(const QelRegExpState* state, Analyzer& a) {
    const StateHeader& h = *header(state);
    a = Analyzer{node_array(state), h.nodeCount, false, false, false, 0};
    uint32_t anyOpts = h.options;
    for (int32_t i = 0; i < a.count; ++i) {
        const RegExpNode& n = a.nodes[i];
        if (n.w0 == RE_SETOPTS) anyOpts |= static_cast<uint32_t>(n.w1);
        if (n.w0 == RE_GROUP_OPTS) anyOpts |= static_cast<uint32_t>(n.w3);
        if (n.w0 == RE_ALT_END || n.w0 == RE_CLOSE) anyOpts |= static_cast<uint32_t>(n.w2);
        if (n.w0 == RE_ALT_END && n.w1 == 0) return false;
    }
    a.icPossible = option_word_has(anyOpts, RE_OPT_IGNORECASE);
    a.dotallPossible = option_word_has(anyOpts, RE_OPT_DOTALL);
    return true;
}

// The items of the top-level sequence that `pick(a, i, item)` chooses, in
// node order, at most cap; none for a pattern with a top-level bar or where
// the analyser gives up.
template <class Pick>
int32_t top_level_items(const QelRegExpState* state, int32_t* out, int32_t cap, Pick pick) {
    Analyzer a;
    if (!top_level_analyzer(state, a)) return 0;
    int32_t found = 0;
    for (int32_t i = a.seq_next(0); i < a.count && found < cap && !a.giveUp; i = a.seq_next(i)) {
        Analyzer::Item it;
        if (!a.item_at(i, a.count, it)) break;
        const bool chosen = pick(a, i, it);
        if (a.giveUp) break;
        if (chosen) out[found++] = i;
        i = it.end;
    }
    return found;
}

// Greedy repeats of the top-level sequence (transparent groups looked
// through) whose item cannot begin with a byte that can begin what follows:
// giving back a copy always leaves the continuation facing such a byte.
int32_t no_give_back_items(const QelRegExpState* state, int32_t* out, int32_t cap) {
    return top_level_items(state, out, cap, [](Analyzer& a, int32_t i, const Analyzer::Item& it) {
        const uint32_t k = a.nodes[i].w0;
        const bool single = k == RE_CHAR || k == RE_PREDEF || k == RE_CLASS || k == RE_UCHAR || k == RE_URANGE;
        if (!single || !it.quantified || a.nodes[it.end - 1].w0 != RE_GREEDY) return false;
        ByteSet item{}, follow{};
        a.add_single(i, item);
        bool endOk = false;  // a give-back position is never the end
        const bool nullable = a.seq_first(it.end, follow, &endOk);
        const bool disjoint = ((item.bits[0] & follow.bits[0]) | (item.bits[1] & follow.bits[1]) |
                               (item.bits[2] & follow.bits[2]) | (item.bits[3] & follow.bits[3])) == 0;
        return !nullable && disjoint;
    });
}

// Greedy repeats of the top-level sequence whose continuation leaves one or
// more groups and then needs one ASCII byte ("(\\w+)_\\1": the group closes,
// then "_"). The repeat's own pre-test sees only the closing node; with the
// byte known, give-backs go straight to its occurrences instead of closing
// the group at every position of the run. Only the items repeat_units takes,
// and a letter only where the options after the last close fold no case (a
// plain character folds A-Z onto a-z only: any other byte compares exactly).
int32_t close_follow_items(const QelRegExpState* state, int32_t* out, uint8_t* bytes, int32_t cap) {
    int32_t found = 0;
    const int32_t n = top_level_items(state, out, cap, [&](Analyzer& a, int32_t i, const Analyzer::Item& it) {
        const uint32_t k = a.nodes[i].w0;
        const bool unit = k == RE_PREDEF || k == RE_UCHAR || k == RE_URANGE ||
                          (k == RE_CLASS && !class_has_grapheme_member(a.nodes, i));
        if (!unit || !it.quantified || a.nodes[it.end - 1].w0 != RE_GREEDY) return false;
        if (it.end >= a.count || a.nodes[it.end].w0 != RE_CLOSE) return false;
        const int32_t j = a.seq_next(it.end);
        if (a.giveUp || j >= a.count) return false;
        uint32_t opts = 0;
        for (int32_t c = it.end; c < j; ++c)
            if (a.nodes[c].w0 == RE_CLOSE) opts = static_cast<uint32_t>(a.nodes[c].w2);
        const RegExpNode& f = a.nodes[j];
        int32_t byte = -1;
        if (f.w0 == RE_CHAR) byte = f.w1;
        else if (f.w0 == RE_STRING && f.w2 >= 1 && node_pointer(f) != nullptr)
            byte = static_cast<const uint8_t*>(node_pointer(f))[0];
        if (byte < 0 || byte >= 0x80 || (j + 1 < a.count && is_quantifier(a.nodes[j + 1].w0))) return false;
        if ((opts & RE_OPT_IGNORECASE) && is_letter(static_cast<uint8_t>(byte))) return false;
        bytes[found++] = static_cast<uint8_t>(byte);
        return true;
    });
    return n < found ? n : found;
}

// Whether the group at o, a greedy unbounded repeat in the top-level
// sequence, loops (see loop_group in the matcher): its body's alternatives
// are rows of unrepeated one-character items (RE_CHAR, RE_PREDEF, a class
// without "\\X") under the options in force after the group, no two of them
// can begin with the same byte, and what follows the group needs a first
// byte that none of them can begin with.
bool loop_group_at(Analyzer& a, int32_t o, const Analyzer::Item& it) {
    const RegExpNode& n = a.nodes[o];
    if ((n.w0 != RE_GROUP && n.w0 != RE_CAPTURE) || n.w1 < 1 || n.w1 > kMaxGroups || n.w2 < 1) return false;
    if (!it.quantified || a.nodes[it.end - 1].w0 != RE_GREEDY || it.qmax != RE_UNBOUNDED) return false;
    const int32_t close = o + n.w2 + 1;
    const int32_t opts = a.nodes[close].w2;
    ByteSet starts{};
    for (int32_t i = o + 1; i < close;) {
        // One alternative from i.
        ByteSet first{};
        bool any = false;
        while (i < close && !(a.nodes[i].w0 == RE_ALT_END && a.nodes[i].w1 == n.w1)) {
            const RegExpNode& m = a.nodes[i];
            const bool single = (m.w0 == RE_CHAR && m.w1 >= 0 && m.w1 < 256) || m.w0 == RE_PREDEF ||
                                (m.w0 == RE_CLASS && !class_has_grapheme_member(a.nodes, i));
            Analyzer::Item mi;
            if (!single || !a.item_at(i, close, mi) || mi.quantified) return false;
            if (!any) a.add_single(i, first);
            any = true;
            i = mi.end;
        }
        if (!any || a.giveUp) return false;
        for (int w = 0; w < 4; ++w) {
            if (starts.bits[w] & first.bits[w]) return false;
            starts.bits[w] |= first.bits[w];
        }
        if (i < close) {
            if (a.nodes[i].w2 != opts) return false;
            ++i;
            if (i == close) return false;  // an empty last alternative
        }
    }
    ByteSet follow{};
    bool endOk = false;  // a give-back position is never the end
    const bool nullable = a.seq_first(it.end, follow, &endOk);
    if (nullable || a.giveUp) return false;
    for (int w = 0; w < 4; ++w)
        if (starts.bits[w] & follow.bits[w]) return false;
    return true;
}

// The looping groups of the top-level sequence, in node order.
int32_t loop_groups(const QelRegExpState* state, int32_t* out, int32_t cap) {
    return top_level_items(state, out, cap, loop_group_at);
}

// Plans sit on a 64-byte boundary of the address space, so the 64-bit words
// of their byte sets are naturally aligned whatever the state's address.
constexpr uintptr_t kPlanAlign = 64;
// Past this many planned items a pattern keeps the per-position tests.
constexpr int32_t kMaxPlannedItems = 64;

// A greedy group (plain or capturing) with minimum 0 whose body has one way
// through, beginning with an unrepeated RE_CHAR: the matcher passes over it
// wherever that byte does not stand (optional_group_at).
bool optional_group(const RegExpNode* nodes, int32_t count, int32_t o, uint8_t* byte) {
    const RegExpNode& n = nodes[o];
    if ((n.w0 != RE_GROUP && n.w0 != RE_CAPTURE) || n.w1 < 1 || n.w1 > kMaxGroups || n.w2 < 1) return false;
    const int64_t close = int64_t(o) + n.w2 + 1;
    if (close + 1 >= count || nodes[close].w0 != RE_CLOSE) return false;
    const RegExpNode& q = nodes[close + 1];
    if (q.w0 != RE_GREEDY || q.w1 != 0 || q.w2 == 0) return false;
    const RegExpNode& first = nodes[o + 1];
    if (first.w0 != RE_CHAR || first.w1 < 0 || first.w1 > 255) return false;
    if (o + 2 < count && (nodes[o + 2].w0 == RE_GREEDY || nodes[o + 2].w0 == RE_LAZY)) return false;
    for (int64_t i = o + 1; i < close; ++i)
        if (nodes[i].w0 == RE_ALT_END && nodes[i].w1 == n.w1) return false;
    *byte = static_cast<uint8_t>(first.w1);
    return true;
}

// An assertion that looks at the window end or past the current position
// reads beyond the match; cutting the window at the last trailing literal
// would change what it sees ("a(?=bc)b" in "abc", "a$\n" in "a\nb"). So does
// an atomic group: the pass it keeps may run past the cut, and a pass cut
// short would let the literal after it match ("(?>(?:..)*)b" in "abbx").
bool reads_past_match(const RegExpNode* nodes, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        uint32_t k = nodes[i].w0;
        if (k == RE_LOOKAHEAD || k == RE_NLOOKAHEAD || k == RE_ATOMIC) return true;
        if (k == RE_ANCHOR && (nodes[i].w1 == '$' || nodes[i].w1 == 'Z')) return true;
    }
    return false;
}

bool plain_alternation(const RegExpNode* nodes, int32_t count) {
    if (count < 3 || (count & 1) == 0) return false;
    for (int32_t i = 0; i < count; ++i) {
        const RegExpNode& n = nodes[i];
        const bool ok = (i & 1) ? (n.w0 == RE_ALT_END && n.w1 == 0)
                                : (n.w0 == RE_CHAR || (n.w0 == RE_STRING && n.w2 >= 1));
        if (!ok) return false;
    }
    return true;
}

}  // namespace

void fill_plan_facts(const QelRegExpState* state, SearchPlan& p) {
    const StateHeader& h = *header(state);
    const RegExpNode* nodes = node_array(state);
    p.readsPastMatch = reads_past_match(nodes, h.nodeCount);
    p.plainAlternation = h.searchMode == 2 && plain_alternation(nodes, h.nodeCount);
    p.firstBar = -1;
    for (int32_t j = 0; j < h.nodeCount && p.firstBar < 0; ++j)
        if (nodes[j].w0 == RE_ALT_END && nodes[j].w1 == 0) p.firstBar = j;
    // Anchoring from an anchor at node 0 of a pattern without a top-level bar.
    p.anchorMode = 0;
    if (h.nodeCount > 0 && nodes[0].w0 == RE_ANCHOR && p.firstBar < 0) {
        const int32_t letter = nodes[0].w1;
        if (letter == 'A' || letter == 'G')
            p.anchorMode = 2;
        else if (letter == '^')
            p.anchorMode = (h.options & RE_OPT_MULTILINE) ? 1 : 2;
        if (h.nodeCount >= 2 && is_quantifier(nodes[1].w0) && nodes[1].w1 == 0 && p.anchorMode == 2) p.anchorMode = 0;
    }
    p.gateLiteral = false;
    p.gatePair = false;
    p.gateByteSet = false;
    p.gateFirstByte = -1;
    p.gateTail = false;
    p.gateRareAt = -1;
    p.gateLeadsSkip = false;
    p.wholeRun = false;
    p.wholeRunMin = 0;
    p.wholeRunStepWork = 0;
}

namespace {

// Bytes this rare or rarer (upper-case letters, most punctuation) are what
// the entry gate looks for before a literal.
constexpr int kRareShare = 6;
// First-byte sets this rare or rarer ("[0-9]", one letter) are tested.
constexpr int kGateSetShare = 100;

// The entry gate of a plan whose filter is filled in.
void set_entry_gate(const QelRegExpState* state, SearchPlan& p) {
    const StartFilter& f = p.filter;
    if (!p.useFilter || p.anchorMode != 0 || p.plainAlternation) return;
    p.gateLiteral = f.useLiteral && f.literalLen >= 1;
    // A first-byte set that most lines hold ("\\w", "\\s") would only add a
    // search to nearly every call.
    const bool rareFirst = f.useByteSet && set_share(f.firstBytes) <= kGateSetShare;
    p.gatePair = rareFirst && f.usePair;
    p.gateByteSet = rareFirst && !f.usePair;
    if (p.gateLiteral && !f.literalFolded && f.literalLen >= 2 && f.literalLen <= INT16_MAX) {
        // A byte rarer than the letters: most windows lack it.
        int least = kRareShare + 1;
        for (int32_t i = 0; i < f.literalLen; ++i)
            if (byte_share(f.literal[i]) < least) {
                least = byte_share(f.literal[i]);
                p.gateRareAt = static_cast<int16_t>(i);
            }
    }
    if (p.gateLiteral && f.maxOffset == 0) {
        // Every match starts with the literal: an occurrence holds a first
        // byte, and with two bytes or more also a first pair.
        p.gateByteSet = false;
        if (f.literalLen >= 2) p.gatePair = false;
    }
    const StateHeader& h = *header(state);
    if (h.prefilterNode >= 0 && h.prefilterNode < h.nodeCount && !p.readsPastMatch) {
        // Left to the filter where a first-byte test or the literal test
        // looks for the same bytes.
        const RegExpNode& n = node_array(state)[h.prefilterNode];
        const uint8_t* lit = n.w0 == RE_CHAR ? reinterpret_cast<const uint8_t*>(&n) + 4
                             : n.w0 == RE_STRING && n.w2 >= 1 ? static_cast<const uint8_t*>(node_pointer(n))
                                                               : nullptr;
        p.gateTail = lit != nullptr && !(f.useByteSet && f.firstBytes.has(lit[0])) &&
                     !(p.gateLiteral && f.literal == lit);
    }
    if (p.gateLiteral && f.maxOffset == 0 && h.searchMode == 1 && h.nodeCount > 0) {
        const RegExpNode& n0 = node_array(state)[0];
        const bool foldAll = (h.options & RE_OPT_IGNORECASE) != 0;
        p.gateLeadsSkip = n0.w0 == RE_STRING && n0.w2 >= 1 && f.literal == static_cast<const uint8_t*>(node_pointer(n0)) &&
                          f.literalLen == n0.w2 && f.literalFolded == foldAll;
    }
    if ((p.gatePair || p.gateByteSet) && f.firstSingle) p.gateFirstByte = f.firstByte;
}

}  // namespace

namespace {

// Work the match step spends on one start of a whole-run pattern at most,
// beyond one charge per copy up to the minimum: the step itself, two passes
// of the greedy loop, the give-back loop's charge and the continuation's
// step, with room to spare.
constexpr int32_t kWholeRunStepWork = 8;
// A class whose set the repeat works out only after its first few copies
// (no set in the plan) charges a pass per copy until then.
constexpr int32_t kWholeRunClassStepWork = kWholeRunStepWork + 4;

// Whether the class at `cls` decides on the first byte it looks at alone
// (under `options`), so that trying it on each byte value by itself tells
// everything it accepts: members that compare that byte only, and ranges of
// ASCII characters, which take a character of several bytes only where one
// folds into them under ignore-case.
bool class_decides_on_first_byte(const RegExpNode* nodes, int32_t cls, uint32_t options) {
    const bool fold = (options & RE_OPT_IGNORECASE) != 0;
    for (int32_t i = 1; i <= nodes[cls].w2; ++i) {
        const RegExpNode& m = nodes[cls + i];
        switch (m.w0) {
            case RE_CHAR:
                if (m.w1 < 0 || m.w1 >= 0x80) return false;
                break;
            case RE_PREDEF:
                break;
            case RE_RANGE:
                if (m.w1 < 0 || m.w2 < 0 || m.w1 >= 0x80 || m.w2 >= 0x80) return false;
                if (fold && range_takes_above_ascii(uint32_t(m.w1), uint32_t(m.w2)))
                    return false;
                break;
            default:
                return false;
        }
    }
    return true;
}

// The whole-run shape: a single item whose members are one-byte ASCII
// characters in both formats, "\\w", "\\d", "\\s" or a bracket class, and its
// greedy quantifier with no upper bound. The sets come from the matcher's
// own item tests.
void set_whole_run(const QelRegExpState* state, SearchPlan& p) {
    const StateHeader& h = *header(state);
    const RegExpNode* nodes = node_array(state);
    if (h.nodeCount < 2 || h.captureCount != 1 || h.searchMode == 2) return;
    const RegExpNode& item = nodes[0];
    const bool predef = item.w0 == RE_PREDEF && (item.w1 == 'w' || item.w1 == 'd' || item.w1 == 's');
    const bool cls = item.w0 == RE_CLASS && item.w2 >= 1 && h.nodeCount == int64_t(item.w2) + 2 &&
                     class_decides_on_first_byte(nodes, 0, h.options);
    if (!(predef && h.nodeCount == 2) && !cls) return;
    const RegExpNode& q = nodes[h.nodeCount - 1];
    if (q.w0 != RE_GREEDY || q.w1 < 1 || q.w2 != RE_UNBOUNDED) return;
    p.wholeRunSet = ByteSet{};
    for (int b = 0; b < 256; ++b) {
        const uint8_t byte = static_cast<uint8_t>(b);
        const bool in = predef ? predef_test(item.w1, byte, h.options)
                               : class_unit_length(nodes, 0, &byte, 1, h.options) != 0;
        if (!in) continue;
        if (byte >= 0x80) return;
        p.wholeRunSet.add(byte);
    }
    p.wholeRunSet.build_rows();
    p.wholeRunMin = q.w1;
    p.wholeRunStepWork = predef ? kWholeRunStepWork : kWholeRunClassStepWork;
    p.wholeRun = true;
}

}  // namespace

void build_search_plan(QelRegExpState* state, int32_t groupLimit) {
    const StateHeader& h = *header(state);
    const RegExpNode* nodes = node_array(state);
    // The group indices the nodes name, whatever the compiler's count says.
    for (int32_t i = 0; i < h.nodeCount; ++i) {
        const RegExpNode& n = nodes[i];
        const bool named = n.w0 == RE_ALT_END || n.w0 == RE_CLOSE || (n.w0 >= RE_LOOKBEHIND && n.w0 <= RE_ATOMIC);
        const int64_t g = named ? (n.w1 < 0 ? -int64_t(n.w1) : int64_t(n.w1)) : 0;
        if (g >= groupLimit) groupLimit = g <= kMaxGroups ? static_cast<int32_t>(g + 1) : kMaxGroups + 2;
    }
    PlanSlot* slot = plan_slot(state);
    *slot = PlanSlot{kPlanTag, 0, 0, 0, 0, 0, groupLimit, 0};
    if (groupLimit < 1 || groupLimit > kMaxGroups + 1) return;

    int32_t fixed[kMaxPlannedItems];
    const int32_t fixedCount = no_give_back_items(state, fixed, kMaxPlannedItems);
    int32_t loops[kMaxPlannedItems];
    const int32_t loopCount = loop_groups(state, loops, kMaxPlannedItems);
    int32_t follows[kMaxPlannedItems];
    uint8_t followBytes[kMaxPlannedItems];
    const int32_t followCount = close_follow_items(state, follows, followBytes, kMaxPlannedItems);
    int32_t classes = 0, groups = 0;
    uint8_t groupByte = 0;
    for (int32_t i = 0, f = 0, l = 0, c = 0; i < h.nodeCount; ++i) {
        const bool hasSet = nodes[i].w0 == RE_CLASS && !class_has_grapheme_member(nodes, i);
        const bool noGiveBack = f < fixedCount && fixed[f] == i;
        if (noGiveBack) ++f;
        const bool loop = l < loopCount && loops[l] == i;
        if (loop) ++l;
        const bool follow = c < followCount && follows[c] == i;
        if (follow) ++c;
        if (hasSet || noGiveBack || loop || follow)
            ++classes;
        else if (optional_group(nodes, h.nodeCount, i, &groupByte))
            ++groups;
    }
    // Too many classes: no items at all. The groups only where the classes'
    // items and the plan keep their room.
    bool withGroups = groups > 0 && classes + groups <= kMaxPlannedItems;
    if (classes > kMaxPlannedItems) classes = 0;

    uint8_t* const base = reinterpret_cast<uint8_t*>(state);
    uint8_t* const roomEnd = base + kGroupTableOffset + int64_t(kMaxGroups + 1) * sizeof(RegExpGroupSlot);
    uint8_t* room = base + kGroupTableOffset + int64_t(groupLimit) * sizeof(RegExpGroupSlot);
    room += (kPlanAlign - reinterpret_cast<uintptr_t>(room) % kPlanAlign) % kPlanAlign;
    int64_t need = int64_t(sizeof(SearchPlan)) + int64_t(classes) * int64_t(sizeof(PlannedItem));
    if (withGroups && roomEnd - room < need + int64_t(groups) * int64_t(sizeof(PlannedItem))) withGroups = false;
    if (withGroups) need += int64_t(groups) * int64_t(sizeof(PlannedItem));
    const int32_t items = withGroups ? classes + groups : classes;
    if (roomEnd - room < need) {
        slot->spareOffset = static_cast<int32_t>(base + kGroupTableOffset + int64_t(groupLimit) * 32 - base);
        slot->spareBytes = static_cast<int32_t>(roomEnd - (base + slot->spareOffset));
        return;
    }

    auto* plan = reinterpret_cast<SearchPlan*>(room);
    derive_start_filter(state, plan->filter);
    plan->useFilter = plan->filter.useByteSet || plan->filter.useRun || plan->filter.useLiteral ||
                      plan->filter.behindLen > 0 || plan->filter.skipRunOnFail || plan->filter.wordRun ||
                      plan->filter.refAfterByte;
    fill_plan_facts(state, *plan);
    plan->alternation.on = false;
    if (plan->plainAlternation)
        build_literal_alternation(nodes, h.nodeCount, (h.options & RE_OPT_IGNORECASE) != 0, plan->alternation);
    set_entry_gate(state, *plan);
    set_whole_run(state, *plan);
    plan->itemCount = items;
    auto* entries = reinterpret_cast<PlannedItem*>(room + sizeof(SearchPlan));
    for (int32_t i = 0, k = 0, f = 0, l = 0, c = 0; i < h.nodeCount && k < items; ++i) {
        const bool hasSet = nodes[i].w0 == RE_CLASS && !class_has_grapheme_member(nodes, i);
        const bool noGiveBack = f < fixedCount && fixed[f] == i;
        if (noGiveBack) ++f;
        const bool loop = l < loopCount && loops[l] == i;
        if (loop) ++l;
        const bool follow = c < followCount && follows[c] == i;
        const uint8_t followByte = follow ? followBytes[c] : 0;
        if (follow) ++c;
        const bool optGroup = !hasSet && !noGiveBack && !loop && !follow && withGroups &&
                              optional_group(nodes, h.nodeCount, i, &groupByte);
        if (!hasSet && !noGiveBack && !optGroup && !loop && !follow) continue;
        PlannedItem e{};
        e.node = i;
        e.options = h.options & kClassOptionMask;
        if (hasSet) class_ascii_set(nodes, i, h.options, e.set);
        e.hasSet = hasSet;
        e.noGiveBack = noGiveBack;
        e.optionalGroup = optGroup;
        e.groupByte = optGroup ? groupByte : 0;
        e.loopGroup = loop;
        e.closeFollow = follow;
        e.followByte = followByte;
        entries[k++] = e;
    }
    slot->planOffset = static_cast<int32_t>(room - base);
    slot->planBytes = static_cast<int32_t>(need);
    slot->spareOffset = static_cast<int32_t>(room + need - base);
    slot->spareBytes = static_cast<int32_t>(roomEnd - (room + need));
}

}  // namespace qel::re
