// The header-only C++ layer: every entry point compiled and run against the
// C functions it wraps.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "qelch.hpp"
#include "regex/match/match.h"

namespace {

using namespace std::string_view_literals;

TEST(WrapperStrings, SearchesReportIndicesOrNpos) {
    const std::string_view text = "the cat sat on the mat";
    constexpr auto npos = std::string_view::npos;
    struct Row {
        const char* what;
        qel::result<std::size_t> got;
        std::size_t want;
    };
    const Row rows[] = {
        {"find the", qel::find(text, "the"), 0},
        {"rfind the", qel::rfind(text, "the"), 15},
        {"find absent", qel::find(text, "dog"), npos},
        {"find empty needle", qel::find(text, ""), npos},  // the library never finds an empty substring
        {"find in empty", qel::find(""sv, "a"), npos},
        {"find char", qel::find(text, 'm'), 19},
        {"find char absent", qel::find(text, 'z'), npos},
        {"first of set", qel::find_first_of(text, "os"), 8},
        {"first of empty set", qel::find_first_of(text, ""), npos},
        {"utf-16 find", qel::find(u"x\u00e9y\u00e9z"sv, u"\u00e9z"sv), 3},
        {"utf-16 absent", qel::find(u"abc"sv, u"abd"sv), npos},
        {"utf-16 empty haystack", qel::find(std::u16string_view(), u"a"sv), npos},
    };
    for (const Row& r : rows) {
        EXPECT_TRUE(r.got.ok()) << r.what;
        EXPECT_EQ(r.got.value, r.want) << r.what;
    }
}

TEST(WrapperStrings, TrimCompareHashCase) {
    EXPECT_EQ(qel::trim("  a b \t\n"), "a b");
    EXPECT_EQ(qel::trim("xxaxbxx", "x"), "axb");
    EXPECT_EQ(qel::trim(" \t "), "");

    struct Cmp {
        std::string_view a, b;
        int sign;
    };
    for (const Cmp& c : {Cmp{"abc", "abc", 0}, Cmp{"abc", "abd", -1}, Cmp{"abd", "abc", 1}, Cmp{"ab", "abc", -1},
                         Cmp{"abc", "ab", 1}, Cmp{"", "", 0}, Cmp{"", "a", -1}}) {
        qel::result<int32_t> r = qel::compare(c.a, c.b);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ((r.value > 0) - (r.value < 0), c.sign) << c.a << " vs " << c.b;
    }

    const std::string word = "hash me";
    Qel32u direct = 0;
    ASSERT_EQ(qelsHash_8u32u(reinterpret_cast<const Qel8u*>(word.data()), int32_t(word.size()), &direct), qelOk);
    EXPECT_EQ(qel::hash(word).value, direct);
    EXPECT_TRUE(qel::hash("").ok());

    EXPECT_EQ(qel::to_upper_latin("abc-\xc3\xa9-xyz").value, "ABC-\xc3\xa9-XYZ");  // A to Z only
    EXPECT_EQ(qel::to_upper_latin("").value, "");
}

TEST(WrapperStrings, UtfRoundTrip) {
    const std::string utf8 = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z";  // a, e-acute, euro, an emoji, z
    qel::result<std::u16string> wide = qel::utf8_to_utf16(utf8);
    ASSERT_TRUE(wide.ok());
    EXPECT_EQ(wide.value, u"a\u00e9\u20ac\U0001F600z");
    qel::result<std::string> back = qel::utf16_to_utf8(wide.value);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value, utf8);
    EXPECT_EQ(qel::utf8_to_utf16("").value, u"");
    EXPECT_EQ(qel::utf16_to_utf8(u"").value, "");
}

