// Trimming: one-unit and set trims against a plain loop, both feature
// answers, in-place overlap, sentinels for what must stay untouched, and
// guard pages around source and set.
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

using qel::charset::kTrimBoth;
using qel::charset::kTrimEnd;
using qel::charset::kTrimStart;
using qel::charset::Stretch;

template <class T>
constexpr T kSentinel = static_cast<T>(sizeof(T) == 1 ? 0xA5 : 0xA5A5);

template <class T>
bool same_units(const T* placed, const T* v, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        if (qeltest::unit_at(placed, static_cast<size_t>(i)) != v[i]) return false;
    return true;
}

template <class T>
Stretch plain_trim(const T* s, int32_t len, const T* set, int32_t n, int side) {
    auto in = [&](T u) {
        for (int32_t j = 0; j < n; ++j)
            if (qeltest::unit_at(set, j) == u) return true;
        return false;
    };
    int32_t b = 0, e = len;
    if (side & kTrimStart)
        while (b < e && in(qeltest::unit_at(s, b))) ++b;
    if (side & kTrimEnd)
        while (e > b && in(qeltest::unit_at(s, e - 1))) --e;
    return e > b ? Stretch{b, e - b} : Stretch{0, 0};
}

template <class T>
struct Family;

template <>
struct Family<Qel8u> {
    using Fn = QelStatus (*)(const Qel8u*, int32_t, const Qel8u*, int32_t, Qel8u*, int32_t*);
    static Fn by_side(int side) {
        return side == kTrimBoth ? qelsTrimCAny_8u : side == kTrimStart ? qelsTrimStartCAny_8u : qelsTrimEndCAny_8u;
    }
    static constexpr auto sse42 = qel::charset::trim_set_8u_sse42;
    static constexpr auto general = qel::charset::trim_set_8u_general;
    static constexpr auto trim_c = qelsTrimC_8u;
    static constexpr auto trim_c_in_place = qelsTrimC_8u_I;
    static constexpr uint32_t kUniverse = 256;
};

template <>
struct Family<Qel16u> {
    using Fn = QelStatus (*)(const Qel16u*, int32_t, const Qel16u*, int32_t, Qel16u*, int32_t*);
    static Fn by_side(int side) {
        return side == kTrimBoth ? qelsTrimCAny_16u : side == kTrimStart ? qelsTrimStartCAny_16u : qelsTrimEndCAny_16u;
    }
    static constexpr auto sse42 = qel::charset::trim_set_16u_sse42;
    static constexpr auto general = qel::charset::trim_set_16u_general;
    static constexpr auto trim_c = qelsTrimC_16u;
    static constexpr auto trim_c_in_place = qelsTrimC_16u_I;
    static constexpr uint32_t kUniverse = 65536;
};

const char* side_name(int side) { return side == kTrimBoth ? "both" : side == kTrimStart ? "start" : "end"; }

// n set units (upper-half values included, repeats beyond the distinct cap;
// zero in the set for odd seeds, outside for even ones) and a pool outside.
template <class T>
void make_set(int32_t n, uint32_t seed, std::vector<T>& set, std::vector<T>& outside) {
    constexpr uint32_t kU = Family<T>::kUniverse;
    std::mt19937 rng(seed);
    std::vector<uint32_t> perm(kU);
    std::iota(perm.begin(), perm.end(), 0u);
    std::shuffle(perm.begin(), perm.end(), rng);
    std::iter_swap(perm.begin(), std::find(perm.begin(), perm.end(), kU - 1));
    std::iter_swap(perm.begin() + 1, std::find(perm.begin(), perm.end(), kU / 2));
    auto zero = std::find(perm.begin(), perm.end(), 0u);
    std::iter_swap(zero, (seed & 1) ? perm.begin() + 2 : perm.end() - 1);
    const size_t distinct = std::min<size_t>(static_cast<size_t>(n), kU - 32);
    set.assign(perm.begin(), perm.begin() + static_cast<std::ptrdiff_t>(distinct));
    while (set.size() < static_cast<size_t>(n)) set.push_back(set[rng() % distinct]);
    std::shuffle(set.begin(), set.end(), rng);
    outside.assign(perm.end() - 32, perm.end());
}

