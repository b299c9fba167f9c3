// Search for one code unit, 8 or 16 bits wide, forward and reverse, and the
// zero-terminated forms.
//
// The kernels work on bytes: a 32-byte compare yields one mask bit per byte,
// two per 16-bit unit, and a bit's byte offset divided by the unit size is
// the unit index. Strings shorter than one vector are covered by two
// overlapping loads of 16, 8 or 4 bytes (one from each end); longer ones by
// an unaligned first vector, aligned blocks of four vectors, single vectors,
// and one last vector ending exactly at the string's end. A hit in an
// overlapped part was already ruled out by the earlier load, so the lowest
// (highest) set bit of any load is always the answer for that load.
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

template <class T>
[[gnu::always_inline]] inline int32_t find_unit_avx2(const T* s, size_t n, T c) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(s);
    const size_t nb = n * sizeof(T);
    const __m256i v = splat(c);
    if (nb < 4) return find_unit_scalar(s, n, c);
    if (nb < 8) return find_pair<T, mask4<T>>(b, nb, 4, v);
    if (nb < 16) return find_pair<T, mask8<T>>(b, nb, 8, v);
    if (nb < kVec) return find_pair<T, mask16<T>>(b, nb, 16, v);
    if (nb <= 2 * kVec) return find_pair<T, mask32<T>>(b, nb, kVec, v);

    if (uint32_t m = mask32<T>(b, v)) return unit_at<T>(b, b, low_bit(m));
    // Continue from the next 32-byte boundary; the bytes skipped were in the
    // first vector. A 16-bit string at an odd address cannot keep its lanes
    // on unit boundaries after aligning, so it steps on unaligned.
    const uint8_t* p = b + kVec;
    if ((reinterpret_cast<uintptr_t>(b) & (sizeof(T) - 1)) == 0)
        p = reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t{kVec - 1});
    const uint8_t* end = b + nb;
    while (static_cast<size_t>(end - p) >= kBlock) {
        __m256i e0 = eq<T>(load32(p), v);
        __m256i e1 = eq<T>(load32(p + 32), v);
        __m256i e2 = eq<T>(load32(p + 64), v);
        __m256i e3 = eq<T>(load32(p + 96), v);
        __m256i any = _mm256_or_si256(_mm256_or_si256(e0, e1), _mm256_or_si256(e2, e3));
        if (_mm256_movemask_epi8(any)) {
            uint32_t m0 = static_cast<uint32_t>(_mm256_movemask_epi8(e0));
            if (m0) return unit_at<T>(b, p, low_bit(m0));
            uint32_t m1 = static_cast<uint32_t>(_mm256_movemask_epi8(e1));
            if (m1) return unit_at<T>(b, p + 32, low_bit(m1));
            uint32_t m2 = static_cast<uint32_t>(_mm256_movemask_epi8(e2));
            if (m2) return unit_at<T>(b, p + 64, low_bit(m2));
            return unit_at<T>(b, p + 96, low_bit(static_cast<uint32_t>(_mm256_movemask_epi8(e3))));
        }
        p += kBlock;
    }
    while (static_cast<size_t>(end - p) >= kVec) {
        if (uint32_t m = mask32<T>(p, v)) return unit_at<T>(b, p, low_bit(m));
        p += kVec;
    }
    if (p < end) {
        const uint8_t* t = end - kVec;
        if (uint32_t m = mask32<T>(t, v)) return unit_at<T>(b, t, low_bit(m));
    }
    return -1;
}

template <class T>
[[gnu::always_inline]] inline int32_t rfind_unit_avx2(const T* s, size_t n, T c) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(s);
    const size_t nb = n * sizeof(T);
    const __m256i v = splat(c);
    if (nb < 4) return rfind_unit_scalar(s, n, c);
    if (nb < 8) return rfind_pair<T, mask4<T>>(b, nb, 4, v);
    if (nb < 16) return rfind_pair<T, mask8<T>>(b, nb, 8, v);
    if (nb < kVec) return rfind_pair<T, mask16<T>>(b, nb, 16, v);
    if (nb <= 2 * kVec) return rfind_pair<T, mask32<T>>(b, nb, kVec, v);

    const uint8_t* end = b + nb;
    if (uint32_t m = mask32<T>(end - kVec, v)) return unit_at<T>(b, end - kVec, high_bit(m));
    // Continue down from the 32-byte boundary at or above end - 32.
    const uint8_t* q = end - kVec;
    if ((reinterpret_cast<uintptr_t>(b) & (sizeof(T) - 1)) == 0)
        q = reinterpret_cast<const uint8_t*>((reinterpret_cast<uintptr_t>(q) + kVec - 1) & ~uintptr_t{kVec - 1});
    while (static_cast<size_t>(q - b) >= kBlock) {
        q -= kBlock;
        __m256i e0 = eq<T>(load32(q), v);
        __m256i e1 = eq<T>(load32(q + 32), v);
        __m256i e2 = eq<T>(load32(q + 64), v);
        __m256i e3 = eq<T>(load32(q + 96), v);
        __m256i any = _mm256_or_si256(_mm256_or_si256(e0, e1), _mm256_or_si256(e2, e3));
        if (_mm256_movemask_epi8(any)) {
            uint32_t m3 = static_cast<uint32_t>(_mm256_movemask_epi8(e3));
            if (m3) return unit_at<T>(b, q + 96, high_bit(m3));
            uint32_t m2 = static_cast<uint32_t>(_mm256_movemask_epi8(e2));
            if (m2) return unit_at<T>(b, q + 64, high_bit(m2));
            uint32_t m1 = static_cast<uint32_t>(_mm256_movemask_epi8(e1));
            if (m1) return unit_at<T>(b, q + 32, high_bit(m1));
            return unit_at<T>(b, q, high_bit(static_cast<uint32_t>(_mm256_movemask_epi8(e0))));
        }
    }
    while (static_cast<size_t>(q - b) >= kVec) {
        q -= kVec;
        if (uint32_t m = mask32<T>(q, v)) return unit_at<T>(b, q, high_bit(m));
    }
    if (q > b) {
        if (uint32_t m = mask32<T>(b, v)) return unit_at<T>(b, b, high_bit(m));
    }
    return -1;
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
// inlined, so that a short call costs one call.
template <class T, bool Reverse>
inline QelStatus find_unit_checked(const T* src, int32_t len, T c, int32_t* index) {
    if (qel::any_null(src, index)) return qelErrNullPtr;
    if (qel::any_negative(len)) return qelErrLength;
    const size_t n = static_cast<size_t>(len);
    *index = Reverse ? qel::rfind_unit_avx2(src, n, c) : qel::find_unit_avx2(src, n, c);
    return qelOk;
}

}  // namespace

extern "C" {

QEL_API QelStatus qelsFindC_8u(const Qel8u* src, int32_t len, Qel8u c, int32_t* index) {
    return find_unit_checked<Qel8u, false>(src, len, c, index);
}
QEL_API QelStatus qelsFindC_16u(const Qel16u* src, int32_t len, Qel16u c, int32_t* index) {
    return find_unit_checked<Qel16u, false>(src, len, c, index);
}
QEL_API QelStatus qelsFindRevC_8u(const Qel8u* src, int32_t len, Qel8u c, int32_t* index) {
    return find_unit_checked<Qel8u, true>(src, len, c, index);
}
QEL_API QelStatus qelsFindRevC_16u(const Qel16u* src, int32_t len, Qel16u c, int32_t* index) {
    return find_unit_checked<Qel16u, true>(src, len, c, index);
}

}  // extern "C"
