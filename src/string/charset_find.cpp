// Character-set search: the first (or last) unit of a string that equals any
// unit of a set.
//
// Variants, all giving the plain rule's result:
//  - SSE4.2 explicit-length string compare (PCMPESTRI / PCMPESTRM) for sets
//    of one to five 16-byte set vectors. Set vectors and string remainders
//    are given to the instruction with their exact lengths, so nothing past
//    the string or the set is loaded.
//  - General kernels: per-unit comparison for short strings, broadcast
//    comparison for sets of up to 9 units, flag tables for larger sets (the
//    64 KiB 16-bit table only on strings long enough to pay for clearing it),
//    prepared broadcast vectors for large sets on shorter 16-bit strings.
//  - With SSE4.2 present, 16-bit sets of up to 9 units and sets past the
//    64 KiB table's threshold still take the general kernel: on an AVX2
//    machine its 16-unit steps are faster than the 8-unit string compare.
//  - AVX2 nibble bitmap for long 8-bit strings: exact membership for any set
//    at 32 bytes per step. It takes over the long-string work of the SSE4.2
//    kernels and of the 256-byte table once the dispatch has made its choice
//    and asked its question, so neither depends on it.
//
// Dispatch: the core library is asked for SSE4.2 on every call whose set
// fits the string-compare kernels, and only then.
#include <algorithm>

#include "frame/frame.h"
#include "string/charset.h"

