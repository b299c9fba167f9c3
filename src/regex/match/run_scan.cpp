// Run scanners of the greedy single-item repeats: the length of the leading
// run of bytes that belong to an ASCII set, or that equal one byte. These are
// the hot loops of "[a-z]*", "\w+", ".*" and "a*"; the rest of the matcher
// only steps character by character where a run meets a byte of 0x80 or up.
//
// Loads are 32 bytes only while 32 bytes remain; the tail is scalar, so no
// byte past p + n is ever read.
#include <immintrin.h>

#include "regex/match/match_internal.h"

namespace qel::re {
namespace {

// Below this many bytes the vector set-up costs more than it saves.
constexpr int64_t kRunVectorMin = 32;

int64_t ascii_run_scalar(const uint8_t* p, int64_t n, const AsciiSet& s) {
    int64_t i = 0;
    while (i < n && ascii_set_has(s, p[i])) ++i;
    return i;
}

int64_t byte_run_scalar(const uint8_t* p, int64_t n, uint8_t c, bool fold) {
    int64_t i = 0;
    if (fold) {
        const uint8_t lc = uint8_t(c | 0x20);
        while (i < n && uint8_t(p[i] | 0x20) == lc) ++i;
    } else {
        while (i < n && p[i] == c) ++i;
    }
    return i;
}

// Nibble lookup: lo[b & 15] holds one bit per high nibble 0..7; the bit for
// the byte's high nibble comes from a second shuffle, which yields 0 for high
// nibbles 8..15, so bytes of 0x80 and up are never members.
int64_t ascii_run_avx2(const uint8_t* p, int64_t n, const AsciiSet& s) {
    const __m256i table = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.lo)));
    const __m256i bits = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16,
                                          32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i zero = _mm256_setzero_si256();
    int64_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i lo = _mm256_and_si256(v, nibble);
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
        const __m256i hit = _mm256_and_si256(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(bits, hi));
        const uint32_t miss = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hit, zero)));
        if (miss != 0) return i + __builtin_ctz(miss);
    }
    return i + ascii_run_scalar(p + i, n - i, s);
}

int64_t byte_run_avx2(const uint8_t* p, int64_t n, uint8_t c, bool fold) {
    const __m256i want = _mm256_set1_epi8(char(fold ? (c | 0x20) : c));
    const __m256i mask = _mm256_set1_epi8(char(fold ? 0x20 : 0));
    int64_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), mask);
        const uint32_t miss = ~uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, want)));
        if (miss != 0) return i + __builtin_ctz(miss);
    }
    return i + byte_run_scalar(p + i, n - i, c, fold);
}

}  // namespace

int64_t ascii_run(const uint8_t* p, int64_t n, const AsciiSet& s) {
    return n < kRunVectorMin ? ascii_run_scalar(p, n, s) : ascii_run_avx2(p, n, s);
}

// `fold` is only passed for an ASCII letter c, whose other case differs in
// bit 0x20 alone; folding both sides by or-ing 0x20 then matches exactly the
// two cases of that letter.
int64_t byte_run(const uint8_t* p, int64_t n, uint8_t c, bool fold) {
    return n < kRunVectorMin ? byte_run_scalar(p, n, c, fold) : byte_run_avx2(p, n, c, fold);
}

}  // namespace qel::re
