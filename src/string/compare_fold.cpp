// Case-folding three-way comparison: Latin A-Z folding for 8- and 16-bit
// strings, and the simple Unicode lower-case folding for 16-bit strings.
//
// Every kernel compares exactly first and folds only a vector that differs:
// units that are equal stay equal after folding, so text that agrees exactly
// costs no more than the exact compare. Within a differing vector the folded
// lanes decide; the first lane that still differs is the answer. Like the
// exact kernel, the last vector is placed to end at the last unit, overlapping
// units already found equal, so nothing outside [0, n) is read.
#include <immintrin.h>

#include <cstring>

#include "frame/frame.h"
#include "string/lanes.h"
#include "unicode/case_table.h"

namespace qel {
namespace {

using namespace lanes;

constexpr size_t kNone = ~size_t{0};

// Latin folding of the exports: A-Z onto a-z.
constexpr uint32_t kLatinLow = 'A', kLatinHigh = 'Z';
constexpr int32_t kLatinDelta = 32;

template <class T, class W>
struct FoldCheck {
    RangeDelta<T, W> fold;
    // Byte mask of the lanes whose folded units differ; the fold runs only
    // when the units differ exactly.
    uint32_t differing(typename W::V va, typename W::V vb) const {
        if (byte_mask(Ops<T>::eq(va, vb)) == W::kAllBytes) return 0;
        return ~byte_mask(Ops<T>::eq(fold.apply(va), fold.apply(vb))) & W::kAllBytes;
    }
    // First folded difference within the vector at `at`, or kNone.
    size_t operator()(const T* a, const T* b, size_t at) const {
        uint32_t m = differing(W::load(a + at), W::load(b + at));
        return m ? at + static_cast<size_t>(__builtin_ctz(m)) / sizeof(T) : kNone;
    }
};

template <class T>
size_t mismatch_range_fold_scalar(const T* a, const T* b, size_t n, uint32_t low, uint32_t high, int32_t delta) {
    for (size_t i = 0; i < n; ++i)
        if (range_delta(load_unit(a + i), low, high, delta) != range_delta(load_unit(b + i), low, high, delta)) return i;
    return n;
}

template <class T>
size_t mismatch_range_fold(const T* a, const T* b, size_t n, uint32_t low, uint32_t high, int32_t delta) {
    constexpr size_t kWide = 32 / sizeof(T);    // units per 32-byte vector
    constexpr size_t kNarrow = 16 / sizeof(T);  // units per 16-byte vector
    if (n >= kWide) {
        const FoldCheck<T, X32> check{{low, high, delta}};
        size_t i = 0;
        for (; i + 2 * kWide <= n; i += 2 * kWide) {
            __m256i a0 = X32::load(a + i), b0 = X32::load(b + i);
            __m256i a1 = X32::load(a + i + kWide), b1 = X32::load(b + i + kWide);
            if (byte_mask(and_(Ops<T>::eq(a0, b0), Ops<T>::eq(a1, b1))) == X32::kAllBytes) continue;
            const auto& f = check.fold;
            uint32_t same0 = byte_mask(Ops<T>::eq(f.apply(a0), f.apply(b0)));
            uint32_t same1 = byte_mask(Ops<T>::eq(f.apply(a1), f.apply(b1)));
            uint64_t m = ~(same0 | uint64_t{same1} << 32);
            if (m) return i + static_cast<size_t>(__builtin_ctzll(m)) / sizeof(T);
        }
        for (; i + kWide <= n; i += kWide)
            if (size_t r = check(a, b, i); r != kNone) return r;
        if (i < n)
            if (size_t r = check(a, b, n - kWide); r != kNone) return r;
        return n;
    }
    if (n >= kNarrow) {
        const FoldCheck<T, X16> check{{low, high, delta}};
        if (size_t r = check(a, b, 0); r != kNone) return r;
        if (size_t r = check(a, b, n - kNarrow); r != kNone) return r;
        return n;
    }
    size_t bytes = n * sizeof(T);
    if (bytes >= 8) {
        // The first and the last 8 bytes in one 16-byte vector; they cover
        // [0, n) and the low half holds the earlier units.
        auto pair = [bytes](const T* p) {
            const auto* q = reinterpret_cast<const uint8_t*>(p);
            return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)),
                                      _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + bytes - 8)));
        };
        const RangeDelta<T, X16> fold(low, high, delta);
        __m128i va = pair(a), vb = pair(b);
        uint32_t m = ~byte_mask(Ops<T>::eq(fold.apply(va), fold.apply(vb))) & 0xFFFFu;
        if (!m) return n;
        size_t k = static_cast<size_t>(__builtin_ctz(m));
        return (k < 8 ? k : bytes - 16 + k) / sizeof(T);
    }
    return mismatch_range_fold_scalar(a, b, n, low, high, delta);
}

