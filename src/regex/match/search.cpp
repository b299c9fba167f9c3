// The search driver: argument checks, the literal prefilters, the anchoring
// mode, and the scan over start positions that calls the match step.
//
// Invariants:
// - The driver never writes the state header or the nodes; the matcher
//   writes the group and capture tables.
// - The match state's subject start is always the caller's subject, however
//   far a prefilter moves the window, so anchors and look-behind see the
//   true start.
// - Every start position begins with the state's own options, so an option
//   change left behind by a failed attempt never reaches the next position.
// - The window never grows: prefilters only move its start forward or cut
//   its end, and the matcher is never given bytes outside it.
// - Once the nesting budget, the stack guard or the work budget has cut a
//   path (ms.cut), the search stops and reports qelErrMatchLimit: the cut
//   path might have held the leftmost-first match, so neither "no match" nor
//   a later match can be named with certainty. Matches reported before the
//   first cut stay in a global search's records.
#include <bit>

#include "frame/frame.h"
#include "regex/match/dfa.h"
#include "regex/match/linear.h"
#include "regex/match/match_internal.h"
#include "regex/match/search_internal.h"
#include "string/find.h"

namespace qel::re {

namespace {

// A state without a search plan (one built by hand, or whose pattern fills
// the group table) derives the start filter per call; on short windows the
// plain scan is over before that pays off.
constexpr int32_t kStartFilterMinWindow = 256;

constexpr uint8_t kLineFeed = 10;

// An alternation of literals takes the one-pass search from a window this
// long: shorter ones are over in one or two byte searches per literal.
constexpr int32_t kOnePassMinWindow = 64;

inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

struct Literal {
    const uint8_t* bytes;
    int32_t len;
};

// RE_CHAR and RE_STRING nodes as byte strings; len 0 for anything else.
Literal literal_of(const RegExpNode& n) {
    // w1 holds the byte value; its low byte comes first in memory on x86.
    if (n.w0 == RE_CHAR) return {reinterpret_cast<const uint8_t*>(&n) + 4, 1};
    if (n.w0 == RE_STRING && n.w2 >= 1) return {static_cast<const uint8_t*>(node_pointer(n)), n.w2};
    return {nullptr, 0};
}

// First occurrence of `lit` in [p, p + n), folding a-z onto A-Z when asked.
// Inline: a one-line search calls it once or twice, mostly for one byte.
[[gnu::always_inline]] inline int32_t find_first(const uint8_t* p, int32_t n, Literal lit, bool fold) {
    if (n < lit.len) return -1;
    if (!fold) return lit.len == 1 ? find_byte(p, n, lit.bytes[0]) : find_substring(p, n, lit.bytes, lit.len);
    return find_folded(p, n, lit.bytes, lit.len);
}

// A required literal tried this many times by its rarest byte and a
// compare before the substring search takes the rest of the window.
constexpr int32_t kRareByteTries = 16;

// First occurrence of the filter's required literal in [p, p + n). A scan
// that fails at most occurrences ("#define" against "#define\\s+\\w+\\s+\\(")
// looks for the next one many times over short stretches, where the
// substring search's set-up costs more than the scan; the literal's
// rarest byte, found by the byte search and confirmed by a compare, is
// cheaper there, and rarely misses.
int32_t find_required(const uint8_t* p, int32_t n, const StartFilter& f) {
    const int32_t len = f.literalLen;
    if (f.literalFolded || len == 1) return find_first(p, n, {f.literal, len}, f.literalFolded);
    const int32_t rare = f.literalRare;
    const int32_t last = n - len;  // the last start that fits
    auto at = [&](int32_t i) {
        int32_t j = 0;
        while (j < len && p[i + j] == f.literal[j]) ++j;
        return j == len;
    };
    // A one-line search's window often starts at the literal.
    if (last >= 0 && at(0)) return 0;
    int32_t i = 0;
    for (int32_t t = 0; t < kRareByteTries; ++t) {
        if (i > last) return -1;
        const int32_t k = find_byte(p + i + rare, last + 1 - i, f.literal[rare]);
        if (k < 0) return -1;
        i += k;
        if (at(i)) return i;
        ++i;
    }
    if (i > last) return -1;
    const int32_t k = find_substring(p + i, n - i, f.literal, len);
    return k < 0 ? -1 : i + k;
}

// Last occurrence of `lit` in [p, p + n).
int32_t find_last(const uint8_t* p, int32_t n, Literal lit, bool fold) {
    if (n < lit.len) return -1;
    if (!fold) return lit.len == 1 ? rfind_byte(p, n, lit.bytes[0]) : rfind_substring(p, n, lit.bytes, lit.len);
    return rfind_folded_avx2(p, n, lit.bytes, lit.len);
}


// First position >= target that the scan visits when it steps on from the
// visited position q. In UTF-8 format the scan never stops inside a valid
// sequence; every byte that is not a continuation byte is a position it
// visits, so the walk starts at the last such byte before the target.
const uint8_t* sync_to_visited(const uint8_t* q, const uint8_t* target, const uint8_t* end, int32_t format) {
    if (format != 1 || target <= q || target >= end) return target;
    const uint8_t* r = target;
    while (r > q && is_continuation(*r)) --r;
    while (r < target) r += utf8_step(r, static_cast<int32_t>(end - r));
    return r;
}

struct ScanFilter {
    const StartFilter* f;
    const uint8_t* nextLiteral;  // next occurrence of the required literal at or after the last position checked
    const uint8_t* runEnd;          // end of the last run of the leading repeat looked at
    const uint8_t* runViableBelow;  // in that run, only positions below this may match
    const uint8_t* driveLiteral;    // literal drive: the occurrence last looked at
    const uint8_t* driveRunStart;   // ... and where the run of C that reaches it starts
    const uint8_t* subjectStart;    // look-behind literals may lie before the window
    const uint8_t* sepRunFor;       // back-reference check: the run end the next field belongs to
    const uint8_t* sepRunEnd;       // ... and where the run of separator bytes after it ends
    const uint8_t* endAt;           // end drive: the end position last looked at
    const uint8_t* endRunStart;     // ... where the run of the set that reaches it starts
    // The end drive's reverse scan: the viable starts in [chainBase,
    // chainBase + kChainWindow) of the chain of end positions that ends at
    // chainEnd; a position after the chain's last is tried at chainNext.
    const uint8_t* chainBase;
    const uint8_t* chainEnd;
    const uint8_t* chainNext;
    const uint8_t* longUntil;       // ... a chain too long for it ends here: walk over the set
    uint64_t viable[8];
};

// Readies a filter for a scan from `pos`. Set field by field: the end
// drive's window of viable starts is filled only when a chain is scanned,
// and a short search should not pay for clearing it.
void init_scan_filter(ScanFilter& sf, const StartFilter* filter, const uint8_t* pos, const uint8_t* subjectStart) {
    sf.f = filter;
    sf.nextLiteral = nullptr;
    sf.runEnd = pos;
    sf.runViableBelow = pos;
    sf.driveLiteral = nullptr;
    sf.driveRunStart = pos;
    sf.subjectStart = subjectStart;
    sf.sepRunFor = nullptr;
    sf.sepRunEnd = nullptr;
    sf.endAt = nullptr;
    sf.endRunStart = nullptr;
    sf.chainBase = nullptr;
    sf.chainEnd = nullptr;
    sf.chainNext = nullptr;
    sf.longUntil = nullptr;
}

// Positions of a chain the reverse scan records at once; the scan's cost is
// bounded by kChainMax, so a chain longer than that is walked over instead.
constexpr int32_t kChainWindow = 512;
constexpr int32_t kChainMax = 4096;


// The first end position at or after `pos`: a line feed where "m" may be in
// force, else the byte before a final line feed, else the window end.
const uint8_t* next_end_position(const uint8_t* pos, const uint8_t* end, const StartFilter& f) {
    if (f.endAnyLineFeed) {
        const int32_t k = find_byte(pos, static_cast<int32_t>(end - pos), kLineFeed);
        return k >= 0 ? pos + k : end;
    }
    if (f.endFinalLineFeed && end > pos && end[-1] == kLineFeed) return end - 1;
    return end;
}

// The end drive's exact form: scans back from the last end position of the
// chain that begins at the first end position at or after `pos` (a chain:
// end positions joined by a run of the set, which then holds the line feed),
// keeping at each position the steps from which the rest of the pattern can
// reach an end position. A position where the first step is among them is a
// viable start. Returns the first viable start at or after `pos`, null when
// none is left, or `pos` itself with *tooLong set when the chain is longer
// than the scan's bound.
const uint8_t* end_chain(const uint8_t* pos, const uint8_t* end, const StartFilter& f, ScanFilter& sf,
                         bool* tooLong) {
    for (;;) {
        if (sf.chainEnd == nullptr || pos > sf.chainEnd) {
            // The chain: its first end position e, its last one, and the run
            // of the set after it (next: the first byte outside it).
            const uint8_t* e = next_end_position(pos, end, f);
            const uint8_t* last = e;
            const uint8_t* next = e + 1;
            if (e < end && f.endSet.has(kLineFeed)) {
                const int32_t k = find_byteset(e, static_cast<int32_t>(end - e), f.endStop);
                next = k < 0 ? end : e + k;
                if (next == end)
                    last = end;
                else if (f.endAnyLineFeed)
                    last = e + rfind_byte(e, static_cast<int32_t>(next - e), kLineFeed);
            }
            // No start before the run of the set that reaches e.
            const uint8_t* base = e;
            while (base > pos && f.endSet.has(base[-1])) --base;
            if (last - base > kChainMax) {
                sf.longUntil = last;
                *tooLong = true;
                return pos;
            }
            sf.chainBase = base;
            sf.chainEnd = last;
            sf.chainNext = next;
            for (uint64_t& w : sf.viable) w = 0;
            const uint32_t accept = uint32_t(1) << f.endSteps;
            uint32_t d = 0;
            for (const uint8_t* p = last;; --p) {
                uint32_t x = 0;
                if (p < last) {
                    const uint32_t m = f.endStepBytes[*p];
                    x = m & (((d >> 1) & ~f.endLoop) | (d & f.endLoop));
                }
                if (p == end || (p >= e && *p == kLineFeed && (f.endAnyLineFeed || p == end - 1))) x |= accept;
                for (uint32_t grown = (x >> 1) & f.endNullable; (grown & ~x) != 0; grown = (x >> 1) & f.endNullable)
                    x |= grown;
                d = x;
                if ((d & 1) != 0 && p - base < kChainWindow) {
                    const int64_t i = p - base;
                    sf.viable[i >> 6] |= uint64_t(1) << (i & 63);
                }
                if (p == base || (d == 0 && p <= e)) break;
            }
        }
        const int64_t from = pos > sf.chainBase ? pos - sf.chainBase : 0;
        if (from < kChainWindow) {
            for (int64_t w = from >> 6; w < kChainWindow / 64; ++w) {
                uint64_t bits = sf.viable[w];
                if (w == (from >> 6)) bits &= ~uint64_t(0) << (from & 63);
                if (bits != 0) return sf.chainBase + (w << 6) + std::countr_zero(bits);
            }
            if (sf.chainEnd - sf.chainBase < kChainWindow) {
                // Nothing viable up to the chain's end.
                if (sf.chainEnd == end) return nullptr;
                pos = sf.chainNext;
                sf.chainEnd = nullptr;
                continue;
            }
            pos = sf.chainBase + kChainWindow;
        }
        // Past the recorded window of a long chain: scan again from here.
        sf.chainEnd = nullptr;
    }
}

// End drive: the first position at or after `pos` from which a run of the
// set reaches an end position at least the minimum length on; null when none
// is left. Every position it skips lies in no run that reaches an end
// position far enough on, so the match step would fail there. The walks back
// stop at `pos` and the end position found is kept, so each byte is walked
// over a bounded number of times.
const uint8_t* end_drive(const uint8_t* pos, const uint8_t* end, const StartFilter& f, ScanFilter& sf) {
    if (f.endSteps > 0 && (sf.longUntil == nullptr || pos > sf.longUntil)) {
        bool tooLong = false;
        const uint8_t* s = end_chain(pos, end, f, sf, &tooLong);
        if (!tooLong) return s;
        sf.chainEnd = nullptr;
    }
    for (;;) {
        if (sf.endAt == nullptr || sf.endAt < pos) {
            const uint8_t* e = next_end_position(pos, end, f);
            const uint8_t* r = e;
            while (r > pos && f.endSet.has(r[-1])) --r;
            sf.endAt = e;
            sf.endRunStart = r;
        }
        const uint8_t* s = pos > sf.endRunStart ? pos : sf.endRunStart;
        if (sf.endAt - s >= f.endMinLen) return s;
        // Too short before this end position: only a later one that the same
        // run reaches can serve, and the run goes on only through a line feed
        // in the set.
        const uint8_t* e = sf.endAt;
        if (e == end) return nullptr;
        if (!f.endSet.has(kLineFeed)) {
            pos = e + 1;  // a line feed: the next byte is a visited position
            continue;
        }
        const int32_t k = find_byteset(e, static_cast<int32_t>(end - e), f.endStop);
        const uint8_t* q = k < 0 ? end : e + k;
        const uint8_t* last = nullptr;  // the last end position in (e, q]
        if (q == end) {
            last = end;
        } else if (f.endAnyLineFeed && q - e > 1) {
            const int32_t j = rfind_byte(e + 1, static_cast<int32_t>(q - e - 1), kLineFeed);
            if (j >= 0) last = e + 1 + j;
        }
        if (last != nullptr && last - s >= f.endMinLen) {
            sf.endAt = last;
            sf.endRunStart = s;
            return s;
        }
        // No start up to the run's end can reach far enough; the byte after
        // the run follows a one-byte character, so the scan visits it.
        pos = q;
        sf.endAt = nullptr;
    }
}

// "(C+)x\\1", x in C: the next start at or after `s` (a byte of a run of C)
// worth an attempt. A match from s ends the group at an x of the same run
// whose following bytes repeat s up to it, and the reference compares as
// the matcher does (A-Z folded onto a-z where ignore-case may apply; a byte
// outside C never equals one in C, as C holds both cases of its letters).
// s when such an x exists or the look would go further than kRefLook bytes
// (the attempt then decides); the run's end when no x follows s in the run,
// for then none follows a later start either; else s + 1. Every byte of the
// run is a one-byte character, so the scan visits each position returned.
constexpr int64_t kRefLook = 64;

inline bool ref_byte_equal(uint8_t subject, uint8_t byte, bool folded) {
    return subject == byte || (folded && is_ascii_letter(subject) && (subject ^ byte) == 0x20);
}

const uint8_t* ref_byte_next(const uint8_t* s, const uint8_t* end, const StartFilter& f) {
    bool sepSeen = false;
    const uint8_t* j = s + 1;
    for (; j < end && !f.refStop.has(*j); ++j) {
        if (j - s > kRefLook) return s;
        if (!ref_byte_equal(*j, f.refSep, f.refFolded)) continue;
        sepSeen = true;
        const int64_t k = j - s;
        if (end - (j + 1) < k) break;  // no copy fits after this x or a later one
        int64_t i = 0;
        while (i < k && ref_byte_equal(j[1 + i], s[i], f.refFolded)) ++i;
        if (i == k) return s;
    }
    return sepSeen ? s + 1 : j;
}

// Moves `pos` to the next visited position where a match may begin; null
// when none remains in the window.
const uint8_t* filter_advance(const uint8_t* pos, const uint8_t* end, int32_t format, ScanFilter& sf) {
    const StartFilter& f = *sf.f;
    if (f.firstOnly) {
        // What the general loop below does with this filter, without its
        // tests of the parts that are off.
        while (pos < end && !f.firstBytes.has(*pos)) {
            const int32_t n = static_cast<int32_t>(end - pos);
            const int32_t k = f.firstSingle ? find_byte(pos, n, f.firstByte) : find_byteset(pos, n, f.firstBytes);
            if (k < 0) return nullptr;
            pos = sync_to_visited(pos, pos + k, end, format);
        }
        return pos < end ? pos : nullptr;
    }
    if (f.literalOnly) {
        // An ASCII byte is never inside a character, so the scan visits it.
        if (sf.nextLiteral == nullptr || sf.nextLiteral < pos) {
            const int32_t k = find_required(pos, static_cast<int32_t>(end - pos), f);
            if (k < 0) return nullptr;
            sf.nextLiteral = pos + k;
        }
        return sf.nextLiteral;
    }
    if (f.wordRun) {
        // A run of the set's bytes (all ASCII) ends before a byte the scan
        // visits, and starts after one or at pos, so every position landed
        // on is one the scan visits.
        const int32_t lead = f.wordRunMin < 32 ? f.wordRunMin : 32;
        for (;;) {
            const int32_t n = static_cast<int32_t>(end - pos);
            if (n < lead) return nullptr;
            const bool wordBefore = pos > sf.subjectStart && is_word_byte(pos[-1]);
            const int32_t k = find_word_run_avx2(pos, n, wordBefore, f.wordRunSet, lead);
            if (k < 0) return nullptr;
            const uint8_t* s = pos + k;
            const uint8_t* q = s + lead;
            while (q < end && f.wordRunSet.has(*q)) ++q;
            if (q - s >= f.wordRunMin && q - s <= f.wordRunMax && (q == end || !is_word_byte(*q))) return s;
            // Later starts in the run follow a word byte.
            pos = q;
        }
    }
    for (;;) {
        const uint8_t* before = pos;
        if (f.endDrive) {
            pos = end_drive(pos, end, f, sf);
            if (pos == nullptr) return nullptr;
        }
        if (f.behindLen > 0) {
            // The next occurrence ending at or after pos; it may start before
            // the window, never before the subject.
            const uint8_t* from = pos - sf.subjectStart >= f.behindLen ? pos - f.behindLen : sf.subjectStart;
            const int32_t k =
                find_first(from, static_cast<int32_t>(end - from), {f.behindLiteral, f.behindLen}, f.behindFolded);
            if (k < 0) return nullptr;
            const uint8_t* after = from + k + f.behindLen;
            if (after > pos) pos = sync_to_visited(pos, after, end, format);
        }
        if (f.useLiteral) {
            if (sf.nextLiteral == nullptr || sf.nextLiteral < pos) {
                // find_required looks at pos first: the leading-literal skip
                // leaves the window at the literal.
                const int32_t k = find_required(pos, static_cast<int32_t>(end - pos), f);
                if (k < 0) return nullptr;
                sf.nextLiteral = pos + k;
            }
            if (sf.nextLiteral - pos > f.maxOffset) pos = sync_to_visited(pos, sf.nextLiteral - f.maxOffset, end, format);
        }
        if (f.useRun && f.literalDrive && pos < end) {
            // Every byte between a match start and its literal lies in C, so
            // a match begins no earlier than the run of C that reaches the
            // next occurrence of the literal.
            if (sf.driveLiteral == nullptr || sf.driveLiteral < pos) {
                int32_t k = find_first(pos, static_cast<int32_t>(end - pos), {f.runLiteral, f.runLiteralLen}, false);
                if (k < 0) return nullptr;
                const uint8_t* lit = pos + k;
                // The walk back covers only positions the scan then tries, so
                // it costs no more than those attempts.
                const uint8_t* q = lit;
                while (q > pos && !f.runStop.has(q[-1])) --q;
                sf.driveLiteral = lit;
                sf.driveRunStart = q;
            }
            if (pos < sf.driveRunStart) pos = sync_to_visited(pos, sf.driveRunStart, end, format);
        } else if (f.useRun && f.runFollowAny && f.runMin >= 2 && f.runMin <= kMaxRunFind) {
            // Only the repeat's minimum matters: a start is viable exactly
            // where that many bytes of C follow it ("[0-9a-f]{8}"), which
            // one vector search finds however many short runs lie between.
            // The bytes of C are ASCII, so the scan visits the one it finds.
            const int32_t k = pos < end ? find_run(pos, static_cast<int32_t>(end - pos), f.runStop, f.runMin) : -1;
            if (k < 0) return nullptr;
            pos += k;
        } else if (f.useRun && pos < end) {
            if (pos >= sf.runEnd && !f.runStop.has(*pos)) {
                // A new run: find where it ends and below which start
                // positions it can still lead to a match.
                int32_t k = find_byteset(pos, static_cast<int32_t>(end - pos), f.runStop);
                const uint8_t* q = k < 0 ? end : pos + k;
                sf.runEnd = q;
                sf.runViableBelow = pos;
                if (f.runLiteral == nullptr) {
                    if (f.runFollowAny || (q < end && f.runFollow.has(*q)) || (f.runEndFollows && q == end))
                        sf.runViableBelow = q;
                    // A match takes at least runMin bytes of the run.
                    if (f.runMin > 1 && sf.runViableBelow > pos) {
                        const uint8_t* last = q - (f.runMin - 1);
                        sf.runViableBelow = last > pos ? (last < sf.runViableBelow ? last : sf.runViableBelow) : pos;
                    }
                } else {
                    // The literal must start in [position, q]; the last such
                    // start bounds the viable positions.
                    const uint8_t* lo = pos;
                    const uint8_t* hi = end - q > f.runLiteralLen ? q + f.runLiteralLen : end;
                    int32_t j = hi - lo >= f.runLiteralLen
                                    ? find_last(lo, static_cast<int32_t>(hi - lo), {f.runLiteral, f.runLiteralLen}, false)
                                    : -1;
                    if (j >= 0) sf.runViableBelow = lo + j + 1;
                }
                if (f.runLiteral != nullptr && f.runEndFollows && q == end) sf.runViableBelow = q;
            }
            // The end of a run follows a one-byte character, so the scan
            // visits it in either format.
            if (pos < sf.runEnd && pos >= sf.runViableBelow) pos = sf.runEnd;
            if (pos >= end) return nullptr;
        }
        if (f.useDoubled) {
            // The doubled byte is ASCII, so the scan visits it in either format.
            int32_t k = find_doubled(pos, static_cast<int32_t>(end - pos), f.firstBytes, f.doubledFolded);
            if (k < 0) return nullptr;
            pos += k;
        } else if (f.useByteSet) {
            if (pos >= end) return nullptr;
            if (!f.firstBytes.has(*pos)) {
                const int32_t n = static_cast<int32_t>(end - pos);
                const int32_t k = f.firstSingle ? find_byte(pos, n, f.firstByte) : find_byteset(pos, n, f.firstBytes);
                if (k < 0) return nullptr;
                pos = sync_to_visited(pos, pos + k, end, format);
            }
        }
        if (pos == before && f.refAfterRun && pos < sf.runEnd && !f.runStop.has(*pos)) {
            // pos lies in the run that ends at sf.runEnd; a match from it
            // needs the byte after the separators to be pos's own byte.
            if (sf.sepRunFor != sf.runEnd) {
                const uint8_t* r = sf.runEnd;
                while (r < end && f.runFollow.has(*r)) ++r;
                sf.sepRunFor = sf.runEnd;
                sf.sepRunEnd = r;
            }
            const uint8_t* r = sf.sepRunEnd;
            if (r == sf.runEnd || r == end || !(*r == *pos || (f.refFolded && is_ascii_letter(*r) && (*r ^ *pos) == 0x20))) {
                // As a failed attempt here would: on to the next start.
                if (f.skipRunOnFail && !f.headStop.has(*pos)) {
                    const int32_t k = find_byteset(pos, static_cast<int32_t>(end - pos), f.headStop);
                    pos = k < 0 ? end : pos + k;
                } else {
                    ++pos;  // a byte of the run is a one-byte character
                }
                if (pos >= end) return nullptr;
                continue;
            }
        }
        if (pos == before && f.refAfterByte && pos < end && !f.refStop.has(*pos)) {
            const uint8_t* next = ref_byte_next(pos, end, f);
            if (next != pos) {
                pos = next;
                if (pos >= end) return nullptr;
                continue;
            }
        }
        if (f.wordStart && pos < end && pos > sf.subjectStart && is_word_byte(pos[-1])) {
            // Between two word bytes "\\b" fails; the byte after the word
            // follows an ASCII byte, so the scan visits it.
            const uint8_t* q = pos;
            while (q < end && is_word_byte(*q)) ++q;
            pos = q;
        }
        if (pos == before) return pos;
    }
}

// Whether the pattern's leading steps can all be taken from `p` on, within
// the window: when they cannot, the match step fails at `p`. A few table
// look-ups and shifts per byte, where a failed match step costs its set-up
// and a few nested calls; most starts of a literal-led pattern fail within a
// few bytes of it ("#define NAME value" against "#define\\s+\\w+\\s+\\(").
[[gnu::always_inline]] inline bool lead_steps_pass(const uint8_t* p, const uint8_t* end, const StartFilter& f,
                                                   const uint8_t* literalAt) {
    const uint32_t accept = uint32_t(1) << f.leadSteps;
    uint32_t s = f.leadStart;
    if (p == literalAt && f.leadSkipsLiteral) {
        s = f.leadAfterLiteral;
        p += f.literalLen;
    }
    for (;;) {
        uint32_t live = s;
        if ((s & accept) != 0) {
            // Past the window end the boundary is left to the match step.
            if (!f.leadWordEnd || p == end || !is_word_byte(*p)) return true;
            live = s & ~accept;
            if (live == 0) return false;
        }
        if (p == end) return false;
        const uint32_t m = live & f.leadStepBytes[*p++];
        uint32_t next = (m << 1) | (m & f.leadLoop);
        next = close_nullable(next, f.leadNullable);
        if (next == 0) return false;
        // A repeat that stays where it is ("\\w+" inside a name): every
        // further byte that the same steps take leads back to this state
        // (and, taking a word byte, leaves a final boundary unmet).
        if (next == s)
            while (p < end && (live & f.leadStepBytes[*p]) == m) ++p;
        s = next;
    }
}

// Index of the first top-level RE_ALT_END at or after `from`, or -1.
int32_t next_top_level_bar(const RegExpNode* nodes, int32_t from, int32_t count) {
    for (int32_t j = from; j < count; ++j)
        if (nodes[j].w0 == RE_ALT_END && nodes[j].w1 == 0) return j;
    return -1;
}

// Match steps the backtracker may spend before a search that the linear path
// can also answer moves there: a base for short windows plus so many steps
// per byte the scan has passed. Everyday patterns stay well inside it, so
// they keep the backtracker's start filter and cheap steps; a pattern that
// retries runs or lines runs out of it early and costs at most this much
// more than the linear path alone. A pattern with a repeated group, on which
// the backtracker can go exponential, gets a much smaller allowance: enough
// for a quoted string with escapes, little where every attempt explodes.
constexpr int64_t kAllowanceBase = 1024;
constexpr int64_t kAllowancePerByte = 48;
constexpr int64_t kGroupAllowanceBase = 64;
constexpr int64_t kGroupAllowancePerByte = 8;

// The backtracker's allowance over one search call (all its scans).
struct Allowance {
    int64_t credit;             // steps left
    int64_t perByte;            // steps credited per byte passed
    const uint8_t* creditedTo;  // the bytes before this have been credited
    bool spent;                 // the rest of the search goes to the linear path
};

// The linear scan from `pos`; with a filter it runs from each position the
// filter lands on until no thread is left, then the filter skips ahead again.
int linear_from(const uint8_t* pos, const uint8_t* end, RegExpMatchState& ms, int anchorMode,
                const LinearProgram* linear, ScanFilter* sf) {
    if (sf == nullptr) return linear_scan(pos, static_cast<int32_t>(end - pos), ms, anchorMode, linear, nullptr);
    for (;;) {
        pos = filter_advance(pos, end, ms.format, *sf);
        if (pos == nullptr) return 1;
        const uint8_t* idle = nullptr;
        if (linear_scan(pos, static_cast<int32_t>(end - pos), ms, anchorMode, linear, &idle) == 0) return 0;
        if (idle == nullptr) return 1;
        pos = idle;
    }
}

// With `linear` and no allowance the linear path takes the whole scan. With
// both, the backtracker goes first within the allowance; when a path is cut
// (allowance, work or nesting budget, stack guard) the scan restarts from
// the position being tried on the linear path, which finds the same match:
// no earlier position matched, and the linear path has no budget to cut.
int scan(const uint8_t* pos, int32_t remaining, RegExpMatchState& ms, int anchorMode, int32_t altSearchStart,
         const StartFilter* filter, const LinearProgram* linear, Allowance* allow = nullptr) {
    const uint32_t startOptions = ms.options;
    const uint8_t* const end = pos + remaining;
    const int32_t nodeCount = ms.endNode;
    ScanFilter sf;
    init_scan_filter(sf, filter, pos, ms.subjectStart);
    const bool filtering = filter != nullptr && anchorMode == 0;
    const bool tryFirst = linear != nullptr && allow != nullptr && !allow->spent;
    if (linear != nullptr && !tryFirst) return linear_from(pos, end, ms, anchorMode, linear, filtering ? &sf : nullptr);
    // At line starts only, with a literal that starts every match
    // ("^#include" under "m"): the literal's occurrences at line starts are
    // the only positions worth trying.
    const bool lineLiteral = filter != nullptr && anchorMode == 1;
    for (;;) {
        if (filtering) {
            pos = filter_advance(pos, end, ms.format, sf);
            if (pos == nullptr) return 1;
            remaining = static_cast<int32_t>(end - pos);
        } else if (lineLiteral) {
            for (;;) {
                const int32_t k = find_first(pos, static_cast<int32_t>(end - pos), {filter->literal, filter->literalLen}, false);
                if (k < 0) return 1;
                const uint8_t* lit = pos + k;
                if (k == 0 || lit[-1] == kLineFeed) {
                    pos = lit;
                    break;
                }
                const int32_t j = find_byte(lit, static_cast<int32_t>(end - lit), kLineFeed);
                if (j < 0) return 1;
                pos = lit + j + 1;
            }
            remaining = static_cast<int32_t>(end - pos);
        }
        // A start the leading steps rule out fails as the match step would.
        if (filtering && filter->leadSteps > 0 && !lead_steps_pass(pos, end, *filter, sf.nextLiteral)) goto failed;
        {
            ms.options = startOptions;
            int32_t first = 0;
            int64_t realLeft = 0, given = 0;
            if (tryFirst) {
                if (pos > allow->creditedTo) {
                    allow->credit += allow->perByte * (pos - allow->creditedTo);
                    allow->creditedTo = pos;
                }
                realLeft = ms.workLeft;
                given = allow->credit < realLeft ? allow->credit : realLeft;
                ms.workLeft = given;
            }
            for (;;) {
                for (int32_t c = 1; c < ms.captureCount; ++c) {
                    ms.captures[c].pointer = nullptr;
                    ms.captures[c].length = -1;
                }
                ms.currentNode = first;
                ms.captures[0].pointer = pos;
                ms.captures[0].length = 0;
                const int res = RegExpMatchAt(pos, remaining, ms);
                if (tryFirst && (res == 0 || ms.cut)) {
                    const int64_t used = given - ms.workLeft;
                    allow->credit -= used;
                    ms.workLeft = realLeft - used;
                    if (ms.cut) {
                        allow->spent = true;
                        ms.cut = 0;
                        ms.options = startOptions;
                        return linear_from(pos, end, ms, anchorMode, linear, filtering ? &sf : nullptr);
                    }
                }
                if (res == 0) return 0;
                // A cut path may have been the match: nothing later may be named.
                if (ms.cut) return 1;
                int32_t from = first > altSearchStart ? first : altSearchStart;
                int32_t bar = next_top_level_bar(ms.nodes, from, nodeCount);
                if (bar < 0) break;
                ms.options = static_cast<uint32_t>(ms.nodes[bar].w2);
                first = bar + 1;
            }
            if (tryFirst) {
                const int64_t used = given - ms.workLeft;
                allow->credit -= used;
                ms.workLeft = realLeft - used;
            }
        }
    failed:
        if (anchorMode == 2 || remaining == 0) return 1;
        if (filtering && filter->skipRunOnFail && !filter->headStop.has(*pos)) {
            // Later starts in this run end where this one did, and fail there too.
            const int32_t k = find_byteset(pos, remaining, filter->headStop);
            const int32_t skip = k < 0 ? remaining : k;
            pos += skip;
            remaining -= skip;
            continue;
        }
        if (anchorMode == 1) {
            // Only positions after a line feed; a line feed is always the
            // first byte of a character, so a byte search finds them.
            int32_t k = find_byte(pos, remaining, kLineFeed);
            if (k < 0) return 1;
            pos += k + 1;
            remaining -= k + 1;
            continue;
        }
        int32_t step = ms.format == 1 ? utf8_step(pos, remaining) : 1;
        pos += step;
        remaining -= step;
    }
}

// What one search call decided before scanning.
struct SearchContext {
    int anchorMode;
    int32_t altSearchStart;
    const StartFilter* filter;  // null: every position is tried
    const LinearProgram* linear = nullptr;  // the linear path, when it takes this search
    Allowance* allow = nullptr;  // with `linear`: the backtracker goes first within this
    DfaCache* dfa = nullptr;     // with `linear`: locates the next match region first
    bool dfaSkips = false;       // the DFA uses `filter` where nothing is alive
    int32_t* dfaIdle = nullptr;  // with `dfa`: its calls that gained nothing, and those that did
};

constexpr int32_t kDfaIdleLimit = 32;
constexpr int32_t kDfaIdleRatio = 8;


// The start filter as the DFA's skip over positions no match starts at.
struct DfaFilterSkip {
    ScanFilter sf;
    const uint8_t* end;
    int32_t format;
};
const uint8_t* dfa_filter_advance(const uint8_t* from, void* arg) {
    auto* a = static_cast<DfaFilterSkip*>(arg);
    return filter_advance(from, a->end, a->format, a->sf);
}

// The leftmost match from `pos` within `remaining` bytes: 0 when found, and
// record 0 of the capture table holds it. Every match the driver reports
// comes through here, so a matcher other than the scan over start positions
// hooks in at this one place.
[[gnu::always_inline]] inline int find_next(const uint8_t* pos, int32_t remaining, RegExpMatchState& ms,
                                          const SearchContext& ctx) {
    // The DFA rules out the stretch before the next match region (or the
    // whole window); the scan then starts where that region may begin and
    // finds the same match it would have found from `pos`. Searches bound
    // to line starts keep their own skip from line to line; a search bound
    // to its start reads the anchor in the program, which fails elsewhere,
    // so the DFA answers it too (and at once where no match exists).
    // Where the matches sit right where the start filter lands, the DFA
    // only adds its cost: once that is what most of its calls in a search
    // found, the rest of the search goes without it.
    if (ctx.dfa != nullptr && ctx.anchorMode != 1 &&
        (ctx.dfaIdle[0] < kDfaIdleLimit || ctx.dfaIdle[0] < kDfaIdleRatio * ctx.dfaIdle[1])) {
        const uint8_t* const end = pos + remaining;
        DfaFilterSkip arg;
        init_scan_filter(arg.sf, ctx.filter, pos, ms.subjectStart);
        arg.end = end;
        arg.format = ms.format;
        const DfaSkip skip{dfa_filter_advance, &arg};
        const uint8_t* from = pos;
        bool gained = true;
        if (!dfa_locate(pos, remaining, ms, ctx.dfa, ctx.dfaSkips ? &skip : nullptr, &from, &gained)) return 1;
        ++ctx.dfaIdle[gained ? 1 : 0];
        pos = from;
        remaining = static_cast<int32_t>(end - from);
    }
    return scan(pos, remaining, ms, ctx.anchorMode, ctx.altSearchStart, ctx.filter, ctx.linear, ctx.allow);
}

// Records f, f+1, ... of the capture table into results[count...], at most
// m of them and no more than the room left. Returns how many.
int32_t copy_set(QelRegExpFind* results, int32_t count, int32_t capacity, const CaptureRecord* caps, int32_t f,
                 int32_t m) {
    int32_t n = capacity - count < m ? capacity - count : m;
    for (int32_t i = 0; i < n; ++i) copy_record(results[count + i], caps[f + i]);
    return n;
}

}  // namespace

int32_t utf8_step(const uint8_t* pos, int32_t remaining) {
    static constexpr uint8_t kLeadMask[6] = {0xff, 0x1f, 0x0f, 0x07, 0x03, 0x01};
    static constexpr uint32_t kMaxForCount[6] = {0x7f, 0x7ff, 0xffff, 0x1fffff, 0x3ffffff, 0x7fffffff};
    uint8_t lead = pos[0];
    if (lead < 0x80) return 1;
    int c = std::countl_one(static_cast<uint8_t>(lead << 1));
    if (c == 0 || c >= 6 || c >= remaining) return 1;
    uint32_t cp = lead & kLeadMask[c];
    for (int i = 1; i <= c; ++i) {
        if (!is_continuation(pos[i])) return 1;
        cp = (cp << 6) | (pos[i] & 0x3F);
    }
    return (cp > kMaxForCount[c - 1] && cp <= kMaxForCount[c]) ? c + 1 : 1;
}

int ownRegExpScan(const uint8_t* pos, int32_t remaining, RegExpMatchState& ms, int anchorMode, int32_t altSearchStart) {
    return scan(pos, remaining, ms, anchorMode, altSearchStart, nullptr, nullptr);
}

QelStatus search_with_filter(const Qel8u* subject, int32_t subjectLen, QelRegExpState* state, QelRegExpFind* results,
                             int32_t* resultCount, int keepWholeMatch, bool useFastPaths) {
    return search_with_paths(subject, subjectLen, state, results, resultCount, keepWholeMatch, useFastPaths,
                             useFastPaths ? LinearUse::Useful : LinearUse::Off);
}

namespace {

// The plan's entry gate over the window [s, s + n): -1 when it shows that
// the window holds no match, else where the gate found the required literal
// first (0 when it did not look). Every test is a necessary condition of a
// match anywhere in the window; the start filter would rule the window out
// as surely, only later.
[[gnu::always_inline]] inline int32_t entry_gate(const uint8_t* s, int32_t n, const SearchPlan& p,
                                                 const QelRegExpState* state, int32_t* tailAt) {
    const StartFilter& f = p.filter;
    int32_t literalAt = 0;
    if (p.gateTail) {
        const RegExpNode& pn = node_array(state)[header(state)->prefilterNode];
        *tailAt = find_last(s, n, literal_of(pn), (static_cast<uint32_t>(pn.w3) & RE_OPT_IGNORECASE) != 0);
        if (*tailAt < 0) return -1;
    }
    if (p.gateLiteral) {
        // No occurrence starts before the first rare byte less its place in
        // the literal.
        int32_t from = 0;
        bool found = false;
        if (p.gateRareAt >= 0) {
            const int32_t r = find_byte(s, n, f.literal[p.gateRareAt]);
            if (r < 0) return -1;
            from = r > p.gateRareAt ? r - p.gateRareAt : 0;
            // Mostly the rare byte's own occurrence ("#define" at a line
            // start): a compare tells.
            if (r >= p.gateRareAt && n - from >= f.literalLen) {
                int32_t i = 0;
                while (i < f.literalLen && s[from + i] == f.literal[i]) ++i;
                found = i == f.literalLen;
            }
        }
        if (!found) {
            const int32_t k = find_first(s + from, n - from, {f.literal, f.literalLen}, f.literalFolded);
            if (k < 0) return -1;
            from += k;
        }
        literalAt = from;
    }
    if (p.gatePair) {
        // A first byte in [0, n - 1) and the byte after it.
        for (int32_t i = 0; i < n - 1;) {
            const int32_t k = p.gateFirstByte >= 0 ? find_byte(s + i, n - 1 - i, static_cast<uint8_t>(p.gateFirstByte))
                                                   : find_byteset(s + i, n - 1 - i, f.firstBytes);
            if (k < 0) return -1;
            i += k;
            if (f.pairSecond.has(s[i + 1])) return literalAt;
            ++i;
        }
        return -1;
    }
    if (p.gateByteSet) {
        const int32_t k = p.gateFirstByte >= 0 ? find_byte(s, n, static_cast<uint8_t>(p.gateFirstByte))
                                               : find_byteset(s, n, f.firstBytes);
        if (k < 0) return -1;
    }
    return literalAt;
}

// The search once the arguments passed their checks: `plan` is the state's
// plan (null: none, or the fast paths are off), `p` the plan or the facts
// worked out for this call, `scratch` room for a start filter derived per
// call (only without a plan), `leadAt` the first occurrence of the leading
// literal and `tailAt` the last one of the trailing literal in the subject
// where the entry gate found them (else -1).
[[gnu::noinline]] QelStatus search_core(const Qel8u* subject, int32_t subjectLen, QelRegExpState* state,
                                        QelRegExpFind* results, int32_t* resultCount, int keepWholeMatch, bool fast,
                                        LinearUse linearUse, const SearchPlan* plan, const SearchPlan& p,
                                        StartFilter* scratch, int32_t leadAt, int32_t tailAt) {
    const StateHeader& h = *header(state);
    const RegExpNode* nodes = node_array(state);
    const int32_t nodeCount = h.nodeCount;
    const int32_t captureCount = h.captureCount;
    CaptureRecord* caps = capture_table(state);

    // Every field is set one by one: value-initialising the record compiles
    // to a string store whose start-up cost a one-line search notices. The
    // size check makes a new field show up here.
    static_assert(sizeof(RegExpMatchState) == 104, "set the new field of the working record below");
    RegExpMatchState ms;
    ms.stackGuardLine = 0;
    ms.stackMeasured = 0;
    ms.plannedCount = 0;
    ms.planned = nullptr;
    ms.workLeft = work_budget_for(h.matchLimit);
    ms.cut = 0;
    ms.currentNode = 0;
    ms.endNode = nodeCount;
    ms.options = h.options;
    ms.rejectEmpty = 0;
    ms.captureCount = captureCount;
    ms.budget = h.matchLimit;
    ms.format = h.format;
    ms.subjectStart = subject;
    ms.nodes = nodes;
    ms.captures = caps;
    ms.groups = group_table(state);
    init_match_stack_guard(ms);
    if (plan != nullptr) {
        ms.plannedCount = plan->itemCount;
        ms.planned = plan_items(plan);
    }

    const uint8_t* winStart = subject;
    int32_t winLen = subjectLen;
    const bool global = (h.options & RE_OPT_GLOBAL) != 0;

    // Trailing-literal cut: every match ends with the prefilter literal, so
    // none ends after its last occurrence. On a short window whose first-byte
    // set holds the literal's first byte ("\"[^\"]*\""), the start filter's
    // one scan rules out as much.
    if (fast && h.prefilterNode >= 0 && h.prefilterNode < nodeCount && !p.readsPastMatch) {
        const RegExpNode& pn = nodes[h.prefilterNode];
        Literal lit = literal_of(pn);
        const bool filterSees = plan != nullptr && plan->filter.useByteSet && winLen < kStartFilterMinWindow &&
                                lit.len > 0 && plan->filter.firstBytes.has(lit.bytes[0]);
        if (tailAt >= 0 && lit.len > 0) {
            winLen = tailAt + lit.len;  // the gate's search over the same window
        } else if (lit.len > 0 && !filterSees) {
            int32_t k = find_last(winStart, winLen, lit, (static_cast<uint32_t>(pn.w3) & RE_OPT_IGNORECASE) != 0);
            winLen = k >= 0 ? k + lit.len : 0;
        }
    }

    const bool foldAll = (h.options & RE_OPT_IGNORECASE) != 0;

    // Alternation of plain literals: answered by plain searches alone.
    if (h.searchMode == 2 && !global && p.plainAlternation) {
        int32_t best = -1, bestLen = 0;
        if (fast && plan != nullptr && plan->alternation.on && winLen >= kOnePassMinWindow) {
            int32_t which = 0;
            best = find_literal_alternation(winStart, winLen, plan->alternation, nodes, &which, &bestLen);
            if (best >= 0) {
                results[0].pointer = winStart + best;
                results[0].length = bestLen;
                *resultCount = 1;
            } else {
                *resultCount = 0;
            }
            return qelOk;
        }
        for (int32_t i = 0; i < nodeCount; i += 2) {
            Literal lit = literal_of(nodes[i]);
            // Only an occurrence that starts before the best so far can win.
            int32_t span = best < 0 ? winLen : best + lit.len - 1;
            if (span > winLen) span = winLen;
            int32_t k = find_first(winStart, span, lit, foldAll);
            if (k >= 0 && (best < 0 || k < best)) {
                best = k;
                bestLen = lit.len;
            }
        }
        if (best >= 0) {
            results[0].pointer = winStart + best;
            results[0].length = bestLen;
            *resultCount = 1;
        } else {
            *resultCount = 0;
        }
        return qelOk;
    }

    // Leading-literal skip: no match starts before the first occurrence.
    if (fast && h.searchMode == 1 && nodeCount > 0) {
        Literal lit = literal_of(nodes[0]);
        if (lit.len > 0) {
            // The gate's occurrence is the first in the subject; the trailing
            // cut may only have left it out of the window, and every later one
            // with it.
            int32_t k = leadAt < 0                ? find_first(winStart, winLen, lit, foldAll)
                        : leadAt + lit.len <= winLen ? leadAt
                                                     : -1;
            if (k > 0) {
                winStart += k;
                winLen -= k;
            }
            // Without the literal no match exists: the scan would only say so
            // again. (A negative limit, which only a damaged state holds, is
            // left to the scan to report.)
            if (k < 0 && h.matchLimit >= 0) {
                *resultCount = 0;
                return qelOk;
            }
        }
    }

    // Anchoring mode, from an anchor at node 0 of a pattern without a
    // top-level bar (worked out with the plan).
    SearchContext ctx{p.anchorMode, p.firstBar < 0 ? nodeCount : p.firstBar, nullptr};

    // Patterns the linear path takes try the backtracker first, within an
    // allowance in proportion to the bytes passed, and move over when that
    // runs out; the linear path finds the same records. Even on a pattern
    // the backtracker takes exponential time on, this wastes no more than
    // the allowance. The general-path switch turns it off with every other
    // fast path.
    ctx.linear = linear_program(state, general_path_only(state) ? LinearUse::Off : linearUse);
    int32_t dfaIdle[2] = {0, 0};
    ctx.dfaIdle = dfaIdle;
    Allowance allow{kAllowanceBase, kAllowancePerByte, winStart, false};
    if (ctx.linear != nullptr && linearUse == LinearUse::Useful) {
        if (linear_exponential(ctx.linear)) allow = {kGroupAllowanceBase, kGroupAllowancePerByte, winStart, false};
        ctx.allow = &allow;
        // A path deep enough to leave the stack's first window hands over
        // too: reading the thread's stack bounds costs more than a short
        // search on the linear path.
        ms.stackMeasured = 1;
    }

    // The start filter: from the plan for any window; worked out per call
    // only where the window is long enough to repay the analysis.
    if (fast && ctx.anchorMode == 1 && plan != nullptr && plan->filter.useLiteral && plan->filter.maxOffset == 0 &&
        !plan->filter.literalFolded)
        ctx.filter = &plan->filter;
    if (fast && ctx.anchorMode == 0) {
        if (plan != nullptr) {
            if (plan->useFilter) ctx.filter = &plan->filter;
        } else if (winLen >= kStartFilterMinWindow && scratch != nullptr) {
            derive_start_filter(state, *scratch);
            if (scratch->useByteSet || scratch->useRun || scratch->useLiteral || scratch->behindLen > 0 ||
                scratch->wordRun)
                ctx.filter = scratch;
        }
    }
    // On a short window the start filter and the backtracker answer at
    // little cost where the backtracker retries nothing, and a filter that
    // knows more than the first byte (a required literal, a leading run)
    // answers at once where the DFA would read most of the window: leave
    // those to the filter. Decided before the cache is looked up: on a
    // one-line subject the look-up alone costs a tenth of the search.
    const bool filterAnswers =
        ctx.linear != nullptr && winLen < kStartFilterMinWindow && ctx.filter != nullptr &&
        (!linear_retries(ctx.linear) || ctx.filter->useLiteral || ctx.filter->behindLen > 0 || ctx.filter->useRun ||
         ctx.filter->useDoubled);
    // Where the leading steps are the whole pattern, the match step runs
    // only where a match begins; where the filter lands only on matches, the
    // DFA would read the same bytes again to say so.
    const bool stepsAnswer = ctx.filter != nullptr && ctx.anchorMode == 0 && ctx.filter->leadWhole;
    const bool filterDecides = ctx.filter != nullptr && ctx.filter->wordRun && ctx.filter->wordRunDecides;
    if (ctx.linear != nullptr && !filterAnswers && !stepsAnswer && !filterDecides) ctx.dfa = dfa_cache(state, ctx.linear);
    ctx.dfaSkips = ctx.dfa != nullptr && ctx.filter != nullptr && ctx.anchorMode == 0;

    if (!global) {
        int32_t n = *resultCount < captureCount ? *resultCount : captureCount;
        *resultCount = n;
        if (find_next(winStart, winLen, ms, ctx) == 0) {
            for (int32_t i = 0; i < n; ++i) copy_record(results[i], caps[i]);
            return n < captureCount ? qelWrnFindIncomplete : qelOk;
        }
        if (ms.cut) return qelErrMatchLimit;
        *resultCount = 0;
        return qelOk;
    }

    const int32_t capacity = *resultCount;
    const int32_t f = (!keepWholeMatch && captureCount > 1) ? 1 : 0;
    const int32_t m = captureCount - f;
    const uint8_t* const winEnd = winStart + winLen;
    const uint8_t* pos = winStart;
    int32_t remaining = winLen;
    int32_t count = 0;
    while (remaining >= 0) {
        if (count >= capacity) break;
        ms.options = h.options;
        if (find_next(pos, remaining, ms, ctx) != 0) {
            if (ms.cut) return qelErrMatchLimit;
            break;
        }
        count += copy_set(results, count, capacity, caps, f, m);
        const uint8_t* s = caps[0].pointer;
        const int32_t len = caps[0].length;
        const int32_t rest = static_cast<int32_t>(winEnd - s);
        if (len == 0) {
            // After an empty match, one attempt at a non-empty match of one
            // character at the same start; then on to the next character.
            int32_t step = (ms.format == 1 && rest > 0) ? utf8_step(s, rest) : 1;
            if (count < capacity && rest > 0) {
                ms.rejectEmpty = 1;
                ms.options = h.options;
                if (scan(s, step, ms, 2, ctx.altSearchStart, nullptr, ctx.linear, ctx.allow) == 0) count += copy_set(results, count, capacity, caps, f, m);
                ms.rejectEmpty = 0;
                if (ms.cut) return qelErrMatchLimit;
            }
            pos = s + step;
            remaining = rest - step;
        } else {
            pos = s + len;
            remaining = rest - len;
        }
    }
    *resultCount = count;
    return (count > 0 && count < m) ? qelWrnFindIncomplete : qelOk;
}

// Nesting the match step needs there: the repeat's step and its continuation.
constexpr int32_t kWholeRunMinLimit = 8;

// Whether the match step, given every start of the window, could neither
// exhaust the work budget nor the nesting budget: the runs are then exactly
// what it would find, and no cut is possible that the run search would miss.
bool whole_run_fits(const StateHeader& h, const SearchPlan& p, int32_t windowLen) {
    if (h.matchLimit < kWholeRunMinLimit) return false;
    const int64_t worst = (int64_t(windowLen) + 1) * (int64_t(p.wholeRunMin) + p.wholeRunStepWork);
    return worst < work_budget_for(h.matchLimit);
}

// The whole-run search: each match is a maximal run of the set at least the
// repeat's minimum long (the greedy repeat takes the run to its end, and no
// start inside a shorter run reaches the minimum); a global search goes on
// at the run's end, whose byte is outside the set. Records as search_core
// writes them for a pattern without captures.
QelStatus search_whole_run(const Qel8u* subject, int32_t subjectLen, const StateHeader& h, const SearchPlan& p,
                           QelRegExpFind* results, int32_t* resultCount) {
    const bool global = (h.options & RE_OPT_GLOBAL) != 0;
    const int32_t capacity = global ? *resultCount : 1;
    const int32_t count = byteset_runs(subject, subjectLen, p.wholeRunSet, p.wholeRunMin, results, capacity);
    *resultCount = count;
    return qelOk;
}

// A state without a plan (built by hand, a pattern that fills the group
// table, or the general path forced): the facts are worked out per call.
// Kept apart so that the planned search's frame stays small.
[[gnu::noinline, gnu::cold]] QelStatus search_unplanned(const Qel8u* subject, int32_t subjectLen,
                                                        QelRegExpState* state, QelRegExpFind* results,
                                                        int32_t* resultCount, int keepWholeMatch, bool fast,
                                                        LinearUse linearUse) {
    // With the general path forced only the anchoring and the alternation of
    // plain literals stay: the latter answers by plain searches, which the
    // matcher cannot reproduce (it ignores the budget and finds literals at
    // any byte offset).
    SearchPlan facts;
    fill_plan_facts(state, facts);
    facts.useFilter = false;
    facts.itemCount = 0;
    // The facts' own filter is unused: it serves as the room for one derived
    // per call.
    return search_core(subject, subjectLen, state, results, resultCount, keepWholeMatch, fast, linearUse, nullptr,
                       facts, &facts.filter, -1, -1);
}

}  // namespace

QelStatus search_with_paths(const Qel8u* subject, int32_t subjectLen, QelRegExpState* state, QelRegExpFind* results,
                            int32_t* resultCount, int keepWholeMatch, bool useFastPaths, LinearUse linearUse) {
    if (any_null(subject, state, results, resultCount)) return qelErrNullPtr;
    if (subjectLen < 0) return qelErrLength;
    if (*resultCount < 1) return qelErrSize;
    const StateHeader& h = *header(state);
    if (h.identifier != kStateIdentifier) return qelErrBadState;
    // A compiled state always passes these; a damaged one must not send the
    // driver outside the state's tables.
    if (h.nodeCount < 0 || h.captureCount < 1 || h.captureCount > kMaxCaptureRecords) return qelErrBadState;

    // The plan the compiler made; without one (or with the fast paths off)
    // the facts are worked out per call.
    const bool fast = useFastPaths && !general_path_only(state);
    const SearchPlan* plan = fast ? search_plan(state) : nullptr;
    if (plan == nullptr)
        return search_unplanned(subject, subjectLen, state, results, resultCount, keepWholeMatch, fast, linearUse);
    // Most one-line subjects of an everyday pattern lack what every match
    // holds: answered before any set-up. A limit of 0 or below is left to
    // the search, which gives it its own meaning.
    int32_t leadAt = -1, tailAt = -1;
    if (h.matchLimit > 0) {
        const int32_t at = entry_gate(subject, subjectLen, *plan, state, &tailAt);
        if (at < 0) {
            *resultCount = 0;
            return qelOk;
        }
        if (plan->gateLeadsSkip) leadAt = at;
    }
    if (plan->wholeRun && whole_run_fits(h, *plan, subjectLen))
        return search_whole_run(subject, subjectLen, h, *plan, results, resultCount);
    return search_core(subject, subjectLen, state, results, resultCount, keepWholeMatch, fast, linearUse, plan, *plan,
                       nullptr, leadAt, tailAt);
}

QelStatus ownRegExpSearch(const Qel8u* subject, int32_t subjectLen, QelRegExpState* state, QelRegExpFind* results,
                          int32_t* resultCount, int keepWholeMatch) {
    return search_with_filter(subject, subjectLen, state, results, resultCount, keepWholeMatch, true);
}

}  // namespace qel::re

extern "C" QEL_API QelStatus qelsRegExpFind_8u(const Qel8u* subject, int32_t subjectLen, QelRegExpState* state,
                                               QelRegExpFind* results, int32_t* resultCount) {
    return qel::re::ownRegExpSearch(subject, subjectLen, state, results, resultCount, 0);
}
