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

namespace {

// The code points that lower-case to a letter without being that letter's
// upper-case mapping (title-case letters such as U+01C5, U+212A KELVIN SIGN,
// U+0130): with the letter and its upper-case mapping, every code point that
// folds to it. Ten in the tables (the capacity leaves room); read from them once.
struct ExtraCaseForms {
    static constexpr int kCapacity = 64;
    int32_t codePoint[kCapacity];
    int32_t folded[kCapacity];
    int count = 0;
};

ExtraCaseForms collect_extra_case_forms() {
    ExtraCaseForms e;
    for (int32_t i = 0; i < kCodePointRecordCount; ++i) {
        const CodePointRecord& rec = kCodePointRecords[i];
        if (rec.lower == 0 || rec.lower == rec.codePoint) continue;
        const CodePointRecord* lower = find_code_point_record(uint32_t(rec.lower));
        if (lower != nullptr && lower->upper == rec.codePoint) continue;
        if (e.count < ExtraCaseForms::kCapacity) {
            e.codePoint[e.count] = rec.codePoint;
            e.folded[e.count] = rec.lower;
            ++e.count;
        }
    }
    return e;
}

const ExtraCaseForms& extra_case_forms() {
    static const ExtraCaseForms extras = collect_extra_case_forms();
    return extras;
}

bool in_range(uint32_t c, uint32_t low, uint32_t high) { return low <= c && c <= high; }

}  // namespace

int case_forms(uint32_t c, uint32_t* forms) {
    int n = 0;
    auto add = [&](uint32_t x) {
        for (int i = 0; i < n; ++i)
            if (forms[i] == x) return;
        if (n < kMaxCaseForms) forms[n++] = x;
    };
    add(c);
    const uint32_t folded = fold_code_point(c);
    if (fold_code_point(folded) == folded) add(folded);
    if (bulk_range_index(folded) < 0) {
        const CodePointRecord* rec = find_code_point_record(folded);
        if (rec != nullptr && rec->upper != 0 && fold_code_point(uint32_t(rec->upper)) == folded)
            add(uint32_t(rec->upper));
    }
    const ExtraCaseForms& extras = extra_case_forms();
    for (int i = 0; i < extras.count; ++i)
        if (uint32_t(extras.folded[i]) == folded) add(uint32_t(extras.codePoint[i]));
    return n;
}

bool case_form_in_range(uint32_t c, uint32_t low, uint32_t high) {
    uint32_t forms[kMaxCaseForms];
    const int n = case_forms(c, forms);
    for (int i = 0; i < n; ++i)
        if (in_range(forms[i], low, high)) return true;
    return false;
}

bool range_takes_above_ascii(uint32_t low, uint32_t high) {
    if (low > high) return false;
    if (high >= 0x80) return true;
    // A code point at or above U+0080 has a form below it only when it
    // lower-cases to one, and then it is not that letter's upper-case form:
    // one of the extra forms (U+212A to "k", U+0130 to "i").
    const ExtraCaseForms& extras = extra_case_forms();
    for (int i = 0; i < extras.count; ++i)
        if (extras.folded[i] < 0x80 && case_form_in_range(uint32_t(extras.codePoint[i]), low, high)) return true;
    return false;
}

}  // namespace qel::re
