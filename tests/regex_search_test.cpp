// Search driver, replacement and start filter: behaviour tables, argument
// checks, guard-page subjects, the byte-set kernel against its plain loop,
// and the start filter against the unfiltered scan.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "regex/match/search_internal.h"
#include "support/guard.h"
#include "support/random.h"
#include "support/regex_compiled.h"
#include "support/regex_gen.h"

using namespace qel::re;

namespace {

using qeltest::Compiled;

using Records = std::vector<std::pair<int, int>>;  // {offset or -1 for null, length}

Records to_records(const std::string& subject, const std::vector<QelRegExpFind>& r, int32_t n) {
    Records out;
    const Qel8u* base = reinterpret_cast<const Qel8u*>(subject.data());
    for (int32_t i = 0; i < n; ++i)
        out.push_back({r[i].pointer ? static_cast<int>(r[i].pointer - base) : -1, r[i].length});
    return out;
}

struct FindResult {
    QelStatus status;
    int32_t count;
    Records records;
};

FindResult find(QelRegExpState* state, const std::string& subject, int32_t capacity, bool filter = true) {
    std::vector<QelRegExpFind> r(capacity > 0 ? capacity : 1);
    int32_t count = capacity;
    QelStatus st = search_with_filter(reinterpret_cast<const Qel8u*>(subject.data()),
                                      static_cast<int32_t>(subject.size()), state, r.data(), &count, 0, filter);
    FindResult fr{st, count, {}};
    if (st >= 0) fr.records = to_records(subject, r, count);
    return fr;
}

std::string show(const Records& r) {
    std::string s;
    for (auto& [o, l] : r) {
        s.append("{").append(std::to_string(o)).append(",").append(std::to_string(l)).append("}");
    }
    return s;
}

struct FindCase {
    const char* pattern;
    const char* options;
    int format;
    std::string subject;
    int32_t capacity;
    QelStatus status;
    Records records;
};

const FindCase kFindCases[] = {
    // empty subjects and empty matches
    {"x*", "", 1, "", 4, qelOk, {{0, 0}}},
    {"x*", "g", 1, "", 4, qelOk, {{0, 0}}},
    {"", "", 1, "ab", 4, qelOk, {{0, 0}}},
    {"", "g", 1, "ab", 8, qelOk, {{0, 0}, {1, 0}, {2, 0}}},
    {"x*", "g", 1, "ab", 8, qelOk, {{0, 0}, {1, 0}, {2, 0}}},
    {"a*", "g", 1, "aaa", 8, qelOk, {{0, 3}, {3, 0}}},
    {"abc", "g", 1, "abcabc", 10, qelOk, {{0, 3}, {3, 3}}},
    // record layout: captures only in a global search, whole match first otherwise
    {"(a)(b)", "g", 1, "abab", 10, qelOk, {{0, 1}, {1, 1}, {2, 1}, {3, 1}}},
    {"(a)(b)", "", 1, "abab", 2, qelWrnFindIncomplete, {{0, 2}, {0, 1}}},
    {"(a)(b)", "g", 1, "abab", 1, qelWrnFindIncomplete, {{0, 1}}},
    {"(a)(b)", "g", 1, "abab", 3, qelOk, {{0, 1}, {1, 1}, {2, 1}}},
    {"(a)|b", "", 1, "b", 4, qelOk, {{0, 1}, {-1, -1}}},
    {"a", "g", 1, "aaaa", 2, qelOk, {{0, 1}, {1, 1}}},
    // alternation of literals
    {"cat|dog", "", 1, "hotdog catalog", 4, qelOk, {{3, 3}}},
    {"cat|dog", "i", 1, "DOG", 4, qelOk, {{0, 3}}},
    {"dog|do", "", 1, "xdo dog", 4, qelOk, {{1, 2}}},
    {"do|dog", "", 1, "dog", 4, qelOk, {{0, 2}}},
    {"cat|dog", "", 1, "bird", 4, qelOk, {}},
    {"cat|dog", "g", 1, "dog cat", 4, qelOk, {{0, 3}, {4, 3}}},
    // anchoring modes
    {"^b", "m", 1, "a\nb", 4, qelOk, {{2, 1}}},
    {"^b", "", 1, "a\nb", 4, qelOk, {}},
    {"^a", "g", 1, "aaa", 4, qelOk, {{0, 1}}},
    {"^a", "gm", 1, "a\na\nba", 4, qelOk, {{0, 1}, {2, 1}}},
    {"\\Ga", "g", 1, "aaa", 4, qelOk, {{0, 1}}},
    {"\\Aa", "", 1, "ba", 4, qelOk, {}},
    {"^?a", "", 1, "ba", 4, qelOk, {{1, 1}}},
    {"^b|a", "", 1, "ba", 4, qelOk, {{0, 1}}},
    {"^b|a", "", 1, "ca", 4, qelOk, {{1, 1}}},
    {"\\bcat", "", 1, "concat cat", 4, qelOk, {{7, 3}}},
    // trailing-literal cut and leading-literal skip
    {"end", "i", 1, "the END", 4, qelOk, {{4, 3}}},
    {"end", "i", 1, "no match here", 4, qelOk, {}},
    {"a.*b", "", 1, "xaxbxbx", 4, qelOk, {{1, 5}}},
    {"a.*?b", "", 1, "xaxbxbx", 4, qelOk, {{1, 3}}},
    {"zzz", "g", 1, "abc", 4, qelOk, {}},
    {"b(?<=ab)", "", 1, "xbab", 4, qelOk, {{3, 1}}},
    // format: UTF-8 starts only at character boundaries
    {"\\Cb", "", 1, "\xC3\xA9"
                    "b",
     4, qelOk, {}},
    {"\\Cb", "", 0, "\xC3\xA9"
                    "b",
     4, qelOk, {{1, 2}}},
    // an empty match in UTF-8 steps a whole character; bytes in format 0
    {"x*", "g", 1, "\xC3\xA9", 8, qelOk, {{0, 0}, {2, 0}}},
    {"x*", "g", 0, "\xC3\xA9", 8, qelOk, {{0, 0}, {1, 0}, {2, 0}}},
    {"|.", "g", 1, "\xC3\xA9", 8, qelOk, {{0, 0}, {0, 2}, {2, 0}}},
    {"|.", "g", 0, "\xC3\xA9", 8, qelOk, {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}}},
    {"|ab", "g", 1, "ab", 8, qelOk, {{0, 0}, {1, 0}, {2, 0}}},
    // a look-ahead or an end assertion reads past the match: no window cut
    {"a(?=bc)b", "", 1, "abc", 4, qelOk, {{0, 2}}},
    {"a(?!bc)b", "", 1, "abc", 4, qelOk, {}},
    {"a(?!bc)b", "", 1, "abcab", 4, qelOk, {{3, 2}}},
    {"a$\\n", "", 1, "a\nb", 4, qelOk, {}},
    {"a$\\n", "", 1, "xa\n", 4, qelOk, {{1, 2}}},
    {"a\\Z\\n", "", 1, "a\nb", 4, qelOk, {}},
    // a repeat before an end anchor tries only line feeds and the window end
    {"a\\s*$", "m", 1, "a \n \nb", 4, qelOk, {{0, 4}}},
    {"a\\s*$", "", 1, "a \n \nb", 4, qelOk, {}},
    {"\\s*$", "", 1, "a \n", 4, qelOk, {{1, 2}}},
    {"[^b]+?\\Z", "", 1, "ab\n", 4, qelOk, {{2, 1}}},
    {"x+?$", "m", 0, "xx\nx", 4, qelOk, {{0, 2}}},
    {"(?i)x*$", "m", 1, "xX\n", 4, qelOk, {{0, 2}}},
    // options go back to the pattern's own at every new start position
    {"a|(?i)b|c", "", 1, "xA", 4, qelOk, {}},
    {"a|(?i)b|c", "", 1, "xB", 4, qelOk, {{1, 1}}},
};

