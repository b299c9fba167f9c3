// Pattern-set search against a dedicated multi-pattern engine (Hyperscan's
// single-threaded block scan, when the benchmark was built with it), and one
// thread against two.
//
// Text: the file named by QELCH_BENCH_TEXT (or the first argument that is not
// a benchmark flag), repeated up to at least 4 MiB; without one, generated
// English-like text with a fixed seed.
//
// Sets:
// - words100: the 94 most frequent words of the text (two letters or more,
//   as plain literals) and 6 short regular expressions;
// - words10: the 8 most frequent words and 2 regular expressions;
// - mixed98: 69 whole words and 29 regular expressions of many kinds.
//
// Because the box is shared, besides wall time every run reports
// `busiest_ms`: the CPU time of the busiest thread per iteration (read from
// the kernel's per-thread run times). On an idle machine the wall time of a
// run is about that figure, so serial busiest / parallel busiest is the
// speed-up that the scheduling allows.
#include <benchmark/benchmark.h>
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "qelch.h"
#include "qelch.hpp"
#include "qelcore.h"
#if QELCH_BENCH_HAVE_HS
#include <hs/hs.h>
#endif

namespace {

const char* g_text_path = nullptr;

// ---- Text ----

std::string generated_text() {
    // Word list in rough frequency order; drawn with a Zipf-like law, so the
    // most frequent words of the result are the list's first ones.
    static const char* const kWords[] = {
        "the", "of", "and", "to", "a", "in", "that", "it", "was", "he", "I", "his", "is", "with", "had", "as",
        "you", "for", "her", "not", "at", "on", "be", "she", "him", "by", "but", "have", "which", "said", "all",
        "from", "they", "this", "my", "so", "were", "me", "one", "there", "no", "an", "or", "we", "what", "them",
        "would", "been", "if", "could", "when", "out", "up", "their", "more", "into", "will", "do", "then", "are",
        "very", "some", "man", "now", "little", "upon", "who", "any", "time", "your", "about", "like", "only",
        "know", "see", "over", "than", "before", "down", "other", "after", "should", "well", "must", "our", "such",
        "much", "again", "did", "never", "come", "made", "great", "good", "can", "old", "himself", "how", "way",
        "say", "here", "came", "went", "own", "through", "may", "first", "back", "long", "go", "think", "too",
        "eyes", "thought", "hand", "where", "even", "nothing", "away", "shall", "house", "still", "face", "night",
        "look", "while", "young", "those", "life", "door", "without", "yet", "something", "morning", "seemed",
        "once", "room", "looked", "found", "left", "under", "heard", "asked", "took", "told", "might", "another",
        "mind", "head", "every", "being", "place", "moment", "right", "last", "quite", "same", "father", "always",
        "thing", "things", "mother", "because", "friend", "toward", "whole", "began", "letter", "answered",
        "Holmes", "London", "Mr", "Mrs", "Watson", "Baker", "Street", "Sherlock", "walking", "reading", "talking",
        "thinking", "running", "1887", "1891", "221B", "evening", "believe", "perhaps", "certainly", "indeed",
        "nearly", "surely", "quickly", "silently", "slowly", "window", "carriage", "station", "inspector"};
    const size_t n = sizeof(kWords) / sizeof(kWords[0]);
    std::vector<double> cum(n);
    double total = 0;
    for (size_t i = 0; i < n; ++i) cum[i] = total += 1.0 / double(i + 3);
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> pick(0, total);
    std::string s;
    s.reserve(size_t(5) << 20);
    size_t line = 0;
    while (s.size() < (size_t(4) << 20) + 4096) {
        const int words = 6 + int(rng() % 14);
        for (int w = 0; w < words; ++w) {
            std::string word = kWords[std::lower_bound(cum.begin(), cum.end(), pick(rng)) - cum.begin()];
            if (w == 0 && word[0] >= 'a' && word[0] <= 'z') word[0] = char(word[0] - 32);
            s += word;
            s += w + 1 == words ? (rng() % 4 == 0 ? "?" : ".") : (rng() % 9 == 0 ? ", " : " ");
            line += word.size() + 1;
            if (line > 70) {
                s += '\n';
                line = 0;
            } else {
                s += ' ';
            }
        }
    }
    return s;
}

const std::string& text() {
    static const std::string t = [] {
        const char* path = g_text_path ? g_text_path : std::getenv("QELCH_BENCH_TEXT");
        std::string s;
        if (path && *path) {
            std::ifstream in(path, std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            const std::string file = ss.str();
            if (!file.empty())
                while (s.size() < (size_t(4) << 20)) s += file;
            if (s.empty()) std::fprintf(stderr, "multi_bench: cannot read %s, using generated text\n", path);
        }
        if (s.empty()) s = generated_text();
        std::fprintf(stderr, "multi_bench: text of %zu bytes (%s)\n", s.size(), path && *path ? path : "generated");
        return s;
    }();
    return t;
}

// ---- Pattern sets ----

struct Pattern {
    std::string text;
    int32_t fixed_len;  // > 0: every match has this length (counts comparable with the peer's)
};

std::vector<std::string> frequent_words(size_t count) {
    std::unordered_map<std::string, size_t> freq;
    const std::string& t = text();
    for (size_t i = 0; i < t.size();) {
        while (i < t.size() && !std::isalpha(static_cast<unsigned char>(t[i]))) ++i;
        size_t j = i;
        while (j < t.size() && std::isalpha(static_cast<unsigned char>(t[j]))) ++j;
        if (j - i >= 2) ++freq[t.substr(i, j - i)];
        i = j;
    }
    std::vector<std::pair<size_t, std::string>> v;
    for (auto& [w, c] : freq) v.emplace_back(c, w);
    std::sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    std::vector<std::string> out;
    for (size_t i = 0; i < v.size() && out.size() < count; ++i) out.push_back(v[i].second);
    return out;
}

std::vector<Pattern> words_set(size_t words, const std::vector<Pattern>& regexes) {
    std::vector<Pattern> p;
    for (const auto& w : frequent_words(words)) p.push_back({w, int32_t(w.size())});
    for (const auto& r : regexes) p.push_back(r);
    return p;
}

std::vector<Pattern> words100() {
    return words_set(94, {{"[A-Z][a-z]+ing", 0}, {"\\d+", 0}, {"(?:ma|me)n", 3}, {"th[a-z]*", 0},
                          {"qu[a-z]+ly", 0}, {"[a-z]+ed\\b", 0}});
}
std::vector<Pattern> words10() { return words_set(8, {{"[A-Z][a-z]+ing", 0}, {"(?:ma|me)n", 3}}); }

std::vector<Pattern> mixed98() {
    static const char* const kWordsMixed[] = {
        "the", "and", "was", "he", "with", "for", "had", "not", "her", "at", "which", "or", "this", "but",
        "she", "were", "are", "one", "so", "said", "we", "would", "will", "when", "if", "out", "into", "any",
        "what", "man", "other", "our", "very", "upon", "may", "only", "like", "then", "should", "did", "such",
        "before", "two", "see", "over", "down", "first", "men", "never", "old", "day", "those", "come", "way",
        "life", "go", "well", "being", "say", "how", "too", "def", "morning", "walking", "1984", "192.168.1.10",
        "https://example.net/path", "himself", "through"};
    std::vector<Pattern> p;
    for (const char* w : kWordsMixed) p.push_back({std::string("\\b") + w + "\\b", 0});
    const char* regexes[] = {"[A-Z][a-z]+", "\\d+", "[a-z]+ing\\b", "\\w+@\\w+\\.org", "https?://[^ ]+",
                             "(\\w)\\1", "\\d+\\.\\d+\\.\\d+\\.\\d+", "th[a-z]*", "[aeiou]{2}", "\\bw[a-z]+",
                             "(?i)THE", "o+", "e\\w*e", "\\.\\n", "[^ ]+ly\\b", "\\b[a-z]{7,}\\b", "s\\b",
                             "\\bu[a-z]+", "(?:ma|me)n", "[0-9]{4}", "ould", "ight", "\\b(?:he|she|it)\\b",
                             "was|were", "\\b[A-Z]\\w*", "ve\\b", "\\bo\\w", "at", "in\\w"};
    for (const char* r : regexes) p.push_back({r, 0});
    std::mt19937 rng(7);
    std::shuffle(p.begin(), p.end(), rng);
    return p;
}

// ---- Per-thread CPU time (Linux) ----

std::map<int, uint64_t> thread_run_ns() {
    std::map<int, uint64_t> out;
    DIR* d = opendir("/proc/self/task");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/schedstat");
        uint64_t ns = 0;
        if (f >> ns) out[std::atoi(e->d_name)] = ns;
    }
    closedir(d);
    return out;
}

double busiest_ms(const std::map<int, uint64_t>& before, const std::map<int, uint64_t>& after) {
    uint64_t best = 0;
    for (const auto& [tid, ns] : after) {
        auto it = before.find(tid);
        uint64_t d = ns - (it == before.end() ? 0 : it->second);
        best = std::max(best, d);
    }
    return double(best) / 1e6;
}

// ---- Our set ----

struct QelSet {
    std::vector<Pattern> pats;
    std::vector<std::vector<uint64_t>> states;
    QelRegExpMultiState* set = nullptr;
    std::vector<std::unique_ptr<QelRegExpFind[]>> found;  // not zero-filled: pages never written stay unmapped
    std::vector<int32_t> room;
    std::vector<QelRegExpMultiFind> recs;
    explicit QelSet(std::vector<Pattern> ps) : pats(std::move(ps)) {
        qelsRegExpMultiInitAlloc(&set, Qel32u(pats.size()));
        states.resize(pats.size());
        for (size_t i = 0; i < pats.size(); ++i) {
            int32_t size = 0, off = 0;
            qelsRegExpGetSize(pats[i].text.c_str(), &size);
            states[i].resize(size_t(size) / 8 + 1);
            auto* st = reinterpret_cast<QelRegExpState*>(states[i].data());
            if (qelsRegExpInit(pats[i].text.c_str(), "g", st, &off) != qelOk)
                std::fprintf(stderr, "multi_bench: cannot compile %s\n", pats[i].text.c_str());
            qelsRegExpMultiAdd(st, int32_t(i + 1), set);
        }
        // Room for a match at every byte; only the records written cost memory.
        for (size_t i = 0; i < pats.size(); ++i) {
            room.push_back(int32_t(text().size() + 1));
            found.emplace_back(new QelRegExpFind[text().size() + 1]);
        }
        recs.resize(pats.size());
    }
    ~QelSet() { qelsRegExpMultiFree(set); }
    int64_t run() {
        const std::string& t = text();
        for (size_t i = 0; i < recs.size(); ++i) recs[i] = {0, 0, room[i], 0, found[i].get()};
        qelsRegExpMultiFind_8u(reinterpret_cast<const Qel8u*>(t.data()), int32_t(t.size()), recs.data(), set);
        int64_t total = 0;
        for (const auto& r : recs) total += r.count;
        return total;
    }
};

void run_qel(benchmark::State& st, QelSet& s, int threads) {
    qelcoreCtlSetNumThreads(threads);
    int64_t records = 0;
    auto before = thread_run_ns();
    for (auto _ : st) records = s.run();
    auto after = thread_run_ns();
    qelcoreCtlSetNumThreads(0);
    st.counters["records"] = double(records);
    st.counters["busiest_ms"] = busiest_ms(before, after) / double(st.iterations());
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(text().size()));
}

