// UTF-8 <-> UTF-16 conversion: behaviour tables, differential tests of both
// kernels against the step-by-step reference, round trips checked against
// ICU, piecewise conversion, and guard pages.
#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/guard.h"
#include "support/random.h"
#include "support/utf_reference.h"
#include "unicode/utf_convert.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Units = std::vector<uint16_t>;

constexpr uint16_t kSentinel16 = 0xA5A5;
constexpr uint8_t kSentinel8 = 0xA5;

std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    char buf[8];
    for (size_t k = 0; k < n; ++k) {
        std::snprintf(buf, sizeof buf, "%02X ", p[k]);
        s += buf;
    }
    return s;
}
std::string hex(const uint16_t* p, size_t n) {
    std::string s;
    char buf[8];
    for (size_t k = 0; k < n; ++k) {
        std::snprintf(buf, sizeof buf, "%04X ", p[k]);
        s += buf;
    }
    return s;
}
template <class T>
std::string hex(const std::vector<T>& v) {
    return hex(v.data(), v.size());
}

// ---------------------------------------------------------------- tables

struct DecodeRow {
    const char* what;
    Bytes src;
    int32_t cap;
    bool swap;
    Units out;
    int32_t read;
};

TEST(Utf8To16, Table) {
    const DecodeRow rows[] = {
        {"empty source", {}, 100, false, {}, 0},
        {"ascii and two-byte", {0x41, 0xC3, 0xA9}, 10, false, {0x0041, 0x00E9}, 3},
        {"malformed lead passes through", {0xC3, 0x41}, 10, false, {0x00C3, 0x0041}, 2},
        {"four bytes give a pair", {0xF0, 0x9F, 0x98, 0x80}, 10, false, {0xD83D, 0xDE00}, 4},
        {"pair swapped, high first", {0xF0, 0x9F, 0x98, 0x80}, 10, true, {0x3DD8, 0x00DE}, 4},
        {"swapped ascii", {0x41, 0x7F}, 10, true, {0x4100, 0x7F00}, 2},
        {"overlong three bytes", {0xE0, 0x80, 0x80}, 10, false, {0x00E0, 0x0080, 0x0080}, 3},
        {"overlong C0 80", {0xC0, 0x80}, 10, false, {0x00C0, 0x0080}, 2},
        {"overlong C1 BF", {0xC1, 0xBF}, 10, false, {0x00C1, 0x00BF}, 2},
        {"overlong four bytes", {0xF0, 0x8F, 0xBF, 0xBF}, 10, false, {0x00F0, 0x008F, 0x00BF, 0x00BF}, 4},
        {"smallest three-byte", {0xE0, 0xA0, 0x80}, 10, false, {0x0800}, 3},
        {"encoded surrogate accepted", {0xED, 0xA0, 0x80, 0xED, 0xBF, 0xBF}, 10, false, {0xD800, 0xDFFF}, 6},
        {"stray continuation bytes", {0x80, 0xBF, 0x41}, 10, false, {0x0080, 0x00BF, 0x0041}, 3},
        {"FE and FF", {0xFE, 0xFF, 0x41}, 10, false, {0x00FE, 0x00FF, 0x0041}, 3},
        {"bad continuation re-examined", {0xE2, 0x82, 0xC3, 0xA9}, 10, false, {0x00E2, 0x0082, 0x00E9}, 4},
        {"largest four-byte in range", {0xF4, 0x8F, 0xBF, 0xBF}, 10, false, {0xDBFF, 0xDFFF}, 4},
        {"above 0x10FFFF folds", {0xF4, 0x90, 0x80, 0x80}, 10, false, {0xD800, 0xDC00}, 4},
        {"five bytes, 0x200000", {0xF8, 0x88, 0x80, 0x80, 0x80}, 10, false, {0xDBC0, 0xDC00}, 5},
        {"largest six bytes", {0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}, 10, false, {0xDBBF, 0xDFFF}, 6},
        {"overlong six bytes", {0xFC, 0x83, 0xBF, 0xBF, 0xBF, 0xBF}, 10, false,
         {0x00FC, 0x0083, 0x00BF, 0x00BF, 0x00BF, 0x00BF}, 6},
        {"pair with room for one", {0xF0, 0x9F, 0x98, 0x80}, 1, false, {}, 0},
        {"pair after a unit, room for two", {0x41, 0xF0, 0x9F, 0x98, 0x80}, 2, false, {0x0041}, 1},
        {"destination full", {0x41, 0x42, 0x43}, 2, false, {0x0041, 0x0042}, 2},
        {"no room at all", {0x41}, 0, false, {}, 0},
        {"truncated at the end stays unconsumed", {0x41, 0xE2, 0x82}, 10, false, {0x0041}, 1},
        {"truncated lead alone", {0xC3}, 10, false, {}, 0},
        {"truncated even if its bytes are not continuations", {0x41, 0xE2, 0x41}, 10, false, {0x0041}, 1},
        {"truncated six-byte lead", {0xFC, 0x80, 0x80}, 10, false, {}, 0},
    };
    for (const auto& r : rows) {
        Units dst(static_cast<size_t>(std::max(r.cap, 0)) + 4, kSentinel16);
        int32_t n = static_cast<int32_t>(r.src.size()), cap = r.cap;
        const uint8_t dummy = 0;
        const QelStatus st = qelsConvertUTF_8u16u(r.src.empty() ? &dummy : r.src.data(), &n, dst.data(), &cap, r.swap);
        Units got(dst.begin(), dst.begin() + std::max(cap, 0));
        EXPECT_EQ(st, qelOk) << r.what;
        EXPECT_EQ(got, r.out) << r.what << ": got " << hex(got);
        EXPECT_EQ(n, r.read) << r.what;
        EXPECT_EQ(cap, static_cast<int32_t>(r.out.size())) << r.what;
        for (size_t k = r.out.size(); k < dst.size(); ++k) ASSERT_EQ(dst[k], kSentinel16) << r.what << " wrote past count";
    }
}

