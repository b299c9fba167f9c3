// UTF-8 <-> UTF-16 conversion: the scalar kernels (one character per step,
// the reference behaviour), the AVX2 kernels and the exported entry points.
//
// Invariants of the AVX2 kernels:
//  - Loads never reach past the source length: a vector step runs only when a
//    whole vector of source remains; the rest goes to the scalar kernel.
//  - Nothing is written past the last unit actually produced, not even inside
//    the caller's capacity: variable-length vector results are assembled in a
//    small stack buffer and copied out with an exact-length copy, so the
//    destination beyond the returned count keeps its former contents, exactly
//    as with the scalar kernel.
//  - A vector step only converts characters whose scalar conversion is known
//    in advance (ASCII, well-formed 2- and 3-byte sequences, BMP units that
//    are not high surrogates) and only when the destination has room for all
//    of them, so it can never disagree with the scalar kernel about where to
//    stop.
#include "unicode/utf_convert.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "frame/frame.h"

namespace qel {
namespace {

// The three tables of the UTF-8 form, indexed by the number k of
// continuation bytes (0..5).
constexpr uint32_t kLeadPayloadMask[6] = {0xFF, 0x1F, 0x0F, 0x07, 0x03, 0x01};
constexpr uint32_t kLargestValue[6] = {0x7F, 0x7FF, 0xFFFF, 0x1FFFFF, 0x3FFFFFF, 0x7FFFFFFF};
constexpr uint8_t kLeadPrefix[6] = {0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

inline Qel16u swap_if(uint32_t unit, bool swap) {
    const auto u = static_cast<Qel16u>(unit);
    return swap ? static_cast<Qel16u>((u >> 8) | (u << 8)) : u;
}

// Number of continuation bytes a byte announces, or -1 for a byte that cannot
// start a multi-byte sequence (a stray continuation byte, 0xFE, 0xFF).
inline int announced_continuations(uint32_t lead) {
    const int ones = __builtin_clz(~(lead << 24));
    return (ones >= 2 && ones <= 6) ? ones - 1 : -1;
}

// ---------------------------------------------------------------- scalar

// Decodes from i until i reaches `limit` (at most n) or decoding has to stop.
// Returns true when it stopped: the destination is full, a character needs a
// surrogate pair and one unit of room is left, or the sequence at i runs past
// the end of the source. The truncated sequence is left unconsumed so that a
// caller converting in pieces gets exactly what one call over the whole text
// gives.
bool decode_scalar_until(const Qel8u* src, size_t n, size_t limit, size_t& pos, Qel16u* dst, size_t cap,
                         size_t& out, bool swap) {
    size_t i = pos, o = out;
    bool stopped = false;
    while (i < limit) {
        if (o == cap) {
            stopped = true;
            break;
        }
        const uint32_t b = src[i];
        if (b < 0x80) {
            store_unit(dst + o++, swap_if(b, swap));
            ++i;
            continue;
        }
        const int k = announced_continuations(b);
        bool wellformed = false;
        uint32_t value = 0;
        if (k > 0) {
            if (n - i - 1 < static_cast<size_t>(k)) {
                stopped = true;
                break;
            }
            value = b & kLeadPayloadMask[k];
            wellformed = true;
            for (int j = 1; j <= k; ++j) {
                const uint32_t c = src[i + j];
                if ((c & 0xC0) != 0x80) {
                    wellformed = false;
                    break;
                }
                value = (value << 6) | (c & 0x3F);
            }
            // Overlong: a shorter sequence could have carried the value.
            if (wellformed && value <= kLargestValue[k - 1]) wellformed = false;
        }
        if (!wellformed) {
            // Malformed: the lead byte stands for itself (its Latin-1 meaning)
            // and the bytes after it are examined again as possible leads.
            store_unit(dst + o++, swap_if(b, swap));
            ++i;
            continue;
        }
        if (value <= 0xFFFF) {
            store_unit(dst + o++, swap_if(value, swap));
        } else {
            if (cap - o < 2) {
                stopped = true;
                break;
            }
            // Values above 0x10FFFF fold into a pair by the same masking.
            const uint32_t v = value - 0x10000;
            store_unit(dst + o++, swap_if(0xD800 | ((v >> 10) & 0x3FF), swap));
            store_unit(dst + o++, swap_if(0xDC00 | (v & 0x3FF), swap));
        }
        i += static_cast<size_t>(k) + 1;
    }
    pos = i;
    out = o;
    return stopped;
}

// Encodes from i until i reaches `limit` (at most n) or the next character's
// bytes do not all fit. Returns true when it stopped for lack of room.
bool encode_scalar_until(const Qel16u* src, size_t n, size_t limit, size_t& pos, Qel8u* dst, size_t cap,
                         size_t& out, bool swap) {
    size_t i = pos, o = out;
    bool stopped = false;
    while (i < limit) {
        if (o == cap) {
            stopped = true;
            break;
        }
        const uint32_t u = swap_if(load_unit(src + i), swap);
        uint32_t value = u;
        size_t units = 1;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
            const uint32_t next = swap_if(load_unit(src + i + 1), swap);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                value = (((u & 0x3FF) << 10) | (next & 0x3FF)) + 0x10000;
                units = 2;
            }
        }
        int k = 0;
        while (value > kLargestValue[k]) ++k;
        // Built aside and copied out only whole: a character that does not
        // fit leaves no partial bytes behind.
        Qel8u seq[6];
        uint32_t rest = value;
        for (int j = k; j > 0; --j) {
            seq[j] = static_cast<Qel8u>(0x80 | (rest & 0x3F));
            rest >>= 6;
        }
        seq[0] = static_cast<Qel8u>(kLeadPrefix[k] | rest);
        if (cap - o < static_cast<size_t>(k) + 1) {
            stopped = true;
            break;
        }
        for (int j = 0; j <= k; ++j) dst[o++] = seq[j];
        i += units;
    }
    pos = i;
    out = o;
    return stopped;
}

// ---------------------------------------------------------------- AVX2

// One decoding window: 32 source bytes, one AVX2 load. It yields at most 31
// units, since the character that starts last in the window is always left to
// the next one.
constexpr size_t kDecodeWindowBytes = 32;
// Windows keep starting until this many bytes of a block are consumed; with
// at most 31 units per window the staged block stays within kDecodeStageUnits.
constexpr size_t kDecodeBlockBytes = 64;
constexpr size_t kDecodeStageUnits = 96;
// An ASCII step widens 32 bytes, one AVX2 load.
constexpr size_t kDecodeAsciiBytes = 32;

// An encoding group is 8 units (one 128-bit load) giving at most 24 bytes.
constexpr size_t kEncodeGroupUnits = 8;
constexpr size_t kEncodeGroupMaxBytes = 24;
// Four groups per block keep the staged output within kEncodeStageBytes.
constexpr size_t kEncodeBlockUnits = 32;
constexpr size_t kEncodeStageBytes = kEncodeBlockUnits / kEncodeGroupUnits * kEncodeGroupMaxBytes;
// An ASCII step narrows 32 units, two AVX2 loads into one store.
constexpr size_t kEncodeAsciiUnits = 32;

struct ShuffleTable {
    alignas(16) uint8_t shuffle[256][16];
    uint8_t length[256];
};

// Entry m gathers the 16-bit lanes named by the set bits of m to the front.
constexpr ShuffleTable make_lane_compress() {
    ShuffleTable t{};
    for (int m = 0; m < 256; ++m) {
        int at = 0;
        for (int lane = 0; lane < 8; ++lane) {
            if (!(m >> lane & 1)) continue;
            t.shuffle[m][at++] = static_cast<uint8_t>(2 * lane);
            t.shuffle[m][at++] = static_cast<uint8_t>(2 * lane + 1);
        }
        t.length[m] = static_cast<uint8_t>(at);
        for (; at < 16; ++at) t.shuffle[m][at] = 0x80;
    }
    return t;
}

// Entry c holds, for four 32-bit lanes whose UTF-8 lengths minus one are the
// 2-bit fields of c, the shuffle that packs each lane's first bytes together.
constexpr ShuffleTable make_utf8_pack() {
    ShuffleTable t{};
    for (int c = 0; c < 256; ++c) {
        int at = 0;
        for (int lane = 0; lane < 4; ++lane) {
            const int extra = (c >> (2 * lane)) & 3;
            for (int j = 0; j <= extra && at < 16; ++j) t.shuffle[c][at++] = static_cast<uint8_t>(4 * lane + j);
        }
        t.length[c] = static_cast<uint8_t>(at);
        for (; at < 16; ++at) t.shuffle[c][at] = 0x80;
    }
    return t;
}

// Entry m packs eight 16-bit lanes holding two-byte forms, keeping only the
// first byte of the lanes whose bit is set in m (the ASCII ones).
constexpr ShuffleTable make_utf8_pack_two() {
    ShuffleTable t{};
    for (int m = 0; m < 256; ++m) {
        int at = 0;
        for (int lane = 0; lane < 8; ++lane) {
            t.shuffle[m][at++] = static_cast<uint8_t>(2 * lane);
            if (!(m >> lane & 1)) t.shuffle[m][at++] = static_cast<uint8_t>(2 * lane + 1);
        }
        t.length[m] = static_cast<uint8_t>(at);
        for (; at < 16; ++at) t.shuffle[m][at] = 0x80;
    }
    return t;
}

constexpr ShuffleTable kLaneCompress = make_lane_compress();
constexpr ShuffleTable kUtf8Pack = make_utf8_pack();
constexpr ShuffleTable kUtf8PackTwo = make_utf8_pack_two();

inline __m128i load_shuffle(const ShuffleTable& t, unsigned index) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(t.shuffle[index]));
}

