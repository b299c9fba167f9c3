// Byte-set search for the start filter: the first byte of a buffer that lies
// in a 256-bit set. The AVX2 form classifies 32 bytes at once with two nibble
// lookups (the classic shuffle split of a 256-bit bitmap into 16 x 16 bits),
// 16 at once below 32 bytes; the scalar form serves buffers under 16 bytes
// and is the reference in the tests.
#include <immintrin.h>

#include <bit>

#include "regex/match/match_internal.h"
#include "regex/match/search_internal.h"

namespace qel::re {

// Below a 16-byte vector there is nothing to gain from the table set-up;
// below a 32-byte one two 16-byte vectors cover the buffer.
constexpr int32_t kByteSetShortMin = 16;
constexpr int32_t kByteSetVectorMin = 32;

int ByteSet::count() const {
    return std::popcount(bits[0]) + std::popcount(bits[1]) + std::popcount(bits[2]) + std::popcount(bits[3]);
}

int32_t find_byteset_scalar(const uint8_t* p, int32_t n, const ByteSet& set) {
    for (int32_t i = 0; i < n; ++i)
        if (set.has(p[i])) return i;
    return -1;
}

namespace {

// Bytes of `v` in the set, as a 32-bit mask. `lo_tbl[l]` holds bit h for the
// byte (h << 4) | l with h < 8, `hi_tbl[l]` bit h - 8 for h >= 8.
inline uint32_t classify_avx2(__m256i v, __m256i lo_tbl, __m256i hi_tbl, __m256i bit_tbl) {
    const __m256i nib = _mm256_set1_epi8(0x0F);
    __m256i lo = _mm256_and_si256(v, nib);
    __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nib);
    __m256i rows = _mm256_blendv_epi8(_mm256_shuffle_epi8(lo_tbl, lo), _mm256_shuffle_epi8(hi_tbl, lo), v);
    __m256i sel = _mm256_shuffle_epi8(bit_tbl, hi);
    __m256i miss = _mm256_cmpeq_epi8(_mm256_and_si256(rows, sel), _mm256_setzero_si256());
    return ~static_cast<uint32_t>(_mm256_movemask_epi8(miss));
}

// A set's two row tables and the bit-select table, as classify_avx2 takes them.
struct SetTables {
    __m256i lo, hi, bit;
    explicit SetTables(const ByteSet& set)
        : lo(_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(set.loRows)))),
          hi(_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(set.hiRows)))),
          bit(_mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64,
                               -128, 1, 2, 4, 8, 16, 32, 64, -128)) {}
    uint32_t classify(__m256i v) const { return classify_avx2(v, lo, hi, bit); }
};

// The same over 16 bytes.
inline uint32_t classify_sse(__m128i v, __m128i lo_tbl, __m128i hi_tbl, __m128i bit_tbl) {
    const __m128i nib = _mm_set1_epi8(0x0F);
    __m128i lo = _mm_and_si128(v, nib);
    __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), nib);
    __m128i rows = _mm_blendv_epi8(_mm_shuffle_epi8(lo_tbl, lo), _mm_shuffle_epi8(hi_tbl, lo), v);
    __m128i sel = _mm_shuffle_epi8(bit_tbl, hi);
    __m128i miss = _mm_cmpeq_epi8(_mm_and_si128(rows, sel), _mm_setzero_si128());
    return ~static_cast<uint32_t>(_mm_movemask_epi8(miss)) & 0xFFFFu;
}

// Bit j set where bits j .. j + m - 1 of c all are (m in [1, 32]); bits
// 0 .. 31 of the result are exact.
inline uint64_t runs_of(uint64_t c, int32_t m) {
    int32_t len = 1;
    while (len * 2 <= m) {
        c &= c >> len;
        len *= 2;
    }
    if (len < m) c &= c >> (m - len);
    return c;
}

