// Compare and equality: the vector kernels against plain loops over all
// alignments of both pointers and the lengths around every block size, with
// the difference in the first, a middle and the last unit; the notable
// values; guard pages; argument errors.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "qelch.h"
#include "support/guard.h"
#include "support/random.h"
#include "unicode/case_table.h"

namespace {

template <class T>
using CompareFn = QelStatus (*)(const T*, const T*, int32_t, int32_t*);

uint32_t fold_exact(uint32_t u) { return u; }
uint32_t fold_latin(uint32_t u) { return u >= 'A' && u <= 'Z' ? u + 32 : u; }
uint32_t fold_unicode(uint32_t u) { return qel::to_lower_unit(static_cast<uint16_t>(u)); }

// The plain loop every kernel must agree with.
template <class T>
int32_t ref_compare(const T* a, const T* b, size_t n, uint32_t (*fold)(uint32_t)) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t fa = fold(a[i]), fb = fold(b[i]);
        if (fa != fb) return static_cast<int32_t>(fa) - static_cast<int32_t>(fb);
    }
    return 0;
}

template <class T>
struct Case {
    const char* name;
    CompareFn<T> fn;
    uint32_t (*fold)(uint32_t);
    bool equality;  // result is 1/0 instead of the difference
    int32_t expect(const T* a, const T* b, size_t n) const {
        int32_t d = ref_compare(a, b, n, fold);
        return equality ? d == 0 : d;
    }
};

const Case<uint8_t> kCases8[] = {
    {"Compare_8u", qelsCompare_8u, fold_exact, false},
    {"Equal_8u", qelsEqual_8u, fold_exact, true},
    {"CompareIgnoreCaseLatin_8u", qelsCompareIgnoreCaseLatin_8u, fold_latin, false},
};
const Case<uint16_t> kCases16[] = {
    {"Compare_16u", qelsCompare_16u, fold_exact, false},
    {"Equal_16u", qelsEqual_16u, fold_exact, true},
    {"CompareIgnoreCaseLatin_16u", qelsCompareIgnoreCaseLatin_16u, fold_latin, false},
    {"CompareIgnoreCase_16u", qelsCompareIgnoreCase_16u, fold_unicode, false},
};

// Units that exercise folding: letters of both cases, their neighbours,
// Latin-1 letters, and (16-bit) units with Unicode mappings and units at and
// above 0x8000.
template <class T>
std::vector<T> alphabet() {
    std::vector<T> v;
    for (uint32_t c : std::initializer_list<uint32_t>{'@', 'A', 'M', 'Z', '[', '`', 'a', 'm', 'z', '{', 0x01, 0x7F, 0x80, 0xC0, 0xE0, 0xFF}) v.push_back(static_cast<T>(c));
    if constexpr (sizeof(T) == 2)
        for (uint32_t c : std::initializer_list<uint32_t>{0x0130, 0x0069, 0x0178, 0x00FF, 0x0391, 0x03B1, 0x01C5, 0x01C6, 0x10A0, 0x10D0, 0x8000,
                           0xD800, 0xFF21, 0xFF41, 0xFFFF})
            v.push_back(static_cast<T>(c));
    return v;
}

// A second string that folds equal to `a` but differs exactly in many units
// (so the kernels take their fold path without finding a difference).
template <class T>
std::vector<T> fold_twin(const std::vector<T>& a, uint32_t (*fold)(uint32_t), uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<T> b = a;
    for (auto& u : b)
        if (rng() & 1) u = static_cast<T>(fold(u));
    return b;
}

// Puts a real difference at `pos`: the unit gets a value whose fold differs,
// chosen from pairs that matter (unsigned order, letters vs their range
// neighbours).
template <class T>
void inject(std::vector<T>& a, std::vector<T>& b, size_t pos, uint32_t variant) {
    static const uint32_t pairs8[][2] = {{0xFF, 0x01}, {0x01, 0xFF}, {'Z', '`'}, {'A', 'b'}, {0xC0, 0xE0}, {'[', 'a'}};
    static const uint32_t pairs16[][2] = {{0xFFFF, 0x0000}, {0x8000, 0x7FFF}, {'z', '{'}, {0x0130, 'j'}, {0x0391, 0x03B2}};
    if constexpr (sizeof(T) == 1) {
        const auto& p = pairs8[variant % 6];
        a[pos] = static_cast<T>(p[0]);
        b[pos] = static_cast<T>(p[1]);
    } else {
        const auto& p = pairs16[variant % 5];
        a[pos] = static_cast<T>(p[0]);
        b[pos] = static_cast<T>(p[1]);
    }
}