// Copies exactly `bytes` (at most a few hundred) from the stage to the
// destination with overlapping vector moves; nothing outside [0, bytes).
inline void copy_exact(const void* from, void* to, size_t bytes) {
    const auto* s = static_cast<const uint8_t*>(from);
    auto* d = static_cast<uint8_t*>(to);
    if (bytes >= 32) {
        for (size_t k = 0; k + 32 < bytes; k += 32)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + k),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + bytes - 32),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + bytes - 32)));
    } else if (bytes >= 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + bytes - 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + bytes - 16), b);
    } else if (bytes >= 8) {
        uint64_t a, b;
        __builtin_memcpy(&a, s, 8);
        __builtin_memcpy(&b, s + bytes - 8, 8);
        __builtin_memcpy(d, &a, 8);
        __builtin_memcpy(d + bytes - 8, &b, 8);
    } else if (bytes >= 4) {
        uint32_t a, b;
        __builtin_memcpy(&a, s, 4);
        __builtin_memcpy(&b, s + bytes - 4, 4);
        __builtin_memcpy(d, &a, 4);
        __builtin_memcpy(d + bytes - 4, &b, 4);
    } else {
        for (size_t k = 0; k < bytes; ++k) d[k] = s[k];
    }
}

inline __m256i splat8(int v) { return _mm256_set1_epi8(static_cast<char>(v)); }
inline uint32_t mask_of(__m256i v) { return static_cast<uint32_t>(_mm256_movemask_epi8(v)); }