TEST(RegExpFind, BehaviourTable) {
    for (const FindCase& c : kFindCases) {
        Compiled re(c.pattern, c.options, c.format);
        ASSERT_EQ(re.status, qelOk) << c.pattern;
        for (bool filter : {true, false}) {
            FindResult r = find(re.state, c.subject, c.capacity, filter);
            EXPECT_EQ(r.status, c.status) << c.pattern << " /" << c.options << " fmt " << c.format << " filter " << filter;
            EXPECT_EQ(r.records, c.records) << c.pattern << " /" << c.options << " fmt " << c.format << " over \""
                                            << c.subject << "\" got " << show(r.records);
        }
    }
}

TEST(RegExpFind, ArgumentChecksInOrderAndWriteNothing) {
    Compiled re("a(b)", "");
    const Qel8u subj[] = {'a', 'b'};
    QelRegExpFind r[2] = {{subj, 77}, {subj, 77}};
    int32_t count = 2;
    auto untouched = [&] { return r[0].length == 77 && r[1].length == 77 && count == 2; };

    EXPECT_EQ(qelsRegExpFind_8u(nullptr, 2, re.state, r, &count), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpFind_8u(subj, 2, nullptr, r, &count), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpFind_8u(subj, 2, re.state, nullptr, &count), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpFind_8u(subj, 2, re.state, r, nullptr), qelErrNullPtr);
    EXPECT_TRUE(untouched());

    std::vector<uint8_t> junk(state_size_for(4), 0);
    auto* bad = reinterpret_cast<QelRegExpState*>(junk.data());
    EXPECT_EQ(qelsRegExpFind_8u(subj, -1, bad, r, &count), qelErrLength);
    count = 0;
    EXPECT_EQ(qelsRegExpFind_8u(subj, 2, bad, r, &count), qelErrSize);
    count = 2;
    EXPECT_EQ(qelsRegExpFind_8u(subj, 2, bad, r, &count), qelErrBadState);
    EXPECT_TRUE(untouched());

    EXPECT_EQ(qelsRegExpFind_8u(subj, 2, re.state, r, &count), qelOk);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(r[1].pointer, subj + 1);
}