template <class T>
void check_case(const Case<T>& c, const std::vector<size_t>& lengths, const std::vector<std::pair<size_t, size_t>>& offsets) {
    constexpr size_t kPad = 64 / sizeof(T);
    auto alpha = alphabet<T>();
    std::vector<T> ba(lengths.back() + kPad), bb(lengths.back() + kPad);
    uint32_t seed = 1;
    for (size_t n : lengths) {
        auto a0 = qeltest::random_from<T>(n, seed++, alpha);
        auto b0 = fold_twin(a0, c.fold, seed++);
        std::vector<size_t> positions = {n};  // n: no difference
        if (n) positions.insert(positions.end(), {0, n / 2, n - 1});
        for (size_t pos : positions) {
            auto a = a0, b = b0;
            if (pos < n) inject(a, b, pos, static_cast<uint32_t>(pos + n));
            int32_t want = c.expect(a.data(), b.data(), n);
            for (auto [oa, ob] : offsets) {
                std::copy(a.begin(), a.end(), ba.begin() + oa);
                std::copy(b.begin(), b.end(), bb.begin() + ob);
                // Units just past the end differ, so a kernel that looks too far would notice.
                ba[oa + n] = 1;
                bb[ob + n] = 2;
                int32_t got = 12345;
                ASSERT_EQ(c.fn(ba.data() + oa, bb.data() + ob, static_cast<int32_t>(n), &got), qelOk);
                ASSERT_EQ(got, want) << c.name << " n=" << n << " diff at " << pos << " offsets " << oa << "," << ob;
            }
        }
    }
}

std::vector<size_t> threshold_lengths() {
    std::vector<size_t> v;
    for (size_t n = 0; n <= 40; ++n) v.push_back(n);
    for (size_t n = 60; n <= 70; ++n) v.push_back(n);
    for (size_t n = 126; n <= 132; ++n) v.push_back(n);
    for (size_t n = 254; n <= 258; ++n) v.push_back(n);
    for (size_t n = 510; n <= 514; ++n) v.push_back(n);
    return v;
}

template <class T>
std::vector<std::pair<size_t, size_t>> all_offset_pairs() {
    std::vector<std::pair<size_t, size_t>> v;
    for (size_t oa = 0; oa < 32 / sizeof(T); ++oa)
        for (size_t ob = 0; ob < 32 / sizeof(T); ++ob) v.push_back({oa, ob});
    return v;
}

const std::vector<std::pair<size_t, size_t>> kSomeOffsets = {{0, 0}, {1, 0}, {0, 3}, {5, 9}, {7, 7}, {13, 2}};

std::vector<size_t> lengths_up_to(size_t max) {
    std::vector<size_t> v;
    for (size_t n = 0; n <= max; ++n) v.push_back(n);
    return v;
}

TEST(CompareKernels, AllAlignmentsAroundThresholds8) {
    for (const auto& c : kCases8) check_case(c, threshold_lengths(), all_offset_pairs<uint8_t>());
}
TEST(CompareKernels, AllAlignmentsAroundThresholds16) {
    for (const auto& c : kCases16) check_case(c, threshold_lengths(), all_offset_pairs<uint16_t>());
}
TEST(CompareKernels, EveryLengthTo300AndLarge8) {
    auto lengths = lengths_up_to(300);
    lengths.insert(lengths.end(), {1000, 4099, 5119, 5120, 8192 + 33, 65536 + 17});
    for (const auto& c : kCases8) check_case(c, lengths, kSomeOffsets);
}
TEST(CompareKernels, EveryLengthTo300AndLarge16) {
    auto lengths = lengths_up_to(300);
    lengths.insert(lengths.end(), {1000, 4099, 5119, 5120, 8192 + 33, 65536 + 17});
    for (const auto& c : kCases16) check_case(c, lengths, kSomeOffsets);
}

