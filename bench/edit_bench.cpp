// Compare, case conversion, replace-a-unit and hashes against what callers
// would use otherwise: memcmp, strncasecmp, plain loops. Every pair runs in
// the same program; compare the ratios, not the absolute figures.
#include <benchmark/benchmark.h>
#include <strings.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "qelch.h"

namespace {

std::vector<uint8_t> text8(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& c : v) c = static_cast<uint8_t>(0x20 + rng() % 0x5F);  // printable ASCII, no zero
    return v;
}

// Equal strings but for the last byte: the whole length is compared. Both
// copies sit at fixed offsets from 4096-byte boundaries (the second and
// third arguments), so ours and memcmp read the same alignments whatever the
// allocator returns: both aligned, both odd, one aligned and one odd, and
// two offsets 24 bytes apart.
struct Pair8 {
    std::vector<uint8_t> raw_a, raw_b;
    uint8_t* a;
    uint8_t* b;
    size_t n;
    static uint8_t* place(std::vector<uint8_t>& raw, size_t offset) {
        const uintptr_t page = (reinterpret_cast<uintptr_t>(raw.data()) + 4095) & ~uintptr_t{4095};
        return reinterpret_cast<uint8_t*>(page + offset);
    }
    explicit Pair8(const benchmark::State& st)
        : raw_a(static_cast<size_t>(st.range(0)) + 8192), raw_b(raw_a.size()),
          a(place(raw_a, static_cast<size_t>(st.range(1)))), b(place(raw_b, static_cast<size_t>(st.range(2)))),
          n(static_cast<size_t>(st.range(0))) {
        auto t = text8(n, 1);
        std::memcpy(a, t.data(), n);
        std::memcpy(b, t.data(), n);
        b[n - 1] ^= 1;
    }
};

