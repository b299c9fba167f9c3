// UTF-8 <-> UTF-16 conversion against ICU (u_strFromUTF8 / u_strToUTF8) and
// iconv, on three kinds of text built deterministically here: ASCII-heavy
// English, mixed Latin/Cyrillic/Greek, and CJK. Each benchmark is named
// <direction>/<text>/<size>/<impl>; after the run a table of ratios
// (peer time / our time, above 1 means we are faster) is printed.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "qelch.h"

namespace {

void append_utf8(std::string& s, uint32_t cp) {
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// English prose: ASCII words and punctuation with an occasional accented
// word or typographic quote (about one non-ASCII character per 150 bytes).
std::string english_text(size_t bytes) {
    static const char* words[] = {"the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as", "was",
                                  "with", "be", "by", "on", "not", "he", "this", "are", "or", "his", "from",
                                  "at", "which", "but", "have", "an", "had", "they", "you", "were", "their",
                                  "one", "all", "we", "can", "her", "has", "there", "been", "if", "more",
                                  "when", "will", "would", "who", "so", "no", "conversion", "library", "string"};
    static const char* special[] = {"caf\xC3\xA9", "na\xC3\xAFve", "\xE2\x80\x9Cquoted\xE2\x80\x9D",
                                    "it\xE2\x80\x99s", "r\xC3\xA9sum\xC3\xA9", "\xE2\x80\x94"};
    std::mt19937 rng(42);
    std::string s;
    while (s.size() < bytes) {
        const uint32_t r = rng() % 1000;
        if (r < 40) {
            s += special[rng() % 6];
        } else {
            s += words[rng() % (sizeof words / sizeof *words)];
        }
        s += (r % 97 == 0) ? ". " : (r % 13 == 0) ? ", " : " ";
    }
    return s;
}

// Words of Latin (accented), Cyrillic and Greek letters, spaces between.
std::string mixed_text(size_t bytes) {
    std::mt19937 rng(43);
    std::string s;
    while (s.size() < bytes) {
        const uint32_t script = rng() % 3, len = 2 + rng() % 9;
        for (uint32_t k = 0; k < len; ++k) {
            const uint32_t r = rng();
            if (script == 0)
                append_utf8(s, r % 5 == 0 ? 0xE0 + r % 0x1F : 'a' + r % 26);
            else if (script == 1)
                append_utf8(s, 0x430 + r % 32);
            else
                append_utf8(s, 0x3B1 + r % 25);
        }
        s += (rng() % 10 == 0) ? ", " : " ";
    }
    return s;
}

// CJK ideographs with ideographic punctuation and an occasional line break.
std::string cjk_text(size_t bytes) {
    std::mt19937 rng(44);
    std::string s;
    while (s.size() < bytes) {
        const uint32_t r = rng() % 100;
        if (r < 6)
            append_utf8(s, 0x3001 + r % 2);  // 、。
        else if (r == 6)
            s += '\n';
        else
            append_utf8(s, 0x4E00 + rng() % 0x5000);
    }
    return s;
}

struct Corpus {
    std::string utf8;
    std::vector<uint16_t> utf16;
};

Corpus make_corpus(const std::string& text) {
    // Cut back to a character boundary, then convert once with ICU.
    std::string t = text;
    while (!t.empty() && (static_cast<uint8_t>(t.back()) & 0xC0) == 0x80) t.pop_back();
    if (!t.empty() && static_cast<uint8_t>(t.back()) >= 0xC0) t.pop_back();
    Corpus c{t, std::vector<uint16_t>(t.size())};
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8(reinterpret_cast<UChar*>(c.utf16.data()), static_cast<int32_t>(c.utf16.size()), &len, t.data(),
                  static_cast<int32_t>(t.size()), &err);
    c.utf16.resize(static_cast<size_t>(len));
    return c;
}

void decode_ours(benchmark::State& st, const Corpus* c) {
    std::vector<uint16_t> out(c->utf8.size());
    for (auto _ : st) {
        int32_t n = static_cast<int32_t>(c->utf8.size()), cap = static_cast<int32_t>(out.size());
        qelsConvertUTF_8u16u(reinterpret_cast<const Qel8u*>(c->utf8.data()), &n, out.data(), &cap, 0);
        benchmark::DoNotOptimize(out.data());
        if (static_cast<size_t>(cap) != c->utf16.size()) st.SkipWithError("wrong length");
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * c->utf8.size()));
}

void decode_icu(benchmark::State& st, const Corpus* c) {
    std::vector<UChar> out(c->utf8.size());
    for (auto _ : st) {
        int32_t len = 0;
        UErrorCode err = U_ZERO_ERROR;
        u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &len, c->utf8.data(),
                      static_cast<int32_t>(c->utf8.size()), &err);
        benchmark::DoNotOptimize(out.data());
        if (static_cast<size_t>(len) != c->utf16.size()) st.SkipWithError("wrong length");
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * c->utf8.size()));
}

