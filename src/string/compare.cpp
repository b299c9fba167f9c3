// Exact three-way comparison and equality of 8- and 16-bit strings.
//
// Both reduce to finding the first differing byte: for 16-bit strings the
// first differing byte lies in the first differing unit (little-endian, so a
// unit's low byte comes first), and its index halved is the unit index.
//
// The vector kernel tests the first 32 bytes of a long string before any
// setup (strings that differ mostly differ early), aligns the second
// string's loads, compares 128 bytes per step (four 32-byte vectors, one
// combined test; 256 bytes per loop pass from 5 KB, so that the loop's exit
// stays predictable), and finishes with one block (below 128 bytes, two
// vectors) that ends exactly at the last byte: it overlaps bytes already
// found equal, so the first difference it reports is still the first one.
// 32 to 64 bytes take two overlapping vectors with one merged mask; below 32
// bytes the same overlap trick works with 16-, 8- and 4-byte pieces;
// nothing is ever read outside [0, n).
#include <immintrin.h>

#include <cstring>
#include <initializer_list>

#include "frame/frame.h"

namespace qel {
namespace {

constexpr size_t kVector = 32;
constexpr size_t kBlock = 4 * kVector;  // one combined test per 128 bytes keeps the loop branch-light
constexpr size_t kAlignFrom = 512;  // below, aligning the loop costs more than split loads do
constexpr size_t kPairFrom = 5 * 1024;  // from here 256 bytes per loop pass

size_t mismatch_scalar(const uint8_t* a, const uint8_t* b, size_t n) {
    size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

inline uint32_t diff_mask32(const uint8_t* a, const uint8_t* b) {
    __m256i eq = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)),
                                   _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
    return ~static_cast<uint32_t>(_mm256_movemask_epi8(eq));
}

// Pieces of width W at 0 and at n - W cover [0, n) for W <= n < 2W.
template <class W>
inline size_t mismatch_two_words(const uint8_t* a, const uint8_t* b, size_t n) {
    W x = load_word<W>(a) ^ load_word<W>(b);
    if (x) return static_cast<size_t>(__builtin_ctzll(x)) / 8;
    size_t t = n - sizeof(W);
    x = load_word<W>(a + t) ^ load_word<W>(b + t);
    if (x) return t + static_cast<size_t>(__builtin_ctzll(x)) / 8;
    return n;
}

size_t mismatch_short(const uint8_t* a, const uint8_t* b, size_t n) {
    if (n >= 16) {
        for (size_t at : {size_t{0}, n - 16}) {
            __m128i eq = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + at)),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at)));
            uint32_t m = ~static_cast<uint32_t>(_mm_movemask_epi8(eq)) & 0xFFFFu;
            if (m) return at + static_cast<size_t>(__builtin_ctz(m));
        }
        return n;
    }
    if (n >= 8) return mismatch_two_words<uint64_t>(a, b, n);
    if (n >= 4) return mismatch_two_words<uint32_t>(a, b, n);
    return mismatch_scalar(a, b, n);
}

// Under 32 bytes, out of line: with a call on the same path, the long path
// set up a realigned stack frame on every call.
[[gnu::noinline]] QelStatus compare_short(const uint8_t* a, const uint8_t* b, size_t n, int32_t* result) {
    size_t i = mismatch_short(a, b, n);
    *result = i == n ? 0 : int32_t{a[i]} - int32_t{b[i]};
    return qelOk;
}

// Difference mask of [0, n) for 32 <= n <= 64 from the vectors at 0 and at
// t = n - 32: the second one's bits shifted up by t land on the same byte
// positions as the first one's where the two overlap, so one OR gives bit i
// for byte i and a single test decides.
inline uint64_t diff_mask_two_vectors(const uint8_t* a, const uint8_t* b, size_t n) {
    const size_t t = n - kVector;
    return diff_mask32(a, b) | uint64_t{diff_mask32(a + t, b + t)} << t;
}
inline size_t mismatch_two_vectors(const uint8_t* a, const uint8_t* b, size_t n) {
    uint64_t m = diff_mask_two_vectors(a, b, n);
    return m ? static_cast<size_t>(__builtin_ctzll(m)) : n;
}