template <class T>
QelStatus compare_latin(const T* a, const T* b, int32_t len, int32_t* result) {
    if (any_null(a, b, result)) return qelErrNullPtr;
    if (any_negative(len)) return qelErrLength;
    size_t n = static_cast<size_t>(len);
    size_t i = mismatch_range_fold(a, b, n, kLatinLow, kLatinHigh, kLatinDelta);
    *result = i == n ? 0
                     : int32_t{range_delta(load_unit(a + i), kLatinLow, kLatinHigh, kLatinDelta)} -
                           int32_t{range_delta(load_unit(b + i), kLatinLow, kLatinHigh, kLatinDelta)};
    return qelOk;
}

constexpr size_t kUnicodeLanes = 16;  // 16-bit units per 32-byte vector

// Folds the differing units of one 16-unit vector through the case table.
inline size_t unicode_fold_check(const uint16_t* a, const uint16_t* b, size_t at) {
    __m256i eq = _mm256_cmpeq_epi16(X32::load(a + at), X32::load(b + at));
    uint32_t m = ~static_cast<uint32_t>(_mm256_movemask_epi8(eq));
    while (m) {
        size_t k = at + static_cast<size_t>(__builtin_ctz(m)) / 2;
        if (to_lower_unit(load_unit(a + k)) != to_lower_unit(load_unit(b + k))) return k;
        m &= m - 1;  // two mask bits per unit
        m &= m - 1;
    }
    return kNone;
}

// Index of the first unit whose simple lower-case mappings differ, or n.
size_t mismatch_unicode_fold_16u(const uint16_t* a, const uint16_t* b, size_t n) {
    if (n < kUnicodeLanes) {
        for (size_t i = 0; i < n; ++i) {
            const uint16_t x = load_unit(a + i), y = load_unit(b + i);
            if (x != y && to_lower_unit(x) != to_lower_unit(y)) return i;
        }
        return n;
    }
    size_t i = 0;
    for (; i + kUnicodeLanes <= n; i += kUnicodeLanes)
        if (size_t r = unicode_fold_check(a, b, i); r != kNone) return r;
    if (i < n)
        if (size_t r = unicode_fold_check(a, b, n - kUnicodeLanes); r != kNone) return r;
    return n;
}

QelStatus compare_unicode(const Qel16u* a, const Qel16u* b, int32_t len, int32_t* result) {
    if (any_null(a, b, result)) return qelErrNullPtr;
    if (any_negative(len)) return qelErrLength;
    size_t n = static_cast<size_t>(len);
    size_t i = mismatch_unicode_fold_16u(a, b, n);
    *result = i == n ? 0 : int32_t{to_lower_unit(load_unit(a + i))} - int32_t{to_lower_unit(load_unit(b + i))};
    return qelOk;
}

}  // namespace
}  // namespace qel

extern "C" {

QEL_API QelStatus qelsCompareIgnoreCaseLatin_8u(const Qel8u* src1, const Qel8u* src2, int32_t len, int32_t* result) {
    return qel::compare_latin(src1, src2, len, result);
}
QEL_API QelStatus qelsCompareIgnoreCaseLatin_16u(const Qel16u* src1, const Qel16u* src2, int32_t len,
                                                 int32_t* result) {
    return qel::compare_latin(src1, src2, len, result);
}
QEL_API QelStatus qelsCompareIgnoreCase_16u(const Qel16u* src1, const Qel16u* src2, int32_t len, int32_t* result) {
    return qel::compare_unicode(src1, src2, len, result);
}

}  // extern "C"
