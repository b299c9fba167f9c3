// Code-unit and substring search against what callers would use instead:
// memchr / memrchr, memmem, std::string_view::find / rfind and
// std::u16string_view::find. Each search runs over a window of the given size
// whose only occurrence is at its far end (the start, for reverse searches),
// so every implementation scans the whole window. Data: uniform random bytes,
// and English text: the file named by the environment variable
// QELCH_BENCH_TEXT (repeated to fill the buffer), or, without it, text built
// from a fixed word list with a fixed seed. Occurrences of a needle in the
// text are broken up before the one at the far end is planted.
//
// Adversarial rows (Adversarial/...) pair inputs that make a verify-every-
// candidate search quadratic with memmem: long runs of one letter with the
// needle's only other letter in its middle, periodic needles in periodic
// text, and a periodic needle that passes any two-unit filter at every period.
//
// Every window is copied to a fixed offset from a 4096-byte boundary, so
// ours and the peer read exactly the same alignments whatever the allocator
// returns (two separately allocated vectors can differ by 16 bytes, which
// alone moves a 4 KB row by several percent). The single-unit rows take the
// offset as their second argument (0, 1, 16, 40: aligned, odd, half a
// vector, and a quarter vector past a cache line); the others use offset 0.
//
// After the runs a summary prints, per case, peer time / our time: above 1
// means we are faster.
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "qelch.h"