// One branch for the three pointers and the length: each check is cheap, a
// branch each is not at 64 bytes.
template <class P>
inline bool bad_args(const P* a, const P* b, const int32_t* result, int32_t len) {
    return ((a == nullptr) | (b == nullptr) | (result == nullptr) | (len < 0)) != 0;
}

// Offset of the first difference in the 128 bytes at a and b, or kBlock.
// Without kLocate, any difference gives 0: equality needs no position, and
// locating it would add its latency to the end of the call.
template <bool kLocate>
inline size_t mismatch_block(const uint8_t* a, const uint8_t* b) {
    const auto* pa = reinterpret_cast<const __m256i*>(a);
    const auto* pb = reinterpret_cast<const __m256i*>(b);
    __m256i e0 = _mm256_cmpeq_epi8(_mm256_loadu_si256(pa), _mm256_loadu_si256(pb));
    __m256i e1 = _mm256_cmpeq_epi8(_mm256_loadu_si256(pa + 1), _mm256_loadu_si256(pb + 1));
    __m256i e2 = _mm256_cmpeq_epi8(_mm256_loadu_si256(pa + 2), _mm256_loadu_si256(pb + 2));
    __m256i e3 = _mm256_cmpeq_epi8(_mm256_loadu_si256(pa + 3), _mm256_loadu_si256(pb + 3));
    __m256i all = _mm256_and_si256(_mm256_and_si256(e0, e1), _mm256_and_si256(e2, e3));
    if (static_cast<uint32_t>(_mm256_movemask_epi8(all)) == 0xFFFFFFFFu) [[likely]]
        return kBlock;
    if constexpr (!kLocate) return 0;
    // The difference is in this block: the first vector that has one.
    uint64_t lo = static_cast<uint32_t>(_mm256_movemask_epi8(e0)) |
                  uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(e1))} << 32;
    if (~lo) return static_cast<size_t>(__builtin_ctzll(~lo));
    uint64_t hi = static_cast<uint32_t>(_mm256_movemask_epi8(e2)) |
                  uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(e3))} << 32;
    return 64 + static_cast<size_t>(__builtin_ctzll(~hi));
}

// Whether the 256 bytes at a and b agree, with one test.
inline bool blocks_equal(const uint8_t* a, const uint8_t* b) {
    const auto* pa = reinterpret_cast<const __m256i*>(a);
    const auto* pb = reinterpret_cast<const __m256i*>(b);
    auto eq = [&](int k) { return _mm256_cmpeq_epi8(_mm256_loadu_si256(pa + k), _mm256_loadu_si256(pb + k)); };
    __m256i lo = _mm256_and_si256(_mm256_and_si256(eq(0), eq(1)), _mm256_and_si256(eq(2), eq(3)));
    __m256i hi = _mm256_and_si256(_mm256_and_si256(eq(4), eq(5)), _mm256_and_si256(eq(6), eq(7)));
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(lo, hi))) == 0xFFFFFFFFu;
}

// Where the loop over n >= 128 bytes starts once the first vector is known
// to agree: right past it, or from 512 bytes at a's next 32-byte boundary
// when a is aligned, otherwise at b's.
inline size_t loop_start_after_head(const uint8_t* a, const uint8_t* b, size_t n) {
    if (n < kAlignFrom) return kVector;
    if ((reinterpret_cast<uintptr_t>(a) & (kVector - 1)) == 0) return kVector;
    return kVector - (reinterpret_cast<uintptr_t>(b) & (kVector - 1));
}

