// Unicode 5.1 code-point services of the regular-expression engine: the
// category of a code point, the property tests of RE_UPROP / RE_URANGE /
// RE_URANGES nodes, and the case folding used under RE_OPT_IGNORECASE.
// Backed by the generated, read-only tables (tools/ makes them).
#ifndef QELCH_REGEX_COMPILE_UNICODE_DATA_H
#define QELCH_REGEX_COMPILE_UNICODE_DATA_H

#include <cstdint>

namespace qel::re {

struct CodePointRecord {
    int32_t codePoint;
    int32_t category;  // major class in bits 7-13, subcategory in bits 0-6
    int32_t upper;     // simple upper-case mapping, 0 for none
    int32_t lower;     // simple lower-case mapping, 0 for none
};
static_assert(sizeof(CodePointRecord) == 16);

constexpr int32_t kCategoryMarkMajor = 0x0100;  // "M": combining marks
constexpr int32_t kMajorMask = 0x3F80;          // bits 7-13

// Index of the bulk range holding c, or -1.
int bulk_range_index(uint32_t c);
// The record of c (outside the bulk ranges), or null when c has none.
const CodePointRecord* find_code_point_record(uint32_t c);
// The category of c: from its bulk range, else its record; false when c is unassigned.
bool code_point_category(uint32_t c, int32_t* category);

// Property tests; `negate` is the node's negation operand (non-zero = negated).
bool uprop_test(uint32_t c, int32_t category, int32_t negate);
bool urange_test(uint32_t c, int32_t low, int32_t high, int32_t negate);
bool uranges_test(uint32_t c, const int32_t* pairs, int32_t count, int32_t negate);

// Case folding of a code point: inside a bulk range unchanged; otherwise the
// record's lower-case mapping when it has one; otherwise unchanged.
uint32_t fold_code_point(uint32_t c);
// The case forms of c: every code point with the same folded form, c
// included (at most kMaxCaseForms); returns their number.
constexpr int kMaxCaseForms = 8;
int case_forms(uint32_t c, uint32_t* forms);
// Whether one of c's case forms lies in [low, high]: how a range takes a
// character under ignore-case. Folding the range's ends instead would move
// the range: "[\x{c0}-\x{de}]" would lose U+00D7 and gain U+00F7, and
// "[\x{100}-\x{17f}]" would miss U+00FF, whose upper-case form U+0178 it holds.
bool case_form_in_range(uint32_t c, uint32_t low, uint32_t high);
// Whether [low, high] takes, under ignore-case, a code point at or above
// U+0080: whether a range of one-byte characters can take a character of
// several bytes.
bool range_takes_above_ascii(uint32_t low, uint32_t high);

}  // namespace qel::re

#endif