// The vector shifted up by `k` bytes (1 or 2) across its two 128-bit halves,
// zeros shifted in: lane j holds byte j - k.
template <int k>
inline __m256i shift_in_zeros(__m256i v) {
    const __m256i low_half_up = _mm256_permute2x128_si256(v, v, 0x08);  // [0, v.low]
    return _mm256_alignr_epi8(v, low_half_up, 16 - k);
}

// Decodes one 32-byte window: every character that starts in the window
// before its last character start, provided all of them are well-formed
// 1- to 3-byte sequences. Writes their units to `out` (which must have room
// for 32 units; lanes past `units` are scratch) and returns the bytes
// consumed, or 0 when the window holds anything else; the window then goes to
// the scalar kernel.
inline size_t decode_window_avx2(const Qel8u* p, Qel16u* out, size_t& units, bool swap) {
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i top4 = _mm256_and_si256(b, splat8(0xF0));
    const __m256i is_lead3 = _mm256_cmpeq_epi8(top4, splat8(0xE0));
    const uint32_t cont = mask_of(_mm256_cmpeq_epi8(_mm256_and_si256(b, splat8(0xC0)), splat8(0x80)));
    const uint32_t lead2 = mask_of(_mm256_cmpeq_epi8(_mm256_and_si256(b, splat8(0xE0)), splat8(0xC0)));
    const uint32_t lead3 = mask_of(is_lead3);
    const uint32_t longer = mask_of(_mm256_cmpeq_epi8(top4, splat8(0xF0)));
    const uint32_t starts = ~cont;
    const uint32_t later_starts = starts & ~1u;
    if (later_starts == 0) return 0;
    const unsigned last = 31 - static_cast<unsigned>(__builtin_clz(later_starts));
    const auto through_last = static_cast<uint32_t>((uint64_t{2} << last) - 1);
    const uint32_t before_last = (1u << last) - 1;
    // Continuation bytes must sit exactly where the leads before them say.
    const uint32_t expected = ((lead2 | lead3) << 1) | (lead3 << 2);
    // Overlong forms: C0/C1 leads, and E0 followed by 0x80..0x9F.
    const uint32_t c0c1 = mask_of(_mm256_cmpeq_epi8(_mm256_and_si256(b, splat8(0xFE)), splat8(0xC0)));
    const uint32_t e0 = mask_of(_mm256_cmpeq_epi8(b, splat8(0xE0)));
    const uint32_t bit5_clear = mask_of(_mm256_cmpeq_epi8(_mm256_and_si256(b, splat8(0x20)), _mm256_setzero_si256()));
    const uint32_t overlong = c0c1 | (e0 & (bit5_clear >> 1));
    if (((cont ^ expected) & through_last) | ((longer | overlong) & before_last)) return 0;

    // The value of a character is formed at its last byte from that byte and
    // the one or two before it; low and high bytes are built separately.
    const __m256i p1 = shift_in_zeros<1>(b);
    const __m256i p2 = shift_in_zeros<2>(b);
    const __m256i lead3_at_p2 = shift_in_zeros<2>(is_lead3);
    __m256i lo = _mm256_or_si256(_mm256_and_si256(b, splat8(0x3F)),
                                 _mm256_and_si256(_mm256_slli_epi16(p1, 6), splat8(0xC0)));
    __m256i hi = _mm256_or_si256(
        _mm256_and_si256(_mm256_srli_epi16(p1, 2), splat8(0x0F)),
        _mm256_and_si256(lead3_at_p2, _mm256_and_si256(_mm256_slli_epi16(p2, 4), splat8(0xF0))));
    const __m256i ascii = _mm256_cmpgt_epi8(b, _mm256_set1_epi8(-1));
    lo = _mm256_blendv_epi8(lo, b, ascii);
    hi = _mm256_andnot_si256(ascii, hi);
    // Unpacking works per 128-bit half: `first` holds positions 0-7 and
    // 16-23, `second` 8-15 and 24-31.
    const __m256i first = swap ? _mm256_unpacklo_epi8(hi, lo) : _mm256_unpacklo_epi8(lo, hi);
    const __m256i second = swap ? _mm256_unpackhi_epi8(hi, lo) : _mm256_unpackhi_epi8(lo, hi);

    const uint32_t ends = (starts >> 1) & before_last;
    const unsigned e0_7 = ends & 0xFF, e8_15 = (ends >> 8) & 0xFF, e16_23 = (ends >> 16) & 0xFF, e24_31 = ends >> 24;
    Qel16u* at = out;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_shuffle_epi8(_mm256_castsi256_si128(first), load_shuffle(kLaneCompress, e0_7)));
    at += __builtin_popcount(e0_7);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_shuffle_epi8(_mm256_castsi256_si128(second), load_shuffle(kLaneCompress, e8_15)));
    at += __builtin_popcount(e8_15);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_shuffle_epi8(_mm256_extracti128_si256(first, 1), load_shuffle(kLaneCompress, e16_23)));
    at += __builtin_popcount(e16_23);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_shuffle_epi8(_mm256_extracti128_si256(second, 1), load_shuffle(kLaneCompress, e24_31)));
    units = static_cast<size_t>(__builtin_popcount(ends));
    return last;
}

