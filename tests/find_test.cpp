// Code-unit and substring search: kernels against plain loops over every
// start alignment and the lengths around each threshold, guard pages on both
// sides, the argument-check order, and the results that need no search.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "string/find.h"
#include "string/find_two_way.h"
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define FENCE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define FENCE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define FENCE_POISON(p, n) ((void)(p), (void)(n))
#define FENCE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif
#include "support/guard.h"
#include "support/random.h"

namespace {

// Left in the exported searches' index when they fail.
constexpr int32_t kUntouchedIndex = -7;

// ---- Plain-loop references. Units are read through memcpy because 16-bit
// strings may sit at odd addresses. ----
template <class T>
T unit(const T* p, size_t i) {
    T v;
    std::memcpy(&v, p + i, sizeof v);
    return v;
}

template <class T>
int32_t ref_find_unit(const T* s, size_t n, T c) {
    for (size_t i = 0; i < n; ++i)
        if (unit(s, i) == c) return static_cast<int32_t>(i);
    return -1;
}
template <class T>
int32_t ref_rfind_unit(const T* s, size_t n, T c) {
    for (size_t i = n; i-- > 0;)
        if (unit(s, i) == c) return static_cast<int32_t>(i);
    return -1;
}
template <class T>
bool ref_match_at(const T* s, size_t i, const T* sub, size_t m) {
    for (size_t k = 0; k < m; ++k)
        if (unit(s, i + k) != unit(sub, k)) return false;
    return true;
}
template <class T>
int32_t ref_find_sub(const T* s, size_t n, const T* sub, size_t m) {
    if (m == 0 || m > n) return -1;
    for (size_t i = 0; i + m <= n; ++i)
        if (ref_match_at(s, i, sub, m)) return static_cast<int32_t>(i);
    return -1;
}
template <class T>
int32_t ref_rfind_sub(const T* s, size_t n, const T* sub, size_t m) {
    if (m == 0 || m > n) return -1;
    for (size_t i = n - m + 1; i-- > 0;)
        if (ref_match_at(s, i, sub, m)) return static_cast<int32_t>(i);
    return -1;
}

// ---- Kernels by width. ----
// An exported unit search's index, or kUntouchedIndex when it fails.
template <class T>
int32_t exported_index(QelStatus (*fn)(const T*, int32_t, T, int32_t*), const T* s, size_t n, T c) {
    int32_t i = kUntouchedIndex;
    return fn(s, static_cast<int32_t>(n), c, &i) == qelOk ? i : kUntouchedIndex;
}
template <class T>
struct K;
template <>
struct K<Qel8u> {
    static int32_t find(const Qel8u* s, size_t n, Qel8u c) { return qel::find_byte(s, static_cast<int32_t>(n), c); }
    static int32_t rfind(const Qel8u* s, size_t n, Qel8u c) { return qel::rfind_byte(s, static_cast<int32_t>(n), c); }
    // The exported searches sort lengths under 64 bytes out before the
    // kernel: their own paths, checked as well.
    static int32_t find_export(const Qel8u* s, size_t n, Qel8u c) { return exported_index(qelsFindC_8u, s, n, c); }
    static int32_t rfind_export(const Qel8u* s, size_t n, Qel8u c) { return exported_index(qelsFindRevC_8u, s, n, c); }
    static int32_t find_sub(const Qel8u* s, size_t n, const Qel8u* b, size_t m) {
        return qel::find_substring(s, static_cast<int32_t>(n), b, static_cast<int32_t>(m));
    }
    static int32_t rfind_sub(const Qel8u* s, size_t n, const Qel8u* b, size_t m) {
        return qel::rfind_substring(s, static_cast<int32_t>(n), b, static_cast<int32_t>(m));
    }
    // Target units, and an alphabet without them: high bytes included.
    static std::vector<Qel8u> targets() { return {0x00, 0x41, 0x80, 0xFF}; }
    static std::vector<Qel8u> others() { return {0x01, 0x40, 0x42, 0x7F, 0x81, 0xC3, 0xFE, 0x20}; }
    // Small alphabets, so that partial and overlapping matches are common.
    static std::vector<Qel8u> pair() { return {'a', 'b'}; }
    static std::vector<Qel8u> triple() { return {'a', 'b', 0x80}; }
};
template <>
struct K<Qel16u> {
    static int32_t find(const Qel16u* s, size_t n, Qel16u c) { return qel::find_unit16(s, static_cast<int32_t>(n), c); }
    static int32_t rfind(const Qel16u* s, size_t n, Qel16u c) { return qel::rfind_unit16(s, static_cast<int32_t>(n), c); }
    static int32_t find_export(const Qel16u* s, size_t n, Qel16u c) { return exported_index(qelsFindC_16u, s, n, c); }
    static int32_t rfind_export(const Qel16u* s, size_t n, Qel16u c) { return exported_index(qelsFindRevC_16u, s, n, c); }
    static int32_t find_sub(const Qel16u* s, size_t n, const Qel16u* b, size_t m) {
        return qel::find_substring16(s, static_cast<int32_t>(n), b, static_cast<int32_t>(m));
    }
    static int32_t rfind_sub(const Qel16u* s, size_t n, const Qel16u* b, size_t m) {
        return qel::rfind_substring16(s, static_cast<int32_t>(n), b, static_cast<int32_t>(m));
    }
    static std::vector<Qel16u> targets() { return {0x0000, 0x1234, 0x8000, 0xFFFF}; }
    // Units that share a byte with a target, so that lanes read off the
    // unit grid (or compared by bytes) would produce false hits: 0x3400
    // followed by 0x0012 holds the bytes 34 12 at an odd offset.
    static std::vector<Qel16u> others() { return {0x3412, 0x3400, 0x0012, 0x1200, 0x0034, 0x80FF, 0xFF80, 0x00FF}; }
    static std::vector<Qel16u> pair() { return {0x3412, 0x1234}; }
    static std::vector<Qel16u> triple() { return {0x3412, 0x1234, 0x8000}; }
};

// A string placed at byte offset `align` past a 64-byte boundary, fenced on
// both sides by `fence` units: a kernel that used a unit outside the string
// would see the fence and give a different answer. Under AddressSanitizer the
// fences are also poisoned, so that a read past the end is reported even
// when it leaves the answer unchanged and stays within the page.
template <class T>
class Placed {
public:
    Placed(const std::vector<T>& v, size_t align, const std::vector<T>& fence) : raw_(v.size() * sizeof(T) + 512) {
        uintptr_t a = reinterpret_cast<uintptr_t>(raw_.data()) + 128;
        p_ = reinterpret_cast<uint8_t*>((a + 63) & ~uintptr_t{63}) + align;
        const size_t f = fence.size();
        for (size_t k = 1; k <= 48; ++k) std::memcpy(p_ - k * sizeof(T), &fence[(f - k % f) % f], sizeof(T));
        for (size_t k = 0; k < 48; ++k) std::memcpy(p_ + (v.size() + k) * sizeof(T), &fence[k % f], sizeof(T));
        if (!v.empty()) std::memcpy(p_, v.data(), v.size() * sizeof(T));
        end_ = p_ + v.size() * sizeof(T);
        FENCE_POISON(raw_.data(), static_cast<size_t>(p_ - raw_.data()));
        FENCE_POISON(end_, static_cast<size_t>(raw_.data() + raw_.size() - end_));
    }
    ~Placed() { FENCE_UNPOISON(raw_.data(), raw_.size()); }
    Placed(const Placed&) = delete;
    Placed& operator=(const Placed&) = delete;
    const T* data() const { return reinterpret_cast<const T*>(p_); }

private:
    std::vector<uint8_t> raw_;
    uint8_t* p_;
    uint8_t* end_;
};

std::vector<size_t> test_lengths() {
    std::vector<size_t> s;
    for (size_t n = 0; n <= 300; ++n) s.push_back(n);
    for (size_t n : {511u, 4096u, 4099u, 65537u}) s.push_back(n);
    return s;
}

// Hit layouts: none, first, middle, last, first and last.
template <class T>
std::vector<std::vector<T>> unit_layouts(size_t n, T c, uint32_t seed) {
    std::vector<std::vector<T>> out;
    std::vector<T> base = qeltest::random_from<T>(n, seed, K<T>::others());
    out.push_back(base);
    if (n == 0) return out;
    for (size_t at : {size_t{0}, n / 2, n - 1}) {
        out.push_back(base);
        out.back()[at] = c;
    }
    out.push_back(base);
    out.back()[0] = c;
    out.back()[n - 1] = c;
    return out;
}

// Beyond 300 units: around the ends of the two-block steps of the byte
// kernels' main loop (256 bytes), where the last two blocks take over.
std::vector<size_t> unit_test_lengths() {
    std::vector<size_t> s = test_lengths();
    for (size_t n : {383u, 384u, 385u, 512u, 513u, 767u, 768u, 769u, 1023u, 1024u, 1025u}) s.push_back(n);
    return s;
}

template <class T>
void check_units_all_alignments() {
    for (size_t n : unit_test_lengths()) {
        for (T c : K<T>::targets()) {
            auto layouts = unit_layouts<T>(n, c, static_cast<uint32_t>(n * 7 + c));
            for (size_t align = 0; align < 64; ++align) {
                if (n > 1100 && align % 8 != 3) continue;  // large ones: a few alignments
                for (const auto& v : layouts) {
                    Placed<T> p(v, align, std::vector<T>{c});
                    ASSERT_EQ(K<T>::find(p.data(), n, c), ref_find_unit(v.data(), n, c))
                        << "find n=" << n << " align=" << align << " c=" << +c;
                    ASSERT_EQ(K<T>::rfind(p.data(), n, c), ref_rfind_unit(v.data(), n, c))
                        << "rfind n=" << n << " align=" << align << " c=" << +c;
                    if (n * sizeof(T) > 64) continue;
                    ASSERT_EQ(K<T>::find_export(p.data(), n, c), ref_find_unit(v.data(), n, c))
                        << "exported find n=" << n << " align=" << align << " c=" << +c;
                    ASSERT_EQ(K<T>::rfind_export(p.data(), n, c), ref_rfind_unit(v.data(), n, c))
                        << "exported rfind n=" << n << " align=" << align << " c=" << +c;
                }
            }
        }
    }
}

TEST(FindUnit, Bytes_AllAlignmentsAndLengths) { check_units_all_alignments<Qel8u>(); }
TEST(FindUnit, Units16_AllAlignmentsAndLengths) { check_units_all_alignments<Qel16u>(); }

TEST(FindUnit, EveryPositionOfALongString) {
    // Each position once as the only hit: covers every lane of every block.
    const size_t n = 700;
    for (size_t align : {0u, 1u, 17u, 32u}) {
        auto v = qeltest::random_from<Qel8u>(n, 3, K<Qel8u>::others());
        auto w = qeltest::random_from<Qel16u>(n, 4, K<Qel16u>::others());
        for (size_t at = 0; at < n; ++at) {
            v[at] = 0x80;
            w[at] = 0x8000;
            Placed<Qel8u> p(v, align, {0x80});
            Placed<Qel16u> q(w, align, {0x8000});
            ASSERT_EQ(qel::find_byte(p.data(), n, 0x80), static_cast<int32_t>(at)) << align;
            ASSERT_EQ(qel::rfind_byte(p.data(), n, 0x80), static_cast<int32_t>(at)) << align;
            ASSERT_EQ(qel::find_unit16(q.data(), n, 0x8000), static_cast<int32_t>(at)) << align;
            ASSERT_EQ(qel::rfind_unit16(q.data(), n, 0x8000), static_cast<int32_t>(at)) << align;
            v[at] = 0x01;
            w[at] = 0x0001;
        }
    }
}

// ---- Substrings. ----
// Substring lengths around the verification's word, vector and block sizes.
const std::vector<size_t> kSubLengths = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 79, 100};

