// The three 32-bit string hashes, on 8- and 16-bit units. Their values are
// fixed by the formulas (callers store them), so every kernel here is an
// exact rearrangement of its plain loop:
//
//   shift-xor   h = (h << 1) ^ c        from h = 0
//   times-33    h = (h * 33) ^ c        from h = 5381, stopping at a zero unit
//   times-31    h = h * 31 + c          from h = 0
//
// Shift-xor: a unit k places before the end ends up shifted left by k, so
// only the last 32 units can reach the result; the kernel reads just those
// and computes the XOR of c[i] << (31 - i) with variable vector shifts.
// Times-31 is a polynomial, so it splits into independent lanes: each of 32
// lanes accumulates every 32nd unit times 31^32, and the lanes are weighted
// by 31^31 ... 31^0 at the end. Times-33-xor mixes XOR with multiplication
// and has no such split; it stays a serial loop.
#include <immintrin.h>

#include <array>
#include <cstring>

#include "frame/frame.h"

namespace qel {
namespace {

constexpr size_t kShiftXorWindow = 32;  // units that can reach a 32-bit shift-xor result
constexpr size_t kPolyLanes = 32;       // units per step of the times-31 kernel: 4 vectors of 8 lanes
constexpr size_t kPolyVectorFrom = 64;  // below, the lane set-up and weighting cost more than they save

inline uint32_t xor_lanes(__m256i v) {
    __m128i x = _mm_xor_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_xor_si128(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
    x = _mm_xor_si128(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(x));
}

inline uint32_t add_lanes(__m256i v) {
    __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(x));
}

// Eight units from p, zero-extended to 32-bit lanes.
inline __m256i widen8(const uint8_t* p) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}
inline __m256i widen8(const uint16_t* p) {
    return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Shift counts s, s-1, ..., s-7 for the eight lanes.
inline __m256i descending_from(int s) { return _mm256_setr_epi32(s, s - 1, s - 2, s - 3, s - 4, s - 5, s - 6, s - 7); }

// XOR of p[i] << (m - 1 - i) over 8*groups units: the shift-xor hash of
// those units from h = 0.
template <class T>
inline uint32_t shift_xor_groups(const T* p, int groups) {
    int m = 8 * groups;
    __m256i acc = _mm256_setzero_si256();
    for (int g = 0; g < groups; ++g)
        acc = _mm256_xor_si256(acc, _mm256_sllv_epi32(widen8(p + 8 * g), descending_from(m - 1 - 8 * g)));
    return xor_lanes(acc);
}

template <class T>
uint32_t shift_xor_scalar(const T* p, size_t n) {
    uint32_t h = 0;
    for (size_t i = 0; i < n; ++i) h = (h << 1) ^ load_unit(p + i);
    return h;
}

uint32_t shift_xor_8u(const uint8_t* p, size_t n) {
    if (n >= kShiftXorWindow) return shift_xor_groups(p + n - kShiftXorWindow, 4);
    // Short strings: pieces of 1, 2, 4, 8 and 16 bytes by the bits of n,
    // each folded in as h = (h << piece length) ^ hash(piece).
    uint32_t h = 0;
    if (n & 1) h = *p++;
    if (n & 2) { h = (h << 2) ^ (uint32_t{load_unit(p)} << 1) ^ load_unit(p + 1); p += 2; }
    if (n & 4) { h = (h << 4) ^ shift_xor_scalar(p, 4); p += 4; }
    if (n & 8) { h = (h << 8) ^ shift_xor_groups(p, 1); p += 8; }
    if (n & 16) h = (h << 16) ^ shift_xor_groups(p, 2);
    return h;
}

uint32_t shift_xor_16u(const uint16_t* p, size_t n) {
    if (n >= kShiftXorWindow) return shift_xor_groups(p + n - kShiftXorWindow, 4);
    return shift_xor_scalar(p, n);
}

template <class T>
uint32_t times33_xor(const T* p, size_t n) {
    uint32_t h = 5381;
    for (size_t i = 0; i < n && load_unit(p + i) != 0; ++i) h = (h * 33) ^ load_unit(p + i);
    return h;
}

constexpr uint32_t pow31(int e) {
    uint32_t r = 1;
    for (int i = 0; i < e; ++i) r *= 31;
    return r;
}

template <class T>
uint32_t times31_add_scalar(const T* p, size_t n, uint32_t h) {
    size_t i = 0;
    for (; i + 2 <= n; i += 2) h = h * (31 * 31) + load_unit(p + i) * 31u + load_unit(p + i + 1);
    if (i < n) h = h * 31 + load_unit(p + i);
    return h;
}

template <class T>
uint32_t times31_add(const T* p, size_t n) {
    if (n < kPolyVectorFrom) return times31_add_scalar(p, n, 0);
    const __m256i step = _mm256_set1_epi32(static_cast<int>(pow31(kPolyLanes)));
    __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    size_t i = 0;
    for (; i + kPolyLanes <= n; i += kPolyLanes)
        for (int k = 0; k < 4; ++k) acc[k] = _mm256_add_epi32(_mm256_mullo_epi32(acc[k], step), widen8(p + i + 8 * k));
    // Lane j of accumulator k holds the units at 8k + j of every step; its
    // weight is 31^(31 - 8k - j).
    __m256i sum = _mm256_setzero_si256();
    for (int k = 0; k < 4; ++k) {
        int e = 31 - 8 * k;
        __m256i w = _mm256_setr_epi32(static_cast<int>(pow31(e)), static_cast<int>(pow31(e - 1)),
                                      static_cast<int>(pow31(e - 2)), static_cast<int>(pow31(e - 3)),
                                      static_cast<int>(pow31(e - 4)), static_cast<int>(pow31(e - 5)),
                                      static_cast<int>(pow31(e - 6)), static_cast<int>(pow31(e - 7)));
        sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(acc[k], w));
    }
    return times31_add_scalar(p + i, n - i, add_lanes(sum));
}

template <class T, uint32_t (*Kernel)(const T*, size_t)>
QelStatus hash(const T* src, int32_t len, Qel32u* out) {
    if (any_null(src, out)) return qelErrNullPtr;
    if (any_negative(len)) return qelErrLength;
    *out = Kernel(src, static_cast<size_t>(len));
    return qelOk;
}

}  // namespace
}  // namespace qel

