// The DFA that locates the next match region: with it on, every search gives
// exactly the records and status it gives with it off and on the general
// path, including at the window's edges (anchors, word boundaries, a final
// line feed), on bytes it hands over on, and when its cache fills.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "regex/match/dfa.h"
#include "regex/match/linear.h"
#include "regex/match/search_internal.h"
#include "support/regex_compiled.h"
#include "support/regex_gen.h"

using namespace qel::re;

namespace {

using qeltest::Compiled;

struct Outcome {
    QelStatus status;
    std::vector<std::pair<int, int>> records;  // {offset or -1 for null, length}
    bool operator==(const Outcome&) const = default;
};

Outcome find(QelRegExpState* state, const std::string& subject, int32_t capacity, LinearUse use, bool dfa) {
    dfa_set_enabled(state, dfa);
    std::vector<QelRegExpFind> r(capacity);
    int32_t count = capacity;
    const auto* base = reinterpret_cast<const Qel8u*>(subject.data());
    const QelStatus st =
        search_with_paths(base, static_cast<int32_t>(subject.size()), state, r.data(), &count, 0, true, use);
    dfa_set_enabled(state, true);
    Outcome o{st, {}};
    if (st >= 0)
        for (int32_t i = 0; i < count; ++i)
            o.records.push_back({r[i].pointer ? static_cast<int>(r[i].pointer - base) : -1, r[i].length});
    return o;
}

std::string show(const Outcome& o) {
    std::string s = "status " + std::to_string(o.status) + ":";
    for (auto& [off, len] : o.records) s += " {" + std::to_string(off) + "," + std::to_string(len) + "}";
    return s;
}

std::string escaped(const std::string& s) {
    std::string out;
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f && c != '\\') out += static_cast<char>(c);
        else out.append("\\x").append(1, kHex[c >> 4]).append(1, kHex[c & 15]);
    }
    return out;
}

bool dfa_taken(QelRegExpState* state) {
    return dfa_cache(state, linear_program(state, LinearUse::Always)) != nullptr;
}

// DFA on against DFA off (both as shipped) and against the general matcher.
void expect_same(QelRegExpState* state, const std::string& subject, int32_t capacity, const std::string& what) {
    const Outcome on = find(state, subject, capacity, LinearUse::Useful, true);
    const Outcome off = find(state, subject, capacity, LinearUse::Useful, false);
    ASSERT_EQ(on, off) << what << " over \"" << escaped(subject) << "\"\n on  " << show(on) << "\n off " << show(off);
    const Outcome forced = find(state, subject, capacity, LinearUse::Always, true);
    ASSERT_EQ(forced, off) << what << " over \"" << escaped(subject) << "\"\n linear+dfa " << show(forced)
                           << "\n off        " << show(off);
    const Outcome general = find(state, subject, capacity, LinearUse::Off, false);
    // The general matcher gave up where the paths without a budget answer.
    if (general.status == qelErrMatchLimit && on.status != qelErrMatchLimit) return;
    ASSERT_EQ(on, general) << what << " over \"" << escaped(subject) << "\"\n on      " << show(on)
                           << "\n general " << show(general);
}

// Edges the DFA decides from byte contexts rather than from the subject.
TEST(MatchDfa, EdgesOfTheWindow) {
    struct Case {
        const char* pattern;
        const char* options;
        const char* subject;
    };
    static const Case kCases[] = {
        {"\\s+$", "gm", "int a;  \n  b; \t\n\n c  "},
        {"\\s+$", "g", "ab  \n"},
        {"x$", "g", "x\nx\n"},
        {"x\\Z", "g", "x\nx\n"},
        {"x\\z", "g", "x\nx\n"},
        {"^\\w+", "gm", "ab cd\nef\n\ngh"},
        {"^", "gm", "a\nb\n"},
        {"\\Ab|a", "g", "bab"},
        {"^(\\w+\\s?)*$", "", "ab cd ef"},
        {"\\A(?:a|b)+c", "g", "abcabc"},
        {"^x*", "g", "xxa"},
        {"\\b[A-Z_]{4,}\\b", "g", "FOO_BAR x ABCD_ abc ABCDE1 _ABCD_ ABC"},
        {"\\B\\w\\w\\B", "g", "abcdef gh ijk"},
        {"\\w+_t\\b", "g", "size_t n; uint8_t_x foo_t\n"},
        {"#define\\s+\\w+\\s+\\(", "g", "#define A (x)\n#define B x\n#define  C\t (y)"},
        {"[0-9a-f]{8}", "g", "0x1234abcd 1234abc 0123456789abcdef"},
        {"x*", "g", "axxbx"},
        {"(a|ab)(c|bcd)(d*)", "g", "abcd abcd"},
        {"a.*b|c", "g", "a c b c"},
        {"(?:a|)+b", "g", "aab b"},
        {"\\w+\\s*$", "gm", "ab \ncd\t\n"},
    };
    for (const Case& c : kCases) {
        for (int format = 0; format < 2; ++format) {
            Compiled re(c.pattern, c.options, format);
            ASSERT_EQ(re.status, qelOk) << c.pattern;
            EXPECT_TRUE(dfa_taken(re.state)) << c.pattern;
            const std::string subject = c.subject;
            // Every suffix and prefix: the window's edges fall everywhere.
            for (size_t k = 0; k <= subject.size(); ++k) {
                expect_same(re.state, subject.substr(k), 32, c.pattern);
                expect_same(re.state, subject.substr(0, k), 32, c.pattern);
            }
        }
    }
}

