// Substring search over 8- and 16-bit code units, forward and reverse.
//
// Filter: a candidate start i survives when the string holds the
// substring's unit at two chosen offsets. The offsets are those of the two
// rarest units of the substring by a fixed rank of how often bytes occur in
// text: the first and last units of a text substring are often a space or a
// common letter, which would let nearly every position through. One vector
// compare per offset tests 32 bytes' worth of candidates at once, and only
// survivors are compared in full. Fewer candidates than a vector go through
// 16-byte compares and then a scalar loop. The last partial block is taken
// by one more vector placed so that its last candidate is the highest one
// (lowest, in reverse): every load stays inside the string, and the
// candidates it shares with the previous block are masked off.
//
// Linear worst case: a filter can be defeated (a periodic substring in a
// periodic string passes it at every period), and verifying each survivor
// in full would then cost O(n * m). The verification work is therefore
// counted, and once it passes a budget proportional to the units scanned so
// far (plus a slack proportional to the substring), the rest of the search
// runs Two-Way, which compares fewer than 2n units whatever the input.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "frame/unaligned.h"
#include "string/find.h"
#include "string/find_two_way.h"

namespace qel {
namespace {

inline __m256i load32(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Whether the `len` bytes at a and b are equal; reads exactly those bytes.
// Short lengths use two overlapping words from either end.
inline bool equal_bytes(const uint8_t* a, const uint8_t* b, size_t len) {
    if (len <= 16) {
        if (len >= 8)
            return ((load_word<uint64_t>(a) ^ load_word<uint64_t>(b)) |
                    (load_word<uint64_t>(a + len - 8) ^ load_word<uint64_t>(b + len - 8))) == 0;
        if (len >= 4)
            return ((load_word<uint32_t>(a) ^ load_word<uint32_t>(b)) |
                    (load_word<uint32_t>(a + len - 4) ^ load_word<uint32_t>(b + len - 4))) == 0;
        for (size_t k = 0; k < len; ++k)
            if (a[k] != b[k]) return false;
        return true;
    }
    if (len <= 32) {
        __m128i d = _mm_or_si128(_mm_xor_si128(load16(a), load16(b)),
                                 _mm_xor_si128(load16(a + len - 16), load16(b + len - 16)));
        return _mm_testz_si128(d, d);
    }
    size_t k = 0;
    for (; k + 64 <= len; k += 64) {
        __m256i d = _mm256_or_si256(_mm256_xor_si256(load32(a + k), load32(b + k)),
                                    _mm256_xor_si256(load32(a + k + 32), load32(b + k + 32)));
        if (!_mm256_testz_si256(d, d)) return false;
    }
    if (k + 32 <= len) {
        __m256i d = _mm256_xor_si256(load32(a + k), load32(b + k));
        if (!_mm256_testz_si256(d, d)) return false;
        k += 32;
    }
    if (k < len) {
        __m256i d = _mm256_xor_si256(load32(a + len - 32), load32(b + len - 32));
        return _mm256_testz_si256(d, d);
    }
    return true;
}

// How common a byte is in text, 0 (never seen) to 254 (the space). Only the
// order matters. Lower-case letters by their usual English frequency, then
// line breaks and common punctuation, capitals, digits, bytes of multi-byte
// UTF-8 characters, other punctuation; control characters last.
constexpr std::array<uint8_t, 256> make_text_rank() {
    std::array<uint8_t, 256> r{};
    for (int c = 0x80; c < 0x100; ++c) r[c] = 45;
    for (int c = 0x21; c < 0x7F; ++c) r[c] = 30;
    for (int c = '0'; c <= '9'; ++c) r[c] = 65;
    const char* lower = "etaoinsrhldcumfpgwybvkxjqz";
    const char* upper = "TAISOWHBCMEPLDRFNGUYJKVQXZ";
    for (int k = 0; k < 26; ++k) {
        r[static_cast<uint8_t>(lower[k])] = static_cast<uint8_t>(250 - 6 * k);
        r[static_cast<uint8_t>(upper[k])] = static_cast<uint8_t>(95 - k);
    }
    r[' '] = 254;
    r['\n'] = 105;
    r[','] = 110;
    r['.'] = 108;
    r['\t'] = 60;
    r['\r'] = 50;
    r['-'] = 70;
    r['\''] = 68;
    r['"'] = 60;
    r['('] = r[')'] = 50;
    r[':'] = r[';'] = 48;
    return r;
}
constexpr std::array<uint8_t, 256> kTextRank = make_text_rank();

// 16-bit units outside ASCII count as rare: where such units are common (a
// non-Latin script), ASCII ones are rare instead, and either way the choice
// only has to be good, not best.
inline uint32_t text_rank(Qel8u u) { return kTextRank[u]; }
inline uint32_t text_rank(Qel16u u) { return u < 0x80 ? kTextRank[u] : 40; }

// One search problem in bytes: string b, substring sb of m units of T.
template <class T>
struct Needle {
    const uint8_t* b;   // string
    const uint8_t* sb;  // substring
    size_t cand;        // candidate starts: 0 .. cand - 1
    size_t sub_bytes;   // m * sizeof(T)
    size_t off1, off2;  // byte offsets of the two filter units
    size_t off3;        // a third unit, checked only in blocks that pass the two
    T unit1, unit2, unit3;

    bool verify(size_t i) const { return equal_bytes(b + i * sizeof(T), sb, sub_bytes); }
};

// Two filter units of low rank (for 16-bit substrings and byte substrings
// under 4 bytes: the rarest unit and the rarest unit with another value, or
// any other position when all units are equal, found in one pass; for
// longer byte substrings see pick_pair8); and a third unit, the rarest of
// the first, middle and last ones not already taken
// (for short substrings of common letters, pairs such as "th" pass often,
// and a third unit then saves most verifications). Only the first
// kRankScan units are ranked, which keeps the set-up of a long substring
// as cheap as that of a short one: its first units nearly always hold an
// uncommon one, and any choice is correct.
constexpr size_t kRankScan = 32;

template <class T>
void pick_pair_loop(const T* sub, size_t m, size_t& i1, size_t& i2) {
    const size_t scan = std::min(m, kRankScan);
    // best: rarest so far; second: rarest so far whose value differs from
    // best's (kept valid as best changes: an old best differs from a new one
    // of another value, and a new best of second's value leaves second valid).
    T u1 = load_unit(sub);
    uint32_t r1 = text_rank(u1), r2 = ~0u;
    i1 = 0, i2 = m - 1;
    for (size_t k = 1; k < scan; ++k) {
        const T u = load_unit(sub + k);
        const uint32_t r = text_rank(u);
        if (r < r1) {
            if (u != u1) r2 = r1, i2 = i1;
            r1 = r, i1 = k, u1 = u;
        } else if (r < r2 && u != u1) {
            r2 = r, i2 = k;
        }
    }
    if (i2 == i1) i2 = 0;  // m - 1 was the rarest and nothing differs from it
}

// The rank table as eight 16-entry lookups, one per high nibble 0..7 (each
// repeated in both 128-bit lanes for the byte shuffle); bytes from 0x80 up
// all share one rank.
struct RankNibbleTables {
    alignas(32) uint8_t t[8][32];
};
constexpr RankNibbleTables make_rank_nibble_tables() {
    RankNibbleTables r{};
    for (int h = 0; h < 8; ++h)
        for (int lo = 0; lo < 32; ++lo) r.t[h][lo] = kTextRank[static_cast<size_t>(h * 16 + lo % 16)];
    return r;
}
constexpr RankNibbleTables kRankNibbles = make_rank_nibble_tables();
constexpr uint8_t kHighRank = kTextRank[0x80];
static_assert([] {
    for (int c = 0x80; c < 0x100; ++c)
        if (kTextRank[static_cast<size_t>(c)] != kHighRank) return false;
    return true;
}());

// Ranks of 32 bytes at once. The eight table terms are OR'd as a tree: the
// ranking sits on the critical path of a short search.
inline __m256i text_ranks32(__m256i v) {
    const __m256i lo = _mm256_and_si256(v, _mm256_set1_epi8(0x0F));
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
    __m256i t[8];
    for (int h = 0; h < 8; ++h) {
        const __m256i table = _mm256_load_si256(reinterpret_cast<const __m256i*>(kRankNibbles.t[h]));
        const __m256i in = _mm256_cmpeq_epi8(hi, _mm256_set1_epi8(static_cast<char>(h)));
        t[h] = _mm256_and_si256(in, _mm256_shuffle_epi8(table, lo));
    }
    // Bytes from 0x80 up have the sign bit set: their rank is the shared one
    // (the shuffles above yield zero for them, an index with bit 7 set).
    const __m256i high = _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_setzero_si256(), v),
                                          _mm256_set1_epi8(static_cast<char>(kHighRank)));
    const __m256i a = _mm256_or_si256(_mm256_or_si256(t[0], t[1]), _mm256_or_si256(t[2], t[3]));
    const __m256i b = _mm256_or_si256(_mm256_or_si256(t[4], t[5]), _mm256_or_si256(t[6], t[7]));
    return _mm256_or_si256(_mm256_or_si256(a, b), high);
}

// The smallest unsigned 16-bit word of a and b together.
inline uint32_t min_word(__m256i a, __m256i b) {
    const __m256i x = _mm256_min_epu16(a, b);
    const __m128i y = _mm_min_epu16(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(y))) & 0xFFFFu;
}