// Index of the first byte where a and b differ, or n when they agree
// (without kLocate, some index below n when they differ).
template <bool kLocate = true>
[[gnu::always_inline]] inline size_t mismatch_bytes(const uint8_t* a, const uint8_t* b, size_t n) {
    if (n < kVector) return mismatch_short(a, b, n);
    if (n <= 2 * kVector) return mismatch_two_vectors(a, b, n);
    size_t i = 0;
    if (n >= kBlock) {
        // Strings that differ at all mostly differ early: the first vector
        // is tested before any setup.
        if (uint32_t m = diff_mask32(a, b)) return static_cast<size_t>(__builtin_ctz(m));
        i = loop_start_after_head(a, b, n);
        const size_t last = n - kBlock;  // bound fixed before the loop
        if (n >= kPairFrom) {
            // Two blocks per test: a loop exit after more than about 40 steps
            // was mispredicted at every call (8 KB calls 15% slower).
            const size_t last_pair = n - 2 * kBlock;
            for (; i <= last_pair; i += 2 * kBlock) {
                if (!blocks_equal(a + i, b + i)) [[unlikely]] {
                    if constexpr (!kLocate) return i;
                    size_t d = mismatch_block<true>(a + i, b + i);
                    if (d == kBlock) d += mismatch_block<true>(a + i + kBlock, b + i + kBlock);
                    return i + d;
                }
            }
        }
        for (; i <= last; i += kBlock) {
            size_t d = mismatch_block<kLocate>(a + i, b + i);
            if (d != kBlock) return i + d;
        }
        if (i == n) return n;
        // Under 128 bytes left: one block ending at the last byte. Bytes it
        // shares with the blocks before are equal, so its first difference
        // is the first one.
        size_t d = mismatch_block<kLocate>(a + last, b + last);
        return d != kBlock ? last + d : n;
    }
    // 65 to 127 bytes: the first 64 and the last 64, each with one test.
    if (uint64_t m = diff_mask_two_vectors(a, b, 2 * kVector)) return static_cast<size_t>(__builtin_ctzll(m));
    i = n - 2 * kVector;
    uint64_t m = diff_mask_two_vectors(a + i, b + i, 2 * kVector);
    return m ? i + static_cast<size_t>(__builtin_ctzll(m)) : n;
}


// a[d] - b[d] for the first difference d of the 128 bytes at a and b, which
// are known to have one. This is the end of the call's longest dependency
// chain, so each vector's mask goes straight into the byte loads, without
// being merged with its neighbour's first.
inline int32_t block_difference(const uint8_t* a, const uint8_t* b) {
    for (size_t k = 0; k < kBlock - kVector; k += kVector)
        if (uint32_t m = diff_mask32(a + k, b + k)) {
            size_t d = k + static_cast<size_t>(__builtin_ctz(m));
            return int32_t{a[d]} - int32_t{b[d]};
        }
    a += kBlock - kVector;
    b += kBlock - kVector;
    size_t d = static_cast<size_t>(__builtin_ctz(diff_mask32(a, b)));
    return int32_t{a[d]} - int32_t{b[d]};
}

// Three-way result for n >= 128, the byte difference computed where the
// block is found. Each loop stops before the end and the last block is
// tested after it in straight-line code, so a difference at the end
// (strings that share a long prefix) never leaves a loop through its
// mismatch branch, the slower exit. From 5 KB a loop pass tests two blocks
// one after the other: one combined test of both was 1-3% slower at 6-16 KB.
inline int32_t compare_long(const uint8_t* a, const uint8_t* b, size_t n) {
    // Strings that differ at all mostly differ early: the first vector is
    // tested before any setup.
    if (uint32_t m = diff_mask32(a, b)) {
        size_t d = static_cast<size_t>(__builtin_ctz(m));
        return int32_t{a[d]} - int32_t{b[d]};
    }
    size_t i = loop_start_after_head(a, b, n);
    const size_t last = n - kBlock;
    if (n >= kPairFrom) {
        const size_t last_pair = n - 2 * kBlock;
        for (; i < last_pair; i += 2 * kBlock) {
            if (mismatch_block<false>(a + i, b + i) != kBlock) [[unlikely]]
                return block_difference(a + i, b + i);
            if (mismatch_block<false>(a + i + kBlock, b + i + kBlock) != kBlock) [[unlikely]]
                return block_difference(a + i + kBlock, b + i + kBlock);
        }
    }
    for (; i < last; i += kBlock)
        if (mismatch_block<false>(a + i, b + i) != kBlock) [[unlikely]]
            return block_difference(a + i, b + i);
    return mismatch_block<false>(a + last, b + last) == kBlock ? 0 : block_difference(a + last, b + last);
}