namespace qel::charset {
namespace {

constexpr int32_t kUnitScanBelow8 = 16;  // shorter 8-bit strings: per-unit loop beats any set-up
constexpr int32_t kUnitScanBelow16 = 8;  // same for 16-bit strings (one block)
constexpr int32_t kBroadcastMaxSet = 9;  // up to here one compare per set unit beats a table
constexpr int32_t kTableFrom8 = 10;      // the 256-byte table is cheap: from 10 set units on
constexpr int32_t kPreparedMaxSet16 = 4096;  // the 64 KiB area holds 4096 prepared vectors
// Where the bitmap's set-up (a few ns) is repaid by its 32-byte steps: the
// one-vector string compare is cheap per block, three to five vectors are not.
constexpr int32_t kBitmapFromOneVectorSet = 256;
constexpr int32_t kBitmapFromLargerSet = 96;
constexpr int32_t kBitmapFromTableSet = 64;  // versus the 256-byte table, two units per step
constexpr int32_t kRegisterBuildMax = 16;  // bitmap set-up: per-unit register spreading up to here  // 8-bit strings from here: the bitmap set-up pays off

// Smallest set that makes the 64 KiB 16-bit flag table pay for its clearing,
// by string length; below 4096 units it never does.
inline int32_t table_min_set16(int32_t len) {
    if (len >= 32768) return 10;
    if (len >= 16384) return 18;
    if (len >= 8192) return 24;
    if (len >= 4096) return 58;
    return INT32_MAX;
}

inline uint32_t lowest(uint32_t m) { return static_cast<uint32_t>(__builtin_ctz(m)); }
inline uint32_t highest(uint32_t m) { return 31u - static_cast<uint32_t>(__builtin_clz(m)); }

inline __m256i load32(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
inline __m128i load16(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

// ---- Per-unit reference shape: each unit against the set, in pairs. ----

template <class T>
inline bool in_set_pairs(T u, const T* set, int32_t n) {
    int32_t j = 0;
    for (; j + 2 <= n; j += 2)
        if (load_unit(set + j) == u || load_unit(set + j + 1) == u) return true;
    return j < n && load_unit(set + j) == u;
}

// Searches [from, to) in the direction of the search.
template <class T, bool Rev>
inline int32_t scan_units(const T* s, int32_t from, int32_t to, const T* set, int32_t n) {
    if constexpr (!Rev) {
        for (int32_t i = from; i < to; ++i)
            if (in_set_pairs(load_unit(s + i), set, n)) return i;
    } else {
        for (int32_t i = to; i > from;)
            if (in_set_pairs(load_unit(s + --i), set, n)) return i;
    }
    return -1;
}

// ---- Whole vector blocks, then the leftover units one by one. f32/f16
// give the byte mask of hits in a 32- / 16-byte block. ----

template <class T, bool Rev, class F32, class F16>
inline int32_t scan_blocks(const T* s, int32_t len, const T* set, int32_t n, F32 f32, F16 f16) {
    constexpr int32_t kW32 = 32 / sizeof(T);
    constexpr int32_t kW16 = 16 / sizeof(T);
    constexpr int kUnitShift = sizeof(T) - 1;  // byte mask bit -> unit index
    if constexpr (!Rev) {
        int32_t i = 0;
        for (; i + kW32 <= len; i += kW32)
            if (uint32_t m = f32(load32(s + i))) return i + static_cast<int32_t>(lowest(m) >> kUnitShift);
        if (i + kW16 <= len) {
            if (uint32_t m = f16(load16(s + i))) return i + static_cast<int32_t>(lowest(m) >> kUnitShift);
            i += kW16;
        }
        return scan_units<T, false>(s, i, len, set, n);
    } else {
        int32_t i = len;
        for (; i >= kW32; i -= kW32)
            if (uint32_t m = f32(load32(s + i - kW32)))
                return i - kW32 + static_cast<int32_t>(highest(m) >> kUnitShift);
        if (i >= kW16) {
            if (uint32_t m = f16(load16(s + i - kW16)))
                return i - kW16 + static_cast<int32_t>(highest(m) >> kUnitShift);
            i -= kW16;
        }
        return scan_units<T, true>(s, 0, i, set, n);
    }
}

// ---- Flag table, two units per step. ----

template <class T, bool Rev>
inline int32_t scan_flags(const T* s, int32_t len, const uint8_t* flag) {
    if constexpr (!Rev) {
        int32_t i = 0;
        for (; i + 2 <= len; i += 2) {
            if (flag[load_unit(s + i)]) return i;
            if (flag[load_unit(s + i + 1)]) return i + 1;
        }
        return (i < len && flag[load_unit(s + i)]) ? i : -1;
    } else {
        int32_t i = len;
        for (; i >= 2; i -= 2) {
            if (flag[load_unit(s + i - 1)]) return i - 1;
            if (flag[load_unit(s + i - 2)]) return i - 2;
        }
        return (i == 1 && flag[load_unit(s)]) ? 0 : -1;
    }
}

// ---- SSE4.2 kernels ----

template <class T, int NV, bool Rev>
int32_t find_sse42(const T* s, int32_t len, const T* set, int32_t n) {
    constexpr int kW = 16 / sizeof(T);
    constexpr int kOps = sizeof(T) == 1 ? _SIDD_UBYTE_OPS : _SIDD_UWORD_OPS;
    [[maybe_unused]] constexpr int kIndexMode =
        kOps | _SIDD_CMP_EQUAL_ANY | (Rev ? _SIDD_MOST_SIGNIFICANT : _SIDD_LEAST_SIGNIFICANT);
    [[maybe_unused]] constexpr int kMaskMode = kOps | _SIDD_CMP_EQUAL_ANY | _SIDD_BIT_MASK;

    __m128i sv[NV];
    int sl[NV];
    for (int k = 0; k < NV; ++k) {
        sl[k] = std::min<int32_t>(kW, n - k * kW);
        sv[k] = load_exact(set + k * kW, static_cast<size_t>(sl[k]) * sizeof(T));
    }
    // Best hit of one block of `bl` valid units, or -1.
    auto hit = [&](__m128i blk, int bl) -> int {
        if constexpr (NV == 1) {
            int i = _mm_cmpestri(sv[0], sl[0], blk, bl, kIndexMode);
            return i < kW ? i : -1;
        } else {
            uint32_t m = 0;
            for (int k = 0; k < NV; ++k)
                m |= static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_cmpestrm(sv[k], sl[k], blk, bl, kMaskMode)));
            if (!m) return -1;
            return static_cast<int>(Rev ? highest(m) : lowest(m));
        }
    };

    if constexpr (!Rev) {
        int32_t i = 0;
        for (; i + kW <= len; i += kW)
            if (int h = hit(load16(s + i), kW); h >= 0) return i + h;
        int32_t rem = len - i;
        if (rem == 0) return -1;
        // The block that ends at the string's end, moved down so its not yet
        // examined units come first; a string shorter than a block is gathered.
        __m128i blk = len < kW ? load_exact(s, static_cast<size_t>(len) * sizeof(T))
                               : shift_lanes_down(load16(s + len - kW), static_cast<size_t>(kW - rem) * sizeof(T));
        int h = hit(blk, rem);
        return h >= 0 ? i + h : -1;
    } else {
        int32_t i = len;
        for (; i >= kW; i -= kW)
            if (int h = hit(load16(s + i - kW), kW); h >= 0) return i - kW + h;
        if (i == 0) return -1;
        // Units [0, i) remain: the block at the string's start, cut by length.
        __m128i blk = len < kW ? load_exact(s, static_cast<size_t>(len) * sizeof(T)) : load16(s);
        return hit(blk, i);
    }
}

template <class T, bool Rev>
int32_t find_sse42_by_size(const T* s, int32_t len, const T* set, int32_t n) {
    if (len == 0 || n == 0) return -1;
    constexpr int32_t kW = 16 / sizeof(T);
    switch ((n + kW - 1) / kW) {
        case 1: return find_sse42<T, 1, Rev>(s, len, set, n);
        case 2: return find_sse42<T, 2, Rev>(s, len, set, n);
        case 3: return find_sse42<T, 3, Rev>(s, len, set, n);
        case 4: return find_sse42<T, 4, Rev>(s, len, set, n);
        default: return find_sse42<T, 5, Rev>(s, len, set, n);
    }
}

// ---- General 8-bit kernel ----

template <bool Rev>
int32_t find8_general(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n) {
    if (len == 0 || n == 0) return -1;
    if (len < kUnitScanBelow8) return scan_units<Qel8u, Rev>(s, 0, len, set, n);
    if (n >= kTableFrom8) {
        uint8_t flag[256] = {};
        for (int32_t j = 0; j < n; ++j) flag[load_unit(set + j)] = 1;
        return scan_flags<Qel8u, Rev>(s, len, flag);
    }
    __m256i b[kBroadcastMaxSet];
    for (int32_t j = 0; j < kBroadcastMaxSet; ++j) b[j] = _mm256_set1_epi8(static_cast<char>(set[j < n ? j : 0]));
    auto f32 = [&](__m256i v) {
        __m256i acc = _mm256_cmpeq_epi8(v, b[0]);
        for (int32_t j = 1; j < n; ++j) acc = _mm256_or_si256(acc, _mm256_cmpeq_epi8(v, b[j]));
        return static_cast<uint32_t>(_mm256_movemask_epi8(acc));
    };
    auto f16 = [&](__m128i v) {
        __m128i acc = _mm_cmpeq_epi8(v, _mm256_castsi256_si128(b[0]));
        for (int32_t j = 1; j < n; ++j) acc = _mm_or_si128(acc, _mm_cmpeq_epi8(v, _mm256_castsi256_si128(b[j])));
        return static_cast<uint32_t>(_mm_movemask_epi8(acc));
    };
    return scan_blocks<Qel8u, Rev>(s, len, set, n, f32, f16);
}

// ---- General 16-bit kernel ----
//
// The large-set paths share one 64 KiB work area on the stack, either as the
// flag table or as prepared broadcast vectors; they sit in functions of their
// own so that calls taking the other paths do not carry the area's frame.

constexpr size_t kArea16Bytes = 65536;

template <bool Rev>
__attribute__((noinline)) int32_t find16_table(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n) {
    alignas(64) uint8_t area[kArea16Bytes];
    std::memset(area, 0, sizeof area);
    for (int32_t j = 0; j < n; ++j) area[load_unit(set + j)] = 1;
    return scan_flags<Qel16u, Rev>(s, len, area);
}

template <bool Rev>
__attribute__((noinline)) int32_t find16_prepared(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n) {
    alignas(64) uint8_t area[kArea16Bytes];
    static_assert(kArea16Bytes / sizeof(__m128i) == kPreparedMaxSet16);
    __m128i* prepared = reinterpret_cast<__m128i*>(area);
    for (int32_t j = 0; j < n; ++j) _mm_store_si128(prepared + j, _mm_set1_epi16(static_cast<short>(load_unit(set + j))));
    auto f32 = [&](__m256i v) {
        __m256i acc = _mm256_setzero_si256();
        for (int32_t j = 0; j < n; ++j)
            acc = _mm256_or_si256(acc, _mm256_cmpeq_epi16(v, _mm256_broadcastsi128_si256(_mm_load_si128(prepared + j))));
        return static_cast<uint32_t>(_mm256_movemask_epi8(acc));
    };
    auto f16 = [&](__m128i v) {
        __m128i acc = _mm_setzero_si128();
        for (int32_t j = 0; j < n; ++j) acc = _mm_or_si128(acc, _mm_cmpeq_epi16(v, _mm_load_si128(prepared + j)));
        return static_cast<uint32_t>(_mm_movemask_epi8(acc));
    };
    return scan_blocks<Qel16u, Rev>(s, len, set, n, f32, f16);
}

template <bool Rev>
int32_t find16_general(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n) {
    if (len == 0 || n == 0) return -1;
    if (len < kUnitScanBelow16) return scan_units<Qel16u, Rev>(s, 0, len, set, n);
    if (n >= table_min_set16(len)) return find16_table<Rev>(s, len, set, n);
    if (n <= kBroadcastMaxSet) {
        __m256i b[kBroadcastMaxSet];
        for (int32_t j = 0; j < kBroadcastMaxSet; ++j) b[j] = _mm256_set1_epi16(static_cast<short>(load_unit(set + (j < n ? j : 0))));
        auto f32 = [&](__m256i v) {
            __m256i acc = _mm256_cmpeq_epi16(v, b[0]);
            for (int32_t j = 1; j < n; ++j) acc = _mm256_or_si256(acc, _mm256_cmpeq_epi16(v, b[j]));
            return static_cast<uint32_t>(_mm256_movemask_epi8(acc));
        };
        auto f16 = [&](__m128i v) {
            __m128i acc = _mm_cmpeq_epi16(v, _mm256_castsi256_si128(b[0]));
            for (int32_t j = 1; j < n; ++j)
                acc = _mm_or_si128(acc, _mm_cmpeq_epi16(v, _mm256_castsi256_si128(b[j])));
            return static_cast<uint32_t>(_mm_movemask_epi8(acc));
        };
        return scan_blocks<Qel16u, Rev>(s, len, set, n, f32, f16);
    }
    if (n <= kPreparedMaxSet16) return find16_prepared<Rev>(s, len, set, n);
    // More set units than the area holds: broadcast each one afresh per block.
    auto f32 = [&](__m256i v) {
        __m256i acc = _mm256_setzero_si256();
        for (int32_t j = 0; j < n; ++j)
            acc = _mm256_or_si256(acc, _mm256_cmpeq_epi16(v, _mm256_set1_epi16(static_cast<short>(load_unit(set + j)))));
        return static_cast<uint32_t>(_mm256_movemask_epi8(acc));
    };
    auto f16 = [&](__m128i v) {
        __m128i acc = _mm_setzero_si128();
        for (int32_t j = 0; j < n; ++j)
            acc = _mm_or_si128(acc, _mm_cmpeq_epi16(v, _mm_set1_epi16(static_cast<short>(load_unit(set + j)))));
        return static_cast<uint32_t>(_mm_movemask_epi8(acc));
    };
    return scan_blocks<Qel16u, Rev>(s, len, set, n, f32, f16);
}

// ---- AVX2 nibble bitmap (8-bit) ----
//
// The 256-bit membership bitmap is kept as two 16-byte row tables indexed by
// the low nibble, one for units below 0x80 and one for the rest; bit (u >> 4)
// & 7 of the row says whether u is in the set. PSHUFB yields zero for index
// bytes with the top bit set, which selects the right table for free.
struct NibbleBitmap {
    __m256i low_half;   // rows for units 0x00..0x7F
    __m256i high_half;  // rows for units 0x80..0xFF

