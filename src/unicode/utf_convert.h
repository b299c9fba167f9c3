// UTF-8 <-> UTF-16 conversion kernels. Both directions run one character at
// a time in the scalar form; the AVX2 form converts whole vectors of ASCII and
// of well-formed one- to three-byte characters and hands everything else
// (four-byte and longer sequences, malformed bytes, surrogate pairs, the last
// few units of source or destination) to the scalar form, so both give the
// same units and the same counts for every input.
//
// Counts are size_t: the exported functions map a negative length to 0
// before calling in.
#ifndef QELCH_UNICODE_UTF_CONVERT_H
#define QELCH_UNICODE_UTF_CONVERT_H

#include <cstddef>

#include "qelch.h"

namespace qel {

struct UtfProgress {
    size_t read;     // source units consumed
    size_t written;  // destination units written
};

// UTF-8 -> 16-bit units. Stops when the destination is full, when a character
// needs two units and one is left, or before a sequence whose lead byte
// announces more continuation bytes than the source still has.
UtfProgress utf8_to_utf16_scalar(const Qel8u* src, size_t n, Qel16u* dst, size_t cap, bool swap);
UtfProgress utf8_to_utf16_avx2(const Qel8u* src, size_t n, Qel16u* dst, size_t cap, bool swap);
UtfProgress utf8_to_utf16(const Qel8u* src, size_t n, Qel16u* dst, size_t cap, bool swap);

// 16-bit units -> UTF-8. Stops before a character whose bytes do not all fit.
UtfProgress utf16_to_utf8_scalar(const Qel16u* src, size_t n, Qel8u* dst, size_t cap, bool swap);
UtfProgress utf16_to_utf8_avx2(const Qel16u* src, size_t n, Qel8u* dst, size_t cap, bool swap);
UtfProgress utf16_to_utf8(const Qel16u* src, size_t n, Qel8u* dst, size_t cap, bool swap);

}  // namespace qel

#endif
