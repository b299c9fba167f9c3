// Search for one code unit, 8 or 16 bits wide, forward and reverse, and the
// zero-terminated forms.
//
// The kernels work on bytes: a 32-byte compare yields one mask bit per byte,
// two per 16-bit unit, and a bit's byte offset divided by the unit size is
// the unit index. Every length class is covered from both ends with one
// test: under 32 bytes two overlapping loads of 16, 8 or 4 bytes, 32 to 64
// bytes two vectors with their masks merged, 65 to 128 bytes the two
// vectors at each end, 129 to 256 bytes the block of four at each end.
// Longer strings take an unaligned first vector, then aligned steps of two
// blocks of four vectors (one test per step), and the last two blocks,
// ending exactly at the string's end, for the under 256 bytes left. Fixed
// loads instead of a loop over single vectors keep the medium lengths to
// one branch per class. A hit in an overlapped part was already ruled out
// by the earlier load, so the lowest (highest) set bit of any load is
// always the answer for that load.
#include <immintrin.h>

#include <cstring>

#include "frame/frame.h"
#include "string/find.h"

namespace qel {
namespace {

constexpr size_t kVec = 32;         // AVX2 vector, bytes
constexpr size_t kBlock = 4 * kVec;  // main-loop step: one branch per four compares


template <class T>
inline __m256i splat(T c) {
    if constexpr (sizeof(T) == 1) return _mm256_set1_epi8(static_cast<char>(c));
    else return _mm256_set1_epi16(static_cast<short>(c));
}

template <class T>
inline __m256i eq(__m256i a, __m256i b) {
    if constexpr (sizeof(T) == 1) return _mm256_cmpeq_epi8(a, b);
    else return _mm256_cmpeq_epi16(a, b);
}

template <class T>
inline __m128i eq(__m128i a, __m128i b) {
    if constexpr (sizeof(T) == 1) return _mm_cmpeq_epi8(a, b);
    else return _mm_cmpeq_epi16(a, b);
}

inline __m256i load32(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Byte mask of the 32 loaded bytes equal to the splat.
template <class T>
inline uint32_t mask32(const uint8_t* p, __m256i v) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(eq<T>(load32(p), v)));
}

inline int low_bit(uint32_t m) { return __builtin_ctz(m); }
inline int high_bit(uint32_t m) { return 31 - __builtin_clz(m); }

template <class T>
inline int32_t unit_at(const uint8_t* base, const uint8_t* p, int bit) {
    return static_cast<int32_t>(static_cast<size_t>(p - base + bit) / sizeof(T));
}

// 32 to 64 bytes: the vectors at 0 and at t = nb - 32, merged into one mask
// (the second shifted up by t, so overlapping bytes share their bits) and
// tested once.
template <class T>
inline uint64_t mask_two_vectors(const uint8_t* b, size_t nb, __m256i v) {
    const size_t t = nb - kVec;
    return mask32<T>(b, v) | uint64_t{mask32<T>(b + t, v)} << t;
}

template <class T, bool Reverse>
inline int32_t find_two_vectors(const uint8_t* b, size_t nb, __m256i v) {
    uint64_t m = mask_two_vectors<T>(b, nb, v);
    if (m == 0) return -1;
    return unit_at<T>(b, b, Reverse ? 63 - __builtin_clzll(m) : __builtin_ctzll(m));
}

// Unit index of a byte mask's lowest (highest) bit, -1 for an empty mask.
template <class T, bool Reverse>
inline int32_t short_index(uint32_t m) {
    int32_t bit;
    if constexpr (Reverse) {
        bit = 31 - static_cast<int32_t>(_lzcnt_u32(m));  // -1 when m == 0
    } else {
        bit = static_cast<int32_t>(_tzcnt_u32(m));  // 32 when m == 0
        bit |= -(bit >> 5);
    }
    return bit >> (sizeof(T) - 1);  // arithmetic: -1 stays -1
}

// Under 4 bytes: 0 to 3 bytes, or 0 or 1 16-bit unit. The first, middle
// and last unit cover up to three.
template <class T, bool Reverse>
inline int32_t find_tiny(const T* s, size_t n, T c) {
    if (n == 0) return -1;
    const size_t mid = n >> 1;
    const uint32_t m = uint32_t{load_unit(s) == c} | uint32_t{load_unit(s + mid) == c} << mid |
                       uint32_t{load_unit(s + n - 1) == c} << (n - 1);
    return short_index<Qel8u, Reverse>(m);  // bits are unit indexes here
}

// Under 32 bytes: the pieces of 16, 8 or 4 bytes at each end (which may
// overlap) are compared and their masks merged as for 32 to 64 bytes, and
// the index comes from a count of zero bits, which gives 32 for an empty
// mask and turns into -1 without a branch: each length class takes one
// branch on the length and none on the result. Testing each piece on its
// own put two more branches on the path, and under 32 bytes were reached
// through five taken branches.
template <class T, bool Reverse>
inline int32_t find_short(const T* s, size_t nb, T c) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(s);
    // 128-bit only, so that the path needs no vzeroupper.
    const __m128i v = sizeof(T) == 1 ? _mm_set1_epi8(static_cast<char>(c)) : _mm_set1_epi16(static_cast<short>(c));
    // Layout: the forward search makes each class a branch target of its
    // own, tested in one chain; the reverse one lets 16 to 31 bytes fall
    // through. The other way round, the forward 1-byte call took 1 ns
    // longer, and the reverse 16-31 byte calls 0.3 ns.
    if (Reverse ? __builtin_expect(nb >= 16, 1) : __builtin_expect_with_probability(nb >= 16, 1, 0.4)) {
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + nb - 16));
        const uint32_t lo = static_cast<uint32_t>(_mm_movemask_epi8(eq<T>(x0, v)));
        const uint32_t hi = static_cast<uint32_t>(_mm_movemask_epi8(eq<T>(x1, v)));
        return short_index<T, Reverse>(lo | hi << (nb - 16));
    }
    if (Reverse ? nb >= 8 : __builtin_expect_with_probability(nb >= 8, 1, 0.4)) {
        const __m128i x = _mm_set_epi64x(static_cast<int64_t>(load_word<uint64_t>(b + nb - 8)),
                                         static_cast<int64_t>(load_word<uint64_t>(b)));
        const uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(eq<T>(x, v)));
        return short_index<T, Reverse>((m & 0xFFu) | (m >> 8) << (nb - 8));
    }
    if (Reverse ? nb >= 4 : __builtin_expect_with_probability(nb >= 4, 1, 0.4)) {
        // The upper eight lanes are zero, not string bytes: they are cut off.
        const uint64_t w = load_word<uint32_t>(b) | uint64_t{load_word<uint32_t>(b + nb - 4)} << 32;
        const __m128i x = _mm_cvtsi64_si128(static_cast<int64_t>(w));
        const uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(eq<T>(x, v)));
        return short_index<T, Reverse>((m & 0xFu) | ((m >> 4) & 0xFu) << (nb - 4));
    }
    return find_tiny<T, Reverse>(s, nb / sizeof(T), c);
}

