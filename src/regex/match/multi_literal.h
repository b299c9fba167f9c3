// The shared literal scan of the pattern-set search: slots whose pattern is
// one case-sensitive literal and nothing else are answered together by one
// pass over the subject instead of one search each. Every record and status
// equals what the slot's own search gives.
#ifndef QELCH_REGEX_MATCH_MULTI_LITERAL_H
#define QELCH_REGEX_MATCH_MULTI_LITERAL_H

#include <cstdint>

#include "qelch.h"
#include "regex/match/literal_set.h"

namespace qel::re {

// Most literal slots one pass serves (they live on the stack of the pass);
// further ones are searched on their own.
constexpr uint32_t kMaxSharedLiterals = 256;
// Up to this many literals (of two bytes or more) the pass runs the vector
// filter of literal_set.h.
constexpr uint32_t kVectorFilterMaxLiterals = kLiteralSetMax;

struct ByteSet;

struct SharedLiteral {
    const uint8_t* bytes;  // inside the slot's state
    int32_t len;
    bool global;
    // Null: the pattern is the literal alone. Otherwise every match of this
    // state holds the literal, and the matcher runs only at the starts an
    // occurrence of it allows (the window below).
    QelRegExpState* verify;
    // The window of starts for an occurrence at p: from p - back to p, or,
    // with `runStop`, from the start of the run of bytes outside `runStop`
    // that reaches p, to p. The sets point into the state's search plan.
    int32_t back;
    const ByteSet* runStop;
    const ByteSet* firstBytes;  // every match begins with one of these
    // Not null: once an attempt inside a run of bytes outside this set
    // fails, every later start of that run fails too.
    const ByteSet* skipStop;
};

// True when `state` is a pattern the shared scan answers exactly and the
// record `rec` is one its search would fill normally (results present, room
// for a record); fills `out`. Patterns of the literal alone qualify, and,
// when the state has a search plan (not with the general path forced),
// patterns none of whose matches is empty and every one of which holds a
// case-sensitive literal of two bytes or more that bounds where it starts:
// within a fixed distance before the literal, or within the run of a byte
// set that reaches it ("[a-z]+ed\\b").
// Returns the number of literals written to out[0..room): 0 when the slot is
// not for the pass, several when every match begins with one of a few
// literals ("\\b(?:he|she|it)\\b", "was|were"); the pass takes all of a
// slot's literals or none.
uint32_t shared_literals_of(QelRegExpState* state, const QelRegExpMultiFind& rec, SharedLiteral* out, uint32_t room);

// Searches slots[0..n) (each with its literal in lits[k]; the literals of
// one slot next to each other) in one pass over the subject and fills their
// records as the per-slot search would: results and count, status 0, the
// identifier ids[k], searched 1.
void search_literal_slots(const Qel8u* subject, int32_t len, const uint32_t* slots, const SharedLiteral* lits,
                          const int32_t* ids, uint32_t n, QelRegExpMultiFind* records);

}  // namespace qel::re

#endif
