// Counting every match of a pattern over a few MB of English-like text:
// qelch against PCRE2's interpreter, PCRE2's JIT and RE2, in one run. The
// text is generated from a fixed seed, so every run sees the same bytes.
// Each benchmark reports the match count as a counter, so the engines can be
// checked against each other in the output.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "qelch.h"
#include "regex_peers.h"

namespace {

const std::string& text() {
    static const std::string t = [] {
        static const char* const kWords[] = {
            "the", "of", "and", "to", "a", "in", "that", "is", "was", "he", "for", "it", "with", "as", "his", "on",
            "be", "at", "by", "I", "had", "this", "not", "but", "from", "or", "have", "an", "they", "which", "one",
            "you", "were", "her", "all", "she", "there", "would", "their", "we", "him", "been", "has", "when", "who",
            "will", "more", "no", "if", "out", "so", "said", "what", "up", "its", "about", "into", "than", "them",
            "can", "only", "other", "new", "some", "could", "time", "these", "two", "may", "then", "do", "first",
            "any", "my", "now", "such", "like", "our", "over", "man", "me", "even", "most", "made", "after", "also",
            "did", "many", "before", "must", "through", "back", "years", "where", "much", "your", "way", "well",
            "down", "should", "because", "each", "just", "those", "people", "Mr", "how", "too", "little", "state",
            "good", "very", "make", "world", "still", "own", "see", "men", "work", "long", "get", "here", "between",
            "both", "life", "being", "under", "never", "day", "same", "another", "know", "while", "last", "might",
            "us", "great", "old", "year", "off", "come", "since", "against", "go", "came", "right", "used", "take",
            "three", "Sherlock", "Holmes", "Watson", "Irene", "Adler", "London", "Baker", "street", "morning",
            "evening", "nothing", "something", "thing", "being", "going", "looking", "thinking", "nothing",
            "running", "sitting", "standing", "walking", "letter", "door", "window", "room", "house", "night",
            "Time", "TIME", "reading", "writing", "sleeping", "bring", "king", "ring", "wing", "spring", "string",
            "coffee", "book", "deep", "seen", "too", "all", "will", "well", "small", "little", "better", "attention",
        };
        constexpr size_t kCount = sizeof(kWords) / sizeof(kWords[0]);
        std::mt19937 rng(1887);
        // Zipf-like: low indices much more often.
        std::vector<double> weights(kCount);
        for (size_t i = 0; i < kCount; ++i) weights[i] = 1.0 / (1.0 + static_cast<double>(i) * 0.25);
        std::discrete_distribution<size_t> word(weights.begin(), weights.end());
        std::string s;
        s.reserve(4 << 20);
        size_t sentence = 0;
        while (s.size() < (4u << 20)) {
            uint32_t r = rng() % 1000;
            if (r == 0) {
                s += "mail " + std::string(kWords[rng() % kCount]) + "." + kWords[rng() % kCount] + "@example.org ";
            } else if (r == 1) {
                s += "see https://www.example.com/" + std::string(kWords[rng() % kCount]) + "/index.html ";
            } else if (r == 2) {
                s += "host " + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + "." +
                     std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + " ";
            } else if (r < 8) {
                s += std::to_string(rng() % 2000) + " ";
            } else {
                std::string w = kWords[word(rng)];
                if (sentence == 0 && w[0] >= 'a' && w[0] <= 'z') w[0] = static_cast<char>(w[0] - 32);
                s += w;
                ++sentence;
                if (sentence > 6 && rng() % 8 == 0) {
                    s += rng() % 3 ? ". " : ",\n";
                    sentence = 0;
                } else {
                    s += ' ';
                }
            }
        }
        return s;
    }();
    return t;
}

struct Pattern {
    const char* name;
    const char* regex;  // the same text for every engine
    bool caseless;
};

const Pattern kPatterns[] = {
    {"word", "the", false},
    {"word_i", "time", true},
    {"alt5", "Sherlock|Holmes|Watson|Irene|Adler", false},
    {"ing", "[a-zA-Z]+ing", false},
    {"ing_ws", "\\s[a-zA-Z]{0,12}ing\\s", false},
    {"email", "[\\w.+-]+@[\\w-]+\\.[\\w.-]+", false},
    {"uri", "[a-zA-Z][a-zA-Z0-9]*://[^\\s/]+[^\\s]*", false},
    {"ipv4", "\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}", false},
    {"double", "(\\w)\\1", false},
};

void BM_qelch(benchmark::State& st, const Pattern* p) {
    const std::string& t = text();
    QelRegExpState* re = nullptr;
    int32_t err = 0;
    if (qelsRegExpInitAlloc(p->regex, p->caseless ? "gi" : "g", &re, &err) != qelOk) {
        st.SkipWithError("compile failed");
        return;
    }
    std::vector<QelRegExpFind> results(1 << 20);
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

void BM_pcre2(benchmark::State& st, const Pattern* p, bool jit) {
    const std::string& t = text();
    pcre2_code* code = qelbench::pcre2_compile_for(p->regex, p->caseless ? PCRE2_CASELESS : 0, jit);
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
    int64_t matches = 0;
    for (auto _ : st) matches = qelbench::pcre2_count_all(code, md, t);
    st.counters["matches"] = static_cast<double>(matches);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(t.size()));
    pcre2_match_data_free(md);
    pcre2_code_free(code);
}

void BM_re2(benchmark::State& st, const Pattern* p) {
    const std::string& t = text();
    RE2::Options o = qelbench::re2_byte_options();
    o.set_case_sensitive(!p->caseless);
    // RE2 has no back-references: that row is left empty for it.
    RE2 re(p->regex, o);
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
    for (const Pattern& p : kPatterns) {
        std::string n = p.name;
        benchmark::RegisterBenchmark(("regex/" + n + "/qelch").c_str(), BM_qelch, &p)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("regex/" + n + "/pcre2").c_str(), BM_pcre2, &p, false)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("regex/" + n + "/pcre2_jit").c_str(), BM_pcre2, &p, true)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("regex/" + n + "/re2").c_str(), BM_re2, &p)->Unit(benchmark::kMillisecond);
    }
    return 0;
}
const int kRegistered = register_all();

}  // namespace

BENCHMARK_MAIN();
