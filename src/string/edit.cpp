// Insert, remove and concatenate: argument checks, then the library's copy
// and move services (which are only ever called with a count of 1 or more).
//
// Ranges are checked in 64-bit arithmetic, so a start and a removed length
// that are each valid but together pass the end of the string (or the 32-bit
// range) are rejected instead of wrapping.
#include <cstdint>

#include "frame/frame.h"

namespace qel {
namespace {

inline QelStatus copy_units(const Qel8u* s, Qel8u* d, int32_t n) { return copy_8u(s, d, n); }
inline QelStatus copy_units(const Qel16u* s, Qel16u* d, int32_t n) { return copy_16u(s, d, n); }
inline QelStatus move_units(const Qel8u* s, Qel8u* d, int32_t n) { return move_8u(s, d, n); }
inline QelStatus move_units(const Qel16u* s, Qel16u* d, int32_t n) { return move_16u(s, d, n); }

// dst = src[0..start) + ins + src[start..len). The tail is moved (overlap-safe)
// before the inserted units are written, so dst may be the source buffer
// itself when it has room for the longer string.
template <class T>
QelStatus insert(const T* src, int32_t len, const T* ins, int32_t ins_len, T* dst, int32_t start) {
    if (any_null(src, ins, dst)) return qelErrNullPtr;
    if (any_negative(len, ins_len, start) || start > len) return qelErrLength;
    if (ins_len == 0) {
        // Nothing to insert: the edited string is the source itself.
        if (len > 0 && dst != src) copy_units(src, dst, len);
        return qelOk;
    }
    if (start > 0 && dst != src) copy_units(src, dst, start);
    if (len > start) move_units(src + start, dst + start + ins_len, len - start);
    copy_units(ins, dst + start, ins_len);
    return qelOk;
}

template <class T>
QelStatus insert_in_place(const T* ins, int32_t ins_len, T* buf, int32_t* len, int32_t start) {
    if (any_null(ins, buf, len)) return qelErrNullPtr;
    int32_t n = *len;
    if (any_negative(ins_len, n, start) || start > n) return qelErrLength;
    // The grown length must still be a length.
    if (int64_t{n} + ins_len > INT32_MAX) return qelErrLength;
    if (ins_len == 0) return qelOk;
    if (n > start) move_units(buf + start, buf + start + ins_len, n - start);
    copy_units(ins, buf + start, ins_len);
    *len = n + ins_len;
    return qelOk;
}

// dst = src without src[start..start+remove_len). The tail goes through the
// move service, which is the forward copy whenever dst lies below the source
// and stays correct when dst is the source buffer itself.
template <class T>
QelStatus remove(const T* src, int32_t len, T* dst, int32_t start, int32_t remove_len) {
    if (any_null(src, dst)) return qelErrNullPtr;
    if (any_negative(remove_len, start) || int64_t{start} + remove_len > len) return qelErrLength;
    if (start > 0 && dst != src) copy_units(src, dst, start);
    int32_t tail = len - start - remove_len;
    if (tail > 0) move_units(src + start + remove_len, dst + start, tail);
    return qelOk;
}

template <class T>
QelStatus remove_in_place(T* buf, int32_t* len, int32_t start, int32_t remove_len) {
    if (any_null(buf, len)) return qelErrNullPtr;
    int32_t n = *len;
    if (any_negative(remove_len)) return qelErrLength;
    if (any_negative(n, start) || int64_t{start} + remove_len > n) return qelErrLength;
    int32_t tail = n - start - remove_len;
    if (tail > 0) move_units(buf + start + remove_len, buf + start, tail);
    *len = n - remove_len;
    return qelOk;
}

template <class T>
QelStatus concat(const T* a, int32_t len_a, const T* b, int32_t len_b, T* dst) {
    if (any_null(a, b, dst)) return qelErrNullPtr;
    if (any_negative(len_a, len_b)) return qelErrLength;
    if (len_a > 0) copy_units(a, dst, len_a);
    if (len_b > 0) copy_units(b, dst + len_a, len_b);
    return qelOk;
}

}  // namespace
}  // namespace qel

extern "C" {

QEL_API QelStatus qelsInsert_8u(const Qel8u* src, int32_t srcLen, const Qel8u* ins, int32_t insLen, Qel8u* dst,
                                int32_t start) {
    return qel::insert(src, srcLen, ins, insLen, dst, start);
}
QEL_API QelStatus qelsInsert_16u(const Qel16u* src, int32_t srcLen, const Qel16u* ins, int32_t insLen, Qel16u* dst,
                                 int32_t start) {
    return qel::insert(src, srcLen, ins, insLen, dst, start);
}
QEL_API QelStatus qelsInsert_8u_I(const Qel8u* ins, int32_t insLen, Qel8u* buf, int32_t* len, int32_t start) {
    return qel::insert_in_place(ins, insLen, buf, len, start);
}
QEL_API QelStatus qelsInsert_16u_I(const Qel16u* ins, int32_t insLen, Qel16u* buf, int32_t* len, int32_t start) {
    return qel::insert_in_place(ins, insLen, buf, len, start);
}
QEL_API QelStatus qelsRemove_8u(const Qel8u* src, int32_t srcLen, Qel8u* dst, int32_t start, int32_t removeLen) {
    return qel::remove(src, srcLen, dst, start, removeLen);
}
QEL_API QelStatus qelsRemove_16u(const Qel16u* src, int32_t srcLen, Qel16u* dst, int32_t start, int32_t removeLen) {
    return qel::remove(src, srcLen, dst, start, removeLen);
}
QEL_API QelStatus qelsRemove_8u_I(Qel8u* buf, int32_t* len, int32_t start, int32_t removeLen) {
    return qel::remove_in_place(buf, len, start, removeLen);
}
QEL_API QelStatus qelsRemove_16u_I(Qel16u* buf, int32_t* len, int32_t start, int32_t removeLen) {
    return qel::remove_in_place(buf, len, start, removeLen);
}
QEL_API QelStatus qelsConcat_8u(const Qel8u* src1, int32_t len1, const Qel8u* src2, int32_t len2, Qel8u* dst) {
    return qel::concat(src1, len1, src2, len2, dst);
}
QEL_API QelStatus qelsConcat_16u(const Qel16u* src1, int32_t len1, const Qel16u* src2, int32_t len2, Qel16u* dst) {
    return qel::concat(src1, len1, src2, len2, dst);
}

}  // extern "C"