// Hits in the 128 bytes at p, lowest byte first: a bit per byte.
template <class T>
struct BlockHits {
    __m256i e0, e1, e2, e3;
    BlockHits(const uint8_t* p, __m256i v)
        : e0(eq<T>(load32(p), v)), e1(eq<T>(load32(p + 32), v)), e2(eq<T>(load32(p + 64), v)),
          e3(eq<T>(load32(p + 96), v)) {}
    __m256i all() const { return _mm256_or_si256(_mm256_or_si256(e0, e1), _mm256_or_si256(e2, e3)); }
    bool any() const { return _mm256_movemask_epi8(all()) != 0; }
    uint64_t lo() const {
        return static_cast<uint32_t>(_mm256_movemask_epi8(e0)) |
               uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(e1))} << 32;
    }
    uint64_t hi() const {
        return static_cast<uint32_t>(_mm256_movemask_epi8(e2)) |
               uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(e3))} << 32;
    }
    // Byte offsets of the first and last hit; call only when any().
    int first() const {
        uint64_t l = lo();
        return l ? __builtin_ctzll(l) : 64 + __builtin_ctzll(hi());
    }
    int last() const {
        uint64_t h = hi();
        return h ? 127 - __builtin_clzll(h) : 63 - __builtin_clzll(lo());
    }
};

// Two blocks at q0 and q1 (q0 <= q1 <= q0 + 128) with one test for both:
// the 65 to 256 bytes of a medium string, and the last (first) 256 bytes of
// a long one, where the overlapped bytes hold no hit.
template <class T>
inline int32_t find_in_two_blocks(const uint8_t* b, const uint8_t* q0, const uint8_t* q1, __m256i v) {
    BlockHits<T> h0(q0, v), h1(q1, v);
    if (!_mm256_movemask_epi8(_mm256_or_si256(h0.all(), h1.all()))) return -1;
    if (h0.any()) return unit_at<T>(b, q0, h0.first());
    return unit_at<T>(b, q1, h1.first());
}
template <class T>
inline int32_t rfind_in_two_blocks(const uint8_t* b, const uint8_t* q0, const uint8_t* q1, __m256i v) {
    BlockHits<T> h0(q0, v), h1(q1, v);
    if (!_mm256_movemask_epi8(_mm256_or_si256(h0.all(), h1.all()))) return -1;
    if (h1.any()) return unit_at<T>(b, q1, h1.last());
    return unit_at<T>(b, q0, h0.last());
}

