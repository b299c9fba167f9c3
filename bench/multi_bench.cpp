// Pattern-set search: 100 patterns over a few MB of English-like text,
// searched serially (a thread count at least the set size) and in parallel
// (the machine's two threads). The ratio serial/parallel is the speed-up.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "qelch.h"
#include "qelcore.h"

namespace {

const char* const kWords[] = {
    "the", "of", "and", "to", "in", "that", "was", "his", "he", "it", "with", "is", "for", "as", "had", "you",
    "not", "be", "her", "on", "at", "by", "which", "have", "or", "from", "this", "him", "but", "all", "she",
    "they", "were", "my", "are", "me", "one", "their", "so", "an", "said", "them", "we", "who", "would", "been",
    "will", "no", "when", "there", "if", "more", "out", "up", "into", "do", "any", "your", "what", "has", "man",
    "could", "other", "than", "our", "some", "very", "time", "upon", "about", "may", "its", "only", "now", "like",
    "little", "then", "can", "should", "made", "did", "us", "such", "great", "before", "must", "two", "these",
    "see", "know", "over", "much", "down", "after", "first", "good", "men", "own", "never", "most", "old", "shall",
    "day", "where", "those", "came", "come", "himself", "way", "work", "life", "without", "go", "make", "well",
    "through", "being", "long", "say", "might", "how", "am", "too", "even", "def", "under", "morning", "running",
    "walking", "thinking", "1984", "2025", "192.168.1.10", "alice@example.org", "https://example.net/path"};

const std::string& text() {
    static const std::string t = [] {
        std::mt19937 rng(12345);
        const size_t n = sizeof(kWords) / sizeof(kWords[0]);
        std::string s;
        s.reserve(4 << 20);
        while (s.size() < (4u << 20)) {
            for (int w = 0; w < 12; ++w) {
                std::string word = kWords[rng() % n];
                if (w == 0) word[0] = char(word[0] >= 'a' && word[0] <= 'z' ? word[0] - 32 : word[0]);
                s += word;
                s += w == 11 ? ".\n" : " ";
            }
        }
        return s;
    }();
    return t;
}

std::vector<std::string> patterns() {
    std::vector<std::string> p;
    const size_t n = sizeof(kWords) / sizeof(kWords[0]);
    for (size_t i = 0; p.size() < 70 && i < n; i += 2) p.push_back(std::string("\\b") + kWords[i] + "\\b");
    const char* regexes[] = {"[A-Z][a-z]+", "\\d+", "[a-z]+ing\\b", "\\w+@\\w+\\.org", "https?://[^ ]+",
                             "(\\w)\\1", "\\d+\\.\\d+\\.\\d+\\.\\d+", "th[a-z]*", "[aeiou]{2}", "\\bw[a-z]+",
                             "(?i)THE", "o+", "e\\w*e", "\\.\\n", "[^ ]+ly\\b", "\\b[a-z]{7,}\\b", "s\\b",
                             "\\bu[a-z]+", "(?:ma|me)n", "[0-9]{4}", "ould", "ight", "\\b(?:he|she|it)\\b",
                             "was|were", "\\b[A-Z]\\w*", "ve\\b", "\\bo\\w", "at", "in\\w", "ou"};
    for (const char* r : regexes) {
        if (p.size() >= 100) break;
        p.push_back(r);
    }
    // The set is split into contiguous shares by slot; a fixed shuffle keeps
    // the cheap literal patterns and the costly classes spread over both.
    std::mt19937 rng(7);
    std::shuffle(p.begin(), p.end(), rng);
    return p;
}

struct Set {
    std::vector<std::vector<uint64_t>> states;
    QelRegExpMultiState* set = nullptr;
    std::vector<std::vector<QelRegExpFind>> found;
    std::vector<QelRegExpMultiFind> recs;
    Set() {
        auto ps = patterns();
        qelsRegExpMultiInitAlloc(&set, Qel32u(ps.size()));
        states.resize(ps.size());
        for (size_t i = 0; i < ps.size(); ++i) {
            int32_t size = 0, off = 0;
            qelsRegExpGetSize(ps[i].c_str(), &size);
            states[i].resize(size_t(size) / 8 + 1);
            auto* st = reinterpret_cast<QelRegExpState*>(states[i].data());
            qelsRegExpInit(ps[i].c_str(), "g", st, &off);
            qelsRegExpMultiAdd(st, int32_t(i + 1), set);
        }
        found.assign(ps.size(), std::vector<QelRegExpFind>(1 << 20));
        recs.resize(ps.size());
    }
    ~Set() { qelsRegExpMultiFree(set); }
    int64_t run() {
        const std::string& t = text();
        for (size_t i = 0; i < recs.size(); ++i) recs[i] = {0, 0, int32_t(found[i].size()), 0, found[i].data()};
        qelsRegExpMultiFind_8u(reinterpret_cast<const Qel8u*>(t.data()), int32_t(t.size()), recs.data(), set);
        int64_t total = 0;
        for (const auto& r : recs) total += r.count;
        return total;
    }
};

void BM_set(benchmark::State& st, int threads) {
    static Set s;
    qelcoreCtlSetNumThreads(threads);
    int64_t records = 0;
    for (auto _ : st) records = s.run();
    qelcoreCtlSetNumThreads(0);
    st.counters["records"] = double(records);
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(text().size()) * 100);
}

BENCHMARK_CAPTURE(BM_set, serial, 1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_set, parallel_2_threads, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
