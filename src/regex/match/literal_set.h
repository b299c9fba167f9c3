// A few literals found in one pass: a vector candidate filter over their
// first bytes, shared by the pattern-set pass (multi_literal.cpp) and the
// search of an alternation of plain literals ("malloc|calloc|free").
//
// The filter puts literal k in bucket k % 8, and nibble tables of the first
// three bytes of every literal tell, 32 positions at a time, which buckets
// may start where. A literal shorter than three bytes lets any byte through
// past its end. Every occurrence of a literal is a candidate of its bucket
// (the filter only lets too many through, never too few), so whoever reads
// the candidates confirms each literal of a bucket at a candidate position.
#ifndef QELCH_REGEX_MATCH_LITERAL_SET_H
#define QELCH_REGEX_MATCH_LITERAL_SET_H

#include <immintrin.h>

#include <cstdint>

#include "regex/regexp_state.h"

namespace qel::re {

// Up to this many literals the filter is worth its tests; beyond, the eight
// buckets fill up and nearly every position of a text gets through.
constexpr uint32_t kLiteralSetMax = 16;
constexpr int32_t kLiteralSetWidth = 3;  // bytes of each literal the tables test
constexpr uint8_t kLiteralSetEnd = 0xFF;  // the end of a bucket's chain

struct LiteralSetFilter {
    uint8_t lo[kLiteralSetWidth][16];  // bit b of lo[j][x]: bucket b allows low nibble x at byte j
    uint8_t hi[kLiteralSetWidth][16];
    uint8_t bucketHead[8];              // the bucket's first literal
    uint8_t bucketNext[kLiteralSetMax];  // the literal after k in its bucket, in literal order
};

// Fills `f` for literals 0..n-1 (n <= kLiteralSetMax, each one byte or
// more). `folded`: an ASCII letter lets its other case through as well.
void build_literal_set_filter(LiteralSetFilter& f, uint32_t n, const uint8_t* const* bytes, const int32_t* lens,
                              bool folded);

// The tables of a filter in registers, for one pass.
struct LiteralSetTables {
    __m256i lo[kLiteralSetWidth];
    __m256i hi[kLiteralSetWidth];

    explicit LiteralSetTables(const LiteralSetFilter& f) {
        // Both 128-bit lanes hold the table: the byte shuffle looks up within a lane.
        for (int32_t j = 0; j < kLiteralSetWidth; ++j) {
            lo[j] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(f.lo[j])));
            hi[j] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(f.hi[j])));
        }
    }

    // The buckets that may start at each of p[0..32), one byte per position;
    // reads p[0, 32 + kLiteralSetWidth - 1).
    __m256i buckets(const uint8_t* p) const {
        const __m256i nibble = _mm256_set1_epi8(0x0F);
        __m256i acc = _mm256_set1_epi8(-1);
        for (int32_t j = 0; j < kLiteralSetWidth; ++j) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + j));
            const __m256i l = _mm256_shuffle_epi8(lo[j], _mm256_and_si256(v, nibble));
            const __m256i h = _mm256_shuffle_epi8(hi[j], _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
            acc = _mm256_and_si256(acc, _mm256_and_si256(l, h));
        }
        return acc;
    }
};

// The positions of a bucket vector that hold any bucket, one bit each.
inline uint32_t candidate_mask(__m256i buckets) {
    return ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(buckets, _mm256_setzero_si256())));
}

// Two literals are found sooner each by its own substring search, whose
// rare-byte filter lets fewer positions through than three bytes do here.
constexpr int32_t kAlternationMinLiterals = 3;

// An alternation of 3 to kLiteralSetMax plain literals of two bytes or
// more, every one of them searched in one pass (the search plan keeps it).
// The literals are the pattern's nodes 0, 2, 4, ...; their first eight
// bytes are kept here so that most candidates are settled by one load and
// compare.
struct LiteralAlternation {
    bool on;
    bool folded;  // a-z and A-Z are one letter (the pattern's "i")
    int32_t count;
    int32_t shortest;
    int32_t offset;  // the filter tests each literal's bytes from here on
    LiteralSetFilter filter;
    int32_t lens[kLiteralSetMax];
    uint64_t head[kLiteralSetMax];      // the first (up to) eight bytes, folded: lower case
    uint64_t headMask[kLiteralSetMax];  // the bytes of `head` in use
    uint64_t headCase[kLiteralSetMax];  // folded: 0x20 at each letter of `head`
};

// Fills `a` from the nodes of a plain alternation (RE_CHAR or RE_STRING at
// even indices, bars between); a.on is false where it does not apply.
void build_literal_alternation(const RegExpNode* nodes, int32_t nodeCount, bool folded, LiteralAlternation& a);

// The leftmost occurrence in [s, s + n) of any literal of `a` and, among
// those that occur there, the first in the alternation (*which, its length
// in *len): the match of the alternation that leftmost-first search gives.
// -1 when none occurs. `nodes` are those `a` was built from.
int32_t find_literal_alternation(const uint8_t* s, int32_t n, const LiteralAlternation& a, const RegExpNode* nodes,
                                 int32_t* which, int32_t* len);

}  // namespace qel::re

#endif
