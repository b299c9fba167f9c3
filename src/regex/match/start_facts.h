// What a pattern set needs to know about where each slot's matches can
// begin: the first-byte set and a required literal with its largest offset
// from the match start. One small accessor, so that the source of these
// facts (worked out per call today) can change without touching the set.
#ifndef QELCH_REGEX_MATCH_START_FACTS_H
#define QELCH_REGEX_MATCH_START_FACTS_H

#include <cstdint>

#include "regex/match/search_internal.h"

namespace qel::re {

struct StartFacts {
    bool valid;        // the state carries the identifier word and sane counts
    bool anchored;     // only the first position (or line starts) can match
    bool useByteSet;   // every match begins with a byte of `firstBytes`
    ByteSet firstBytes;
    bool useLiteral;   // every match holds `literal` within `maxOffset` bytes of its start
    bool literalFolded;
    const uint8_t* literal;  // points into the state
    int32_t literalLen;
    int32_t maxOffset;
    int32_t nodeCount;
};

void slot_start_facts(const QelRegExpState* state, StartFacts& f);

// Rough relative cost of one search of `state` over `len` bytes whose byte
// histogram, taken over `sampled` bytes, is `freq`. Only the order of the
// estimates matters: the set hands the costliest slots out first.
double estimate_search_cost(const StartFacts& f, int32_t len, const uint32_t* freq, uint32_t sampled);

}  // namespace qel::re

#endif
