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

// Byte masks of exactly 32, 16, 8 or 4 loaded bytes equal to the splat.
template <class T>
inline uint32_t mask32(const uint8_t* p, __m256i v) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(eq<T>(load32(p), v)));
}
template <class T>
inline uint32_t mask16(const uint8_t* p, __m256i v) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return static_cast<uint32_t>(_mm_movemask_epi8(eq<T>(x, _mm256_castsi256_si128(v))));
}
template <class T>
inline uint32_t mask8(const uint8_t* p, __m256i v) {
    // The upper eight lanes are zero, not string bytes: they are cut off.
    __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return static_cast<uint32_t>(_mm_movemask_epi8(eq<T>(x, _mm256_castsi256_si128(v)))) & 0xFFu;
}
template <class T>
inline uint32_t mask4(const uint8_t* p, __m256i v) {
    int32_t w;
    std::memcpy(&w, p, 4);
    __m128i x = _mm_cvtsi32_si128(w);
    return static_cast<uint32_t>(_mm_movemask_epi8(eq<T>(x, _mm256_castsi256_si128(v)))) & 0xFu;
}

inline int low_bit(uint32_t m) { return __builtin_ctz(m); }
inline int high_bit(uint32_t m) { return 31 - __builtin_clz(m); }

template <class T>
inline int32_t unit_at(const uint8_t* base, const uint8_t* p, int bit) {
    return static_cast<int32_t>(static_cast<size_t>(p - base + bit) / sizeof(T));
}

// Scalar forms: reference shape, and the whole search below 4 bytes.
template <class T>
int32_t find_unit_scalar(const T* s, size_t n, T c) {
    for (size_t i = 0; i < n; ++i)
        if (load_unit(s + i) == c) return static_cast<int32_t>(i);
    return -1;
}
template <class T>
int32_t rfind_unit_scalar(const T* s, size_t n, T c) {
    for (size_t i = n; i-- > 0;)
        if (load_unit(s + i) == c) return static_cast<int32_t>(i);
    return -1;
}

// Below one vector: the head piece, then the tail piece (which may overlap it).
template <class T, uint32_t (*Mask)(const uint8_t*, __m256i)>
inline int32_t find_pair(const uint8_t* b, size_t nb, size_t piece, __m256i v) {
    if (uint32_t m = Mask(b, v)) return unit_at<T>(b, b, low_bit(m));
    const uint8_t* t = b + nb - piece;
    if (uint32_t m = Mask(t, v)) return unit_at<T>(b, t, low_bit(m));
    return -1;
}
template <class T, uint32_t (*Mask)(const uint8_t*, __m256i)>
inline int32_t rfind_pair(const uint8_t* b, size_t nb, size_t piece, __m256i v) {
    const uint8_t* t = b + nb - piece;
    if (uint32_t m = Mask(t, v)) return unit_at<T>(b, t, high_bit(m));
    if (uint32_t m = Mask(b, v)) return unit_at<T>(b, b, high_bit(m));
    return -1;
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
    if (nb < kVec) {
        if (nb < 4) return find_unit_scalar(s, n, c);
        if (nb < 8) return find_pair<T, mask4<T>>(b, nb, 4, v);
        if (nb < 16) return find_pair<T, mask8<T>>(b, nb, 8, v);
        return find_pair<T, mask16<T>>(b, nb, 16, v);
    }
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
    if (nb < kVec) {
        if (nb < 4) return rfind_unit_scalar(s, n, c);
        if (nb < 8) return rfind_pair<T, mask4<T>>(b, nb, 4, v);
        if (nb < 16) return rfind_pair<T, mask8<T>>(b, nb, 8, v);
        return rfind_pair<T, mask16<T>>(b, nb, 16, v);
    }
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
template <class T, bool Reverse>
[[gnu::always_inline]] inline QelStatus find_unit_checked(const T* src, int32_t len, T c, int32_t* index) {
    if (src == nullptr) [[unlikely]] return qelErrNullPtr;
    if (index == nullptr) [[unlikely]] return qelErrNullPtr;
    const size_t nb = size_t{static_cast<uint32_t>(len)} * sizeof(T);
    if (nb - qel::kVec <= qel::kVec) [[likely]] {
        *index = qel::find_two_vectors<T, Reverse>(reinterpret_cast<const uint8_t*>(src), nb, qel::splat(c));
        return qelOk;
    }
    if (len < 0) [[unlikely]] return qelErrLength;
    const size_t n = static_cast<size_t>(len);
    *index = Reverse ? qel::rfind_unit_avx2(src, n, c) : qel::find_unit_avx2(src, n, c);
    return qelOk;
}

}  // namespace

// The entry points start on a cache line: where the short paths fall
// against line and fetch-window boundaries moves a short call by 10%, and
// without this it changes with every edit elsewhere in the library.
#define QEL_LINE_ALIGNED [[gnu::aligned(64)]]

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