template <class T>
void check_substrings_all_alignments() {
    const std::vector<T> ab = K<T>::pair();
    size_t rot = 0;
    for (size_t n : test_lengths()) {
        auto v = qeltest::random_from<T>(n, static_cast<uint32_t>(n + 11), ab);
        for (size_t align = 0; align < 64; ++align) {
            if (n > 300 && align % 16 != 5) continue;
            for (int pick = 0; pick < 3; ++pick) {
                size_t m = kSubLengths[rot++ % kSubLengths.size()];
                // Drawn from the string (often found, often more than once)
                // or random (mostly near misses).
                std::vector<T> sub;
                if (m <= n && pick != 2) {
                    size_t at = (rot * 37) % (n - m + 1);
                    sub.assign(v.begin() + static_cast<long>(at), v.begin() + static_cast<long>(at + m));
                } else {
                    sub = qeltest::random_from<T>(m, static_cast<uint32_t>(rot), ab);
                }
                Placed<T> p(v, align, sub);
                ASSERT_EQ(K<T>::find_sub(p.data(), n, sub.data(), m), ref_find_sub(v.data(), n, sub.data(), m))
                    << "find n=" << n << " m=" << m << " align=" << align;
                ASSERT_EQ(K<T>::rfind_sub(p.data(), n, sub.data(), m), ref_rfind_sub(v.data(), n, sub.data(), m))
                    << "rfind n=" << n << " m=" << m << " align=" << align;
            }
        }
    }
}