// 16 to 31 bytes (a typical line of source): two overlapping 16-byte
// vectors, the second ending exactly at the buffer end.
int32_t find_byteset_short(const uint8_t* p, int32_t n, const ByteSet& set) {
    const __m128i lo_tbl = _mm_loadu_si128(reinterpret_cast<const __m128i*>(set.loRows));
    const __m128i hi_tbl = _mm_loadu_si128(reinterpret_cast<const __m128i*>(set.hiRows));
    const __m128i bit_tbl = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    uint32_t m = classify_sse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), lo_tbl, hi_tbl, bit_tbl);
    if (m) return std::countr_zero(m);
    m = classify_sse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)), lo_tbl, hi_tbl, bit_tbl);
    return m ? n - 16 + std::countr_zero(m) : -1;
}

}  // namespace

void ByteSet::build_rows() {
    for (int l = 0; l < 16; ++l) loRows[l] = hiRows[l] = 0;
    for (int b = 0; b < 256; ++b) {
        if (!has(static_cast<uint8_t>(b))) continue;
        int l = b & 15, h = b >> 4;
        if (h < 8)
            loRows[l] |= static_cast<uint8_t>(1u << h);
        else
            hiRows[l] |= static_cast<uint8_t>(1u << (h - 8));
    }
}

int32_t find_byteset_avx2(const uint8_t* p, int32_t n, const ByteSet& set) {
    if (n < kByteSetShortMin) return find_byteset_scalar(p, n, set);
    if (n < kByteSetVectorMin) return find_byteset_short(p, n, set);
    const SetTables tables(set);
    int32_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        uint32_t m = tables.classify(v);
        if (m) return i + std::countr_zero(m);
    }
    if (i == n) return -1;
    // The last, overlapping vector ends exactly at the buffer end; bytes
    // already examined are masked off.
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + n - 32));
    uint32_t m = tables.classify(v) >> (i - (n - 32));
    return m ? i + std::countr_zero(m) : -1;
}

int32_t find_byteset(const uint8_t* p, int32_t n, const ByteSet& set) {
    return n < kByteSetShortMin ? find_byteset_scalar(p, n, set) : find_byteset_avx2(p, n, set);
}

// ---- Runs of a set: each maximal stretch of bytes in it. ----

int32_t byteset_runs_scalar(const uint8_t* p, int32_t n, const ByteSet& set, int32_t minLen, QelRegExpFind* out,
                            int32_t cap) {
    int32_t count = 0;
    for (int32_t i = 0; i < n && count < cap;) {
        if (!set.has(p[i])) {
            ++i;
            continue;
        }
        int32_t end = i + 1;
        while (end < n && set.has(p[end])) ++end;
        if (end - i >= minLen) out[count++] = {p + i, end - i};
        i = end;
    }
    return count;
}

int32_t byteset_runs(const uint8_t* p, int32_t n, const ByteSet& set, int32_t minLen, QelRegExpFind* out,
                     int32_t cap) {
    if (cap <= 0) return 0;
    const SetTables tables(set);
    // Bit j: byte i + j is in the set, for the (up to) 32 bytes from i; bits
    // at and past the end are 0, so a run that reaches the end stops there.
    // Nothing outside [0, n) is read: short buffers take two overlapping
    // 16-byte pieces or single bytes, and the last block of a longer one is
    // the vector ending at n, shifted.
    auto block = [&](int32_t i) -> uint32_t {
        const int32_t left = n - i;
        if (left >= 32)
            return tables.classify(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
        if (n >= 32)
            return tables.classify(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + n - 32))) >> (32 - left);
        if (left >= 16) {
            const __m128i lo16 = _mm256_castsi256_si128(tables.lo), hi16 = _mm256_castsi256_si128(tables.hi);
            const __m128i bit16 = _mm256_castsi256_si128(tables.bit);
            const uint32_t a = classify_sse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), lo16, hi16, bit16);
            const uint32_t b =
                classify_sse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + left - 16)), lo16, hi16, bit16);
            return a | b << (left - 16);
        }
        uint32_t m = 0;
        for (int32_t j = 0; j < left; ++j) m |= uint32_t{set.has(p[i + j])} << j;
        return m;
    };
    int32_t count = 0;
    int32_t start = -1;  // of the run in progress, -1 outside one
    for (int32_t i = 0; i < n; i += 32) {
        const uint32_t in = block(i);
        int32_t c = 0;  // bits below c are done
        for (;;) {
            if (start < 0) {
                const uint32_t rest = c < 32 ? in >> c : 0;
                if (rest == 0) break;
                c += std::countr_zero(rest);
                start = i + c;
            }
            const uint32_t stop = c < 32 ? ~in >> c : 0;
            if (stop == 0) break;  // the run goes on in the next block
            c += std::countr_zero(stop);
            const int32_t end = i + c;
            if (end - start >= minLen) {
                out[count++] = {p + start, end - start};
                if (count == cap) return count;
            }
            start = -1;
        }
    }
    if (start >= 0 && n - start >= minLen) out[count++] = {p + start, n - start};
    return count;
}

