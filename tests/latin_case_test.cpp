// Latin case conversion: every export against the per-unit rule over all
// lengths to 300 and all source/destination alignments, in place and copying,
// with sentinels around the destination; notable units; guard pages; errors.
#include <gtest/gtest.h>

#include <vector>

#include "qelch.h"
#include "support/guard.h"
#include "support/random.h"

namespace {

template <class T>
struct Conv {
    const char* name;
    QelStatus (*copy)(const T*, T*, int32_t);
    QelStatus (*in_place)(T*, int32_t);
    bool lower;
    T apply(T u) const {
        if (lower) return u >= 'A' && u <= 'Z' ? static_cast<T>(u + 32) : u;
        return u >= 'a' && u <= 'z' ? static_cast<T>(u - 32) : u;
    }
};

const Conv<uint8_t> kConv8[] = {{"LowercaseLatin_8u", qelsLowercaseLatin_8u, qelsLowercaseLatin_8u_I, true},
                                {"UppercaseLatin_8u", qelsUppercaseLatin_8u, qelsUppercaseLatin_8u_I, false}};
const Conv<uint16_t> kConv16[] = {{"LowercaseLatin_16u", qelsLowercaseLatin_16u, qelsLowercaseLatin_16u_I, true},
                                  {"UppercaseLatin_16u", qelsUppercaseLatin_16u, qelsUppercaseLatin_16u_I, false}};

template <class T>
std::vector<T> sample(size_t n, uint32_t seed) {
    // Letters, their range neighbours, and units that only look like letters
    // modulo 256 (0x141 = 'A' + 0x100) or are negative as signed lanes.
    std::vector<T> alpha;
    for (uint32_t c = '@'; c <= '{'; ++c) alpha.push_back(static_cast<T>(c));
    for (uint32_t c : {0x00u, 0x80u, 0xC0u, 0xDEu, 0xE0u, 0xFFu}) alpha.push_back(static_cast<T>(c));
    if constexpr (sizeof(T) == 2)
        for (uint32_t c : {0x141u, 0x161u, 0x8041u, 0xFF21u, 0xFF41u, 0xFFFFu}) alpha.push_back(static_cast<T>(c));
    return qeltest::random_from<T>(n, seed, alpha);
}

template <class T>
void check_all(const Conv<T>& c) {
    constexpr size_t kAlign = 32 / sizeof(T);
    constexpr T kSentinel = static_cast<T>(0x5A);  // 'Z': a converter that writes too far changes it
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    lengths.insert(lengths.end(), {1000, 4096, 4099});
    for (size_t n : lengths) {
        auto in = sample<T>(n, static_cast<uint32_t>(n));
        std::vector<T> want(n);
        for (size_t i = 0; i < n; ++i) want[i] = c.apply(in[i]);
        // Every source/destination alignment for the short lengths, a few for the rest.
        size_t so_max = n <= 40 ? kAlign : 3, dst_max = n <= 300 ? kAlign : 3;
        for (size_t so = 0; so < so_max; ++so) {
            for (size_t dst_off = 0; dst_off < dst_max; ++dst_off) {
                std::vector<T> src(n + kAlign + 1), dst(n + 2 * kAlign + 1, kSentinel);
                std::copy(in.begin(), in.end(), src.begin() + so);
                ASSERT_EQ(c.copy(src.data() + so, dst.data() + dst_off + 1, static_cast<int32_t>(n)), qelOk);
                for (size_t i = 0; i < dst.size(); ++i) {
                    bool inside = i > dst_off && i <= dst_off + n;
                    T w = inside ? want[i - dst_off - 1] : kSentinel;
                    ASSERT_EQ(dst[i], w) << c.name << " n=" << n << " src+" << so << " dst+" << dst_off << " at " << i;
                }
                std::vector<T> buf(n + 2 * kAlign + 1, kSentinel);
                std::copy(in.begin(), in.end(), buf.begin() + dst_off + 1);
                ASSERT_EQ(c.in_place(buf.data() + dst_off + 1, static_cast<int32_t>(n)), qelOk);
                for (size_t i = 0; i < buf.size(); ++i) {
                    bool inside = i > dst_off && i <= dst_off + n;
                    ASSERT_EQ(buf[i], inside ? want[i - dst_off - 1] : kSentinel) << c.name << " in place n=" << n;
                }
            }
        }
    }
}

TEST(LatinCase, KernelsAgainstRuleAllLengthsAndAlignments) {
    for (const auto& c : kConv8) check_all(c);
    for (const auto& c : kConv16) check_all(c);
}

TEST(LatinCase, RangeBoundaries) {
    const std::vector<uint8_t> in = {64, 65, 90, 91, 96, 97, 122, 123};
    std::vector<uint8_t> lo(in.size()), up(in.size());
    ASSERT_EQ(qelsLowercaseLatin_8u(in.data(), lo.data(), 8), qelOk);
    ASSERT_EQ(qelsUppercaseLatin_8u(in.data(), up.data(), 8), qelOk);
    EXPECT_EQ(lo, (std::vector<uint8_t>{64, 97, 122, 91, 96, 97, 122, 123}));
    EXPECT_EQ(up, (std::vector<uint8_t>{64, 65, 90, 91, 96, 65, 90, 123}));

    std::vector<uint8_t> latin1;
    for (int c = 0xC0; c <= 0xDE; ++c) latin1.push_back(static_cast<uint8_t>(c));
    auto copy = latin1;
    ASSERT_EQ(qelsLowercaseLatin_8u_I(copy.data(), static_cast<int32_t>(copy.size())), qelOk);
    EXPECT_EQ(copy, latin1);

    Qel16u wide = 0xFF21, out = 0;
    ASSERT_EQ(qelsLowercaseLatin_16u(&wide, &out, 1), qelOk);
    EXPECT_EQ(out, 0xFF21);
}

TEST(LatinCase, InPlaceFromOddOffsetConvertsOnce) {
    // 40 bytes one past a 32-byte boundary: the head and the tail vector both
    // overlap the aligned part, yet every letter changes exactly once.
    alignas(32) uint8_t buf[64];
    for (int i = 0; i < 40; ++i) buf[1 + i] = static_cast<uint8_t>('A' + i % 26);
    ASSERT_EQ(qelsLowercaseLatin_8u_I(buf + 1, 40), qelOk);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(buf[1 + i], 'a' + i % 26) << i;
}

template <class T>
void check_guarded(const Conv<T>& c) {
    for (size_t n = 1; n <= 70; ++n) {
        auto in = sample<T>(n, static_cast<uint32_t>(n) + 7);
        std::vector<T> want(n);
        for (size_t i = 0; i < n; ++i) want[i] = c.apply(in[i]);
        for (bool at_tail : {true, false})
            for (size_t odd : qeltest::unit_offsets<T>()) {
                qeltest::Guarded<T> src(in, at_tail, odd), dst(std::vector<T>(n), !at_tail, sizeof(T) - 1 - odd);
                ASSERT_EQ(c.copy(src.data(), dst.data(), static_cast<int32_t>(n)), qelOk);
                ASSERT_EQ(dst.contents(), want) << c.name << " n=" << n << " odd " << odd;
                ASSERT_EQ(c.in_place(src.data(), static_cast<int32_t>(n)), qelOk);
                ASSERT_EQ(src.contents(), want) << c.name << " n=" << n << " odd " << odd;
            }
    }
}

TEST(LatinCase, GuardPages) {
    for (const auto& c : kConv8) check_guarded(c);
    for (const auto& c : kConv16) check_guarded(c);
}

template <class T>
void check_errors(const Conv<T>& c) {
    T unit = 'A', out = 'Q';
    EXPECT_EQ(c.copy(nullptr, &out, 1), qelErrNullPtr);
    EXPECT_EQ(c.copy(&unit, nullptr, 0), qelErrNullPtr);
    EXPECT_EQ(c.copy(&unit, &out, -1), qelErrLength);
    EXPECT_EQ(c.copy(&unit, &out, 0), qelOk);
    EXPECT_EQ(c.in_place(nullptr, -1), qelErrNullPtr);
    EXPECT_EQ(c.in_place(&unit, -1), qelErrLength);
    EXPECT_EQ(c.in_place(&unit, 0), qelOk);
    EXPECT_EQ(unit, 'A');
    EXPECT_EQ(out, 'Q');
}

TEST(LatinCase, ArgumentErrors) {
    for (const auto& c : kConv8) check_errors(c);
    for (const auto& c : kConv16) check_errors(c);
}

}  // namespace
