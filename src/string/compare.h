// Comparison kernels shared by the compare and equality functions.
#ifndef QELCH_STRING_COMPARE_H
#define QELCH_STRING_COMPARE_H

#include <cstddef>
#include <cstdint>

namespace qel {

// Index of the first byte where a and b differ, or n when they agree.
size_t mismatch_bytes(const uint8_t* a, const uint8_t* b, size_t n);

// Index of the first unit where fold(a[i]) != fold(b[i]), fold being the
// range-and-delta rule (low <= u <= high: u + delta), or n.
size_t mismatch_range_fold_8u(const uint8_t* a, const uint8_t* b, size_t n, uint32_t low, uint32_t high,
                              int32_t delta);
size_t mismatch_range_fold_16u(const uint16_t* a, const uint16_t* b, size_t n, uint32_t low, uint32_t high,
                               int32_t delta);

// Index of the first unit whose simple lower-case mappings differ, or n.
size_t mismatch_unicode_fold_16u(const uint16_t* a, const uint16_t* b, size_t n);

}  // namespace qel

#endif