// Every position of the first difference, with a second one later, at the
// lengths where the kernels change shape (two overlapping vectors, blocks,
// the last block overlapping the one before, the aligned loop, two blocks
// per test on long strings): a kernel that maps a mask bit to the wrong
// byte, or reports a later difference from an overlapping piece, disagrees
// with the plain loop somewhere.
template <class T>
void check_every_position(const Case<T>& c) {
    for (size_t n : {33u, 64u, 65u, 100u, 128u, 129u, 200u, 256u, 300u, 513u, 700u, 5200u}) {
        auto a0 = qeltest::random_from<T>(n, static_cast<uint32_t>(n), alphabet<T>());
        auto b0 = fold_twin(a0, c.fold, static_cast<uint32_t>(n + 7));
        for (size_t pos = 0; pos < n; ++pos) {
            auto a = a0, b = b0;
            inject(a, b, pos, static_cast<uint32_t>(pos));
            if (pos + 1 < n) inject(b, a, n - 1 - (pos % 3 == 0 ? 0 : (n - 1 - pos) / 2), static_cast<uint32_t>(pos + 1));
            int32_t want = c.expect(a.data(), b.data(), n);
            int32_t got = 12345;
            ASSERT_EQ(c.fn(a.data(), b.data(), static_cast<int32_t>(n), &got), qelOk);
            ASSERT_EQ(got, want) << c.name << " n=" << n << " first difference at " << pos;
        }
    }
}

TEST(CompareKernels, EveryFirstDifferencePosition) {
    for (const auto& c : kCases8) check_every_position(c);
    for (const auto& c : kCases16) check_every_position(c);
}

TEST(Compare, NotableValues) {
    struct Row8 {
        CompareFn<uint8_t> fn;
        std::vector<uint8_t> a, b;
        int32_t want;
    };
    const Row8 rows8[] = {
        {qelsCompare_8u, {0xFF}, {0x01}, 254},
        {qelsCompare_8u, {0x01}, {0xFF}, -254},
        {qelsCompare_8u, {}, {}, 0},
        {qelsEqual_8u, {}, {}, 1},
        {qelsEqual_8u, {'a', 'b'}, {'a', 'c'}, 0},
        {qelsCompareIgnoreCaseLatin_8u, {'A', 'B', 'C'}, {'a', 'b', 'd'}, -1},
        {qelsCompareIgnoreCaseLatin_8u, {'Z'}, {'`'}, 26},
        {qelsCompareIgnoreCaseLatin_8u, {0xC0}, {0xE0}, -32},
        {qelsCompareIgnoreCaseLatin_8u, {'H', 'e', 'L', 'L', 'o'}, {'h', 'E', 'l', 'l', 'O'}, 0},
    };
    // Empty vectors may hand out null; length 0 still needs real pointers.
    static const uint8_t dummy8[1] = {0};
    static const uint16_t dummy16[1] = {0};
    auto p8 = [](const std::vector<uint8_t>& v) { return v.empty() ? dummy8 : v.data(); };
    auto p16 = [](const std::vector<uint16_t>& v) { return v.empty() ? dummy16 : v.data(); };
    for (const auto& r : rows8) {
        int32_t got = 777;
        ASSERT_EQ(r.fn(p8(r.a), p8(r.b), static_cast<int32_t>(r.a.size()), &got), qelOk);
        EXPECT_EQ(got, r.want);
    }
    struct Row16 {
        CompareFn<uint16_t> fn;
        std::vector<uint16_t> a, b;
        int32_t want;
    };
    const Row16 rows16[] = {
        {qelsCompare_16u, {0xFFFF}, {0x0000}, 65535},
        {qelsCompare_16u, {}, {}, 0},
        {qelsEqual_16u, {}, {}, 1},
        {qelsCompareIgnoreCaseLatin_16u, {0xFF21}, {0xFF41}, 0xFF21 - 0xFF41},
        {qelsCompareIgnoreCase_16u, {0x0130}, {0x0069}, 0},
        {qelsCompareIgnoreCase_16u, {0x0178}, {0x00FF}, 0},
        {qelsCompareIgnoreCase_16u, {0x0130}, {0x006A}, -1},
        {qelsCompareIgnoreCase_16u, {0x00DF}, {0x0073}, 0xDF - 0x73},
        {qelsCompareIgnoreCase_16u, {0xD800}, {0xDC00}, 0xD800 - 0xDC00},
        {qelsCompareIgnoreCase_16u, {0xFF21, 'Q'}, {0xFF41, 'q'}, 0},
    };
    for (const auto& r : rows16) {
        int32_t got = 777;
        ASSERT_EQ(r.fn(p16(r.a), p16(r.b), static_cast<int32_t>(r.a.size()), &got), qelOk);
        EXPECT_EQ(got, r.want);
    }
}

