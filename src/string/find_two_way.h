// Two-Way substring search (critical factorisation): the linear fallback of
// the filtered substring search. The substring is split at a critical
// position into u·v; each attempt matches v left to right, then u right to
// left, and shifts by the period (remembering the matched prefix when the
// substring is periodic) or past the mismatch. It compares fewer than 2n
// units for a string of n, needs O(1) space and no table.
//
// Reverse search is the forward search on both strings read back to front:
// the lowest start there is the highest start here.
#ifndef QELCH_STRING_FIND_TWO_WAY_H
#define QELCH_STRING_FIND_TWO_WAY_H

#include <cstddef>
#include <cstdint>

#include "frame/unaligned.h"

namespace qel {
namespace two_way {

// Units of a caller string, in order or back to front.
template <class T, bool Reversed>
struct View {
    const T* p;
    size_t n;
    T operator[](size_t i) const { return load_unit(Reversed ? p + (n - 1 - i) : p + i); }
};

// Start of the maximal suffix of x under the unit order (Greater: the
// reversed order), as "one before it" (-1 for the whole string), and its
// period.
template <bool Greater, class V>
inline int64_t maximal_suffix(const V& x, int64_t m, int64_t& period) {
    int64_t ms = -1, j = 0, k = 1;
    period = 1;
    while (j + k < m) {
        const auto a = x[static_cast<size_t>(j + k)];
        const auto b = x[static_cast<size_t>(ms + k)];
        if (Greater ? a > b : a < b) {
            j += k;
            k = 1;
            period = j - ms;
        } else if (a == b) {
            if (k != period) {
                ++k;
            } else {
                j += period;
                k = 1;
            }
        } else {
            ms = j;
            j = ms + 1;
            k = period = 1;
        }
    }
    return ms;
}

// Lowest start of x (m units, m >= 1) in y (n units), or -1.
template <class V>
int64_t search(const V& y, int64_t n, const V& x, int64_t m) {
    if (m > n) return -1;
    int64_t p1, p2;
    const int64_t ms1 = maximal_suffix<false>(x, m, p1);
    const int64_t ms2 = maximal_suffix<true>(x, m, p2);
    const int64_t ell = ms1 > ms2 ? ms1 : ms2;  // u = x[0..ell], v = x[ell+1..]
    int64_t per = ms1 > ms2 ? p1 : p2;

    bool periodic = ell + 1 + per <= m;
    for (int64_t k = 0; periodic && k <= ell; ++k)
        if (x[static_cast<size_t>(k)] != x[static_cast<size_t>(k + per)]) periodic = false;

    int64_t j = 0;
    if (periodic) {
        // Memory: after a shift by the period, the first m - per units are
        // known to match and are not compared again.
        int64_t memory = -1;
        while (j <= n - m) {
            int64_t i = (ell > memory ? ell : memory) + 1;
            while (i < m && x[static_cast<size_t>(i)] == y[static_cast<size_t>(i + j)]) ++i;
            if (i >= m) {
                i = ell;
                while (i > memory && x[static_cast<size_t>(i)] == y[static_cast<size_t>(i + j)]) --i;
                if (i <= memory) return j;
                j += per;
                memory = m - per - 1;
            } else {
                j += i - ell;
                memory = -1;
            }
        }
    } else {
        per = (ell + 1 > m - ell - 1 ? ell + 1 : m - ell - 1) + 1;
        while (j <= n - m) {
            int64_t i = ell + 1;
            while (i < m && x[static_cast<size_t>(i)] == y[static_cast<size_t>(i + j)]) ++i;
            if (i >= m) {
                i = ell;
                while (i >= 0 && x[static_cast<size_t>(i)] == y[static_cast<size_t>(i + j)]) --i;
                if (i < 0) return j;
                j += per;
            } else {
                j += i - ell;
            }
        }
    }
    return -1;
}

}  // namespace two_way

// Lowest / highest start of sub (m >= 1 units) in s (n units), or -1.
template <class T>
int64_t two_way_find(const T* s, size_t n, const T* sub, size_t m) {
    using V = two_way::View<T, false>;
    return two_way::search(V{s, n}, static_cast<int64_t>(n), V{sub, m}, static_cast<int64_t>(m));
}

template <class T>
int64_t two_way_rfind(const T* s, size_t n, const T* sub, size_t m) {
    using V = two_way::View<T, true>;
    int64_t r = two_way::search(V{s, n}, static_cast<int64_t>(n), V{sub, m}, static_cast<int64_t>(m));
    return r < 0 ? -1 : static_cast<int64_t>(n - m) - r;
}

}  // namespace qel

#endif
