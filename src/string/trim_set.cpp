// Trimming every unit of a set from the start, the end or both ends
// (qelsTrim[Start|End]CAny_*).
//
// Two kernels with identical results, chosen on every call by the core
// library's SSE4.2 answer:
//  - SSE4.2: 16-byte blocks from each end; the explicit-length compare in
//    equal-any mode with negated (masked) polarity marks the units that are
//    not in a set vector, and ANDing those masks over all set vectors leaves
//    the units in none of them. Any set size works: full set vectors are read
//    from the set in place, only the partial last one is gathered.
//  - General: one unit at a time from each end, with a membership test chosen
//    by set size.
// Both stop at the first kept unit from each end, so the cost follows the
// removed runs, not the string length.
#include "frame/frame.h"
#include "string/charset.h"

namespace qel::charset {
namespace {

inline int lowest(uint32_t m) { return __builtin_ctz(m); }
inline int highest(uint32_t m) { return 31 - __builtin_clz(m); }
inline __m128i load16(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline __m256i load32(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

// ---- SSE4.2 kernel ----

template <class T>
class Sse42Set {
public:
    static constexpr int kW = 16 / sizeof(T);

    Sse42Set(const T* set, int32_t n)
        : set_(set), n_(n), full_(n / kW), tail_len_(n % kW),
          tail_(load_exact(set + static_cast<size_t>(n / kW) * kW, static_cast<size_t>(n % kW) * sizeof(T))) {}

    // Lowest (or, with High, highest) index in blk[0, bl) of a unit that is
    // in no set vector, or -1.
    template <bool High>
    int kept(__m128i blk, int bl) const {
        constexpr int kOps = sizeof(T) == 1 ? _SIDD_UBYTE_OPS : _SIDD_UWORD_OPS;
        constexpr int kNotIn = kOps | _SIDD_CMP_EQUAL_ANY | _SIDD_MASKED_NEGATIVE_POLARITY;
        if (full_ == 0 || (full_ == 1 && tail_len_ == 0)) {
            const __m128i sv = full_ ? load16(set_) : tail_;
            const int i = _mm_cmpestri(sv, n_, blk, bl, kNotIn | (High ? _SIDD_MOST_SIGNIFICANT : _SIDD_LEAST_SIGNIFICANT));
            return i < kW ? i : -1;
        }
        uint32_t m = 0xFFFF;
        for (int32_t k = 0; k < full_ && m; ++k)
            m &= static_cast<uint32_t>(
                _mm_cvtsi128_si32(_mm_cmpestrm(load16(set_ + static_cast<size_t>(k) * kW), kW, blk, bl, kNotIn | _SIDD_BIT_MASK)));
        if (m && tail_len_)
            m &= static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_cmpestrm(tail_, tail_len_, blk, bl, kNotIn | _SIDD_BIT_MASK)));
        if (!m) return -1;
        return High ? highest(m) : lowest(m);
    }

private:
    const T* set_;
    int32_t n_;
    int32_t full_;
    int tail_len_;
    __m128i tail_;
};

// Last kept index in [0, len), or -1: blocks from the end; the units left at
// the start are the block at the string's start cut by length (or gathered
// when the whole string is shorter than a block).
template <class T>
int32_t last_kept_sse42(const T* s, int32_t len, const Sse42Set<T>& sv) {
    constexpr int kW = Sse42Set<T>::kW;
    int32_t i = len;
    for (; i >= kW; i -= kW)
        if (int h = sv.template kept<true>(load16(s + i - kW), kW); h >= 0) return i - kW + h;
    if (i == 0) return -1;
    const __m128i blk = len >= kW ? load16(s) : load_exact(s, static_cast<size_t>(i) * sizeof(T));
    return sv.template kept<true>(blk, i);
}

// First kept index in [0, hi), or -1: blocks from the start; the units left
// at the end come from the block that ends at `hi`, moved down.
template <class T>
int32_t first_kept_sse42(const T* s, int32_t hi, const Sse42Set<T>& sv) {
    constexpr int kW = Sse42Set<T>::kW;
    int32_t i = 0;
    for (; i + kW <= hi; i += kW)
        if (int h = sv.template kept<false>(load16(s + i), kW); h >= 0) return i + h;
    const int32_t rem = hi - i;
    if (rem == 0) return -1;
    const __m128i blk = hi >= kW ? shift_lanes_down(load16(s + hi - kW), static_cast<size_t>(kW - rem) * sizeof(T))
                                 : load_exact(s, static_cast<size_t>(hi) * sizeof(T));
    const int h = sv.template kept<false>(blk, rem);
    return h >= 0 ? i + h : -1;
}

template <class T>
Stretch trim_sse42(const T* s, int32_t len, const T* set, int32_t n, int side) {
    if (len == 0) return {0, 0};
    if (n == 0) return {0, len};
    const Sse42Set<T> sv(set, n);
    int32_t e = len - 1;
    if (side & kTrimEnd) {
        e = last_kept_sse42(s, len, sv);
        if (e < 0) return {0, 0};
    }
    int32_t b = 0;
    if (side & kTrimStart) {
        b = first_kept_sse42(s, e + 1, sv);
        if (b < 0) return {0, 0};
    }
    return {b, e - b + 1};
}

// ---- General kernel: membership tests by set size ----

constexpr int32_t kRegisterSetMax = 16;    // the whole set fits one vector register
constexpr int32_t kStreamSetMax8 = 131;    // streaming vectors beats the scalar loop up to here
constexpr int32_t kStreamSetMax16 = 135;

template <class T>
struct MemberOne {
    T c;
    bool operator()(T u) const { return u == c; }
};

// Sets of 2..16 units in one register; unused lanes repeat the first unit so
// they never add a member.
struct MemberRegister8 {
    __m128i v;
    MemberRegister8(const Qel8u* set, int32_t n) {
        alignas(16) Qel8u lanes[16];
        for (int j = 0; j < 16; ++j) lanes[j] = load_unit(set + (j < n ? j : 0));
        v = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
    }
    bool operator()(Qel8u u) const {
        return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_set1_epi8(static_cast<char>(u)), v)) != 0;
    }
};