// Encodes 8 units none of which is a high surrogate (so each stands alone,
// 1 to 3 bytes). Writes to `out` (room for 32 bytes; bytes past the returned
// length are scratch) and returns the byte count.
inline size_t encode_group_avx2(__m128i units, Qel8u* out) {
    const __m256i v = _mm256_cvtepu16_epi32(units);
    const __m256i low6 = _mm256_or_si256(_mm256_and_si256(v, _mm256_set1_epi32(0x3F)), _mm256_set1_epi32(0x80));
    const __m256i mid6 = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(v, 6), _mm256_set1_epi32(0x3F)),
                                         _mm256_set1_epi32(0x80));
    const __m256i two = _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi32(v, 6), _mm256_set1_epi32(0xC0)),
                                        _mm256_slli_epi32(low6, 8));
    const __m256i three =
        _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi32(v, 12), _mm256_set1_epi32(0xE0)),
                        _mm256_or_si256(_mm256_slli_epi32(mid6, 8), _mm256_slli_epi32(low6, 16)));
    const __m256i ge80 = _mm256_cmpgt_epi32(v, _mm256_set1_epi32(0x7F));
    const __m256i ge800 = _mm256_cmpgt_epi32(v, _mm256_set1_epi32(0x7FF));
    const __m256i lanes = _mm256_blendv_epi8(_mm256_blendv_epi8(v, two, ge80), three, ge800);
    const auto m1 = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(ge80)));
    const auto m2 = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(ge800)));
    // Per lane, length - 1 = m1 + m2 (0..2) in its own 2-bit field.
    const uint32_t codes = _pdep_u32(m1, 0x5555) + _pdep_u32(m2, 0x5555);
    const unsigned c_lo = codes & 0xFF, c_hi = codes >> 8;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi8(_mm256_castsi256_si128(lanes), load_shuffle(kUtf8Pack, c_lo)));
    const size_t n_lo = kUtf8Pack.length[c_lo];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n_lo),
                     _mm_shuffle_epi8(_mm256_extracti128_si256(lanes, 1), load_shuffle(kUtf8Pack, c_hi)));
    return n_lo + kUtf8Pack.length[c_hi];
}