TEST(FindSubstring, Bytes_AllAlignmentsAndLengths) { check_substrings_all_alignments<Qel8u>(); }
TEST(FindSubstring, Units16_AllAlignmentsAndLengths) { check_substrings_all_alignments<Qel16u>(); }

// Below about 4096 candidates a byte substring's filter bytes come from its
// first bytes only, above it from a wider ranking: strings whose candidate
// count sits on either side of that change, with substrings drawn from them
// (found, near the end too) and random ones.
TEST(FindSubstring, Bytes_AroundTheShortRankingSwitch) {
    const std::vector<Qel8u> ab = K<Qel8u>::pair();
    uint32_t seed = 1;
    for (size_t m : kSubLengths) {
        for (size_t cand = 4092; cand <= 4100; ++cand) {
            const size_t n = cand + m - 1;
            auto v = qeltest::random_from<Qel8u>(n, seed++, ab);
            for (size_t at : {size_t{0}, (cand - 1) / 2, cand - 1, n}) {
                std::vector<Qel8u> sub = at < n ? std::vector<Qel8u>(v.begin() + static_cast<long>(at),
                                                                     v.begin() + static_cast<long>(at + m))
                                                : qeltest::random_from<Qel8u>(m, seed++, ab);
                for (size_t align : {0u, 7u, 31u}) {
                    Placed<Qel8u> p(v, align, sub);
                    ASSERT_EQ(qel::find_substring(p.data(), static_cast<int32_t>(n), sub.data(), static_cast<int32_t>(m)),
                              ref_find_sub(v.data(), n, sub.data(), m))
                        << "find n=" << n << " m=" << m << " at=" << at << " align=" << align;
                    ASSERT_EQ(qel::rfind_substring(p.data(), static_cast<int32_t>(n), sub.data(), static_cast<int32_t>(m)),
                              ref_rfind_sub(v.data(), n, sub.data(), m))
                        << "rfind n=" << n << " m=" << m << " at=" << at << " align=" << align;
                }
            }
        }
    }
}