struct MemberRegister16 {
    __m256i v;
    MemberRegister16(const Qel16u* set, int32_t n) {
        alignas(32) Qel16u lanes[16];
        for (int j = 0; j < 16; ++j) lanes[j] = load_unit(set + (j < n ? j : 0));
        v = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
    }
    bool operator()(Qel16u u) const {
        return _mm256_movemask_epi8(_mm256_cmpeq_epi16(_mm256_set1_epi16(static_cast<short>(u)), v)) != 0;
    }
};

// Medium sets streamed through 16- / 32-byte vectors; the last vector is the
// one flush with the set's end (the set is longer than a vector).
struct MemberStream8 {
    const Qel8u* set;
    int32_t n;
    bool operator()(Qel8u u) const {
        const __m128i b = _mm_set1_epi8(static_cast<char>(u));
        __m128i acc = _mm_cmpeq_epi8(b, load16(set + n - 16));
        for (int32_t j = 0; j + 16 <= n; j += 16) acc = _mm_or_si128(acc, _mm_cmpeq_epi8(b, load16(set + j)));
        return _mm_movemask_epi8(acc) != 0;
    }
};

struct MemberStream16 {
    const Qel16u* set;
    int32_t n;
    bool operator()(Qel16u u) const {
        const __m256i b = _mm256_set1_epi16(static_cast<short>(u));
        __m256i acc = _mm256_cmpeq_epi16(b, load32(set + n - 16));
        for (int32_t j = 0; j + 16 <= n; j += 16) acc = _mm256_or_si256(acc, _mm256_cmpeq_epi16(b, load32(set + j)));
        return _mm256_movemask_epi8(acc) != 0;
    }
};

// Large sets: five scalar comparisons per step.
template <class T>
struct MemberScalar5 {
    const T* set;
    int32_t n;
    bool operator()(T u) const {
        int32_t j = 0;
        for (; j + 5 <= n; j += 5)
            if (load_unit(set + j) == u || load_unit(set + j + 1) == u || load_unit(set + j + 2) == u ||
                load_unit(set + j + 3) == u || load_unit(set + j + 4) == u)
                return true;
        for (; j < n; ++j)
            if (load_unit(set + j) == u) return true;
        return false;
    }
};

template <class T, class In>
Stretch trim_with(const T* s, int32_t len, int side, const In& in) {
    int32_t e = len - 1;
    if (side & kTrimEnd)
        while (e >= 0 && in(load_unit(s + e))) --e;
    int32_t b = 0;
    if (side & kTrimStart)
        while (b <= e && in(load_unit(s + b))) ++b;
    if (b > e) return {0, 0};
    return {b, e - b + 1};
}

