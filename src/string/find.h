// Raw search kernels behind the qelsFind* exports. The regular-expression
// search driver calls the 8-bit ones directly as literal prefilters, so they
// take no status and check nothing: the caller guarantees valid pointers
// (may be null only when the length is 0) and non-negative lengths.
//
// Every kernel reads exactly the units it was given: vector loads are placed
// inside the string (overlapping the previous load where a remainder is
// shorter than a vector), never past either end, not even within a page.
// Results are indices in code units, -1 when nothing is found.
#ifndef QELCH_STRING_FIND_H
#define QELCH_STRING_FIND_H

#include <cstddef>
#include <cstdint>

#include "qelch.h"

namespace qel {

// One code unit: lowest / highest position holding `c`.
int32_t find_byte(const Qel8u* s, int32_t len, Qel8u c);
int32_t rfind_byte(const Qel8u* s, int32_t len, Qel8u c);
int32_t find_unit16(const Qel16u* s, int32_t len, Qel16u c);
int32_t rfind_unit16(const Qel16u* s, int32_t len, Qel16u c);

// Substrings: lowest / highest start of `sub`; occurrences may overlap. An
// empty substring, or one longer than the string, is never found.
int32_t find_substring(const Qel8u* s, int32_t len, const Qel8u* sub, int32_t sub_len);
int32_t rfind_substring(const Qel8u* s, int32_t len, const Qel8u* sub, int32_t sub_len);
int32_t find_substring16(const Qel16u* s, int32_t len, const Qel16u* sub, int32_t sub_len);
int32_t rfind_substring16(const Qel16u* s, int32_t len, const Qel16u* sub, int32_t sub_len);

// Zero-terminated strings. Nothing past the terminator is read, so these go
// one unit at a time: a wider load could touch memory the caller never gave.
// The longest string a signed 32-bit length can describe has INT32_MAX units;
// a longer one is reported, not wrapped into a negative length.
constexpr int64_t kMaxZLength = INT32_MAX;
constexpr int64_t kZTooLong = -2;

// Number of units before the first zero, or kZTooLong when the string is
// longer than `max_len` (at most max_len + 1 units are read).
int64_t measure_z8(const Qel8u* s, int64_t max_len = kMaxZLength);
int64_t measure_z16(const Qel16u* s, int64_t max_len = kMaxZLength);

// First position holding `c`, stopping at the terminator: the terminator's
// position (the length) for c == 0, -1 when `c` does not occur, kZTooLong
// when neither `c` nor the terminator is among the first max_len + 1 units.
int64_t find_byte_z(const Qel8u* s, Qel8u c, int64_t max_len = kMaxZLength);
int64_t find_unit16_z(const Qel16u* s, Qel16u c, int64_t max_len = kMaxZLength);

}  // namespace qel

#endif
