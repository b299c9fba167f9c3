// Simple Unicode case conversion of 16-bit strings through the case table.
//
// The scalar form looks every unit up (two dependent loads plus the record).
// The vector form handles 16 units at a time when every lane is either ASCII
// (where the mapping is exactly the Latin A-Z/a-z rule) or lies in the long
// stretch of units without any mapping (CJK, symbols, surrogates, private
// use); any other vector falls back to the table, unit by unit. The copying
// and in-place forms share the kernel: each vector is loaded before it is
// stored, and the scalar path reads each unit before writing it.
#include <immintrin.h>

#include <cstddef>

#include "frame/frame.h"
#include "unicode/case_table.h"

namespace qel {
namespace {

constexpr size_t kLanes = 16;  // 16-bit units per 32-byte vector

template <bool Lower>
inline uint16_t map_unit(uint16_t u) {
    return Lower ? to_lower_unit(u) : to_upper_unit(u);
}

template <bool Lower>
void map_case_scalar(const uint16_t* s, uint16_t* d, size_t n) {
    for (size_t i = 0; i < n; ++i) store_unit(d + i, map_unit<Lower>(load_unit(s + i)));
}

template <bool Lower>
void map_case_avx2(const uint16_t* s, uint16_t* d, size_t n) {
    const __m256i non_ascii = _mm256_set1_epi16(static_cast<short>(0xFF80));
    const __m256i free_first = _mm256_set1_epi16(static_cast<short>(kCaseFreeFirst));
    const __m256i free_span = _mm256_set1_epi16(static_cast<short>(kCaseFreeLast - kCaseFreeFirst));
    const __m256i letter_first = _mm256_set1_epi16(Lower ? 'A' : 'a');
    const __m256i letter_span = _mm256_set1_epi16(25);
    const __m256i delta = _mm256_set1_epi16(Lower ? 32 : -32);
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        __m256i ascii = _mm256_cmpeq_epi16(_mm256_and_si256(v, non_ascii), zero);
        __m256i off = _mm256_sub_epi16(v, free_first);
        __m256i caseless = _mm256_cmpeq_epi16(_mm256_min_epu16(off, free_span), off);
        if (_mm256_movemask_epi8(_mm256_or_si256(ascii, caseless)) != -1) {
            map_case_scalar<Lower>(s + i, d + i, kLanes);
            continue;
        }
        __m256i rel = _mm256_sub_epi16(v, letter_first);
        __m256i letter = _mm256_cmpeq_epi16(_mm256_min_epu16(rel, letter_span), rel);
        __m256i out = _mm256_add_epi16(v, _mm256_and_si256(letter, delta));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), out);
    }
    map_case_scalar<Lower>(s + i, d + i, n - i);
}

template <bool Lower>
QelStatus map_case_copy(const Qel16u* src, Qel16u* dst, int32_t len) {
    if (any_null(src, dst)) return qelErrNullPtr;
    if (any_negative(len)) return qelErrLength;
    map_case_avx2<Lower>(src, dst, static_cast<size_t>(len));
    return qelOk;
}

template <bool Lower>
QelStatus map_case_in_place(Qel16u* buf, int32_t len) {
    if (any_null(buf)) return qelErrNullPtr;
    if (any_negative(len)) return qelErrLength;
    map_case_avx2<Lower>(buf, buf, static_cast<size_t>(len));
    return qelOk;
}

}  // namespace
}  // namespace qel

extern "C" {

QEL_API QelStatus qelsLowercase_16u(const Qel16u* src, Qel16u* dst, int32_t len) {
    return qel::map_case_copy<true>(src, dst, len);
}
QEL_API QelStatus qelsLowercase_16u_I(Qel16u* buf, int32_t len) { return qel::map_case_in_place<true>(buf, len); }
QEL_API QelStatus qelsUppercase_16u(const Qel16u* src, Qel16u* dst, int32_t len) {
    return qel::map_case_copy<false>(src, dst, len);
}
QEL_API QelStatus qelsUppercase_16u_I(Qel16u* buf, int32_t len) { return qel::map_case_in_place<false>(buf, len); }

}  // extern "C"