// Removed run of `left` set units, a kept middle of `mid` units that starts
// and ends outside the set but holds set units inside, removed run `right`.
template <class T>
std::vector<T> build(const std::vector<T>& set, const std::vector<T>& outside, int32_t left, int32_t mid,
                     int32_t right, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<T> s;
    auto from_set = [&] { return set[rng() % set.size()]; };
    auto from_outside = [&] { return outside[rng() % outside.size()]; };
    for (int32_t i = 0; i < left; ++i) s.push_back(set.empty() ? from_outside() : from_set());
    for (int32_t i = 0; i < mid; ++i)
        s.push_back(i == 0 || i == mid - 1 || set.empty() || rng() % 2 ? from_outside() : from_set());
    for (int32_t i = 0; i < right; ++i) s.push_back(set.empty() ? from_outside() : from_set());
    return s;
}

template <class T>
class Placed {
public:
    explicit Placed(size_t max_units) : region_((max_units + 64) * sizeof(T) + 1) {}
    // `offset` units away from the leading guard, then `odd` bytes more (from
    // either guard), which puts 16-bit units at odd addresses.
    T* put(const std::vector<T>& v, bool at_tail, size_t offset = 0, size_t odd = 0) {
        T* p = at_tail ? region_.tail<T>(v.size(), odd) : region_.head<T>(v.size(), offset * sizeof(T) + odd);
        if (!v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(T));
        return p;
    }

private:
    qeltest::GuardedRegion region_;
};

// Every set trim and kernel on one source; the destination must hold exactly
// the kept stretch, with the sentinel after it (and everywhere when nothing
// is kept).
template <class T>
bool trims_agree(const T* s, int32_t len, const T* set, int32_t n, const std::string& what) {
    using F = Family<T>;
    for (int side : {kTrimBoth, kTrimStart, kTrimEnd}) {
        const Stretch want = plain_trim(s, len, set, n, side);
        const std::string ctx = what + " side " + side_name(side);
        for (auto kernel : {F::sse42, F::general}) {
            const Stretch got = kernel(s, len, set, n, side);
            if (got.count != want.count || (want.count && got.start != want.start)) {
                ADD_FAILURE() << ctx << (kernel == F::sse42 ? " sse42" : " general") << " kernel: got [" << got.start
                              << ", +" << got.count << "), want [" << want.start << ", +" << want.count << ")";
                return false;
            }
        }
        for (int32_t mode : {QELCORE_FEATURE_ON, QELCORE_FEATURE_OFF}) {
            qelcoreCtlForceFeature(mode);
            std::vector<T> dst(static_cast<size_t>(len) + 8, kSentinel<T>);
            int32_t dst_len = -3;
            const QelStatus st = F::by_side(side)(s, len, set, n, dst.data(), &dst_len);
            bool ok = st == qelOk && dst_len == want.count &&
                      same_units(s + want.start, dst.data(), want.count) &&
                      std::all_of(dst.begin() + want.count, dst.end(), [](T u) { return u == kSentinel<T>; });
            if (!ok) {
                ADD_FAILURE() << ctx << " export, sse42 " << (mode == QELCORE_FEATURE_ON ? "on" : "off")
                              << ": status " << st << " length " << dst_len << ", want length " << want.count;
                return false;
            }
        }
    }
    return true;
}