TEST(WrapperRegex, FindReportsGroupsAndPositions) {
    qel::regex re("(\\w+)@(\\w+)(x)?\\.org");
    ASSERT_TRUE(re) << re.status();
    EXPECT_NE(re.native(), nullptr);
    const std::string_view text = "mail bob@example.org now";
    qel::result<qel::match> r = re.find(text);
    ASSERT_EQ(r.status, qelOk);
    const qel::match& m = r.value;
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0], "bob@example.org");
    EXPECT_EQ(m[1], "bob");
    EXPECT_EQ(m[2], "example");
    EXPECT_FALSE(m.participated(3));
    EXPECT_EQ(m[3].data(), nullptr);
    EXPECT_EQ(m.position(), 5u);
    EXPECT_EQ(m.position(2), 9u);
    EXPECT_EQ(m.position(2, text), 9u);
    EXPECT_EQ(m.position(3, text), std::string_view::npos);
    EXPECT_EQ(m[7], "");  // beyond the groups: an empty view, no fault

    qel::result<qel::match> none = re.find("nothing here");
    EXPECT_EQ(none.status, qelOk);
    EXPECT_EQ(none.value.size(), 0u);

    qel::regex folded("CAT", "i");
    EXPECT_EQ(folded.find("a Cat").value[0], "Cat");
}

TEST(WrapperRegex, BadPatternCarriesStatusAndOffset) {
    struct Row {
        const char* pattern;
        const char* options;
        QelStatus status;
        int32_t offset;
    };
    const Row rows[] = {
        {"ab(cd", "", qelErrRegExpGroup, -1},
        {"a{2,1}", "", qelErrRegExpQuantifier, -1},
        {"[z-a]", "", qelErrRegExpCharClass, -1},
        {"abc", "q", qelErrRegExpOption, -1},
    };
    for (const Row& r : rows) {
        qel::regex re(r.pattern, r.options);
        EXPECT_FALSE(re) << r.pattern;
        EXPECT_EQ(re.status(), r.status) << r.pattern;
        EXPECT_EQ(re.native(), nullptr) << r.pattern;
        // The offset is the one the C compiler reports for the same input.
        QelRegExpState* st = nullptr;
        int32_t offset = -2;
        EXPECT_EQ(qelsRegExpInitAlloc(r.pattern, r.options, &st, &offset), r.status);
        EXPECT_EQ(re.error_offset(), offset) << r.pattern;
        EXPECT_GE(re.error_offset(), 0) << r.pattern;
        EXPECT_LE(re.error_offset(), int32_t(std::string_view(r.pattern).size())) << r.pattern;
        // Every operation on a failed regex reports the compile error.
        EXPECT_EQ(re.find("abc").status, r.status);
        EXPECT_EQ(re.replace("abc", "x").status, r.status);
        EXPECT_FALSE(re.find_all("abc").ok());
    }
    qel::regex unset;
    EXPECT_FALSE(unset);
    EXPECT_EQ(unset.find("a").status, qelErrNullPtr);
}

TEST(WrapperRegex, FindAllReturnsEveryMatchWithGroups) {
    qel::regex re("(\\d+)-(\\d+)?");
    qel::result<std::vector<qel::match>> all = re.find_all("1-2 33- 4-55");
    ASSERT_TRUE(all.ok());
    ASSERT_EQ(all.value.size(), 3u);
    EXPECT_EQ(all.value[0][0], "1-2");
    EXPECT_EQ(all.value[1][1], "33");
    EXPECT_FALSE(all.value[1].participated(2));
    EXPECT_EQ(all.value[2][2], "55");

    // Empty matches between characters, and the one at the end.
    qel::regex star("x*");
    EXPECT_EQ(star.find_all("ab").value.size(), 3u);
    EXPECT_EQ(star.find_all("").value.size(), 1u);
    EXPECT_EQ(qel::regex("q").find_all("abc").value.size(), 0u);

    // Far more matches than the first batch of records holds.
    std::string many;
    for (int i = 0; i < 3000; ++i) many += "ab ";
    EXPECT_EQ(qel::regex("a(b)").find_all(many).value.size(), 3000u);
    EXPECT_EQ(qel::regex("b").find_all(many).value.size(), 3000u);
}