// Encodes 8 units all below 0x800 (1 or 2 bytes each) in 16-bit lanes, the
// common case of Latin, Greek and Cyrillic text. Same contract as above, room
// for 16 bytes.
inline size_t encode_group_two_avx2(__m128i units, Qel8u* out) {
    const __m128i lead = _mm_or_si128(_mm_srli_epi16(units, 6), _mm_set1_epi16(0xC0));
    const __m128i cont = _mm_or_si128(_mm_and_si128(units, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80));
    const __m128i two = _mm_or_si128(lead, _mm_slli_epi16(cont, 8));
    const __m128i ascii = _mm_cmplt_epi16(units, _mm_set1_epi16(0x80));
    const __m128i lanes = _mm_blendv_epi8(two, units, ascii);
    const auto m = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, ascii)) & 0xFF);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(lanes, load_shuffle(kUtf8PackTwo, m)));
    return kUtf8PackTwo.length[m];
}

// True when the kEncodeAsciiUnits units at p are all below 0x80.
inline bool ascii_units_avx2(const Qel16u* p, bool swap) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16));
    // Testing the swapped form only needs the mask swapped.
    const __m256i high = swap ? _mm256_set1_epi16(static_cast<short>(0x80FF)) : _mm256_set1_epi16(static_cast<short>(0xFF80));
    return _mm256_testz_si256(_mm256_or_si256(a, c), high);
}

inline __m128i byte_swap_mask128() { return _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14); }

}  // namespace

UtfProgress utf8_to_utf16_scalar(const Qel8u* src, size_t n, Qel16u* dst, size_t cap, bool swap) {
    size_t i = 0, o = 0;
    decode_scalar_until(src, n, n, i, dst, cap, o, swap);
    return {i, o};
}

UtfProgress utf16_to_utf8_scalar(const Qel16u* src, size_t n, Qel8u* dst, size_t cap, bool swap) {
    size_t i = 0, o = 0;
    encode_scalar_until(src, n, n, i, dst, cap, o, swap);
    return {i, o};
}

UtfProgress utf8_to_utf16_avx2(const Qel8u* src, size_t n, Qel16u* dst, size_t cap, bool swap) {
    size_t i = 0, o = 0;
    alignas(32) Qel16u stage[kDecodeStageUnits + 8];
    for (;;) {
        while (n - i >= kDecodeAsciiBytes && cap - o >= kDecodeAsciiBytes) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
            if (_mm256_movemask_epi8(v)) break;
            __m256i a = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v));
            __m256i c = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1));
            if (swap) {
                a = _mm256_slli_epi16(a, 8);
                c = _mm256_slli_epi16(c, 8);
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + o), a);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + o + 16), c);
            i += kDecodeAsciiBytes;
            o += kDecodeAsciiBytes;
        }
        if (n - i < kDecodeWindowBytes || cap - o < kDecodeStageUnits) break;
        size_t w = i, staged = 0;
        bool handed_over = false;
        while (w - i < kDecodeBlockBytes && n - w >= kDecodeWindowBytes) {
            // Back to the wide ASCII loop as soon as ASCII resumes; the first
            // window of a block always runs, so every round makes progress.
            if (w > i && !_mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + w)))) break;
            size_t units = 0;
            const size_t used = decode_window_avx2(src + w, stage + staged, units, swap);
            if (used == 0) {
                handed_over = true;
                break;
            }
            w += used;
            staged += units;
        }
        if (staged) copy_exact(stage, dst + o, staged * sizeof(Qel16u));
        o += staged;
        i = w;
        if (handed_over && decode_scalar_until(src, n, std::min(n, i + kDecodeWindowBytes), i, dst, cap, o, swap))
            return {i, o};
    }
    decode_scalar_until(src, n, n, i, dst, cap, o, swap);
    return {i, o};
}