QelSet& mixed_set() {
    static QelSet s(mixed98());
    return s;
}
QelSet& set100() {
    static QelSet s(words100());
    return s;
}
QelSet& set10() {
    static QelSet s(words10());
    return s;
}

void BM_mixed98(benchmark::State& st, int threads) { run_qel(st, mixed_set(), threads); }
void BM_words100_qelch(benchmark::State& st, int threads) { run_qel(st, set100(), threads); }
void BM_words10_qelch(benchmark::State& st, int threads) { run_qel(st, set10(), threads); }

BENCHMARK_CAPTURE(BM_mixed98, 1_thread, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_mixed98, 2_threads, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_words100_qelch, 1_thread, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_words100_qelch, 2_threads, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_words10_qelch, 1_thread, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_words10_qelch, 2_threads, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- The C++ wrapper counting 20 keywords (compare with `qelch sets` on
// the same text and keyword list, see bench/README.md) ----

const char* const kKeywords[] = {"the", "and", "of", "to", "that", "was", "his", "with", "for", "had",
                                 "you", "not", "her", "which", "have", "from", "this", "but", "they", "were"};

void BM_wrapper_count20(benchmark::State& st) {
    std::vector<qel::regex> res;
    for (const char* k : kKeywords) res.emplace_back(k);
    qel::pattern_set set(20);
    for (size_t i = 0; i < res.size(); ++i) set.add(res[i], int32_t(i + 1));
    int64_t total = 0;
    for (auto _ : st) {
        auto r = set.count(text());
        total = 0;
        for (const auto& t : r.value) total += t.count;
    }
    st.counters["matches"] = double(total);
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(text().size()));
}
BENCHMARK(BM_wrapper_count20)->Unit(benchmark::kMillisecond)->UseRealTime();

#if QELCH_BENCH_HAVE_HS
// ---- The peer: one compiled database, one block scan per iteration ----

struct HsSet {
    std::vector<Pattern> pats;
    hs_database_t* db = nullptr;
    hs_scratch_t* scratch = nullptr;
    std::vector<int64_t> count;     // leftmost non-overlapping matches, fixed-length patterns
    std::vector<uint64_t> lastEnd;
    std::vector<int64_t> reports;   // every report
    explicit HsSet(std::vector<Pattern> ps) : pats(std::move(ps)) {
        std::vector<const char*> exprs;
        std::vector<unsigned> flags, ids;
        for (size_t i = 0; i < pats.size(); ++i) {
            exprs.push_back(pats[i].text.c_str());
            flags.push_back(0);
            ids.push_back(unsigned(i));
        }
        hs_compile_error_t* err = nullptr;
        if (hs_compile_multi(exprs.data(), flags.data(), ids.data(), unsigned(exprs.size()), HS_MODE_BLOCK, nullptr,
                             &db, &err) != HS_SUCCESS) {
            std::fprintf(stderr, "multi_bench: peer cannot compile: %s\n", err ? err->message : "?");
            hs_free_compile_error(err);
            db = nullptr;
            return;
        }
        hs_alloc_scratch(db, &scratch);
    }
    ~HsSet() {
        hs_free_scratch(scratch);
        hs_free_database(db);
    }
    static int on_match(unsigned id, unsigned long long, unsigned long long to, unsigned, void* ctx) {
        auto* s = static_cast<HsSet*>(ctx);
        ++s->reports[id];
        const int32_t len = s->pats[id].fixed_len;
        if (len > 0 && to >= s->lastEnd[id] + uint64_t(len)) {
            ++s->count[id];
            s->lastEnd[id] = to;
        }
        return 0;
    }
    int64_t run() {
        if (!db) return -1;
        count.assign(pats.size(), 0);
        lastEnd.assign(pats.size(), 0);
        reports.assign(pats.size(), 0);
        const std::string& t = text();
        hs_scan(db, t.data(), unsigned(t.size()), 0, scratch, on_match, this);
        int64_t total = 0;
        for (int64_t r : reports) total += r;
        return total;
    }
};

// Counts of the fixed-length patterns must agree with ours.
int64_t count_mismatches(HsSet& peer, QelSet& ours) {
    ours.run();
    peer.run();
    int64_t bad = 0;
    for (size_t i = 0; i < peer.pats.size(); ++i) {
        if (peer.pats[i].fixed_len <= 0) continue;
        if (peer.count[i] != ours.recs[i].count) {
            ++bad;
            std::fprintf(stderr, "multi_bench: count differs for %s: peer %lld, qelch %d\n", peer.pats[i].text.c_str(),
                         static_cast<long long>(peer.count[i]), ours.recs[i].count);
        }
    }
    return bad;
}

void run_hs(benchmark::State& st, std::vector<Pattern> (*make)(), QelSet& ours) {
    HsSet peer(make());
    if (!peer.db) {
        st.SkipWithError("peer database not compiled");
        return;
    }
    const int64_t bad = count_mismatches(peer, ours);
    int64_t reports = 0;
    auto before = thread_run_ns();
    for (auto _ : st) reports = peer.run();
    auto after = thread_run_ns();
    st.counters["reports"] = double(reports);
    st.counters["count_mismatches"] = double(bad);
    st.counters["busiest_ms"] = busiest_ms(before, after) / double(st.iterations());
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(text().size()));
}