extern "C" {

QEL_API QelStatus qelsHash_8u32u(const Qel8u* src, int32_t len, Qel32u* hash) {
    return qel::hash<Qel8u, qel::shift_xor_8u>(src, len, hash);
}
QEL_API QelStatus qelsHash_16u32u(const Qel16u* src, int32_t len, Qel32u* hash) {
    return qel::hash<Qel16u, qel::shift_xor_16u>(src, len, hash);
}
QEL_API QelStatus qelsHashMSCS_8u32u(const Qel8u* src, int32_t len, Qel32u* hash) {
    return qel::hash<Qel8u, qel::times33_xor<Qel8u>>(src, len, hash);
}
QEL_API QelStatus qelsHashMSCS_16u32u(const Qel16u* src, int32_t len, Qel32u* hash) {
    return qel::hash<Qel16u, qel::times33_xor<Qel16u>>(src, len, hash);
}
QEL_API QelStatus qelsHashSJ2_8u32u(const Qel8u* src, int32_t len, Qel32u* hash) {
    return qel::hash<Qel8u, qel::times31_add<Qel8u>>(src, len, hash);
}
QEL_API QelStatus qelsHashSJ2_16u32u(const Qel16u* src, int32_t len, Qel32u* hash) {
    return qel::hash<Qel16u, qel::times31_add<Qel16u>>(src, len, hash);
}

}  // extern "C"
