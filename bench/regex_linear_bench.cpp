// Patterns that make a backtracker exponential or quadratic, on subjects of
// 30 to 10,000 bytes built so that the search fails or succeeds only at the
// very end (a literal the pattern ends with stands last, so that cutting
// the window at its last occurrence saves nothing). Rows per case and size: qelch as shipped (the linear path takes
// these), qelch with the linear path off (the general matcher; only at sizes
// where it ends in reasonable time), and RE2 as the linear-time peer, all
// asking for the match and its captures.
#include <benchmark/benchmark.h>
#include <re2/re2.h>

#include <string>
#include <vector>

#include "regex/match/search_internal.h"

namespace {

using qel::re::LinearUse;

std::string repeat(const std::string& unit, size_t n) {
    std::string s;
    while (s.size() < n) s += unit;
    s.resize(n);
    return s;
}

struct Case {
    const char* name;
    const char* pattern;
    std::string (*subject)(size_t);
    size_t generalMax;  // largest size the general matcher is timed at (0: none, it takes seconds at 4 bytes)
};

const Case kCases[] = {
    {"nested_plus", "(a+)+$", [](size_t n) { return repeat("a", n - 1) + "!"; }, 18},
    {"alt_overlap", "(a|aa)+$", [](size_t n) { return repeat("a", n - 1) + "!"; }, 24},
    {"dot_star_12", "(.*a){12}", [](size_t n) { return repeat("a", 11) + repeat("b", n - 11); }, 30},
    {"words_to_end", "^(\\w+\\s?)*$", [](size_t n) { return repeat("word ", n - 1) + "!"; }, 18},
    {"x_plus_x_plus", "(x+x+)+y", [](size_t n) { return repeat("x", n - 2) + "!y"; }, 18},
    {"a_or_b_star_c", "(a|b)*c", [](size_t n) { return repeat("ab", n - 2) + "!c"; }, 10000},
    {"optional_alt", "(a|a?)+b", [](size_t n) { return repeat("a", n - 2) + "!b"; }, 0},
    {"group_before_at", "([a-z]+)@", [](size_t n) { return repeat("abcdefghijklmnopqrstuvwxyz", n - 2) + "!@"; }, 10000},
    {"word_space_end", "\\w+\\s*$", [](size_t n) { return repeat("ab_", n - 1) + "!"; }, 10000},
};

const size_t kSizes[] = {30, 100, 1000, 10000};

void BM_qelch(benchmark::State& st, const Case* c, size_t n, LinearUse use) {
    const std::string t = c->subject(n);
    QelRegExpState* re = nullptr;
    int32_t err = 0;
    if (qelsRegExpInitAlloc(c->pattern, "", &re, &err) != qelOk) {
        st.SkipWithError("compile failed");
        return;
    }
    qelsRegExpSetFormat(0, re);
    QelRegExpFind results[4];
    int32_t found = 0;
    for (auto _ : st) {
        int32_t count = 4;
        qel::re::search_with_paths(reinterpret_cast<const Qel8u*>(t.data()), static_cast<int32_t>(t.size()), re,
                                   results, &count, 0, true, use);
        found = count;
        benchmark::DoNotOptimize(results);
    }
    st.counters["match"] = found;
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(t.size()));
    qelsRegExpFree(re);
}

void BM_re2(benchmark::State& st, const Case* c, size_t n) {
    const std::string t = c->subject(n);
    RE2::Options o;
    o.set_encoding(RE2::Options::EncodingLatin1);
    RE2 re(c->pattern, o);
    if (!re.ok()) {
        st.SkipWithError("not supported");
        return;
    }
    std::vector<re2::StringPiece> sub(static_cast<size_t>(re.NumberOfCapturingGroups()) + 1);
    int found = 0;
    for (auto _ : st) {
        found = re.Match(re2::StringPiece(t), 0, t.size(), RE2::UNANCHORED, sub.data(), static_cast<int>(sub.size()));
        benchmark::DoNotOptimize(sub.data());
    }
    st.counters["match"] = found;
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(t.size()));
}

int register_all() {
    for (const Case& c : kCases) {
        for (size_t n : kSizes) {
            const std::string base = std::string("linear/") + c.name + "/" + std::to_string(n) + "/";
            benchmark::RegisterBenchmark((base + "qelch").c_str(), BM_qelch, &c, n, LinearUse::Useful)
                ->Unit(benchmark::kMicrosecond);
            if (n <= c.generalMax)
                benchmark::RegisterBenchmark((base + "qelch_general").c_str(), BM_qelch, &c, n, LinearUse::Off)
                    ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark((base + "re2").c_str(), BM_re2, &c, n)->Unit(benchmark::kMicrosecond);
        }
        // The general matcher at the largest size it finishes in reasonable time.
        if (c.generalMax > 0 && c.generalMax < kSizes[0]) {
            const std::string base = std::string("linear/") + c.name + "/" + std::to_string(c.generalMax) + "/";
            benchmark::RegisterBenchmark((base + "qelch").c_str(), BM_qelch, &c, c.generalMax, LinearUse::Useful)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark((base + "qelch_general").c_str(), BM_qelch, &c, c.generalMax, LinearUse::Off)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    return 0;
}

const int kRegistered = register_all();

}  // namespace

BENCHMARK_MAIN();
