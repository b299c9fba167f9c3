// The literal-set filter and the one-pass search of an alternation of
// literals.
//
// The alternation's search reads the window once: block by block, the
// candidates in position order, and at each candidate the literals of its
// buckets. The first position where any of them occurs is the leftmost
// match; among the literals there, the lowest index is the one the
// alternation tries first. Positions past the last whole block are covered
// by one more block that ends at the window's end (the positions it shares
// with the block before are masked off), and the last two by a plain test.
#include "regex/match/literal_set.h"

#include <bit>
#include <cstring>

#include "regex/match/search_internal.h"

namespace qel::re {

namespace {

inline uint8_t lower_ascii(uint8_t b) { return (b >= 'A' && b <= 'Z') ? static_cast<uint8_t>(b + 32) : b; }

// Whether literal k occurs at s + i, the window ending at s + n.
[[gnu::always_inline]] inline bool occurs_at(const uint8_t* s, int32_t n, int32_t i, const LiteralAlternation& a,
                                             uint32_t k, const RegExpNode* nodes) {
    const int32_t l = a.lens[k];
    if (l > n - i) return false;
    uint64_t word = 0;
    // Past the literal the mask drops whatever the load took.
    std::memcpy(&word, s + i, n - i >= 8 ? 8 : static_cast<size_t>(n - i));
    if ((((word | a.headCase[k]) ^ a.head[k]) & a.headMask[k]) != 0) return false;
    if (l <= 8) return true;
    const uint8_t* lit = static_cast<const uint8_t*>(node_pointer(nodes[2 * k]));
    if (!a.folded) return std::memcmp(s + i + 8, lit + 8, static_cast<size_t>(l - 8)) == 0;
    for (int32_t j = 8; j < l; ++j)
        if (lower_ascii(s[i + j]) != lower_ascii(lit[j])) return false;
    return true;
}

// The lowest-numbered literal of the buckets in `bits` that occurs at s + i,
// or -1. Each chain lists its literals in order, so the first that occurs
// is the chain's lowest.
[[gnu::always_inline]] inline int32_t first_at(const uint8_t* s, int32_t n, int32_t i, uint32_t bits,
                                               const LiteralAlternation& a, const RegExpNode* nodes) {
    int32_t best = -1;
    for (; bits != 0; bits &= bits - 1)
        for (uint8_t k = a.filter.bucketHead[std::countr_zero(bits)]; k != kLiteralSetEnd && (best < 0 || k < best);
             k = a.filter.bucketNext[k])
            if (occurs_at(s, n, i, a, k, nodes)) {
                best = k;
                break;
            }
    return best;
}

}  // namespace

void build_literal_set_filter(LiteralSetFilter& f, uint32_t n, const uint8_t* const* bytes, const int32_t* lens,
                              bool folded) {
    std::memset(&f, 0, sizeof f);
    std::memset(f.bucketHead, kLiteralSetEnd, sizeof f.bucketHead);
    std::memset(f.bucketNext, kLiteralSetEnd, sizeof f.bucketNext);
    uint8_t tail[8];
    for (uint32_t k = 0; k < n && k < kLiteralSetMax; ++k) {
        const uint32_t b = k % 8;
        if (f.bucketHead[b] == kLiteralSetEnd) f.bucketHead[b] = static_cast<uint8_t>(k);
        else f.bucketNext[tail[b]] = static_cast<uint8_t>(k);
        tail[b] = static_cast<uint8_t>(k);
        const uint8_t bit = static_cast<uint8_t>(1u << b);
        for (int32_t j = 0; j < kLiteralSetWidth; ++j) {
            if (j >= lens[k]) {
                for (int32_t x = 0; x < 16; ++x) {
                    f.lo[j][x] |= bit;
                    f.hi[j][x] |= bit;
                }
                continue;
            }
            const uint8_t c = bytes[k][j];
            f.lo[j][c & 15] |= bit;
            f.hi[j][c >> 4] |= bit;
            if (folded && is_ascii_letter(c)) {
                const uint8_t other = static_cast<uint8_t>(c ^ 0x20);
                f.lo[j][other & 15] |= bit;
                f.hi[j][other >> 4] |= bit;
            }
        }
    }
}

void build_literal_alternation(const RegExpNode* nodes, int32_t nodeCount, bool folded, LiteralAlternation& a) {
    a.on = false;
    if (nodeCount < 3 || nodeCount % 2 == 0) return;
    const int32_t count = (nodeCount + 1) / 2;
    if (count < kAlternationMinLiterals || count > static_cast<int32_t>(kLiteralSetMax)) return;
    const uint8_t* bytes[kLiteralSetMax];
    a.shortest = INT32_MAX;
    for (int32_t k = 0; k < count; ++k) {
        const RegExpNode& n = nodes[2 * k];
        if (n.w0 != RE_STRING || n.w2 < 2 || node_pointer(n) == nullptr) return;
        if (k > 0 && !(nodes[2 * k - 1].w0 == RE_ALT_END && nodes[2 * k - 1].w1 == 0)) return;
        bytes[k] = static_cast<const uint8_t*>(node_pointer(n));
        a.lens[k] = n.w2;
        if (n.w2 < a.shortest) a.shortest = n.w2;
        const int32_t m = n.w2 < 8 ? n.w2 : 8;
        a.head[k] = a.headCase[k] = 0;
        for (int32_t j = 0; j < m; ++j) {
            const uint8_t c = bytes[k][j];
            const bool letter = folded && is_ascii_letter(c);
            a.head[k] |= uint64_t(letter ? lower_ascii(c) : c) << (8 * j);
            if (letter) a.headCase[k] |= uint64_t(0x20) << (8 * j);
        }
        a.headMask[k] = m == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * m)) - 1;
    }
    // The filter tests the three bytes at the offset where the literals'
    // bytes are rarest together ("int8_t|int16_t|int32_t": not at "int").
    a.offset = 0;
    int64_t least = INT64_MAX;
    for (int32_t o = 0; o + kLiteralSetWidth <= a.shortest || o == 0; ++o) {
        int64_t cost = 0;
        for (int32_t k = 0; k < count; ++k) {
            int64_t share = 1;
            for (int32_t j = o; j < o + kLiteralSetWidth && j < a.lens[k]; ++j) {
                const uint8_t c = bytes[k][j];
                share *= byte_share(c) + (folded && is_ascii_letter(c) ? byte_share(c ^ 0x20) : 0);
            }
            cost += share;
        }
        if (cost < least) {
            least = cost;
            a.offset = o;
        }
    }
    const uint8_t* tested[kLiteralSetMax];
    int32_t testedLens[kLiteralSetMax];
    for (int32_t k = 0; k < count; ++k) {
        tested[k] = bytes[k] + a.offset;
        testedLens[k] = a.lens[k] - a.offset;
    }
    build_literal_set_filter(a.filter, static_cast<uint32_t>(count), tested, testedLens, folded);
    a.count = count;
    a.folded = folded;
    a.on = true;
}

