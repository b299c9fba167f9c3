// Stand-ins for the code-point services until the generated Unicode tables
// are in the tree: weak definitions, so the real ones replace them when both
// are linked. They know no code point beyond ASCII case pairs.
// Remove this file once the code-point services land.
#include "regex/compile/unicode_data.h"

namespace qel::re {

__attribute__((weak)) int bulk_range_index(uint32_t) { return -1; }
__attribute__((weak)) const CodePointRecord* find_code_point_record(uint32_t) { return nullptr; }
__attribute__((weak)) bool code_point_category(uint32_t, int32_t*) { return false; }
__attribute__((weak)) bool uprop_test(uint32_t, int32_t category, int32_t negate) {
    return negate == 0 ? category == 0x2010 : category != 0x2010;
}
__attribute__((weak)) bool urange_test(uint32_t c, int32_t low, int32_t high, int32_t negate) {
    const bool in = int64_t(c) >= low && int64_t(c) <= high;
    return negate ? !in : in;
}
__attribute__((weak)) bool uranges_test(uint32_t c, const int32_t* pairs, int32_t count, int32_t negate) {
    bool in = false;
    for (int32_t i = 0; i < count && !in; ++i) in = int64_t(c) >= pairs[2 * i] && int64_t(c) <= pairs[2 * i + 1];
    return negate ? !in : in;
}
__attribute__((weak)) uint32_t fold_code_point(uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

}  // namespace qel::re