// A substring whose units never occur elsewhere, planted at the first, a
// middle and the last candidate, and twice.
template <class T>
void check_planted_substrings() {
    for (size_t n : {2u, 16u, 17u, 31u, 32u, 33u, 64u, 100u, 129u, 300u, 5000u}) {
        auto v = qeltest::random_from<T>(n, 5, K<T>::others());
        for (size_t m : kSubLengths) {
            if (m > n) continue;
            std::vector<T> sub = qeltest::random_from<T>(m, static_cast<uint32_t>(m), K<T>::targets());
            const size_t last = n - m;
            for (auto hits : std::vector<std::vector<size_t>>{{0}, {last / 2}, {last}, {0, last}}) {
                if (hits.size() == 2 && m > last) continue;  // would overlap
                std::vector<T> w = v;
                for (size_t at : hits) std::copy(sub.begin(), sub.end(), w.begin() + static_cast<long>(at));
                for (size_t align : {0u, 1u, 3u, 33u}) {
                    Placed<T> p(w, align, sub);
                    ASSERT_EQ(K<T>::find_sub(p.data(), n, sub.data(), m), ref_find_sub(w.data(), n, sub.data(), m))
                        << "n=" << n << " m=" << m << " at=" << hits[0];
                    ASSERT_EQ(K<T>::rfind_sub(p.data(), n, sub.data(), m), ref_rfind_sub(w.data(), n, sub.data(), m))
                        << "n=" << n << " m=" << m << " at=" << hits.back();
                }
            }
        }
    }
}

TEST(FindSubstring, Bytes_PlantedFirstMiddleLast) { check_planted_substrings<Qel8u>(); }
TEST(FindSubstring, Units16_PlantedFirstMiddleLast) { check_planted_substrings<Qel16u>(); }

TEST(FindSubstring, OverlappingOccurrences) {
    struct Row {
        std::string s, sub;
        int32_t first, last;
    };
    const std::vector<Row> rows = {
        {"aaaa", "aaa", 0, 1},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "aaaaa", 0, 37},
        {"abababababababababababababababababababab", "abab", 0, 36},
        {"xxabaabaabaabaabaabaabaabaabaabaabaabaaba", "abaaba", 2, 35},
    };
    for (const auto& r : rows) {
        auto s = reinterpret_cast<const Qel8u*>(r.s.data());
        auto sub = reinterpret_cast<const Qel8u*>(r.sub.data());
        int32_t n = static_cast<int32_t>(r.s.size()), m = static_cast<int32_t>(r.sub.size());
        EXPECT_EQ(qel::find_substring(s, n, sub, m), r.first) << r.s << " / " << r.sub;
        EXPECT_EQ(qel::rfind_substring(s, n, sub, m), r.last) << r.s << " / " << r.sub;
        std::vector<Qel16u> s16(r.s.begin(), r.s.end()), sub16(r.sub.begin(), r.sub.end());
        EXPECT_EQ(qel::find_substring16(s16.data(), n, sub16.data(), m), r.first) << r.s << " / " << r.sub;
        EXPECT_EQ(qel::rfind_substring16(s16.data(), n, sub16.data(), m), r.last) << r.s << " / " << r.sub;
    }
}

// ---- The linear fallback. ----

// Two-Way on its own, against the plain loop: two- and three-letter
// alphabets make periodic substrings, critical positions at either end and
// near misses common.
template <class T>
void check_two_way() {
    uint32_t seed = 1;
    for (const std::vector<T>& abc : {K<T>::pair(), K<T>::triple()})
        for (size_t n : {1u, 2u, 7u, 40u, 200u})
            for (size_t m = 1; m <= 24 && m <= n; ++m)
                for (int pick = 0; pick < 6; ++pick) {
                    auto v = qeltest::random_from<T>(n, seed++, abc);
                    // Periodic substrings: a random period repeated, or a
                    // piece of the string itself.
                    std::vector<T> sub = qeltest::random_from<T>(m, seed++, abc);
                    if (pick % 3 == 1)
                        for (size_t k = 1 + pick % 2; k < m; ++k) sub[k] = sub[k % (1 + pick % 2 + 1)];
                    if (pick % 3 == 2) {
                        size_t at = seed % (n - m + 1);
                        sub.assign(v.begin() + static_cast<long>(at), v.begin() + static_cast<long>(at + m));
                    }
                    ASSERT_EQ(qel::two_way_find(v.data(), n, sub.data(), m), ref_find_sub(v.data(), n, sub.data(), m))
                        << "n=" << n << " m=" << m << " pick=" << pick;
                    ASSERT_EQ(qel::two_way_rfind(v.data(), n, sub.data(), m), ref_rfind_sub(v.data(), n, sub.data(), m))
                        << "n=" << n << " m=" << m << " pick=" << pick;
                }
}

TEST(FindSubstring, Bytes_TwoWayMatchesPlainLoop) { check_two_way<Qel8u>(); }
TEST(FindSubstring, Units16_TwoWayMatchesPlainLoop) { check_two_way<Qel16u>(); }