// 65 to 128 bytes: the two vectors at each end, one test.
template <class T>
inline int32_t find_four_vectors(const uint8_t* b, size_t nb, __m256i v, bool reverse) {
    const uint8_t* t = b + nb - 2 * kVec;
    const __m256i e0 = eq<T>(load32(b), v), e1 = eq<T>(load32(b + kVec), v);
    const __m256i e2 = eq<T>(load32(t), v), e3 = eq<T>(load32(t + kVec), v);
    if (!_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(e0, e1), _mm256_or_si256(e2, e3)))) return -1;
    const uint64_t lo = static_cast<uint32_t>(_mm256_movemask_epi8(e0)) |
                        uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(e1))} << 32;
    const uint64_t hi = static_cast<uint32_t>(_mm256_movemask_epi8(e2)) |
                        uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(e3))} << 32;
    if (reverse) return hi ? unit_at<T>(b, t, 63 - __builtin_clzll(hi)) : unit_at<T>(b, b, 63 - __builtin_clzll(lo));
    return lo ? unit_at<T>(b, b, __builtin_ctzll(lo)) : unit_at<T>(b, t, __builtin_ctzll(hi));
}

template <class T>
[[gnu::always_inline]] inline int32_t find_unit_avx2(const T* s, size_t n, T c) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(s);
    const size_t nb = n * sizeof(T);
    const __m256i v = splat(c);
    if (nb - kVec <= kVec) return find_two_vectors<T, false>(b, nb, v);
    if (nb < kVec) return find_short<T, false>(s, nb, c);
    const uint8_t* const end = b + nb;
    if (nb <= kBlock) return find_four_vectors<T>(b, nb, v, false);
    if (nb <= 2 * kBlock) return find_in_two_blocks<T>(b, b, end - kBlock, v);

    if (uint32_t m = mask32<T>(b, v)) return unit_at<T>(b, b, low_bit(m));
    // Continue from the next 32-byte boundary; the bytes skipped were in the
    // first vector. A 16-bit string at an odd address cannot keep its lanes
    // on unit boundaries after aligning, so it steps on unaligned.
    const uint8_t* p = b + kVec;
    if ((reinterpret_cast<uintptr_t>(b) & (sizeof(T) - 1)) == 0)
        p = reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t{kVec - 1});
    // Two blocks per step, one test for both; the bound is fixed before the
    // loop, and the pointer steps on before the blocks are tested so that
    // the loop closes with a single taken branch (with the step after the
    // test, a 4 KB search took 4% longer). Under 256 bytes are left after
    // it: the last two blocks, ending at the end, cover them.
    const uint8_t* const last2 = end - 2 * kBlock;
    while (p <= last2) {
        const uint8_t* const q = p;
        p += 2 * kBlock;
        BlockHits<T> h0(q, v), h1(q + kBlock, v);
        if (_mm256_movemask_epi8(_mm256_or_si256(h0.all(), h1.all()))) {
            if (h0.any()) return unit_at<T>(b, q, h0.first());
            return unit_at<T>(b, q + kBlock, h1.first());
        }
    }
    return find_in_two_blocks<T>(b, last2, end - kBlock, v);
}

template <class T>
[[gnu::always_inline]] inline int32_t rfind_unit_avx2(const T* s, size_t n, T c) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(s);
    const size_t nb = n * sizeof(T);
    const __m256i v = splat(c);
    if (nb - kVec <= kVec) return find_two_vectors<T, true>(b, nb, v);
    if (nb < kVec) return find_short<T, true>(s, nb, c);
    const uint8_t* const end = b + nb;
    if (nb <= kBlock) return find_four_vectors<T>(b, nb, v, true);
    if (nb <= 2 * kBlock) return rfind_in_two_blocks<T>(b, b, end - kBlock, v);

    if (uint32_t m = mask32<T>(end - kVec, v)) return unit_at<T>(b, end - kVec, high_bit(m));
    // Continue down from the 32-byte boundary at or above end - 32.
    const uint8_t* q = end - kVec;
    if ((reinterpret_cast<uintptr_t>(b) & (sizeof(T) - 1)) == 0)
        q = reinterpret_cast<const uint8_t*>((reinterpret_cast<uintptr_t>(q) + kVec - 1) & ~uintptr_t{kVec - 1});
    const uint8_t* const first2 = b + 2 * kBlock;
    while (q >= first2) {
        q -= 2 * kBlock;
        BlockHits<T> h0(q, v), h1(q + kBlock, v);
        if (_mm256_movemask_epi8(_mm256_or_si256(h0.all(), h1.all()))) {
            if (h1.any()) return unit_at<T>(b, q + kBlock, h1.last());
            return unit_at<T>(b, q, h0.last());
        }
    }
    return rfind_in_two_blocks<T>(b, b, b + kBlock, v);
}

