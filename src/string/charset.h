// Character-set search and trimming: the kernels behind qelsFind[Rev]CAny_*
// and qelsTrim*, reachable here so tests can drive each variant directly.
//
// Every kernel returns exactly what the plain rule gives (first / last unit
// of the string that is in the set; the stretch between the first and the
// last kept unit) and reads nothing outside the string or the set.
#ifndef QELCH_STRING_CHARSET_H
#define QELCH_STRING_CHARSET_H

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "frame/frame.h"
#include "qelch.h"

namespace qel::charset {

// ---- Set search. Each returns the index, or -1. ----

// The sets the SSE4.2 kernels take: up to five set vectors.
constexpr int32_t kSse42MaxSet8 = 80;   // 5 vectors of 16 bytes
constexpr int32_t kSse42MaxSet16 = 40;  // 5 vectors of 8 units

// Full dispatch, as the exports run it: asks the core library for SSE4.2
// only when the set fits the string-compare kernels.
int32_t find_any_8u(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, bool rev);
int32_t find_any_16u(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, bool rev);

// SSE4.2 explicit-length string-compare kernels, one to five set vectors
// chosen by n (a larger set is handed to the general kernel).
int32_t find_any_8u_sse42(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, bool rev);
int32_t find_any_16u_sse42(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, bool rev);

// General kernels (any set size): broadcast comparison, flag tables.
int32_t find_any_8u_general(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, bool rev);
int32_t find_any_16u_general(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, bool rev);

// AVX2 nibble-bitmap scan for 8-bit sets of any size (strings shorter than
// one 32-byte block go to the general kernel).
int32_t find_any_8u_bitmap(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, bool rev);

// ---- Trimming ----

enum TrimSide : int { kTrimStart = 1, kTrimEnd = 2, kTrimBoth = 3 };

// The kept stretch [start, start + count); count 0 when everything goes.
struct Stretch {
    int32_t start;
    int32_t count;
};

// One unit, word at a time.
Stretch trim_unit_8u(const Qel8u* s, int32_t len, Qel8u c);
Stretch trim_unit_16u(const Qel16u* s, int32_t len, Qel16u c);

// Set trims; the dispatching form asks the core library on every call.
Stretch trim_set_8u(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, int side);
Stretch trim_set_16u(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, int side);
Stretch trim_set_8u_sse42(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, int side);
Stretch trim_set_16u_sse42(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, int side);
Stretch trim_set_8u_general(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, int side);
Stretch trim_set_16u_general(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, int side);

// ---- Shared vector helpers ----

// Loads `bytes` (0..16) bytes into the low lanes, zeros above, reading only
// [p, p + bytes): pieces of 8, 4, 2 and 1 bytes by the bits of the count.
inline __m128i load_exact(const void* p, size_t bytes) {
    const uint8_t* s = static_cast<const uint8_t*>(p);
    if (bytes >= 16) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    uint64_t lo = 0, hi = 0;
    size_t off = 0;
    if (bytes & 8) {
        std::memcpy(&lo, s, 8);
        off = 8;
    }
    uint64_t rest = 0;
    size_t shift = 0;
    if (bytes & 4) {
        uint32_t t;
        std::memcpy(&t, s + off, 4);
        rest = t;
        shift = 32;
        off += 4;
    }
    if (bytes & 2) {
        uint16_t t;
        std::memcpy(&t, s + off, 2);
        rest |= uint64_t{t} << shift;
        shift += 16;
        off += 2;
    }
    if (bytes & 1) rest |= uint64_t{s[off]} << shift;
    if (bytes & 8)
        hi = rest;
    else
        lo = rest;
    return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

// Moves byte lanes down by k (0..16): lane i takes lane i + k, zeros enter
// at the top. Lets a block that ends at the string's end present its not yet
// examined tail first without reading past the end.
inline __m128i shift_lanes_down(__m128i v, size_t k) {
    alignas(32) static constexpr uint8_t kIndex[32] = {
        0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
        0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
    return _mm_shuffle_epi8(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kIndex + k)));
}

// Copies a kept stretch (count >= 1) with the copy service; a destination
// that overlaps the source (a caller trimming into its own buffer) gets the
// move service, which is right for any overlap.
template <class T>
inline void copy_stretch(const T* from, T* to, int32_t count) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(from);
    const uintptr_t b = reinterpret_cast<uintptr_t>(to);
    const uintptr_t bytes = static_cast<uintptr_t>(count) * sizeof(T);
    const bool overlap = a < b + bytes && b < a + bytes;
    if constexpr (sizeof(T) == 1) {
        overlap ? move_8u(from, to, count) : copy_8u(from, to, count);
    } else {
        overlap ? move_16u(from, to, count) : copy_16u(from, to, count);
    }
}

}  // namespace qel::charset

#endif