QelStatus compare_8u(const Qel8u* a, const Qel8u* b, int32_t len, int32_t* result) {
    if (bad_args(a, b, result, len)) [[unlikely]]
        return any_null(a, b, result) ? qelErrNullPtr : qelErrLength;
    size_t n = static_cast<size_t>(len);
    if (n - kVector <= kVector) {
        // 32 to 64 bytes, the most common short length: no further dispatch.
        uint64_t m = diff_mask_two_vectors(a, b, n);
        if (!m) {
            *result = 0;
            return qelOk;
        }
        size_t i = static_cast<size_t>(__builtin_ctzll(m));
        *result = int32_t{a[i]} - int32_t{b[i]};
        return qelOk;
    }
    if (n < kVector) return compare_short(a, b, n, result);
    if (n >= kBlock) {
        *result = compare_long(a, b, n);
        return qelOk;
    }
    size_t i = mismatch_bytes(a, b, n);
    *result = i == n ? 0 : int32_t{a[i]} - int32_t{b[i]};
    return qelOk;
}

QelStatus compare_16u(const Qel16u* a, const Qel16u* b, int32_t len, int32_t* result) {
    if (bad_args(a, b, result, len)) [[unlikely]]
        return any_null(a, b, result) ? qelErrNullPtr : qelErrLength;
    size_t n = static_cast<size_t>(len);
    size_t i = mismatch_bytes(reinterpret_cast<const uint8_t*>(a), reinterpret_cast<const uint8_t*>(b), 2 * n) / 2;
    *result = i == n ? 0 : int32_t{load_unit(a + i)} - int32_t{load_unit(b + i)};
    return qelOk;
}

template <class T>
QelStatus equal(const T* a, const T* b, int32_t len, int32_t* result) {
    if (bad_args(a, b, result, len)) [[unlikely]]
        return any_null(a, b, result) ? qelErrNullPtr : qelErrLength;
    size_t bytes = static_cast<size_t>(len) * sizeof(T);
    if (bytes - kVector <= kVector) {
        *result = diff_mask_two_vectors(reinterpret_cast<const uint8_t*>(a), reinterpret_cast<const uint8_t*>(b),
                                        bytes) == 0;
        return qelOk;
    }
    *result = mismatch_bytes<false>(reinterpret_cast<const uint8_t*>(a), reinterpret_cast<const uint8_t*>(b),
                                    bytes) == bytes;
    return qelOk;
}

}  // namespace
}  // namespace qel

extern "C" {

QEL_LINE_ALIGNED QEL_API QelStatus qelsCompare_8u(const Qel8u* src1, const Qel8u* src2, int32_t len, int32_t* result) {
    return qel::compare_8u(src1, src2, len, result);
}
QEL_LINE_ALIGNED QEL_API QelStatus qelsCompare_16u(const Qel16u* src1, const Qel16u* src2, int32_t len, int32_t* result) {
    return qel::compare_16u(src1, src2, len, result);
}
QEL_LINE_ALIGNED QEL_API QelStatus qelsEqual_8u(const Qel8u* src1, const Qel8u* src2, int32_t len, int32_t* result) {
    return qel::equal(src1, src2, len, result);
}
QEL_LINE_ALIGNED QEL_API QelStatus qelsEqual_16u(const Qel16u* src1, const Qel16u* src2, int32_t len, int32_t* result) {
    return qel::equal(src1, src2, len, result);
}

}  // extern "C"
