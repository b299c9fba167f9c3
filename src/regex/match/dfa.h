// A lazily built DFA over the linear path's program that locates the region
// of the next match before the exact matchers run.
//
// It reads the window once, one table look-up per byte, and answers either
// "no match in this window" or "no match starts before L", where L is the
// last position before the earliest match end at which no partial match was
// alive. The driver then runs its usual scan from L only, so the backtracker
// (or the thread-list scan) works near real matches and never over the long
// stretches between them; the records stay exactly theirs.
//
// Since it stops at the earliest position where any match ends, the DFA
// needs no priorities: a state is the set of program points waiting for the
// next byte, plus the class of the previous byte when the program has
// assertions (word, line feed, other, subject start). Assertions are decided
// when the next byte is known, so the closure runs as part of a transition.
//
// The states and transitions live in the state block above the linear
// program, built as the scan meets them and kept across calls. When the
// cache fills it is cleared and the scan goes on; when it fills again soon
// after, the call hands the window to the usual scan. Bytes of 0x80 and
// above hand over too: they may begin characters of several bytes, inside
// which the scan never starts.
#ifndef QELCH_REGEX_MATCH_DFA_H
#define QELCH_REGEX_MATCH_DFA_H

#include <cstdint>

#include "regex/match/match.h"

namespace qel::re {

struct LinearProgram;
struct DfaCache;

// Builds the (empty) cache of a freshly compiled state after linear_prepare.
void dfa_prepare(QelRegExpState* state);

// The cache of `state` when the DFA may run next to `linear`, else null.
DfaCache* dfa_cache(QelRegExpState* state, const LinearProgram* linear);

// Whether the backtracker may retry runs or repeated groups on the
// pattern, the work the DFA saves beyond reading the window once.
bool dfa_saves_retries(const DfaCache* cache);

// Internal switch (tests and benchmarks): the DFA off or on for this state;
// a fresh compile turns it on.
void dfa_set_enabled(QelRegExpState* state, bool on);

// Moves the scan past positions the window's start filter excludes: the
// first position at or after `from` where a match may begin, or null when
// none is left.
struct DfaSkip {
    const uint8_t* (*advance)(const uint8_t* from, void* arg);
    void* arg;
};

// Scans [pos, pos + remaining) with the subject start of `ms`. Returns
// false when no match lies in the window; otherwise true with *from set to
// a position in [pos, pos + remaining] before which no match starts, and
// *gained false when that is where the first skip landed (the filter alone
// would have led the scan there at once, so the DFA only cost time).
// `skip` may be null.
bool dfa_locate(const uint8_t* pos, int32_t remaining, const RegExpMatchState& ms, DfaCache* cache,
                const DfaSkip* skip, const uint8_t** from, bool* gained);

}  // namespace qel::re

#endif
