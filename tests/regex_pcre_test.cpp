// Differential test against PCRE2 on the ground both engines share: ASCII
// subjects, case-sensitive patterns, and only constructs whose meaning is the
// same in both. Excluded, because this library defines them differently:
// - "\s": here it leaves out the vertical tab (11);
// - back-references: here a back-reference fails at the subject end even
//   when the capture is empty, and one to an unset capture fails;
// - repeated groups whose body can match empty: the passes that end an
//   empty iteration differ;
// - groups inside look-ahead: which captures a look-ahead keeps differs;
// - patterns led by ".*" or ".+": the compiler anchors them at line starts,
//   so after a match that ends at the subject end no empty match follows;
// - a lazy quantifier on a predefined item ("\d", ".", ...) that directly
//   follows the same item: the compiler merges the run into one counted
//   repeat, which is greedy ("\w\w{1,3}?" is "\w{2,4}");
// - conditional groups, "\C", "\X", Unicode escapes and case folding;
// - after an empty match a global search here retries a non-empty match of
//   exactly one character at the same start (the oracle is driven the same
//   way below), not a match of any length.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qelch.h"
#include "support/regex_gen.h"

namespace {

using Records = std::vector<std::pair<int, int>>;

struct Oracle {
    pcre2_code* code = nullptr;
    pcre2_match_data* md = nullptr;
    int captures = 0;  // capture count + 1
    explicit Oracle(const std::string& pattern) {
        int err = 0;
        PCRE2_SIZE off = 0;
        code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), pattern.size(), 0, &err, &off, nullptr);
        if (!code) return;
        md = pcre2_match_data_create_from_pattern(code, nullptr);
        uint32_t n = 0;
        pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &n);
        captures = static_cast<int>(n) + 1;
    }
    ~Oracle() {
        pcre2_match_data_free(md);
        pcre2_code_free(code);
    }
    // Match in subject[0, len) from `start`; fills `out` with every record.
    bool match(const std::string& s, size_t len, size_t start, uint32_t flags, Records& out) {
        int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(s.data()), len, start, flags, md, nullptr);
        if (rc < 0) return false;
        PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
        out.clear();
        for (int i = 0; i < captures; ++i) {
            if (i >= rc || ov[2 * i] == PCRE2_UNSET)
                out.push_back({-1, -1});
            else
                out.push_back({static_cast<int>(ov[2 * i]), static_cast<int>(ov[2 * i + 1] - ov[2 * i])});
        }
        return true;
    }
    // Every match, driven like the global search of this library.
    Records all(const std::string& s) {
        Records out, one;
        const int first = captures > 1 ? 1 : 0;
        size_t pos = 0;
        while (pos <= s.size()) {
            if (!match(s, s.size(), pos, 0, one)) break;
            out.insert(out.end(), one.begin() + first, one.end());
            size_t start = static_cast<size_t>(one[0].first);
            size_t len = static_cast<size_t>(one[0].second);
            if (len == 0) {
                if (start < s.size() && match(s, start + 1, start, PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED, one))
                    out.insert(out.end(), one.begin() + first, one.end());
                pos = start + 1;
            } else {
                pos = start + len;
            }
        }
        return out;
    }
};

Records ours(QelRegExpState* st, const std::string& s, int32_t capacity, QelStatus& status) {
    std::vector<QelRegExpFind> r(capacity);
    int32_t count = capacity;
    status = qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(s.data()), static_cast<int32_t>(s.size()), st, r.data(),
                               &count);
    Records out;
    for (int32_t i = 0; status >= 0 && i < count; ++i)
        out.push_back({r[i].pointer ? static_cast<int>(r[i].pointer - reinterpret_cast<const Qel8u*>(s.data())) : -1,
                       r[i].length});
    return out;
}

bool wildcard_led(const std::string& p) {
    for (const char* lead : {".*", ".+", "(?:.*", "(?:.+"})
        if (p.rfind(lead, 0) == 0) return true;
    return false;
}

// "XX" followed by a lazy quantifier, X one of the predefined items.
bool merged_lazy_repeat(const std::string& p) {
    for (const char* x : {".", "\\d", "\\D", "\\w", "\\W", "\\s", "\\S"}) {
        const std::string twice = std::string(x) + x;
        for (size_t at = p.find(twice); at != std::string::npos; at = p.find(twice, at + 1)) {
            size_t q = at + twice.size();
            if (q >= p.size()) continue;
            if (p[q] == '{') q = p.find('}', q);
            else if (p[q] != '*' && p[q] != '+' && p[q] != '?') continue;
            if (q != std::string::npos && q + 1 < p.size() && p[q + 1] == '?') return true;
        }
    }
    return false;
}

TEST(RegExpPcreDifferential, FirstAndGlobalMatches) {
    qeltest::RegexGen gen(424242);
    int compared = 0, mismatches = 0;
    auto report = [&](std::string what) {
        for (size_t at = what.find('\n'); at != std::string::npos; at = what.find('\n', at + 2)) what.replace(at, 1, "\\n");
        if (++mismatches <= 100) ADD_FAILURE() << what;
    };
    for (int i = 0; i < 4000; ++i) {
        std::string pattern = gen.common();
        if (wildcard_led(pattern) || merged_lazy_repeat(pattern)) continue;
        Oracle oracle(pattern);
        if (!oracle.code) continue;
        QelRegExpState* single = nullptr;
        QelRegExpState* global = nullptr;
        int32_t errOffset = 0;
        ASSERT_EQ(qelsRegExpInitAlloc(pattern.c_str(), "", &single, &errOffset), qelOk) << pattern;
        ASSERT_EQ(qelsRegExpInitAlloc(pattern.c_str(), "g", &global, &errOffset), qelOk) << pattern;
        for (int k = 0; k < 4; ++k) {
            std::string subject = gen.subject(gen.pick(k == 3 ? 120 : 24), false);
            Records expect;
            bool found = oracle.match(subject, subject.size(), 0, 0, expect);
            QelStatus st;
            Records got = ours(single, subject, 64, st);
            ASSERT_EQ(st, qelOk) << pattern;
            if (!found) expect.clear();
            if (got != expect) report("first match of /" + pattern + "/ in \"" + subject + "\"");
            Records all = oracle.all(subject);
            Records gotAll = ours(global, subject, 4096, st);
            ASSERT_EQ(st, qelOk) << pattern;
            if (gotAll != all) report("all matches of /" + pattern + "/ in \"" + subject + "\"");
            ++compared;
        }
        qelsRegExpFree(single);
        qelsRegExpFree(global);
    }
    EXPECT_EQ(mismatches, 0) << "of " << compared << " subjects";
    EXPECT_GT(compared, 10000);
}

}  // namespace
