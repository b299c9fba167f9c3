// Latin case conversion: A-Z <-> a-z on 8- and 16-bit units, copying and in
// place, all as one range-and-delta rule (low <= u <= high: u + delta).
//
// The kernel converts 32-byte vectors. When a long destination is not 32-byte
// aligned, one unaligned vector is converted first and the loop continues at
// the next aligned destination address, so the main loop's stores never split
// a cache line; the tail is one vector that ends at the last unit. Both
// overlaps convert some units twice, which the rule must tolerate: a
// converted unit has to lie outside [low, high] (checked for the exported
// rules below). For the copying form the second conversion reads the
// source again; in place it converts the already converted unit, which then
// stays as it is. Short strings use 16- and 8-byte pieces the same way, and
// the last few units are done one by one, so no access leaves [0, n).
#include <immintrin.h>

#include <cstdint>

#include "frame/frame.h"
#include "string/lanes.h"

namespace qel {
namespace {

using namespace lanes;

struct Rule {
    uint32_t low, high;
    int32_t delta;
    constexpr bool idempotent() const {
        int64_t lo = int64_t{low} + delta, hi = int64_t{high} + delta;
        return hi < low || lo > high;
    }
};
constexpr Rule kToLower{'A', 'Z', 32};
constexpr Rule kToUpper{'a', 'z', -32};
static_assert(kToLower.idempotent() && kToUpper.idempotent(), "the kernel converts overlapping units twice");

constexpr size_t kUnroll = 4;       // four vectors per step: enough loads in flight to run at L1 speed
constexpr size_t kAlignFrom = 256;  // bytes; below, split stores cost less than the extra head vector

template <class T>
void range_delta_scalar(const T* s, T* d, size_t n, const Rule& r) {
    for (size_t i = 0; i < n; ++i) store_unit(d + i, range_delta(load_unit(s + i), r.low, r.high, r.delta));
}

// Valid for s == d (in place) and for disjoint buffers.
template <class T>
void range_delta_kernel(const T* s, T* d, size_t n, const Rule& r) {
    constexpr size_t kWide = 32 / sizeof(T);
    constexpr size_t kNarrow = 16 / sizeof(T);
    if (n >= kWide) {
        const RangeDelta<T, X32> f(r.low, r.high, r.delta);
        size_t i = 0;
        auto misalign = reinterpret_cast<uintptr_t>(d) & 31;
        if (n * sizeof(T) >= kAlignFrom && misalign != 0 && misalign % sizeof(T) == 0) {
            store(d, f.apply(X32::load(s)));
            i = (32 - misalign) / sizeof(T);
        }
        for (; i + kUnroll * kWide <= n; i += kUnroll * kWide) {
            __m256i v0 = X32::load(s + i), v1 = X32::load(s + i + kWide);
            __m256i v2 = X32::load(s + i + 2 * kWide), v3 = X32::load(s + i + 3 * kWide);
            store(d + i, f.apply(v0));
            store(d + i + kWide, f.apply(v1));
            store(d + i + 2 * kWide, f.apply(v2));
            store(d + i + 3 * kWide, f.apply(v3));
        }
        for (; i + kWide <= n; i += kWide) store(d + i, f.apply(X32::load(s + i)));
        if (i < n) store(d + n - kWide, f.apply(X32::load(s + n - kWide)));
        return;
    }
    if (n >= kNarrow) {
        const RangeDelta<T, X16> f(r.low, r.high, r.delta);
        store(d, f.apply(X16::load(s)));
        store(d + n - kNarrow, f.apply(X16::load(s + n - kNarrow)));
        return;
    }
    size_t bytes = n * sizeof(T);
    if (bytes >= 8) {
        const RangeDelta<T, X16> f(r.low, r.high, r.delta);
        auto piece = [&f](const void* from, void* to) {
            __m128i v = _mm_loadl_epi64(static_cast<const __m128i*>(from));
            _mm_storel_epi64(static_cast<__m128i*>(to), f.apply(v));
        };
        piece(s, d);
        piece(reinterpret_cast<const uint8_t*>(s) + bytes - 8, reinterpret_cast<uint8_t*>(d) + bytes - 8);
        return;
    }
    range_delta_scalar(s, d, n, r);
}

template <class T>
QelStatus convert_copy(const T* src, T* dst, int32_t len, const Rule& r) {
    if (any_null(src, dst)) return qelErrNullPtr;
    if (any_negative(len)) return qelErrLength;
    range_delta_kernel(src, dst, static_cast<size_t>(len), r);
    return qelOk;
}

template <class T>
QelStatus convert_in_place(T* buf, int32_t len, const Rule& r) {
    if (any_null(buf)) return qelErrNullPtr;
    if (any_negative(len)) return qelErrLength;
    range_delta_kernel(buf, buf, static_cast<size_t>(len), r);
    return qelOk;
}

}  // namespace
}  // namespace qel

extern "C" {

QEL_API QelStatus qelsLowercaseLatin_8u(const Qel8u* src, Qel8u* dst, int32_t len) {
    return qel::convert_copy(src, dst, len, qel::kToLower);
}
QEL_API QelStatus qelsLowercaseLatin_8u_I(Qel8u* buf, int32_t len) {
    return qel::convert_in_place(buf, len, qel::kToLower);
}
QEL_API QelStatus qelsLowercaseLatin_16u(const Qel16u* src, Qel16u* dst, int32_t len) {
    return qel::convert_copy(src, dst, len, qel::kToLower);
}
QEL_API QelStatus qelsLowercaseLatin_16u_I(Qel16u* buf, int32_t len) {
    return qel::convert_in_place(buf, len, qel::kToLower);
}
QEL_API QelStatus qelsUppercaseLatin_8u(const Qel8u* src, Qel8u* dst, int32_t len) {
    return qel::convert_copy(src, dst, len, qel::kToUpper);
}
QEL_API QelStatus qelsUppercaseLatin_8u_I(Qel8u* buf, int32_t len) {
    return qel::convert_in_place(buf, len, qel::kToUpper);
}
QEL_API QelStatus qelsUppercaseLatin_16u(const Qel16u* src, Qel16u* dst, int32_t len) {
    return qel::convert_copy(src, dst, len, qel::kToUpper);
}
QEL_API QelStatus qelsUppercaseLatin_16u_I(Qel16u* buf, int32_t len) {
    return qel::convert_in_place(buf, len, qel::kToUpper);
}

}  // extern "C"
