// Behaviour of the backtracking matcher on hand-built node arrays: single
// items, repeats, groups and look-around, as tables of {pattern, subject,
// expected match and captures}. Every row runs with the subject flush against
// an inaccessible page on either side and with a state block that ends right
// after its last node.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "regex/match/match_internal.h"
#include "regex_match_fixture.h"

namespace {

using namespace qeltest;
using Span = std::pair<int, int>;  // offset, length; {-1, -1} = not set
constexpr Span kUnset{-1, -1};

struct Found {
    int start = -1;
    int len = -1;
    std::vector<Span> caps;
    std::vector<int32_t> budgets;  // budget after every attempt
};

// The leftmost match, trying every character boundary (the search driver's
// scan over start positions in UTF-8 format, reduced to what these tests need).
Found leftmost(BuiltState& st, const uint8_t* s, int32_t n) {
    Found f;
    const int32_t cc = header(st.state())->captureCount;
    std::vector<CaptureRecord> out;
    out.resize(size_t(cc));
    for (int32_t pos = 0; pos <= n; pos += pos < n ? read_utf8(s + pos, n - pos).length : 1) {
        int32_t budget = -12345;
        const int res = match_at_for_test(st.state(), s, n, pos, out.data(), cc, &budget);
        f.budgets.push_back(budget);
        if (res != 0) continue;
        f.start = int(out[0].pointer - s);
        f.len = out[0].length;
        for (int32_t i = 1; i < cc; ++i)
            f.caps.push_back(out[i].length < 0 ? kUnset : Span{int(out[i].pointer - s), int(out[i].length)});
        break;
    }
    return f;
}

struct Row {
    std::string what;
    Pat pat;
    std::string subject;
    int start;  // -1: no match
    int len;
    std::vector<Span> caps;
};

void check_rows(std::vector<Row>& rows) {
    for (Row& row : rows) {
        for (bool atTail : {true, false}) {
            std::vector<uint8_t> bytes(row.subject.begin(), row.subject.end());
            Guarded<uint8_t> subject(bytes, atTail);
            BuiltState st(row.pat);
            const Found f = leftmost(st, subject.data(), int32_t(bytes.size()));
            SCOPED_TRACE("pattern " + row.what + " on \"" + row.subject + "\"" + (atTail ? " (tail)" : " (head)"));
            EXPECT_EQ(f.start, row.start);
            if (row.start >= 0) {
                EXPECT_EQ(f.len, row.len);
                if (!row.caps.empty()) {
                    EXPECT_EQ(f.caps, row.caps);
                }
            }
            for (int32_t b : f.budgets) EXPECT_EQ(b, kDefaultMatchLimit);
        }
    }
}

void add(std::vector<Row>& rows, const char* what, const Pat& p, const std::string& subject, int start, int len = 0,
         std::vector<Span> caps = {}) {
    rows.push_back({what, p, subject, start, len, std::move(caps)});
}

constexpr uint32_t I = RE_OPT_IGNORECASE;
constexpr uint32_t M = RE_OPT_MULTILINE;
constexpr uint32_t S = RE_OPT_DOTALL;

TEST(RegexMatch, SingleItemsAndAnchors) {
    std::vector<Row> r;
    add(r, "a /i", Pat(I).chr('a'), "xA", 1, 1);
    add(r, "[ /i (not a letter)", Pat(I).chr('['), "{", -1);
    add(r, "abc", Pat().str("abc"), "xabABCabc", 6, 3);
    add(r, "abc /i", Pat(I).str("abc"), "xaBC", 1, 3);
    add(r, "a{b /i", Pat(I).str("a{b"), "A[B", -1);
    add(r, ".", Pat().predef('.'), "\n", -1);
    add(r, ". /s", Pat(S).predef('.'), "\n", 0, 1);
    add(r, ". on e-acute", Pat().predef('.').chr('$'), "\xC3\xA9$", 0, 3);
    add(r, "\\s (not VT)", Pat().predef('s'), "\v", -1);
    add(r, "\\s\\d\\w\\W\\S\\D", Pat().predef('s').predef('d').predef('w').predef('W').predef('S').predef('D'),
        "\f9_\xC3\xA9\xC3\xA9x", 0, 8);
    add(r, "\\w on a high byte", Pat().predef('w'), "\xC3\xA9", -1);
    add(r, "\\C\\C", Pat().any_byte().any_byte().chr('b'), "\xC3\xA9" "b", 0, 3);
    add(r, "a$", Pat().chr('a').anchor('$'), "a\nb", -1);
    add(r, "a$ before final LF", Pat().chr('a').anchor('$'), "a\n", 0, 1);
    add(r, "a$ /m", Pat(M).chr('a').anchor('$'), "a\nb", 0, 1);
    add(r, "^b", Pat().anchor('^').chr('b'), "a\nb", -1);
    add(r, "^b /m", Pat(M).anchor('^').chr('b'), "a\nb", 2, 1);
    add(r, "^\\z /m at the end", Pat(M).anchor('^').anchor('z'), "a\n", -1);
    add(r, "\\Z", Pat().chr('a').anchor('Z'), "a\n", 0, 1);
    add(r, "\\z", Pat().chr('a').anchor('z'), "a\n", -1);
    add(r, "\\A", Pat().anchor('A').chr('b'), "bb", 0, 1);
    add(r, "\\Gb", Pat().anchor('G').chr('b'), "ab", -1);
    add(r, "\\ba", Pat().anchor('b').chr('a'), "abc", 0, 1);
    add(r, "\\b\\s", Pat().anchor('b').predef('s'), " abc", -1);
    add(r, "\\B\\s", Pat().anchor('B').predef('s'), " abc", 0, 1);
    add(r, "c\\b", Pat().chr('c').anchor('b'), "abc", 2, 1);
    add(r, "line-start anchor", Pat().anchor(RE_ANCHOR_LINE_START).chr('b'), "ab\nb", 3, 1);
    add(r, "^? passes over", Pat().anchor('^').opt().chr('b'), "ab", 1, 1);
    add(r, "^+ never matches", Pat().anchor('^').plus().chr('a'), "ab", -1);
    add(r, "unknown anchor letter", Pat().anchor('q'), "a", -1);
    add(r, "(?i) then a", Pat().chr('x').setopts(I).chr('a'), "xA", 0, 2);
    add(r, "bare quantifier node", Pat().q(0, 1), "a", -1);
    add(r, "invalid kind", Pat().raw({0x1000001b, 0, 0, 0, 0, 0}), "a", -1);
    add(r, "empty pattern", Pat(), "ab", 0, 0);
    check_rows(r);
}

TEST(RegexMatch, ClassesAndCodePoints) {
    std::vector<Row> r;
    add(r, "[\\xE9] vs UTF-8 e-acute", Pat().cls().m_chr(0xE9).end(), "\xC3\xA9", 0, 2);
    add(r, "[\\xE9] vs lone byte", Pat().cls().m_chr(0xE9).end(), "\xE9", 0, 1);
    add(r, "[\\xC9] /i vs UTF-8 e-acute", Pat(I).cls().m_chr(0xC9).end(), "\xC3\xA9", 0, 2);
    add(r, "[\\xE9] vs other two-byte char", Pat().cls().m_chr(0xE9).end(), "\xC3\xA8", -1);
    add(r, "[\\xE0-\\xFF] vs UTF-8 e-acute", Pat().cls().m_range(0xE0, 0xFF).end(), "\xC3\xA9", 0, 2);
    add(r, "[\\xE0-\\xFF] vs lone byte", Pat().cls().m_range(0xE0, 0xFF).end(), "\xE9", 0, 1);
    add(r, "[^a]", Pat().cls(true).m_chr('a').end(), "a\xC3\xA9", 1, 2);
    add(r, "[]a]", Pat().cls().m_chr(']').m_chr('a').end(), "x]", 1, 1);
    add(r, "[a-c] /i", Pat(I).cls().m_range('a', 'c').end().chr('!'), "B!", 0, 2);
    add(r, "[A-C] /i", Pat(I).cls().m_range('A', 'C').end(), "xb", 1, 1);
    add(r, "[x] /i", Pat(I).cls().m_chr('x').end(), "X", 0, 1);
    add(r, "[\\d]", Pat().cls().m_predef('d').end(), "a5", 1, 1);
    add(r, "[complemented member]", Pat().cls().m_chr('a', true).end(), "ab", 1, 1);
    add(r, "[^complemented member]", Pat().cls(true).m_predef('d', true).end(), "a5", 1, 1);
    add(r, "[range 0x100-0x17F]", Pat().cls().m_range(0x100, 0x17F).end(), "a\xC4\x80", 1, 2);
    add(r, "[\\x{101}]", Pat().cls().m_uchar(0x101).end(), "\xC4\x80\xC4\x81", 2, 2);
    add(r, "\\x{E9}", Pat().uchar(0xE9), "\xE9\xC3\xA9", 1, 2);
    add(r, "\\x{41} /i", Pat(I).uchar(0x41), "xa", 1, 1);
    add(r, "block range", Pat().urange(0x400, 0x4FF), "a\xD0\x96", 1, 2);
    add(r, "negated block range", Pat().urange(0x400, 0x4FF, -1), "\xD0\x96" "a", 2, 1);
    add(r, "block range on invalid byte", Pat().urange(0xE0, 0xFF), "\xE9", 0, 1);
    add(r, "script ranges", Pat().uranges({0x30, 0x39, 0x600, 0x6FF}), "a\xD8\xA7", 1, 2);
    add(r, "empty script list", Pat().uranges({}), "a", -1);
    add(r, "negated empty script list", Pat().uranges({}, -1), "a", 0, 1);
    check_rows(r);
}

// Code-point data: properties, folding, extended characters.
TEST(RegexMatch, UnicodeItems) {
    std::vector<Row> r;
    add(r, "\\pL on e-acute", Pat().uprop(0x80), "1\xC3\xA9", 1, 2);
    add(r, "\\p{Lu}", Pat().uprop(0x82), "a\xC3\x89", 1, 2);
    add(r, "\\P{Lu}", Pat().uprop(0x82, -1), "\xC3\x89" "a", 2, 1);
    add(r, "\\p{Lo} in a bulk range", Pat().uprop(0x90), "a\xE4\xB8\x80", 1, 3);
    add(r, "\\p{Cn} unassigned", Pat().uprop(0x2010), "a\xCD\xB8", 1, 2);
    add(r, "\\pC not unassigned", Pat().uprop(0x2000), "\xCD\xB8", -1);
    add(r, "\\pL past the last record", Pat().uprop(0x80, -1), "\xF3\xA0\x88\x80", -1);
    add(r, "\\p{Lu}+", Pat().uprop(0x82).plus(), "aBC\xC3\x89" "d", 1, 4);
    add(r, "\\x{100} /i", Pat(I).uchar(0x100), "\xC4\x81", 0, 2);
    add(r, "\\x{E9} /i", Pat(I).uchar(0xE9), "\xC3\x89", 0, 2);
    add(r, "\\x{E9} case-sensitive", Pat().uchar(0xE9), "\xC3\x89", -1);
    add(r, "\\x{E01F0} /i unfolded", Pat(I).uchar(0xE01F0), "\xF3\xA0\x87\xB0", 0, 4);
    add(r, "[\\x{100}-\\x{101}] /i", Pat(I).cls().m_range(0x100, 0x101).end(), "\xC4\x80", 0, 2);
    add(r, "[\\x{E0}-\\x{FE}] /i folds the subject", Pat(I).cls().m_range(0xE0, 0xFE).end(), "\xC3\x80", 0, 2);
    add(r, "[\\x{E0}-\\x{FE}] without /i", Pat().cls().m_range(0xE0, 0xFE).end(), "\xC3\x80", -1);
    add(r, "[\\x{101}] /i", Pat(I).cls().m_uchar(0x101).end().plus(), "\xC4\x80\xC4\x81", 0, 4);
    add(r, "\\X on e + U+0301", Pat().grapheme().anchor('z'), "e\xCC\x81", 0, 3);
    add(r, "\\X on U+0301 alone", Pat().anchor('^').grapheme(), "\xCC\x81", -1);
    add(r, "\\X on an invalid byte", Pat().anchor('^').grapheme(), "\xFF", -1);
    add(r, "\\X: a bulk-range character is a base", Pat().grapheme(), "\xE4\xB8\x80\xCC\x81", 0, 5);
    add(r, "\\X ends at a bulk-range character", Pat().grapheme(), "e\xE4\xB8\x80", 0, 1);
    add(r, "\\X*e", Pat().grapheme().star().chr('!'), "e\xCC\x81" "a\xCC\x81\xCC\x82!", 0, 9);
    add(r, "\\X*? gives clusters", Pat().grapheme().star(true).anchor('z'), "e\xCC\x81" "a", 0, 4);
    add(r, "\\X+ gives back a cluster", Pat().grapheme().plus().chr('a'), "e\xCC\x81" "a", 0, 4);
    add(r, "\\X{2} then mark", Pat().grapheme().q(1, 2).uprop(0x100), "ee\xCC\x81", -1);
    add(r, "[\\X]", Pat().cls().m_grapheme().end().anchor('z'), "e\xCC\x81", 0, 3);
    add(r, "[\\X]* gives back clusters", Pat().cls().m_grapheme().end().star().chr('e'), "e\xCC\x81" "e", 0, 4);
    check_rows(r);
}

// The UTF-8 reading rule on invalid input: stray continuation bytes, bad
// continuations, overlong forms and cut-off sequences are one byte each;
// five- and six-byte forms are characters.
TEST(RegexMatch, Utf8ReadingRule) {
    std::vector<Row> r;
    add(r, ".b over an overlong pair", Pat().predef('.').chr('b'), "\xC0\x80" "b", 1, 2);
    add(r, ".b over a bad continuation", Pat().predef('.').chr('b'), "\xC3(b", 1, 2);
    add(r, ". over a cut-off sequence", Pat().predef('.').anchor('z'), "\xE2\x82", 1, 1);
    add(r, "^.$ five-byte form", Pat().anchor('^').predef('.').anchor('z'), "\xF8\x88\x80\x80\x80", 0, 5);
    add(r, "^.$ overlong five-byte form", Pat().anchor('^').predef('.').anchor('z'), "\xF8\x80\x80\x80\x80", -1);
    add(r, "^.$ six-byte form", Pat().anchor('^').predef('.').anchor('z'), "\xFC\x84\x80\x80\x80\x80", 0, 6);
    add(r, "^.$ 0xFE", Pat().anchor('^').predef('.').anchor('z'), "\xFE", 0, 1);
    add(r, "\\x{80} overlong", Pat().uchar(0), "\xC0\x80", -1);
    add(r, "\\D*b gives back whole characters", Pat().predef('D').star().chr('b'), "\xC3\xA9" "ab", 0, 4);
    add(r, ".*? stepping over invalid bytes", Pat().predef('.').star(true).chr('b'), "\xE2\x82\xC3\xA9\xFF" "b", 0, 6);
    add(r, ".{3}", Pat().predef('.').q(3, 3).anchor('z'), "\xC3\xA9\xA9\xE2\x82\xAC", 0, 6);
    add(r, ".{2}", Pat().predef('.').q(2, 2).anchor('z'), "\xC3\xA9\xA9\xE2\x82\xAC", 2, 4);
    check_rows(r);
}

TEST(RegexMatch, Repeats) {
    std::vector<Row> r;
    add(r, "a{2,3}", Pat().chr('a').q(2, 3), "aaaa", 0, 3);
    add(r, "a{2,3}?", Pat().chr('a').q(2, 3, true), "aaaa", 0, 2);
    add(r, "a{2}", Pat().chr('a').q(2, 2), "a", -1);
    add(r, "a+ /i", Pat(I).chr('a').plus(), "aAa", 0, 3);
    add(r, "a*?A /i", Pat(I).chr('a').star(true).chr('A'), "aaa", 0, 1);
    add(r, "\\d+x", Pat().predef('d').plus().chr('x'), "123x", 0, 4);
    add(r, "\\d+?x", Pat().predef('d').plus(true).chr('x'), "123x", 0, 4);
    add(r, "a*?x*b", Pat().chr('a').star(true).chr('x').star().chr('b'), "aab", 0, 3);
    add(r, "[a-c]*c", Pat().cls().m_range('a', 'c').end().star().chr('c'), "abcc", 0, 4);
    add(r, "[a-c]*?c", Pat().cls().m_range('a', 'c').end().star(true).chr('c'), "abcc", 0, 3);
    add(r, "[a-c]{2}", Pat().cls().m_range('a', 'c').end().q(2, 2), "xabc", 1, 2);
    add(r, "[a-c]+? at end", Pat().cls().m_range('a', 'c').end().plus(true).anchor('z'), "abc", 0, 3);
    add(r, ".*x", Pat().predef('.').star().chr('x'), "axbxc", 0, 4);
    add(r, ".*?x", Pat().predef('.').star(true).chr('x'), "axbxc", 0, 2);
    add(r, ".*x over LF", Pat().predef('.').star().chr('x'), "ab\nx", 3, 1);
    add(r, "a*a", Pat().chr('a').star().chr('a'), "aaa", 0, 3);
    add(r, "a{2,}b", Pat().chr('a').q(2, RE_UNBOUNDED).chr('b'), "ab aaab", 3, 4);
    add(r, "\\C*b", Pat().any_byte().star().chr('b'), "abab", 0, 4);
    add(r, "\\C*?b", Pat().any_byte().star(true).chr('b'), "abab", 0, 2);
    add(r, "\\C{3}", Pat().any_byte().q(3, 3), "ab", -1);
    add(r, "\\C{2,}?c", Pat().any_byte().q(2, RE_UNBOUNDED, true).chr('c'), "acbc", 0, 4);
    add(r, "(a)?\\1*b", Pat().cap().chr('a').close().opt().backref(1).star().chr('b'), "b", 0, 1, {kUnset});
    add(r, "(a)\\1+b", Pat().cap().chr('a').close().backref(1).plus().chr('b'), "aaab", 0, 4, {{0, 1}});
    add(r, "(ab)\\1{2}", Pat().cap().str("ab").close().backref(1).q(2, 2), "abababab", 0, 6, {{0, 2}});
    add(r, "(ab)\\1*?x", Pat().cap().str("ab").close().backref(1).star(true).chr('x'), "ababx", 0, 5);
    add(r, "(a)\\1* /i", Pat(I).cap().chr('a').close().backref(1).star(), "aAaB", 0, 3);
    add(r, "(a*)\\1+ empty capture", Pat().cap().chr('a').star().close().backref(1).plus().chr('b'), "b", 0, 1);
    add(r, "x\\1* unset", Pat().cap().chr('q').close().opt().chr('x').backref(1).q(1, 2), "x", -1);
    add(r, "\\w+", Pat().predef('w').plus(), "  hello_world1 ", 2, 12);
    add(r, "\\W+", Pat().predef('W').plus(), "ab \xC3\xA9-c", 2, 4);
    add(r, "\\s*?$", Pat().predef('s').star(true).anchor('z'), "a  ", 1, 2);
    add(r, "[\\w\\x{E9}]+", Pat().cls().m_predef('w').m_uchar(0xE9).end().plus(), "-ab\xC3\xA9" "c-", 1, 5);
    add(r, "\\x{E9}+", Pat().uchar(0xE9).plus(), "\xC3\xA9\xC3\xA9\xE9", 0, 4);
    add(r, "\\x{E9}*?$", Pat().uchar(0xE9).star(true).anchor('z'), "\xC3\xA9\xC3\xA9", 0, 4);
    add(r, "block{2}", Pat().urange(0x400, 0x4FF).q(2, 2), "\xD0\x96\xD0\x97\xD0\x98", 0, 4);
    add(r, "^? on quantified anchor then a*", Pat().anchor('$').star().chr('a'), "a", 0, 1);
    check_rows(r);
}

TEST(RegexMatch, GroupsAndAssertions) {
    std::vector<Row> r;
    add(r, "(a|ab)(c|bcd)(d*)",
        Pat().cap().chr('a').alt().str("ab").close().cap().chr('c').alt().str("bcd").close().cap().chr('d').star().close(),
        "abcd", 0, 4, {{0, 1}, {1, 3}, {4, 0}});
    add(r, "(a)*", Pat().cap().chr('a').close().star(), "aaa", 0, 3, {{2, 1}});
    add(r, "(a*)*b", Pat().cap().chr('a').star().close(-1).star().chr('b'), "aaab", 0, 4, {{3, 0}});
    add(r, "(ab)+?", Pat().cap().str("ab").close().plus(true), "abab", 0, 2, {{0, 2}});
    add(r, "(ab)+", Pat().cap().str("ab").close().plus(), "abab", 0, 4, {{2, 2}});
    add(r, "(a|b)*c", Pat().cap().chr('a').alt().chr('b').close().star().chr('c'), "abac", 0, 4, {{2, 1}});
    add(r, "(?:ab)*c", Pat().group().str("ab").close().star().chr('c'), "ababac", 5, 1);
    add(r, "(?:a|ab){2}c", Pat().group().chr('a').alt().str("ab").close().q(2, 2).chr('c'), "aabc", 0, 4);
    add(r, "(?:ab){2,}?", Pat().group().str("ab").close().q(2, RE_UNBOUNDED, true), "ababab", 0, 4);
    add(r, "(a){0}b", Pat().cap().chr('a').close().q(0, 0).chr('b'), "ab", 1, 1, {kUnset});
    add(r, "(?i:a){0}b", Pat().opts_group(I).chr('a').close().q(0, 0).chr('b'), "B", -1);
    add(r, "(?i:a)b", Pat().opts_group(I).chr('a').close().chr('b'), "AB Ab", 3, 2);
    add(r, "(?:a(?i)b|c)B", Pat().group().chr('a').setopts(I).chr('b').alt().chr('c').close().chr('B'), "aBb cB", 4, 2);
    add(r, "(a)|b", Pat().cap().chr('a').close().alt().chr('b'), "b", 0, 1, {kUnset});
    add(r, "(?:(a)b|ac)", Pat().group().cap().chr('a').close().chr('b').alt().str("ac").close(), "ac", 0, 2, {kUnset});
    add(r, "(a)(?:x|\\1)", Pat().cap().chr('a').close().group().chr('x').alt().backref(1).close(), "aa", 0, 2);
    add(r, "(?>a+)b", Pat().atomic().chr('a').plus().close().chr('b'), "aaab", 0, 4);
    add(r, "(?>a+)ab", Pat().atomic().chr('a').plus().close().str("ab"), "aaab", -1);
    add(r, "(?>a|ab)*c", Pat().atomic().chr('a').alt().str("ab").close().star().chr('c'), "ababc", 4, 1);
    add(r, "(?>ab)*c", Pat().atomic().str("ab").close().star().chr('c'), "ababc", 0, 5);
    add(r, "(?>ab){2}", Pat().atomic().str("ab").close().q(2, 2), "abxabab", 3, 4);
    add(r, "(?>a)*?b", Pat().atomic().chr('a').close().star(true).chr('b'), "aab", 0, 3);
    add(r, "(?>a){2,}?b", Pat().atomic().chr('a').close().q(2, RE_UNBOUNDED, true).chr('b'), "ab aab", 3, 3);
    add(r, "(?>x?)*y empty pass", Pat().atomic().chr('x').opt().close().star().chr('y'), "y", 0, 1);
    add(r, "x(?=y)", Pat().chr('x').ahead().chr('y').close(), "xy", 0, 1);
    add(r, "x(?!y)", Pat().chr('x').ahead(true).chr('y').close(), "xyxz", 2, 1);
    add(r, "(?=(a))a", Pat().ahead().cap().chr('a').close().close().chr('a'), "a", 0, 1, {{0, 1}});
    add(r, "(?=a|b)\\w", Pat().ahead().chr('a').alt().chr('b').close().predef('w'), "cb", 1, 1);
    add(r, "(?<=ab)c", Pat().behind(2).str("ab").close().chr('c'), "abc", 2, 1);
    add(r, "(?<!ab)c", Pat().behind(2, true).str("ab").close().chr('c'), "abc", -1);
    add(r, "(?<!ab)c on xbc", Pat().behind(2, true).str("ab").close().chr('c'), "xbc", 2, 1);
    add(r, "(?<=a)b at the start", Pat().behind(1).chr('a').close().chr('b'), "b", -1);
    add(r, "(?<!a)b at the start", Pat().behind(1, true).chr('a').close().chr('b'), "b", 0, 1);
    add(r, "(?<=\\x{E9})b steps back a character", Pat().behind(1).uchar(0xE9).close().chr('b'), "\xC3\xA9" "b", 2, 1);
    add(r, "(?<=x|y)z", Pat().behind(1).chr('x').alt().chr('y').close().chr('z'), "ayz", 2, 1);
    Pat cond = Pat().cap().chr('a').close().opt().cond().backref(1).chr('b').alt().chr('c').close();
    Pat cond2 = Pat().cap().chr('a').close().opt().cond().backref(1).chr('b').alt().chr('c').close();
    Pat cond3 = Pat().cap().chr('a').close().opt().cond().backref(1).chr('b').alt().chr('c').close();
    add(r, "(a)?(?(1)b|c) ab", cond, "ab", 0, 2);
    add(r, "(a)?(?(1)b|c) c", cond2, "c", 0, 1);
    add(r, "(a)?(?(1)b|c) ac", cond3, "ac", 1, 1);
    add(r, "(?(?=a)ab|cd)", Pat().cond().ahead().chr('a').close().str("ab").alt().str("cd").close(), "xcdab", 1, 2);
    add(r, "(?(1)b)c no-branch empty", Pat().cap().chr('a').close().opt().cond().backref(1).chr('b').close().chr('c'),
        "c", 0, 1);
    add(r, "(a)\\1", Pat().cap().chr('a').close().backref(1), "aa", 0, 2);
    add(r, "(a)\\1 /i", Pat(I).cap().chr('a').close().backref(1), "aA", 0, 2);
    add(r, "\\1(a)", Pat().backref(1).cap().chr('a').close(), "aa", -1);
    add(r, "(a*)b\\1 empty capture at the end", Pat().cap().chr('a').star().close().chr('b').backref(1), "b", 0, 1);
    // Record 0 after failed lazy repeats and failed group passes.
    add(r, "(?:a+?c|a)a*b", Pat().group().chr('a').plus(true).chr('c').alt().chr('a').close().chr('a').star().chr('b'),
        "aaab", 0, 4);
    add(r, "(?:ab|a)*?b", Pat().group().str("ab").alt().chr('a').close().star(true).chr('b'), "aab", 0, 3);
    add(r, "(?:aab|a)*ac", Pat().group().str("aab").alt().chr('a').close().star().str("ac"), "aaabaac", 0, 7);
    add(r, "(?:(a)|(b))*", Pat().group().cap().chr('a').close().alt().cap().chr('b').close().close().star(), "ab", 0, 2,
        {{0, 1}, {1, 1}});
    // Options do not leak out of a failed path into the copies a lazy repeat takes next.
    add(r, "a*?(?i)b", Pat().chr('a').star(true).setopts(I).chr('b'), "aAb", 2, 1);
    // An outer repeat re-enters an inner group from the inner group's continuation.
    add(r, "(?:(a|b)+?c)*d", Pat().group().cap().chr('a').alt().chr('b').close().plus(true).chr('c').close().star().chr('d'),
        "abcbacd", 0, 7, {{4, 1}});
    check_rows(r);
}

// Runs long enough for the vector scanners, with the first non-member at
// every offset around the vector width and a multi-byte character inside.
TEST(RegexMatch, LongRuns) {
    std::vector<Row> r;
    for (int n : {31, 32, 33, 63, 64, 65, 100}) {
        const std::string run = std::string(size_t(n), 'k');
        add(r, "[a-z]+", Pat().cls().m_range('a', 'z').end().plus(), "-" + run + "K", 1, n);
        add(r, "[a-z]+ /i", Pat(I).cls().m_range('a', 'z').end().plus(), run + "K-", 0, n + 1);
        add(r, "[^\\d]+", Pat().cls(true).m_predef('d').end().plus(), run + "\xC3\xA9" + run + "5", 0, 2 * n + 2);
        add(r, "[^x]*?q", Pat().cls(true).m_chr('x').end().star(true).chr('q'), run + "\xC3\xA9" + run + "qq", 0,
            2 * n + 3);
        add(r, "[a-z]*?q fails at a non-member", Pat().cls().m_range('a', 'z').end().star(true).chr('q'),
            run + "-q", int(n + 1), 1);
        add(r, "\\w*k", Pat().predef('w').star().chr('k'), run + "\xC3\xA9", 0, n);
        add(r, ".*?k$", Pat().predef('.').star(true).chr('k').anchor('z'), run + "\xC3\xA9k", 0, n + 3);
        add(r, "k*K /i", Pat(I).chr('k').star().chr('K'), run + "kK", 0, n + 2);
        add(r, "k{n-1}", Pat().chr('k').q(1, n - 1).anchor('z'), run, 1, n - 1);
        add(r, "[k\\x{E9}]*$", Pat().cls().m_chr('k').m_uchar(0xE9).end().star().anchor('z'), run + "\xC3\xA9" + run, 0,
            2 * n + 2);
    }
    check_rows(r);
}

// The same behaviour through the compiler and the public search, for the
// patterns as written: {pattern, options, subject, match, captures}.
struct ApiRow {
    const char* pattern;
    const char* options;
    std::string subject;
    int start;
    int len;
    std::vector<Span> caps;
};

TEST(RegexMatch, ThroughCompilerAndSearch) {
    const std::vector<ApiRow> rows = {
        {"a", "i", "A", 0, 1, {}},
        {"\\[", "i", "{", -1, 0, {}},
        {"\\s", "", "\v", -1, 0, {}},
        {"a$", "", "a\nb", -1, 0, {}},
        {"^b", "m", "a\nb", 2, 1, {}},
        {"[\xC3\xA0-\xC3\xBF]", "", "\xC3\xA9", 0, 2, {}},
        {"a{2,3}", "", "aaaa", 0, 3, {}},
        {"a{2,3}?", "", "aaaa", 0, 2, {}},
        {"a*?x*b", "", "aab", 0, 3, {}},
        {"\\D*b", "", "\xC3\xA9" "ab", 0, 4, {}},
        {"[a-c]*?c", "", "abcc", 0, 3, {}},
        {"(a)?\\1*b", "", "b", 0, 1, {kUnset}},
        {"(a|ab)(c|bcd)(d*)", "", "abcd", 0, 4, {{0, 1}, {1, 3}, {4, 0}}},
        {"(a)*", "", "aaa", 0, 3, {{2, 1}}},
        {"(a*)*b", "", "aaab", 0, 4, {{3, 0}}},
        {"(ab)+", "", "abab", 0, 4, {{2, 2}}},
        {"(?>a+)ab", "", "aaab", -1, 0, {}},
        {"x(?!y)", "", "xyxz", 2, 1, {}},
        {"(?<=ab)c", "", "abc", 2, 1, {}},
        {"(a)?(?(1)b|c)", "", "ac", 1, 1, {kUnset}},
        {"(a)\\1", "i", "aA", 0, 2, {{0, 1}}},
        {"\\X", "", "e\xCC\x81", 0, 3, {}},
        {"\\p{Lu}+", "", "a\xC3\x89" "B", 1, 3, {}},
        {"\\x{100}", "i", "\xC4\x81", 0, 2, {}},
        {"a*?(?i)b", "", "aAb", 2, 1, {}},
        {".*x", "", "ab\nx", 3, 1, {}},
        // A quantifier after a run written whole takes the run's last byte.
        {"\\Qab\\E*", "", "xabbb", 1, 4, {}},
        {"ab *c", "x", "abbbc", 0, 5, {}},
        {"ba(?#note)+", "", "cbaa", 1, 3, {}},
        {"(?<=\\Qab\\E{2})x", "", "ababx abbx", 9, 1, {}},
        // An option change inside a look-around ends with it, whichever
        // alternative succeeded.
        {"(?=(?-i)x|y)ya", "i", "yA", 0, 2, {}},
        {"(?<=(?-i)x|y)a", "i", "yA", 1, 1, {}},
        {"(?=(?s)x|\n).", "", "\n", -1, 0, {}},
    };
    for (const ApiRow& row : rows) {
        SCOPED_TRACE(std::string("pattern ") + row.pattern + " /" + row.options + " on \"" + row.subject + "\"");
        QelRegExpState* st = nullptr;
        int32_t err = 0;
        ASSERT_EQ(qelsRegExpInitAlloc(row.pattern, row.options, &st, &err), qelOk);
        std::vector<uint8_t> bytes(row.subject.begin(), row.subject.end());
        Guarded<uint8_t> subject(bytes, true);
        QelRegExpFind out[8];
        int32_t count = 8;
        const QelStatus status = qelsRegExpFind_8u(subject.data(), int32_t(bytes.size()), st, out, &count);
        EXPECT_EQ(status, qelOk);
        if (row.start < 0) {
            EXPECT_EQ(count, 0);
        } else if (count >= 1) {
            EXPECT_EQ(int(out[0].pointer - subject.data()), row.start);
            EXPECT_EQ(out[0].length, row.len);
            std::vector<Span> caps;
            for (int32_t i = 1; i < count; ++i)
                caps.push_back(out[i].length < 0 ? kUnset : Span{int(out[i].pointer - subject.data()), int(out[i].length)});
            if (!row.caps.empty()) {
                EXPECT_EQ(caps, row.caps);
            }
        } else {
            ADD_FAILURE() << "no match";
        }
        qelsRegExpFree(st);
    }
}

void check_api_rows(const std::vector<ApiRow>& rows) {
    for (const ApiRow& row : rows) {
        SCOPED_TRACE(std::string("pattern ") + row.pattern + " /" + row.options + " on \"" + row.subject + "\"");
        QelRegExpState* st = nullptr;
        int32_t err = 0;
        ASSERT_EQ(qelsRegExpInitAlloc(row.pattern, row.options, &st, &err), qelOk);
        std::vector<uint8_t> bytes(row.subject.begin(), row.subject.end());
        Guarded<uint8_t> subject(bytes, true);
        QelRegExpFind out[8];
        int32_t count = 8;
        EXPECT_EQ(qelsRegExpFind_8u(subject.data(), int32_t(bytes.size()), st, out, &count), qelOk);
        std::vector<Span> got;
        for (int32_t i = 0; i < count; ++i)
            got.push_back(out[i].length < 0 ? kUnset : Span{int(out[i].pointer - subject.data()), int(out[i].length)});
        std::vector<Span> want;
        if (row.start >= 0) {
            want.push_back({row.start, row.len});
            want.insert(want.end(), row.caps.begin(), row.caps.end());
        }
        EXPECT_EQ(got, want);
        qelsRegExpFree(st);
    }
}

// Pass counts and captures on backtracking: a pass counted on a path is
// uncounted when the path fails, captures report the successful path only,
// an empty pass below the minimum still counts, a group is unset until its
// first pass closes. Every row gives every capture.
TEST(RegexMatch, BacktrackingRestoresCountsAndCaptures) {
    check_api_rows({
        // Counted repeats: a pass is given back when an inner group retries.
        {"(?:(?:2|[0-9]x?)\\.){3}b", "", "1.2.b", -1, 0, {}},
        {"(()?a){2}", "", "a", -1, 0, {}},
        {"(?:(?:1+){2}){2}", "", "111", -1, 0, {}},
        {"((c|c)){2}", "", "c", -1, 0, {}},
        {"^(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)$", "", "15.18",
         -1, 0, {}},
        // Captures of failed paths, atomic groups and look-arounds.
        {"((?>(a))b|(a)c)", "", "ac", 0, 2, {{0, 2}, kUnset, {0, 1}}},
        {"((?>(a+)b)+(aabab))", "", "aaaabaaabaabab", 0, 14, {{0, 14}, {5, 3}, {9, 5}}},
        {"(?:(?=(a))b|a)", "", "a", 0, 1, {kUnset}},
        {"(?:(?!(a))|a)", "", "a", 0, 1, {kUnset}},
        {"(?=(a))a", "", "a", 0, 1, {{0, 1}}},
        // Passes never made.
        {"(x*.)*\\1", "", "xab", -1, 0, {}},
        {"(?:(\\S+)*X)", "", "aXa", 0, 2, {{0, 1}}},
        {"(\\D*|a)*.", "", "a", 0, 1, {{0, 0}}},
        {"()((b?)+)(?(3)d)", "", "b", -1, 0, {}},
        // An empty pass below the minimum counts as a pass.
        {"(|b){2}c", "", "bc", 0, 2, {{0, 1}}},
        {"(?:\\b|a){3}\\B", "", "aa", 0, 1, {}},
        {"(^|(.b)){2}\\d", "", "ab0", 0, 3, {{0, 2}, {0, 2}}},
        {"(?>(x?)){2}y", "", "y", 0, 1, {{0, 0}}},
        // Empty passes below a large minimum: the same answers as one level
        // of nesting per pass would give, without the nesting; a later pass
        // may still take another way, and a way that closed first and failed
        // leaves the next empty way to the plain order.
        {"(?:a?){5000}b", "", "b", 0, 1, {}},
        {"(a?|b){2000}c", "", "bc", 0, 2, {{0, 1}}},
        {"(a?" "?){2000}b", "", "ab", 0, 2, {{0, 1}}},
        {"(a|){2}ab", "", "ab", 0, 2, {{0, 0}}},
        {"(a|){3}ab", "", "aab", 0, 3, {{1, 0}}},
        // Two empty ways that set different captures are not the same pass.
        {"(?:|(a?)|b){3}\\1c", "", "bc", 0, 2, {{0, 0}}},
        // A group referenced inside itself is unset until it first closes;
        // in a later pass the reference sees the pass before.
        {"(\\1)", "", "", -1, 0, {}},
        {"((?(1)a))", "", "", 0, 0, {{0, 0}}},
        {"(a\\1?){3}", "", "aaaaa", 0, 4, {{3, 1}}},
        // Assertions after a group shaped like "(|a*)*".
        {"(?:|a*)*b(?!c)", "", "abc", -1, 0, {}},
        // A look-behind whose body starts with an atomic group holding a capture.
        {"(?<=(?>(x)|a)b)", "", "ab", 2, 0, {kUnset}},
        // Nested repeats that can match empty stay fast on short subjects.
        {"(?:b?)*?a", "", "bbbca", 4, 1, {}},
        {"((a|))*1.", "", "aa", -1, 0, {}},
        {"((1|()c|)){0,}0", "", "c1a0", 3, 1, {{3, 0}, {3, 0}, kUnset}},
        // An atomic pass may run past the last occurrence of the final literal.
        {"(?>(?:..)*)b", "", "abbx", -1, 0, {}},
        {"(?>(?:[^\n]?)+\n|b)aa", "", "baab\nb", -1, 0, {}},
    });
}

// A negated POSIX item accepts exactly the characters outside all its ranges.
TEST(RegexMatch, NegatedPosixItems) {
    check_api_rows({
        {"[[:^alpha:]]", "", "aZ!", 2, 1, {}},
        {"[[:^space:]]", "", "\n\t\x0Bx", 3, 1, {}},
        {"[[:^xdigit:]]+", "", "aF9g\xC3\xA9", 3, 3, {}},
        {"[[:^alnum:]]", "i", "aZ0_", 3, 1, {}},
        {"[[:^punct:]]", "", "!a", 1, 1, {}},
        {"[^[:^blank:]]", "", "a \t", 1, 1, {}},
        {"[[:^digit:][:^alpha:]]", "", "a", 0, 1, {}},
    });
}

// A look-behind steps back over characters, so a literal run in its body is
// measured in characters too: a window sized by the run's bytes starts too
// far back once enough characters precede the position.
TEST(RegexMatch, LookBehindMeasuresLiteralTextInCharacters) {
    check_api_rows({
        {"(?<=\xC3\xA9\xC3\xA9)z", "", "z \xC3\xA9\xC3\xA9z", 6, 1, {}},
        {"(?<!\xC3\xA9\xC3\xA9)z", "", "ab \xC3\xA9\xC3\xA9z", -1, 0, {}},
        {"(?<=a\xE2\x82\xAC)z", "", "xya\xE2\x82\xACz", 6, 1, {}},
        {"(?<=(\xF0\x9F\x98\x80" "b))z", "", "aaa\xF0\x9F\x98\x80" "bz", 8, 1, {{3, 5}}},
        // Alternatives of equal width in characters, different in bytes.
        {"(?<=\xC3\xA9|a)z", "", "xx\xC3\xA9z", 4, 1, {}},
        // A quantifier splits the run's last byte off, into the middle of a
        // character; the text is still measured as a whole.
        {"(?<=\xC3\xA9\xC3\xA9{1})z", "", "z \xC3\xA9\xC3\xA9z", 6, 1, {}},
        {"(?<=\xC3\xA9\xC3\xA9{2})z", "", "z \xC3\xA9\xC3\xA9\xA9z", 7, 1, {}},
        {"(?<=\xC3{2}\xA9)z", "", "ab\xC3\xC3\xA9z", 5, 1, {}},
        // Escaped bytes are literal text too.
        {"(?<=\\xC3\\xA9)z", "", "xx\xC3\xA9z", 4, 1, {}},
        // An item repeated "{0}" matches nothing and takes no room.
        {"(?<=ab{0})z", "", "az", 1, 1, {}},
        {"(?<=a(?:bc){0})z", "", "az", 1, 1, {}},
        {"(?<!x{0})z", "", "z", -1, 0, {}},
    });
    // Every match of a global search, not only those near the start.
    QelRegExpState* st = nullptr;
    int32_t err = 0;
    ASSERT_EQ(qelsRegExpInitAlloc("(?<=\xC3\xA9\xC3\xA9)z", "g", &st, &err), qelOk);
    const std::string s = "\xC3\xA9\xC3\xA9z \xC3\xA9\xC3\xA9z";
    QelRegExpFind out[4];
    int32_t count = 4;
    ASSERT_EQ(qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(s.data()), int32_t(s.size()), st, out, &count), qelOk);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(out[0].pointer - reinterpret_cast<const Qel8u*>(s.data()), 4);
    EXPECT_EQ(out[1].pointer - reinterpret_cast<const Qel8u*>(s.data()), 10);
    qelsRegExpFree(st);
}

