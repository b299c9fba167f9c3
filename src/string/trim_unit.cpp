// Trimming one unit value from both ends (qelsTrimC_*).
//
// The removed runs are typically short (padding, spaces), so the scan works
// on 32-bit words holding the unit repeated: single units up to a word
// boundary, whole words while they match, then single units to pin down the
// first differing unit. Nothing past either end of the string is read.
#include "frame/frame.h"
#include "string/charset.h"

namespace qel::charset {
namespace {

constexpr int32_t kWordScanFrom = 16;  // shorter spans: the alignment prologue is not worth it

template <class T>
inline uint32_t repeated_word(T c) {
    return sizeof(T) == 1 ? 0x01010101u * c : 0x00010001u * c;
}

// First index in [from, to) whose unit differs from c, or `to`.
template <class T>
int32_t first_other(const T* s, int32_t from, int32_t to, T c) {
    constexpr int32_t kPerWord = 4 / sizeof(T);
    int32_t i = from;
    if (to - from >= kWordScanFrom) {
        const uintptr_t addr = reinterpret_cast<uintptr_t>(s + i);
        for (int32_t lead = static_cast<int32_t>(((4 - (addr & 3)) & 3) / sizeof(T)); lead > 0; --lead, ++i)
            if (load_unit(s + i) != c) return i;
        const uint32_t w = repeated_word(c);
        for (; i + kPerWord <= to; i += kPerWord) {
            uint32_t x;
            std::memcpy(&x, s + i, 4);
            if (x != w) break;
        }
    }
    for (; i < to; ++i)
        if (load_unit(s + i) != c) return i;
    return to;
}

// Last index in [from, to) whose unit differs from c, or from - 1.
template <class T>
int32_t last_other(const T* s, int32_t from, int32_t to, T c) {
    constexpr int32_t kPerWord = 4 / sizeof(T);
    int32_t i = to;  // [from, i) not yet examined
    if (to - from >= kWordScanFrom) {
        const uintptr_t addr = reinterpret_cast<uintptr_t>(s + i);
        for (int32_t lead = static_cast<int32_t>((addr & 3) / sizeof(T)); lead > 0; --lead)
            if (load_unit(s + --i) != c) return i;
        const uint32_t w = repeated_word(c);
        for (; i - kPerWord >= from; i -= kPerWord) {
            uint32_t x;
            std::memcpy(&x, s + i - kPerWord, 4);
            if (x != w) break;
        }
    }
    while (i > from)
        if (load_unit(s + --i) != c) return i;
    return from - 1;
}

template <class T>
Stretch trim_unit(const T* s, int32_t len, T c) {
    const int32_t b = first_other(s, 0, len, c);
    if (b == len) return {0, 0};
    const int32_t e = last_other(s, b, len, c);  // s[b] differs, so e >= b
    return {b, e - b + 1};
}

// Trims within the buffer: the kept stretch moves down to its start. The
// move runs forwards (the destination lies below the source).
template <class T>
void trim_unit_in_place(T* buf, int32_t* len, T c) {
    const Stretch k = trim_unit(buf, *len, c);
    *len = k.count;
    if (k.count > 0 && k.start > 0) copy_stretch(buf + k.start, buf, k.count);
}

template <class T>
QelStatus trim_unit_copy(const T* src, int32_t len, T c, T* dst, int32_t* dstLen) {
    const Stretch k = trim_unit(src, len, c);
    *dstLen = k.count;
    if (k.count > 0) copy_stretch(src + k.start, dst, k.count);
    return qelOk;
}

}  // namespace

Stretch trim_unit_8u(const Qel8u* s, int32_t len, Qel8u c) { return trim_unit(s, len, c); }
Stretch trim_unit_16u(const Qel16u* s, int32_t len, Qel16u c) { return trim_unit(s, len, c); }

}  // namespace qel::charset

extern "C" {

QEL_API QelStatus qelsTrimC_8u(const Qel8u* src, int32_t len, Qel8u c, Qel8u* dst, int32_t* dstLen) {
    if (qel::any_null(src, dst, dstLen)) return qelErrNullPtr;
    if (len < 0) return qelErrLength;
    if (dst == src) {  // trimming a buffer onto itself is the in-place trim
        *dstLen = len;
        qel::charset::trim_unit_in_place(dst, dstLen, c);
        return qelOk;
    }
    return qel::charset::trim_unit_copy(src, len, c, dst, dstLen);
}

QEL_API QelStatus qelsTrimC_16u(const Qel16u* src, int32_t len, Qel16u c, Qel16u* dst, int32_t* dstLen) {
    if (qel::any_null(src, dst, dstLen)) return qelErrNullPtr;
    if (len < 0) return qelErrLength;
    return qel::charset::trim_unit_copy(src, len, c, dst, dstLen);
}

QEL_API QelStatus qelsTrimC_8u_I(Qel8u* buf, int32_t* len, Qel8u c) {
    if (qel::any_null(buf, len)) return qelErrNullPtr;
    if (*len < 0) return qelErrLength;
    qel::charset::trim_unit_in_place(buf, len, c);
    return qelOk;
}

QEL_API QelStatus qelsTrimC_16u_I(Qel16u* buf, int32_t* len, Qel16u c) {
    if (qel::any_null(buf, len)) return qelErrNullPtr;
    if (*len < 0) return qelErrLength;
    qel::charset::trim_unit_in_place(buf, len, c);
    return qelOk;
}

}  // extern "C"