// find_all_records must report exactly the records of a global replacement
// run to the end (what collected every match before it), while writing no
// output and keeping one record array across calls: a later call with fewer
// matches must not report records left over from an earlier one.
TEST(WrapperRegex, FindAllRecordsEqualsReplacementRecords) {
    struct Row {
        const char* pattern;
        const char* options;
    };
    const Row rows[] = {
        {"x*", ""},          {"", ""},          {"a*", ""},           {"|a", ""},           {"|\xc3\xa9", ""},
        {"^\\w+", ""},       {"^\\w+", "m"},    {"\\w+$", "m"},      {"$", "m"},           {"^$", "m"},
        {"\\b", ""},         {"(?<=a)b|c", ""}, {"(?<=\\n)\\w", ""}, {"\\Cb", ""},         {".", ""},
        {"(a)|b", ""},       {"(\\w)(\\w)?", ""}, {"(a|)(?=b)", "m"},  {"\"([^\"\\\\]|\\\\.)*\"", ""},
        {"\"[^\"\\\\]*(?:\\\\.[^\"\\\\]*)*\"", ""}, {"AB", "i"},
    };
    std::string long_subject;
    for (int i = 0; i < 2500; ++i) long_subject += "ab \"c\\\"d\"\n";
    const std::string subjects[] = {
        "ab",  "aab\nba\n\nb", "\xc3\xa9" "b\xc3\xa9\n\xc3\xa9" "a", "\xc3" "b\xa9", "say \"x\\\"y\" and \"\" \"open",
        "\n", long_subject,
    };
    std::vector<QelRegExpFind> kept;  // shared by every call, as the tool keeps its own
    for (const Row& r : rows) {
        for (int32_t format : {1, 0}) {
            QelRegExpState* g = nullptr;
            int32_t offset = 0;
            ASSERT_EQ(qelsRegExpInitAlloc(r.pattern, (std::string(r.options) + "g").c_str(), &g, &offset), qelOk)
                << r.pattern;
            ASSERT_EQ(qelsRegExpSetFormat(format, g), qelOk);
            for (const std::string& subject : subjects) {
                const std::string where = std::string("/") + r.pattern + "/" + r.options + " format " +
                                          std::to_string(format) + " over \"" + subject.substr(0, 40) + "\"";
                alignas(16) unsigned char rs_mem[64];
                auto* rs = reinterpret_cast<QelRegExpReplaceState*>(rs_mem);
                ASSERT_EQ(qelsRegExpReplaceInit(nullptr, rs), qelOk);
                std::string sink;
                std::vector<QelRegExpFind> want;
                const QelStatus want_st = qel::replace_to_end(g, rs, subject, sink, want);
                std::size_t count = 12345;
                const QelStatus st = qel::find_all_records(g, subject, kept, count);
                ASSERT_EQ(st, want_st) << where;
                ASSERT_EQ(count, want.size()) << where;
                ASSERT_LE(count, kept.size()) << where;
                for (std::size_t i = 0; i < count; ++i) {
                    EXPECT_EQ(kept[i].pointer, want[i].pointer) << where << " record " << i;
                    EXPECT_EQ(kept[i].length, want[i].length) << where << " record " << i;
                }
            }
            qelsRegExpFree(g);
        }
    }
    // The empty subject, which the library refuses: no records, no error.
    QelRegExpState* g = nullptr;
    int32_t offset = 0;
    ASSERT_EQ(qelsRegExpInitAlloc("x*", "g", &g, &offset), qelOk);
    std::size_t count = 7;
    EXPECT_EQ(qel::find_all_records(g, "", kept, count), qelOk);
    EXPECT_EQ(count, 0u);
    qelsRegExpFree(g);
}

TEST(WrapperRegex, ReplaceFirstAndAll) {
    struct Row {
        const char* pattern;
        const char* options;
        const char* subject;
        const char* tmpl;
        const char* first;
        const char* all;
    };
    const Row rows[] = {
        {"b", "", "abcb", "[$&]", "a[b]cb", "a[b]c[b]"},
        {"(a)(b)", "", "abab", "$2-$1", "b-aab", "b-ab-a"},
        {"b", "", "abcb", "", "acb", "ac"},
        {"x*", "", "ab", "-", "-ab", "-a-b-"},
        {"q", "", "abc", "<$&>", "abc", "abc"},
        {"o", "i", "fOo", "0", "f0o", "f00"},
        {"(\\w+)", "", "hi there", "$1\\0", "hi0 there", "hi0 there0"},
    };
    for (const Row& r : rows) {
        qel::regex re(r.pattern, r.options);
        ASSERT_TRUE(re) << r.pattern;
        qel::result<std::string> one = re.replace(r.subject, r.tmpl);
        qel::result<std::string> all = re.replace_all(r.subject, r.tmpl);
        EXPECT_TRUE(one.ok() && all.ok()) << r.pattern;
        EXPECT_EQ(one.value, r.first) << r.pattern << " / " << r.tmpl;
        EXPECT_EQ(all.value, r.all) << r.pattern << " / " << r.tmpl;
    }
    qel::regex re("a");
    EXPECT_EQ(re.replace("banana", "$").status, qelErrRegExpReference);

    // Output much longer than the subject, and more matches than one batch of
    // records: every match is replaced, none left behind.
    std::string as(5000, 'a');
    qel::result<std::string> grown = re.replace_all(as, "<$&>");
    ASSERT_TRUE(grown.ok());
    EXPECT_EQ(grown.value.size(), 15000u);
    EXPECT_EQ(grown.value.find("aa"), std::string::npos);
    EXPECT_EQ(grown.value.substr(0, 6), "<a><a>");
    EXPECT_EQ(grown.value.substr(14997), "<a>");
}

