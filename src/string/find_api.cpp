// Exported code-unit and substring searches: argument checks in the library's
// fixed order (pointers, then lengths), then one kernel. Nothing is written
// when a check fails. Empty strings, empty substrings and substrings longer
// than the string are answered by the kernels (-1) without a search.
//
// A zero-terminated argument longer than a signed 32-bit length can describe
// is refused with qelErrLength rather than reported through a wrapped,
// negative length or index.
#include "frame/frame.h"
#include "string/find.h"

namespace {

template <class T, int32_t (*Kernel)(const T*, int32_t, const T*, int32_t)>
QelStatus find_sub_checked(const T* src, int32_t len, const T* sub, int32_t sub_len, int32_t* index) {
    if (qel::any_null(src, sub, index)) return qelErrNullPtr;
    if (qel::any_negative(len, sub_len)) return qelErrLength;
    *index = Kernel(src, len, sub, sub_len);
    return qelOk;
}

template <class T, int64_t (*Kernel)(const T*, T, int64_t)>
QelStatus find_unit_z_checked(const T* src, T c, int32_t* index) {
    if (qel::any_null(src, index)) return qelErrNullPtr;
    int64_t r = Kernel(src, c, qel::kMaxZLength);
    if (r == qel::kZTooLong) return qelErrLength;
    *index = static_cast<int32_t>(r);
    return qelOk;
}

template <class T, int64_t (*Measure)(const T*, int64_t),
          int32_t (*Kernel)(const T*, int32_t, const T*, int32_t)>
QelStatus find_sub_z_checked(const T* src, const T* sub, int32_t* index) {
    if (qel::any_null(src, sub, index)) return qelErrNullPtr;
    int64_t len = Measure(src, qel::kMaxZLength);
    int64_t sub_len = Measure(sub, qel::kMaxZLength);
    if (len == qel::kZTooLong || sub_len == qel::kZTooLong) return qelErrLength;
    *index = Kernel(src, static_cast<int32_t>(len), sub, static_cast<int32_t>(sub_len));
    return qelOk;
}

}  // namespace

extern "C" {

// qelsFindC_* and qelsFindRevC_* live with their kernels (find_unit.cpp),
// so that a short call runs as one function.

QelStatus qelsFind_8u(const Qel8u* src, int32_t len, const Qel8u* sub, int32_t subLen, int32_t* index) {
    return find_sub_checked<Qel8u, qel::find_substring>(src, len, sub, subLen, index);
}
QelStatus qelsFind_16u(const Qel16u* src, int32_t len, const Qel16u* sub, int32_t subLen, int32_t* index) {
    return find_sub_checked<Qel16u, qel::find_substring16>(src, len, sub, subLen, index);
}
QelStatus qelsFindRev_8u(const Qel8u* src, int32_t len, const Qel8u* sub, int32_t subLen, int32_t* index) {
    return find_sub_checked<Qel8u, qel::rfind_substring>(src, len, sub, subLen, index);
}
QelStatus qelsFindRev_16u(const Qel16u* src, int32_t len, const Qel16u* sub, int32_t subLen, int32_t* index) {
    return find_sub_checked<Qel16u, qel::rfind_substring16>(src, len, sub, subLen, index);
}

QelStatus qelsFindC_Z_8u(const Qel8u* src, Qel8u c, int32_t* index) {
    return find_unit_z_checked<Qel8u, qel::find_byte_z>(src, c, index);
}
QelStatus qelsFindC_Z_16u(const Qel16u* src, Qel16u c, int32_t* index) {
    return find_unit_z_checked<Qel16u, qel::find_unit16_z>(src, c, index);
}
QelStatus qelsFind_Z_8u(const Qel8u* src, const Qel8u* sub, int32_t* index) {
    return find_sub_z_checked<Qel8u, qel::measure_z8, qel::find_substring>(src, sub, index);
}
QelStatus qelsFind_Z_16u(const Qel16u* src, const Qel16u* sub, int32_t* index) {
    return find_sub_z_checked<Qel16u, qel::measure_z16, qel::find_substring16>(src, sub, index);
}

}  // extern "C"