// ---- Runs: the first index i with the `len` bytes from p[i] all outside
// `stop`. ----

int32_t find_run_scalar(const uint8_t* p, int32_t n, const ByteSet& stop, int32_t len) {
    int32_t run = 0;
    for (int32_t i = 0; i < n; ++i) {
        run = stop.has(p[i]) ? 0 : run + 1;
        if (run == len) return i + 1 - len;
    }
    return -1;
}

int32_t find_run_avx2(const uint8_t* p, int32_t n, const ByteSet& stop, int32_t len) {
    if (n < 64 || len < 1 || len > kMaxRunFind) return find_run_scalar(p, n, stop, len);
    const SetTables tables(stop);
    auto in_run = [&](int32_t at) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
        return ~tables.classify(v);
    };
    // Bit j: byte i + j is outside the set, for the block at i and the next
    // one; runs_of then says whether the len bytes from i + j are, which the
    // two blocks settle for every j < 32.
    uint32_t cur = in_run(0);
    int32_t i = 0;
    for (; i + 64 <= n; i += 32) {
        const uint32_t next = in_run(i + 32);
        const uint64_t x = runs_of(cur | (uint64_t(next) << 32), len);
        if (const uint32_t hits = static_cast<uint32_t>(x)) return i + std::countr_zero(hits);
        cur = next;
    }
    // The rest, fewer than 64 bytes: starts from i on.
    const int32_t k = find_run_scalar(p + i, n - i, stop, len);
    return k < 0 ? -1 : i + k;
}

int32_t find_run(const uint8_t* p, int32_t n, const ByteSet& stop, int32_t len) {
    return find_run_avx2(p, n, stop, len);
}

}  // namespace qel::re

// ---- Doubled bytes: the first index i with p[i] in the set and p[i + 1]
// equal to it (or, folded, differing only in bit 0x20 where p[i + 1] is an
// ASCII letter). ----