TEST(WrapperRegex, SettingsReachBothStates) {
    // "\C" takes one byte; in UTF-8 format a match may start only at a
    // character boundary, in byte format anywhere.
    const std::string text = "\xc3\xa9" "b" "\xc3\xa9" "b";
    qel::regex any("\\Cb");
    EXPECT_EQ(any.find(text).value.size(), 0u);
    EXPECT_EQ(any.find_all(text).value.size(), 0u);  // makes the global state in UTF-8 format
    ASSERT_EQ(any.set_format(0), qelOk);
    EXPECT_EQ(any.find(text).value.position(0, text), 1u);
    EXPECT_EQ(any.find_all(text).value.size(), 2u);  // the global state follows
    EXPECT_EQ(any.replace_all(text, "-").value, "\xc3-\xc3-");
    EXPECT_EQ(any.set_format(2), qelErrRange);
    EXPECT_EQ(any.set_match_limit(-1), qelErrLength);
    EXPECT_EQ(any.set_match_limit(50), qelOk);

    qel::regex unset;
    EXPECT_EQ(unset.set_format(0), qelErrNullPtr);
    EXPECT_EQ(unset.set_match_limit(5), qelErrNullPtr);
}

TEST(WrapperRegex, MovesTransferTheStateWithoutCopying) {
    qel::regex a("(o+)");
    QelRegExpState* state = a.native();
    ASSERT_NE(state, nullptr);
    ASSERT_EQ(a.find_all("foo boo").value.size(), 2u);  // makes the global state too

    qel::regex b(std::move(a));
    EXPECT_EQ(b.native(), state);
    EXPECT_EQ(a.native(), nullptr);
    EXPECT_FALSE(a);
    EXPECT_EQ(a.find("foo").status, qelErrNullPtr);
    EXPECT_EQ(b.find("foo").value[1], "oo");
    EXPECT_EQ(b.replace_all("foo boo", "0").value, "f0 b0");

    qel::regex c("x");
    c = std::move(b);
    EXPECT_EQ(c.native(), state);
    EXPECT_EQ(c.find_all("foo boo").value.size(), 2u);
    c = std::move(c);  // self-move keeps the state
    EXPECT_EQ(c.native(), state);

    std::vector<qel::regex> v;
    for (const char* p : {"a", "b", "c", "d", "e"}) v.emplace_back(p);  // reallocation moves them
    EXPECT_EQ(v[4].find("xe").value[0], "e");
}

TEST(WrapperRegex, StatusWordsAreTheToolsAndErrorNamesTheOffset) {
    struct Row {
        QelStatus status;
        const char* words;
    };
    for (const Row& r : {Row{qelErrRegExpGroup, "unbalanced group"}, Row{qelErrRegExpEscape, "bad escape"},
                         Row{qelErrRegExpCharClass, "bad character class"},
                         Row{qelErrRegExpReference, "reference to a missing group"},
                         Row{qelErrRegExpQuantifier, "bad quantifier"}, Row{qelErrRegExpOption, "bad option"},
                         Row{qelErrMatchLimit, "match limit exceeded"}, Row{qelErrLength, "bad length"},
                         Row{qelOk, "ok"}, Row{-12345, "error"}, Row{99, "warning"}})
        EXPECT_STREQ(qel::status_message(r.status), r.words) << r.status;

    struct Bad {
        const char* pattern;
        const char* options;
        const char* error;
    };
    for (const Bad& b : {Bad{"a(b", "", "unbalanced group at offset 3"}, Bad{"ab)", "", "unbalanced group at offset 2"},
                         Bad{"a**", "", "bad quantifier at offset 2"}, Bad{"abc", "q", "bad option at offset 0"},
                         Bad{"(a)\\2", "", "reference to a missing group at offset 4"}})
        EXPECT_EQ(qel::regex(b.pattern, b.options).error(), b.error) << b.pattern;
    EXPECT_EQ(qel::regex("a(b)").error(), "");
    EXPECT_EQ(qel::regex().error(), "null pointer");
}