// The two filter offsets of a substring of 4 bytes or more: among its first
// 32 bytes, the lowest-ranked byte at an even index and the lowest-ranked
// one at an odd index, the first one on ties. The two are ranked in
// parallel: the choice sits on the critical path of a short search, where a
// branchy ranking loop cost as much as the scan, and a global second choice
// would wait for the first. Even and odd rather than first and second half:
// in a short substring a half may hold nothing but a space (" th").
//
// The bytes are loaded as two pieces of h bytes, the first h and the last h
// of the ranked part, so exactly the substring's bytes are read and no copy
// is made. Lane k < h is byte k, lane k >= h is byte k + shift; upper lanes
// that repeat a byte of the lower piece are masked off. Each lane gets the
// key rank * 256 + byte index: the smallest key of a class is its rarest
// byte, first on ties.
[[gnu::always_inline]] inline void pick_pair8(const uint8_t* sub, size_t m, size_t& i1, size_t& i2, uint32_t& r1,
                                              uint32_t& r2) {
    const size_t scan = std::min(m, kRankScan);
    __m256i v;
    size_t h;
    if (scan >= 16) {
        h = 16;
        v = _mm256_set_m128i(load16(sub + scan - 16), load16(sub));
    } else if (scan >= 8) {
        h = 8;
        v = _mm256_zextsi128_si256(_mm_set_epi64x(static_cast<long long>(load_word<uint64_t>(sub + scan - 8)),
                                                  static_cast<long long>(load_word<uint64_t>(sub))));
    } else {
        h = 4;
        v = _mm256_zextsi128_si256(_mm_set_epi32(0, 0, static_cast<int>(load_word<uint32_t>(sub + scan - 4)),
                                                 static_cast<int>(load_word<uint32_t>(sub))));
    }
    // scan is in [h, 2h]: the upper piece starts at byte scan - h, so its
    // lanes below 3h - scan repeat bytes of the lower piece.
    const __m256i iota = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                          21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    const __m256i below_h = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(h)), iota);
    const __m256i below_2h = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(2 * h)), iota);
    const __m256i repeat = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(3 * h - scan)), iota);
    // Valid lanes: below h, or in [3h - scan, 2h).
    const __m256i valid = _mm256_or_si256(below_h, _mm256_andnot_si256(repeat, below_2h));
    // Byte index of each lane: the upper lanes are moved by scan - 2h (mod 256).
    const __m256i index = _mm256_add_epi8(
        iota, _mm256_andnot_si256(below_h, _mm256_set1_epi8(static_cast<char>(scan - 2 * h))));
    // Invalid lanes rank 255, above every byte's rank.
    const __m256i ranks = _mm256_or_si256(text_ranks32(v), _mm256_xor_si256(valid, _mm256_set1_epi8(-1)));
    // Keys for lanes 0-7 and 16-23 in one vector, 8-15 and 24-31 in the other.
    const __m256i k0 = _mm256_unpacklo_epi8(index, ranks), k1 = _mm256_unpackhi_epi8(index, ranks);
    // Odd byte indices, as a mask of whole keys.
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i odd0 = _mm256_cmpeq_epi16(_mm256_and_si256(one, k0), one);
    const __m256i odd1 = _mm256_cmpeq_epi16(_mm256_and_si256(one, k1), one);
    const uint32_t key1 = min_word(_mm256_or_si256(k0, odd0), _mm256_or_si256(k1, odd1));
    const uint32_t key2 = min_word(_mm256_or_si256(k0, _mm256_xor_si256(odd0, _mm256_set1_epi8(-1))),
                                   _mm256_or_si256(k1, _mm256_xor_si256(odd1, _mm256_set1_epi8(-1))));
    // Both classes hold a byte (scan >= 4), so both keys are real.
    i1 = key1 & 0xFFu;
    i2 = key2 & 0xFFu;
    r1 = key1 >> 8;
    r2 = key2 >> 8;
}