TEST(RegExpFind, MatchLimit) {
    // A limit of 0 cuts the first step: the search gave up, it did not find
    // "no match".
    Compiled re("a", "");
    ASSERT_EQ(qelsRegExpSetMatchLimit(0, re.state), qelOk);
    FindResult r = find(re.state, "aaa", 4);
    EXPECT_EQ(r.status, qelErrMatchLimit);

    // A negative budget cannot be set through the API; a state carrying one
    // reports the limit instead of "not found".
    Compiled single("(a)", "");
    header(single.state)->matchLimit = -1;
    std::string s = "xa";
    QelRegExpFind out[4];
    int32_t count = 4;
    EXPECT_EQ(qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(s.data()), 2, single.state, out, &count),
              qelErrMatchLimit);
    EXPECT_EQ(count, 2);  // already cut down to the capture count

}

TEST(RegExpFind, Utf8Step) {
    struct Row {
        std::string bytes;
        int32_t remaining;
        int32_t step;
    } rows[] = {
        {"a", 1, 1},
        {"\xC3\xA9", 2, 2},
        {"\xC3\xA9", 1, 1},          // cut off by the window end
        {"\xE2\x82\xAC", 3, 3},
        {"\xF0\x9F\x98\x80", 4, 4},
        {"\xC0\xAF", 2, 1},          // overlong
        {"\xE0\x80\xAF", 3, 1},      // overlong
        {"\x80", 1, 1},              // stray continuation byte
        {"\xC3"
         "a",
         2, 1},                      // bad continuation
        {"\xFE\x80\x80\x80\x80\x80\x80", 7, 1},
        {"\xFC\x84\x80\x80\x80\x80", 6, 6},
        {"\xF8\x88\x80\x80\x80", 5, 5},
    };
    for (const Row& r : rows)
        EXPECT_EQ(utf8_step(reinterpret_cast<const uint8_t*>(r.bytes.data()), r.remaining), r.step)
            << "lead " << int(uint8_t(r.bytes[0]));
}

// Subjects flush against an inaccessible page on either side: nothing may be
// read outside them, whatever path the driver takes.
TEST(RegExpFind, GuardedSubjects) {
    const char* patterns[] = {"x*",  "a$",  "\\w+",     "abc",   "cab|abc", "b.*c",  "[a-c]+\\b", "\\s[a-z]{0,4}ca",
                              "c\\z", "^c", "(?<=b)c", "\\Cc",  "c(?=c)",  "x|y|c", ".",
                              "[ c]+$", "\\w+ ?\\Z", "\\b[a-c]{2,}\\b", "\\w+c\\b", "(?:b|c.)+a", "a(b|c.)*\\z"};
    std::string base;
    for (int i = 0; i < 90; ++i) base += "abc "[i % 4];
    base += "\xE2\x82";  // a sequence cut off by the end
    for (const char* p : patterns)
        for (const char* opts : {"", "g", "i", "gi"})
            for (int format : {0, 1})
                for (size_t len : {size_t(0), size_t(1), size_t(5), size_t(70), base.size()}) {
                    Compiled re(p, opts, format);
                    ASSERT_EQ(re.status, qelOk) << p;
                    std::vector<Qel8u> v(base.begin(), base.begin() + len);
                    for (bool atTail : {true, false}) {
                        qeltest::Guarded<Qel8u> g(v, atTail);
                        QelRegExpFind out[64];
                        int32_t count = 64;
                        QelStatus st = qelsRegExpFind_8u(g.data(), static_cast<int32_t>(len), re.state, out, &count);
                        EXPECT_GE(st, 0) << p;
                    }
                }
}

// ---- Byte-set search: the vector kernel against the plain loop. ----

TEST(ByteSetFind, MatchesScalarOverAlignmentsAndLengths) {
    std::mt19937 rng(7);
    std::vector<uint8_t> data = qeltest::random_units<uint8_t>(300, 11);
    for (int trial = 0; trial < 12; ++trial) {
        ByteSet set{};
        int members = 1 + static_cast<int>(rng() % (trial < 6 ? 4 : 60));
        for (int i = 0; i < members; ++i) set.add(static_cast<uint8_t>(rng()));
        set.build_rows();
        for (int32_t len = 0; len <= 100; ++len)
            for (int32_t align = 0; align < 33; align += (len < 40 ? 1 : 8)) {
                std::vector<uint8_t> v(data.begin() + align, data.begin() + align + len);
                for (bool atTail : {true, false}) {
                    qeltest::Guarded<uint8_t> g(v, atTail);
                    ASSERT_EQ(find_byteset_avx2(g.data(), len, set), find_byteset_scalar(g.data(), len, set))
                        << "len " << len << " align " << align;
                }
            }
    }
    // The hit in the last, overlapping vector (16 or 32 bytes wide).
    ByteSet one{};
    one.add(0xFF);
    one.build_rows();
    for (int32_t len = 16; len <= 70; ++len)
        for (int32_t at = 0; at < len; ++at) {
            std::vector<uint8_t> v(len, 0x41);
            v[at] = 0xFF;
            qeltest::Guarded<uint8_t> g(v, true);
            ASSERT_EQ(find_byteset(g.data(), len, one), at);
        }
}