    // Small sets are spread into the tables in registers, one unit at a
    // time; larger ones go through a 256-byte flag table (one plain store per
    // unit, no read-modify-write chain through memory), whose row h (units
    // h*16 .. h*16+15) shifted left by h and ORed gives the table.
    NibbleBitmap(const Qel8u* set, int32_t n) {
        __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
        if (n <= kRegisterBuildMax) {
            const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
            for (int32_t j = 0; j < n; ++j) {
                const uint32_t u = load_unit(set + j);
                const __m128i row = _mm_and_si128(_mm_cmpeq_epi8(lanes, _mm_set1_epi8(static_cast<char>(u & 15))),
                                                  _mm_set1_epi8(static_cast<char>(1u << ((u >> 4) & 7))));
                const __m128i upper = _mm_set1_epi8(static_cast<char>(u & 0x80 ? 0xFF : 0));  // no branch to mispredict
                hi = _mm_or_si128(hi, _mm_and_si128(row, upper));
                lo = _mm_or_si128(lo, _mm_andnot_si128(upper, row));
            }
        } else {
            alignas(32) uint8_t flag[256];
            std::memset(flag, 0, sizeof flag);
            for (int32_t j = 0; j < n; ++j) flag[load_unit(set + j)] = 1;
            for (int h = 0; h < 8; ++h) {
                const __m128i count = _mm_cvtsi32_si128(h);  // bytes are 0/1: the shift stays in its byte
                lo = _mm_or_si128(lo, _mm_sll_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(flag + 16 * h)), count));
                hi = _mm_or_si128(hi, _mm_sll_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(flag + 128 + 16 * h)), count));
            }
        }
        low_half = _mm256_broadcastsi128_si256(lo);
        high_half = _mm256_broadcastsi128_si256(hi);
    }

    uint32_t mask(__m256i v) const {
        const __m256i bit_of_high_nibble =
            _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64,
                             -128, 1, 2, 4, 8, 16, 32, 64, -128);
        __m256i row = _mm256_or_si256(_mm256_shuffle_epi8(low_half, v),
                                      _mm256_shuffle_epi8(high_half, _mm256_xor_si256(v, _mm256_set1_epi8(-128))));
        __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
        __m256i bit = _mm256_shuffle_epi8(bit_of_high_nibble, hi);
        return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(row, bit), bit)));
    }
};