struct EncodeRow {
    const char* what;
    Units src;
    int32_t cap;
    bool swap;
    Bytes out;
    int32_t read;
};

TEST(Utf16To8, Table) {
    const EncodeRow rows[] = {
        {"empty source", {}, 100, false, {}, 0},
        {"one, two and three bytes", {0x41, 0xE9, 0x20AC}, 10, false, {0x41, 0xC3, 0xA9, 0xE2, 0x82, 0xAC}, 3},
        {"boundaries", {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}, 20, false,
         {0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF}, 5},
        {"pair gives four bytes", {0xD83D, 0xDE00}, 10, false, {0xF0, 0x9F, 0x98, 0x80}, 2},
        {"swapped pair", {0x3DD8, 0x00DE}, 10, true, {0xF0, 0x9F, 0x98, 0x80}, 2},
        {"swapped ascii", {0x4100}, 10, true, {0x41}, 1},
        {"lone high then ascii", {0xD800, 0x0041}, 10, false, {0xED, 0xA0, 0x80, 0x41}, 2},
        {"high surrogate last", {0x41, 0xDBFF}, 10, false, {0x41, 0xED, 0xAF, 0xBF}, 2},
        {"lone low", {0xDC00, 0x41}, 10, false, {0xED, 0xB0, 0x80, 0x41}, 2},
        {"low then high is not a pair", {0xDC00, 0xD800}, 10, false, {0xED, 0xB0, 0x80, 0xED, 0xA0, 0x80}, 2},
        {"two highs then low", {0xD800, 0xD800, 0xDC00}, 10, false, {0xED, 0xA0, 0x80, 0xF0, 0x90, 0x80, 0x80}, 3},
        {"three bytes with room for two", {0x41, 0x20AC}, 3, false, {0x41}, 1},
        {"pair with room for three", {0xD83D, 0xDE00}, 3, false, {}, 0},
        {"exact room", {0x20AC}, 3, false, {0xE2, 0x82, 0xAC}, 1},
        {"no room at all", {0x41}, 0, false, {}, 0},
    };
    for (const auto& r : rows) {
        Bytes dst(static_cast<size_t>(std::max(r.cap, 0)) + 4, kSentinel8);
        int32_t n = static_cast<int32_t>(r.src.size()), cap = r.cap;
        const uint16_t dummy = 0;
        const QelStatus st = qelsConvertUTF_16u8u(r.src.empty() ? &dummy : r.src.data(), &n, dst.data(), &cap, r.swap);
        Bytes got(dst.begin(), dst.begin() + std::max(cap, 0));
        EXPECT_EQ(st, qelOk) << r.what;
        EXPECT_EQ(got, r.out) << r.what << ": got " << hex(got);
        EXPECT_EQ(n, r.read) << r.what;
        EXPECT_EQ(cap, static_cast<int32_t>(r.out.size())) << r.what;
        for (size_t k = r.out.size(); k < dst.size(); ++k) ASSERT_EQ(dst[k], kSentinel8) << r.what << " wrote past count";
    }
}