// A state compiled into a block of exactly the reported size, flush against
// an inaccessible page: the node array may end right after the last node
// (".*" fills its block), so any peek past it would fault.
TEST(RegexMatch, ExactSizeStateBlocks) {
    const char* patterns[] = {".*", ".+", "a", "a*", "[ab]", "(a)", "(?>a)", "\\d+", "x\\b", "(a)\\1", "a|b*"};
    const std::string s = "xaab1";
    for (const char* pattern : patterns) {
        SCOPED_TRACE(pattern);
        int32_t size = 0;
        ASSERT_EQ(qelsRegExpGetSize(pattern, &size), qelOk);
        GuardedRegion region(size_t(size) + 1);
        auto* st = reinterpret_cast<QelRegExpState*>(region.tail<uint8_t>(size_t(size)));
        int32_t err = 0;
        ASSERT_EQ(qelsRegExpInit(pattern, "", st, &err), qelOk);
        QelRegExpFind out[4];
        int32_t count = 4;
        EXPECT_GE(qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(s.data()), int32_t(s.size()), st, out, &count), 0);
    }
}

// After an empty match a global search retries at the same start with empty
// matches refused; the end of a top-level alternative is the end of the
// pattern, so it refuses an empty match too (else the empty match at 0 would
// be reported twice).
TEST(RegexMatch, RejectEmptyAtTopLevelAlternativeEnd) {
    QelRegExpState* st = nullptr;
    int32_t err = 0;
    ASSERT_EQ(qelsRegExpInitAlloc("x*|y", "g", &st, &err), qelOk);
    const std::string s = "ab";
    QelRegExpFind out[8];
    int32_t count = 8;
    EXPECT_EQ(qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(s.data()), 2, st, out, &count), qelOk);
    ASSERT_EQ(count, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(out[i].pointer, reinterpret_cast<const Qel8u*>(s.data()) + i);
        EXPECT_EQ(out[i].length, 0);
    }
    qelsRegExpFree(st);
}

