// Unicode simple case conversion of 16-bit units: the whole mapping against an
// oracle built here from the run list of the case data (independently of the
// library's generated table), the vector path against that oracle over
// lengths and offsets, guard pages, and argument errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "qelch.h"
#include "support/guard.h"
#include "support/random.h"
#include "unicode/case_table.h"

namespace {

struct Run {
    uint16_t first, last;
    uint8_t step;  // 2: every second unit of the run
    int16_t delta;
};

// Lower-case mappings: unit u of a run maps to u + delta.
constexpr Run kLowerRuns[] = {
    {0x0041, 0x005A, 1, 32}, {0x00C0, 0x00D6, 1, 32}, {0x00D8, 0x00DE, 1, 32}, {0x0100, 0x012E, 2, 1},
    {0x0130, 0x0130, 1, -199}, {0x0132, 0x0136, 2, 1}, {0x0139, 0x0147, 2, 1}, {0x014A, 0x0176, 2, 1},
    {0x0178, 0x0178, 1, -121}, {0x0179, 0x017D, 2, 1}, {0x0181, 0x0181, 1, 210}, {0x0182, 0x0184, 2, 1},
    {0x0186, 0x0186, 1, 206}, {0x0187, 0x0187, 1, 1}, {0x0189, 0x018A, 1, 205}, {0x018B, 0x018B, 1, 1},
    {0x018E, 0x018F, 1, 202}, {0x0190, 0x0190, 1, 203}, {0x0191, 0x0191, 1, 1}, {0x0193, 0x0193, 1, 205},
    {0x0194, 0x0194, 1, 207}, {0x0196, 0x0196, 1, 211}, {0x0197, 0x0197, 1, 209}, {0x0198, 0x0198, 1, 1},
    {0x019C, 0x019C, 1, 211}, {0x019D, 0x019D, 1, 213}, {0x01A0, 0x01A4, 2, 1}, {0x01A7, 0x01A7, 1, 1},
    {0x01A9, 0x01A9, 1, 218}, {0x01AC, 0x01AC, 1, 1}, {0x01AE, 0x01AE, 1, 218}, {0x01AF, 0x01AF, 1, 1},
    {0x01B1, 0x01B2, 1, 217}, {0x01B3, 0x01B5, 2, 1}, {0x01B7, 0x01B7, 1, 219}, {0x01B8, 0x01B8, 1, 1},
    {0x01BC, 0x01BC, 1, 1}, {0x01C4, 0x01C4, 1, 2}, {0x01C5, 0x01C5, 1, 1}, {0x01C7, 0x01C7, 1, 2},
    {0x01C8, 0x01C8, 1, 1}, {0x01CA, 0x01CA, 1, 2}, {0x01CB, 0x01DB, 2, 1}, {0x01DE, 0x01EE, 2, 1},
    {0x01F1, 0x01F1, 1, 2}, {0x01F2, 0x01F4, 2, 1}, {0x01FA, 0x0216, 2, 1}, {0x0386, 0x0386, 1, 38},
    {0x0388, 0x038A, 1, 37}, {0x038C, 0x038C, 1, 64}, {0x038E, 0x038F, 1, 63}, {0x0391, 0x03A1, 1, 32},
    {0x03A3, 0x03AB, 1, 32}, {0x03E2, 0x03EE, 2, 1}, {0x0401, 0x040C, 1, 80}, {0x040E, 0x040F, 1, 80},
    {0x0410, 0x042F, 1, 32}, {0x0460, 0x0480, 2, 1}, {0x0490, 0x04BE, 2, 1}, {0x04C1, 0x04C3, 2, 1},
    {0x04C7, 0x04C7, 1, 1}, {0x04CB, 0x04CB, 1, 1}, {0x04D0, 0x04EA, 2, 1}, {0x04EE, 0x04F4, 2, 1},
    {0x04F8, 0x04F8, 1, 1}, {0x0531, 0x0556, 1, 48}, {0x10A0, 0x10C5, 1, 48}, {0x1E00, 0x1E94, 2, 1},
    {0x1EA0, 0x1EF8, 2, 1}, {0x1F08, 0x1F0F, 1, -8}, {0x1F18, 0x1F1D, 1, -8}, {0x1F28, 0x1F2F, 1, -8},
    {0x1F38, 0x1F3F, 1, -8}, {0x1F48, 0x1F4D, 1, -8}, {0x1F59, 0x1F5F, 2, -8}, {0x1F68, 0x1F6F, 1, -8},
    {0x1F88, 0x1F8F, 1, -8}, {0x1F98, 0x1F9F, 1, -8}, {0x1FA8, 0x1FAF, 1, -8}, {0x1FB8, 0x1FB9, 1, -8},
    {0x1FBA, 0x1FBB, 1, -74}, {0x1FBC, 0x1FBC, 1, -9}, {0x1FC8, 0x1FCB, 1, -86}, {0x1FCC, 0x1FCC, 1, -9},
    {0x1FD8, 0x1FD9, 1, -8}, {0x1FDA, 0x1FDB, 1, -100}, {0x1FE8, 0x1FE9, 1, -8}, {0x1FEA, 0x1FEB, 1, -112},
    {0x1FEC, 0x1FEC, 1, -7}, {0x1FF8, 0x1FF9, 1, -128}, {0x1FFA, 0x1FFB, 1, -126}, {0x1FFC, 0x1FFC, 1, -9},
    {0x2160, 0x216F, 1, 16}, {0x24B6, 0x24CF, 1, 26}, {0xFF21, 0xFF3A, 1, 32},
};

// Lower-case pairs whose target does not map back up.
constexpr std::array<std::pair<uint16_t, uint16_t>, 6> kNoInverse = {
    {{0x0130, 0x0130}, {0x01C5, 0x01C5}, {0x01C8, 0x01C8}, {0x01CB, 0x01CB}, {0x01F2, 0x01F2}, {0x10A0, 0x10C5}}};

// Upper-case mappings beyond the inverses: from -> to.
constexpr std::array<std::pair<uint16_t, uint16_t>, 12> kExtraUpper = {
    {{0x0131, 0x0049}, {0x017F, 0x0053}, {0x01C5, 0x01C4}, {0x01C8, 0x01C7}, {0x01CB, 0x01CA}, {0x01F2, 0x01F1},
     {0x03D0, 0x0392}, {0x03D1, 0x0398}, {0x03D5, 0x03A6}, {0x03D6, 0x03A0}, {0x03F0, 0x039A}, {0x03F1, 0x03A1}}};

struct Oracle {
    std::vector<uint16_t> lower, upper;
    Oracle() : lower(65536), upper(65536) {
        for (uint32_t u = 0; u < 65536; ++u) lower[u] = upper[u] = static_cast<uint16_t>(u);
        for (const Run& r : kLowerRuns) {
            for (uint32_t u = r.first; u <= r.last; u += r.step) {
                auto to = static_cast<uint16_t>(u + r.delta);
                lower[u] = to;
                bool inverse = true;
                for (auto [a, b] : kNoInverse) inverse = inverse && !(u >= a && u <= b);
                if (inverse) upper[to] = static_cast<uint16_t>(u);
            }
        }
        for (auto [from, to] : kExtraUpper) upper[from] = to;
    }
};

const Oracle& oracle() {
    static const Oracle o;
    return o;
}

using Copy = QelStatus (*)(const Qel16u*, Qel16u*, int32_t);
using InPlace = QelStatus (*)(Qel16u*, int32_t);

struct Direction {
    const char* name;
    Copy copy;
    InPlace in_place;
    const std::vector<uint16_t>& (*map)();
};

const Direction kDirections[] = {
    {"lower", qelsLowercase_16u, qelsLowercase_16u_I, []() -> const std::vector<uint16_t>& { return oracle().lower; }},
    {"upper", qelsUppercase_16u, qelsUppercase_16u_I, []() -> const std::vector<uint16_t>& { return oracle().upper; }},
};

std::vector<uint16_t> expected(const std::vector<uint16_t>& in, const std::vector<uint16_t>& map) {
    std::vector<uint16_t> out(in.size());
    for (size_t i = 0; i < in.size(); ++i) out[i] = map[in[i]];
    return out;
}

TEST(UnicodeCase, OracleAgreesWithTheDataCounts) {
    // Guards the transcription of the test's own data: 704 lower-case and 673
    // upper-case mappings (704 - 43 inverses dropped + 12 added).
    int lower = 0, upper = 0;
    for (uint32_t u = 0; u < 65536; ++u) {
        lower += oracle().lower[u] != u;
        upper += oracle().upper[u] != u;
    }
    EXPECT_EQ(lower, 704);
    EXPECT_EQ(upper, 673);
}

TEST(UnicodeCase, WholeMappingCopyAndInPlace) {
    // All 65536 units, in order and shuffled (so every vector mixes ASCII,
    // caseless and table-mapped lanes).
    std::vector<uint16_t> all(65536);
    for (uint32_t u = 0; u < 65536; ++u) all[u] = static_cast<uint16_t>(u);
    std::vector<uint16_t> shuffled = all;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    for (const Direction& d : kDirections) {
        for (const auto* in : {&all, &shuffled}) {
            auto want = expected(*in, d.map());
            std::vector<uint16_t> out(in->size(), 0xDEAD);
            ASSERT_EQ(d.copy(in->data(), out.data(), static_cast<int32_t>(in->size())), qelOk);
            for (size_t i = 0; i < in->size(); ++i)
                ASSERT_EQ(out[i], want[i]) << d.name << " of U+" << std::hex << (*in)[i];
            std::vector<uint16_t> buf = *in;
            ASSERT_EQ(d.in_place(buf.data(), static_cast<int32_t>(buf.size())), qelOk);
            ASSERT_EQ(buf, want) << d.name << " in place";
        }
    }
}

TEST(UnicodeCase, RecordLookupMatchesOracle) {
    for (uint32_t u = 0; u < 65536; ++u) {
        auto c = static_cast<uint16_t>(u);
        ASSERT_EQ(qel::to_lower_unit(c), oracle().lower[u]) << std::hex << u;
        ASSERT_EQ(qel::to_upper_unit(c), oracle().upper[u]) << std::hex << u;
    }
}

TEST(UnicodeCase, NotableUnits) {
    struct Row {
        uint16_t in, lower, upper;
    };
    const Row rows[] = {
        {0x0130, 0x0069, 0x0130}, {0x0069, 0x0069, 0x0049}, {0x0131, 0x0131, 0x0049}, {0x017F, 0x017F, 0x0053},
        {0x00DF, 0x00DF, 0x00DF}, {0x00B5, 0x00B5, 0x00B5}, {0x03C2, 0x03C2, 0x03C2}, {0x1E9E, 0x1E9E, 0x1E9E},
        {0x2126, 0x2126, 0x2126}, {0x01C5, 0x01C6, 0x01C4}, {0x10A0, 0x10D0, 0x10A0}, {0x10D0, 0x10D0, 0x10D0},
        {0x24B6, 0x24D0, 0x24B6}, {0x2170, 0x2170, 0x2160}, {0xFF41, 0xFF41, 0xFF21}, {0xD83D, 0xD83D, 0xD83D},
        {0xDE00, 0xDE00, 0xDE00},
    };
    for (const Row& r : rows) {
        Qel16u lo = 0, up = 0;
        ASSERT_EQ(qelsLowercase_16u(&r.in, &lo, 1), qelOk);
        ASSERT_EQ(qelsUppercase_16u(&r.in, &up, 1), qelOk);
        EXPECT_EQ(lo, r.lower) << std::hex << r.in;
        EXPECT_EQ(up, r.upper) << std::hex << r.in;
    }
}

// Units drawn so that vectors are sometimes all-ASCII, sometimes all
// caseless, and sometimes mixed with table-mapped units.
std::vector<uint16_t> mixed_units(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint16_t> v(n);
    int mode = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % 16 == 0) mode = static_cast<int>(rng() % 4);
        switch (mode) {
            case 0: v[i] = static_cast<uint16_t>(rng() % 128); break;
            case 1: v[i] = static_cast<uint16_t>(0x3000 + rng() % 0x5000); break;
            case 2: v[i] = static_cast<uint16_t>(rng() % 0x600); break;
            default: v[i] = static_cast<uint16_t>(rng()); break;
        }
    }
    return v;
}