// The same choice over only the first kSmallScan bytes, as scalar keys whose
// minima the compiler keeps branch-free: over a short string the vector
// ranking and the loads that wait for it cost as much as the scan itself,
// while eight bytes of text nearly always hold a letter rarer than the
// common ones, which is filter enough for a few thousand candidates.
constexpr size_t kSmallScan = 8;

[[gnu::always_inline]] inline void pick_pair8_small(const uint8_t* sub, size_t m, size_t& i1, size_t& i2) {
    const size_t scan = std::min(m, kSmallScan);
    uint32_t even = ~0u, odd = ~0u;
    for (size_t k = 0; k < scan; k += 2) even = std::min(even, uint32_t{kTextRank[sub[k]]} << 8 | uint32_t(k));
    for (size_t k = 1; k < scan; k += 2) odd = std::min(odd, uint32_t{kTextRank[sub[k]]} << 8 | uint32_t(k));
    // scan >= 4: both classes hold a byte.
    i1 = even & 0xFFu;
    i2 = odd & 0xFFu;
}

// Candidates below which a byte substring's filter bytes come from
// pick_pair8_small. The vector ranking costs about 10 ns more per call, which
// its better choice repays only over longer strings: at 1-4 KB of text the
// scalar pair is 8-25% faster per search, at 8 KB no longer.
constexpr size_t kSmallRankBelow = 4096;

