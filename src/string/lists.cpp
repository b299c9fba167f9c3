// Lists of strings: join (with or without a separator unit) and split at a
// separator unit into caller slots.
//
// List entries are checked only when they are reached: a null pointer or a
// negative length in entry k is reported after entries 0..k-1 have been
// written (for the split, with their slot lengths updated but the piece count
// not written), which callers can see and may rely on.
#include <cstdint>

#include "frame/frame.h"
#include "string/find.h"

namespace qel {
namespace {

inline QelStatus copy_units(const Qel8u* s, Qel8u* d, int32_t n) { return copy_8u(s, d, n); }
inline QelStatus copy_units(const Qel16u* s, Qel16u* d, int32_t n) { return copy_16u(s, d, n); }

// The separator search is the single-unit search of the find family; -1
// means the piece runs to the end of what remains.
inline int32_t find_separator(const Qel8u* p, int32_t n, Qel8u c) { return find_byte(p, n, c); }
inline int32_t find_separator(const Qel16u* p, int32_t n, Qel16u c) { return find_unit16(p, n, c); }

template <class T, bool WithSeparator>
QelStatus concat_list(const T* const* srcs, const int32_t* lens, int32_t count, T separator, T* dst) {
    if (any_null(srcs, lens, dst)) return qelErrNullPtr;
    if (count < 1) return qelErrSize;
    T* at = dst;
    for (int32_t k = 0; k < count; ++k) {
        if (srcs[k] == nullptr) return qelErrNullPtr;
        if (lens[k] < 0) return qelErrLength;
        if (WithSeparator && k > 0) store_unit(at++, separator);
        if (lens[k] > 0) copy_units(srcs[k], at, lens[k]);
        at += lens[k];
    }
    return qelOk;
}

template <class T>
QelStatus split(const T* src, int32_t len, T separator, T** slots, int32_t* slot_lens, int32_t* count) {
    if (any_null(src, slots, slot_lens, count)) return qelErrNullPtr;
    if (any_negative(len)) return qelErrLength;
    int32_t slot_count = *count;
    if (slot_count < 1) return qelErrSize;
    int32_t remaining = len;
    const T* at = src;
    int32_t k = 0;
    bool truncated = false;
    while (remaining >= 1 && k < slot_count) {
        if (slots[k] == nullptr) return qelErrNullPtr;
        if (slot_lens[k] < 0) return qelErrLength;
        int32_t found = find_separator(at, remaining, separator);
        int32_t piece = found < 0 ? remaining : found;
        if (piece <= slot_lens[k]) {
            slot_lens[k] = piece;
        } else {
            truncated = true;  // the slot keeps its room as its length; the rest of the piece is dropped
        }
        if (slot_lens[k] > 0) copy_units(at, slots[k], slot_lens[k]);
        // Past the piece and its separator; a piece that ran to the end leaves -1.
        if (piece == remaining) {
            remaining = -1;
        } else {
            remaining -= piece + 1;
            at += piece + 1;
        }
        ++k;
    }
    *count = k;
    if (remaining > 0) return qelWrnSplitIncomplete;
    return truncated ? qelWrnTruncated : qelOk;
}

}  // namespace
}  // namespace qel

extern "C" {

QEL_API QelStatus qelsConcat_8u_D2L(const Qel8u* const srcs[], const int32_t lens[], int32_t count, Qel8u* dst) {
    return qel::concat_list<Qel8u, false>(srcs, lens, count, 0, dst);
}
QEL_API QelStatus qelsConcat_16u_D2L(const Qel16u* const srcs[], const int32_t lens[], int32_t count, Qel16u* dst) {
    return qel::concat_list<Qel16u, false>(srcs, lens, count, 0, dst);
}
QEL_API QelStatus qelsConcatC_8u_D2L(const Qel8u* const srcs[], const int32_t lens[], int32_t count, Qel8u separator,
                                     Qel8u* dst) {
    return qel::concat_list<Qel8u, true>(srcs, lens, count, separator, dst);
}
QEL_API QelStatus qelsConcatC_16u_D2L(const Qel16u* const srcs[], const int32_t lens[], int32_t count,
                                      Qel16u separator, Qel16u* dst) {
    return qel::concat_list<Qel16u, true>(srcs, lens, count, separator, dst);
}
QEL_API QelStatus qelsSplitC_8u_D2L(const Qel8u* src, int32_t len, Qel8u separator, Qel8u* slots[],
                                    int32_t slotLens[], int32_t* count) {
    return qel::split(src, len, separator, slots, slotLens, count);
}
QEL_API QelStatus qelsSplitC_16u_D2L(const Qel16u* src, int32_t len, Qel16u separator, Qel16u* slots[],
                                     int32_t slotLens[], int32_t* count) {
    return qel::split(src, len, separator, slots, slotLens, count);
}

}  // extern "C"