template <class T>
void sweep_set_trims(const std::vector<int32_t>& set_sizes) {
    const std::vector<int32_t> runs = {0, 1, 15, 16, 17, 33, 70};
    const std::vector<int32_t> mids = {0, 1, 2, 9, 40};
    Placed<T> text(200), sets(*std::max_element(set_sizes.begin(), set_sizes.end()));
    uint32_t seed = 11;
    for (int32_t n : set_sizes) {
        std::vector<T> set, outside;
        make_set<T>(n, seed++, set, outside);
        for (int32_t left : runs)
            for (int32_t right : runs)
                for (int32_t mid : mids) {
                    const std::vector<T> s = build(set, outside, left, mid, right, seed++);
                    const size_t odd = seed / 2 % sizeof(T);
                    const T* sp = text.put(s, seed % 3 == 0, seed % 5, odd);
                    const T* setp = sets.put(set, seed % 2 == 0, 0, sizeof(T) - 1 - odd);
                    const std::string what = "set " + std::to_string(n) + " runs " + std::to_string(left) + "/" +
                                             std::to_string(mid) + "/" + std::to_string(right);
                    if (!trims_agree(sp, static_cast<int32_t>(s.size()), setp, n, what)) {
                        qelcoreCtlReset();
                        return;
                    }
                }
    }
    qelcoreCtlReset();
}

TEST(TrimSet8, AllPathsAgreeWithPlainLoop) {
    sweep_set_trims<Qel8u>({0, 1, 2, 3, 8, 9, 15, 16, 17, 31, 32, 33, 48, 49, 131, 132, 135, 136, 300});
}

TEST(TrimSet16, AllPathsAgreeWithPlainLoop) {
    sweep_set_trims<Qel16u>({0, 1, 2, 7, 8, 9, 16, 17, 24, 40, 41, 131, 132, 135, 136, 300, 5000});
}

TEST(TrimSet, DocumentedExamples) {
    const Qel8u src[] = {'x', 'x', 'a', 'b', 'x'};
    const Qel8u set[] = {'x'};
    struct Row {
        int side;
        const char* kept;
    };
    const Row rows[] = {{kTrimStart, "abx"}, {kTrimEnd, "xxab"}, {kTrimBoth, "ab"}};
    for (int32_t mode : {QELCORE_FEATURE_ON, QELCORE_FEATURE_OFF}) {
        qelcoreCtlForceFeature(mode);
        for (const Row& r : rows) {
            Qel8u dst[8] = {};
            int32_t n = -1;
            ASSERT_EQ(Family<Qel8u>::by_side(r.side)(src, 5, set, 1, dst, &n), qelOk);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(dst), static_cast<size_t>(n)), r.kept) << side_name(r.side);
        }
    }
    qelcoreCtlReset();
}

// Empty source: length 0, nothing written. Empty set: the whole source.
// Only set units: length 0, destination untouched.
TEST(TrimSet, EmptyAndAllRemoved) {
    const Qel16u src[] = {'a', ' ', 'b'};
    const Qel16u spaces[] = {' ', ' ', ' ', ' '};
    const Qel16u set[] = {' ', '\t'};
    for (int32_t mode : {QELCORE_FEATURE_ON, QELCORE_FEATURE_OFF}) {
        qelcoreCtlForceFeature(mode);
        for (int side : {kTrimBoth, kTrimStart, kTrimEnd}) {
            std::vector<Qel16u> dst(8, kSentinel<Qel16u>);
            int32_t n = -1;
            ASSERT_EQ(Family<Qel16u>::by_side(side)(src, 0, set, 2, dst.data(), &n), qelOk);
            EXPECT_EQ(n, 0);
            ASSERT_EQ(Family<Qel16u>::by_side(side)(spaces, 4, set, 2, dst.data(), &n), qelOk);
            EXPECT_EQ(n, 0);
            EXPECT_TRUE(std::all_of(dst.begin(), dst.end(), [](Qel16u u) { return u == kSentinel<Qel16u>; }));
            ASSERT_EQ(Family<Qel16u>::by_side(side)(spaces, 4, set, 0, dst.data(), &n), qelOk);
            EXPECT_EQ(n, 4);
            EXPECT_TRUE(std::equal(spaces, spaces + 4, dst.begin()));
            EXPECT_EQ(dst[4], kSentinel<Qel16u>);
        }
    }
    qelcoreCtlReset();
}

