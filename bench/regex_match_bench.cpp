// The matcher's hot paths — greedy single-item runs, lazy runs with the
// literal pre-test, literal strings — against PCRE2 (interpreter and JIT) on
// the same subject, one attempt at position 0 per iteration.
#include <benchmark/benchmark.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <string>
#include <vector>

#include "regex_match_fixture.h"

namespace {

using namespace qeltest;

std::string letters(size_t n) {
    std::string s(n, 'a');
    for (size_t i = 0; i < n; ++i) s[i] = char('a' + (i * 7 + i / 13) % 26);
    return s;
}

struct Case {
    const char* pcre;
    Pat pat;
    std::string (*subject)(size_t);
};

std::string words(size_t n) {
    std::string s = letters(n);
    for (size_t i = 0; i < n; i += 17) s[i] = char('0' + i % 10);
    for (size_t i = 5; i < n; i += 23) s[i] = '_';
    return s;
}
std::string lower_then_q(size_t n) {
    std::string s = letters(n);
    for (auto& c : s)
        if (c == 'q') c = 'p';
    s.back() = 'q';
    return s;
}
std::string line_then_x(size_t n) {
    std::string s = lower_then_q(n);
    s.back() = 'x';
    for (auto& c : s)
        if (c == 'x') c = 'y';
    s.back() = 'x';
    return s;
}

Case make_case(int id) {
    switch (id) {
        case 0: return {"[a-z]*", Pat().cls().m_range('a', 'z').end().star(), letters};
        case 1: return {"\\w+", Pat().predef('w').plus(), words};
        case 2: return {"[a-z]*?q", Pat().cls().m_range('a', 'z').end().star(true).chr('q'), lower_then_q};
        case 3: return {".*x", Pat().predef('.').star().chr('x'), line_then_x};
        case 4: return {".*?x", Pat().predef('.').star(true).chr('x'), line_then_x};
        default: return {"a*", Pat().chr('a').star(), [](size_t n) { return std::string(n, 'a'); }};
    }
}

void BM_ours(benchmark::State& st) {
    Case c = make_case(int(st.range(0)));
    const size_t n = size_t(st.range(1));
    const std::string s = c.subject(n);
    BuiltState state(c.pat);
    CaptureRecord out[1];
    for (auto _ : st) {
        const int res = match_at_for_test(state.state(), reinterpret_cast<const uint8_t*>(s.data()), int32_t(n), 0,
                                          out, 1, nullptr);
        if (res != 0 || size_t(out[0].length) != n) st.SkipWithError("wrong match");
        int32_t len = out[0].length;
        benchmark::DoNotOptimize(len);
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n));
    st.SetLabel(c.pcre);
}

void BM_pcre2(benchmark::State& st, bool jit) {
    Case c = make_case(int(st.range(0)));
    const size_t n = size_t(st.range(1));
    const std::string s = c.subject(n);
    int err;
    PCRE2_SIZE off;
    pcre2_code* re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(c.pcre), PCRE2_ZERO_TERMINATED,
                                   PCRE2_ANCHORED | PCRE2_UTF | PCRE2_NO_UTF_CHECK, &err, &off, nullptr);
    if (jit) pcre2_jit_compile(re, PCRE2_JIT_COMPLETE);
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(re, nullptr);
    for (auto _ : st) {
        const int rc = pcre2_match(re, reinterpret_cast<PCRE2_SPTR>(s.data()), n, 0, PCRE2_NO_UTF_CHECK, md, nullptr);
        if (rc < 1 || pcre2_get_ovector_pointer(md)[1] != n) st.SkipWithError("wrong match");
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n));
    st.SetLabel(c.pcre);
    pcre2_match_data_free(md);
    pcre2_code_free(re);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int id = 0; id < 6; ++id)
        for (int64_t n : {64, 4096, 1 << 20}) b->Args({id, n});
}

BENCHMARK(BM_ours)->Apply(sizes);
BENCHMARK_CAPTURE(BM_pcre2, interp, false)->Apply(sizes);
BENCHMARK_CAPTURE(BM_pcre2, jit, true)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