namespace qel::re {
namespace {

inline bool is_ascii_letter(uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

inline bool pair_equal(uint8_t a, uint8_t b, bool folded) {
    return a == b || (folded && is_ascii_letter(b) && (a ^ 0x20) == b);
}

}  // namespace

int32_t find_doubled_scalar(const uint8_t* p, int32_t n, const ByteSet& set, bool folded) {
    for (int32_t i = 0; i + 1 < n; ++i)
        if (set.has(p[i]) && pair_equal(p[i], p[i + 1], folded)) return i;
    return -1;
}

int32_t find_doubled_avx2(const uint8_t* p, int32_t n, const ByteSet& set, bool folded) {
    const SetTables tables(set);
    const __m256i caseBit = _mm256_set1_epi8(0x20);
    int32_t i = 0;
    // Both loads end inside the buffer: i + 1 + 32 <= n.
    for (; i + 33 <= n; i += 32) {
        __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
        __m256i same = _mm256_cmpeq_epi8(v0, v1);
        if (folded) {
            // v1 an ASCII letter (folded into A-Z) and v0 its other case.
            __m256i up = _mm256_andnot_si256(caseBit, v1);
            __m256i letter = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(up, _mm256_set1_epi8('A')), up),
                                              _mm256_cmpeq_epi8(_mm256_min_epu8(up, _mm256_set1_epi8('Z')), up));
            __m256i other = _mm256_cmpeq_epi8(_mm256_xor_si256(v0, caseBit), v1);
            same = _mm256_or_si256(same, _mm256_and_si256(letter, other));
        }
        uint32_t m = static_cast<uint32_t>(_mm256_movemask_epi8(same));
        if (m == 0) continue;
        m &= tables.classify(v0);
        if (m) return i + std::countr_zero(m);
    }
    int32_t k = find_doubled_scalar(p + i, n - i, set, folded);
    return k < 0 ? -1 : i + k;
}

int32_t find_doubled(const uint8_t* p, int32_t n, const ByteSet& set, bool folded) {
    return find_doubled_avx2(p, n, set, folded);
}

}  // namespace qel::re

// ---- Word runs: the first start of a word whose first m bytes lie in a
// set ("\b[A-Z_]{4,}\b" begins only at such a start). A run needs m bytes in
// the set from its start, which the vector form finds by and-ing the set's
// bit mask with itself shifted; the byte before must not be a word byte. ----

namespace qel::re {
namespace {

// Nibble rows of the ASCII word bytes [0-9A-Za-z_], as ByteSet::build_rows
// makes them: bit h of row l for the byte (h << 4) | l.
constexpr uint8_t kWordRows[16] = {0xA8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8,
                                   0xF8, 0xF8, 0xF0, 0x50, 0x50, 0x50, 0x50, 0x70};

}  // namespace

int32_t find_word_run_scalar(const uint8_t* p, int32_t n, bool wordBefore, const ByteSet& set, int32_t m) {
    for (int32_t s = 0; s + m <= n; ++s) {
        if (s == 0 ? wordBefore : is_word_byte(p[s - 1])) continue;
        int32_t k = 0;
        while (k < m && set.has(p[s + k])) ++k;
        if (k == m) return s;
    }
    return -1;
}

int32_t find_word_run_avx2(const uint8_t* p, int32_t n, bool wordBefore, const ByteSet& set, int32_t m) {
    int32_t i = 0;
    if (n >= 64) {
        const SetTables tables(set);
        const __m256i wordLo = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kWordRows)));
        const __m256i none = _mm256_setzero_si256();
        __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        uint32_t c0 = tables.classify(v0);
        uint32_t carry = wordBefore ? 1 : 0;
        // Both vectors end inside the buffer: i + 64 <= n.
        for (; i + 64 <= n; i += 32) {
            const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
            const uint32_t c1 = tables.classify(v1);
            const uint32_t w = classify_avx2(v0, wordLo, none, tables.bit);
            const uint64_t runs = runs_of(uint64_t(c0) | (uint64_t(c1) << 32), m);
            const uint32_t hit = uint32_t(runs) & ~((w << 1) | carry);
            if (hit != 0) return i + std::countr_zero(hit);
            carry = w >> 31;
            v0 = v1;
            c0 = c1;
        }
        wordBefore = carry != 0;
    }
    // The rest: one pass that keeps the start of the run it is in.
    int32_t start = -1;
    for (int32_t j = i; j < n; ++j) {
        if (set.has(p[j])) {
            if (start < 0 && !(j == i ? wordBefore : is_word_byte(p[j - 1]))) start = j;
            if (start >= 0 && j - start + 1 >= m) return start;
        } else {
            start = -1;
        }
    }
    return -1;
}

}  // namespace qel::re