// Runs of bytes outside a stop set, at least `len` long: the vector search
// folds two blocks at a time, so hits straddle a block edge, lie in the
// scalar rest after the last full pair of blocks, or come right at the end.
TEST(RunFind, MatchesScalarOverAlignmentsLengthsAndRunLengths) {
    std::vector<uint8_t> alphabet = {'a', 'b', '0', 'f', 'x', ' ', '\n', 0xE1};
    std::vector<uint8_t> data = qeltest::random_from<uint8_t>(400, 13, alphabet);
    ByteSet stop{};  // everything but [0-9a-f]
    for (int b = 0; b < 256; ++b)
        if (!((b >= '0' && b <= '9') || (b >= 'a' && b <= 'f'))) stop.add(static_cast<uint8_t>(b));
    stop.build_rows();
    for (int32_t len : {1, 2, 3, 4, 8, 16, 31, 32, 33})
        for (int32_t n = 0; n <= 140; ++n)
            for (int32_t align = 0; align < 33; align += (n < 70 ? 1 : 7)) {
                std::vector<uint8_t> v(data.begin() + align, data.begin() + align + n);
                for (bool atTail : {true, false}) {
                    qeltest::Guarded<uint8_t> g(v, atTail);
                    ASSERT_EQ(find_run_avx2(g.data(), n, stop, len), find_run_scalar(g.data(), n, stop, len))
                        << "len " << len << " n " << n << " align " << align;
                }
            }
    // One run of exactly `len` bytes (and one a byte short) anywhere in a
    // buffer of stop bytes.
    for (int32_t len : {2, 8, 32})
        for (int32_t n = 64; n <= 140; n += 19)
            for (int32_t at = 0; at + len <= n; ++at)
                for (int32_t run : {len - 1, len}) {
                    std::vector<uint8_t> v(n, ' ');
                    for (int32_t k = 0; k < run; ++k) v[at + k] = 'a';
                    qeltest::Guarded<uint8_t> g(v, true);
                    ASSERT_EQ(find_run(g.data(), n, stop, len), run == len ? at : -1)
                        << "len " << len << " n " << n << " at " << at;
                }
}

// All runs of a set at least `minLen` long: the vector form reads one
// classification per 32-byte block, short buffers as 16-byte pieces or
// single bytes, and the last block as the vector ending at the buffer end;
// runs straddle block edges, reach the end, and the record array fills up.
TEST(ByteSetRuns, MatchScalarOverAlignmentsLengthsAndCapacities) {
    std::vector<uint8_t> data = qeltest::random_from<uint8_t>(400, 17, {'a', 'b', '_', '7', ' ', '-', 0xC3, 0xA9});
    // Long runs too: a stretch of 70 set bytes crosses two block edges.
    std::fill(data.begin() + 150, data.begin() + 220, 'a');
    ByteSet set{};  // [a-z0-9_]
    for (int b = 0; b < 256; ++b)
        if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_') set.add(static_cast<uint8_t>(b));
    set.build_rows();
    for (int32_t minLen : {1, 2, 5})
        for (int32_t n = 0; n <= 140; ++n)
            for (int32_t align = 0; align < 33; align += (n < 70 ? 1 : 7))
                for (int32_t cap : {1, 3, 200}) {
                    const size_t from = static_cast<size_t>(align) + (n > 100 ? 110 : 0);
                    std::vector<uint8_t> v(data.begin() + from, data.begin() + from + n);
                    QelRegExpFind want[200], got[200];
                    const int32_t wantCount = byteset_runs_scalar(v.data(), n, set, minLen, want, cap);
                    for (bool atTail : {true, false}) {
                        qeltest::Guarded<uint8_t> g(v, atTail);
                        const int32_t count = byteset_runs(g.data(), n, set, minLen, got, cap);
                        ASSERT_EQ(count, wantCount) << "n " << n << " align " << align << " min " << minLen;
                        for (int32_t k = 0; k < count; ++k) {
                            ASSERT_EQ(got[k].pointer - g.data(), want[k].pointer - v.data()) << "n " << n << " run " << k;
                            ASSERT_EQ(got[k].length, want[k].length) << "n " << n << " run " << k;
                        }
                    }
                }
}

TEST(FoldedLiteralFind, BothDirectionsMatchScalarOverAlignmentsAndLengths) {
    // Letters of both cases and their neighbours in the byte table ("@[`{"),
    // which must not fold.
    std::vector<uint8_t> alphabet = {'a', 'A', 'b', 'B', '@', '[', '`', '{', 'z', 'Z', 0xE1, 0xC1};
    std::vector<uint8_t> data = qeltest::random_from<uint8_t>(400, 5, alphabet);
    const char* lits[] = {"a", "Ab", "ZA", "a@b", "[b`", "abAB", "bbbbbbbbbb", "zA{"};
    for (const char* lit : lits) {
        const auto* l = reinterpret_cast<const uint8_t*>(lit);
        int32_t len = static_cast<int32_t>(std::strlen(lit));
        for (int32_t n = 0; n <= 110; ++n)
            for (int32_t align = 0; align < 33; align += (n < 50 ? 1 : 7)) {
                std::vector<uint8_t> v(data.begin() + align, data.begin() + align + n);
                for (bool atTail : {true, false}) {
                    qeltest::Guarded<uint8_t> g(v, atTail);
                    ASSERT_EQ(find_folded_avx2(g.data(), n, l, len), find_folded_scalar(g.data(), n, l, len))
                        << lit << " n " << n << " align " << align;
                    ASSERT_EQ(rfind_folded_avx2(g.data(), n, l, len), rfind_folded_scalar(g.data(), n, l, len))
                        << "reverse " << lit << " n " << n << " align " << align;
                }
            }
    }
}