template <bool Rev>
int32_t find8_bitmap(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n) {
    if (len < 32 || n == 0) return find8_general<Rev>(s, len, set, n);
    const NibbleBitmap bm(set, n);
    // Two blocks per step; the last partial step takes the 32-byte block
    // flush with the string's edge, whose already examined units hold no hit.
    if constexpr (!Rev) {
        int32_t i = 0;
        for (; i + 64 <= len; i += 64) {
            uint32_t m0 = bm.mask(load32(s + i));
            uint32_t m1 = bm.mask(load32(s + i + 32));
            if (m0 | m1) return m0 ? i + static_cast<int32_t>(lowest(m0)) : i + 32 + static_cast<int32_t>(lowest(m1));
        }
        if (i + 32 <= len) {
            if (uint32_t m = bm.mask(load32(s + i))) return i + static_cast<int32_t>(lowest(m));
            i += 32;
        }
        if (i == len) return -1;
        uint32_t m = bm.mask(load32(s + len - 32));
        return m ? len - 32 + static_cast<int32_t>(lowest(m)) : -1;
    } else {
        int32_t i = len;
        for (; i >= 64; i -= 64) {
            uint32_t m1 = bm.mask(load32(s + i - 32));
            uint32_t m0 = bm.mask(load32(s + i - 64));
            if (m0 | m1)
                return m1 ? i - 32 + static_cast<int32_t>(highest(m1)) : i - 64 + static_cast<int32_t>(highest(m0));
        }
        if (i >= 32) {
            if (uint32_t m = bm.mask(load32(s + i - 32))) return i - 32 + static_cast<int32_t>(highest(m));
            i -= 32;
        }
        if (i == 0) return -1;
        uint32_t m = bm.mask(load32(s));
        return m ? static_cast<int32_t>(highest(m)) : -1;
    }
}

}  // namespace