TEST(UtfConvert, NullPointersChangeNothing) {
    uint8_t b[4] = {0x41};
    uint16_t u[4] = {0x41};
    for (int which = 0; which < 4; ++which) {
        int32_t n = 1, cap = 4;
        EXPECT_EQ(qelsConvertUTF_8u16u(which == 0 ? nullptr : b, which == 1 ? nullptr : &n, which == 2 ? nullptr : u,
                                       which == 3 ? nullptr : &cap, 0),
                  qelErrNullPtr);
        EXPECT_EQ(n, 1);
        EXPECT_EQ(cap, 4);
        EXPECT_EQ(qelsConvertUTF_16u8u(which == 0 ? nullptr : u, which == 1 ? nullptr : &n, which == 2 ? nullptr : b,
                                       which == 3 ? nullptr : &cap, 0),
                  qelErrNullPtr);
        EXPECT_EQ(n, 1);
        EXPECT_EQ(cap, 4);
    }
    EXPECT_EQ(b[0], 0x41);
    EXPECT_EQ(u[0], 0x41);
}

// Lengths are not refused when negative; a negative source length or
// capacity converts nothing and reports 0 for both counts.
TEST(UtfConvert, NegativeLengthsConvertNothing) {
    const std::pair<int32_t, int32_t> cases[] = {{-1, 8}, {4, -1}, {-5, -5}, {INT32_MIN, 8}, {4, INT32_MIN}};
    for (auto [len, room] : cases) {
        uint8_t b[8] = {0x41, 0x42, 0x43, 0x44, kSentinel8, kSentinel8, kSentinel8, kSentinel8};
        uint16_t u[8] = {0x41, 0x42, 0x43, 0x44, kSentinel16, kSentinel16, kSentinel16, kSentinel16};
        Units u_before(u, u + 8);
        Bytes b_before(b, b + 8);
        int32_t n = len, cap = room;
        EXPECT_EQ(qelsConvertUTF_8u16u(b, &n, u, &cap, 0), qelOk);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(cap, 0);
        EXPECT_EQ(Units(u, u + 8), u_before);
        n = len, cap = room;
        EXPECT_EQ(qelsConvertUTF_16u8u(u, &n, b, &cap, 1), qelOk);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(cap, 0);
        EXPECT_EQ(Bytes(b, b + 8), b_before);
    }
}

// ---------------------------------------------------------------- random text