TEST(DoubledByteFind, MatchesScalarOverAlignmentsAndLengths) {
    std::vector<uint8_t> alphabet = {'a', 'A', 'b', '@', '`', 'z', 'Z', '1', 0xE1, 0xC1};
    std::vector<uint8_t> data = qeltest::random_from<uint8_t>(400, 9, alphabet);
    ByteSet word{};
    for (int b = 0; b < 256; ++b)
        if (std::isalnum(b) && b < 0x80) word.add(static_cast<uint8_t>(b));
    word.build_rows();
    for (bool folded : {false, true})
        for (int32_t n = 0; n <= 110; ++n)
            for (int32_t align = 0; align < 33; align += (n < 50 ? 1 : 7)) {
                std::vector<uint8_t> v(data.begin() + align, data.begin() + align + n);
                for (bool atTail : {true, false}) {
                    qeltest::Guarded<uint8_t> g(v, atTail);
                    ASSERT_EQ(find_doubled_avx2(g.data(), n, word, folded), find_doubled_scalar(g.data(), n, word, folded))
                        << "n " << n << " align " << align << " folded " << folded;
                }
            }
}

TEST(WordRunFind, MatchesScalarOverAlignmentsAndLengths) {
    // Capitals, the word bytes around them, a non-word member of one set
    // ('-') and a wide byte, which is no word byte.
    std::vector<uint8_t> alphabet = {'A', 'B', 'Z', '_', 'a', '1', ' ', '-', 0xC3, 'A', 'B', '_'};
    std::vector<uint8_t> data = qeltest::random_from<uint8_t>(400, 13, alphabet);
    ByteSet upper{}, dashed{};
    for (int b = 'A'; b <= 'Z'; ++b) upper.add(static_cast<uint8_t>(b));
    upper.add('_');
    dashed.add('-');
    dashed.add('A');
    upper.build_rows();
    dashed.build_rows();
    for (const ByteSet* set : {&upper, &dashed})
        for (int32_t m : {1, 2, 4, 7, 31, 32})
            for (bool wordBefore : {false, true})
                for (int32_t n = 0; n <= 140; ++n)
                    for (int32_t align = 0; align < 33; align += (n < 70 ? 3 : 11)) {
                        std::vector<uint8_t> v(data.begin() + align, data.begin() + align + n);
                        for (bool atTail : {true, false}) {
                            qeltest::Guarded<uint8_t> g(v, atTail);
                            ASSERT_EQ(find_word_run_avx2(g.data(), n, wordBefore, *set, m),
                                      find_word_run_scalar(g.data(), n, wordBefore, *set, m))
                                << "n " << n << " align " << align << " m " << m << " before " << wordBefore;
                        }
                    }
    // One run of exactly m capitals at each offset, after a lowercase word
    // that must not count, and the same run glued to that word.
    for (int32_t m : {4, 32})
        for (int32_t at = 1; at + m <= 130; ++at) {
            std::vector<uint8_t> v(130, 'a');
            for (int32_t k = 0; k < m; ++k) v[at + k] = 'Q';
            qeltest::Guarded<uint8_t> glued(v, true);
            ASSERT_EQ(find_word_run_avx2(glued.data(), 130, false, upper, m), -1) << at;
            v[at - 1] = ' ';
            qeltest::Guarded<uint8_t> apart(v, true);
            ASSERT_EQ(find_word_run_avx2(apart.data(), 130, false, upper, m), at) << at;
        }
}

// ---- Start filter. ----

TEST(StartFilter, DerivedFromThePattern) {
    struct Row {
        const char* pattern;
        const char* options;
        bool byteSet;
        const char* inSet;
        const char* notInSet;
        const char* literal;
        int32_t maxOffset;
    } rows[] = {
        {"[a-zA-Z]+ing", "", true, "aZ", "0 ", "ing", 0x7fffffff},
        {"\\s[a-zA-Z]{0,12}ing\\s", "", true, " \n", "a", "ing", 13},
        {"the", "i", true, "tT", "h", "the", 0},
        {"(?:x|y)?z", "", true, "xyz", "a", nullptr, 0},
        {"a*", "", false, "", "", nullptr, 0},
        {"(a)\\1", "", true, "a", "b", nullptr, 0},
        {"(\\w)\\1", "", true, "a_", " ", nullptr, 0},
        {"\\1?(a)", "", false, "", "", nullptr, 0},
        {"[^a]", "", true, "b\xC3\x80", "a", nullptr, 0},
        // A member from U+0080 to U+00FF takes its UTF-8 form too.
        {"[a-z\xC3\xA9]", "", true, "a\xC3\xE9", "0\x80", nullptr, 0},
        {"\\d+\\.\\d+", "", true, "09", "a.", nullptr, 0},
        {"(?=ab)\\w", "", true, "a", " _", nullptr, 0},  // the look-ahead decides the first byte
        {"x(?i)y", "", true, "xX", "y", nullptr, 0},
    };
    for (const Row& r : rows) {
        Compiled re(r.pattern, r.options);
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        StartFilter f;
        derive_start_filter(re.state, f);
        EXPECT_EQ(f.useByteSet, r.byteSet) << r.pattern;
        if (f.useByteSet) {
            for (const char* c = r.inSet; *c; ++c) EXPECT_TRUE(f.firstBytes.has(uint8_t(*c))) << r.pattern << " " << *c;
            for (const char* c = r.notInSet; *c; ++c) EXPECT_FALSE(f.firstBytes.has(uint8_t(*c))) << r.pattern << " " << *c;
        }
        if (r.literal && r.maxOffset != 0x7fffffff) {
            ASSERT_TRUE(f.useLiteral) << r.pattern;
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.literal), f.literalLen), r.literal);
            EXPECT_EQ(f.maxOffset, r.maxOffset) << r.pattern;
        } else if (!r.literal) {
            EXPECT_FALSE(f.useLiteral && f.literalLen > 1) << r.pattern;
        }
    }
}