// Peer and ours alternating within each iteration, so that both see the
// same load on the shared machine: `ratio` = peer CPU time / our busiest
// thread's CPU time.
void run_pair(benchmark::State& st, std::vector<Pattern> (*make)(), QelSet& ours, int threads) {
    HsSet peer(make());
    if (!peer.db) {
        st.SkipWithError("peer database not compiled");
        return;
    }
    double peerMs = 0, oursMs = 0;
    qelcoreCtlSetNumThreads(threads);
    for (auto _ : st) {
        auto a = thread_run_ns();
        peer.run();
        auto b = thread_run_ns();
        ours.run();
        auto c = thread_run_ns();
        peerMs += busiest_ms(a, b);
        oursMs += busiest_ms(b, c);
    }
    qelcoreCtlSetNumThreads(0);
    st.counters["peer_ms"] = peerMs / double(st.iterations());
    st.counters["qelch_ms"] = oursMs / double(st.iterations());
    st.counters["ratio"] = oursMs > 0 ? peerMs / oursMs : 0;
}
void BM_words100_pair(benchmark::State& st, int threads) { run_pair(st, words100, set100(), threads); }
void BM_words10_pair(benchmark::State& st, int threads) { run_pair(st, words10, set10(), threads); }
BENCHMARK_CAPTURE(BM_words100_pair, 1_thread, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_words100_pair, 2_threads, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_words10_pair, 1_thread, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_words10_pair, 2_threads, 2)->Unit(benchmark::kMillisecond);

void BM_words100_hyperscan(benchmark::State& st) { run_hs(st, words100, set100()); }
void BM_words10_hyperscan(benchmark::State& st) { run_hs(st, words10, set10()); }
BENCHMARK(BM_words100_hyperscan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_words10_hyperscan)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) g_text_path = argv[1];
    text();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
