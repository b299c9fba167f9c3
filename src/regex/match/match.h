// The matcher's working record and the entry points shared by the search
// driver, replacement and pattern sets.
#ifndef QELCH_REGEX_MATCH_MATCH_H
#define QELCH_REGEX_MATCH_MATCH_H

#include <cstdint>

#include "regex/regexp_state.h"

namespace qel::re {

struct PlannedItem;

// Built by the driver on its stack for one search.
struct RegExpMatchState {
    int32_t currentNode;   // index of the node to match next
    int32_t endNode;       // the pattern counts as matched on reaching it
    uint32_t options;      // option bits in force
    uint32_t rejectEmpty;  // when set, a match of length 0 is not accepted
    int32_t captureCount;  // capture records in use, record 0 included
    int32_t budget;        // remaining nesting depth of match steps
    int32_t format;        // 1 UTF-8 subject, 0 bytes
    const uint8_t* subjectStart;
    const RegExpNode* nodes;
    CaptureRecord* captures;
    RegExpGroupSlot* groups;
    // Stack guard, set up by init_match_stack_guard: a match step whose frame
    // lies below stackGuardLine fails its path as an exhausted budget does.
    // The line starts a short distance below the caller's frame and is moved
    // to the thread's real stack bottom (plus a reserve) the first time a
    // search goes that deep. 0 = not set up yet (the matcher then sets it up
    // on its first step).
    uintptr_t stackGuardLine;
    uint32_t stackMeasured;
    // Facts the compiler worked out about single items (search plan),
    // sorted by node; none when plannedCount is 0.
    int32_t plannedCount;
    const PlannedItem* planned;
    // Work budget: match steps (and iterations of loops that run without a
    // nested step) left for the whole search call; see work_budget_for.
    int64_t workLeft;
    // Set once the nesting budget, the stack guard or the work budget has cut
    // a path. A cut path may have been the leftmost-first match, so from then
    // on every step fails at once and the driver reports qelErrMatchLimit.
    uint32_t cut;
};

// Match steps a search call may take: limit x (limit + kWorkBase). At the
// default limit of 10000 that is 1.05 x 10^8, enough for any search of a few
// MB that does not backtrack without end, and a few seconds of work. A
// budget in proportion to the limit alone would leave the small limits that
// fuzzing and untrusted patterns use with millions of steps (10^4 x 32 took
// seconds per fuzz input under the sanitizers); growing with the square,
// a limit of 32 allows 17000 steps, still room for ordinary searches of a
// few KB. Fits in 64 bits for every limit.
constexpr int64_t kWorkBase = 500;
inline int64_t work_budget_for(int32_t matchLimit) {
    return matchLimit > 0 ? int64_t(matchLimit) * (int64_t(matchLimit) + kWorkBase) : 0;
}

// Sets up the stack guard of a freshly filled working record; the driver
// calls it once per search, after filling the other fields.
void init_match_stack_guard(RegExpMatchState& ms);

// Matches from ms.currentNode at `pos` with `remaining` bytes left in the
// window. 0 = the whole rest of the pattern matched (the capture table holds
// the result), 1 = failure. Takes one unit of the budget and gives it back.
int RegExpMatchAt(const uint8_t* pos, int32_t remaining, RegExpMatchState& ms);

// The search driver behind qelsRegExpFind_8u and qelsRegExpReplace_8u.
QelStatus ownRegExpSearch(const Qel8u* subject, int32_t subjectLen, QelRegExpState* state, QelRegExpFind* results,
                          int32_t* resultCount, int keepWholeMatch);

// The scan over start positions: 0 when a match was found (record 0 holds it).
int ownRegExpScan(const uint8_t* pos, int32_t remaining, RegExpMatchState& ms, int anchorMode, int32_t altSearchStart);

// Test entry: one match attempt of a compiled state at subject[pos], with the
// working record set up as the driver does (records 1.. reset, record 0 =
// {position, 0}). Copies min(outCount, capture count) records to `out`.
// Returns 0 on a match, 1 otherwise, 2 when a budget or the stack guard cut a
// path; *budgetAfter (if not null) receives the nesting budget after the
// attempt.
int match_at_for_test(QelRegExpState* state, const uint8_t* subject, int32_t len, int32_t pos, CaptureRecord* out,
                      int32_t outCount, int32_t* budgetAfter);

}  // namespace qel::re

#endif