// ---- Kernel entry points ----

int32_t find_any_8u_sse42(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, bool rev) {
    if (n > kSse42MaxSet8) return find_any_8u_general(s, len, set, n, rev);  // more than five set vectors
    return rev ? find_sse42_by_size<Qel8u, true>(s, len, set, n) : find_sse42_by_size<Qel8u, false>(s, len, set, n);
}

int32_t find_any_16u_sse42(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, bool rev) {
    if (n > kSse42MaxSet16) return find_any_16u_general(s, len, set, n, rev);  // more than five set vectors
    return rev ? find_sse42_by_size<Qel16u, true>(s, len, set, n)
               : find_sse42_by_size<Qel16u, false>(s, len, set, n);
}

int32_t find_any_8u_general(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, bool rev) {
    return rev ? find8_general<true>(s, len, set, n) : find8_general<false>(s, len, set, n);
}

int32_t find_any_16u_general(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, bool rev) {
    return rev ? find16_general<true>(s, len, set, n) : find16_general<false>(s, len, set, n);
}

int32_t find_any_8u_bitmap(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, bool rev) {
    return rev ? find8_bitmap<true>(s, len, set, n) : find8_bitmap<false>(s, len, set, n);
}

int32_t find_any_8u(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, bool rev) {
    if (n <= kSse42MaxSet8 && own_has_sse42()) {
        if (len >= (n <= 16 ? kBitmapFromOneVectorSet : kBitmapFromLargerSet))
            return find_any_8u_bitmap(s, len, set, n, rev);
        return find_any_8u_sse42(s, len, set, n, rev);
    }
    if (len >= kBitmapFromTableSet && n >= kTableFrom8) return find_any_8u_bitmap(s, len, set, n, rev);
    return find_any_8u_general(s, len, set, n, rev);
}