void compare8_ours(benchmark::State& st) {
    Pair8 p(st);
    int32_t r = 0;
    for (auto _ : st) {
        qelsCompare_8u(p.a, p.b, static_cast<int32_t>(p.n), &r);
        benchmark::DoNotOptimize(r);
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}
void compare8_memcmp(benchmark::State& st) {
    Pair8 p(st);
    for (auto _ : st) {
        benchmark::DoNotOptimize(p.a);
        benchmark::DoNotOptimize(p.b);
        int r = std::memcmp(p.a, p.b, p.n);
        benchmark::DoNotOptimize(r);
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}
void equal8_ours(benchmark::State& st) {
    Pair8 p(st);
    int32_t r = 0;
    for (auto _ : st) {
        qelsEqual_8u(p.a, p.b, static_cast<int32_t>(p.n), &r);
        benchmark::DoNotOptimize(r);
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}
void equal8_memcmp(benchmark::State& st) {
    Pair8 p(st);
    for (auto _ : st) {
        benchmark::DoNotOptimize(p.a);
        benchmark::DoNotOptimize(p.b);
        bool r = std::memcmp(p.a, p.b, p.n) == 0;
        benchmark::DoNotOptimize(r);
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}

// Long strings that differ early, as sorting or a hash-table lookup meets
// them: 64 pairs of equal length, each with its first difference at a random
// byte in the first 48, taken in turn so that the position is not the same
// from one call to the next.
struct EarlyPairs8 {
    static constexpr size_t kPairs = 64;
    std::vector<uint8_t> a, b;
    size_t n;
    explicit EarlyPairs8(const benchmark::State& st) : n(static_cast<size_t>(st.range(0))) {
        std::mt19937 rng(7);
        a.resize(kPairs * n);
        b.resize(kPairs * n);
        for (size_t k = 0; k < kPairs; ++k) {
            auto t = text8(n, static_cast<uint32_t>(k + 2));
            std::memcpy(&a[k * n], t.data(), n);
            std::memcpy(&b[k * n], t.data(), n);
            b[k * n + rng() % 48] ^= 1;
        }
    }
};
template <bool kOurs, bool kEqual>
void early8(benchmark::State& st) {
    EarlyPairs8 p(st);
    size_t k = 0;
    for (auto _ : st) {
        const uint8_t* a = &p.a[k * p.n];
        const uint8_t* b = &p.b[k * p.n];
        k = (k + 1) % EarlyPairs8::kPairs;
        int32_t r = 0;
        if constexpr (kOurs) {
            if constexpr (kEqual) qelsEqual_8u(a, b, static_cast<int32_t>(p.n), &r);
            else qelsCompare_8u(a, b, static_cast<int32_t>(p.n), &r);
        } else {
            benchmark::DoNotOptimize(a);
            benchmark::DoNotOptimize(b);
            r = kEqual ? std::memcmp(a, b, p.n) == 0 : std::memcmp(a, b, p.n);
        }
        benchmark::DoNotOptimize(r);
    }
}

// Same letters in opposite case everywhere, last byte really different: the
// folding path runs over the whole length.
struct CasePair8 {
    std::vector<uint8_t> a, b;
    explicit CasePair8(size_t n) : a(text8(n, 2)), b(a) {
        for (auto& c : b)
            if ((c | 32) >= 'a' && (c | 32) <= 'z') c ^= 32;
        b[n - 1] = '~';
        a[n - 1] = '!';
    }
};
void icase8_ours(benchmark::State& st) {
    CasePair8 p(static_cast<size_t>(st.range(0)));
    int32_t r = 0;
    for (auto _ : st) {
        qelsCompareIgnoreCaseLatin_8u(p.a.data(), p.b.data(), static_cast<int32_t>(p.a.size()), &r);
        benchmark::DoNotOptimize(r);
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}
void icase8_strncasecmp(benchmark::State& st) {
    CasePair8 p(static_cast<size_t>(st.range(0)));
    for (auto _ : st) {
        benchmark::DoNotOptimize(p.a.data());
        int r = strncasecmp(reinterpret_cast<const char*>(p.a.data()), reinterpret_cast<const char*>(p.b.data()),
                            p.a.size());
        benchmark::DoNotOptimize(r);
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}

void upper8_ours(benchmark::State& st) {
    auto src = text8(static_cast<size_t>(st.range(0)), 3);
    std::vector<uint8_t> dst(src.size());
    for (auto _ : st) {
        qelsUppercaseLatin_8u(src.data(), dst.data(), static_cast<int32_t>(src.size()));
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}
void upper8_loop(benchmark::State& st) {
    auto src = text8(static_cast<size_t>(st.range(0)), 3);
    std::vector<uint8_t> dst(src.size());
    for (auto _ : st) {
        benchmark::DoNotOptimize(src.data());
        for (size_t i = 0; i < src.size(); ++i) {
            uint8_t c = src[i];
            dst[i] = (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 32) : c;
        }
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}

// 16-bit text: 0 ASCII, 1 Greek and Cyrillic, 2 CJK.
std::vector<uint16_t> text16(size_t n, int kind) {
    std::mt19937 rng(4);
    std::vector<uint16_t> v(n);
    for (auto& c : v) {
        if (kind == 0) c = static_cast<uint16_t>(0x20 + rng() % 0x5F);
        else if (kind == 1) c = static_cast<uint16_t>(rng() % 4 == 0 ? 0x20 : 0x0391 + rng() % 0xC0);
        else c = static_cast<uint16_t>(0x4E00 + rng() % 0x5000);
    }
    return v;
}
void lower16_ours(benchmark::State& st) {
    auto src = text16(4096, static_cast<int>(st.range(0)));
    std::vector<uint16_t> dst(src.size());
    for (auto _ : st) {
        qelsLowercase_16u(src.data(), dst.data(), static_cast<int32_t>(src.size()));
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * 4096 * 2);
}

void replace8_ours(benchmark::State& st) {
    auto src = text8(static_cast<size_t>(st.range(0)), 5);
    std::vector<uint8_t> dst(src.size());
    for (auto _ : st) {
        qelsReplaceC_8u(src.data(), dst.data(), static_cast<int32_t>(src.size()), 'e', 'E');
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}
void replace8_loop(benchmark::State& st) {
    auto src = text8(static_cast<size_t>(st.range(0)), 5);
    std::vector<uint8_t> dst(src.size());
    for (auto _ : st) {
        benchmark::DoNotOptimize(src.data());
        for (size_t i = 0; i < src.size(); ++i) dst[i] = src[i] == 'e' ? 'E' : src[i];
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}

template <QelStatus (*Fn)(const Qel8u*, int32_t, Qel32u*)>
void hash8(benchmark::State& st) {
    auto src = text8(static_cast<size_t>(st.range(0)), 6);
    Qel32u h = 0;
    for (auto _ : st) {
        Fn(src.data(), static_cast<int32_t>(src.size()), &h);
        benchmark::DoNotOptimize(h);
    }
    st.SetBytesProcessed(st.iterations() * st.range(0));
}
template <QelStatus (*Fn)(const Qel16u*, int32_t, Qel32u*)>
void hash16(benchmark::State& st) {
    auto src = text16(static_cast<size_t>(st.range(0)), 0);
    Qel32u h = 0;
    for (auto _ : st) {
        Fn(src.data(), static_cast<int32_t>(src.size()), &h);
        benchmark::DoNotOptimize(h);
    }
    st.SetBytesProcessed(st.iterations() * st.range(0) * 2);
}

#define SIZES Arg(64)->Arg(256)->Arg(4096)->Arg(65536)
// Length, then the offsets of the two strings from a 4096-byte boundary.
void placed_sizes(benchmark::internal::Benchmark* b) {
    const int64_t offsets[][2] = {{0, 0}, {1, 1}, {0, 1}, {16, 40}};
    for (int64_t n : {64, 256, 4096, 8192, 65536})
        for (const auto& o : offsets) b->Args({n, o[0], o[1]});
}
BENCHMARK(compare8_ours)->Apply(placed_sizes);
BENCHMARK(compare8_memcmp)->Apply(placed_sizes);
BENCHMARK(equal8_ours)->Apply(placed_sizes);
BENCHMARK(equal8_memcmp)->Apply(placed_sizes);
BENCHMARK(early8<true, false>)->Name("compare8_early_ours")->Arg(256)->Arg(4096);
BENCHMARK(early8<false, false>)->Name("compare8_early_memcmp")->Arg(256)->Arg(4096);
BENCHMARK(early8<true, true>)->Name("equal8_early_ours")->Arg(256)->Arg(4096);
BENCHMARK(early8<false, true>)->Name("equal8_early_memcmp")->Arg(256)->Arg(4096);
BENCHMARK(icase8_ours)->SIZES;
BENCHMARK(icase8_strncasecmp)->SIZES;
BENCHMARK(upper8_ours)->SIZES;
BENCHMARK(upper8_loop)->SIZES;
BENCHMARK(replace8_ours)->SIZES;
BENCHMARK(replace8_loop)->SIZES;
BENCHMARK(lower16_ours)->DenseRange(0, 2);
BENCHMARK(hash8<qelsHash_8u32u>)->Arg(4096);
BENCHMARK(hash8<qelsHashMSCS_8u32u>)->Arg(4096);
BENCHMARK(hash8<qelsHashSJ2_8u32u>)->Arg(4096);
BENCHMARK(hash16<qelsHash_16u32u>)->Arg(4096);
BENCHMARK(hash16<qelsHashMSCS_16u32u>)->Arg(4096);
BENCHMARK(hash16<qelsHashSJ2_16u32u>)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
