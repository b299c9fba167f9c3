// Internals of the search driver: the UTF-8 start-position step, the start
// filter that lets the scan jump over positions where no match can begin,
// and the byte-set search kernel behind it.
//
// Invariant of the start filter: a position it skips is one where the match
// step would certainly fail, and every position it lands on is one the plain
// scan would also have visited. The filter never touches the budget, the
// options or the captures, so a search returns the same records and status
// with the filter on or off.
#ifndef QELCH_REGEX_MATCH_SEARCH_INTERNAL_H
#define QELCH_REGEX_MATCH_SEARCH_INTERNAL_H

#include <bit>
#include <cstdint>

#include "regex/match/linear.h"
#include "regex/match/literal_set.h"
#include "regex/match/match_internal.h"

namespace qel::re {

// 256-bit set of byte values, with the nibble rows the vector search uses
// (call build_rows() after the last add()).
struct ByteSet {
    uint64_t bits[4];
    uint8_t loRows[16];  // bit h of loRows[l]: byte (h << 4) | l is in the set, h < 8
    uint8_t hiRows[16];  // the same for h >= 8, as bit h - 8
    bool has(uint8_t b) const { return (bits[b >> 6] >> (b & 63)) & 1; }
    void add(uint8_t b) { bits[b >> 6] |= uint64_t(1) << (b & 63); }
    int count() const;
    // The smallest byte of the set, -1 when it is empty.
    int lowest() const {
        for (int w = 0; w < 4; ++w)
            if (bits[w] != 0) return w * 64 + std::countr_zero(bits[w]);
        return -1;
    }
    void build_rows();
};

// `s`, a set of steps of a forward step scan, with every step it reaches
// through steps that may take nothing (`nullable`): from a set bit in a run
// of nullable bits the sum carries to the first step above the run, which
// must take a byte.
inline uint32_t close_nullable(uint32_t s, uint32_t nullable) {
    return s | ((nullable + (s & nullable)) ^ nullable);
}

// What the scan may skip, derived from the nodes for one search call.
struct StartFilter {
    bool useByteSet;        // every match begins with a byte of `firstBytes`
    // `firstBytes` holds this one byte alone: the plain byte search, which
    // compares four vectors per test, finds it faster than the nibble
    // classification of a general set.
    bool firstSingle;
    uint8_t firstByte;
    // The first-byte set is the whole filter: the scan goes straight to the
    // next byte of it.
    bool firstOnly;
    ByteSet firstBytes;
    // Every match begins with a run of one-byte characters from a set C (a
    // repeat with minimum 1 at node 0) and continues, right where the repeat
    // stops, either with a byte of `runFollow` (a set disjoint from C) or,
    // when `runLiteral` is set, with that literal. From any position in a run
    // of C the repeat stops inside the run or at its end, so a run that
    // neither ends in a byte of `runFollow` nor holds the literal after the
    // position is skipped whole.
    bool useRun;
    ByteSet runStop;        // the bytes outside C
    ByteSet runFollow;
    const uint8_t* runLiteral;
    int32_t runLiteralLen;
    // The repeat may also stop at the window end (it is followed by an end
    // anchor; a line feed it may stop before is then `runLiteral`), so a run
    // that reaches the end is never skipped.
    bool runEndFollows;
    bool runFollowAny;      // anything may follow the repeat (only runMin applies)
    int32_t runMin;         // without a literal: the repeat's minimum, in bytes (0 or 1: none)
    // With the run (not `runLiteral`): the repeat is a group of its own,
    // `runFollow` is the set of a repeated item that comes next, and a
    // back-reference to the group follows that ("\\b(\\w+)\\s+\\1\\b").
    // The group ends at the run's end, so the reference starts where the
    // run of `runFollow` bytes after it ends, with the byte the match starts
    // with. Where ignore-case may be in force the two bytes are compared
    // with A-Z folded onto a-z, as the reference itself compares them (`\w`
    // takes ASCII word bytes only, with or without case folding).
    bool refAfterRun;
    bool refFolded;
    // The repeat is a group of its own, then one byte `refSep` that is itself
    // in C, then a back-reference to the group ("(\\w+)_\\1"). A match from
    // a start s in a run of C ends the group at an occurrence j of the byte
    // in the same run, with a copy of s..j right after it (compared as
    // `refFolded` says). A start with no such occurrence fails, and where no
    // occurrence follows at all, neither does one for the rest of the run.
    bool refAfterByte;
    uint8_t refSep;
    ByteSet refStop;        // the bytes outside C
    // Every match begins with a one-byte character of `firstBytes` captured
    // alone and at once repeated by a back-reference: a doubled byte.
    bool useDoubled;
    bool doubledFolded;
    // With `runLiteral`: the literal is rarer than the bytes of C, so the
    // scan searches for it first and starts at the beginning of the run of
    // C that reaches it (every byte between a match start and the literal
    // lies in C).
    bool literalDrive;
    // Every match is preceded by this literal ("(?<=struct )\\w+"): the scan
    // goes to the ends of its occurrences.
    const uint8_t* behindLiteral;
    int32_t behindLen;      // 0: none
    bool behindFolded;      // ... compared with a-z folded onto A-Z (ignore-case may be in force)
    // The pattern starts with a greedy unbounded repeat of one-byte ASCII
    // characters (set C = the complement of `headStop`) that never gives
    // back, and holds no back-reference or condition: an attempt from a
    // later position of the same run of C reaches the same run end and the
    // same continuation, so once an attempt inside a run fails, the rest of
    // the run is skipped. The same skip holds, whatever follows, when every
    // match begins with a word boundary test (C = the word bytes): no later
    // start in a run of them passes the test.
    bool skipRunOnFail;
    ByteSet headStop;
    // The pattern leads with "\b": a position between two word bytes fails.
    bool wordStart;
    // The pattern is "\b", a repeat of one-byte characters of `wordRunSet`
    // (ASCII word bytes only), "\b" and maybe more. A match then starts
    // where a run of the set begins a word, and as every end inside the run
    // falls between two word bytes, the repeat ends with the run: the run is
    // `wordRunMin` to `wordRunMax` bytes long and the byte after it is not a
    // word byte. The scan goes from such run to such run. With nothing after
    // the second "\b" (`wordRunDecides`) these are exactly the matches.
    bool wordRun;
    bool wordRunDecides;
    int32_t wordRunMin;
    int32_t wordRunMax;
    bool useLiteral;        // every match contains `literal` within `maxOffset` bytes of its start
    bool literalFolded;     // ... compared with a-z folded onto A-Z
    const uint8_t* literal;
    int32_t literalLen;
    int32_t maxOffset;
    int32_t literalRare;    // offset in `literal` of its rarest byte in source and prose
    // Every match begins with `literal` (unfolded, its first byte ASCII) and
    // nothing else above moves the scan: the next occurrence is the next
    // start to try.
    bool literalOnly;
    // Every match begins with a one-byte character of `firstBytes` (an ASCII
    // set) taken by one unquantified item, and the byte right after it is in
    // `pairSecond` ("x(a|b)y": an x, then a or b). Only the entry gate tests
    // it: one pass over a short window rules out most of them.
    bool usePair;
    ByteSet pairSecond;
    // Last, being large and used by few patterns:
    ByteSet wordRunSet;
    // Every match lies wholly in `endSet` (one-byte ASCII characters) and
    // ends at an end position: the window end, the byte before a final line
    // feed when `endFinalLineFeed`, any line feed when `endAnyLineFeed`. So
    // a start is viable only when a run of the set reaches an end position at
    // least `endMinLen` bytes on; the scan goes from end position to end
    // position and walks back over the set instead of trying every run.
    bool endDrive;
    bool endAnyLineFeed;
    bool endFinalLineFeed;
    int32_t endMinLen;
    ByteSet endSet;
    ByteSet endStop;        // the complement of `endSet`, for the forward search
    // The items as steps of a reverse scan, when they fit (0: the scan only
    // walks over `endSet`): step i takes one byte of the bytes whose
    // `endStepBytes` entry has bit i; a step of `endLoop` may take it again,
    // a step of `endNullable` may take none. Scanning back from the end
    // positions tells exactly which starts can reach one.
    int32_t endSteps;
    uint32_t endLoop;
    uint32_t endNullable;
    uint32_t endStepBytes[256];
    // The one-byte items the pattern leads with ("#define\\s+\\w+\\s+\\("),
    // as steps of a forward scan in the same form as the end steps: where
    // they cannot all be taken from a start, the match step fails there too,
    // so the scan moves on without running it. Assertions among them are
    // left out, which only lets more starts through. `leadStart` is the set
    // of steps open before the first byte; 0 steps: none.
    int32_t leadSteps;
    bool leadWhole;         // the steps are all the pattern holds (assertions aside)
    uint32_t leadStart;
    uint32_t leadLoop;
    uint32_t leadNullable;
    // The pattern ends with "\\b" after steps that all take word bytes: the
    // steps are taken only where an ASCII word byte does not follow.
    bool leadWordEnd;
    // With a required literal at offset 0: a start where the literal was
    // found goes on after it, from this set of steps.
    bool leadSkipsLiteral;
    uint32_t leadAfterLiteral;
    uint32_t leadStepBytes[256];
};

// Rough share of each byte value in source code and prose, in parts per
// thousand. Only the order matters: it decides whether a literal is rarer
// than a set of bytes.
constexpr int byte_share(int b) {
    if (b == ' ') return 150;
    if (b == 'e') return 60;
    if (b == 't') return 45;
    if (b == 'a' || b == 'o' || b == 'i' || b == 'n' || b == 's' || b == 'r') return 40;
    if (b >= 'a' && b <= 'z') return 15;
    if (b == '\n' || b == '\t') return 20;
    if (b >= 'A' && b <= 'Z') return 6;
    if (b >= '0' && b <= '9') return 8;
    if (b == '(' || b == ')' || b == ';' || b == ',' || b == '.' || b == '_' || b == '=' || b == '"' || b == '*' ||
        b == '/' || b == '-' || b == '>' || b == '<')
        return 8;
    return 1;
}

// The search plan: what the driver would otherwise work out on every call,
// made once by the compiler (build_search_plan) and kept in the state's group
// table above the pattern's groups. It holds pointers into the state itself,
// as the nodes do.
struct SearchPlan {
    bool useFilter;          // some part of `filter` is on
    bool readsPastMatch;     // an assertion looks past the match: no trailing-literal cut
    bool plainAlternation;   // search mode 2 and every node fits its shape
    // A plain alternation of a few literals of two bytes or more: a search
    // for the first match reads the window once for all of them
    // (literal_set.h) instead of once per literal.
    LiteralAlternation alternation;
    // The entry gate: the search answers "no match" before it sets anything
    // up when the window lacks what every match holds (the required literal,
    // a first byte, a first byte and the byte after it). On only where the
    // search would use the start filter at every position (anchorMode 0),
    // which rules out the same windows with more work.
    bool gateLiteral;        // `filter.literal` must occur
    bool gatePair;           // a byte of `filter.firstBytes` followed by one of `filter.pairSecond`
    bool gateByteSet;        // a byte of `filter.firstBytes`
    // The trailing literal (the prefilter node, which ends every match) must
    // occur; its last occurrence serves the trailing-literal cut.
    bool gateTail;
    int16_t gateFirstByte;   // the one byte of `filter.firstBytes`, or -1
    // Where in the (unfolded) literal a rare byte stands, or -1: the gate
    // looks for that byte first, which rules most windows out at the cost of
    // a byte search, and then for the literal from where it may start.
    int16_t gateRareAt;
    // The gate's literal is the one the leading-literal skip looks for, found
    // the same way: the skip takes the gate's answer instead of searching
    // again.
    bool gateLeadsSkip;
    int32_t anchorMode;      // 0 any position, 1 line starts only, 2 the window start only
    int32_t firstBar;        // first top-level RE_ALT_END, -1 none
    int32_t itemCount;      // entries of the class table that follows the plan
    // The pattern is one greedy unbounded repeat of "\\w", "\\d", "\\s" or
    // a bracket class of one-byte ASCII characters ("\\w+", "\\d{2,}",
    // "[A-Za-z_]+"), sets that take no other character in either format: its
    // matches are the runs of the set at least `wholeRunMin` bytes long,
    // read off one classification of each 32-byte block (byteset_runs)
    // instead of the scan and the match step.
    // Taken only where the work and nesting budgets cannot run out on the
    // window (whole_run_fits), so that no result changes.
    bool wholeRun;
    int32_t wholeRunMin;
    int32_t wholeRunStepWork;  // work of the match step on one start, beyond the minimum
    ByteSet wholeRunSet;    // the set, rows built
    StartFilter filter;
};

inline const PlannedItem* plan_items(const SearchPlan* p) {
    return reinterpret_cast<const PlannedItem*>(reinterpret_cast<const uint8_t*>(p) + sizeof(SearchPlan));
}

// The per-call facts of a plan (everything but the filter and the classes),
// for states without one.
void fill_plan_facts(const QelRegExpState* state, SearchPlan& p);

// The state's plan, or null when it has none (or the general path is forced).
// Inline: every search call asks first.
inline const SearchPlan* search_plan(const QelRegExpState* state) {
    const PlanSlot* slot = plan_slot(state);
    if (slot->tag != kPlanTag || (slot->flags & kPlanGeneralOnly) || slot->planOffset <= 0) return nullptr;
    return reinterpret_cast<const SearchPlan*>(reinterpret_cast<const uint8_t*>(state) + slot->planOffset);
}

// Fills `f` from the compiled pattern. Conservative: when in doubt a part of
// the filter is left off.
void derive_start_filter(const QelRegExpState* state, StartFilter& f);

// Number of bytes the scan advances from `pos` in UTF-8 format, with
// `remaining` bytes left in the window (at least 1).
int32_t utf8_step(const uint8_t* pos, int32_t remaining);

// First index in [0, n) whose byte is in `set`, or -1.
int32_t find_byteset(const uint8_t* p, int32_t n, const ByteSet& set);
int32_t find_byteset_scalar(const uint8_t* p, int32_t n, const ByteSet& set);
int32_t find_byteset_avx2(const uint8_t* p, int32_t n, const ByteSet& set);

// The maximal runs of bytes in `set` (its rows built) at least `minLen`
// long, in order: writes the first `cap` of them as {p + start, length} to
// `out` and returns how many it wrote. One classification of each 32-byte
// block serves every run in it. The scalar form is the reference.
int32_t byteset_runs(const uint8_t* p, int32_t n, const ByteSet& set, int32_t minLen, QelRegExpFind* out,
                     int32_t cap);
int32_t byteset_runs_scalar(const uint8_t* p, int32_t n, const ByteSet& set, int32_t minLen, QelRegExpFind* out,
                            int32_t cap);

// First index i whose `len` bytes p[i] .. p[i + len - 1] all lie outside
// `stop` (its rows built), or -1. The vector form takes len up to
// kMaxRunFind.
constexpr int32_t kMaxRunFind = 32;
int32_t find_run(const uint8_t* p, int32_t n, const ByteSet& stop, int32_t len);
int32_t find_run_scalar(const uint8_t* p, int32_t n, const ByteSet& stop, int32_t len);
int32_t find_run_avx2(const uint8_t* p, int32_t n, const ByteSet& stop, int32_t len);

// First index i with p[i] in `set` and p[i + 1] the same byte (folded: or
// its other case, when p[i + 1] is an ASCII letter), or -1.
int32_t find_doubled(const uint8_t* p, int32_t n, const ByteSet& set, bool folded);
int32_t find_doubled_scalar(const uint8_t* p, int32_t n, const ByteSet& set, bool folded);
int32_t find_doubled_avx2(const uint8_t* p, int32_t n, const ByteSet& set, bool folded);

// First index s in [0, n - m] with p[s .. s + m) all in `set` and the byte
// before s not an ASCII word byte (for s = 0: `wordBefore` says whether the
// byte before p is one), or -1. m in [1, 32]. find_word_run_avx2 takes any n.
int32_t find_word_run_scalar(const uint8_t* p, int32_t n, bool wordBefore, const ByteSet& set, int32_t m);
int32_t find_word_run_avx2(const uint8_t* p, int32_t n, bool wordBefore, const ByteSet& set, int32_t m);

// First occurrence of `lit` in [p, p + n) with a-z folded onto A-Z on both
// sides, or -1.
int32_t find_folded(const uint8_t* p, int32_t n, const uint8_t* lit, int32_t len);
int32_t find_folded_scalar(const uint8_t* p, int32_t n, const uint8_t* lit, int32_t len);
int32_t find_folded_avx2(const uint8_t* p, int32_t n, const uint8_t* lit, int32_t len);
// Last occurrence, the same folding; the trailing-literal cut's search.
int32_t rfind_folded_scalar(const uint8_t* p, int32_t n, const uint8_t* lit, int32_t len);
int32_t rfind_folded_avx2(const uint8_t* p, int32_t n, const uint8_t* lit, int32_t len);

// One capture record as the caller sees it: {null, -1} for a capture that
// took no part.
inline void copy_record(QelRegExpFind& out, const CaptureRecord& in) {
    if (in.length < 0) {
        out.pointer = nullptr;
        out.length = -1;
    } else {
        out.pointer = in.pointer;
        out.length = in.length;
    }
}

// Search with the fast paths on, or with the general path forced (as the
// state's kPlanGeneralOnly switch does); ownRegExpSearch is this with them on.
// Tests compare the two.
QelStatus search_with_filter(const Qel8u* subject, int32_t subjectLen, QelRegExpState* state, QelRegExpFind* results,
                             int32_t* resultCount, int keepWholeMatch, bool useFastPaths);

// Search with the fast paths switched as given: the plan, start filter and
// literal cuts on or off, and when the linear path takes the search
// (LinearUse::Off forces the general matcher; the state's general-path
// switch turns it off too). search_with_filter is this with LinearUse::Useful
// when its fast paths are on, LinearUse::Off when they are off.
QelStatus search_with_paths(const Qel8u* subject, int32_t subjectLen, QelRegExpState* state, QelRegExpFind* results,
                            int32_t* resultCount, int keepWholeMatch, bool useFastPaths, LinearUse linearUse);

}  // namespace qel::re

#endif
