// Character-set search and set trimming against what a caller would use
// instead: strcspn, std::string_view::find_first_of / find_last_of,
// std::u16string_view::find_first_of, and a straightforward trimming loop.
//
// Each benchmark takes {set size, string length}. The strings hold no set
// unit (a search scans everything), except the trims, whose sources carry a
// removed run of a quarter of the length at each end. Benchmarks named
// ".../sse42_off" force the core library's feature answer to zero to show
// the general kernels.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "qelch.h"
#include "qelcore.h"

namespace {

// Set units: bytes from 0xC0 up (unsigned compare matters); text: a-z.
std::string make_set8(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(0xC0 + i));
    return s;
}

std::string make_text8(size_t len) {
    std::mt19937 rng(42);
    std::string s(len, 'a');
    for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    return s;
}

std::u16string make_set16(int n) {
    std::u16string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char16_t>(0x8000 + 3 * i));
    return s;
}

std::u16string make_text16(size_t len) {
    std::mt19937 rng(43);
    std::u16string s(len, u'a');
    for (char16_t& c : s) c = static_cast<char16_t>(0x0400 + rng() % 64);
    return s;
}

struct Feature {
    explicit Feature(bool off) {
        if (off) qelcoreCtlForceFeature(QELCORE_FEATURE_OFF);
    }
    ~Feature() { qelcoreCtlReset(); }
};

template <bool Off>
void BM_FindCAny_8u(benchmark::State& st) {
    Feature f(Off);
    const std::string set = make_set8(static_cast<int>(st.range(0)));
    const std::string text = make_text8(static_cast<size_t>(st.range(1)));
    for (auto _ : st) {
        int32_t idx;
        qelsFindCAny_8u(reinterpret_cast<const Qel8u*>(text.data()), static_cast<int32_t>(text.size()),
                        reinterpret_cast<const Qel8u*>(set.data()), static_cast<int32_t>(set.size()), &idx);
        benchmark::DoNotOptimize(idx);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(1));
}

void BM_strcspn(benchmark::State& st) {
    const std::string set = make_set8(static_cast<int>(st.range(0)));
    const std::string text = make_text8(static_cast<size_t>(st.range(1)));
    for (auto _ : st) benchmark::DoNotOptimize(std::strcspn(text.c_str(), set.c_str()));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(1));
}

void BM_find_first_of(benchmark::State& st) {
    const std::string set = make_set8(static_cast<int>(st.range(0)));
    const std::string text = make_text8(static_cast<size_t>(st.range(1)));
    std::string_view tv(text);
    for (auto _ : st) benchmark::DoNotOptimize(tv.find_first_of(set));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(1));
}

template <bool Off>
void BM_FindRevCAny_8u(benchmark::State& st) {
    Feature f(Off);
    const std::string set = make_set8(static_cast<int>(st.range(0)));
    const std::string text = make_text8(static_cast<size_t>(st.range(1)));
    for (auto _ : st) {
        int32_t idx;
        qelsFindRevCAny_8u(reinterpret_cast<const Qel8u*>(text.data()), static_cast<int32_t>(text.size()),
                           reinterpret_cast<const Qel8u*>(set.data()), static_cast<int32_t>(set.size()), &idx);
        benchmark::DoNotOptimize(idx);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(1));
}

void BM_find_last_of(benchmark::State& st) {
    const std::string set = make_set8(static_cast<int>(st.range(0)));
    const std::string text = make_text8(static_cast<size_t>(st.range(1)));
    std::string_view tv(text);
    for (auto _ : st) benchmark::DoNotOptimize(tv.find_last_of(set));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(1));
}

template <bool Off>
void BM_FindCAny_16u(benchmark::State& st) {
    Feature f(Off);
    const std::u16string set = make_set16(static_cast<int>(st.range(0)));
    const std::u16string text = make_text16(static_cast<size_t>(st.range(1)));
    for (auto _ : st) {
        int32_t idx;
        qelsFindCAny_16u(reinterpret_cast<const Qel16u*>(text.data()), static_cast<int32_t>(text.size()),
                         reinterpret_cast<const Qel16u*>(set.data()), static_cast<int32_t>(set.size()), &idx);
        benchmark::DoNotOptimize(idx);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(1) * 2);
}

