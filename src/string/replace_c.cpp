// Replace every occurrence of one unit by another, 8- and 16-bit.
//
// Each 32-byte vector is compared with the broadcast unit to replace and the
// replacement is blended into the matching lanes; four vectors per step.
// The last vector ends at the last unit and overlaps units already written;
// redoing them is harmless (from the source they give the same result, and
// when the destination is the source a replaced unit either no longer
// matches or is replaced by itself). Short strings use 16- and 8-byte pieces
// the same way and single units below that, so no access leaves [0, n).
#include <immintrin.h>

#include <cstdint>

#include "frame/frame.h"
#include "string/lanes.h"

namespace qel {
namespace {

using namespace lanes;

constexpr size_t kUnroll = 4;  // four independent vectors per step keep the loads streaming

template <class T>
void replace_unit_scalar(const T* s, T* d, size_t n, T from, T to) {
    for (size_t i = 0; i < n; ++i) {
        const T u = load_unit(s + i);
        store_unit(d + i, u == from ? to : u);
    }
}

template <class T, class W>
struct Replacer {
    typename W::V from, to;
    Replacer(T f, T t) : from(Ops<T>::template set1<W>(f)), to(Ops<T>::template set1<W>(t)) {}
    typename W::V apply(typename W::V v) const { return blend(v, to, Ops<T>::eq(v, from)); }
};

// Valid for s == d and for disjoint buffers.
template <class T>
void replace_unit(const T* s, T* d, size_t n, T from, T to) {
    constexpr size_t kWide = 32 / sizeof(T);
    constexpr size_t kNarrow = 16 / sizeof(T);
    if (n >= kWide) {
        const Replacer<T, X32> r(from, to);
        size_t i = 0;
        for (; i + kUnroll * kWide <= n; i += kUnroll * kWide) {
            __m256i v0 = X32::load(s + i), v1 = X32::load(s + i + kWide);
            __m256i v2 = X32::load(s + i + 2 * kWide), v3 = X32::load(s + i + 3 * kWide);
            store(d + i, r.apply(v0));
            store(d + i + kWide, r.apply(v1));
            store(d + i + 2 * kWide, r.apply(v2));
            store(d + i + 3 * kWide, r.apply(v3));
        }
        for (; i + kWide <= n; i += kWide) store(d + i, r.apply(X32::load(s + i)));
        if (i < n) store(d + n - kWide, r.apply(X32::load(s + n - kWide)));
        return;
    }
    const Replacer<T, X16> r(from, to);
    if (n >= kNarrow) {
        store(d, r.apply(X16::load(s)));
        store(d + n - kNarrow, r.apply(X16::load(s + n - kNarrow)));
        return;
    }
    size_t bytes = n * sizeof(T);
    if (bytes >= 8) {
        auto piece = [&r](const void* from_p, void* to_p) {
            __m128i v = _mm_loadl_epi64(static_cast<const __m128i*>(from_p));
            _mm_storel_epi64(static_cast<__m128i*>(to_p), r.apply(v));
        };
        piece(s, d);
        piece(reinterpret_cast<const uint8_t*>(s) + bytes - 8, reinterpret_cast<uint8_t*>(d) + bytes - 8);
        return;
    }
    replace_unit_scalar(s, d, n, from, to);
}

template <class T>
QelStatus replace_c(const T* src, T* dst, int32_t len, T from, T to) {
    if (any_null(src, dst)) return qelErrNullPtr;
    if (any_negative(len)) return qelErrLength;
    replace_unit(src, dst, static_cast<size_t>(len), from, to);
    return qelOk;
}

}  // namespace
}  // namespace qel

extern "C" {

QEL_API QelStatus qelsReplaceC_8u(const Qel8u* src, Qel8u* dst, int32_t len, Qel8u oldVal, Qel8u newVal) {
    return qel::replace_c(src, dst, len, oldVal, newVal);
}
QEL_API QelStatus qelsReplaceC_16u(const Qel16u* src, Qel16u* dst, int32_t len, Qel16u oldVal, Qel16u newVal) {
    return qel::replace_c(src, dst, len, oldVal, newVal);
}

}  // extern "C"