// The filter may only skip positions where the attempt fails: every search
// returns the same records and status with it on and off.
TEST(StartFilter, SameResultsOnAndOff) {
    qeltest::RegexGen gen(20261210);
    static const char* const kOptions[] = {"", "g", "i", "gi", "m", "gs", "gm"};
    // Each filter form first, then random patterns.
    static const char* const kForms[] = {
        "(\\w)\\1", "([a-c])\\1", "(?i)(b)\\1", "(\\w)\\1+", "([ab])\\1|c", "[abc]+ing", "[a-c ]+\\.", "[ab]+?b",
        "\\w+@\\w", "[a-z]+://", "\\d{1,3}\\.\\d", "x[a-c]*yz", "[a-c]*\\d*?ab", "\\s[a-z]{0,3}ab\\s", "a.{0,4}bc",
        "(?:ab|c)?\\.", "[^a]+b", "b\\1?(a)", "\\xe9+b", "[\\x{e9}a]+b", "[^ ]+ab", "\\S+ab\\b", "\\D+?1b",
        ".{2,}ab", "[^a]*\\x{e9}c", "\\W\\S*bc",
    };
    constexpr int kFormCount = sizeof(kForms) / sizeof(kForms[0]);
    int compared = 0;
    for (int i = 0; i < 3000 + kFormCount * 7; ++i) {
        std::string pattern = i < kFormCount * 7 ? kForms[i / 7] : gen.broad();
        const char* opts = i < kFormCount * 7 ? kOptions[i % 7] : kOptions[gen.pick(7)];
        int format = static_cast<int>(gen.pick(2));
        Compiled re(pattern, opts, format);
        if (re.status != qelOk) continue;
        if (gen.pick(8) == 0) qelsRegExpSetMatchLimit(static_cast<int32_t>(gen.pick(12)), re.state);
        for (int s = 0; s < 3; ++s) {
            std::string subject = gen.subject(256 + gen.pick(300), gen.pick(2) == 0);
            int32_t capacity = 1 + static_cast<int32_t>(gen.pick(40));
            FindResult on = find(re.state, subject, capacity, true);
            FindResult off = find(re.state, subject, capacity, false);
            // The filter only skips attempts, so where the plain scan was not
            // cut the filtered one was not either; where it was, the filtered
            // scan may have been spared the attempt that was cut.
            if (off.status == qelErrMatchLimit) continue;
            ASSERT_EQ(on.status, off.status) << pattern << " /" << opts << " fmt " << format << " over " << subject;
            ASSERT_EQ(on.records, off.records)
                << pattern << " /" << opts << " fmt " << format << " over \"" << subject << "\"\n on " << show(on.records)
                << "\noff " << show(off.records);
            ++compared;
        }
    }
    EXPECT_GT(compared, 3000);
}

// Past its analysis budget the filter gives up on the rest of the pattern;
// what it derived before must still hold.
TEST(StartFilter, LongPatternsStayExact) {
    std::string nullableHead, longRun;
    for (int i = 0; i < 300; ++i) nullableHead += "[q#]?";  // absent from the subjects: no blow-up
    nullableHead += "c";
    for (int i = 0; i < 300; ++i) longRun += "[a-c]";
    longRun += "\\.x";
    qeltest::RegexGen gen(99);
    for (const std::string& pattern : {nullableHead, longRun, "[a-c]" + longRun})
        for (const char* opts : {"", "g"}) {
            Compiled re(pattern, opts);
            ASSERT_EQ(re.status, qelOk);
            for (int s = 0; s < 20; ++s) {
                std::string subject = gen.subject(300 + gen.pick(400), false);
                if (s % 4 == 0) subject += std::string(300, 'a') + ".x";
                FindResult on = find(re.state, subject, 8, true);
                FindResult off = find(re.state, subject, 8, false);
                ASSERT_EQ(on.status, off.status);
                ASSERT_EQ(on.records, off.records) << pattern.substr(0, 40);
            }
        }
}

// ---- Replacement. ----

struct Replaced {
    QelStatus status;
    std::string out;
    int32_t subjectLen;
    int32_t dstLen;
};