TEST(Compare, DifferenceBeyondLengthIsIgnored) {
    std::vector<uint8_t> a(100, 'x'), b(100, 'x');
    b[99] = 'y';
    for (const auto& c : kCases8) {
        int32_t got = 5;
        ASSERT_EQ(c.fn(a.data(), b.data(), 99, &got), qelOk);
        EXPECT_EQ(got, c.equality ? 1 : 0) << c.name;
    }
}

template <class T>
void check_guarded(const Case<T>& c) {
    std::vector<size_t> lengths;
    for (size_t n = 1; n <= 70; ++n) lengths.push_back(n);
    // Ends of the block loops: the last block or vector ends at the last unit,
    // also where the loop stops short of it (300) and after pairs (5300).
    lengths.insert(lengths.end(), {127, 128, 129, 200, 300, 511, 512, 513, 700, 5300});
    for (size_t n : lengths)
    for (bool last_differs : {false, true}) {
        auto a = qeltest::random_from<T>(n, static_cast<uint32_t>(n), alphabet<T>());
        auto b = fold_twin(a, c.fold, static_cast<uint32_t>(n + 100));
        // A difference in the last unit makes the kernels locate it in their
        // last piece, right at the guard page.
        if (last_differs) inject(a, b, n - 1, static_cast<uint32_t>(n));
        int32_t want = c.expect(a.data(), b.data(), n);
        for (bool tail_a : {true, false})
            for (size_t odd : qeltest::unit_offsets<T>()) {
                qeltest::Guarded<T> ga(a, tail_a, odd), gb(b, !tail_a, sizeof(T) - 1 - odd);
                int32_t got = 99;
                ASSERT_EQ(c.fn(ga.data(), gb.data(), static_cast<int32_t>(n), &got), qelOk);
                ASSERT_EQ(got, want) << c.name << " n=" << n << " odd " << odd << " last differs " << last_differs;
            }
    }
}

TEST(Compare, GuardPages) {
    for (const auto& c : kCases8) check_guarded(c);
    for (const auto& c : kCases16) check_guarded(c);
}

TEST(Compare, ArgumentErrors) {
    uint8_t a8[1] = {1};
    uint16_t a16[1] = {1};
    for (const auto& c : kCases8) {
        int32_t r = 42;
        EXPECT_EQ(c.fn(nullptr, a8, 1, &r), qelErrNullPtr);
        EXPECT_EQ(c.fn(a8, nullptr, 1, &r), qelErrNullPtr);
        EXPECT_EQ(c.fn(a8, a8, -1, nullptr), qelErrNullPtr);
        EXPECT_EQ(c.fn(a8, a8, -1, &r), qelErrLength);
        EXPECT_EQ(r, 42);
    }
    for (const auto& c : kCases16) {
        int32_t r = 42;
        EXPECT_EQ(c.fn(nullptr, a16, 1, &r), qelErrNullPtr);
        EXPECT_EQ(c.fn(a16, nullptr, 1, &r), qelErrNullPtr);
        EXPECT_EQ(c.fn(a16, a16, -1, nullptr), qelErrNullPtr);
        EXPECT_EQ(c.fn(a16, a16, -1, &r), qelErrLength);
        EXPECT_EQ(r, 42);
    }
}

}  // namespace
