// The simple case table of the 16-bit units, shared by the Unicode case
// conversions and the case-insensitive comparison.
//
// Three levels: stage 1 (u >> 6) gives the start of a 64-entry block in stage
// 2, the block entry (u & 63) gives a record number, the record holds
//   bit 21     lower-case mapping exists: lower = u + delta
//   bit 20     upper-case mapping exists: upper = u - delta
//   bits 22-31 delta, signed 10-bit (arithmetic shift right by 22)
// Only one-to-one mappings exist; surrogates are units like any other.
#ifndef QELCH_UNICODE_CASE_TABLE_H
#define QELCH_UNICODE_CASE_TABLE_H

#include <cstdint>

namespace qel {

#include "unicode/case_table.inc"

inline constexpr uint32_t kCaseHasLower = 1u << 21;
inline constexpr uint32_t kCaseHasUpper = 1u << 20;

constexpr uint32_t case_record(uint16_t u) {
    return kCaseRecords[kCaseStage2[kCaseStage1[u >> 6] | (u & 63)]];
}

constexpr int32_t case_delta(uint32_t record) { return static_cast<int32_t>(record) >> 22; }

constexpr uint16_t to_lower_unit(uint16_t u) {
    uint32_t r = case_record(u);
    return (r & kCaseHasLower) ? static_cast<uint16_t>(u + case_delta(r)) : u;
}

constexpr uint16_t to_upper_unit(uint16_t u) {
    uint32_t r = case_record(u);
    return (r & kCaseHasUpper) ? static_cast<uint16_t>(u - case_delta(r)) : u;
}

}  // namespace qel

#endif
