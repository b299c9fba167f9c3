// Code-point services over the generated Unicode 5.1 tables.
//
// Lookup order matters for the results, not only for speed: a code point in
// one of the bulk ranges takes the range's category (the record table has no
// entries there); every other code point is looked up by exact value in the
// sorted record table. A code point past the last record and outside the bulk
// ranges is neither assigned nor "unassigned" for RE_UPROP: it matches no
// category test, negated or not.
#include "regex/compile/unicode_data.h"

#include "regex/compile/unicode_tables.h"

namespace qel::re {

namespace {

constexpr int32_t kSubcategoryMask = 0x7F;
constexpr int32_t kUnassigned = 0x2010;  // Cn

}  // namespace

int bulk_range_index(uint32_t c) {
    for (int i = 0; i < kBulkRangeCount; ++i) {
        if (c >= uint32_t(kBulkRanges[i].first) && c <= uint32_t(kBulkRanges[i].last)) return i;
    }
    return -1;
}

const CodePointRecord* find_code_point_record(uint32_t c) {
    int32_t lo = 0;
    int32_t hi = kCodePointRecordCount;  // search [lo, hi)
    while (lo < hi) {
        int32_t mid = lo + (hi - lo) / 2;
        uint32_t v = uint32_t(kCodePointRecords[mid].codePoint);
        if (v == c) return &kCodePointRecords[mid];
        if (v < c) lo = mid + 1;
        else hi = mid;
    }
    return nullptr;
}

bool code_point_category(uint32_t c, int32_t* category) {
    int bulk = bulk_range_index(c);
    if (bulk >= 0) {
        *category = kBulkRanges[bulk].category;
        return true;
    }
    const CodePointRecord* rec = find_code_point_record(c);
    if (rec == nullptr) return false;
    *category = rec->category;
    return true;
}

bool uprop_test(uint32_t c, int32_t category, int32_t negate) {
    int bulk = bulk_range_index(c);
    if (bulk >= 0) {
        // Bulk ranges: the range's category must hold every bit asked for.
        bool holds = (kBulkRanges[bulk].category & category) == category;
        return negate == 0 ? holds : !holds;
    }
    if (c > uint32_t(kCodePointRecords[kCodePointRecordCount - 1].codePoint)) return false;
    const CodePointRecord* rec = find_code_point_record(c);
    if (rec == nullptr) return negate == 0 ? category == kUnassigned : category != kUnassigned;
    int32_t v = rec->category;
    bool holds = (v & ~kSubcategoryMask) == (category & ~kSubcategoryMask) &&
                 ((category & kSubcategoryMask) == 0 || (v & category & kSubcategoryMask) != 0);
    return negate == 0 ? holds : !holds;
}

bool urange_test(uint32_t c, int32_t low, int32_t high, int32_t negate) {
    // Compared as signed 64-bit so that code points above 0x7FFFFFFF (never
    // produced by the UTF-8 reader, but representable) cannot wrap.
    int64_t v = int64_t(c);
    bool inside = v >= low && v <= high;
    return negate == 0 ? inside : !inside;
}

bool uranges_test(uint32_t c, const int32_t* pairs, int32_t count, int32_t negate) {
    int64_t v = int64_t(c);
    bool inside = false;
    for (int32_t i = 0; i < count && !inside; ++i) inside = v >= pairs[2 * i] && v <= pairs[2 * i + 1];
    return negate == 0 ? inside : !inside;
}

uint32_t fold_code_point(uint32_t c) {
    if (bulk_range_index(c) >= 0) return c;
    const CodePointRecord* rec = find_code_point_record(c);
    if (rec != nullptr && rec->lower != 0) return uint32_t(rec->lower);
    return c;
}

bool folds_from_above_ascii(uint32_t low, uint32_t high) {
    if (low > high) return false;
    // A code point with no record folds to itself.
    if (high >= 0x80) return true;
    // Bulk ranges and code points without a record fold to themselves, so
    // only a record can fold below U+0080.
    for (int32_t i = 0; i < kCodePointRecordCount; ++i) {
        const CodePointRecord& rec = kCodePointRecords[i];
        if (rec.codePoint < 0x80) continue;
        const uint32_t folded = fold_code_point(uint32_t(rec.codePoint));
        if (folded >= low && folded <= high) return true;
    }
    return false;
}

}  // namespace qel::re