// Bytes of 0x80 and above hand over to the usual scan wherever they stand.
TEST(MatchDfa, HandsOverOnWideBytes) {
    static const char* const kPatterns[] = {"\\w+", "[^a]+", ".b", "\\bx", "\\xe9|\\x{e9}", "\\C\\C"};
    static const char* const kSubjects[] = {"ab\xC3\xA9" "cd xb", "\xC3\xA9", "a\x80x b\xE2\x82\xAC" "b x",
                                            "\xF0\x9F\x98\x80xx"};
    for (const char* p : kPatterns)
        for (int format = 0; format < 2; ++format) {
            Compiled re(p, "g", format);
            ASSERT_EQ(re.status, qelOk) << p;
            for (const char* s : kSubjects) expect_same(re.state, s, 16, p);
        }
}

// Patterns whose DFA has more states than the cache holds: the cache is
// cleared, and when it thrashes the window goes to the usual scan.
TEST(MatchDfa, CacheFillsAndThrashes) {
    qeltest::RegexGen gen(7);
    for (const char* p : {"[ab]*a[ab]{12}c", "(?:a|b)*b[ab]{9}$", "\\w*a\\w{10}\\b"}) {
        Compiled re(p, "gm", 0);
        ASSERT_EQ(re.status, qelOk) << p;
        ASSERT_TRUE(dfa_taken(re.state)) << p;
        std::string subject;
        for (int i = 0; i < 20000; ++i) subject += "ab"[gen.pick(2)];
        subject += "c\n";
        for (int i = 0; i < 3000; ++i) subject += "abc\n "[gen.pick(5)];
        expect_same(re.state, subject, 64, p);
    }
}

// Random patterns and subjects, both formats, every option letter; short
// subjects against the general matcher, long ones (start filter, skips,
// cache reuse across calls) against the DFA off.
TEST(MatchDfa, SameResultsWithTheDfaOnAndOff) {
    qeltest::RegexGen gen(20261210);
    static const char* const kOptions[] = {"", "g", "i", "gi", "m", "gm", "s", "gs", "x", "gimsx"};
    long taken = 0;
    for (int i = 0; i < 40000; ++i) {
        const std::string pattern = gen.pick(2) ? gen.common() : gen.broad();
        const char* opts = kOptions[gen.pick(10)];
        const int format = static_cast<int>(gen.pick(2));
        Compiled re(pattern, opts, format);
        if (re.status != qelOk || !dfa_taken(re.state)) continue;
        ++taken;
        const std::string what = "pattern " + pattern + " /" + opts + " format " + std::to_string(format);
        for (int s = 0; s < 3; ++s) {
            const std::string subject = gen.subject(gen.pick(40), gen.pick(4) == 0);
            expect_same(re.state, subject, 1 + static_cast<int32_t>(gen.pick(12)), what);
            if (HasFatalFailure()) return;
        }
        if (i % 8 == 0) {
            const std::string subject = gen.subject(256 + gen.pick(2000), gen.pick(4) == 0);
            const int32_t capacity = 1 + static_cast<int32_t>(gen.pick(40));
            const Outcome on = find(re.state, subject, capacity, LinearUse::Useful, true);
            const Outcome off = find(re.state, subject, capacity, LinearUse::Useful, false);
            ASSERT_EQ(on, off) << what << " over \"" << escaped(subject) << "\"\n on  " << show(on) << "\n off "
                               << show(off);
        }
    }
    std::printf("%ld patterns on the DFA\n", taken);
    EXPECT_GT(taken, 10000);
}

}  // namespace