// For a substring longer than 32 bytes, over a long string: the second
// filter byte, i2 or the rarest of the last 32 bytes. Two bytes of the first
// 32 are often parts of one phrase that recurs ("of this" ... "License"),
// and then pass together; a byte from the far end is less tied to the rarer
// of the two, and replaces the other when it is no more common. Kept out of
// line: the short searches that never take it stay as they were.
[[gnu::noinline]] size_t far_filter_byte(const uint8_t* sub, size_t m, size_t i1, size_t i2, uint32_t r2) {
    const __m256i iota = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                          21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    const __m256i ranks = text_ranks32(load32(sub + m - 32));
    const uint32_t key = min_word(_mm256_unpacklo_epi8(iota, ranks), _mm256_unpackhi_epi8(iota, ranks));
    const size_t far = m - 32 + (key & 0xFFu);
    return far != i1 && (key >> 8) <= r2 ? far : i2;
}

// Candidates from which a long substring's second filter byte may come from
// its far end (see far_filter_byte); over a short string the extra ranking
// costs more than it saves.
constexpr size_t kFarFrom = 16384;

template <class T>
[[gnu::always_inline]] inline Needle<T> make_needle(const T* s, size_t n, const T* sub, size_t m) {
    Needle<T> nd;
    nd.b = reinterpret_cast<const uint8_t*>(s);
    nd.sb = reinterpret_cast<const uint8_t*>(sub);
    nd.cand = n - m + 1;
    nd.sub_bytes = m * sizeof(T);
    size_t i1 = 0, i2 = m - 1;
    if constexpr (sizeof(T) == 1) {
        if (m >= 4 && n - m < kSmallRankBelow) {
            pick_pair8_small(sub, m, i1, i2);
        } else if (m >= 4) {
            uint32_t r1, r2;
            pick_pair8(sub, m, i1, i2, r1, r2);
            if (m > kRankScan && n - m >= kFarFrom) [[unlikely]] {
                if (r1 > r2) std::swap(i1, i2), std::swap(r1, r2);
                i2 = far_filter_byte(sub, m, i1, i2, r2);
            }
        } else {
            pick_pair_loop(sub, m, i1, i2);  // two or three bytes: the loop is shorter
        }
    } else {
        pick_pair_loop(sub, m, i1, i2);
    }
    size_t i3 = i1;
    uint32_t r3 = ~0u;
    for (size_t k : {size_t{0}, m / 2, m - 1})
        if (k != i1 && k != i2)
            if (uint32_t r = text_rank(load_unit(sub + k)); r < r3) r3 = r, i3 = k;
    nd.off1 = i1 * sizeof(T);
    nd.off2 = i2 * sizeof(T);
    nd.off3 = i3 * sizeof(T);
    nd.unit1 = load_unit(sub + i1);
    nd.unit2 = load_unit(sub + i2);
    nd.unit3 = load_unit(sub + i3);
    return nd;
}