// Inputs that defeat the filter: every other position of a periodic string
// passes it and fails only in the last unit, so the verification budget runs
// out early and the search moves to Two-Way part-way through the string. An
// occurrence planted before, at and after the switch, at both ends, twice,
// or not at all must be reported as by the plain loop, in both directions.
template <class T>
void check_filter_defeated() {
    const T a = 'a', b = 'b';
    for (size_t half : {1u, 7u, 40u}) {
        std::vector<T> sub;
        for (size_t k = 0; k < half; ++k) sub.insert(sub.end(), {a, b});
        sub.push_back(b);  // (ab)^half b: never in (ab)*
        const size_t m = sub.size();
        for (size_t n : {300u, 4099u}) {
            std::vector<T> base(n);
            for (size_t i = 0; i < n; ++i) base[i] = i % 2 ? b : a;
            std::vector<std::vector<size_t>> plants = {{}, {0}, {2}, {64}, {n / 2}, {n - m}, {6, n - m - 1}};
            for (const auto& at : plants) {
                std::vector<T> v = base;
                for (size_t p : at) std::copy(sub.begin(), sub.end(), v.begin() + static_cast<long>(p));
                for (size_t odd : qeltest::unit_offsets<T>()) {
                    qeltest::Guarded<T> g(v, true, odd);
                    const std::string what = "m=" + std::to_string(m) + " n=" + std::to_string(n) + " at=" +
                                             (at.empty() ? "none" : std::to_string(at[0]));
                    ASSERT_EQ(K<T>::find_sub(g.data(), n, sub.data(), m), ref_find_sub(v.data(), n, sub.data(), m))
                        << what;
                    ASSERT_EQ(K<T>::rfind_sub(g.data(), n, sub.data(), m), ref_rfind_sub(v.data(), n, sub.data(), m))
                        << what;
                }
            }
        }
    }
}

TEST(FindSubstring, Bytes_FilterDefeatedStaysExact) { check_filter_defeated<Qel8u>(); }
TEST(FindSubstring, Units16_FilterDefeatedStaysExact) { check_filter_defeated<Qel16u>(); }

// Over long strings, a substring longer than 32 bytes may take its second
// filter byte from its last 32. The text repeats the substring's opening
// phrase throughout, near misses differ from it in one byte of the last 32
// each, and the substring itself sits near either end, at both, or nowhere;
// string and substring are flush against guard pages.
TEST(FindSubstring, LongSubstringsOverLongStrings) {
    std::string text;
    while (text.size() < 20000) text += " of this License and the terms of the work that is kept";
    const size_t n = text.size();
    for (size_t m : {33u, 40u, 64u, 100u}) {
        std::string sub = text.substr(0, m);
        sub[m - 7] = 'k';  // a rare letter near the end: the text never holds sub
        std::string base = text;
        for (size_t k = m - 32; k < m; ++k) {
            std::string miss = sub;
            miss[k] = '#';
            base.replace(100 + (k - (m - 32)) * 400, m, miss);
        }
        const std::vector<std::vector<size_t>> plants = {{}, {5}, {n - m - 3}, {5, n - m - 3}};
        for (const auto& at : plants) {
            std::string w = base;
            for (size_t p : at) w.replace(p, m, sub);
            std::vector<Qel8u> v(w.begin(), w.end()), sv(sub.begin(), sub.end());
            for (bool tail : {false, true}) {
                qeltest::Guarded<Qel8u> g(v, tail, 0), gs(sv, !tail, 0);
                const std::string what = "m=" + std::to_string(m) + " at=" + (at.empty() ? "none" : std::to_string(at[0]));
                ASSERT_EQ(qel::find_substring(g.data(), static_cast<int32_t>(n), gs.data(), static_cast<int32_t>(m)),
                          ref_find_sub(v.data(), n, sv.data(), m))
                    << what;
                ASSERT_EQ(qel::rfind_substring(g.data(), static_cast<int32_t>(n), gs.data(), static_cast<int32_t>(m)),
                          ref_rfind_sub(v.data(), n, sv.data(), m))
                    << what;
            }
        }
    }
}

// ---- Guard pages: strings and substrings flush against an inaccessible
// page on either side, with the deciding units at the very edges. ----
template <class T>
void check_guarded() {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    lengths.push_back(4096 + 77);
    const T c = K<T>::targets()[2];
    for (size_t n : lengths) {
        auto v = qeltest::random_from<T>(n, static_cast<uint32_t>(n), K<T>::others());
        for (bool at_tail : {false, true}) {
            for (size_t odd : qeltest::unit_offsets<T>()) {
                qeltest::Guarded<T> g(v, at_tail, odd);
                const T* s = g.data();
                ASSERT_EQ(K<T>::find(s, n, c), -1) << n;
                ASSERT_EQ(K<T>::rfind(s, n, c), -1) << n;
                ASSERT_EQ(K<T>::find_export(s, n, c), -1) << n;
                ASSERT_EQ(K<T>::rfind_export(s, n, c), -1) << n;
                for (size_t m : {1u, 2u, 3u, 5u, 16u, 17u, 33u, 100u}) {
                    if (m > n) break;
                    // The string's first and last m units, themselves guarded.
                    for (bool from_end : {false, true}) {
                        std::vector<T> sub(v.begin() + static_cast<long>(from_end ? n - m : 0),
                                           v.begin() + static_cast<long>(from_end ? n : m));
                        for (bool sub_tail : {false, true}) {
                            qeltest::Guarded<T> gs(sub, sub_tail, sizeof(T) - 1 - odd);
                            ASSERT_EQ(K<T>::find_sub(s, n, gs.data(), m), ref_find_sub(v.data(), n, sub.data(), m)) << n;
                            ASSERT_EQ(K<T>::rfind_sub(s, n, gs.data(), m), ref_rfind_sub(v.data(), n, sub.data(), m)) << n;
                        }
                    }
                }
            }
        }
        if (n == 0) continue;
        v.back() = c;  // only hit at the edge next to the trailing guard
        qeltest::Guarded<T> t(v, true, sizeof(T) - 1);
        ASSERT_EQ(K<T>::find(t.data(), n, c), static_cast<int32_t>(n - 1));
        ASSERT_EQ(K<T>::rfind(t.data(), n, c), static_cast<int32_t>(n - 1));
        ASSERT_EQ(K<T>::find_export(t.data(), n, c), static_cast<int32_t>(n - 1));
        ASSERT_EQ(K<T>::rfind_export(t.data(), n, c), static_cast<int32_t>(n - 1));
        v.back() = v.front();
        v.front() = c;  // only hit at the edge next to the leading guard
        qeltest::Guarded<T> h(v, false, sizeof(T) - 1);
        ASSERT_EQ(K<T>::find(h.data(), n, c), 0);
        ASSERT_EQ(K<T>::rfind(h.data(), n, c), 0);
        ASSERT_EQ(K<T>::find_export(h.data(), n, c), 0);
        ASSERT_EQ(K<T>::rfind_export(h.data(), n, c), 0);
    }
}