// Zero-terminated scans read one unit at a time and stop at the terminator.
// The bound on the length is checked in the loop, which also keeps the
// compiler from turning it into a library strlen that reads ahead.
template <class T>
int64_t measure_z(const T* s, int64_t max_len) {
    for (int64_t i = 0;; ++i) {
        if (load_unit(s + i) == 0) return i;
        if (i == max_len) return kZTooLong;
    }
}

template <class T>
int64_t find_unit_z(const T* s, T c, int64_t max_len) {
    for (int64_t i = 0;; ++i) {
        T u = load_unit(s + i);
        if (u == c) return i;
        if (u == 0) return -1;
        if (i == max_len) return kZTooLong;
    }
}

}  // namespace

int32_t find_byte(const Qel8u* s, int32_t len, Qel8u c) { return find_unit_avx2(s, static_cast<size_t>(len), c); }
int32_t rfind_byte(const Qel8u* s, int32_t len, Qel8u c) { return rfind_unit_avx2(s, static_cast<size_t>(len), c); }
int32_t find_unit16(const Qel16u* s, int32_t len, Qel16u c) { return find_unit_avx2(s, static_cast<size_t>(len), c); }
int32_t rfind_unit16(const Qel16u* s, int32_t len, Qel16u c) { return rfind_unit_avx2(s, static_cast<size_t>(len), c); }

int64_t measure_z8(const Qel8u* s, int64_t max_len) { return measure_z(s, max_len); }
int64_t measure_z16(const Qel16u* s, int64_t max_len) { return measure_z(s, max_len); }
int64_t find_byte_z(const Qel8u* s, Qel8u c, int64_t max_len) { return find_unit_z(s, c, max_len); }
int64_t find_unit16_z(const Qel16u* s, Qel16u c, int64_t max_len) { return find_unit_z(s, c, max_len); }

}  // namespace qel

namespace {

// Exported single-unit searches: the argument checks, then the kernel
// inlined, so that a short call costs one call. Each pointer check has its
// own never-taken branch (a merged test of all three cost five more
// instructions), and strings of 32 to 64 bytes are sorted out before the
// length's sign is tested, since a length in that range is not negative.
// Their path is laid out straight, without a taken branch: a 64-byte call
// took 3.75 ns with one jump to it and takes 3.43 ns without.
// Under 32 bytes, out of line and reached by a tail jump: with the short
// paths inlined, the 4 KB reverse search took 3% longer (the same loop code,
// moved), and the short classes shared one store and return with the 32 to
// 64 byte path, one more jump on each.
template <class T, bool Reverse>
[[gnu::noinline]] QelStatus find_unit_short(const T* src, size_t nb, T c, int32_t* index) {
    *index = qel::find_short<T, Reverse>(src, nb, c);
    return qelOk;
}

template <class T, bool Reverse>
[[gnu::always_inline]] inline QelStatus find_unit_checked(const T* src, int32_t len, T c, int32_t* index) {
    if (src == nullptr) [[unlikely]] return qelErrNullPtr;
    if (index == nullptr) [[unlikely]] return qelErrNullPtr;
    const size_t nb = size_t{static_cast<uint32_t>(len)} * sizeof(T);
    if (nb - qel::kVec <= qel::kVec) [[likely]] {
        *index = qel::find_two_vectors<T, Reverse>(reinterpret_cast<const uint8_t*>(src), nb, qel::splat(c));
        return qelOk;
    }
    // Under 32 bytes next; a negative length makes nb at least 2^31.
    if (nb < qel::kVec) return find_unit_short<T, Reverse>(src, nb, c, index);
    if (len < 0) [[unlikely]] return qelErrLength;
    const size_t n = static_cast<size_t>(len);
    *index = Reverse ? qel::rfind_unit_avx2(src, n, c) : qel::find_unit_avx2(src, n, c);
    return qelOk;
}

}  // namespace

extern "C" {

QEL_LINE_ALIGNED QEL_API QelStatus qelsFindC_8u(const Qel8u* src, int32_t len, Qel8u c, int32_t* index) {
    return find_unit_checked<Qel8u, false>(src, len, c, index);
}
QEL_LINE_ALIGNED QEL_API QelStatus qelsFindC_16u(const Qel16u* src, int32_t len, Qel16u c, int32_t* index) {
    return find_unit_checked<Qel16u, false>(src, len, c, index);
}
QEL_LINE_ALIGNED QEL_API QelStatus qelsFindRevC_8u(const Qel8u* src, int32_t len, Qel8u c, int32_t* index) {
    return find_unit_checked<Qel8u, true>(src, len, c, index);
}
QEL_LINE_ALIGNED QEL_API QelStatus qelsFindRevC_16u(const Qel16u* src, int32_t len, Qel16u c, int32_t* index) {
    return find_unit_checked<Qel16u, true>(src, len, c, index);
}

}  // extern "C"