// A match limit of 0 cuts the first step; every attempt gives the budget back,
// and an attempt that ran out of depth says so (2) instead of failing.
TEST(RegexMatch, Budget) {
    const std::string s = "aaaa";
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    {
        BuiltState st(Pat(), 0);
        CaptureRecord out[1];
        int32_t budget = -1;
        EXPECT_EQ(match_at_for_test(st.state(), bytes, 4, 0, out, 1, &budget), 2);
        EXPECT_EQ(budget, 0);
    }
    for (int32_t limit : {1, 2, 3, 50}) {
        // "(a)*$": each pass nests about two steps, so small limits cut it short.
        BuiltState st(Pat().cap().chr('a').close().star().anchor('z'), limit);
        CaptureRecord out[2];
        int32_t budget = -1;
        const int res = match_at_for_test(st.state(), bytes, 4, 0, out, 2, &budget);
        EXPECT_EQ(budget, limit);
        EXPECT_EQ(res, limit == 50 ? 0 : 2) << limit;
    }
}

// The matcher never looks past the node count: a pattern whose last node is
// a repeatable item or a group must not peek for a quantifier beyond it (the
// fixture's state ends at an inaccessible page).
TEST(RegexMatch, NoPeekPastLastNode) {
    std::vector<Row> r;
    add(r, "a", Pat().chr('a'), "a", 0, 1);
    add(r, "[a]", Pat().cls().m_chr('a').end(), "a", 0, 1);
    add(r, "\\1", Pat().cap().chr('a').close().backref(1), "aa", 0, 2);
    add(r, "(a)", Pat().cap().chr('a').close(), "a", 0, 1);
    add(r, "(?>a)", Pat().atomic().chr('a').close(), "a", 0, 1);
    add(r, "(?=a)", Pat().ahead().chr('a').close(), "a", 0, 0);
    add(r, "$", Pat().anchor('$'), "a", 1, 0);
    add(r, ".*", Pat().anchor(RE_ANCHOR_LINE_START).predef('.').star(), "ab", 0, 2);
    add(r, "\\X", Pat().predef('.').grapheme(), "ab", 0, 2);
    check_rows(r);
}

}  // namespace
