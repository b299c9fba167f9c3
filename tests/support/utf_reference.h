// Plain step-by-step UTF-8 <-> UTF-16 converters, written straight from the
// conversion rules and sharing no code with the library. The differential
// tests and the fuzz targets compare the library with them unit by unit and
// count by count.
#ifndef QELCH_TEST_UTF_REFERENCE_H
#define QELCH_TEST_UTF_REFERENCE_H

#include <cstdint>

namespace qeltest {

struct UtfRefResult {
    int32_t read;
    int32_t written;
};

namespace utfref {

constexpr uint32_t kMask[6] = {0xFF, 0x1F, 0x0F, 0x07, 0x03, 0x01};
constexpr uint32_t kLargest[6] = {0x7F, 0x7FF, 0xFFFF, 0x1FFFFF, 0x3FFFFFF, 0x7FFFFFFF};
constexpr uint32_t kPrefix[6] = {0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

inline uint16_t swap16(uint32_t u, bool swap) {
    uint16_t v = static_cast<uint16_t>(u);
    return swap ? static_cast<uint16_t>(((v & 0xFF) << 8) | (v >> 8)) : v;
}

inline int leading_ones(uint32_t b) {
    int ones = 0;
    for (uint32_t bit = 0x80; bit != 0 && (b & bit); bit >>= 1) ++ones;
    return ones;
}

// The first k whose largest value is not below v.
inline int first_fitting(uint32_t v) {
    int j = 0;
    while (kLargest[j] < v) ++j;
    return j;
}

}  // namespace utfref

// Decoding. A sequence whose lead announces more continuation bytes than the
// source still holds stops the conversion before its lead byte.
inline UtfRefResult ref_utf8_to_utf16(const uint8_t* src, int32_t srcLen, uint16_t* dst, int32_t dstLen, bool swap) {
    using namespace utfref;
    int32_t i = 0, o = 0;
    while (o < dstLen && i < srcLen) {
        const uint32_t b = src[i];
        if (b < 0x80) {
            dst[o++] = swap16(b, swap);
            i += 1;
            continue;
        }
        const int k = leading_ones(b) - 1;
        bool malformed = (k == 0 || b == 0xFE || b == 0xFF);
        uint32_t value = 0;
        if (!malformed) {
            if (srcLen - i - 1 < k) break;  // truncated at the end of the source
            value = (b & kMask[k]) << (6 * k);
            for (int c = 0; c < k; ++c) {
                const uint32_t next = src[i + 1 + c];
                if ((next >> 6) != 2) {
                    malformed = true;
                    break;
                }
                value |= (next & 0x3F) << (6 * (k - 1 - c));
            }
            if (!malformed && first_fitting(value) != k) malformed = true;
        }
        if (malformed) {
            dst[o++] = swap16(b, swap);
            i += 1;
            continue;
        }
        if (value <= 0xFFFF) {
            dst[o++] = swap16(value, swap);
        } else {
            if (dstLen - o < 2) break;
            dst[o++] = swap16(0xD800 | (((value - 0x10000) >> 10) & 0x3FF), swap);
            dst[o++] = swap16(0xDC00 | (value & 0x3FF), swap);
        }
        i += k + 1;
    }
    return {i, o};
}

// Encoding.
inline UtfRefResult ref_utf16_to_utf8(const uint16_t* src, int32_t srcLen, uint8_t* dst, int32_t dstLen, bool swap) {
    using namespace utfref;
    int32_t i = 0, o = 0;
    while (i < srcLen && dstLen - o != 0) {
        const uint32_t u = swap16(src[i], swap);
        uint32_t value = u;
        int consumed = 1;
        const bool high = u >= 0xD800 && u <= 0xDBFF;
        if (high && i + 1 < srcLen) {
            const uint32_t next = swap16(src[i + 1], swap);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                value = (((u & 0x3FF) << 10) | (next & 0x3FF)) + 0x10000;
                consumed = 2;
            }
        }
        const int k = first_fitting(value);
        uint8_t scratch[6];
        for (int c = 0; c < k; ++c) scratch[1 + c] = static_cast<uint8_t>(0x80 | ((value >> (6 * (k - 1 - c))) & 0x3F));
        scratch[0] = static_cast<uint8_t>(kPrefix[k] | (value >> (6 * k)));
        if (dstLen - o < k + 1) break;
        for (int c = 0; c <= k; ++c) dst[o++] = scratch[c];
        i += consumed;
    }
    return {i, o};
}

}  // namespace qeltest

#endif
