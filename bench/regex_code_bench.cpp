// Everyday patterns over real C/C++ source text: qelch against PCRE2's
// interpreter, PCRE2's JIT and RE2, in one run.
//
// - code_line/*: one non-global search per line (the way an editor or a
//   line-oriented tool calls the library): short subjects, where fixed costs
//   per call dominate;
// - code_bulk/*: one global search over the whole text.
//
// The text is built at run time from the header and source files under a
// directory: QELCH_BENCH_CODE_DIR if set, else the compiler's system header
// directory. Files are taken in sorted path order up
// to QELCH_BENCH_CODE_MB megabytes (default 8), so a run on the same machine
// always sees the same bytes. Each benchmark reports its match count as a
// counter, so the engines can be checked against each other in the output.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "qelch.h"
#include "regex_peers.h"

namespace {

namespace fs = std::filesystem;

bool is_source(const fs::path& p) {
    static const char* const kExt[] = {".h", ".hpp", ".hh", ".hxx", ".c", ".cc", ".cpp", ".cxx", ".tcc", ".inl"};
    const std::string e = p.extension().string();
    return std::find(std::begin(kExt), std::end(kExt), e) != std::end(kExt);
}

// The build passes the compiler's system header directory as the default.
std::string code_dir() {
    if (const char* d = std::getenv("QELCH_BENCH_CODE_DIR")) return d;
#ifdef QELCH_BENCH_SYSTEM_INCLUDE
    if (fs::is_directory(QELCH_BENCH_SYSTEM_INCLUDE)) return QELCH_BENCH_SYSTEM_INCLUDE;
#endif
    return {};
}

const std::string& text() {
    static const std::string t = [] {
        size_t limit = 8u << 20;
        if (const char* mb = std::getenv("QELCH_BENCH_CODE_MB")) limit = size_t(std::strtoul(mb, nullptr, 10)) << 20;
        std::vector<fs::path> files;
        const std::string dir = code_dir();
        std::error_code ec;
        if (!dir.empty())
            for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
                 it != fs::recursive_directory_iterator(); it.increment(ec)) {
                if (ec) break;
                if (it->is_regular_file(ec) && is_source(it->path())) files.push_back(it->path());
            }
        std::sort(files.begin(), files.end());
        std::string s;
        for (const fs::path& p : files) {
            if (s.size() >= limit) break;
            std::ifstream in(p, std::ios::binary);
            s.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            if (!s.empty() && s.back() != '\n') s += '\n';
        }
        if (s.size() > limit) s.resize(s.rfind('\n', limit) + 1);
        return s;
    }();
    return t;
}

const std::vector<std::string_view>& lines() {
    static const std::vector<std::string_view> l = [] {
        std::vector<std::string_view> out;
        const std::string& t = text();
        size_t start = 0;
        while (start < t.size()) {
            size_t nl = t.find('\n', start);
            if (nl == std::string::npos) nl = t.size();
            out.emplace_back(t.data() + start, nl - start);
            start = nl + 1;
        }
        return out;
    }();
    return l;
}

struct Pattern {
    const char* name;
    const char* regex;  // the same text for every engine
    bool multiline;
};

// One search per line.
const Pattern kLinePatterns[] = {
    {"digits", "[0-9]+", false},
    {"x_ab_y", "x(a|b)y", false},
    {"call", "\\w+\\(", false},
    {"trailing_ws", "\\s+$", false},
    {"type_t", "\\w+_t\\b", false},
    {"define", "#define\\s+\\w+", false},
    {"string", "\"[^\"]*\"", false},
    {"keyword", "\\breturn\\b", false},
    {"string_esc", "\"[^\"\\\\]*(?:\\\\.[^\"\\\\]*)*\"", false},
};

// One global search over the whole text.
const Pattern kBulkPatterns[] = {
    {"define_fn", "#define\\s+\\w+\\s+\\(", false},
    {"hex8", "[0-9a-f]{8}", false},
    {"trailing_ws_m", "\\s+$", true},
    {"type_t", "\\w+_t\\b", false},
    {"upper_word", "\\b[A-Z_]{4,}\\b", false},
    {"ing", "[a-zA-Z]+ing", false},
    {"uri", "[a-zA-Z][a-zA-Z0-9]*://[^\\s/]+[^\\s]*", false},
    {"digits", "[0-9]+", false},
    {"include", "^#include\\s*<[^>]+>", true},
    {"string_esc", "\"[^\"\\\\]*(?:\\\\.[^\"\\\\]*)*\"", false},
};

bool have_text(benchmark::State& st) {
    if (!text().empty()) return true;
    st.SkipWithError("no source text: set QELCH_BENCH_CODE_DIR to a directory of C/C++ files");
    return false;
}