Stretch trim_general8(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, int side) {
    if (len == 0) return {0, 0};
    if (n == 0) return {0, len};
    if (n == 1) return trim_with(s, len, side, MemberOne<Qel8u>{load_unit(set)});
    if (n <= kRegisterSetMax) return trim_with(s, len, side, MemberRegister8(set, n));
    if (n <= kStreamSetMax8) return trim_with(s, len, side, MemberStream8{set, n});
    return trim_with(s, len, side, MemberScalar5<Qel8u>{set, n});
}

Stretch trim_general16(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, int side) {
    if (len == 0) return {0, 0};
    if (n == 0) return {0, len};
    if (n == 1) return trim_with(s, len, side, MemberOne<Qel16u>{load_unit(set)});
    if (n <= kRegisterSetMax) return trim_with(s, len, side, MemberRegister16(set, n));
    if (n <= kStreamSetMax16) return trim_with(s, len, side, MemberStream16{set, n});
    return trim_with(s, len, side, MemberScalar5<Qel16u>{set, n});
}

template <class T>
QelStatus trim_set_export(const T* src, int32_t len, const T* set, int32_t setLen, T* dst, int32_t* dstLen,
                          int side) {
    if (any_null(src, set, dst, dstLen)) return qelErrNullPtr;
    if (any_negative(len, setLen)) return qelErrLength;
    Stretch k;
    if constexpr (sizeof(T) == 1)
        k = trim_set_8u(src, len, set, setLen, side);
    else
        k = trim_set_16u(src, len, set, setLen, side);
    *dstLen = k.count;
    if (k.count > 0) copy_stretch(src + k.start, dst, k.count);
    return qelOk;
}

}  // namespace

Stretch trim_set_8u_sse42(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, int side) {
    return trim_sse42(s, len, set, n, side);
}
Stretch trim_set_16u_sse42(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, int side) {
    return trim_sse42(s, len, set, n, side);
}
Stretch trim_set_8u_general(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, int side) {
    return trim_general8(s, len, set, n, side);
}
Stretch trim_set_16u_general(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, int side) {
    return trim_general16(s, len, set, n, side);
}

Stretch trim_set_8u(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, int side) {
    return own_has_sse42() ? trim_sse42(s, len, set, n, side) : trim_general8(s, len, set, n, side);
}
Stretch trim_set_16u(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, int side) {
    return own_has_sse42() ? trim_sse42(s, len, set, n, side) : trim_general16(s, len, set, n, side);
}

}  // namespace qel::charset

extern "C" {

QEL_API QelStatus qelsTrimCAny_8u(const Qel8u* src, int32_t len, const Qel8u* set, int32_t setLen, Qel8u* dst,
                                  int32_t* dstLen) {
    return qel::charset::trim_set_export(src, len, set, setLen, dst, dstLen, qel::charset::kTrimBoth);
}
QEL_API QelStatus qelsTrimCAny_16u(const Qel16u* src, int32_t len, const Qel16u* set, int32_t setLen, Qel16u* dst,
                                   int32_t* dstLen) {
    return qel::charset::trim_set_export(src, len, set, setLen, dst, dstLen, qel::charset::kTrimBoth);
}
QEL_API QelStatus qelsTrimStartCAny_8u(const Qel8u* src, int32_t len, const Qel8u* set, int32_t setLen, Qel8u* dst,
                                       int32_t* dstLen) {
    return qel::charset::trim_set_export(src, len, set, setLen, dst, dstLen, qel::charset::kTrimStart);
}
QEL_API QelStatus qelsTrimStartCAny_16u(const Qel16u* src, int32_t len, const Qel16u* set, int32_t setLen,
                                        Qel16u* dst, int32_t* dstLen) {
    return qel::charset::trim_set_export(src, len, set, setLen, dst, dstLen, qel::charset::kTrimStart);
}
QEL_API QelStatus qelsTrimEndCAny_8u(const Qel8u* src, int32_t len, const Qel8u* set, int32_t setLen, Qel8u* dst,
                                     int32_t* dstLen) {
    return qel::charset::trim_set_export(src, len, set, setLen, dst, dstLen, qel::charset::kTrimEnd);
}
QEL_API QelStatus qelsTrimEndCAny_16u(const Qel16u* src, int32_t len, const Qel16u* set, int32_t setLen,
                                      Qel16u* dst, int32_t* dstLen) {
    return qel::charset::trim_set_export(src, len, set, setLen, dst, dstLen, qel::charset::kTrimEnd);
}

}  // extern "C"
