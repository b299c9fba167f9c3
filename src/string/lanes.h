// Lane operations on 8- and 16-bit code units for 16- and 32-byte vectors,
// so that one kernel template serves both unit widths and both vector sizes.
// Only unaligned loads and stores are used: every access stays within the
// bytes the caller gave, and the kernels choose their own block positions.
#ifndef QELCH_STRING_LANES_H
#define QELCH_STRING_LANES_H

#include <immintrin.h>

#include <cstdint>

namespace qel::lanes {

// Vector widths as tags (vector types themselves make poor template arguments).
struct X16 {
    using V = __m128i;
    static constexpr uint32_t kAllBytes = 0xFFFFu;
    static V load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
};
struct X32 {
    using V = __m256i;
    static constexpr uint32_t kAllBytes = 0xFFFFFFFFu;
    static V load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
};

inline void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline void store(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

// Byte mask of a comparison result: bit k for byte k.
inline uint32_t byte_mask(__m128i v) { return static_cast<uint32_t>(_mm_movemask_epi8(v)); }
inline uint32_t byte_mask(__m256i v) { return static_cast<uint32_t>(_mm256_movemask_epi8(v)); }

inline __m128i and_(__m128i a, __m128i b) { return _mm_and_si128(a, b); }
inline __m256i and_(__m256i a, __m256i b) { return _mm256_and_si256(a, b); }
inline __m128i or_(__m128i a, __m128i b) { return _mm_or_si128(a, b); }
inline __m256i or_(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }
inline __m128i blend(__m128i a, __m128i b, __m128i m) { return _mm_blendv_epi8(a, b, m); }
inline __m256i blend(__m256i a, __m256i b, __m256i m) { return _mm256_blendv_epi8(a, b, m); }

template <class T>
struct Ops;

template <>
struct Ops<uint8_t> {
    template <class W>
    static typename W::V set1(uint32_t x) {
        if constexpr (sizeof(typename W::V) == 32) return _mm256_set1_epi8(static_cast<char>(x));
        else return _mm_set1_epi8(static_cast<char>(x));
    }
    static __m128i eq(__m128i a, __m128i b) { return _mm_cmpeq_epi8(a, b); }
    static __m256i eq(__m256i a, __m256i b) { return _mm256_cmpeq_epi8(a, b); }
    static __m128i gt(__m128i a, __m128i b) { return _mm_cmpgt_epi8(a, b); }
    static __m256i gt(__m256i a, __m256i b) { return _mm256_cmpgt_epi8(a, b); }
    static __m128i min(__m128i a, __m128i b) { return _mm_min_epu8(a, b); }
    static __m256i min(__m256i a, __m256i b) { return _mm256_min_epu8(a, b); }
    static __m128i add(__m128i a, __m128i b) { return _mm_add_epi8(a, b); }
    static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi8(a, b); }
    static __m128i sub(__m128i a, __m128i b) { return _mm_sub_epi8(a, b); }
    static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi8(a, b); }
};

template <>
struct Ops<uint16_t> {
    template <class W>
    static typename W::V set1(uint32_t x) {
        if constexpr (sizeof(typename W::V) == 32) return _mm256_set1_epi16(static_cast<short>(x));
        else return _mm_set1_epi16(static_cast<short>(x));
    }
    static __m128i eq(__m128i a, __m128i b) { return _mm_cmpeq_epi16(a, b); }
    static __m256i eq(__m256i a, __m256i b) { return _mm256_cmpeq_epi16(a, b); }
    static __m128i gt(__m128i a, __m128i b) { return _mm_cmpgt_epi16(a, b); }
    static __m256i gt(__m256i a, __m256i b) { return _mm256_cmpgt_epi16(a, b); }
    static __m128i min(__m128i a, __m128i b) { return _mm_min_epu16(a, b); }
    static __m256i min(__m256i a, __m256i b) { return _mm256_min_epu16(a, b); }
    static __m128i add(__m128i a, __m128i b) { return _mm_add_epi16(a, b); }
    static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
    static __m128i sub(__m128i a, __m128i b) { return _mm_sub_epi16(a, b); }
    static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
};

// The range-and-delta rule of the Latin case functions: a unit u with
// low <= u <= high becomes u + delta (modulo the unit width), any other unit
// stays. The unsigned range test is one add and one signed compare: adding
// (sign bit - low) moves [low, high] to the bottom of the signed range, where
// it is exactly the lanes below (sign bit + high - low + 1).
template <class T, class W>
struct RangeDelta {
    using V = typename W::V;
    static constexpr uint32_t kSign = 1u << (8 * sizeof(T) - 1);
    V bias, limit, delta;
    RangeDelta(uint32_t lo, uint32_t hi, int32_t d)
        : bias(Ops<T>::template set1<W>(kSign - lo)),
          limit(Ops<T>::template set1<W>(kSign + (hi - lo) + 1)),
          delta(Ops<T>::template set1<W>(static_cast<uint32_t>(d))) {}
    V apply(V v) const {
        V in = Ops<T>::gt(limit, Ops<T>::add(v, bias));
        return Ops<T>::add(v, and_(in, delta));
    }
};

// The same rule on one unit.
template <class T>
inline T range_delta(T u, uint32_t low, uint32_t high, int32_t delta) {
    return (u >= low && u <= high) ? static_cast<T>(u + delta) : u;
}

}  // namespace qel::lanes

#endif