int32_t find_any_16u(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, bool rev) {
    if (n <= kSse42MaxSet16 && own_has_sse42()) {
        // Broadcast compares of 16 units per step beat the 8-unit string
        // compare for sets of up to 9 units, and the flag table beats several
        // set vectors where the general kernel would pick it anyway.
        if (len >= kUnitScanBelow16 && (n <= kBroadcastMaxSet || n >= table_min_set16(len)))
            return find_any_16u_general(s, len, set, n, rev);
        return find_any_16u_sse42(s, len, set, n, rev);
    }
    return find_any_16u_general(s, len, set, n, rev);
}

}  // namespace qel::charset

// ---- Exports ----

extern "C" {

QEL_API QelStatus qelsFindCAny_8u(const Qel8u* src, int32_t len, const Qel8u* set, int32_t setLen, int32_t* index) {
    if (qel::any_null(src, set, index)) return qelErrNullPtr;
    if (qel::any_negative(len, setLen)) return qelErrLength;
    *index = qel::charset::find_any_8u(src, len, set, setLen, false);
    return qelOk;
}

QEL_API QelStatus qelsFindCAny_16u(const Qel16u* src, int32_t len, const Qel16u* set, int32_t setLen,
                                   int32_t* index) {
    if (qel::any_null(src, set, index)) return qelErrNullPtr;
    if (qel::any_negative(len, setLen)) return qelErrLength;
    *index = qel::charset::find_any_16u(src, len, set, setLen, false);
    return qelOk;
}

QEL_API QelStatus qelsFindRevCAny_8u(const Qel8u* src, int32_t len, const Qel8u* set, int32_t setLen,
                                     int32_t* index) {
    if (qel::any_null(src, set, index)) return qelErrNullPtr;
    if (qel::any_negative(len, setLen)) return qelErrLength;
    *index = qel::charset::find_any_8u(src, len, set, setLen, true);
    return qelOk;
}

QEL_API QelStatus qelsFindRevCAny_16u(const Qel16u* src, int32_t len, const Qel16u* set, int32_t setLen,
                                      int32_t* index) {
    if (qel::any_null(src, set, index)) return qelErrNullPtr;
    if (qel::any_negative(len, setLen)) return qelErrLength;
    *index = qel::charset::find_any_16u(src, len, set, setLen, true);
    return qelOk;
}

}  // extern "C"
