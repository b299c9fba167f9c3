// Character-set search: every kernel and both feature answers against a plain
// loop, with strings and sets fenced by inaccessible pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "qelcore.h"
#include "string/charset.h"
#include "support/guard.h"
#include "support/random.h"

namespace {

template <class T>
int32_t plain_find(const T* s, int32_t len, const T* set, int32_t n, bool rev) {
    // Large sets: a membership table, so the reference stays cheap on long strings.
    std::vector<bool> table;
    if (n > 64) {
        table.assign(sizeof(T) == 1 ? 256 : 65536, false);
        for (int32_t j = 0; j < n; ++j) table[qeltest::unit_at(set, j)] = true;
    }
    auto in = [&](T u) {
        if (n > 64) return bool(table[u]);
        for (int32_t j = 0; j < n; ++j)
            if (qeltest::unit_at(set, j) == u) return true;
        return false;
    };
    if (!rev) {
        for (int32_t i = 0; i < len; ++i)
            if (in(qeltest::unit_at(s, i))) return i;
    } else {
        for (int32_t i = len - 1; i >= 0; --i)
            if (in(qeltest::unit_at(s, i))) return i;
    }
    return -1;
}

template <class T>
struct Family;

template <>
struct Family<Qel8u> {
    static constexpr int32_t kSse42Max = qel::charset::kSse42MaxSet8;
    static constexpr uint32_t kUniverse = 256;
    static QelStatus find(const Qel8u* s, int32_t len, const Qel8u* set, int32_t n, bool rev, int32_t* idx) {
        return rev ? qelsFindRevCAny_8u(s, len, set, n, idx) : qelsFindCAny_8u(s, len, set, n, idx);
    }
    static constexpr auto sse42 = qel::charset::find_any_8u_sse42;
    static constexpr auto general = qel::charset::find_any_8u_general;
};

template <>
struct Family<Qel16u> {
    static constexpr int32_t kSse42Max = qel::charset::kSse42MaxSet16;
    static constexpr uint32_t kUniverse = 65536;
    static QelStatus find(const Qel16u* s, int32_t len, const Qel16u* set, int32_t n, bool rev, int32_t* idx) {
        return rev ? qelsFindRevCAny_16u(s, len, set, n, idx) : qelsFindCAny_16u(s, len, set, n, idx);
    }
    static constexpr auto sse42 = qel::charset::find_any_16u_sse42;
    static constexpr auto general = qel::charset::find_any_16u_general;
};

// A set of n units and a pool of units outside it. Every set holds units of
// the upper half (>= 0x80 / 0x8000) when it has two or more; zero lies in
// the set for odd seeds and outside for even ones, so zero padding of a
// partial set vector would show up as a false hit. Sets larger than the
// distinct values allowed repeat units.
template <class T>
struct SetCase {
    std::vector<T> set;
    std::vector<T> outside;
};

template <class T>
SetCase<T> make_set(int32_t n, uint32_t seed) {
    constexpr uint32_t kU = Family<T>::kUniverse;
    std::mt19937 rng(seed);
    std::vector<uint32_t> perm(kU);
    std::iota(perm.begin(), perm.end(), 0u);
    std::shuffle(perm.begin(), perm.end(), rng);
    auto bring_front = [&](uint32_t v, size_t at) { std::iter_swap(perm.begin() + at, std::find(perm.begin(), perm.end(), v)); };
    bring_front(kU - 1, 0);   // top unit value
    bring_front(kU / 2, 1);   // lowest upper-half value
    if (seed & 1) bring_front(0, 2);
    else std::iter_swap(std::find(perm.begin(), perm.end(), 0u), perm.end() - 1);

    const size_t distinct = std::min<size_t>(static_cast<size_t>(n), kU - 48);
    SetCase<T> c;
    for (size_t j = 0; j < distinct; ++j) c.set.push_back(static_cast<T>(perm[j]));
    std::uniform_int_distribution<size_t> pick(0, distinct ? distinct - 1 : 0);
    while (c.set.size() < static_cast<size_t>(n)) c.set.push_back(c.set[pick(rng)]);
    std::shuffle(c.set.begin(), c.set.end(), rng);
    for (size_t j = perm.size() - 1; j >= distinct && c.outside.size() < 48; --j) c.outside.push_back(static_cast<T>(perm[j]));
    return c;
}

// Runs every path on one (string, set) and compares with the plain loop in
// both directions. Returns false after the first mismatch.
template <class T>
bool agrees(const T* s, int32_t len, const T* set, int32_t n, const std::string& what) {
    using F = Family<T>;
    for (bool rev : {false, true}) {
        const int32_t want = plain_find(s, len, set, n, rev);
        struct Got {
            const char* path;
            int32_t idx;
        };
        std::vector<Got> got;
        for (int32_t mode : {QELCORE_FEATURE_ON, QELCORE_FEATURE_OFF}) {
            qelcoreCtlForceFeature(mode);
            int32_t idx = -7;
            EXPECT_EQ(F::find(s, len, set, n, rev, &idx), qelOk);
            got.push_back({mode == QELCORE_FEATURE_ON ? "export/sse42-on" : "export/sse42-off", idx});
        }
        if (n <= F::kSse42Max) got.push_back({"sse42 kernel", F::sse42(s, len, set, n, rev)});
        got.push_back({"general kernel", F::general(s, len, set, n, rev)});
        if constexpr (sizeof(T) == 1) got.push_back({"bitmap kernel", qel::charset::find_any_8u_bitmap(s, len, set, n, rev)});
        for (const Got& g : got) {
            if (g.idx != want) {
                ADD_FAILURE() << what << (rev ? " reverse" : " forward") << " path " << g.path << ": got " << g.idx
                              << ", want " << want;
                return false;
            }
        }
    }
    return true;
}

// Fills a string from the outside pool and plants set units at `hits`.
template <class T>
std::vector<T> make_string(int32_t len, const SetCase<T>& c, const std::vector<int32_t>& hits, uint32_t seed) {
    std::vector<T> s = c.outside.empty() ? std::vector<T>(len, 0) : qeltest::random_from<T>(len, seed, c.outside);
    std::mt19937 rng(seed ^ 0x5bd1e995u);
    for (int32_t p : hits)
        if (p >= 0 && p < len && !c.set.empty()) s[p] = c.set[rng() % c.set.size()];
    return s;
}

// Hit positions worth planting in a string of `len` units with blocks of
// `w` units: none, the first unit, the last unit, the units on either side
// of the last whole-block boundary, the middle, and pairs (the forward and
// reverse answers then differ).
std::vector<std::vector<int32_t>> hit_patterns(int32_t len, int32_t w) {
    std::vector<std::vector<int32_t>> p = {{}, {0}, {len - 1}, {len / 2}, {len / w * w - 1}, {len / w * w},
                                           {len / 3, len - 2}, {1, len / 2 + 1}};
    return p;
}

// Places a vector flush against the trailing guard, the leading guard, or
// `where - 1` units after the leading guard; `odd` more bytes away from the
// guard put 16-bit units at odd addresses.
template <class T>
class Placed {
public:
    explicit Placed(size_t max_units) : region_((max_units + 64) * sizeof(T) + 1) {}
    T* put(const std::vector<T>& v, int where, size_t odd = 0) {
        T* p = where == 0 ? region_.tail<T>(v.size(), odd)
                          : region_.head<T>(v.size(), static_cast<size_t>(where - 1) * sizeof(T) + odd);
        if (!v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(T));
        return p;
    }

private:
    qeltest::GuardedRegion region_;
};

template <class T>
void sweep(const std::vector<int32_t>& set_sizes, const std::vector<int32_t>& lengths, int32_t block) {
    const int32_t max_len = *std::max_element(lengths.begin(), lengths.end());
    const int32_t max_set = *std::max_element(set_sizes.begin(), set_sizes.end());
    Placed<T> text(static_cast<size_t>(max_len)), sets(static_cast<size_t>(max_set));
    uint32_t seed = 1;
    for (int32_t n : set_sizes) {
        const SetCase<T> c = make_set<T>(n, seed++);
        for (int32_t len : lengths) {
            // Long strings: fewer placements and patterns keep the run short.
            const bool long_string = len > 4 * 1024;
            const auto patterns = hit_patterns(len, block);
            for (size_t pi = 0; pi < patterns.size(); ++pi) {
                if (long_string && pi % 3 != 0 && pi + 1 != patterns.size()) continue;
                const std::vector<T> s = make_string(len, c, patterns[pi], seed++);
                for (int where : {0, 1, 1 + static_cast<int>(seed % 7) + 1}) {
                    if (long_string && where == 1) continue;
                    const size_t odd = (seed + static_cast<uint32_t>(where)) % sizeof(T);
                    const T* sp = text.put(s, where, odd);
                    const T* setp = sets.put(c.set, static_cast<int>(seed % 2), sizeof(T) - 1 - odd);
                    const std::string what = "set " + std::to_string(n) + " len " + std::to_string(len) +
                                             " pattern " + std::to_string(pi) + " placement " + std::to_string(where) +
                                             " odd " + std::to_string(odd);
                    if (!agrees(sp, len, setp, n, what)) {
                        qelcoreCtlReset();
                        return;
                    }
                }
            }
        }
    }
    qelcoreCtlReset();
}

std::vector<int32_t> range_then(int32_t upto, std::vector<int32_t> more) {
    std::vector<int32_t> v(static_cast<size_t>(upto) + 1);
    std::iota(v.begin(), v.end(), 0);
    v.insert(v.end(), more.begin(), more.end());
    return v;
}

TEST(FindCAny8, AllPathsAgreeWithPlainLoop) {
    sweep<Qel8u>({0, 1, 2, 3, 8, 9, 10, 15, 16, 17, 32, 33, 40, 41, 48, 49, 64, 65, 80, 81, 131, 132, 135, 136, 300},
                 range_then(70, {95, 96, 97, 127, 128, 129, 255, 256, 257, 1000, 4095, 4096, 4097}), 16);
}

TEST(FindCAny16, AllPathsAgreeWithPlainLoop) {
    sweep<Qel16u>({0, 1, 2, 8, 9, 10, 16, 17, 24, 25, 32, 33, 40, 41, 57, 58, 131, 136, 300},
                  range_then(40, {47, 48, 49, 63, 64, 65, 127, 128, 129, 1000}), 8);
}

// Around every length threshold of the 64 KiB table, with set sizes on both
// sides of each threshold (and the path beyond the prepared-vector area).
TEST(FindCAny16, TableThresholdsAgreeWithPlainLoop) {
    sweep<Qel16u>({9, 10, 17, 18, 23, 24, 57, 58, 4096, 5000},
                  {4095, 4096, 8191, 8192, 16383, 16384, 32767, 32768, 33000}, 8);
}

// A set holding every unit value of the string: forward 0, reverse len - 1.
TEST(FindCAny, SetCoveringTheStringGivesBothEnds) {
    for (int32_t mode : {QELCORE_FEATURE_ON, QELCORE_FEATURE_OFF}) {
        qelcoreCtlForceFeature(mode);
        for (int32_t len : {1, 7, 16, 33, 100}) {
            std::vector<Qel8u> s8 = qeltest::random_units<Qel8u>(len, 7u + len, 0x70, 0x90);
            std::vector<Qel16u> s16 = qeltest::random_units<Qel16u>(len, 9u + len, 0x7FF0, 0x8010);
            std::vector<Qel8u> set8(s8);
            std::vector<Qel16u> set16(s16);
            int32_t idx = -7;
            ASSERT_EQ(qelsFindCAny_8u(s8.data(), len, set8.data(), len, &idx), qelOk);
            EXPECT_EQ(idx, 0);
            ASSERT_EQ(qelsFindRevCAny_8u(s8.data(), len, set8.data(), len, &idx), qelOk);
            EXPECT_EQ(idx, len - 1);
            ASSERT_EQ(qelsFindCAny_16u(s16.data(), len, set16.data(), len, &idx), qelOk);
            EXPECT_EQ(idx, 0);
            ASSERT_EQ(qelsFindRevCAny_16u(s16.data(), len, set16.data(), len, &idx), qelOk);
            EXPECT_EQ(idx, len - 1);
        }
    }
    qelcoreCtlReset();
}

// Random strings over a small alphabet with sets drawn from it: many hits,
// repeated set units, every path.
TEST(FindCAny, DenseRandomMixes) {
    const std::vector<Qel8u> alpha8 = {0x00, 0x20, 0x41, 0x7F, 0x80, 0x81, 0xC3, 0xFF};
    const std::vector<Qel16u> alpha16 = {0x0000, 0x0020, 0x00FF, 0x0100, 0x7FFF, 0x8000, 0xD800, 0xFFFF};
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        const int32_t len = static_cast<int32_t>(seed * 7 % 131);
        const int32_t n = static_cast<int32_t>(seed % 20);
        auto s8 = qeltest::random_from<Qel8u>(len, seed, alpha8);
        auto set8 = qeltest::random_from<Qel8u>(n, seed + 1000, std::vector<Qel8u>(alpha8.begin(), alpha8.begin() + 3));
        auto s16 = qeltest::random_from<Qel16u>(len, seed, alpha16);
        auto set16 = qeltest::random_from<Qel16u>(n, seed + 1000, std::vector<Qel16u>(alpha16.begin() + 4, alpha16.end()));
        // One unit of slack keeps data() non-null for empty strings and sets.
        s8.push_back(0), set8.push_back(0), s16.push_back(0), set16.push_back(0);
        ASSERT_TRUE(agrees(s8.data(), len, set8.data(), n, "dense 8-bit seed " + std::to_string(seed)));
        ASSERT_TRUE(agrees(s16.data(), len, set16.data(), n, "dense 16-bit seed " + std::to_string(seed)));
    }
    qelcoreCtlReset();
}