void decode_iconv(benchmark::State& st, const Corpus* c) {
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    std::vector<uint16_t> out(c->utf8.size());
    for (auto _ : st) {
        char* in = const_cast<char*>(c->utf8.data());
        size_t in_left = c->utf8.size(), out_left = out.size() * 2;
        char* o = reinterpret_cast<char*>(out.data());
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        iconv(cd, &in, &in_left, &o, &out_left);
        benchmark::DoNotOptimize(out.data());
        if (in_left != 0) st.SkipWithError("iconv stopped early");
    }
    iconv_close(cd);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * c->utf8.size()));
}

void encode_ours(benchmark::State& st, const Corpus* c) {
    std::vector<uint8_t> out(c->utf16.size() * 3);
    for (auto _ : st) {
        int32_t n = static_cast<int32_t>(c->utf16.size()), cap = static_cast<int32_t>(out.size());
        qelsConvertUTF_16u8u(c->utf16.data(), &n, out.data(), &cap, 0);
        benchmark::DoNotOptimize(out.data());
        if (static_cast<size_t>(cap) != c->utf8.size()) st.SkipWithError("wrong length");
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * c->utf16.size() * 2));
}

void encode_icu(benchmark::State& st, const Corpus* c) {
    std::vector<char> out(c->utf16.size() * 3);
    for (auto _ : st) {
        int32_t len = 0;
        UErrorCode err = U_ZERO_ERROR;
        u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &len, reinterpret_cast<const UChar*>(c->utf16.data()),
                    static_cast<int32_t>(c->utf16.size()), &err);
        benchmark::DoNotOptimize(out.data());
        if (static_cast<size_t>(len) != c->utf8.size()) st.SkipWithError("wrong length");
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * c->utf16.size() * 2));
}

void encode_iconv(benchmark::State& st, const Corpus* c) {
    iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
    std::vector<char> out(c->utf16.size() * 3);
    for (auto _ : st) {
        char* in = reinterpret_cast<char*>(const_cast<uint16_t*>(c->utf16.data()));
        size_t in_left = c->utf16.size() * 2, out_left = out.size();
        char* o = out.data();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        iconv(cd, &in, &in_left, &o, &out_left);
        benchmark::DoNotOptimize(out.data());
        if (in_left != 0) st.SkipWithError("iconv stopped early");
    }
    iconv_close(cd);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * c->utf16.size() * 2));
}

// Collects per-iteration CPU times (the machine is shared, wall time is noisy) and prints peer/ours ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
            const std::string name = r.benchmark_name();
            const size_t cut = name.rfind('/');
            times_[name.substr(0, cut)][name.substr(cut + 1)] = r.GetAdjustedCPUTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-28s %12s %12s %12s %10s %10s\n", "case", "ours ns", "icu ns", "iconv ns", "icu/ours", "iconv/ours");
        for (const auto& [key, t] : times_) {
            const auto get = [&](const char* k) { auto it = t.find(k); return it == t.end() ? 0.0 : it->second; };
            const double ours = get("ours"), icu = get("icu"), ic = get("iconv");
            if (ours <= 0) continue;
            std::printf("%-28s %12.0f %12.0f %12.0f %10.2f %10.2f\n", key.c_str(), ours, icu, ic, icu / ours, ic / ours);
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
    struct Kind {
        const char* name;
        std::string (*make)(size_t);
    };
    const Kind kinds[] = {{"english", english_text}, {"mixed", mixed_text}, {"cjk", cjk_text}};
    static std::vector<Corpus> corpora;
    corpora.reserve(16);
    for (const auto& k : kinds)
        for (size_t size : {1024u, 65536u}) {
            corpora.push_back(make_corpus(k.make(size)));
            const Corpus* c = &corpora.back();
            const std::string tag = std::string(k.name) + "/" + std::to_string(size / 1024) + "k/";
            benchmark::RegisterBenchmark(("utf8to16/" + tag + "ours").c_str(), decode_ours, c);
            benchmark::RegisterBenchmark(("utf8to16/" + tag + "icu").c_str(), decode_icu, c);
            benchmark::RegisterBenchmark(("utf8to16/" + tag + "iconv").c_str(), decode_iconv, c);
            benchmark::RegisterBenchmark(("utf16to8/" + tag + "ours").c_str(), encode_ours, c);
            benchmark::RegisterBenchmark(("utf16to8/" + tag + "icu").c_str(), encode_icu, c);
            benchmark::RegisterBenchmark(("utf16to8/" + tag + "iconv").c_str(), encode_iconv, c);
        }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