void BM_qelch_lines(benchmark::State& st, const Pattern* p) {
    if (!have_text(st)) return;
    QelRegExpState* re = nullptr;
    int32_t err = 0;
    if (qelsRegExpInitAlloc(p->regex, p->multiline ? "m" : "", &re, &err) != qelOk) {
        st.SkipWithError("compile failed");
        return;
    }
    qelsRegExpSetFormat(0, re);
    QelRegExpFind r[1];
    int64_t matches = 0;
    for (auto _ : st) {
        matches = 0;
        for (std::string_view l : lines()) {
            int32_t count = 1;
            QelStatus s = qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(l.data()), static_cast<int32_t>(l.size()),
                                            re, r, &count);
            matches += (s >= 0 && count > 0);
        }
    }
    st.counters["matches"] = static_cast<double>(matches);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(text().size()));
    qelsRegExpFree(re);
}

pcre2_code* pcre2_for(const Pattern* p, bool jit) {
    return qelbench::pcre2_compile_for(p->regex, p->multiline ? PCRE2_MULTILINE : 0, jit);
}

void BM_pcre2_lines(benchmark::State& st, const Pattern* p, bool jit) {
    if (!have_text(st)) return;
    pcre2_code* code = pcre2_for(p, jit);
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
    int64_t matches = 0;
    for (auto _ : st) {
        matches = 0;
        for (std::string_view l : lines())
            matches += pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(l.data()), l.size(), 0, 0, md, nullptr) >= 0;
    }
    st.counters["matches"] = static_cast<double>(matches);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(text().size()));
    pcre2_match_data_free(md);
    pcre2_code_free(code);
}

RE2::Options re2_options() {
    RE2::Options o = qelbench::re2_byte_options();
    o.set_log_errors(false);
    return o;
}

std::string re2_text(const Pattern* p) { return p->multiline ? std::string("(?m)") + p->regex : std::string(p->regex); }

void BM_re2_lines(benchmark::State& st, const Pattern* p) {
    if (!have_text(st)) return;
    RE2 re(re2_text(p), re2_options());
    if (!re.ok()) {
        st.SkipWithError("not supported");
        return;
    }
    int64_t matches = 0;
    re2::StringPiece m;
    for (auto _ : st) {
        matches = 0;
        for (std::string_view l : lines()) {
            re2::StringPiece in(l.data(), l.size());
            matches += re.Match(in, 0, l.size(), RE2::UNANCHORED, &m, 1);
        }
    }
    st.counters["matches"] = static_cast<double>(matches);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(text().size()));
}

void BM_qelch_bulk(benchmark::State& st, const Pattern* p) {
    if (!have_text(st)) return;
    const std::string& t = text();
    QelRegExpState* re = nullptr;
    int32_t err = 0;
    if (qelsRegExpInitAlloc(p->regex, p->multiline ? "gm" : "g", &re, &err) != qelOk) {
        st.SkipWithError("compile failed");
        return;
    }
    qelsRegExpSetFormat(0, re);
    std::vector<QelRegExpFind> results(1 << 21);
    int64_t matches = 0;
    for (auto _ : st) {
        int32_t count = static_cast<int32_t>(results.size());
        qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(t.data()), static_cast<int32_t>(t.size()), re,
                          results.data(), &count);
        matches = count;
        benchmark::DoNotOptimize(results.data());
    }
    st.counters["matches"] = static_cast<double>(matches);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(t.size()));
    qelsRegExpFree(re);
}

void BM_pcre2_bulk(benchmark::State& st, const Pattern* p, bool jit) {
    if (!have_text(st)) return;
    const std::string& t = text();
    pcre2_code* code = pcre2_for(p, jit);
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
    int64_t matches = 0;
    for (auto _ : st) matches = qelbench::pcre2_count_all(code, md, t);
    st.counters["matches"] = static_cast<double>(matches);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(t.size()));
    pcre2_match_data_free(md);
    pcre2_code_free(code);
}

void BM_re2_bulk(benchmark::State& st, const Pattern* p) {
    if (!have_text(st)) return;
    const std::string& t = text();
    RE2 re(re2_text(p), re2_options());
    if (!re.ok()) {
        st.SkipWithError("not supported");
        return;
    }
    int64_t matches = 0;
    for (auto _ : st) matches = qelbench::re2_count_all(re, t);
    st.counters["matches"] = static_cast<double>(matches);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(t.size()));
}

int register_all() {
    for (const Pattern& p : kLinePatterns) {
        const std::string n = std::string("code_line/") + p.name;
        benchmark::RegisterBenchmark((n + "/qelch").c_str(), BM_qelch_lines, &p)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((n + "/pcre2").c_str(), BM_pcre2_lines, &p, false)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((n + "/pcre2_jit").c_str(), BM_pcre2_lines, &p, true)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((n + "/re2").c_str(), BM_re2_lines, &p)->Unit(benchmark::kMillisecond);
    }
    for (const Pattern& p : kBulkPatterns) {
        const std::string n = std::string("code_bulk/") + p.name;
        benchmark::RegisterBenchmark((n + "/qelch").c_str(), BM_qelch_bulk, &p)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((n + "/pcre2").c_str(), BM_pcre2_bulk, &p, false)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((n + "/pcre2_jit").c_str(), BM_pcre2_bulk, &p, true)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((n + "/re2").c_str(), BM_re2_bulk, &p)->Unit(benchmark::kMillisecond);
    }
    return 0;
}
const int kRegistered = register_all();

}  // namespace

BENCHMARK_MAIN();