TEST(FindGuarded, Bytes) { check_guarded<Qel8u>(); }
TEST(FindGuarded, Units16) { check_guarded<Qel16u>(); }

// ---- Zero-terminated forms. ----
template <class T>
struct Z;
template <>
struct Z<Qel8u> {
    static QelStatus findc(const Qel8u* s, Qel8u c, int32_t* i) { return qelsFindC_Z_8u(s, c, i); }
    static QelStatus find(const Qel8u* s, const Qel8u* b, int32_t* i) { return qelsFind_Z_8u(s, b, i); }
};
template <>
struct Z<Qel16u> {
    static QelStatus findc(const Qel16u* s, Qel16u c, int32_t* i) { return qelsFindC_Z_16u(s, c, i); }
    static QelStatus find(const Qel16u* s, const Qel16u* b, int32_t* i) { return qelsFind_Z_16u(s, b, i); }
};

template <class T>
void check_z_forms() {
    const std::vector<T> ab = K<T>::triple();
    for (size_t n = 0; n <= 130; ++n) {
        auto v = qeltest::random_from<T>(n, static_cast<uint32_t>(n + 99), ab);
        std::vector<T> z = v;
        z.push_back(0);
        // The terminator is the last readable unit: nothing past it is read.
        qeltest::Guarded<T> g(z, true, n % sizeof(T));
        for (T c : {ab[0], ab[2], T{0x41}, T{0}}) {
            int32_t idx = -7;
            ASSERT_EQ(Z<T>::findc(g.data(), c, &idx), qelOk);
            ASSERT_EQ(idx, c == 0 ? static_cast<int32_t>(n) : ref_find_unit(v.data(), n, c)) << n << " " << +c;
        }
        for (size_t m : {0u, 1u, 2u, 3u, 17u, 40u}) {
            std::vector<T> sub = m <= n ? std::vector<T>(v.end() - static_cast<long>(m), v.end())
                                        : qeltest::random_from<T>(m, 1, ab);
            std::vector<T> subz = sub;
            subz.push_back(0);
            qeltest::Guarded<T> gs(subz, true, (n + 1) % sizeof(T));
            int32_t idx = -7;
            ASSERT_EQ(Z<T>::find(g.data(), gs.data(), &idx), qelOk);
            ASSERT_EQ(idx, ref_find_sub(v.data(), n, sub.data(), m)) << n << " " << m;
        }
    }
}

TEST(FindZ, Bytes_MatchCountedForms) { check_z_forms<Qel8u>(); }
TEST(FindZ, Units16_MatchCountedForms) { check_z_forms<Qel16u>(); }

TEST(FindZ, LengthBeyondLimitIsReported) {
    // The limit is a parameter so the wrap-around guard can be shown on a
    // short string: only max_len + 1 units are read.
    std::vector<Qel8u> s = {'a', 'b', 'c', 'd', 'e', 'f'};
    qeltest::Guarded<Qel8u> g(s, true);  // no terminator at all
    EXPECT_EQ(qel::measure_z8(g.data(), 5), qel::kZTooLong);
    EXPECT_EQ(qel::find_byte_z(g.data(), 'x', 5), qel::kZTooLong);
    EXPECT_EQ(qel::find_byte_z(g.data(), 'f', 5), 5);
    std::vector<Qel16u> w = {1, 2, 3, 0};
    qeltest::Guarded<Qel16u> gw(w, true);
    EXPECT_EQ(qel::measure_z16(gw.data(), 3), 3);
    EXPECT_EQ(qel::measure_z16(gw.data(), 2), qel::kZTooLong);
    EXPECT_EQ(qel::find_unit16_z(gw.data(), 0, 2), qel::kZTooLong);
    EXPECT_EQ(qel::find_unit16_z(gw.data(), 0, 3), 3);
}

// ---- Exported functions: argument-check order and immediate results. ----
struct CheckRow {
    const char* what;
    QelStatus (*call)(int32_t* index);
    QelStatus status;
    int32_t index;  // expected index; untouched (kUntouched) on error
};
constexpr int32_t kUntouched = 12345;
const Qel8u kS8[] = {'a', 'b', 'a', 'b', 'c', 0};
const Qel16u kS16[] = {'a', 'b', 'a', 'b', 'c', 0};
const Qel8u kSub8[] = {'a', 'b', 0};
const Qel16u kSub16[] = {'a', 'b', 0};

