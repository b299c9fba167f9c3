// The linear-time path of the search: a thread-list simulation of the
// compiled pattern (one thread per program point, kept in leftmost-first
// priority order) that finds the same match and captures as the backtracking
// matcher, at a cost per subject byte bounded by the size of the program.
//
// It takes patterns without back-references, look-around, atomic groups,
// conditionals, extended characters and quantified anchors, and with option
// changes only outside repeated groups; everything else stays with the
// backtracker. The program is built once per compile and lives in the
// capture records above the pattern's own captures, together with the thread
// lists of a search, so a search allocates nothing; a pattern whose program
// does not fit there also stays with the backtracker.
//
// Cost of one scan over n bytes with a program of P instructions, C of them
// consuming, F empty-pass flags (at most kLinearMaxFlags) and K captures:
// O(n * (P * 2^F + 6 * C) * K) time, no recursion, no budget.
#ifndef QELCH_REGEX_MATCH_LINEAR_H
#define QELCH_REGEX_MATCH_LINEAR_H

#include <cstdint>

#include "regex/match/match.h"

namespace qel::re {

struct LinearProgram;

// When the driver sends a search down the linear path.
enum class LinearUse {
    Off,     // never: the general matcher only
    Useful,  // once the backtracker has spent its allowance (the driver
             // keeps the count)
    Always,  // whenever the pattern is on the path (tests)
};

// Builds the program of a freshly compiled state; the compiler calls it last.
void linear_prepare(QelRegExpState* state);

// The program of `state` under `use`, or null when the search should go to
// the general matcher.
const LinearProgram* linear_program(QelRegExpState* state, LinearUse use);

// True when the pattern has a repeated group, on which the backtracker can
// take exponential time.
bool linear_exponential(const LinearProgram* prog);

// Whether the backtracker may retry runs or repeated groups on the pattern
// (the DFA's cache records the same fact).
bool linear_retries(const LinearProgram* prog);

// Same contract as the scan over start positions: 0 when a match was found
// (the capture table holds it), 1 when none was. Honours the reject-empty
// flag; does not touch the budget. With `idleAt`, the scan stops without a
// match as soon as no thread is alive and stores the next start position
// it would try (null when none is left), so that the caller can skip ahead
// with a start filter and call again from there.
int linear_scan(const uint8_t* pos, int32_t remaining, RegExpMatchState& ms, int anchorMode,
                const LinearProgram* prog, const uint8_t** idleAt);

}  // namespace qel::re

#endif