// The feature question: once per call whose set fits the string-compare
// kernels (empty strings and sets included), never for a larger set, and
// never for a rejected call.
TEST(FindCAny, AsksForTheFeatureOnlyForSmallSets) {
    std::vector<Qel8u> s8(50, 'a'), set8(100, 'b');
    std::vector<Qel16u> s16(50, 'a'), set16(100, 'b');
    struct Row {
        int width;
        bool rev;
        int32_t len;
        int32_t n;
        int64_t asks;
    };
    const Row rows[] = {
        {8, false, 50, 80, 1}, {8, true, 50, 80, 1},  {8, false, 50, 81, 0},  {8, true, 50, 81, 0},
        {8, false, 0, 3, 1},   {8, false, 50, 0, 1},  {16, false, 50, 40, 1}, {16, true, 50, 40, 1},
        {16, false, 50, 41, 0}, {16, true, 50, 41, 0}, {16, false, 0, 5, 1},  {16, true, 50, 0, 1},
        {8, false, -1, 3, 0},  {16, true, 50, -1, 0},
    };
    for (int32_t mode : {QELCORE_FEATURE_ON, QELCORE_FEATURE_OFF}) {
        for (const Row& r : rows) {
            qelcoreCtlReset();
            qelcoreCtlForceFeature(mode);
            int32_t idx;
            for (int k = 0; k < 3; ++k) {
                if (r.width == 8)
                    Family<Qel8u>::find(s8.data(), r.len, set8.data(), r.n, r.rev, &idx);
                else
                    Family<Qel16u>::find(s16.data(), r.len, set16.data(), r.n, r.rev, &idx);
            }
            EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_GET_FEATURE), 3 * r.asks)
                << r.width << "-bit rev " << r.rev << " len " << r.len << " set " << r.n;
        }
    }
    qelcoreCtlReset();
}