Replaced replace(const char* pattern, const char* options, int format, const char* tmpl, const std::string& subject,
                 int32_t dstCap, int32_t resultCap) {
    Compiled re(pattern, options, format);
    EXPECT_EQ(re.status, qelOk) << pattern;
    int32_t size = 0;
    EXPECT_EQ(qelsRegExpReplaceGetSize(tmpl, &size), qelOk);
    std::vector<uint8_t> rs(size);
    auto* state = reinterpret_cast<QelRegExpReplaceState*>(rs.data());
    EXPECT_EQ(qelsRegExpReplaceInit(tmpl, state), qelOk) << tmpl;
    std::vector<Qel8u> dst(dstCap > 0 ? dstCap : 1, '#');
    std::vector<QelRegExpFind> results(resultCap > 0 ? resultCap : 1);
    int32_t subjectLen = static_cast<int32_t>(subject.size());
    int32_t dstLen = dstCap;
    int32_t count = resultCap;
    QelStatus st = qelsRegExpReplace_8u(reinterpret_cast<const Qel8u*>(subject.data()), &subjectLen, dst.data(),
                                        &dstLen, results.data(), &count, re.state, state);
    return {st, std::string(dst.begin(), dst.begin() + (dstLen > 0 ? dstLen : 0)), subjectLen, dstLen};
}

TEST(RegExpReplace, BehaviourTable) {
    struct Row {
        const char* pattern;
        const char* options;
        int format;
        const char* tmpl;
        std::string subject;
        int32_t dstCap;
        int32_t resultCap;
        QelStatus status;
        std::string out;
        int32_t subjectLen;
    } rows[] = {
        {"b", "", 1, "[$&]", "abc", 10, 4, qelOk, "a[b]c", 3},
        {"b", "g", 1, "[$&]", "abcb", 10, 8, qelOk, "a[b]c[b]", 4},
        {"(a)(b)", "g", 1, "$2-$1", "abab", 10, 6, qelOk, "b-ab-a", 4},
        {"b", "g", 1, "", "abcb", 10, 8, qelOk, "ac", 4},
        {"b", "g", 1, nullptr, "abcb", 10, 8, qelOk, "ac", 4},
        {"x*", "g", 1, "-", "ab", 10, 8, qelOk, "-a-b-", 2},
        {"x*", "g", 1, "-", "\xC3\xA9", 10, 8, qelOk, "-\xC3\xA9-", 2},
        {"x*", "g", 0, "-", "\xC3\xA9", 10, 8, qelOk, "-\xC3-\xA9-", 2},
        {"(a)", "", 1, "$1\\0", "a", 10, 4, qelOk, "a0", 1},
        {"a", "", 1, "x\\", "a", 10, 4, qelOk, "x", 1},
        {"a", "", 1, "\\$&", "a", 10, 4, qelOk, "a", 1},
        // "$$" is one dollar sign and reads nothing after it as a reference
        {"(a)", "", 1, "$$", "a", 10, 4, qelOk, "$", 1},
        {"(a)", "", 1, "x$$1$1$$", "a", 20, 4, qelOk, "x$1a$", 1},
        {"(a)", "", 1, "$$$$&", "a", 10, 4, qelOk, "$$&", 1},
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)", "", 1, "<$12>", "abcdefghijkl", 20, 13, qelOk, "<l>", 12},
        {"(a)", "", 1, "[$2]", "a", 10, 4, qelOk, "[]", 1},      // no such capture
        {"(a)|b", "", 1, "[$1]", "b", 10, 4, qelOk, "[]", 1},   // capture took no part
        {"(a)(b)", "", 1, "$2", "ab", 10, 2, qelWrnFindIncomplete, "", 2},  // capture 2 not returned
        {"(a)(b)", "g", 1, "<$1$2>", "abab", 10, 5, qelOk, "<ab><a>", 4},  // partial last set
        // no match: copied as far as it fits, a destination exactly as long as the subject takes it whole
        {"z", "", 1, "X", "abc", 3, 4, qelOk, "abc", 3},
        {"z", "", 1, "X", "abc", 2, 4, qelOk, "ab", 2},
        // the room rule: every piece leaves one byte free
        {"b", "", 1, "[$&]", "abc", 5, 4, qelOk, "a[b]", 2},
        {"b", "", 1, "[$&]", "abc", 6, 4, qelOk, "a[b]c", 3},
        {"c", "", 1, "X", "abc", 2, 4, qelOk, "", 0},            // outcome A
        {"b", "", 1, "LONGTEXT", "abc", 4, 4, qelOk, "a", 1},    // outcome B
        {"b", "g", 1, "[$&]", "abcb", 7, 8, qelOk, "a[b]c", 3},  // outcome B at the second match
        {"b", "g", 1, "", "abcb", 2, 8, qelOk, "a", 2},          // outcome A at the second gap
        {"b", "", 1, "", "abcc", 3, 8, qelOk, "a", 2},           // the tail does not fit
        // with "g" only the returned matches are replaced
        {"b", "g", 1, "X", "bbbb", 10, 2, qelOk, "XXbb", 4},
    };
    for (const Row& r : rows) {
        Replaced got = replace(r.pattern, r.options, r.format, r.tmpl, r.subject, r.dstCap, r.resultCap);
        const char* t = r.tmpl ? r.tmpl : "(null)";
        EXPECT_EQ(got.status, r.status) << r.pattern << " " << t << " over " << r.subject;
        EXPECT_EQ(got.out, r.out) << r.pattern << " " << t << " over " << r.subject << " dst " << r.dstCap;
        EXPECT_EQ(got.subjectLen, r.subjectLen) << r.pattern << " " << t << " over " << r.subject << " dst " << r.dstCap;
    }
}