UtfProgress utf16_to_utf8_avx2(const Qel16u* src, size_t n, Qel8u* dst, size_t cap, bool swap) {
    size_t i = 0, o = 0;
    alignas(32) Qel8u stage[kEncodeStageBytes + 32];
    const __m128i swap128 = byte_swap_mask128();
    const __m256i swap256 = _mm256_broadcastsi128_si256(swap128);
    for (;;) {
        while (n - i >= kEncodeAsciiUnits && cap - o >= kEncodeAsciiUnits) {
            if (!ascii_units_avx2(src + i, swap)) break;
            __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
            __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 16));
            if (swap) {
                a = _mm256_shuffle_epi8(a, swap256);
                c = _mm256_shuffle_epi8(c, swap256);
            }
            // packus interleaves the halves; the permute restores unit order.
            const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, c), 0xD8);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + o), bytes);
            i += kEncodeAsciiUnits;
            o += kEncodeAsciiUnits;
        }
        if (n - i < kEncodeGroupUnits || cap - o < kEncodeStageBytes) break;
        size_t w = i, staged = 0;
        bool handed_over = false;
        while (w - i < kEncodeBlockUnits && n - w >= kEncodeGroupUnits) {
            __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + w));
            if (swap) u = _mm_shuffle_epi8(u, swap128);
            // A high surrogate may pair with the unit after it: scalar work.
            const __m128i high = _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xFC00))),
                                                 _mm_set1_epi16(static_cast<short>(0xD800)));
            if (!_mm_testz_si128(high, high)) {
                handed_over = true;
                break;
            }
            // ASCII resumes: leave it to the wide loop (after the first group,
            // so that every round makes progress).
            if (w > i && _mm_testz_si128(u, _mm_set1_epi16(static_cast<short>(0xFF80))) && n - w >= kEncodeAsciiUnits &&
                ascii_units_avx2(src + w, swap))
                break;
            staged += _mm_testz_si128(u, _mm_set1_epi16(static_cast<short>(0xF800))) ? encode_group_two_avx2(u, stage + staged)
                                                                                     : encode_group_avx2(u, stage + staged);
            w += kEncodeGroupUnits;
        }
        if (staged) copy_exact(stage, dst + o, staged);
        o += staged;
        i = w;
        if (handed_over && encode_scalar_until(src, n, std::min(n, i + kEncodeGroupUnits), i, dst, cap, o, swap))
            return {i, o};
    }
    encode_scalar_until(src, n, n, i, dst, cap, o, swap);
    return {i, o};
}

UtfProgress utf8_to_utf16(const Qel8u* src, size_t n, Qel16u* dst, size_t cap, bool swap) {
    return utf8_to_utf16_avx2(src, n, dst, cap, swap);
}

UtfProgress utf16_to_utf8(const Qel16u* src, size_t n, Qel8u* dst, size_t cap, bool swap) {
    return utf16_to_utf8_avx2(src, n, dst, cap, swap);
}

}  // namespace qel

namespace {

// Lengths are not refused when negative: a negative count converts nothing.
inline size_t usable(int32_t len) { return len > 0 ? static_cast<size_t>(len) : 0; }

}  // namespace

extern "C" QEL_API QelStatus qelsConvertUTF_8u16u(const Qel8u* src, int32_t* srcLen, Qel16u* dst, int32_t* dstLen,
                                                  int32_t swap) {
    if (qel::any_null(src, srcLen, dst, dstLen)) return qelErrNullPtr;
    const qel::UtfProgress p = qel::utf8_to_utf16(src, usable(*srcLen), dst, usable(*dstLen), swap != 0);
    *srcLen = static_cast<int32_t>(p.read);
    *dstLen = static_cast<int32_t>(p.written);
    return qelOk;
}

extern "C" QEL_API QelStatus qelsConvertUTF_16u8u(const Qel16u* src, int32_t* srcLen, Qel8u* dst, int32_t* dstLen,
                                                  int32_t swap) {
    if (qel::any_null(src, srcLen, dst, dstLen)) return qelErrNullPtr;
    const qel::UtfProgress p = qel::utf16_to_utf8(src, usable(*srcLen), dst, usable(*dstLen), swap != 0);
    *srcLen = static_cast<int32_t>(p.read);
    *dstLen = static_cast<int32_t>(p.written);
    return qelOk;
}