// Pointers first, then lengths; the index keeps its value on every error.
TEST(FindCAny, ArgumentChecks) {
    const Qel8u s8[4] = {1, 2, 3, 4};
    const Qel16u s16[4] = {1, 2, 3, 4};
    struct Row {
        bool null_src, null_set, null_idx;
        int32_t len, n;
        QelStatus want;
    };
    const Row rows[] = {
        {true, false, false, -1, -1, qelErrNullPtr}, {false, true, false, 4, -1, qelErrNullPtr},
        {false, false, true, -1, 2, qelErrNullPtr},  {false, false, false, -1, 2, qelErrLength},
        {false, false, false, 4, -1, qelErrLength},  {false, false, false, -5, -5, qelErrLength},
        {false, false, false, 0, 0, qelOk},
    };
    for (const Row& r : rows) {
        for (bool rev : {false, true}) {
            int32_t idx = 12345;
            int32_t* ip = r.null_idx ? nullptr : &idx;
            EXPECT_EQ(Family<Qel8u>::find(r.null_src ? nullptr : s8, r.len, r.null_set ? nullptr : s8, r.n, rev, ip),
                      r.want);
            EXPECT_EQ(idx, r.want == qelOk ? -1 : 12345);
            idx = 12345;
            EXPECT_EQ(
                Family<Qel16u>::find(r.null_src ? nullptr : s16, r.len, r.null_set ? nullptr : s16, r.n, rev, ip),
                r.want);
            EXPECT_EQ(idx, r.want == qelOk ? -1 : 12345);
        }
    }
}

}  // namespace