// The set trims ask on every accepted call, whatever the sizes, and never
// on a rejected one; the one-unit trims never ask.
TEST(TrimSet, AsksForTheFeatureOnEveryCall) {
    std::vector<Qel8u> s8(40, 'a'), set8(300, 'b'), d8(40);
    std::vector<Qel16u> s16(40, 'a'), set16(300, 'b'), d16(40);
    int32_t n = 0;
    for (int side : {kTrimBoth, kTrimStart, kTrimEnd}) {
        qelcoreCtlReset();
        Family<Qel8u>::by_side(side)(s8.data(), 40, set8.data(), 300, d8.data(), &n);
        Family<Qel8u>::by_side(side)(s8.data(), 0, set8.data(), 3, d8.data(), &n);
        Family<Qel8u>::by_side(side)(s8.data(), 40, set8.data(), 0, d8.data(), &n);
        Family<Qel16u>::by_side(side)(s16.data(), 40, set16.data(), 300, d16.data(), &n);
        Family<Qel16u>::by_side(side)(s16.data(), 40, set16.data(), 1, d16.data(), &n);
        EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_GET_FEATURE), 5) << side_name(side);
        Family<Qel8u>::by_side(side)(s8.data(), -1, set8.data(), 3, d8.data(), &n);
        Family<Qel16u>::by_side(side)(s16.data(), 40, nullptr, 3, d16.data(), &n);
        EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_GET_FEATURE), 5) << side_name(side);
    }
    qelcoreCtlReset();
    int32_t len = 40;
    qelsTrimC_8u(s8.data(), 40, 'a', d8.data(), &n);
    qelsTrimC_16u_I(s16.data(), &len, 'a');
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_GET_FEATURE), 0);
    qelcoreCtlReset();
}

// Pointers (in parameter order), then lengths; nothing written on error.
TEST(TrimSet, ArgumentChecks) {
    const Qel8u src[4] = {' ', 'a', 'b', ' '};
    const Qel8u set[1] = {' '};
    struct Row {
        int null_arg;  // 0 none, 1 src, 2 set, 3 dst, 4 dstLen
        int32_t len, n;
        QelStatus want;
    };
    const Row rows[] = {{1, -1, -1, qelErrNullPtr}, {2, 4, -1, qelErrNullPtr}, {3, -1, 1, qelErrNullPtr},
                        {4, 4, 1, qelErrNullPtr},   {0, -1, 1, qelErrLength},  {0, 4, -1, qelErrLength}};
    for (int side : {kTrimBoth, kTrimStart, kTrimEnd})
        for (const Row& r : rows) {
            Qel8u dst[4] = {9, 9, 9, 9};
            int32_t dst_len = 77;
            EXPECT_EQ(Family<Qel8u>::by_side(side)(r.null_arg == 1 ? nullptr : src, r.len, r.null_arg == 2 ? nullptr : set,
                                                   r.n, r.null_arg == 3 ? nullptr : dst,
                                                   r.null_arg == 4 ? nullptr : &dst_len),
                      r.want)
                << side_name(side) << " row " << r.null_arg << " " << r.len << " " << r.n;
            EXPECT_EQ(dst_len, 77);
            EXPECT_EQ(dst[0], 9);
        }
}

// ---- One-unit trims ----