TEST(UnicodeCase, VectorPathOverLengthsAndOffsets) {
    auto data = mixed_units(400, 11);
    for (const Direction& d : kDirections) {
        for (size_t off = 0; off < 16; ++off) {
            for (size_t n = 0; n + off <= 200; ++n) {
                std::vector<uint16_t> in(data.begin() + off, data.begin() + off + n);
                auto want = expected(in, d.map());
                std::vector<uint16_t> out(n + 1, 0xBEEF);
                ASSERT_EQ(d.copy(data.data() + off, out.data(), static_cast<int32_t>(n)), qelOk);
                ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin())) << d.name << " n=" << n << " off=" << off;
                ASSERT_EQ(out[n], 0xBEEF) << "wrote past the end";
                std::vector<uint16_t> buf = data;
                ASSERT_EQ(d.in_place(buf.data() + off, static_cast<int32_t>(n)), qelOk);
                ASSERT_TRUE(std::equal(want.begin(), want.end(), buf.begin() + off)) << d.name << " in place n=" << n;
                ASSERT_TRUE(std::equal(buf.begin() + off + n, buf.end(), data.begin() + off + n));
            }
        }
    }
}

TEST(UnicodeCase, GuardPages) {
    for (const Direction& d : kDirections) {
        for (size_t n : {1u, 7u, 15u, 16u, 17u, 33u, 100u}) {
            auto in = mixed_units(n, static_cast<uint32_t>(n));
            auto want = expected(in, d.map());
            for (bool at_tail : {true, false})
                for (size_t odd : {0u, 1u}) {
                    qeltest::Guarded<uint16_t> src(in, at_tail, odd);
                    qeltest::Guarded<uint16_t> dst(std::vector<uint16_t>(n), at_tail, 1 - odd);
                    ASSERT_EQ(d.copy(src.data(), dst.data(), static_cast<int32_t>(n)), qelOk);
                    EXPECT_EQ(dst.contents(), want) << d.name << " n=" << n << " odd " << odd;
                    ASSERT_EQ(d.in_place(src.data(), static_cast<int32_t>(n)), qelOk);
                    EXPECT_EQ(src.contents(), want) << d.name << " n=" << n << " odd " << odd;
                }
        }
    }
}

TEST(UnicodeCase, ArgumentErrors) {
    Qel16u unit = 'A', out = 0x1234;
    for (const Direction& d : kDirections) {
        EXPECT_EQ(d.copy(nullptr, &out, 1), qelErrNullPtr);
        EXPECT_EQ(d.copy(&unit, nullptr, -1), qelErrNullPtr);
        EXPECT_EQ(d.copy(&unit, &out, -1), qelErrLength);
        EXPECT_EQ(d.in_place(nullptr, -1), qelErrNullPtr);
        EXPECT_EQ(d.in_place(&unit, -1), qelErrLength);
        EXPECT_EQ(d.copy(&unit, &out, 0), qelOk);
        EXPECT_EQ(out, 0x1234);
        EXPECT_EQ(unit, 'A');
    }
}

}  // namespace