const CheckRow kCheckRows[] = {
    // Null before negative length; a negative length wins over a hit.
    {"FindC_8u null src, len -1", [](int32_t* i) { return qelsFindC_8u(nullptr, -1, 'a', i); }, qelErrNullPtr, kUntouched},
    {"FindC_8u null index", [](int32_t*) { return qelsFindC_8u(kS8, 5, 'a', nullptr); }, qelErrNullPtr, kUntouched},
    {"FindC_8u len -1", [](int32_t* i) { return qelsFindC_8u(kS8, -1, 'a', i); }, qelErrLength, kUntouched},
    {"FindC_16u null src", [](int32_t* i) { return qelsFindC_16u(nullptr, 5, 'a', i); }, qelErrNullPtr, kUntouched},
    {"FindC_16u len -1", [](int32_t* i) { return qelsFindC_16u(kS16, -1, 'a', i); }, qelErrLength, kUntouched},
    {"FindRevC_8u null src, len -5", [](int32_t* i) { return qelsFindRevC_8u(nullptr, -5, 'a', i); }, qelErrNullPtr, kUntouched},
    {"FindRevC_8u len -1", [](int32_t* i) { return qelsFindRevC_8u(kS8, -1, 'a', i); }, qelErrLength, kUntouched},
    {"FindRevC_16u null index", [](int32_t*) { return qelsFindRevC_16u(kS16, 5, 'a', nullptr); }, qelErrNullPtr, kUntouched},
    {"FindRevC_16u len -1", [](int32_t* i) { return qelsFindRevC_16u(kS16, -1, 'a', i); }, qelErrLength, kUntouched},
    {"Find_8u null sub, len -1", [](int32_t* i) { return qelsFind_8u(kS8, -1, nullptr, 2, i); }, qelErrNullPtr, kUntouched},
    {"Find_8u null index", [](int32_t*) { return qelsFind_8u(kS8, 5, kSub8, 2, nullptr); }, qelErrNullPtr, kUntouched},
    {"Find_8u sub len -1", [](int32_t* i) { return qelsFind_8u(kS8, 5, kSub8, -1, i); }, qelErrLength, kUntouched},
    {"Find_16u null src", [](int32_t* i) { return qelsFind_16u(nullptr, 5, kSub16, 2, i); }, qelErrNullPtr, kUntouched},
    {"Find_16u len -1", [](int32_t* i) { return qelsFind_16u(kS16, -1, kSub16, 2, i); }, qelErrLength, kUntouched},
    {"FindRev_8u null src, sub len -1", [](int32_t* i) { return qelsFindRev_8u(nullptr, 5, kSub8, -1, i); }, qelErrNullPtr, kUntouched},
    {"FindRev_8u len -1", [](int32_t* i) { return qelsFindRev_8u(kS8, -1, kSub8, 2, i); }, qelErrLength, kUntouched},
    {"FindRev_16u null sub", [](int32_t* i) { return qelsFindRev_16u(kS16, 5, nullptr, 2, i); }, qelErrNullPtr, kUntouched},
    {"FindRev_16u sub len -1", [](int32_t* i) { return qelsFindRev_16u(kS16, 5, kSub16, -1, i); }, qelErrLength, kUntouched},
    {"FindC_Z_8u null src", [](int32_t* i) { return qelsFindC_Z_8u(nullptr, 'a', i); }, qelErrNullPtr, kUntouched},
    {"FindC_Z_16u null index", [](int32_t*) { return qelsFindC_Z_16u(kS16, 'a', nullptr); }, qelErrNullPtr, kUntouched},
    {"Find_Z_8u null sub", [](int32_t* i) { return qelsFind_Z_8u(kS8, nullptr, i); }, qelErrNullPtr, kUntouched},
    {"Find_Z_16u null src", [](int32_t* i) { return qelsFind_Z_16u(nullptr, kSub16, i); }, qelErrNullPtr, kUntouched},

    // Results that need no search: empty string, empty substring, longer substring.
    {"FindC_8u empty", [](int32_t* i) { return qelsFindC_8u(kS8, 0, 'a', i); }, qelOk, -1},
    {"FindRevC_16u empty", [](int32_t* i) { return qelsFindRevC_16u(kS16, 0, 'a', i); }, qelOk, -1},
    {"Find_8u empty sub", [](int32_t* i) { return qelsFind_8u(kS8, 5, kSub8, 0, i); }, qelOk, -1},
    {"FindRev_8u empty sub", [](int32_t* i) { return qelsFindRev_8u(kS8, 5, kSub8, 0, i); }, qelOk, -1},
    {"Find_16u empty sub", [](int32_t* i) { return qelsFind_16u(kS16, 5, kSub16, 0, i); }, qelOk, -1},
    {"FindRev_16u empty both", [](int32_t* i) { return qelsFindRev_16u(kS16, 0, kSub16, 0, i); }, qelOk, -1},
    {"Find_8u sub longer", [](int32_t* i) { return qelsFind_8u(kSub8, 2, kS8, 5, i); }, qelOk, -1},
    {"FindRev_16u sub longer", [](int32_t* i) { return qelsFindRev_16u(kSub16, 1, kSub16, 2, i); }, qelOk, -1},
    {"FindC_Z_8u 0 on \"ababc\"", [](int32_t* i) { return qelsFindC_Z_8u(kS8, 0, i); }, qelOk, 5},
    {"FindC_Z_8u 0 on empty", [](int32_t* i) { return qelsFindC_Z_8u(kS8 + 5, 0, i); }, qelOk, 0},
    {"FindC_Z_16u 'a' on empty", [](int32_t* i) { return qelsFindC_Z_16u(kS16 + 5, 'a', i); }, qelOk, -1},
    {"FindC_Z_16u 0 on empty", [](int32_t* i) { return qelsFindC_Z_16u(kS16 + 5, 0, i); }, qelOk, 0},
    {"Find_Z_16u empty sub", [](int32_t* i) { return qelsFind_Z_16u(kS16, kSub16 + 2, i); }, qelOk, -1},
    {"Find_Z_8u empty string", [](int32_t* i) { return qelsFind_Z_8u(kS8 + 5, kSub8, i); }, qelOk, -1},

    // Ordinary answers through the exports.
    {"FindC_8u 'b'", [](int32_t* i) { return qelsFindC_8u(kS8, 5, 'b', i); }, qelOk, 1},
    {"FindRevC_8u 'b'", [](int32_t* i) { return qelsFindRevC_8u(kS8, 5, 'b', i); }, qelOk, 3},
    {"FindC_16u 'c'", [](int32_t* i) { return qelsFindC_16u(kS16, 5, 'c', i); }, qelOk, 4},
    {"FindRevC_16u 'z'", [](int32_t* i) { return qelsFindRevC_16u(kS16, 5, 'z', i); }, qelOk, -1},
    {"Find_8u \"ab\"", [](int32_t* i) { return qelsFind_8u(kS8, 5, kSub8, 2, i); }, qelOk, 0},
    {"FindRev_8u \"ab\"", [](int32_t* i) { return qelsFindRev_8u(kS8, 5, kSub8, 2, i); }, qelOk, 2},
    {"Find_16u \"b\"", [](int32_t* i) { return qelsFind_16u(kS16, 5, kSub16 + 1, 1, i); }, qelOk, 1},
    {"FindRev_16u \"ab\"", [](int32_t* i) { return qelsFindRev_16u(kS16, 5, kSub16, 2, i); }, qelOk, 2},
    {"FindC_Z_16u 'b'", [](int32_t* i) { return qelsFindC_Z_16u(kS16, 'b', i); }, qelOk, 1},
    {"Find_Z_8u \"ab\"", [](int32_t* i) { return qelsFind_Z_8u(kS8, kSub8, i); }, qelOk, 0},
};

