// Pattern compilation: qelsRegExpInit into a preallocated block against
// PCRE2's pcre2_compile (plus the free of its code block) on the same
// patterns. Both sides compile from scratch on every iteration.
#include <benchmark/benchmark.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <string>
#include <vector>

#include "qelch.h"

namespace {

// Patterns without bracket classes or property escapes, so the figures
// measure this compiler rather than the class parser.
const char* const kPatterns[] = {
    "hello world",                                            // one literal run
    "abc|def|ghi|jkl",                                        // literal alternation
    "(\\d+)-(\\d+)-(\\d+)",                                   // captures and repeats
    "^(?:(?i)GET|POST) +(\\S+) +HTTP/1\\.\\d$",               // request line
    "(?<=\\s)(\\w+)@(\\w+)\\.(?:com|org|net)(?=\\W)",         // look-around
    "(a|b)*?c{2,5}(?>d+)(?(1)e|f)\\1",                        // mixed constructs
};

std::string long_pattern() {
    std::string p;
    for (int i = 0; i < 40; ++i) p += "(foo\\d{2,4}|bar\\w*?)\\s+";
    return p;
}

const std::string& pattern_at(int64_t i) {
    static const std::vector<std::string> all = [] {
        std::vector<std::string> v(std::begin(kPatterns), std::end(kPatterns));
        v.push_back(long_pattern());
        return v;
    }();
    return all[size_t(i)];
}

void BM_qelch_compile(benchmark::State& state) {
    const std::string& p = pattern_at(state.range(0));
    int32_t size = 0;
    qelsRegExpGetSize(p.c_str(), &size);
    std::vector<unsigned char> block(static_cast<size_t>(size));
    auto* st = reinterpret_cast<QelRegExpState*>(block.data());
    for (auto _ : state) {
        int32_t off = 0;
        QelStatus s = qelsRegExpInit(p.c_str(), nullptr, st, &off);
        if (s != qelOk) state.SkipWithError("compile failed");
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.size()));
}

void BM_pcre2_compile(benchmark::State& state) {
    const std::string& p = pattern_at(state.range(0));
    for (auto _ : state) {
        int err = 0;
        PCRE2_SIZE off = 0;
        pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(p.c_str()), PCRE2_ZERO_TERMINATED, 0, &err,
                                         &off, nullptr);
        if (!code) state.SkipWithError("compile failed");
        benchmark::DoNotOptimize(code);
        pcre2_code_free(code);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.size()));
}

constexpr int kPatternCount = int(sizeof(kPatterns) / sizeof(kPatterns[0])) + 1;

BENCHMARK(BM_qelch_compile)->DenseRange(0, kPatternCount - 1);
BENCHMARK(BM_pcre2_compile)->DenseRange(0, kPatternCount - 1);

}  // namespace

BENCHMARK_MAIN();
