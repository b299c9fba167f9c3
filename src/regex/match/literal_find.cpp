// Case-folded literal search for the prefilters: the first (or last)
// occurrence of a literal when ASCII letters compare without case (a-z folded onto A-Z on
// both sides, no other folding). The AVX2 form tests the literal's first and
// last bytes over 32 positions at once and confirms candidates byte by byte;
// the scalar form serves short inputs and is the reference in the tests.
#include <immintrin.h>

#include <bit>

#include "regex/match/search_internal.h"

namespace qel::re {
namespace {

inline uint8_t fold(uint8_t b) { return (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 32) : b; }

inline bool equal_folded_at(const uint8_t* p, const uint8_t* lit, int32_t len) {
    for (int32_t i = 0; i < len; ++i)
        if (fold(p[i]) != fold(lit[i])) return false;
    return true;
}

// a-z to A-Z in every lane.
inline __m256i fold_avx2(__m256i v) {
    __m256i geA = _mm256_cmpeq_epi8(_mm256_max_epu8(v, _mm256_set1_epi8('a')), v);
    __m256i leZ = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8('z')), v);
    __m256i lower = _mm256_and_si256(geA, leZ);
    return _mm256_andnot_si256(_mm256_and_si256(lower, _mm256_set1_epi8(0x20)), v);
}

}  // namespace

int32_t find_folded_scalar(const uint8_t* p, int32_t n, const uint8_t* lit, int32_t len) {
    for (int32_t i = 0; i + len <= n; ++i)
        if (equal_folded_at(p + i, lit, len)) return i;
    return -1;
}

int32_t find_folded_avx2(const uint8_t* p, int32_t n, const uint8_t* lit, int32_t len) {
    if (len < 1 || n < len) return -1;
    const __m256i first = _mm256_set1_epi8(static_cast<char>(fold(lit[0])));
    const __m256i last = _mm256_set1_epi8(static_cast<char>(fold(lit[len - 1])));
    int32_t i = 0;
    // Both loads of a block end inside the buffer: i + len - 1 + 32 <= n.
    for (; i + len - 1 + 32 <= n; i += 32) {
        __m256i v0 = fold_avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
        __m256i v1 = fold_avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + len - 1)));
        uint32_t m = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(v0, first), _mm256_cmpeq_epi8(v1, last))));
        while (m) {
            int32_t at = i + std::countr_zero(m);
            if (equal_folded_at(p + at, lit, len)) return at;
            m &= m - 1;
        }
    }
    int32_t k = find_folded_scalar(p + i, n - i, lit, len);
    return k < 0 ? -1 : i + k;
}

int32_t find_folded(const uint8_t* p, int32_t n, const uint8_t* lit, int32_t len) {
    return find_folded_avx2(p, n, lit, len);
}

int32_t rfind_folded_scalar(const uint8_t* p, int32_t n, const uint8_t* lit, int32_t len) {
    for (int32_t i = n - len; i >= 0; --i)
        if (equal_folded_at(p + i, lit, len)) return i;
    return -1;
}

// The forward kernel run backwards: blocks of 32 candidate starts from the
// last one down, the highest candidate of a block confirmed first.
int32_t rfind_folded_avx2(const uint8_t* p, int32_t n, const uint8_t* lit, int32_t len) {
    if (len < 1 || n < len) return -1;
    const __m256i first = _mm256_set1_epi8(static_cast<char>(fold(lit[0])));
    const __m256i last = _mm256_set1_epi8(static_cast<char>(fold(lit[len - 1])));
    // Candidate starts [i - 31, i]; the block's loads read up to i + len - 1 < n.
    int32_t i = n - len;
    for (; i >= 31; i -= 32) {
        const int32_t base = i - 31;
        __m256i v0 = fold_avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + base)));
        __m256i v1 = fold_avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + base + len - 1)));
        uint32_t m = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(v0, first), _mm256_cmpeq_epi8(v1, last))));
        while (m) {
            const int32_t top = 31 - std::countl_zero(m);
            if (equal_folded_at(p + base + top, lit, len)) return base + top;
            m &= ~(uint32_t(1) << top);
        }
    }
    return rfind_folded_scalar(p, i + len, lit, len);
}

}  // namespace qel::re