// find(subject, pos) against the matcher tried at every position from pos
// on with the whole subject before it: the first position that matches, with
// its groups. Context-reading patterns over short random subjects, every
// start position.
TEST(WrapperRegex, FindFromAnOffsetSeesTheWholeSubject) {
    struct Pattern {
        const char* text;
        const char* options;
    };
    const Pattern patterns[] = {
        {"\\b\\w+", ""},     {"\\B\\w", ""},          {"^a+", ""},        {"^\\w", "m"},        {"\\Aa|b", ""},
        {"(?<=a)b+", ""},    {"(?<!b)a", ""},          {"(?<=ab|ba)(\\w)", ""}, {"(?<=a\\s{2})b", ""},
        {"(a)(?<=\\w{3})b", ""}, {"a|(?<=b\\n)\\w", "m"}, {"x*", ""},     {"a\\b", ""},         {"(?i)(?<=A)B", ""},
        {"\\w+$", "m"},      {"b(?=a)", ""},
    };
    std::mt19937 rng(19);
    const char alphabet[] = "ab \nAB";
    for (const Pattern& pt : patterns) {
        qel::regex re(pt.text, pt.options);
        ASSERT_TRUE(re) << pt.text;
        QelRegExpState* oracle = nullptr;
        int32_t off = 0;
        ASSERT_EQ(qelsRegExpInitAlloc(pt.text, pt.options, &oracle, &off), qelOk);
        for (int round = 0; round < 60; ++round) {
            std::string s(rng() % 12, ' ');
            for (char& c : s) c = alphabet[rng() % (sizeof alphabet - 1)];
            for (std::size_t pos = 0; pos <= s.size(); ++pos) {
                qel::result<qel::match> got = re.find(s, pos);
                ASSERT_TRUE(got.ok());
                qel::re::CaptureRecord want[8];
                std::size_t at = pos;
                for (; at <= s.size(); ++at)
                    if (qel::re::match_at_for_test(oracle, reinterpret_cast<const Qel8u*>(s.data()), int32_t(s.size()),
                                                   int32_t(at), want, 8, nullptr) == 0)
                        break;
                const std::string where = std::string(pt.text) + " over \"" + s + "\" from " + std::to_string(pos);
                if (at > s.size()) {
                    EXPECT_EQ(got.value.size(), 0u) << where;
                    continue;
                }
                ASSERT_GT(got.value.size(), 0u) << where;
                EXPECT_EQ(got.value.position(), at) << where;
                EXPECT_EQ(got.value[0].size(), std::size_t(want[0].length)) << where;
                for (std::size_t k = 1; k < got.value.size(); ++k)
                    EXPECT_EQ(got.value[k].data(), reinterpret_cast<const char*>(want[k].pointer)) << where << " group " << k;
            }
        }
        qelsRegExpFree(oracle);
    }

    // Beyond the end nothing is found; at the end an empty match still is.
    qel::regex star("x*");
    EXPECT_EQ(star.find("ab", 3).value.size(), 0u);
    EXPECT_EQ(star.find("ab", 2).value.position(), 2u);
    // Look-behind over multi-byte characters, from offsets both nearer the
    // start than it reaches and farther: each match of a whole-subject search
    // is found from its own start and from every byte after the previous one.
    std::string text;
    for (int i = 0; i < 6; ++i) text += "\xc3\xa9\xe2\x82\xacz ";
    for (const char* pattern : {"(?<=..)z", "(?<=[\xc3\xa9][\xe2\x82\xac])z|\\b\\s"}) {
        qel::regex wide(pattern);
        qel::result<std::vector<qel::match>> all = wide.find_all(text);
        ASSERT_GE(all.value.size(), 6u) << pattern;
        std::size_t from = 0;
        for (const qel::match& m : all.value) {
            for (std::size_t pos = from; pos <= m.position(); ++pos) {
                qel::result<qel::match> got = wide.find(text, pos);
                EXPECT_EQ(got.value.position(), m.position()) << pattern << " from " << pos;
                EXPECT_EQ(got.value.end(), m.end()) << pattern << " from " << pos;
                EXPECT_EQ(got.value.subject().data(), text.data());
            }
            from = m.end() + 1;
        }
    }
}