void BM_u16_find_first_of(benchmark::State& st) {
    const std::u16string set = make_set16(static_cast<int>(st.range(0)));
    const std::u16string text = make_text16(static_cast<size_t>(st.range(1)));
    std::u16string_view tv(text);
    for (auto _ : st) benchmark::DoNotOptimize(tv.find_first_of(set));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(1) * 2);
}

// Trim sources: a quarter of set units, the text, a quarter of set units.
std::string make_trim_source(const std::string& set, size_t len) {
    std::string s = make_text8(len);
    for (size_t i = 0; i < len / 4; ++i) {
        s[i] = set[i % set.size()];
        s[len - 1 - i] = set[(i * 7) % set.size()];
    }
    return s;
}

template <bool Off>
void BM_TrimCAny_8u(benchmark::State& st) {
    Feature f(Off);
    const std::string set = make_set8(static_cast<int>(st.range(0)));
    const std::string src = make_trim_source(set, static_cast<size_t>(st.range(1)));
    std::string dst(src.size(), '\0');
    for (auto _ : st) {
        int32_t n;
        qelsTrimCAny_8u(reinterpret_cast<const Qel8u*>(src.data()), static_cast<int32_t>(src.size()),
                        reinterpret_cast<const Qel8u*>(set.data()), static_cast<int32_t>(set.size()),
                        reinterpret_cast<Qel8u*>(dst.data()), &n);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(1));
}

void BM_trim_loop(benchmark::State& st) {
    const std::string set = make_set8(static_cast<int>(st.range(0)));
    const std::string src = make_trim_source(set, static_cast<size_t>(st.range(1)));
    std::string dst(src.size(), '\0');
    auto in_set = [&](char c) {
        for (char x : set)
            if (x == c) return true;
        return false;
    };
    for (auto _ : st) {
        size_t b = 0, e = src.size();
        while (b < e && in_set(src[b])) ++b;
        while (e > b && in_set(src[e - 1])) --e;
        std::memcpy(dst.data(), src.data() + b, e - b);
        benchmark::DoNotOptimize(e - b);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(1));
}

void Args(benchmark::internal::Benchmark* b) {
    for (int64_t len : {64, 4096, 1 << 20})
        for (int64_t n : {3, 8, 16, 40}) b->Args({n, len});
}

BENCHMARK(BM_FindCAny_8u<false>)->Apply(Args)->Name("FindCAny_8u");
BENCHMARK(BM_FindCAny_8u<true>)->Apply(Args)->Name("FindCAny_8u/sse42_off");
BENCHMARK(BM_strcspn)->Apply(Args)->Name("strcspn");
BENCHMARK(BM_find_first_of)->Apply(Args)->Name("string_view::find_first_of");
BENCHMARK(BM_FindRevCAny_8u<false>)->Apply(Args)->Name("FindRevCAny_8u");
BENCHMARK(BM_FindRevCAny_8u<true>)->Apply(Args)->Name("FindRevCAny_8u/sse42_off");
BENCHMARK(BM_find_last_of)->Apply(Args)->Name("string_view::find_last_of");
BENCHMARK(BM_FindCAny_16u<false>)->Apply(Args)->Name("FindCAny_16u");
BENCHMARK(BM_FindCAny_16u<true>)->Apply(Args)->Name("FindCAny_16u/sse42_off");
BENCHMARK(BM_u16_find_first_of)->Apply(Args)->Name("u16string_view::find_first_of");
BENCHMARK(BM_TrimCAny_8u<false>)->Apply(Args)->Name("TrimCAny_8u");
BENCHMARK(BM_TrimCAny_8u<true>)->Apply(Args)->Name("TrimCAny_8u/sse42_off");
BENCHMARK(BM_trim_loop)->Apply(Args)->Name("trim_loop");

}  // namespace

BENCHMARK_MAIN();