// Verification budget. Every verification is charged the substring's bytes
// plus a fixed overhead; the search switches to Two-Way once the charge
// passes kPerScanned times the bytes of candidates scanned plus kSlack times
// the substring. Natural text stays far below it; only inputs that defeat
// the filter reach it.
constexpr size_t kVerifyOverhead = 32;
constexpr size_t kPerScanned = 8;
constexpr size_t kSlack = 16;

struct Budget {
    size_t spent = 0;
    bool exhausted(size_t sub_bytes, size_t scanned_bytes) {
        spent += sub_bytes + kVerifyOverhead;
        return spent > kPerScanned * scanned_bytes + kSlack * sub_bytes;
    }
};

constexpr int64_t kSwitch = -2;  // budget exhausted: Two-Way takes over

// Candidate mask (one bit per byte, sizeof(T) bits per candidate) of the
// block whose first candidate starts at byte p, for a W-byte vector.
template <class T, size_t W>
inline uint32_t block_mask(const uint8_t* p, const Needle<T>& nd) {
    if constexpr (W == 32) {
        __m256i a = load32(p + nd.off1), b = load32(p + nd.off2);
        if constexpr (sizeof(T) == 1)
            return static_cast<uint32_t>(
                _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, _mm256_set1_epi8(static_cast<char>(nd.unit1))),
                                                      _mm256_cmpeq_epi8(b, _mm256_set1_epi8(static_cast<char>(nd.unit2))))));
        else
            return static_cast<uint32_t>(_mm256_movemask_epi8(
                _mm256_and_si256(_mm256_cmpeq_epi16(a, _mm256_set1_epi16(static_cast<short>(nd.unit1))),
                                 _mm256_cmpeq_epi16(b, _mm256_set1_epi16(static_cast<short>(nd.unit2))))));
    } else {
        __m128i a = load16(p + nd.off1), b = load16(p + nd.off2);
        if constexpr (sizeof(T) == 1)
            return static_cast<uint32_t>(
                _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8(static_cast<char>(nd.unit1))),
                                                _mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(nd.unit2))))));
        else
            return static_cast<uint32_t>(
                _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi16(a, _mm_set1_epi16(static_cast<short>(nd.unit1))),
                                                _mm_cmpeq_epi16(b, _mm_set1_epi16(static_cast<short>(nd.unit2))))));
    }
}

// Mask of the candidates of the same block whose third unit matches.
template <class T>
inline uint32_t third_mask(const uint8_t* p, const Needle<T>& nd) {
    __m256i c = load32(p + nd.off3);
    if constexpr (sizeof(T) == 1)
        return static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(c, _mm256_set1_epi8(static_cast<char>(nd.unit3)))));
    else
        return static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi16(c, _mm256_set1_epi16(static_cast<short>(nd.unit3)))));
}

constexpr uint32_t kUnitBits(size_t size) { return size == 1 ? 1u : 3u; }

// Verifies the candidates of one block, lowest first; block starts at i.
// On an exhausted budget, `resume` is the lowest candidate not yet rejected.
template <class T>
inline int64_t verify_low(const Needle<T>& nd, size_t i, uint32_t mask, Budget& bg, size_t& resume) {
    while (mask) {
        int bit = __builtin_ctz(mask);
        size_t k = i + static_cast<size_t>(bit) / sizeof(T);
        if (nd.verify(k)) return static_cast<int64_t>(k);
        if (bg.exhausted(nd.sub_bytes, (k + 1) * sizeof(T))) {
            resume = k + 1;
            return kSwitch;
        }
        mask &= ~(kUnitBits(sizeof(T)) << bit);
    }
    return -1;
}
// Same, highest first; `resume` is then one past the highest candidate not
// yet rejected.
template <class T>
inline int64_t verify_high(const Needle<T>& nd, size_t i, uint32_t mask, Budget& bg, size_t& resume) {
    while (mask) {
        int unit = (31 - __builtin_clz(mask)) / static_cast<int>(sizeof(T));
        size_t k = i + static_cast<size_t>(unit);
        if (nd.verify(k)) return static_cast<int64_t>(k);
        if (bg.exhausted(nd.sub_bytes, (nd.cand - k) * sizeof(T))) {
            resume = k;
            return kSwitch;
        }
        mask &= ~(kUnitBits(sizeof(T)) << (unit * static_cast<int>(sizeof(T))));
    }
    return -1;
}