// matches() must list exactly what find_all lists, groups included. The
// delicate part is what follows an empty match: the global search then
// tries a match of the next character alone at the same start ("|a" over
// "a" gives the empty match and then "a"), with that character's end as
// the subject's end.
TEST(WrapperRegex, MatchesWalksWhatFindAllReturns) {
    auto same_as_find_all = [](const qel::regex& re, const std::string& subject, const std::string& where) {
        qel::result<std::vector<qel::match>> all = re.find_all(subject);
        ASSERT_TRUE(all.ok()) << where;
        auto range = re.matches(subject);
        std::size_t i = 0;
        for (auto& m : range) {
            ASSERT_LT(i, all.value.size()) << where;
            const qel::match& want = all.value[i];
            ASSERT_EQ(m.size(), want.size()) << where << " match " << i;
            for (std::size_t k = 0; k < m.size(); ++k) {
                EXPECT_EQ(m.participated(k), want.participated(k)) << where << " match " << i << " group " << k;
                EXPECT_EQ(m.position(k), want.position(k)) << where << " match " << i << " group " << k;
                EXPECT_EQ(m[k].size(), want[k].size()) << where << " match " << i << " group " << k;
            }
            ++i;
        }
        EXPECT_EQ(i, all.value.size()) << where;
        EXPECT_EQ(range.status(), qelOk) << where;
    };
    struct Row {
        const char* pattern;
        std::string subject;
    };
    const Row rows[] = {
        {"(\\w+)@(\\w+)", "a@b cc@dd e@"}, {"x*", "ab"}, {"a*", "baaab"}, {"\\b", "ab cd"}, {"(?<=a)b|c", "abcab"},
        {"^\\w", "ab\ncd"}, {"q", "abc"}, {"", ""}, {"\\w+", "h\xc3\xa9llo w\xc3\xb6rld"}, {"x*", "\xc3\xa9z"},
        {"|a", "aab"}, {"|\xc3\xa9", "\xc3\xa9\xc3\xa9"}, {"(?=a)|a$", "ab"}, {"(|b)(a)?", "ba"},
        {"(?<=a)|b", "abab"},
    };
    for (const Row& r : rows) same_as_find_all(qel::regex(r.pattern, "m"), r.subject, std::string(r.pattern) + " over " + r.subject);

    // Random patterns that can match empty or one character in several ways,
    // over random subjects with multi-byte characters and line feeds.
    const char* atoms[] = {"a", "b", "a?", "b*", "(a)", "(a|)", "(?=a)", "(?!b)", "(?<=a)", "\\b", "$", "^",
                           ".", "\xc3\xa9", "\\s", "[ab]{0,2}", "(?:|b)"};
    const char* pieces[] = {"a", "b", " ", "\n", "\xc3\xa9"};
    std::mt19937 rng(4);
    for (int round = 0; round < 300; ++round) {
        std::string pattern;
        for (int alt = 0, alts = 1 + int(rng() % 3); alt < alts; ++alt) {
            if (alt) pattern += "|";
            for (int k = 0, n = int(rng() % 3); k < n; ++k) pattern += atoms[rng() % std::size(atoms)];
        }
        const char* options = rng() % 2 ? "m" : "";
        qel::regex re(pattern, options);
        ASSERT_TRUE(re) << pattern;
        for (int t = 0; t < 4; ++t) {
            std::string subject;
            for (int k = 0, n = int(rng() % 8); k < n; ++k) subject += pieces[rng() % std::size(pieces)];
            same_as_find_all(re, subject, "/" + pattern + "/" + options + " over \"" + subject + "\"");
        }
    }
    // The loop may stop early; the range is an input range over a subject.
    qel::regex word("\\w+");
    std::string first;
    for (const qel::match& m : word.matches("one two three")) {
        first = m[0];
        break;
    }
    EXPECT_EQ(first, "one");
    qel::regex failed("(");
    auto none = failed.matches("abc");
    EXPECT_EQ(none.begin(), none.end());
    EXPECT_EQ(none.status(), qelErrRegExpGroup);
}