int32_t find_literal_alternation(const uint8_t* s, int32_t n, const LiteralAlternation& a, const RegExpNode* nodes,
                                 int32_t* which, int32_t* len) {
    constexpr int32_t kBlockReach = 32 + kLiteralSetWidth - 1;  // bytes one block reads
    // Block positions are starts; the bytes tested lie `offset` bytes on.
    const uint8_t* f = s + a.offset;
    const int32_t fn = n - a.offset;
    int32_t i = 0;
    if (fn >= kBlockReach) {
        const LiteralSetTables t(a.filter);
        alignas(32) uint8_t buckets[32];
        // The candidates of the block [at, at + 32) in `mask`, in order.
        auto settle = [&](int32_t at, __m256i b, uint32_t mask) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(buckets), b);
            for (; mask != 0; mask &= mask - 1) {
                const int32_t p = at + std::countr_zero(mask);
                const int32_t k = first_at(s, n, p, buckets[p - at], a, nodes);
                if (k >= 0) {
                    *which = k;
                    *len = a.lens[k];
                    return p;
                }
            }
            return -1;
        };
        // Two blocks a round: most rounds hold no candidate, and one test
        // of both masks settles that.
        for (; i + 32 + kBlockReach <= fn; i += 64) {
            const __m256i b0 = t.buckets(f + i);
            const __m256i b1 = t.buckets(f + i + 32);
            const uint32_t m0 = candidate_mask(b0);
            const uint32_t m1 = candidate_mask(b1);
            if ((m0 | m1) == 0) [[likely]]
                continue;
            if (m0 != 0)
                if (const int32_t p = settle(i, b0, m0); p >= 0) return p;
            if (m1 != 0)
                if (const int32_t p = settle(i + 32, b1, m1); p >= 0) return p;
        }
        for (; i + kBlockReach <= fn; i += 32) {
            const __m256i b = t.buckets(f + i);
            if (const uint32_t m = candidate_mask(b); m != 0)
                if (const int32_t p = settle(i, b, m); p >= 0) return p;
        }
        // The starts after the last whole block, up to the last one a block
        // reaches, by a block that ends at the window's end.
        const int32_t at = fn - kBlockReach;
        if (i < at + 32) {
            const __m256i b = t.buckets(f + at);
            if (const uint32_t m = candidate_mask(b) & ~((uint32_t(1) << (i - at)) - 1); m != 0)
                if (const int32_t p = settle(at, b, m); p >= 0) return p;
            i = at + 32;
        }
    }
    // The starts no block covered: a short window's, or the last few.
    for (; i <= n - a.shortest; ++i) {
        const int32_t k = first_at(s, n, i, 0xFF, a, nodes);
        if (k >= 0) {
            *which = k;
            *len = a.lens[k];
            return i;
        }
    }
    return -1;
}

}  // namespace qel::re