// Needs nd.cand >= W / sizeof(T). The main loop takes two blocks per step
// with one branch; a block that passes is narrowed by the third unit before
// any verification.
template <class T, size_t W>
int64_t scan_forward(const Needle<T>& nd, size_t& resume) {
    constexpr size_t lanes = W / sizeof(T);
    Budget bg;
    size_t i = 0;
    if constexpr (W == 32) {
        for (; i + 2 * lanes <= nd.cand; i += 2 * lanes) {
            const uint8_t* p = nd.b + i * sizeof(T);
            uint32_t m0 = block_mask<T, W>(p, nd), m1 = block_mask<T, W>(p + W, nd);
            if ((m0 | m1) == 0) continue;
            if (m0 && (m0 &= third_mask(p, nd))) {
                int64_t r = verify_low(nd, i, m0, bg, resume);
                if (r != -1) return r;
            }
            if (m1 && (m1 &= third_mask(p + W, nd))) {
                int64_t r = verify_low(nd, i + lanes, m1, bg, resume);
                if (r != -1) return r;
            }
        }
    }
    for (; i + lanes <= nd.cand; i += lanes) {
        if (uint32_t m = block_mask<T, W>(nd.b + i * sizeof(T), nd)) {
            int64_t r = verify_low(nd, i, m, bg, resume);
            if (r != -1) return r;
        }
    }
    if (i < nd.cand) {
        size_t j = nd.cand - lanes;  // candidates j .. i-1 were rejected above
        uint32_t m = block_mask<T, W>(nd.b + j * sizeof(T), nd);
        m &= ~0u << ((i - j) * sizeof(T));
        return verify_low(nd, j, m, bg, resume);
    }
    return -1;
}

template <class T, size_t W>
int64_t scan_reverse(const Needle<T>& nd, size_t& resume) {
    constexpr size_t lanes = W / sizeof(T);
    Budget bg;
    size_t top = nd.cand;  // candidates top .. cand-1 are done
    if constexpr (W == 32) {
        while (top >= 2 * lanes) {
            top -= 2 * lanes;
            const uint8_t* p = nd.b + top * sizeof(T);
            uint32_t m0 = block_mask<T, W>(p, nd), m1 = block_mask<T, W>(p + W, nd);
            if ((m0 | m1) == 0) continue;
            if (m1 && (m1 &= third_mask(p + W, nd))) {
                int64_t r = verify_high(nd, top + lanes, m1, bg, resume);
                if (r != -1) return r;
            }
            if (m0 && (m0 &= third_mask(p, nd))) {
                int64_t r = verify_high(nd, top, m0, bg, resume);
                if (r != -1) return r;
            }
        }
    }
    while (top >= lanes) {
        top -= lanes;
        if (uint32_t m = block_mask<T, W>(nd.b + top * sizeof(T), nd)) {
            int64_t r = verify_high(nd, top, m, bg, resume);
            if (r != -1) return r;
        }
    }
    if (top > 0) {
        // Block at 0; candidates from `top` up were rejected above.
        uint32_t m = block_mask<T, W>(nd.b, nd);
        m &= (1u << (top * sizeof(T))) - 1;
        return verify_high(nd, 0, m, bg, resume);
    }
    return -1;
}

// Fewer candidates than a 16-byte vector: at most 15 verifications, so no
// budget is needed.
template <class T>
int64_t scan_scalar_forward(const Needle<T>& nd) {
    for (size_t i = 0; i < nd.cand; ++i) {
        const uint8_t* p = nd.b + i * sizeof(T);
        if (load_word<T>(p + nd.off1) == nd.unit1 && load_word<T>(p + nd.off2) == nd.unit2 && nd.verify(i))
            return static_cast<int64_t>(i);
    }
    return -1;
}
template <class T>
int64_t scan_scalar_reverse(const Needle<T>& nd) {
    for (size_t i = nd.cand; i-- > 0;) {
        const uint8_t* p = nd.b + i * sizeof(T);
        if (load_word<T>(p + nd.off1) == nd.unit1 && load_word<T>(p + nd.off2) == nd.unit2 && nd.verify(i))
            return static_cast<int64_t>(i);
    }
    return -1;
}