template <class T>
void sweep_unit_trims(T c, T other) {
    using F = Family<T>;
    Placed<T> text(400);
    const std::vector<int32_t> runs = {0, 1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 100};
    const std::vector<int32_t> mids = {0, 1, 2, 5, 20};
    uint32_t seed = 3;
    for (int32_t left : runs)
        for (int32_t right : runs)
            for (int32_t mid : mids) {
                std::vector<T> s(static_cast<size_t>(left), c);
                for (int32_t i = 0; i < mid; ++i) s.push_back(i == 0 || i == mid - 1 || seed++ % 2 ? other : c);
                s.insert(s.end(), static_cast<size_t>(right), c);
                const int32_t len = static_cast<int32_t>(s.size());
                const int32_t keep = mid;  // the middle starts and ends with `other`
                const std::string what = "runs " + std::to_string(left) + "/" + std::to_string(mid) + "/" +
                                         std::to_string(right);
                // Flush with the trailing guard, flush with the leading one,
                // then one and three units in; 16-bit units also at odd addresses.
                for (int where : {-1, 0, 1, 3})
                    for (size_t odd : qeltest::unit_offsets<T>()) {
                        const T* sp = text.put(s, where < 0, where < 0 ? 0 : static_cast<size_t>(where), odd);
                        const std::string at = what + " offset " + std::to_string(where) + " odd " + std::to_string(odd);
                        qeltest::Guarded<T> dst(std::vector<T>(s.size() + 4, kSentinel<T>), false, odd);
                        int32_t dst_len = -1;
                        ASSERT_EQ(F::trim_c(sp, len, c, dst.data(), &dst_len), qelOk) << at;
                        ASSERT_EQ(dst_len, keep) << at;
                        for (size_t i = 0; i < dst.size(); ++i)
                            ASSERT_EQ(qeltest::unit_at(dst.data(), i),
                                      i < size_t(keep) ? s[size_t(left) + i] : kSentinel<T>)
                                << at << " unit " << i;

                        std::vector<T> slack(s);
                        slack.push_back(c);  // data() stays non-null for an empty string
                        qeltest::Guarded<T> buf(slack, false, odd);
                        int32_t buf_len = len;
                        ASSERT_EQ(F::trim_c_in_place(buf.data(), &buf_len, c), qelOk) << at;
                        ASSERT_EQ(buf_len, keep) << at;
                        for (size_t i = 0; i < size_t(keep); ++i)
                            ASSERT_EQ(qeltest::unit_at(buf.data(), i), s[size_t(left) + i]) << at << " unit " << i;
                    }
            }
}

TEST(TrimUnit, RunsAcrossWordAndBlockBoundaries) {
    sweep_unit_trims<Qel8u>(' ', 'q');
    sweep_unit_trims<Qel8u>(0xFF, 0x7F);
    sweep_unit_trims<Qel16u>(0x0020, 0x2020);  // a unit sharing bytes with the removed one
    sweep_unit_trims<Qel16u>(0xFFFF, 0x8000);
}

TEST(TrimUnit, DocumentedExample) {
    const char* text = "  ab c  ";
    std::vector<Qel8u> s(text, text + 8);
    std::vector<Qel16u> s16(s.begin(), s.end());
    Qel8u d8[8];
    Qel16u d16[8];
    int32_t n = 0;
    ASSERT_EQ(qelsTrimC_8u(s.data(), 8, ' ', d8, &n), qelOk);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d8), static_cast<size_t>(n)), "ab c");
    ASSERT_EQ(qelsTrimC_16u(s16.data(), 8, ' ', d16, &n), qelOk);
    ASSERT_EQ(n, 4);
    EXPECT_TRUE(std::equal(s16.begin() + 2, s16.begin() + 6, d16));
}

// A long removed run at the start makes the moved stretch overlap its old
// place, for short stretches and for ones large enough for the bulk copy.
TEST(TrimUnit, InPlaceMoveOverOverlap) {
    for (int32_t run : {1, 3, 17, 5000}) {
        for (int32_t keep : {1, 40, 1000, 40000}) {
            std::vector<Qel8u> s8(static_cast<size_t>(run), '.');
            std::vector<Qel8u> body = qeltest::random_units<Qel8u>(static_cast<size_t>(keep), 5u + keep, 'a', 'z');
            s8.insert(s8.end(), body.begin(), body.end());
            s8.insert(s8.end(), 7, '.');
            int32_t len = static_cast<int32_t>(s8.size());
            ASSERT_EQ(qelsTrimC_8u_I(s8.data(), &len, '.'), qelOk);
            ASSERT_EQ(len, keep);
            EXPECT_TRUE(std::equal(body.begin(), body.end(), s8.begin())) << run << "/" << keep;

            std::vector<Qel16u> s16(static_cast<size_t>(run), 0x2E2E);
            s16.insert(s16.end(), body.begin(), body.end());
            len = static_cast<int32_t>(s16.size());
            ASSERT_EQ(qelsTrimC_16u_I(s16.data(), &len, 0x2E2E), qelOk);
            ASSERT_EQ(len, keep);
            EXPECT_TRUE(std::equal(body.begin(), body.end(), s16.begin())) << run << "/" << keep;
        }
    }
}

