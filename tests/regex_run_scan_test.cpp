// The matcher's run scanners against plain loops, over every length up to a
// few vector widths and every alignment, with the input flush against an
// inaccessible page on either side.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "regex/match/match_internal.h"
#include "regex_match_fixture.h"
#include "support/guard.h"
#include "support/random.h"

namespace {

using namespace qel::re;

int64_t ascii_run_reference(const uint8_t* p, int64_t n, const AsciiSet& s) {
    int64_t i = 0;
    while (i < n && p[i] < 0x80 && ((s.lo[p[i] & 15] >> (p[i] >> 4)) & 1)) ++i;
    return i;
}

int64_t byte_run_reference(const uint8_t* p, int64_t n, uint8_t c, bool fold) {
    int64_t i = 0;
    while (i < n && (p[i] == c || (fold && (p[i] | 0x20) == (c | 0x20)))) ++i;
    return i;
}

// Inputs that are mostly members, with one stop byte placed at every offset
// in turn, so the first miss lands in every lane and in the scalar tail.
TEST(RegexRunScan, AsciiRunMatchesReference) {
    AsciiSet lower{};
    for (int b = 'a'; b <= 'z'; ++b) ascii_set_add(lower, uint8_t(b));
    AsciiSet all{};
    for (int b = 0; b < 0x80; ++b) ascii_set_add(all, uint8_t(b));
    const std::vector<uint8_t> stops = {'A', '{', 0x80, 0xFF, 0x00, '`'};
    for (const AsciiSet* set : {&lower, &all}) {
        for (size_t n = 0; n <= 100; ++n) {
            for (bool atTail : {true, false}) {
                for (size_t stop = 0; stop <= n; ++stop) {
                    std::vector<uint8_t> v = qeltest::random_from<uint8_t>(n, uint32_t(n * 7 + stop), {'a', 'q', 'z'});
                    if (stop < n) v[stop] = stops[stop % stops.size()];
                    qeltest::Guarded<uint8_t> g(v, atTail);
                    ASSERT_EQ(ascii_run(g.data(), int64_t(n), *set), ascii_run_reference(g.data(), int64_t(n), *set))
                        << "n=" << n << " stop=" << stop;
                }
            }
        }
    }
}

TEST(RegexRunScan, ByteRunMatchesReference) {
    for (size_t n = 0; n <= 100; ++n) {
        for (bool atTail : {true, false}) {
            for (size_t stop = 0; stop <= n; ++stop) {
                for (bool fold : {false, true}) {
                    std::vector<uint8_t> v = qeltest::random_from<uint8_t>(n, uint32_t(n + stop), {'k', 'K'});
                    if (!fold)
                        for (auto& b : v) b = 'k';
                    if (stop < n) v[stop] = (stop & 1) ? 'j' : 0xCB;
                    qeltest::Guarded<uint8_t> g(v, atTail);
                    ASSERT_EQ(byte_run(g.data(), int64_t(n), 'k', fold), byte_run_reference(g.data(), int64_t(n), 'k', fold))
                        << "n=" << n << " stop=" << stop << " fold=" << fold;
                }
            }
        }
    }
}

// The ASCII set a class repeat scans with equals the class test on each byte,
// for random classes of byte members (complemented or not, under either case
// rule) and with a code-point member, which takes the per-byte route.
TEST(RegexRunScan, ClassAsciiSetMatchesClassTest) {
    std::mt19937 rng(99);
    auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
    for (int round = 0; round < 2000; ++round) {
        qeltest::Pat p;
        p.cls(pick(2) == 0);
        const int members = 1 + pick(4);
        for (int m = 0; m < members; ++m) {
            const bool neg = pick(4) == 0;
            switch (pick(5)) {
                case 0: p.m_chr(uint8_t(pick(256)), neg); break;
                case 1: {
                    const int lo = pick(200);
                    p.m_range(lo, lo + pick(60), neg);
                    break;
                }
                case 2: p.m_predef("dDsSwW.x"[pick(8)], neg); break;
                case 3: p.m_range('A' + pick(30), 'a' + pick(30), neg); break;
                default: p.m_uchar(pick(3) ? 'k' : 0x212A, neg); break;
            }
        }
        p.end();
        for (uint32_t opts : {0u, uint32_t(RE_OPT_IGNORECASE), uint32_t(RE_OPT_DOTALL)}) {
            AsciiSet set;
            class_ascii_set(p.nodes().data(), 0, opts, set);
            for (int b = 0; b < 0x80; ++b) {
                const uint8_t byte = uint8_t(b);
                ASSERT_EQ(ascii_set_has(set, byte), class_unit_length(p.nodes().data(), 0, &byte, 1, opts) == 1)
                    << "round " << round << " byte " << b << " options " << opts;
            }
        }
    }
}

// The backward character step agrees with reading forward from the origin.
TEST(RegexRunScan, PrevCharLengthMatchesForwardReading) {
    const std::vector<uint8_t> alphabet = {'a', 0x80, 0xBF, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0xF8, 0xFC, 0xC0, 0xFF};
    for (uint32_t seed = 0; seed < 400; ++seed) {
        const std::vector<uint8_t> v = qeltest::random_from<uint8_t>(40, seed, alphabet);
        qeltest::Guarded<uint8_t> g(v, true);
        const uint8_t* p = g.data();
        std::vector<int32_t> ends;
        for (int32_t i = 0; i < 40;) {
            i += read_utf8(p + i, 40 - i).length;
            ends.push_back(i);
        }
        for (size_t k = ends.size() - 1; k > 0; --k)
            ASSERT_EQ(prev_char_length(p, p + ends[k]), ends[k] - ends[k - 1]) << "seed " << seed << " end " << ends[k];
        ASSERT_EQ(prev_char_length(p, p + ends[0]), ends[0]);
    }
}

}  // namespace