// Vector width by candidate count: a 32-byte block needs 32 bytes' worth of
// candidates, a 16-byte one 16; fewer are cheaper one at a time.
template <class T>
int32_t find_sub(const T* s, size_t n, const T* sub, size_t m) {
    Needle<T> nd = make_needle(s, n, sub, m);
    const size_t cand_bytes = nd.cand * sizeof(T);
    size_t resume = 0;
    int64_t r;
    if (cand_bytes >= 32) r = scan_forward<T, 32>(nd, resume);
    else if (cand_bytes >= 16) r = scan_forward<T, 16>(nd, resume);
    else r = scan_scalar_forward(nd);
    if (r == kSwitch) {
        // Candidates below `resume` are rejected; the rest is a search of the
        // string from there on.
        int64_t t = two_way_find(s + resume, n - resume, sub, m);
        r = t < 0 ? -1 : t + static_cast<int64_t>(resume);
    }
    return static_cast<int32_t>(r);
}

template <class T>
int32_t rfind_sub(const T* s, size_t n, const T* sub, size_t m) {
    Needle<T> nd = make_needle(s, n, sub, m);
    const size_t cand_bytes = nd.cand * sizeof(T);
    size_t resume = 0;
    int64_t r;
    if (cand_bytes >= 32) r = scan_reverse<T, 32>(nd, resume);
    else if (cand_bytes >= 16) r = scan_reverse<T, 16>(nd, resume);
    else r = scan_scalar_reverse(nd);
    if (r == kSwitch) {
        // Candidates from `resume` up are rejected; what remains are the
        // starts 0 .. resume - 1, all inside the first resume + m - 1 units.
        r = resume == 0 ? -1 : two_way_rfind(s, resume + m - 1, sub, m);
    }
    return static_cast<int32_t>(r);
}

}  // namespace

// Below this many bytes the substring is first looked for by its first byte
// and a compare: on a short subject (a line, a field) choosing the filter
// bytes costs more than the whole scan. A common first byte would make that
// slower than the filter, so after a few candidates that fail the compare
// the rest goes to it.
constexpr int32_t kShortWindow = 64;
constexpr int32_t kShortTries = 2;

int32_t find_substring(const Qel8u* s, int32_t len, const Qel8u* sub, int32_t sub_len) {
    if (sub_len == 0 || sub_len > len) return -1;
    if (sub_len == 1) return find_byte(s, len, sub[0]);
    int32_t i = 0;
    if (len < kShortWindow) {
        const int32_t last = len - sub_len;  // the last start that fits
        for (int32_t t = 0; t < kShortTries; ++t) {
            const int32_t k = find_byte(s + i, last + 1 - i, sub[0]);
            if (k < 0) return -1;
            i += k;
            if (std::memcmp(s + i + 1, sub + 1, static_cast<size_t>(sub_len - 1)) == 0) return i;
            if (++i > last) return -1;
        }
    }
    const int32_t k = find_sub(s + i, static_cast<size_t>(len - i), sub, static_cast<size_t>(sub_len));
    return k < 0 ? -1 : i + k;
}

int32_t rfind_substring(const Qel8u* s, int32_t len, const Qel8u* sub, int32_t sub_len) {
    if (sub_len == 0 || sub_len > len) return -1;
    if (sub_len == 1) return rfind_byte(s, len, sub[0]);
    return rfind_sub(s, static_cast<size_t>(len), sub, static_cast<size_t>(sub_len));
}

int32_t find_substring16(const Qel16u* s, int32_t len, const Qel16u* sub, int32_t sub_len) {
    if (sub_len == 0 || sub_len > len) return -1;
    if (sub_len == 1) return find_unit16(s, len, load_unit(sub));
    return find_sub(s, static_cast<size_t>(len), sub, static_cast<size_t>(sub_len));
}

int32_t rfind_substring16(const Qel16u* s, int32_t len, const Qel16u* sub, int32_t sub_len) {
    if (sub_len == 0 || sub_len > len) return -1;
    if (sub_len == 1) return rfind_unit16(s, len, load_unit(sub));
    return rfind_sub(s, static_cast<size_t>(len), sub, static_cast<size_t>(sub_len));
}

}  // namespace qel