// Destination equal to the source: the result is the in-place trim.
TEST(TrimUnit, DestinationIsSource) {
    for (int32_t run : {0, 2, 40, 3000}) {
        std::vector<Qel8u> body = qeltest::random_units<Qel8u>(100, 9u + run, 'a', 'z');
        std::vector<Qel8u> s8(static_cast<size_t>(run), ' ');
        s8.insert(s8.end(), body.begin(), body.end());
        s8.insert(s8.end(), 3, ' ');
        int32_t n = -1;
        ASSERT_EQ(qelsTrimC_8u(s8.data(), static_cast<int32_t>(s8.size()), ' ', s8.data(), &n), qelOk);
        ASSERT_EQ(n, 100);
        EXPECT_TRUE(std::equal(body.begin(), body.end(), s8.begin()));

        std::vector<Qel16u> s16(static_cast<size_t>(run), ' ');
        s16.insert(s16.end(), body.begin(), body.end());
        ASSERT_EQ(qelsTrimC_16u(s16.data(), static_cast<int32_t>(s16.size()), ' ', s16.data(), &n), qelOk);
        ASSERT_EQ(n, 100);
        EXPECT_TRUE(std::equal(body.begin(), body.end(), s16.begin()));
    }
}

// Everything removed: length 0 and the destination untouched; the in-place
// form writes length 0.
TEST(TrimUnit, AllRemoved) {
    for (int32_t len : {0, 1, 16, 37}) {
        std::vector<Qel8u> s(static_cast<size_t>(len) + 1, 'z');
        Qel8u dst[4] = {1, 2, 3, 4};
        int32_t n = -1;
        ASSERT_EQ(qelsTrimC_8u(s.data(), len, 'z', dst, &n), qelOk);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(dst[0], 1);
        int32_t in_len = len;
        ASSERT_EQ(qelsTrimC_8u_I(s.data(), &in_len, 'z'), qelOk);
        EXPECT_EQ(in_len, 0);
    }
}

TEST(TrimUnit, ArgumentChecks) {
    Qel16u src[3] = {' ', 'a', ' '};
    Qel16u dst[3] = {9, 9, 9};
    int32_t dst_len = 77;
    EXPECT_EQ(qelsTrimC_16u(nullptr, -1, ' ', dst, &dst_len), qelErrNullPtr);
    EXPECT_EQ(qelsTrimC_16u(src, 3, ' ', nullptr, &dst_len), qelErrNullPtr);
    EXPECT_EQ(qelsTrimC_16u(src, -1, ' ', dst, nullptr), qelErrNullPtr);
    EXPECT_EQ(qelsTrimC_16u(src, -1, ' ', dst, &dst_len), qelErrLength);
    EXPECT_EQ(qelsTrimC_8u(nullptr, 3, ' ', reinterpret_cast<Qel8u*>(dst), &dst_len), qelErrNullPtr);
    EXPECT_EQ(qelsTrimC_8u(reinterpret_cast<Qel8u*>(src), -2, ' ', reinterpret_cast<Qel8u*>(dst), &dst_len),
              qelErrLength);
    EXPECT_EQ(dst_len, 77);
    EXPECT_EQ(dst[0], 9);

    int32_t len = -4;
    EXPECT_EQ(qelsTrimC_16u_I(nullptr, &len, ' '), qelErrNullPtr);
    EXPECT_EQ(qelsTrimC_16u_I(src, nullptr, ' '), qelErrNullPtr);
    EXPECT_EQ(qelsTrimC_16u_I(src, &len, ' '), qelErrLength);
    EXPECT_EQ(qelsTrimC_8u_I(reinterpret_cast<Qel8u*>(src), &len, ' '), qelErrLength);
    EXPECT_EQ(len, -4);
    EXPECT_EQ(src[0], ' ');
}

}  // namespace
