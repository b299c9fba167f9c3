// Substring search over 8- and 16-bit code units, forward and reverse.
//
// A candidate start i survives the filter when the unit at i equals the
// substring's first unit and the unit at i + m - 1 equals its last one; one
// vector compare of each tests 32 bytes' worth of candidates at once, and
// only survivors are compared in full. Fewer candidates than a vector go
// through 16-byte compares and then a scalar loop. The last partial block is
// taken by one more vector placed so that its last candidate is the highest
// one (lowest, in reverse): every load stays inside the string, and the
// candidates it shares with the previous block are masked off. The worst
// case is quadratic (every candidate passing the filter), as for any
// verify-each-candidate search; natural text rejects nearly all of them.
#include <immintrin.h>

#include <cstring>

#include "frame/unaligned.h"
#include "string/find.h"

namespace qel {
namespace {

template <class W>
inline W load_word(const uint8_t* p) {
    W v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline __m256i load32(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Whether the `len` bytes at a and b are equal; reads exactly those bytes.
// Short lengths use two overlapping words from either end.
inline bool equal_bytes(const uint8_t* a, const uint8_t* b, size_t len) {
    if (len <= 16) {
        if (len >= 8)
            return ((load_word<uint64_t>(a) ^ load_word<uint64_t>(b)) |
                    (load_word<uint64_t>(a + len - 8) ^ load_word<uint64_t>(b + len - 8))) == 0;
        if (len >= 4)
            return ((load_word<uint32_t>(a) ^ load_word<uint32_t>(b)) |
                    (load_word<uint32_t>(a + len - 4) ^ load_word<uint32_t>(b + len - 4))) == 0;
        for (size_t k = 0; k < len; ++k)
            if (a[k] != b[k]) return false;
        return true;
    }
    if (len <= 32) {
        __m128i d = _mm_or_si128(_mm_xor_si128(load16(a), load16(b)),
                                 _mm_xor_si128(load16(a + len - 16), load16(b + len - 16)));
        return _mm_testz_si128(d, d);
    }
    size_t k = 0;
    for (; k + 64 <= len; k += 64) {
        __m256i d = _mm256_or_si256(_mm256_xor_si256(load32(a + k), load32(b + k)),
                                    _mm256_xor_si256(load32(a + k + 32), load32(b + k + 32)));
        if (!_mm256_testz_si256(d, d)) return false;
    }
    if (k + 32 <= len) {
        __m256i d = _mm256_xor_si256(load32(a + k), load32(b + k));
        if (!_mm256_testz_si256(d, d)) return false;
        k += 32;
    }
    if (k < len) {
        __m256i d = _mm256_xor_si256(load32(a + len - 32), load32(b + len - 32));
        return _mm256_testz_si256(d, d);
    }
    return true;
}

// One search problem in bytes: string b, substring sb of m units of T.
template <class T>
struct Needle {
    const uint8_t* b;    // string
    const uint8_t* sb;   // substring
    size_t cand;         // candidate starts: 0 .. cand - 1
    size_t last;         // byte offset of the substring's last unit
    size_t mid;          // bytes strictly between its first and last unit
    T first_unit, last_unit;

    // Full comparison of candidate i, first and last unit already equal.
    bool verify(size_t i) const { return equal_bytes(b + (i + 1) * sizeof(T), sb + sizeof(T), mid); }
};

// Candidate mask (one bit per byte, sizeof(T) bits per candidate) of the
// block whose first candidate starts at byte p, for a W-byte vector.
template <class T, size_t W>
inline uint32_t block_mask(const uint8_t* p, size_t last, T f, T l) {
    if constexpr (W == 32) {
        __m256i F, L;
        if constexpr (sizeof(T) == 1) {
            F = _mm256_set1_epi8(static_cast<char>(f));
            L = _mm256_set1_epi8(static_cast<char>(l));
            return static_cast<uint32_t>(_mm256_movemask_epi8(
                _mm256_and_si256(_mm256_cmpeq_epi8(load32(p), F), _mm256_cmpeq_epi8(load32(p + last), L))));
        } else {
            F = _mm256_set1_epi16(static_cast<short>(f));
            L = _mm256_set1_epi16(static_cast<short>(l));
            return static_cast<uint32_t>(_mm256_movemask_epi8(
                _mm256_and_si256(_mm256_cmpeq_epi16(load32(p), F), _mm256_cmpeq_epi16(load32(p + last), L))));
        }
    } else {
        __m128i F, L;
        if constexpr (sizeof(T) == 1) {
            F = _mm_set1_epi8(static_cast<char>(f));
            L = _mm_set1_epi8(static_cast<char>(l));
            return static_cast<uint32_t>(
                _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(load16(p), F), _mm_cmpeq_epi8(load16(p + last), L))));
        } else {
            F = _mm_set1_epi16(static_cast<short>(f));
            L = _mm_set1_epi16(static_cast<short>(l));
            return static_cast<uint32_t>(_mm_movemask_epi8(
                _mm_and_si128(_mm_cmpeq_epi16(load16(p), F), _mm_cmpeq_epi16(load16(p + last), L))));
        }
    }
}

constexpr uint32_t kUnitBits(size_t size) { return size == 1 ? 1u : 3u; }

// Verifies the candidates of one block, lowest first; block starts at i.
template <class T>
inline int64_t verify_low(const Needle<T>& nd, size_t i, uint32_t mask) {
    while (mask) {
        int bit = __builtin_ctz(mask);
        size_t k = i + static_cast<size_t>(bit) / sizeof(T);
        if (nd.verify(k)) return static_cast<int64_t>(k);
        mask &= ~(kUnitBits(sizeof(T)) << bit);
    }
    return -1;
}
// Same, highest first.
template <class T>
inline int64_t verify_high(const Needle<T>& nd, size_t i, uint32_t mask) {
    while (mask) {
        int unit = (31 - __builtin_clz(mask)) / static_cast<int>(sizeof(T));
        size_t k = i + static_cast<size_t>(unit);
        if (nd.verify(k)) return static_cast<int64_t>(k);
        mask &= ~(kUnitBits(sizeof(T)) << (unit * static_cast<int>(sizeof(T))));
    }
    return -1;
}

// Needs nd.cand >= W / sizeof(T).
template <class T, size_t W>
int64_t scan_forward(const Needle<T>& nd) {
    constexpr size_t lanes = W / sizeof(T);
    size_t i = 0;
    for (; i + lanes <= nd.cand; i += lanes) {
        uint32_t m = block_mask<T, W>(nd.b + i * sizeof(T), nd.last, nd.first_unit, nd.last_unit);
        if (m) {
            int64_t r = verify_low(nd, i, m);
            if (r >= 0) return r;
        }
    }
    if (i < nd.cand) {
        size_t j = nd.cand - lanes;  // candidates j .. i-1 were rejected above
        uint32_t m = block_mask<T, W>(nd.b + j * sizeof(T), nd.last, nd.first_unit, nd.last_unit);
        m &= ~0u << ((i - j) * sizeof(T));
        return verify_low(nd, j, m);
    }
    return -1;
}

template <class T, size_t W>
int64_t scan_reverse(const Needle<T>& nd) {
    constexpr size_t lanes = W / sizeof(T);
    size_t top = nd.cand;  // candidates top .. cand-1 are done
    while (top >= lanes) {
        top -= lanes;
        uint32_t m = block_mask<T, W>(nd.b + top * sizeof(T), nd.last, nd.first_unit, nd.last_unit);
        if (m) {
            int64_t r = verify_high(nd, top, m);
            if (r >= 0) return r;
        }
    }
    if (top > 0) {
        // Block at 0; candidates from `top` up were rejected above.
        uint32_t m = block_mask<T, W>(nd.b, nd.last, nd.first_unit, nd.last_unit);
        m &= (1u << (top * sizeof(T))) - 1;
        return verify_high(nd, 0, m);
    }
    return -1;
}

template <class T>
int64_t scan_scalar_forward(const Needle<T>& nd) {
    const T* s = reinterpret_cast<const T*>(nd.b);
    const size_t m1 = nd.last / sizeof(T);
    for (size_t i = 0; i < nd.cand; ++i)
        if (load_unit(s + i) == nd.first_unit && load_unit(s + i + m1) == nd.last_unit && nd.verify(i))
            return static_cast<int64_t>(i);
    return -1;
}
template <class T>
int64_t scan_scalar_reverse(const Needle<T>& nd) {
    const T* s = reinterpret_cast<const T*>(nd.b);
    const size_t m1 = nd.last / sizeof(T);
    for (size_t i = nd.cand; i-- > 0;)
        if (load_unit(s + i) == nd.first_unit && load_unit(s + i + m1) == nd.last_unit && nd.verify(i))
            return static_cast<int64_t>(i);
    return -1;
}

template <class T>
Needle<T> make_needle(const T* s, size_t n, const T* sub, size_t m) {
    Needle<T> nd;
    nd.b = reinterpret_cast<const uint8_t*>(s);
    nd.sb = reinterpret_cast<const uint8_t*>(sub);
    nd.cand = n - m + 1;
    nd.last = (m - 1) * sizeof(T);
    nd.mid = (m - 2) * sizeof(T);
    nd.first_unit = load_unit(sub);
    nd.last_unit = load_unit(sub + m - 1);
    return nd;
}

// Vector width by candidate count: a 32-byte block needs 32 bytes' worth of
// candidates, a 16-byte one 16; fewer are cheaper one at a time.
template <class T>
int32_t find_sub(const T* s, size_t n, const T* sub, size_t m) {
    Needle<T> nd = make_needle(s, n, sub, m);
    const size_t cand_bytes = nd.cand * sizeof(T);
    if (cand_bytes >= 32) return static_cast<int32_t>(scan_forward<T, 32>(nd));
    if (cand_bytes >= 16) return static_cast<int32_t>(scan_forward<T, 16>(nd));
    return static_cast<int32_t>(scan_scalar_forward(nd));
}

template <class T>
int32_t rfind_sub(const T* s, size_t n, const T* sub, size_t m) {
    Needle<T> nd = make_needle(s, n, sub, m);
    const size_t cand_bytes = nd.cand * sizeof(T);
    if (cand_bytes >= 32) return static_cast<int32_t>(scan_reverse<T, 32>(nd));
    if (cand_bytes >= 16) return static_cast<int32_t>(scan_reverse<T, 16>(nd));
    return static_cast<int32_t>(scan_scalar_reverse(nd));
}

}  // namespace

int32_t find_substring(const Qel8u* s, int32_t len, const Qel8u* sub, int32_t sub_len) {
    if (sub_len == 0 || sub_len > len) return -1;
    if (sub_len == 1) return find_byte(s, len, sub[0]);
    return find_sub(s, static_cast<size_t>(len), sub, static_cast<size_t>(sub_len));
}

int32_t rfind_substring(const Qel8u* s, int32_t len, const Qel8u* sub, int32_t sub_len) {
    if (sub_len == 0 || sub_len > len) return -1;
    if (sub_len == 1) return rfind_byte(s, len, sub[0]);
    return rfind_sub(s, static_cast<size_t>(len), sub, static_cast<size_t>(sub_len));
}

int32_t find_substring16(const Qel16u* s, int32_t len, const Qel16u* sub, int32_t sub_len) {
    if (sub_len == 0 || sub_len > len) return -1;
    if (sub_len == 1) return find_unit16(s, len, load_unit(sub));
    return find_sub(s, static_cast<size_t>(len), sub, static_cast<size_t>(sub_len));
}

int32_t rfind_substring16(const Qel16u* s, int32_t len, const Qel16u* sub, int32_t sub_len) {
    if (sub_len == 0 || sub_len > len) return -1;
    if (sub_len == 1) return rfind_unit16(s, len, load_unit(sub));
    return rfind_sub(s, static_cast<size_t>(len), sub, static_cast<size_t>(sub_len));
}

}  // namespace qel