TEST(RegExpReplace, TemplateParsing) {
    int32_t size = 0;
    EXPECT_EQ(qelsRegExpReplaceGetSize(nullptr, &size), qelOk);
    EXPECT_EQ(size, 16);
    EXPECT_EQ(qelsRegExpReplaceGetSize("abc", &size), qelOk);
    EXPECT_EQ(size, 64);
    EXPECT_EQ(qelsRegExpReplaceGetSize("abc", nullptr), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpReplaceInit("abc", nullptr), qelErrNullPtr);
    for (const char* bad : {"$", "$x", "$0", "ab$", "a$00b", "$&$", "$$$", "$$\\$"}) {
        std::vector<uint8_t> rs(16 + 16 * std::strlen(bad));
        EXPECT_EQ(qelsRegExpReplaceInit(bad, reinterpret_cast<QelRegExpReplaceState*>(rs.data())), qelErrRegExpReference)
            << bad;
    }
}

TEST(RegExpReplace, ArgumentChecksAndFailedSearches) {
    Compiled re("b", "");
    std::vector<uint8_t> rsBlock(64);
    auto* rs = reinterpret_cast<QelRegExpReplaceState*>(rsBlock.data());
    ASSERT_EQ(qelsRegExpReplaceInit("X", rs), qelOk);
    const Qel8u subj[] = {'a', 'b', 'c'};
    Qel8u dst[8];
    QelRegExpFind r[4];
    int32_t sl = 3, dl = 8, rc = 4;
    EXPECT_EQ(qelsRegExpReplace_8u(nullptr, &sl, dst, &dl, r, &rc, re.state, rs), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpReplace_8u(subj, nullptr, dst, &dl, r, &rc, re.state, rs), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, dst, &dl, r, &rc, nullptr, rs), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, nullptr, &dl, r, &rc, re.state, rs), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, dst, &dl, r, &rc, re.state, nullptr), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, dst, nullptr, r, &rc, re.state, rs), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, dst, &dl, r, nullptr, re.state, rs), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, dst, &dl, nullptr, &rc, re.state, rs), qelErrNullPtr);
    sl = 0;
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, dst, &dl, r, &rc, re.state, rs), qelErrSize);
    sl = 3;
    dl = 0;
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, dst, &dl, r, &rc, re.state, rs), qelErrSize);

    // A result capacity of 0: the search refuses it, the subject is copied.
    dl = 8;
    rc = 0;
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, dst, &dl, r, &rc, re.state, rs), qelErrSize);
    EXPECT_EQ(sl, 3);
    EXPECT_EQ(dl, 3);
    EXPECT_EQ(std::memcmp(dst, "abc", 3), 0);

    // A search that fails on the state writes nothing at all.
    std::memset(dst, '#', sizeof dst);
    sl = 3;
    dl = 8;
    rc = 4;
    header(re.state)->matchLimit = -1;
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, dst, &dl, r, &rc, re.state, rs), qelErrMatchLimit);
    EXPECT_EQ(sl, 3);
    EXPECT_EQ(dl, 8);
    EXPECT_EQ(dst[0], '#');
    header(re.state)->identifier = 0;
    EXPECT_EQ(qelsRegExpReplace_8u(subj, &sl, dst, &dl, r, &rc, re.state, rs), qelErrBadState);
    EXPECT_EQ(dl, 8);
    EXPECT_EQ(dst[0], '#');
}

TEST(RegExpReplace, GuardedBuffers) {
    for (const char* p : {"b", "x*", "c$", "(a)(b)|c"})
        for (const char* opts : {"", "g"}) {
            Compiled re(p, opts);
            std::vector<Qel8u> subject = {'a', 'b', 'c', 'a', 'b', 'c'};
            for (size_t len = 1; len <= subject.size(); ++len)
                for (int32_t cap = 1; cap <= 20; cap += 3)
                    for (bool atTail : {true, false}) {
                        std::vector<Qel8u> sv(subject.begin(), subject.begin() + len);
                        qeltest::Guarded<Qel8u> gs(sv, atTail);
                        std::string tmpl = "<$&$1$2>";
                        qeltest::GuardedRegion tr(tmpl.size() + 1);
                        char* t = tr.tail<char>(tmpl.size() + 1);
                        std::memcpy(t, tmpl.c_str(), tmpl.size() + 1);
                        std::vector<uint8_t> rs(16 + 16 * tmpl.size());
                        auto* state = reinterpret_cast<QelRegExpReplaceState*>(rs.data());
                        ASSERT_EQ(qelsRegExpReplaceInit(t, state), qelOk);
                        qeltest::GuardedRegion dr(static_cast<size_t>(cap));
                        Qel8u* dst = atTail ? dr.tail<Qel8u>(cap) : dr.head<Qel8u>(cap);
                        QelRegExpFind results[16];
                        int32_t sl = static_cast<int32_t>(len), dl = cap, rc = 16;
                        QelStatus st = qelsRegExpReplace_8u(gs.data(), &sl, dst, &dl, results, &rc, re.state, state);
                        EXPECT_GE(st, 0);
                        EXPECT_LE(dl, cap);
                        EXPECT_LE(sl, static_cast<int32_t>(len));
                    }
        }
}

}  // namespace