TEST(WrapperRegex, EmptySubjectReplacementIsTheTemplateOfTheEmptyMatch) {
    struct Row {
        const char* pattern;
        const char* tmpl;
        QelStatus status;
        const char* out;
    };
    const Row rows[] = {
        {"x*", "[$&]", qelOk, "[]"},        {"(a)?", "<$1>", qelOk, "<>"},  {"^$", "$$1\\x", qelOk, "$1x"},
        {"a", "[$&]", qelOk, ""},           {"x*", "$", qelErrRegExpReference, ""},
    };
    for (const Row& r : rows) {
        qel::regex re(r.pattern);
        for (bool all : {false, true}) {
            qel::result<std::string> got = all ? re.replace_all("", r.tmpl) : re.replace("", r.tmpl);
            EXPECT_EQ(got.status, r.status) << r.pattern << " " << r.tmpl;
            EXPECT_EQ(got.value, r.out) << r.pattern << " " << r.tmpl;
        }
    }
    EXPECT_EQ(qel::regex("a").replace_all("banana", "$$").value, "b$n$n$");
}

// A view longer than the library's 32-bit lengths is refused before a byte of
// it is read (only one byte behind the pointer exists).
TEST(WrapperRegex, SubjectsOf2GiBAndMoreAreRefused) {
    const char one = 'a';
    const std::string_view huge(&one, std::size_t(1) << 31);
    qel::regex re("a");
    EXPECT_EQ(re.find(huge).status, qelErrLength);
    EXPECT_EQ(re.find(huge, 5).status, qelErrLength);
    EXPECT_EQ(re.find_all(huge).status, qelErrLength);
    EXPECT_EQ(re.replace(huge, "b").status, qelErrLength);
    EXPECT_EQ(re.replace_all(huge, "b").status, qelErrLength);
    auto range = re.matches(huge);
    EXPECT_EQ(range.begin(), range.end());
    EXPECT_EQ(range.status(), qelErrLength);
    EXPECT_EQ(re.find(huge.substr(0, 1)).value.position(), 0u);
}

// One regex searched from several threads at once: every thread must get the
// matches of its own subject (run under ThreadSanitizer in CI).
TEST(WrapperRegex, OneRegexServesManyThreads) {
    const qel::regex re("(\\d+)-(\\w)");
    const qel::regex back("(?<=x)\\d");
    constexpr int kThreads = 4;
    std::vector<std::string> subjects;
    for (int t = 0; t < kThreads; ++t) {
        std::string s;
        for (int i = 0; i < 40; ++i) s += std::to_string(t * 1000 + i) + "-" + char('a' + t) + " x" + char('0' + t) + " ";
        subjects.push_back(s);
    }
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string& s = subjects[std::size_t(t)];
            const std::string letter(1, char('a' + t));
            for (int round = 0; round < 200; ++round) {
                std::size_t n = 0;
                for (const qel::match& m : re.matches(s)) {
                    if (m.subject().data() != s.data() || m[2] != letter || m.position() >= s.size()) ++wrong[t];
                    ++n;
                }
                if (n != 40) ++wrong[t];
                qel::result<std::vector<qel::match>> all = re.find_all(s);
                if (all.value.size() != 40 || all.value.back()[0].data() < s.data()) ++wrong[t];
                if (re.replace_all(s, "$2").value.find(letter + " x") != 0) ++wrong[t];
                qel::result<qel::match> b = back.find(s, std::size_t(round % 100));
                if (b.value.size() != 1 || b.value[0] != std::string(1, char('0' + t))) ++wrong[t];
            }
        });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[std::size_t(t)], 0) << "thread " << t;
}