// Byte strings that are dense in every case the decoder distinguishes:
// ASCII runs, well-formed 2- to 6-byte sequences (surrogates and values above
// 0x10FFFF included), overlong forms, stray and missing continuation bytes.
Bytes random_utf8ish(size_t n, uint32_t seed, int ascii_weight = 30) {
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    auto encode = [](uint32_t v, int k, Bytes& out) {
        const uint8_t prefix[6] = {0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
        out.push_back(static_cast<uint8_t>(prefix[k] | (v >> (6 * k))));
        for (int c = k - 1; c >= 0; --c) out.push_back(static_cast<uint8_t>(0x80 | ((v >> (6 * c)) & 0x3F)));
    };
    const uint32_t lo[6] = {0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
    const uint32_t hi[6] = {0x7F, 0x7FF, 0xFFFF, 0x1FFFFF, 0x3FFFFFF, 0x7FFFFFFF};
    Bytes out;
    while (out.size() < n) {
        const uint32_t r = pick(0, 99);
        if (r < static_cast<uint32_t>(ascii_weight)) {
            for (uint32_t run = pick(1, 40); run && out.size() < n; --run) out.push_back(static_cast<uint8_t>(pick(0, 0x7F)));
        } else if (r < 55) {
            encode(pick(0x80, 0x7FF), 1, out);
        } else if (r < 75) {
            encode(pick(0x800, 0xFFFF), 2, out);
        } else if (r < 82) {
            encode(pick(0x10000, 0x10FFFF), 3, out);
        } else if (r < 85) {
            const int k = static_cast<int>(pick(3, 5));
            encode(pick(lo[k], hi[k]), k, out);
        } else if (r < 90) {  // overlong
            const int k = static_cast<int>(pick(1, 5));
            encode(pick(0, hi[k - 1]), k, out);
        } else if (r < 95) {  // a sequence cut short, followed by anything
            Bytes seq;
            const int k = static_cast<int>(pick(1, 5));
            encode(pick(lo[k], hi[k]), k, seq);
            seq.resize(pick(1, static_cast<uint32_t>(k)));
            out.insert(out.end(), seq.begin(), seq.end());
        } else if (r < 97) {
            out.push_back(static_cast<uint8_t>(pick(0x80, 0xFF)));
        } else {  // a value at a length boundary, in its shortest form
            const uint32_t edges[] = {0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDFFF, 0xFFFF, 0x10000, 0x10FFFF, 0x110000};
            const uint32_t v = edges[pick(0, 10)];
            int k = 0;
            while (v > hi[k]) ++k;
            encode(v, k, out);
        }
    }
    out.resize(n);
    return out;
}

// 16-bit strings with ASCII runs, every UTF-8 length, proper pairs and lone
// or misordered surrogates.
Units random_utf16ish(size_t n, uint32_t seed, int ascii_weight = 30) {
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    Units out;
    while (out.size() < n) {
        const uint32_t r = pick(0, 99);
        if (r < static_cast<uint32_t>(ascii_weight)) {
            for (uint32_t run = pick(1, 40); run && out.size() < n; --run) out.push_back(static_cast<uint16_t>(pick(0, 0x7F)));
        } else if (r < 55) {
            out.push_back(static_cast<uint16_t>(pick(0x80, 0x7FF)));
        } else if (r < 75) {
            uint32_t v = pick(0x800, 0xF7FF);
            out.push_back(static_cast<uint16_t>(v >= 0xD800 ? v + 0x800 : v));
        } else if (r < 88) {
            out.push_back(static_cast<uint16_t>(pick(0xD800, 0xDBFF)));
            out.push_back(static_cast<uint16_t>(pick(0xDC00, 0xDFFF)));
        } else if (r < 96) {
            out.push_back(static_cast<uint16_t>(pick(0xD800, 0xDFFF)));
        } else {
            const uint16_t edges[] = {0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xDBFF, 0xDC00, 0xE000, 0xFFFF};
            out.push_back(edges[pick(0, 8)]);
        }
    }
    out.resize(n);
    return out;
}

using Decoder = qel::UtfProgress (*)(const Qel8u*, size_t, Qel16u*, size_t, bool);
using Encoder = qel::UtfProgress (*)(const Qel16u*, size_t, Qel8u*, size_t, bool);

struct Kernel8 {
    const char* name;
    Decoder fn;
};
struct Kernel16 {
    const char* name;
    Encoder fn;
};
const Kernel8 kDecoders[] = {{"scalar", qel::utf8_to_utf16_scalar}, {"avx2", qel::utf8_to_utf16_avx2}};
const Kernel16 kEncoders[] = {{"scalar", qel::utf16_to_utf8_scalar}, {"avx2", qel::utf16_to_utf8_avx2}};

// Runs kernel and reference over src (at `offset` into a scratch copy, so that
// every source alignment is seen) with `cap` units of room and compares the
// whole destination, including what must stay untouched past the count.
void check_decode(const Kernel8& k, const Bytes& text, size_t offset, int32_t cap, bool swap) {
    Bytes shifted(offset, 0xEE);
    shifted.insert(shifted.end(), text.begin(), text.end());
    const uint8_t* src = shifted.data() + offset;
    Units want(static_cast<size_t>(cap) + 8, kSentinel16), got(static_cast<size_t>(cap) + 8 + offset, kSentinel16);
    uint16_t* dst = got.data() + offset;
    const auto r = qeltest::ref_utf8_to_utf16(src, static_cast<int32_t>(text.size()), want.data(), cap, swap);
    const auto p = k.fn(src, text.size(), dst, static_cast<size_t>(cap), swap);
    const auto fail = [&] {
        return std::string(k.name) + " len=" + std::to_string(text.size()) + " cap=" + std::to_string(cap) +
               " off=" + std::to_string(offset) + " swap=" + std::to_string(swap) + " src=" + hex(text);
    };
    ASSERT_EQ(p.read, static_cast<size_t>(r.read)) << fail();
    ASSERT_EQ(p.written, static_cast<size_t>(r.written)) << fail();
    ASSERT_EQ(std::memcmp(dst, want.data(), want.size() * 2), 0)
        << fail() << "\nwant " << hex(want.data(), want.size()) << "\ngot  " << hex(dst, want.size());
}

void check_encode(const Kernel16& k, const Units& text, size_t offset, int32_t cap, bool swap) {
    Units shifted(offset, 0xEEEE);
    shifted.insert(shifted.end(), text.begin(), text.end());
    const uint16_t* src = shifted.data() + offset;
    Bytes want(static_cast<size_t>(cap) + 8, kSentinel8), got(static_cast<size_t>(cap) + 8 + offset, kSentinel8);
    uint8_t* dst = got.data() + offset;
    const auto r = qeltest::ref_utf16_to_utf8(src, static_cast<int32_t>(text.size()), want.data(), cap, swap);
    const auto p = k.fn(src, text.size(), dst, static_cast<size_t>(cap), swap);
    const auto fail = [&] {
        return std::string(k.name) + " len=" + std::to_string(text.size()) + " cap=" + std::to_string(cap) +
               " off=" + std::to_string(offset) + " swap=" + std::to_string(swap) + " src=" + hex(text);
    };
    ASSERT_EQ(p.read, static_cast<size_t>(r.read)) << fail();
    ASSERT_EQ(p.written, static_cast<size_t>(r.written)) << fail();
    ASSERT_EQ(std::memcmp(dst, want.data(), want.size()), 0)
        << fail() << "\nwant " << hex(want.data(), want.size()) << "\ngot  " << hex(dst, want.size());
}

Units swapped(Units v) {
    for (auto& u : v) u = static_cast<uint16_t>((u >> 8) | (u << 8));
    return v;
}

// Every length up to a few vector blocks, every capacity from 0 to what the
// whole text needs, both byte orders, both kernels.
TEST(Utf8To16, MatchesReferenceAtEveryCapacity) {
    for (size_t len = 0; len <= 150; ++len) {
        for (int ascii : {30, 80}) {
            const Bytes text = random_utf8ish(len, static_cast<uint32_t>(1000 + len * 2 + (ascii > 50)), ascii);
            const int32_t need = static_cast<int32_t>(len) + 1;
            for (const auto& k : kDecoders)
                for (bool swap : {false, true})
                    for (int32_t cap = 0; cap <= need; ++cap) {
                        check_decode(k, text, len % 3, cap, swap);
                        if (HasFatalFailure()) return;
                    }
        }
    }
}

TEST(Utf16To8, MatchesReferenceAtEveryCapacity) {
    for (size_t len = 0; len <= 120; ++len) {
        for (int ascii : {30, 80}) {
            Units text = random_utf16ish(len, static_cast<uint32_t>(2000 + len * 2 + (ascii > 50)), ascii);
            const int32_t need = static_cast<int32_t>(len) * 3 + 1;
            for (const auto& k : kEncoders)
                for (bool swap : {false, true}) {
                    const Units src = swap ? swapped(text) : text;
                    for (int32_t cap = 0; cap <= need; ++cap) {
                        check_encode(k, src, len % 3, cap, swap);
                        if (HasFatalFailure()) return;
                    }
                }
        }
    }
}

// Longer texts at every alignment of source and destination, with ample room
// and with room that runs out inside the vector blocks.
TEST(Utf8To16, MatchesReferenceOnLongTextsAndAlignments) {
    for (uint32_t seed = 0; seed < 12; ++seed) {
        const size_t len = 300 + seed * 277;
        const Bytes text = random_utf8ish(len, 3000 + seed, seed % 2 ? 90 : 40);
        for (size_t off = 0; off < 32; ++off)
            for (int32_t cap : {static_cast<int32_t>(len + 1), static_cast<int32_t>(len / 2 + off), 64 + static_cast<int32_t>(off)}) {
                check_decode(kDecoders[1], text, off, cap, off % 2 == 1);
                if (HasFatalFailure()) return;
            }
    }
}

TEST(Utf16To8, MatchesReferenceOnLongTextsAndAlignments) {
    for (uint32_t seed = 0; seed < 12; ++seed) {
        const size_t len = 300 + seed * 277;
        const Units text = random_utf16ish(len, 4000 + seed, seed % 2 ? 90 : 40);
        for (size_t off = 0; off < 16; ++off)
            for (int32_t cap : {static_cast<int32_t>(3 * len + 1), static_cast<int32_t>(len + off), 96 + static_cast<int32_t>(off)}) {
                const bool swap = off % 2 == 1;
                check_encode(kEncoders[1], swap ? swapped(text) : text, off, cap, swap);
                if (HasFatalFailure()) return;
            }
    }
}

// Pure runs of one kind, so every vector path sees long stretches and every
// kind of interruption at every position of a block.
TEST(UtfConvert, VectorPathsAroundInterruptions) {
    const std::vector<Bytes> fills = {{0x61}, {0xD0, 0xB4}, {0xE4, 0xB8, 0xAD}, {0xED, 0xA0, 0x80}};
    const std::vector<Bytes> breaks = {{0xF0, 0x9F, 0x98, 0x80}, {0xC0, 0x80}, {0xE0, 0x9F, 0xBF}, {0x80}, {0xFF}, {0xE4, 0x41}};
    for (const auto& fill : fills)
        for (const auto& brk : breaks)
            for (size_t at = 0; at < 100; ++at) {
                Bytes text;
                while (text.size() < at) text.insert(text.end(), fill.begin(), fill.end());
                text.insert(text.end(), brk.begin(), brk.end());
                while (text.size() < at + 130) text.insert(text.end(), fill.begin(), fill.end());
                check_decode(kDecoders[1], text, 0, static_cast<int32_t>(text.size()), false);
                if (HasFatalFailure()) return;
            }
    const std::vector<uint16_t> unit_fills = {0x61, 0x434, 0x4E2D, 0xDC00};
    const std::vector<Units> unit_breaks = {{0xD83D, 0xDE00}, {0xD800}, {0xDBFF, 0x41}, {0x80}};
    for (uint16_t fill : unit_fills)
        for (const auto& brk : unit_breaks)
            for (size_t at = 0; at < 50; ++at) {
                Units text(at, fill);
                text.insert(text.end(), brk.begin(), brk.end());
                text.resize(at + 60, fill);
                check_encode(kEncoders[1], text, 0, static_cast<int32_t>(text.size() * 3), false);
                if (HasFatalFailure()) return;
            }
}

// ---------------------------------------------------------------- valid text

// Random well-formed UTF-16 (pairs only where they belong), dense in
// supplementary characters.
Units random_valid_utf16(size_t chars, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<uint32_t> kind(0, 9), ascii(0, 0x7F), two(0x80, 0x7FF), three(0x800, 0xF7FF),
        supp(0x10000, 0x10FFFF);
    Units out;
    for (size_t c = 0; c < chars; ++c) {
        const uint32_t k = kind(rng);
        if (k < 4) {
            out.push_back(static_cast<uint16_t>(ascii(rng)));
        } else if (k < 6) {
            out.push_back(static_cast<uint16_t>(two(rng)));
        } else if (k < 8) {
            const uint32_t v = three(rng);
            out.push_back(static_cast<uint16_t>(v >= 0xD800 ? v + 0x800 : v));
        } else {
            const uint32_t v = supp(rng) - 0x10000;
            out.push_back(static_cast<uint16_t>(0xD800 | (v >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 | (v & 0x3FF)));
        }
    }
    return out;
}

Bytes to_utf8(const Units& s, bool swap = false) {
    Bytes out(s.size() * 3 + 1);
    const uint16_t none = 0;
    int32_t n = static_cast<int32_t>(s.size()), cap = static_cast<int32_t>(out.size());
    EXPECT_EQ(qelsConvertUTF_16u8u(s.empty() ? &none : s.data(), &n, out.data(), &cap, swap), qelOk);
    EXPECT_EQ(n, static_cast<int32_t>(s.size()));
    out.resize(static_cast<size_t>(cap));
    return out;
}

Units to_utf16(const Bytes& s, bool swap = false) {
    Units out(s.size() + 1);
    const uint8_t none = 0;
    int32_t n = static_cast<int32_t>(s.size()), cap = static_cast<int32_t>(out.size());
    EXPECT_EQ(qelsConvertUTF_8u16u(s.empty() ? &none : s.data(), &n, out.data(), &cap, swap), qelOk);
    EXPECT_EQ(n, static_cast<int32_t>(s.size()));
    out.resize(static_cast<size_t>(cap));
    return out;
}

TEST(UtfConvert, RoundTripsAgreeWithIcu) {
    for (uint32_t seed = 0; seed < 40; ++seed) {
        const Units text = random_valid_utf16(seed * 37 % 700, 5000 + seed);
        const Bytes utf8 = to_utf8(text);

        std::vector<char> icu8(text.size() * 4 + 1);
        int32_t icu8_len = 0;
        UErrorCode err = U_ZERO_ERROR;
        u_strToUTF8(icu8.data(), static_cast<int32_t>(icu8.size()), &icu8_len,
                    reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), &err);
        ASSERT_TRUE(U_SUCCESS(err)) << u_errorName(err);
        ASSERT_EQ(utf8, Bytes(icu8.begin(), icu8.begin() + icu8_len)) << "seed " << seed;

        const Units back = to_utf16(utf8);
        ASSERT_EQ(back, text) << "seed " << seed;
        std::vector<UChar> icu16(utf8.size() + 1);
        int32_t icu16_len = 0;
        err = U_ZERO_ERROR;
        u_strFromUTF8(icu16.data(), static_cast<int32_t>(icu16.size()), &icu16_len,
                      reinterpret_cast<const char*>(utf8.data()), static_cast<int32_t>(utf8.size()), &err);
        ASSERT_TRUE(U_SUCCESS(err)) << u_errorName(err);
        ASSERT_EQ(back, Units(icu16.begin(), icu16.begin() + icu16_len)) << "seed " << seed;

        // The byte-swapped forms are the same text with each unit's bytes exchanged.
        ASSERT_EQ(to_utf16(utf8, true), swapped(text));
        ASSERT_EQ(to_utf8(swapped(text), true), utf8);
    }
}

// ---------------------------------------------------------------- pieces

// Feeds the source in random portions and gives random room each time,
// resuming where the counts say; the result must be what one call gives.
TEST(Utf8To16, ConvertingInPiecesEqualsAtOnce) {
    std::mt19937 rng(77);
    for (uint32_t seed = 0; seed < 60; ++seed) {
        const Bytes text = random_utf8ish(20 + seed * 23, 6000 + seed, seed % 3 ? 50 : 10);
        const bool swap = seed % 2;
        Units whole(text.size() + 1);
        int32_t n = static_cast<int32_t>(text.size()), cap = static_cast<int32_t>(whole.size());
        qelsConvertUTF_8u16u(text.data(), &n, whole.data(), &cap, swap);
        whole.resize(static_cast<size_t>(cap));
        const int32_t whole_read = n;

        Units pieces(text.size() + 1, kSentinel16);
        // Split points fall anywhere, inside sequences too: a sequence cut by
        // the end of a piece stays unconsumed until the rest arrives.
        size_t pos = 0, out = 0, available = 0;
        for (;;) {
            available = std::min(text.size(), available + std::uniform_int_distribution<size_t>(0, 9)(rng));
            int32_t piece = static_cast<int32_t>(available - pos);
            const int32_t given = std::min(static_cast<int32_t>(pieces.size() - out),
                                           std::uniform_int_distribution<int32_t>(0, 40)(rng));
            int32_t room = given;
            qelsConvertUTF_8u16u(text.data() + pos, &piece, pieces.data() + out, &room, swap);
            pos += static_cast<size_t>(piece);
            out += static_cast<size_t>(room);
            // All text given and room for a pair, yet no progress: finished,
            // or a truncated sequence ends the text.
            if (available == text.size() && piece == 0 && given >= 2) break;
        }
        pieces.resize(out);
        ASSERT_EQ(pos, static_cast<size_t>(whole_read)) << "seed " << seed;
        ASSERT_EQ(pieces, whole) << "seed " << seed;
    }
}

TEST(Utf16To8, ConvertingInPiecesEqualsAtOnce) {
    std::mt19937 rng(78);
    for (uint32_t seed = 0; seed < 60; ++seed) {
        const Units text = random_utf16ish(20 + seed * 23, 7000 + seed, seed % 3 ? 50 : 10);
        const bool swap = seed % 2;
        Bytes whole(text.size() * 3 + 1);
        int32_t n = static_cast<int32_t>(text.size()), cap = static_cast<int32_t>(whole.size());
        qelsConvertUTF_16u8u(text.data(), &n, whole.data(), &cap, swap);
        whole.resize(static_cast<size_t>(cap));
        ASSERT_EQ(n, static_cast<int32_t>(text.size()));

        // A high surrogate ending a piece is encoded alone: pieces must end at
        // a character boundary, which a caller gets by holding back a final
        // high surrogate until more text comes.
        Bytes pieces(whole.size() + 1, kSentinel8);
        size_t pos = 0, out = 0, available = 0;
        for (int rounds = 0; pos < text.size(); ++rounds) {
            ASSERT_LT(rounds, 100000) << "no progress, seed " << seed;
            available = std::min(text.size(), available + std::uniform_int_distribution<size_t>(0, 9)(rng));
            size_t end = available;
            const uint16_t last = end ? static_cast<uint16_t>(swap ? (text[end - 1] >> 8 | text[end - 1] << 8) : text[end - 1]) : 0;
            if (end < text.size() && end > pos && last >= 0xD800 && last <= 0xDBFF) --end;
            int32_t piece = static_cast<int32_t>(end - pos);
            int32_t room = std::min(static_cast<int32_t>(pieces.size() - out),
                                    std::uniform_int_distribution<int32_t>(0, 40)(rng));
            qelsConvertUTF_16u8u(text.data() + pos, &piece, pieces.data() + out, &room, swap);
            pos += static_cast<size_t>(piece);
            out += static_cast<size_t>(room);
        }
        pieces.resize(out);
        ASSERT_EQ(pieces, whole) << "seed " << seed;
    }
}

// ---------------------------------------------------------------- guard pages

TEST(UtfConvert, NeverTouchesMemoryOutsideTheBuffers) {
    for (size_t len : {1u, 5u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 63u, 64u, 65u, 100u, 257u}) {
        for (bool at_tail : {false, true}) {
            const Bytes text8 = random_utf8ish(len, 8000 + static_cast<uint32_t>(len), 60);
            const Units want16 = [&] {
                Units w(len + 1);
                auto r = qeltest::ref_utf8_to_utf16(text8.data(), static_cast<int32_t>(len), w.data(), static_cast<int32_t>(len), false);
                w.resize(static_cast<size_t>(r.written));
                return w;
            }();
            qeltest::Guarded<uint8_t> src8(text8, at_tail);
            for (size_t room : {want16.size(), want16.size() / 2})
                for (size_t odd : {0u, 1u}) {
                    qeltest::GuardedRegion out(room * 2 + 2);
                    uint16_t* dst = at_tail ? out.tail<uint16_t>(room, odd) : out.head<uint16_t>(room, odd);
                    int32_t n = static_cast<int32_t>(len), cap = static_cast<int32_t>(room);
                    ASSERT_EQ(qelsConvertUTF_8u16u(src8.data(), &n, dst, &cap, 0), qelOk);
                    Units got(static_cast<size_t>(cap));
                    if (cap) std::memcpy(got.data(), dst, got.size() * 2);
                    ASSERT_EQ(got, Units(want16.begin(), want16.begin() + cap)) << len << " odd " << odd;
                }

            const Units text16 = random_utf16ish(len, 9000 + static_cast<uint32_t>(len), 60);
            Bytes want8(len * 3 + 1);
            const auto r = qeltest::ref_utf16_to_utf8(text16.data(), static_cast<int32_t>(len), want8.data(), static_cast<int32_t>(want8.size()), false);
            want8.resize(static_cast<size_t>(r.written));
            for (size_t odd : {0u, 1u})
            for (size_t room : {want8.size(), want8.size() / 2}) {
                qeltest::Guarded<uint16_t> src16(text16, at_tail, odd);
                qeltest::GuardedRegion out(room + 1);
                uint8_t* dst = at_tail ? out.tail<uint8_t>(room) : out.head<uint8_t>(room);
                int32_t n = static_cast<int32_t>(len), cap = static_cast<int32_t>(room);
                ASSERT_EQ(qelsConvertUTF_16u8u(src16.data(), &n, dst, &cap, 1), qelOk);
                Bytes want_swapped(want8.size() + 1);
                const Units sw = swapped(text16);
                // Same units read as byte-swapped give a different text; check against the reference for it.
                auto rs = qeltest::ref_utf16_to_utf8(sw.data(), static_cast<int32_t>(len), want_swapped.data(), static_cast<int32_t>(room), false);
                ASSERT_EQ(cap, rs.written) << len;
                ASSERT_EQ(n, rs.read) << len;
                ASSERT_EQ(Bytes(dst, dst + cap), Bytes(want_swapped.begin(), want_swapped.begin() + cap)) << len;
            }
        }
    }
}

}  // namespace
