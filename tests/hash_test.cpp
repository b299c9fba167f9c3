// Hashes: every kernel against its formula over lengths 0-200 and a few
// alignments (the 8-bit shift-xor has separate paths below and from 32
// bytes), known values, the zero stop of times-33-xor, guard pages, errors.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qelch.h"
#include "support/guard.h"
#include "support/random.h"

namespace {

template <class T>
uint32_t ref_shift_xor(const T* c, size_t n) {
    uint32_t h = 0;
    for (size_t i = 0; i < n; ++i) h = (h << 1) ^ c[i];
    return h;
}
template <class T>
uint32_t ref_times33_xor(const T* c, size_t n) {
    uint32_t h = 5381;
    for (size_t i = 0; i < n; ++i) {
        if (c[i] == 0) break;
        h = (h * 33) ^ c[i];
    }
    return h;
}
template <class T>
uint32_t ref_times31_add(const T* c, size_t n) {
    uint32_t h = 0;
    for (size_t i = 0; i < n; ++i) h = h * 31 + c[i];
    return h;
}

template <class T>
struct Hash {
    const char* name;
    QelStatus (*fn)(const T*, int32_t, Qel32u*);
    uint32_t (*ref)(const T*, size_t);
};

const Hash<uint8_t> kHash8[] = {{"Hash_8u32u", qelsHash_8u32u, ref_shift_xor<uint8_t>},
                                {"HashMSCS_8u32u", qelsHashMSCS_8u32u, ref_times33_xor<uint8_t>},
                                {"HashSJ2_8u32u", qelsHashSJ2_8u32u, ref_times31_add<uint8_t>}};
const Hash<uint16_t> kHash16[] = {{"Hash_16u32u", qelsHash_16u32u, ref_shift_xor<uint16_t>},
                                  {"HashMSCS_16u32u", qelsHashMSCS_16u32u, ref_times33_xor<uint16_t>},
                                  {"HashSJ2_16u32u", qelsHashSJ2_16u32u, ref_times31_add<uint16_t>}};

template <class T>
void check_formula(const Hash<T>& h) {
    // Mostly non-zero units (so times-33-xor runs far), full unit range.
    auto data = qeltest::random_units<T>(5000 + 16, 3, 1);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
    lengths.insert(lengths.end(), {1023, 4096, 5000});
    for (size_t n : lengths) {
        for (size_t off = 0; off < 8; ++off) {
            Qel32u got = 0xDEADBEEF;
            ASSERT_EQ(h.fn(data.data() + off, static_cast<int32_t>(n), &got), qelOk);
            ASSERT_EQ(got, h.ref(data.data() + off, n)) << h.name << " n=" << n << " off=" << off;
        }
    }
}

TEST(Hash, KernelsMatchFormulas) {
    for (const auto& h : kHash8) check_formula(h);
    for (const auto& h : kHash16) check_formula(h);
}

TEST(Hash, KnownValues) {
    const uint8_t abc8[] = {'a', 'b', 'c'};
    const uint16_t abc16[] = {'a', 'b', 'c'};
    Qel32u h = 0;
    ASSERT_EQ(qelsHashSJ2_16u32u(abc16, 3, &h), qelOk);
    EXPECT_EQ(h, 96354u);
    ASSERT_EQ(qelsHashSJ2_8u32u(abc8, 3, &h), qelOk);
    EXPECT_EQ(h, 96354u);
    ASSERT_EQ(qelsHashMSCS_8u32u(abc8, 1, &h), qelOk);
    EXPECT_EQ(h, 177604u);
    ASSERT_EQ(qelsHash_8u32u(abc8, 3, &h), qelOk);
    EXPECT_EQ(h, ((97u << 2) ^ (98u << 1) ^ 99u));

    // Empty strings.
    for (const auto& f : kHash8) {
        ASSERT_EQ(f.fn(abc8, 0, &h), qelOk);
        EXPECT_EQ(h, f.ref == ref_times33_xor<uint8_t> ? 5381u : 0u) << f.name;
    }
    for (const auto& f : kHash16) {
        ASSERT_EQ(f.fn(abc16, 0, &h), qelOk);
        EXPECT_EQ(h, f.ref == ref_times33_xor<uint16_t> ? 5381u : 0u) << f.name;
    }
}

TEST(Hash, Times33StopsAtZeroUnit) {
    const uint8_t s8[] = {'a', 'b', 0, 'c', 'd'};
    const uint16_t s16[] = {'a', 'b', 0, 'c', 'd'};
    Qel32u full = 0, prefix = 1;
    ASSERT_EQ(qelsHashMSCS_8u32u(s8, 5, &full), qelOk);
    ASSERT_EQ(qelsHashMSCS_8u32u(s8, 2, &prefix), qelOk);
    EXPECT_EQ(full, prefix);
    ASSERT_EQ(qelsHashMSCS_16u32u(s16, 5, &full), qelOk);
    ASSERT_EQ(qelsHashMSCS_16u32u(s16, 2, &prefix), qelOk);
    EXPECT_EQ(full, prefix);
    ASSERT_EQ(qelsHashMSCS_8u32u(s8 + 2, 3, &full), qelOk);
    EXPECT_EQ(full, 5381u);
}

TEST(Hash, ShiftXorDependsOnlyOnLast32Units) {
    auto a = qeltest::random_units<uint8_t>(40, 9);
    Qel32u whole = 0, last = 1;
    ASSERT_EQ(qelsHash_8u32u(a.data(), 40, &whole), qelOk);
    ASSERT_EQ(qelsHash_8u32u(a.data() + 8, 32, &last), qelOk);
    EXPECT_EQ(whole, last);
}

template <class T>
void check_guarded(const Hash<T>& h) {
    for (size_t n = 1; n <= 80; ++n) {
        auto in = qeltest::random_units<T>(n, static_cast<uint32_t>(n), 1);
        for (bool at_tail : {true, false})
            for (size_t odd : qeltest::unit_offsets<T>()) {
                qeltest::Guarded<T> g(in, at_tail, odd);
                Qel32u got = 0;
                ASSERT_EQ(h.fn(g.data(), static_cast<int32_t>(n), &got), qelOk);
                ASSERT_EQ(got, h.ref(in.data(), n)) << h.name << " n=" << n << " odd " << odd;
            }
    }
}

TEST(Hash, GuardPages) {
    for (const auto& h : kHash8) check_guarded(h);
    for (const auto& h : kHash16) check_guarded(h);
}

template <class T>
void check_errors(const Hash<T>& h) {
    T unit = 1;
    Qel32u out = 77;
    EXPECT_EQ(h.fn(nullptr, 1, &out), qelErrNullPtr) << h.name;
    EXPECT_EQ(h.fn(&unit, -1, nullptr), qelErrNullPtr) << h.name;
    EXPECT_EQ(h.fn(&unit, -1, &out), qelErrLength) << h.name;
    EXPECT_EQ(out, 77u);
}

TEST(Hash, ArgumentErrors) {
    for (const auto& h : kHash8) check_errors(h);
    for (const auto& h : kHash16) check_errors(h);
}

}  // namespace