TEST(FindExports, ArgumentChecksAndImmediateResults) {
    for (const auto& r : kCheckRows) {
        int32_t idx = kUntouched;
        EXPECT_EQ(r.call(&idx), r.status) << r.what;
        EXPECT_EQ(idx, r.index) << r.what;
    }
}

TEST(FindExports, EdgeCases) {
    std::vector<Qel8u> s100(100, 'x');
    int32_t idx = 0;
    s100[99] = 'y';
    for (size_t align : {0u, 1u, 5u, 16u}) {
        Placed<Qel8u> p(s100, align, {'y'});
        ASSERT_EQ(qelsFindC_8u(p.data(), 100, 'y', &idx), qelOk);
        EXPECT_EQ(idx, 99) << align;
    }
    s100[99] = 'x';
    s100[0] = 'y';
    for (size_t align : {0u, 1u, 5u, 16u}) {
        Placed<Qel8u> p(s100, align, {'y'});
        ASSERT_EQ(qelsFindC_8u(p.data(), 100, 'y', &idx), qelOk);
        EXPECT_EQ(idx, 0) << align;
    }

    const Qel8u ten[10] = {1, 2, 3, 0, 5, 6, 0, 8, 9, 10};
    ASSERT_EQ(qelsFindRevC_8u(ten, 10, 0, &idx), qelOk);
    EXPECT_EQ(idx, 6);

    // A 16-bit string at an odd address gives the same answers as at an even one.
    auto w = qeltest::random_from<Qel16u>(90, 8, K<Qel16u>::others());
    w[70] = 0x1234;
    for (size_t align : {0u, 1u, 3u}) {
        Placed<Qel16u> p(w, align, {0x1234});
        ASSERT_EQ(qelsFindC_16u(p.data(), 90, 0x1234, &idx), qelOk);
        EXPECT_EQ(idx, 70) << align;
        ASSERT_EQ(qelsFindRevC_16u(p.data(), 90, 0x1234, &idx), qelOk);
        EXPECT_EQ(idx, 70) << align;
    }

    // A 100-byte substring at offset 37 of a 300-byte string.
    auto big = qeltest::random_units<Qel8u>(300, 9);
    std::vector<Qel8u> sub(big.begin() + 37, big.begin() + 137);
    ASSERT_EQ(qelsFind_8u(big.data(), 300, sub.data(), 100, &idx), qelOk);
    EXPECT_EQ(idx, 37);
    ASSERT_EQ(qelsFindRev_8u(big.data(), 300, sub.data(), 100, &idx), qelOk);
    EXPECT_EQ(idx, 37);
}

}  // namespace