namespace {

// 1, 8, 16 and 31 bytes: each class of the under-32-byte path (fields, tokens).
const std::vector<int64_t> kSizes = {1, 8, 16, 31, 64, 256, 1024, 4096, 65536, 1 << 20, 8 << 20};
// 512 B to 2 KB: where the filter bytes stop coming from a scalar rank of the
// needle's first bytes (under 512 candidates) and a vector ranking takes over.
const std::vector<int64_t> kSubSizes = {256, 512, 1024, 2048, 4096, 65536, 1 << 20};
const std::vector<int64_t> kOffsets = {0, 1, 16, 40};
constexpr size_t kPage = 4096;
constexpr size_t kMaxSize = 8 << 20;

// ---- Data. ----
std::vector<uint8_t> random_bytes() {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> d(0, 255);
    std::vector<uint8_t> v(kMaxSize);
    for (auto& b : v) b = static_cast<uint8_t>(d(rng));
    return v;
}

// The file named by QELCH_BENCH_TEXT, repeated to kMaxSize; empty without one.
std::vector<uint8_t> text_from_file() {
    const char* path = std::getenv("QELCH_BENCH_TEXT");
    if (!path || !*path) return {};
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> once((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (once.empty()) return {};
    std::vector<uint8_t> t;
    t.reserve(kMaxSize);
    while (t.size() < kMaxSize) t.insert(t.end(), once.begin(), once.begin() + static_cast<long>(std::min(once.size(), kMaxSize - t.size())));
    std::fprintf(stderr, "text: %zu bytes from QELCH_BENCH_TEXT, repeated\n", once.size());
    return t;
}

// Words drawn with Zipf-like weights, sentences of 4 to 16 words, line breaks
// near 72 columns.
std::vector<uint8_t> english_text() {
    if (auto t = text_from_file(); !t.empty()) return t;
    static const char* const kWords[] = {
        "the", "of", "and", "to", "a", "in", "is", "it", "you", "that", "he", "was", "for", "on", "are", "with",
        "as", "his", "they", "be", "at", "one", "have", "this", "from", "or", "had", "by", "hot", "word", "but",
        "what", "some", "we", "can", "out", "other", "were", "all", "there", "when", "up", "use", "your", "how",
        "said", "an", "each", "she", "which", "do", "their", "time", "if", "will", "way", "about", "many", "then",
        "them", "write", "would", "like", "so", "these", "her", "long", "make", "thing", "see", "him", "two",
        "has", "look", "more", "day", "could", "go", "come", "did", "number", "sound", "no", "most", "people",
        "my", "over", "know", "water", "than", "call", "first", "who", "may", "down", "side", "been", "now",
        "find", "any", "new", "work", "part", "take", "get", "place", "made", "live", "where", "after", "back",
        "little", "only", "round", "man", "year", "came", "show", "every", "good", "me", "give", "our", "under",
        "name", "very", "through", "just", "form", "sentence", "great", "think", "say", "help", "low", "line"};
    constexpr size_t kCount = sizeof kWords / sizeof kWords[0];
    std::vector<double> w(kCount);
    for (size_t i = 0; i < kCount; ++i) w[i] = 1.0 / static_cast<double>(i + 1);
    std::mt19937 rng(11);
    std::discrete_distribution<size_t> pick(w.begin(), w.end());
    std::uniform_int_distribution<int> sentence(4, 16);
    std::string t;
    t.reserve(kMaxSize + 64);
    size_t column = 0;
    while (t.size() < kMaxSize) {
        int words = sentence(rng);
        for (int k = 0; k < words; ++k) {
            std::string word = kWords[pick(rng)];
            if (k == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
            if (k == words - 1) word += (rng() % 4 == 0) ? "," : ".";
            if (column + word.size() > 72) {
                t += '\n';
                column = 0;
            } else if (column) {
                t += ' ';
                ++column;
            }
            t += word;
            column += word.size();
        }
    }
    t.resize(kMaxSize);
    return {t.begin(), t.end()};
}

const std::vector<uint8_t>& data(bool text) {
    static const std::vector<uint8_t> r = random_bytes();
    static const std::vector<uint8_t> e = english_text();
    return text ? e : r;
}

// Needles of 2 to 64 bytes made of frequent letters, most beginning or
// ending with a space or a common letter: the cases where a filter on the
// first and last byte lets most positions through.
const char* const kNeedles[] = {
    "e ",
    " th",
    " the",
    "e the ",
    " and the",
    "tion of the",
    " CPU feature is ",
    " in the event that the ",
    " terms and conditions of the use",
    " the rest of the text is not part of the",
    " of this license and the license of the work that is not the sam",
};

// A window of `n` units of the data with `needle` placed at its end (or
// start), and no other occurrence: each one in the data is broken up by
// changing its middle byte.
template <class T>
std::vector<T> window(bool text, size_t n, std::string_view needle, bool at_start) {
    const auto& d = data(text);
    std::string w8(d.begin(), d.begin() + static_cast<long>(n));
    for (size_t at = w8.find(needle); at != std::string::npos; at = w8.find(needle, at > needle.size() ? at - needle.size() : 0))
        w8[at + needle.size() / 2] = static_cast<char>(w8[at + needle.size() / 2] ^ 0x20);
    std::vector<T> w(w8.begin(), w8.end());
    for (auto& u : w) u = static_cast<T>(static_cast<uint8_t>(u));
    size_t at = at_start ? 0 : n - needle.size();
    for (size_t k = 0; k < needle.size(); ++k) w[at + k] = static_cast<T>(static_cast<uint8_t>(needle[k]));
    return w;
}

// A byte that random data holds about as often as any other, and that the
// text never holds: the window's only hit is the one placed.
template <class T>
std::vector<T> unit_window(bool text, size_t n, uint8_t c, bool at_start) {
    const auto& d = data(text);
    std::vector<T> w(n);
    for (size_t i = 0; i < n; ++i) w[i] = d[i] == c ? static_cast<T>(c ^ 1) : d[i];
    w[at_start ? 0 : n - 1] = c;
    return w;
}

constexpr uint8_t kUnit = '#';

// A copy of `v` starting `offset` bytes past a 4096-byte boundary.
template <class T>
class Placed {
public:
    Placed(const std::vector<T>& v, size_t offset) : raw_(v.size() * sizeof(T) + offset + kPage) {
        const uintptr_t page = (reinterpret_cast<uintptr_t>(raw_.data()) + kPage - 1) & ~uintptr_t{kPage - 1};
        p_ = reinterpret_cast<T*>(page + offset);
        if (!v.empty()) std::memcpy(static_cast<void*>(p_), v.data(), v.size() * sizeof(T));
    }
    T* data() const { return p_; }

private:
    std::vector<uint8_t> raw_;
    T* p_;
};

void set_bytes(benchmark::State& st, size_t bytes) {
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(bytes));
}

// ---- One code unit. ----
enum class Unit { FindC8, FindRevC8, Memchr, Memrchr, FindC16, FindRevC16, U16Find, U16RFind };

void bm_unit(benchmark::State& st, Unit u, bool text) {
    const size_t n = static_cast<size_t>(st.range(0));
    const bool rev = u == Unit::FindRevC8 || u == Unit::Memrchr || u == Unit::FindRevC16 || u == Unit::U16RFind;
    const bool wide = u >= Unit::FindC16;
    // 16-bit peers need 2-byte alignment: their offset is rounded down to even.
    const size_t offset = static_cast<size_t>(st.range(1)) & (wide ? ~size_t{1} : ~size_t{0});
    Placed<uint8_t> w8(wide ? std::vector<uint8_t>{} : unit_window<uint8_t>(text, n, kUnit, rev), offset);
    Placed<char16_t> w16(wide ? unit_window<char16_t>(text, n, kUnit, rev) : std::vector<char16_t>{}, offset);
    const int32_t len = static_cast<int32_t>(n);
    auto run = [&] {
        int32_t idx = 0;
        switch (u) {
        case Unit::FindC8: qelsFindC_8u(w8.data(), len, kUnit, &idx); break;
        case Unit::FindRevC8: qelsFindRevC_8u(w8.data(), len, kUnit, &idx); break;
        case Unit::Memchr: idx = static_cast<int32_t>(static_cast<const uint8_t*>(memchr(w8.data(), kUnit, n)) - w8.data()); break;
        case Unit::Memrchr: idx = static_cast<int32_t>(static_cast<const uint8_t*>(memrchr(w8.data(), kUnit, n)) - w8.data()); break;
        case Unit::FindC16: qelsFindC_16u(reinterpret_cast<const Qel16u*>(w16.data()), len, kUnit, &idx); break;
        case Unit::FindRevC16: qelsFindRevC_16u(reinterpret_cast<const Qel16u*>(w16.data()), len, kUnit, &idx); break;
        case Unit::U16Find: idx = static_cast<int32_t>(std::u16string_view(w16.data(), n).find(char16_t{kUnit})); break;
        case Unit::U16RFind: idx = static_cast<int32_t>(std::u16string_view(w16.data(), n).rfind(char16_t{kUnit})); break;
        }
        return idx;
    };
    if (run() != (rev ? 0 : len - 1)) st.SkipWithError("wrong index");
    for (auto _ : st) benchmark::DoNotOptimize(run());
    set_bytes(st, n * (wide ? 2 : 1));
}

// ---- Substrings. ----
enum class Sub { Find8, FindRev8, Memmem, SvFind, SvRFind, Find16, FindRev16, U16Find, U16RFind };

void bm_sub(benchmark::State& st, Sub u, bool text, size_t needle_index) {
    const size_t n = static_cast<size_t>(st.range(0));
    const std::string_view needle = kNeedles[needle_index];
    if (needle.size() > n) {
        st.SkipWithError("needle longer than window");
        for (auto _ : st) {
        }
        return;
    }
    const bool rev = u == Sub::FindRev8 || u == Sub::SvRFind || u == Sub::FindRev16 || u == Sub::U16RFind;
    const bool wide = u >= Sub::Find16;
    Placed<uint8_t> w8(wide ? std::vector<uint8_t>{} : window<uint8_t>(text, n, needle, rev), 0);
    Placed<char16_t> w16(wide ? window<char16_t>(text, n, needle, rev) : std::vector<char16_t>{}, 0);
    std::u16string needle16(needle.begin(), needle.end());
    const auto* sub8 = reinterpret_cast<const Qel8u*>(needle.data());
    const int32_t len = static_cast<int32_t>(n), m = static_cast<int32_t>(needle.size());
    const std::string_view sv(reinterpret_cast<const char*>(w8.data()), n);
    const std::u16string_view sv16(w16.data(), n);
    auto run = [&] {
        int32_t idx = 0;
        switch (u) {
        case Sub::Find8: qelsFind_8u(w8.data(), len, sub8, m, &idx); break;
        case Sub::FindRev8: qelsFindRev_8u(w8.data(), len, sub8, m, &idx); break;
        case Sub::Memmem: idx = static_cast<int32_t>(static_cast<const uint8_t*>(memmem(w8.data(), n, sub8, needle.size())) - w8.data()); break;
        case Sub::SvFind: idx = static_cast<int32_t>(sv.find(needle)); break;
        case Sub::SvRFind: idx = static_cast<int32_t>(sv.rfind(needle)); break;
        case Sub::Find16: qelsFind_16u(reinterpret_cast<const Qel16u*>(w16.data()), len, reinterpret_cast<const Qel16u*>(needle16.data()), m, &idx); break;
        case Sub::FindRev16: qelsFindRev_16u(reinterpret_cast<const Qel16u*>(w16.data()), len, reinterpret_cast<const Qel16u*>(needle16.data()), m, &idx); break;
        case Sub::U16Find: idx = static_cast<int32_t>(sv16.find(needle16)); break;
        case Sub::U16RFind: idx = static_cast<int32_t>(sv16.rfind(needle16)); break;
        }
        return idx;
    };
    // The needles are chosen so the word list never produces them: the one
    // placed in the window is the only occurrence.
    if (run() != (rev ? 0 : len - m)) st.SkipWithError("needle found elsewhere: pick another");
    for (auto _ : st) benchmark::DoNotOptimize(run());
    set_bytes(st, n * (wide ? 2 : 1));
}

// ---- Adversarial inputs, 4 MB, nothing found. ----
enum class Adv { Run, Periodic, FilterDefeat };

void bm_adversarial(benchmark::State& st, Adv kind, size_t m, bool ours) {
    constexpr size_t n = 4 << 20;
    std::vector<uint8_t> sv(n), sub(m);
    for (size_t i = 0; i < n; ++i) sv[i] = kind == Adv::Run ? 'a' : (i % 2 ? 'b' : 'a');
    for (size_t k = 0; k < m; ++k) sub[k] = kind == Adv::Run ? 'a' : (k % 2 ? 'b' : 'a');
    if (kind == Adv::Run) sub[m / 2] = 'b';              // a...aba...a
    if (kind == Adv::Periodic) sub[m - 1] = 'c';         // abab...abc
    if (kind == Adv::FilterDefeat) sub[m - 1] = 'b';     // abab...abb (m odd)
    Placed<uint8_t> s(sv, 0);
    auto run = [&] {
        if (!ours) return memmem(s.data(), n, sub.data(), m) ? 0 : -1;
        int32_t idx = 0;
        qelsFind_8u(s.data(), static_cast<int32_t>(n), sub.data(), static_cast<int32_t>(m), &idx);
        return idx;
    };
    if (run() != -1) st.SkipWithError("found");
    for (auto _ : st) benchmark::DoNotOptimize(run());
    set_bytes(st, n);
}

// ---- Registration: each case names ours and its peers. ----
struct Case {
    std::string op;      // e.g. "FindC_8u/random"
    std::string impl;    // "qelch" or a peer's name
    std::function<void(benchmark::State&)> fn;
};

void add(const Case& c, const std::vector<int64_t>& sizes, const std::vector<int64_t>& offsets = {}) {
    auto* b = benchmark::RegisterBenchmark((c.op + "/" + c.impl).c_str(), c.fn);
    for (int64_t s : sizes) {
        if (offsets.empty()) b->Arg(s);
        for (int64_t o : offsets) b->Args({s, o});
    }
}

void register_all() {
    for (bool text : {false, true}) {
        const std::string d = text ? "/text" : "/random";
        auto unit = [&](const char* op, const char* impl, Unit u) {
            add({op + d, impl, [u, text](benchmark::State& st) { bm_unit(st, u, text); }}, kSizes, kOffsets);
        };
        unit("FindC_8u", "qelch", Unit::FindC8);
        unit("FindC_8u", "memchr", Unit::Memchr);
        unit("FindRevC_8u", "qelch", Unit::FindRevC8);
        unit("FindRevC_8u", "memrchr", Unit::Memrchr);
        unit("FindC_16u", "qelch", Unit::FindC16);
        unit("FindC_16u", "u16sv.find", Unit::U16Find);
        unit("FindRevC_16u", "qelch", Unit::FindRevC16);
        unit("FindRevC_16u", "u16sv.rfind", Unit::U16RFind);
        for (size_t k = 0; k < sizeof kNeedles / sizeof kNeedles[0]; ++k) {
            const std::string nd = d + "/m" + std::to_string(std::strlen(kNeedles[k]));
            auto sub = [&](const char* op, const char* impl, Sub u) {
                add({op + nd, impl, [u, text, k](benchmark::State& st) { bm_sub(st, u, text, k); }}, kSubSizes);
            };
            sub("Find_8u", "qelch", Sub::Find8);
            sub("Find_8u", "memmem", Sub::Memmem);
            sub("Find_8u", "sv.find", Sub::SvFind);
            sub("FindRev_8u", "qelch", Sub::FindRev8);
            sub("FindRev_8u", "sv.rfind", Sub::SvRFind);
            if (text) {
                sub("Find_16u", "qelch", Sub::Find16);
                sub("Find_16u", "u16sv.find", Sub::U16Find);
                sub("FindRev_16u", "qelch", Sub::FindRev16);
                sub("FindRev_16u", "u16sv.rfind", Sub::U16RFind);
            }
        }
    }
    // Sizes are fixed (4 MB); the argument is the needle length.
    const struct {
        const char* name;
        Adv kind;
        std::vector<int64_t> lengths;
    } adversarial[] = {{"run", Adv::Run, {16384, 65536}},
                       {"periodic", Adv::Periodic, {64, 1024}},
                       {"filter-defeat", Adv::FilterDefeat, {15, 255}}};
    for (const auto& a : adversarial)
        for (bool ours : {true, false})
            add({std::string("Adversarial/") + a.name, ours ? "qelch" : "memmem",
                 [kind = a.kind, ours](benchmark::State& st) {
                     bm_adversarial(st, kind, static_cast<size_t>(st.range(0)), ours);
                 }},
                a.lengths);
}

// Collects CPU times by (case, size, implementation), the best of any
// repetitions (on a shared machine wall time includes other tenants' load),
// and prints the ratios peer / qelch after
// the usual console output.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
            // Name: op/data[/mN]/impl/size[/offset]; the implementation is
            // the first part after the data that starts with a letter and
            // is not a needle length.
            std::string name = r.benchmark_name();
            size_t impl_at = name.find('/', name.find('/') + 1);
            if (name.compare(impl_at + 1, 1, "m") == 0 && std::isdigit(static_cast<unsigned char>(name[impl_at + 2])))
                impl_at = name.find('/', impl_at + 1);
            size_t size_at = name.find('/', impl_at + 1);
            std::string key = name.substr(0, impl_at) + name.substr(size_at);
            double& t = times_[key][name.substr(impl_at + 1, size_at - impl_at - 1)];
            if (t == 0 || r.GetAdjustedCPUTime() < t) t = r.GetAdjustedCPUTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-34s %12s  %s\n", "case/size", "qelch cpu ns", "peer ns (peer/qelch)");
        for (const auto& [key, impls] : times_) {
            auto ours = impls.find("qelch");
            if (ours == impls.end()) continue;
            std::printf("%-34s %12.1f ", key.c_str(), ours->second);
            for (const auto& [impl, t] : impls)
                if (impl != "qelch") std::printf(" %s %.1f (%.2fx)", impl.c_str(), t, t / ours->second);
            std::printf("\n");
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    register_all();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