TEST(WrapperPatternSet, SearchReportsEachSlotLikeASingleFind) {
    qel::regex cat("cat"), dog("d(o)g"), none("zebra"), bad("(");
    qel::pattern_set set(4);
    ASSERT_TRUE(set);
    EXPECT_EQ(set.add(cat, 1), qelOk);
    EXPECT_EQ(set.add(dog, 2), qelOk);
    EXPECT_EQ(set.add(none, 3), qelOk);
    EXPECT_EQ(set.add(bad, 4), qelErrNullPtr);
    EXPECT_EQ(set.add(cat, 0), qelErrBadArg);

    const std::string_view text = "hotdog catalog";
    qel::result<std::vector<qel::pattern_set::hit>> r = set.search(text);
    ASSERT_EQ(r.status, qelOk);
    ASSERT_EQ(r.value.size(), 3u);
    EXPECT_EQ(r.value[0].id, 1);
    ASSERT_EQ(r.value[0].matches.size(), 1u);
    // A set's match keeps its subject, as a single find's does.
    EXPECT_EQ(r.value[0].matches[0].position(), 7u);
    EXPECT_EQ(r.value[0].matches[0].subject().data(), text.data());
    EXPECT_EQ(r.value[1].matches[0].position(1), 4u);
    EXPECT_EQ(r.value[1].matches[0][1], "o");
    EXPECT_EQ(r.value[2].status, qelOk);
    EXPECT_TRUE(r.value[2].matches.empty());

    EXPECT_EQ(set.remove(2), qelOk);
    EXPECT_EQ(set.remove(2), qelErrNotFound);
    r = set.search(text);
    ASSERT_EQ(r.value.size(), 2u);
    EXPECT_EQ(r.value[1].id, 3);
    EXPECT_EQ(set.search("").status, qelErrSize);  // the set search refuses an empty subject

    qel::pattern_set empty(0);
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.add(cat, 1), qelErrSize);
    EXPECT_EQ(empty.search("x").status, qelErrSize);
}

// Counting and listing every match through the set must give what each
// regex's own find_all gives, whatever the pattern's groups, empty matches
// and number of matches (beyond the set's first record arrays), and the
// buffers kept from call to call must not leak one subject's results into
// the next.
TEST(WrapperPatternSet, CountAndFindAllEqualEachRegexAlone) {
    const char* patterns[] = {"a", "(a)(b)?", "x*", "(?:ab)+", "^c", "(?m)^c", "b(?=a)", "zebra"};
    std::vector<qel::regex> res;
    for (const char* p : patterns) res.emplace_back(p);
    qel::pattern_set set(12);
    for (std::size_t i = 0; i < res.size(); ++i) ASSERT_EQ(set.add(res[i], int32_t(10 + i)), qelOk);

    std::string big;
    for (int i = 0; i < 7000; ++i) big += i % 5 ? "ab" : "c\n";
    const std::string subjects[] = {big, "cab\ncba", big.substr(0, 999), "q"};
    for (const std::string& subject : subjects) {
        auto counts = set.count(subject);
        auto all = set.find_all(subject);
        ASSERT_EQ(counts.status, qelOk);
        ASSERT_EQ(all.status, qelOk);
        ASSERT_EQ(counts.value.size(), res.size());
        ASSERT_EQ(all.value.size(), res.size());
        for (std::size_t i = 0; i < res.size(); ++i) {
            SCOPED_TRACE(std::string(patterns[i]) + " over " + std::to_string(subject.size()) + " bytes");
            auto want = res[i].find_all(subject);
            EXPECT_EQ(counts.value[i].id, int32_t(10 + i));
            EXPECT_EQ(counts.value[i].status, want.status);
            EXPECT_EQ(counts.value[i].count, int64_t(want.value.size()));
            ASSERT_EQ(all.value[i].matches.size(), want.value.size());
            for (std::size_t k = 0; k < want.value.size(); ++k) {
                const qel::match& a = all.value[i].matches[k];
                const qel::match& b = want.value[k];
                ASSERT_EQ(a.size(), b.size());
                for (std::size_t g = 0; g < b.size(); ++g) {
                    EXPECT_EQ(a.participated(g), b.participated(g));
                    EXPECT_EQ(a.position(g), b.position(g)) << "match " << k << " group " << g;
                    EXPECT_EQ(a[g].size(), b[g].size());
                }
            }
        }
    }
    // A slot freed and refilled takes the new regex's results.
    EXPECT_EQ(set.remove(10), qelOk);
    qel::regex b("b");
    ASSERT_EQ(set.add(b, 99), qelOk);
    auto counts = set.count("abba");
    ASSERT_EQ(counts.status, qelOk);
    EXPECT_EQ(counts.value[0].id, 99);
    EXPECT_EQ(counts.value[0].count, 2);
    EXPECT_EQ(set.count("").status, qelErrSize);
}

}  // namespace
