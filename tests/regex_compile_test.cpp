// Pattern compiler: compiled node forms, every syntax error with its status
// and offset, header words, the state life cycle, and memory safety of
// compiling into blocks of exactly the reported size.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qelcore.h"
#include "regex/compile/compiler.h"
#include "support/guard.h"
#include "support/regex_dump.h"

namespace {

using qeltest::compile_pattern;
using namespace qel::re;

struct FormCase {
    const char* pattern;
    const char* options;
    const char* dump;
};

void check_forms(const std::vector<FormCase>& cases) {
    for (const auto& c : cases) {
        auto r = compile_pattern(c.pattern, c.options);
        EXPECT_EQ(r.dump(), c.dump) << "pattern \"" << c.pattern << "\" options " << (c.options ? c.options : "(null)");
    }
}

struct ErrorCase {
    const char* pattern;
    const char* options;
    QelStatus status;
    int32_t offset;
};

void check_errors(const std::vector<ErrorCase>& cases) {
    for (const auto& c : cases) {
        auto r = compile_pattern(c.pattern, c.options);
        EXPECT_EQ(r.status, c.status) << "pattern \"" << c.pattern << "\" dump " << r.dump();
        EXPECT_EQ(r.offset, c.offset) << "pattern \"" << c.pattern << "\"";
    }
}

TEST(RegexCompileForms, LiteralsAndQuantifiers) {
    check_forms({
        {"", nullptr, ""},
        {"a", nullptr, "CHAR 'a'"},
        {"abc", nullptr, "STRING 'abc'"},
        {"abc*", nullptr, "STRING 'ab' | CHAR 'c' | GREEDY 0,inf"},
        {"abc+", nullptr, "STRING 'ab' | CHAR 'c' | GREEDY 1,inf"},
        {"ab+", nullptr, "CHAR 'a' | CHAR 'b' | GREEDY 1,inf"},
        {"ab?c", nullptr, "CHAR 'a' | CHAR 'b' | GREEDY 0,1 | CHAR 'c'"},
        {"x{2,}", nullptr, "CHAR 'x' | GREEDY 2,inf"},
        {"x{2,}?", nullptr, "CHAR 'x' | LAZY 2,inf"},
        {"x{3}", nullptr, "CHAR 'x' | GREEDY 3,3"},
        {"x{2,5}", nullptr, "CHAR 'x' | GREEDY 2,5"},
        {"a{,3}", nullptr, "CHAR 'a' | GREEDY 0,3"},
        {"a{,}", nullptr, "CHAR 'a' | GREEDY 0,inf"},
        {"a{}", nullptr, "CHAR 'a' | GREEDY 0,0"},
        {"a{65535}", nullptr, "CHAR 'a' | GREEDY 65535,65535"},
        {"a{2", nullptr, "STRING 'a{2'"},
        {"a{a}", nullptr, "STRING 'a{a}'"},
        {"{", nullptr, "CHAR '{'"},
        {"a*?", nullptr, "CHAR 'a' | LAZY 0,inf"},
        {"a??", nullptr, "CHAR 'a' | LAZY 0,1"},
        {"\xC3\xA9+", nullptr, "CHAR 0xc3 | CHAR 0xa9 | GREEDY 1,inf"},
        {"a\x0b" "b", nullptr, "STRING 'a\\x0bb'"},
        // A run already written when the quantifier comes gives up its last
        // byte the same way.
        {"\\Qabc\\E*", nullptr, "STRING 'ab' | CHAR 'c' | GREEDY 0,inf"},
        {"\\Qab\\E+?", nullptr, "CHAR 'a' | CHAR 'b' | LAZY 1,inf"},
        {"ab(?#c){2}", nullptr, "CHAR 'a' | CHAR 'b' | GREEDY 2,2"},
        {"abc ?", "x", "STRING 'ab' | CHAR 'c' | GREEDY 0,1"},
        // A quantified non-capturing group stays a group whatever stands
        // between it and its quantifier.
        {"(?:ab) *", "x", "GROUP 1 len=1 | STRING 'ab' | CLOSE 1 o=0x8 | GREEDY 0,inf"},
        {"(?:ab)#c\n{2}", "x", "GROUP 1 len=1 | STRING 'ab' | CLOSE 1 o=0x8 | GREEDY 2,2"},
        {"(?:ab)(?#c)+", nullptr, "GROUP 1 len=1 | STRING 'ab' | CLOSE 1 | GREEDY 1,inf"},
        {"(?:(?x)ab) *", nullptr, "STRING 'ab' | CHAR 0x20 | GREEDY 0,inf"},
    });
}

TEST(RegexCompileForms, EscapesAndAnchors) {
    check_forms({
        {"\\.x", nullptr, "STRING '.x'"},
        {"\\hij", nullptr, "STRING 'hij'"},
        {"a\\Qb*c\\Ed", nullptr, "CHAR 'a' | STRING 'b*c' | CHAR 'd'"},
        {"\\Qa", nullptr, "CHAR 'a'"},
        {"\\Q\\E", nullptr, ""},
        {"\\Qab", nullptr, "STRING 'ab'"},
        {"a\\E", nullptr, "CHAR 'a'"},
        {"\\0\\012\\n\\t", nullptr, "CHAR 0x00 | CHAR 0x0a | CHAR 0x0a | CHAR 0x09"},
        {"\\a\\e\\f\\r\\v", nullptr, "CHAR 0x07 | CHAR 0x1b | CHAR 0x0c | CHAR 0x0d | CHAR 0x0b"},
        {"\\x41\\x4\\xg", nullptr, "CHAR 'A' | CHAR 0x04 | CHAR 0x00 | CHAR 'g'"},
        {"\\x{20AC}\\x{}", nullptr, "UCHAR 0x20ac | UCHAR 0x0"},
        {"\\x{ffffffff}", nullptr, "UCHAR 0xffffffff"},
        {"\\cA\\c[\\ca\\c;", nullptr, "CHAR 0x01 | CHAR 0x1b | CHAR 0x01 | CHAR '{'"},
        {"\\12", nullptr, "CHAR 0x0a"},
        {"\\19", nullptr, "CHAR 0x01 | CHAR '9'"},
        {"\\101", nullptr, "CHAR 'A'"},
        {"\\1011", nullptr, "CHAR 'A' | CHAR '1'"},
        {"(a)\\1", nullptr, "CAPTURE 1 len=1 cap=1 | CHAR 'a' | CLOSE 1 | BACKREF 1"},
        {"(a)(b)\\2", nullptr,
         "CAPTURE 1 len=1 cap=1 | CHAR 'a' | CLOSE 1 | CAPTURE 2 len=1 cap=2 | CHAR 'b' | CLOSE 2 | BACKREF 2"},
        {"^a$", nullptr, "ANCHOR ^ | CHAR 'a' | ANCHOR $"},
        {"\\A\\b\\B\\G\\Z\\z", nullptr, "ANCHOR A | ANCHOR b | ANCHOR B | ANCHOR G | ANCHOR Z | ANCHOR z"},
        {"\\C\\X", nullptr, "BYTE | GRAPHEME"},
        {"\\d\\D\\s\\S\\w\\W.", nullptr, "PREDEF d | PREDEF D | PREDEF s | PREDEF S | PREDEF w | PREDEF W | PREDEF ."},
    });
}

TEST(RegexCompileForms, PredefinedRepeatMerging) {
    check_forms({
        {"..", nullptr, "PREDEF . | GREEDY 2,2"},
        {"\\d\\d\\d", nullptr, "PREDEF d | GREEDY 3,3"},
        {"\\d\\d*", nullptr, "PREDEF d | GREEDY 1,inf"},
        {"\\d\\d+", nullptr, "PREDEF d | GREEDY 2,inf"},
        {"\\d\\d\\d+", nullptr, "PREDEF d | GREEDY 3,inf"},
        {"\\d?\\d", nullptr, "PREDEF d | GREEDY 1,2"},
        {"\\d{2}\\d", nullptr, "PREDEF d | GREEDY 3,3"},
        {"..*?", nullptr, "PREDEF . | LAZY 1,inf"},
        {"\\d*?\\d", nullptr, "PREDEF d | LAZY 1,inf"},
        {".\\d", nullptr, "PREDEF . | PREDEF d"},
        // The sum keeps the preference of the part that has one; parts that
        // disagree stay apart.
        {"\\w\\w{1,3}?", nullptr, "PREDEF w | LAZY 2,4"},
        {"\\d*?\\d+?", nullptr, "PREDEF d | LAZY 1,inf"},
        {"\\d+?\\d{2}", nullptr, "PREDEF d | LAZY 3,inf"},
        {"\\d{2}\\d*", nullptr, "PREDEF d | GREEDY 2,inf"},
        {"\\d{2}\\d{3}?", nullptr, "PREDEF d | GREEDY 5,5"},
        {"\\d*\\d+?", nullptr, "PREDEF d | GREEDY 0,inf | PREDEF d | LAZY 1,inf"},
        {"\\d*?\\d+", nullptr, "PREDEF d | LAZY 0,inf | PREDEF d | GREEDY 1,inf"},
        // Under "x" the quantifier after white space or a comment still
        // follows the item.
        {"\\d\\d +", "x", "PREDEF d | GREEDY 2,inf"},
        {". .#c\n ?", "x", "PREDEF . | GREEDY 1,2"},
        {"\\d\\d(?#c)+", nullptr, "PREDEF d | GREEDY 2,inf"},
        {"\\d(?#c)\\d (?#c)?", "x", "PREDEF d | GREEDY 1,2"},
        // Never into the last member of a bracket class.
        {"[a\\d]\\d", nullptr, "CLASS 2 | CHAR 'a' | PREDEF d | PREDEF d"},
        {"[a\\d]*\\d", nullptr, "CLASS 2 | CHAR 'a' | PREDEF d | GREEDY 0,inf | PREDEF d"},
        {"[\\d]\\d", nullptr, "PREDEF d | GREEDY 2,2"},
        {"\\w\\W", nullptr, "PREDEF w | PREDEF W"},
    });
}

// Merged predefined items must match what the written items match.
TEST(RegexCompileForms, MergedRepeatsMatchLikeTheirParts) {
    struct Row {
        const char* pattern;
        const char* subject;
        int32_t start, length;
    } rows[] = {
        {"\\w\\w{1,3}?", "abcdef", 0, 2},
        {"\\w\\w{1,3}", "abcdef", 0, 4},
        {"\\d+?\\d{0,2}", "12345", 0, 3},
        {"\\d*?\\d+", "12345", 0, 5},
        {"\\d\\d*?", "12345", 0, 1},
        {"[a\\d]\\d", "aa1", 1, 2},
        {"(?:(?x)a b)c d", "abc d", 0, 5},
    };
    for (const auto& r : rows) {
        auto c = compile_pattern(r.pattern);
        ASSERT_EQ(c.status, qelOk) << r.pattern;
        QelRegExpFind found[1] = {};
        int32_t count = 1;
        auto* subject = reinterpret_cast<const Qel8u*>(r.subject);
        auto* st = reinterpret_cast<QelRegExpState*>(c.block.data());
        ASSERT_EQ(qelsRegExpFind_8u(subject, int32_t(std::strlen(r.subject)), st, found, &count), qelOk) << r.pattern;
        ASSERT_EQ(count, 1) << r.pattern;
        EXPECT_EQ(found[0].pointer - subject, r.start) << r.pattern << " in " << r.subject;
        EXPECT_EQ(found[0].length, r.length) << r.pattern << " in " << r.subject;
    }
}

// Classes and property escapes come from their own parsers; here only how
// the compiler places them among the other nodes.
TEST(RegexCompileForms, ClassesAndPropertiesInPlace) {
    check_forms({
        {"[]a]", nullptr, "CLASS 2 | CHAR ']' | CHAR 'a'"},
        {"x[ab]+y", nullptr, "CHAR 'x' | CLASS 2 | CHAR 'a' | CHAR 'b' | GREEDY 1,inf | CHAR 'y'"},
        {"ab[c]", nullptr, "STRING 'ab' | CHAR 'c'"},
        {"(?<=[ab]c)", nullptr, "LOOKBEHIND -1 len=4 width=2 | CLASS 2 | CHAR 'a' | CHAR 'b' | CHAR 'c' | CLOSE -1"},
        {"(?:[ab]c)", nullptr, "CLASS 2 | CHAR 'a' | CHAR 'b' | CHAR 'c'"},
        {"\\pL+", nullptr, "UPROP 0x80 | GREEDY 1,inf"},
        {"a\\P{Lu}", nullptr, "CHAR 'a' | UPROP 0x82 neg"},
        {"(?<=\\p{InBasicLatin})", nullptr, "LOOKBEHIND -1 len=1 width=1 | URANGE 0x0-0x7f | CLOSE -1"},
    });
    check_errors({
        {"a[b", nullptr, qelErrRegExpCharClass, 3},
        {"\\p{Foo}", nullptr, qelErrRegExpEscape, 3},
        {"\\pq", nullptr, qelErrRegExpEscape, 2},
        {"(?<=\\p", nullptr, qelErrRegExpGroup, 6},
    });
}

TEST(RegexCompileForms, LeadingWildcardMarker) {
    check_forms({
        {".*abc", nullptr, "ANCHOR 128 | PREDEF . | GREEDY 0,inf | STRING 'abc'"},
        {".+", nullptr, "ANCHOR 128 | PREDEF . | GREEDY 1,inf"},
        {".*", nullptr, "ANCHOR 128 | PREDEF . | GREEDY 0,inf"},
        {"(?:.+)x", nullptr, "ANCHOR 128 | GROUP 1 len=2 | PREDEF . | GREEDY 1,inf | CLOSE 1 w3=1 | CHAR 'x'"},
        {".*?abc", nullptr, "PREDEF . | LAZY 0,inf | STRING 'abc'"},
        {".", nullptr, "PREDEF ."},
        {".a*", nullptr, "PREDEF . | CHAR 'a' | GREEDY 0,inf"},
    });
}

TEST(RegexCompileForms, Groups) {
    check_forms({
        {"(a)|b", nullptr, "CAPTURE 1 len=1 cap=1 | CHAR 'a' | CLOSE 1 | ALT 0 | CHAR 'b'"},
        {"(a|b)", nullptr, "CAPTURE 1 len=3 cap=1 | CHAR 'a' | ALT 1 | CHAR 'b' | CLOSE 1"},
        {"a|b|", nullptr, "CHAR 'a' | ALT 0 | CHAR 'b' | ALT 0"},
        {"((a)|b)", nullptr,
         "CAPTURE 1 len=5 cap=1 | CAPTURE 2 len=1 cap=2 | CHAR 'a' | CLOSE 2 | ALT 1 | CHAR 'b' | CLOSE 1"},
        {"()", nullptr, "CAPTURE 1 len=0 cap=1 | CLOSE 1"},
        {"(?:ab)c", nullptr, "STRING 'ab' | CHAR 'c'"},
        {"(?:ab)*", nullptr, "GROUP 1 len=1 | STRING 'ab' | CLOSE 1 | GREEDY 0,inf"},
        {"(?:a)*", nullptr, "CHAR 'a' | GREEDY 0,inf"},
        {"(?:a)", nullptr, "CHAR 'a'"},
        {"(?:a|b)c", nullptr, "GROUP 1 len=3 | CHAR 'a' | ALT 1 | CHAR 'b' | CLOSE 1 | CHAR 'c'"},
        {"(?:)", nullptr, "GROUP 1 len=0 | CLOSE 1"},
        {"(?:a)(b)", nullptr, "CHAR 'a' | CAPTURE 1 len=1 cap=1 | CHAR 'b' | CLOSE 1"},
        {"(a*)", nullptr, "CAPTURE 1 len=2 cap=1 | CHAR 'a' | GREEDY 0,inf | CLOSE 1 w3=1"},
        {"(a*)*", nullptr, "CAPTURE 1 len=2 cap=1 | CHAR 'a' | GREEDY 0,inf | CLOSE 1 w3=-1 | GREEDY 0,inf"},
        {"(ab*)+", nullptr, "CAPTURE 1 len=3 cap=1 | CHAR 'a' | CHAR 'b' | GREEDY 0,inf | CLOSE 1 | GREEDY 1,inf"},
        {"(?>a+)", nullptr, "ATOMIC -1 len=2 | CHAR 'a' | GREEDY 1,inf | CLOSE -1"},
        {"(?>a|b)", nullptr, "ATOMIC -1 len=3 | CHAR 'a' | ALT -1 | CHAR 'b' | CLOSE -1"},
        {"(?=a)", nullptr, "LOOKAHEAD -1 len=1 | CHAR 'a' | CLOSE -1"},
        {"(?!a)b", nullptr, "NLOOKAHEAD -1 len=1 | CHAR 'a' | CLOSE -1 | CHAR 'b'"},
        {"(a)(?=b)*c", nullptr, "CAPTURE 1 len=1 cap=1 | CHAR 'a' | CLOSE 1 | CHAR 'c'"},
        {"(?=b)+", nullptr, "LOOKAHEAD -1 len=1 | CHAR 'b' | CLOSE -1"},
        {"(?=b){2}c", nullptr, "LOOKAHEAD -1 len=1 | CHAR 'b' | CLOSE -1 | CHAR 'c'"},
        {"(?#comment)a", nullptr, "CHAR 'a'"},
        {"(?)a", nullptr, "CHAR 'a'"},
        {"(?#x)(a)", nullptr, "CAPTURE 1 len=1 cap=1 | CHAR 'a' | CLOSE 1"},
        {"(?i:a)", nullptr, "GROUP_OPTS 1 len=1 o=0x4 | CHAR 'a' | CLOSE 1"},
        {"(?i:a)b", "m", "GROUP_OPTS 1 len=1 o=0x6 | CHAR 'a' | CLOSE 1 o=0x2 | CHAR 'b'"},
        {"(a(?i)b)c", nullptr, "CAPTURE 1 len=3 cap=1 | CHAR 'a' | SETOPTS 0x4 | CHAR 'b' | CLOSE 1 | CHAR 'c'"},
        {"(a(?i)b|c)", nullptr,
         "CAPTURE 1 len=5 cap=1 | CHAR 'a' | SETOPTS 0x4 | CHAR 'b' | ALT 1 o=0x4 | CHAR 'c' | CLOSE 1"},
    });
}

TEST(RegexCompileForms, LookBehindWidthAndConditionals) {
    check_forms({
        {"(?<=ab|cd)x", nullptr,
         "LOOKBEHIND -1 len=3 width=2 | STRING 'ab' | ALT -1 | STRING 'cd' | CLOSE -1 | CHAR 'x'"},
        {"(?<=a{3})x", nullptr, "LOOKBEHIND -1 len=2 width=3 | CHAR 'a' | GREEDY 3,3 | CLOSE -1 | CHAR 'x'"},
        {"(?<!a)b", nullptr, "NLOOKBEHIND -1 len=1 width=1 | CHAR 'a' | CLOSE -1 | CHAR 'b'"},
        {"(?<=(ab){2})", nullptr,
         "LOOKBEHIND -1 len=4 width=4 | CAPTURE 2 len=1 cap=1 | STRING 'ab' | CLOSE 2 | GREEDY 2,2 | CLOSE -1"},
        {"(?<=\\d\\d.)", nullptr, "LOOKBEHIND -1 len=3 width=3 | PREDEF d | GREEDY 2,2 | PREDEF . | CLOSE -1"},
        {"(?<=a(?=bc)d)", nullptr,
         "LOOKBEHIND -1 len=5 width=2 | CHAR 'a' | LOOKAHEAD -2 len=1 | STRING 'bc' | CLOSE -2 | CHAR 'd' | CLOSE -1"},
        {"(?<=a|\\x{100})", nullptr, "LOOKBEHIND -1 len=3 width=1 | CHAR 'a' | ALT -1 | UCHAR 0x100 | CLOSE -1"},
        {"(?(1)a|b)", nullptr, "COND 1 len=4 | BACKREF 1 | CHAR 'a' | ALT 1 | CHAR 'b' | CLOSE 1"},
        {"(?(12)x)", nullptr, "COND 1 len=2 | BACKREF 12 | CHAR 'x' | CLOSE 1"},
        {"(?(?=a)b|c)", nullptr,
         "COND 1 len=6 | LOOKAHEAD -2 len=1 | CHAR 'a' | CLOSE -2 | CHAR 'b' | ALT 1 | CHAR 'c' | CLOSE 1"},
        {"(?(?<!a)b)", nullptr,
         "COND 1 len=4 | NLOOKBEHIND -2 len=1 width=1 | CHAR 'a' | CLOSE -2 | CHAR 'b' | CLOSE 1"},
        {"(a)(?(1)b)", nullptr,
         "CAPTURE 1 len=1 cap=1 | CHAR 'a' | CLOSE 1 | COND 2 len=2 | BACKREF 1 | CHAR 'b' | CLOSE 2"},
    });
}

TEST(RegexCompileForms, OptionsAndExtendedMode) {
    check_forms({
        {"(?i)abc", nullptr, "SETOPTS 0x4 | STRING 'abc'"},
        {"(?x)", nullptr, ""},
        {"(?-x)", nullptr, ""},
        {"(?xx)", nullptr, "SETOPTS 0x8"},
        {"(?x) a b", nullptr, "CHAR 'a' | CHAR 'b'"},
        {"(?s-i)", "i", "SETOPTS 0x1"},
        {"(?i-i)", nullptr, "SETOPTS 0x0"},
        {"(?-i)", "ims", "SETOPTS 0x3"},
        {"a b#c\nd", "x", "CHAR 'a' | CHAR 'b' | CHAR 'd'"},
        {"ab \t\r\n\fc", "x", "STRING 'ab' | CHAR 'c'"},
        {"a#b", nullptr, "STRING 'a#b'"},
        {"a b", nullptr, "STRING 'a b'"},
        {"\\ a", "x", "STRING ' a'"},
        {"a\\Q b\\E", "x", "CHAR 'a' | STRING ' b'"},
        {"(?x:a b)c d", nullptr, "GROUP_OPTS 1 len=2 o=0x8 | CHAR 'a' | CHAR 'b' | CLOSE 1 | STRING 'c d'"},
        {"(?i)a|b", nullptr, "SETOPTS 0x4 | CHAR 'a' | ALT 0 o=0x4 | CHAR 'b'"},
    });
}

// A dissolved group gives its options back like any other group: "(?x)"
// inside "(?:...)" must not reach the text after it.
TEST(RegexCompileForms, DissolvedGroupRestoresOptions) {
    check_forms({
        {"(?:(?x)a b)c d", nullptr, "CHAR 'a' | CHAR 'b' | STRING 'c d'"},
        {"((?x)a b)c d", nullptr, "CAPTURE 1 len=2 cap=1 | CHAR 'a' | CHAR 'b' | CLOSE 1 | STRING 'c d'"},
    });
}

// Widths the plain walk would get wrong: option groups and conditionals are
// measured like other groups, a quantified "\Q" run (its last byte) or
// assertion counts what it really spans, "\C" is one unit.
TEST(RegexCompileForms, LookBehindWidthOfEveryGroupKind) {
    check_forms({
        {"(?<=(?i:ab){2})", nullptr,
         "LOOKBEHIND -1 len=4 width=4 | GROUP_OPTS 2 len=1 o=0x4 | STRING 'ab' | CLOSE 2 | GREEDY 2,2 | CLOSE -1"},
        {"(?<=\\Qab\\E{2})", nullptr, "LOOKBEHIND -1 len=3 width=3 | CHAR 'a' | CHAR 'b' | GREEDY 2,2 | CLOSE -1"},
        {"(?<=a\\b{2})", nullptr, "LOOKBEHIND -1 len=3 width=1 | CHAR 'a' | ANCHOR b | GREEDY 2,2 | CLOSE -1"},
        {"(?<=\\C)", nullptr, "LOOKBEHIND -1 len=1 width=1 | BYTE | CLOSE -1"},
        {"(?<=(?(?=a)bc|de))", nullptr,
         "LOOKBEHIND -1 len=8 width=2 | COND 2 len=6 | LOOKAHEAD -3 len=1 | CHAR 'a' | CLOSE -3 | STRING 'bc' | "
         "ALT 2 | STRING 'de' | CLOSE 2 | CLOSE -1"},
    });
    auto x = compile_pattern("(?<=x(?i:a|bc))");
    EXPECT_EQ(x.dump(), "ERR -186 @14");
    EXPECT_EQ(compile_pattern("(?<=(?(?=a)bc))").dump(), "ERR -186 @14");
    EXPECT_EQ(compile_pattern("(?<=(?(?=a)b|cd))").dump(), "ERR -186 @16");
}

TEST(RegexCompileErrors, OptionsAndPrescan) {
    check_errors({
        {"a", "q", qelErrRegExpOption, 0},
        {"a", "gimsxG", qelErrRegExpOption, 0},
        {"(", "q", qelErrRegExpOption, 0},  // options come before balance
        {")", nullptr, qelErrRegExpGroup, 0},
        {"a)", nullptr, qelErrRegExpGroup, 1},
        {"(a", nullptr, qelErrRegExpGroup, 2},
        {"(a))", nullptr, qelErrRegExpGroup, 3},
        {"(?#abc", nullptr, qelErrRegExpGroup, 6},
        {"(?i", nullptr, qelErrRegExpGroup, 3},
        {"(?i:a", nullptr, qelErrRegExpGroup, 5},
        {"(?(1)a", nullptr, qelErrRegExpGroup, 6},
        {"[\\Qab", nullptr, qelErrRegExpCharClass, 5},
        {"*)", nullptr, qelErrRegExpGroup, 1},  // every pre-scan error precedes the emitting pass
        {"\\)", nullptr, qelOk, -1},
        {"(?x)#)\n", nullptr, qelOk, -1},
        {"#)", nullptr, qelErrRegExpGroup, 1},
        {"\\Q)\\E", nullptr, qelOk, -1},
        {"\\c)", nullptr, qelOk, -1},
    });
}

TEST(RegexCompileErrors, GroupForms) {
    check_errors({
        {"a(?<x)", nullptr, qelErrRegExpGroup, 4},
        {"(?y)", nullptr, qelErrRegExpGroup, 2},
        {"(?iy)", nullptr, qelErrRegExpGroup, 3},
        {"(?ig:a)", nullptr, qelErrRegExpGroup, 3},
        {"(?(a)b)", nullptr, qelErrRegExpGroup, 3},
        {"(?(1234)b)", nullptr, qelErrRegExpGroup, 6},
        {"(?(12x)b)", nullptr, qelErrRegExpGroup, 5},
        {"(?()b)", nullptr, qelErrRegExpReference, 4},
        {"(?(0)b)", nullptr, qelErrRegExpReference, 4},
        {"(?(00)b)", nullptr, qelErrRegExpReference, 4},
        {"(?(?:a)b)", nullptr, qelErrRegExpGroup, 8},
        {"(?(?:a|c)b)", nullptr, qelErrRegExpGroup, 10},
        {"(?(1)*a)", nullptr, qelErrRegExpGroup, 7},
        {"(?(?=a)?b)", nullptr, qelErrRegExpGroup, 9},
        {"(?(1)a|b|c)", nullptr, qelErrRegExpGroup, 10},
        {"(?<=a+)x", nullptr, qelErrRegExpGroup, 6},
        {"(?<=a{1,2})x", nullptr, qelErrRegExpGroup, 10},
        {"(?<=ab|c)x", nullptr, qelErrRegExpGroup, 8},
        {"(?<!(a|bc))", nullptr, qelErrRegExpGroup, 10},
        {"(a)(?<=\\1)", nullptr, qelErrRegExpGroup, 9},
        {"(a)\\2", nullptr, qelErrRegExpReference, 4},
        {"\\1", nullptr, qelErrRegExpReference, 1},
        {"(a)\\1\\2", nullptr, qelErrRegExpReference, 6},
    });
}

TEST(RegexCompileErrors, QuantifiersAndEscapes) {
    check_errors({
        {"*a", nullptr, qelErrRegExpQuantifier, 0},
        {"(*a)", nullptr, qelErrRegExpQuantifier, 1},
        {"a|*b", nullptr, qelErrRegExpQuantifier, 2},
        {"(?i)*", nullptr, qelErrRegExpQuantifier, 4},
        {"(?=a)(?:*)", nullptr, qelErrRegExpQuantifier, 8},
        {"(?i:+)", nullptr, qelErrRegExpQuantifier, 4},
        {"(?>?)", nullptr, qelErrRegExpQuantifier, 3},
        {"(?<=*)", nullptr, qelErrRegExpQuantifier, 4},
        {"a**", nullptr, qelErrRegExpQuantifier, 2},
        {"a* +", "x", qelErrRegExpQuantifier, 3},
        {"(a)?\n\t{2}", "x", qelErrRegExpQuantifier, 6},
        // Comments between two quantifiers are passed over like white space.
        {"a*#c\n+", "x", qelErrRegExpQuantifier, 5},
        {"a+ #c\n #d\n\t?", "x", qelErrRegExpQuantifier, 11},
        {"a*(?#c)+", nullptr, qelErrRegExpQuantifier, 7},
        // "(?x)" and "(?-x)" write no node, yet they have nothing to repeat.
        {"a*(?x)+", nullptr, qelErrRegExpQuantifier, 6},
        {"a(?-x){2}", "x", qelErrRegExpQuantifier, 6},
        {"\\d(?x) *", nullptr, qelErrRegExpQuantifier, 7},
        {"(?x)?", nullptr, qelErrRegExpQuantifier, 4},
        {"a{2}(?#c) (?#d)#e\n{3}", "x", qelErrRegExpQuantifier, 18},
        {"(a)*(?#c)?", nullptr, qelErrRegExpQuantifier, 9},
        {"\\d\\d*(?#c)+", nullptr, qelErrRegExpQuantifier, 10},
        {"a*+", nullptr, qelErrRegExpQuantifier, 2},
        {"a++", nullptr, qelErrRegExpQuantifier, 2},
        {"a*??", nullptr, qelErrRegExpQuantifier, 3},
        {"a{2}{3}", nullptr, qelErrRegExpQuantifier, 4},
        {"\\d\\d**", nullptr, qelErrRegExpQuantifier, 5},
        {"a{70000}", nullptr, qelErrRegExpQuantifier, 2},
        {"a{65536,}", nullptr, qelErrRegExpQuantifier, 2},
        {"a{3,2}", nullptr, qelErrRegExpQuantifier, 2},
        {"a{2,70000}", nullptr, qelErrRegExpQuantifier, 4},
        {"a{70000,2}", nullptr, qelErrRegExpQuantifier, 2},
        {"a{,99999999999999}", nullptr, qelErrRegExpQuantifier, 3},
        {"\\x{123", nullptr, qelErrRegExpEscape, 3},
        {"\\x{123456789}", nullptr, qelErrRegExpEscape, 3},
        {"ab\\x{", nullptr, qelErrRegExpEscape, 5},
    });
}

// A pattern must never be read past its terminating zero; a trailing "\" or
// "\c" escapes nothing and is refused at the backslash.
TEST(RegexCompileErrors, TrailingEscape) {
    check_errors({
        {"\\", nullptr, qelErrRegExpEscape, 0},
        {"a\\", nullptr, qelErrRegExpEscape, 1},
        {"\\c", nullptr, qelErrRegExpEscape, 0},
        {"ab\\c", nullptr, qelErrRegExpEscape, 2},
        {"(a)\\", nullptr, qelErrRegExpEscape, 3},
    });
    // Constructs cut short by the end of the pattern, with the zero right
    // before a guard page.
    for (const char* p : {"\\", "ab\\c", "\\x", "\\x{1", "\\0", "\\12", "(?", "(?<", "(?(", "(?(1", "(?i",
                          "(?#", "a{", "a{1,", "[", "[\\", "\\Q", "\\Qa\\"}) {
        size_t n = std::strlen(p) + 1;
        qeltest::Guarded<char> g(std::vector<char>(p, p + n), true);
        auto r = compile_pattern(g.data());
        if (r.status != qelOk) {
            EXPECT_LE(r.offset, int32_t(n - 1)) << p;
        }
    }
}

TEST(RegexCompileErrors, GroupLimits) {
    auto nested = [](int n) { return std::string(size_t(n), '(') + "a" + std::string(size_t(n), ')'); };
    EXPECT_EQ(compile_pattern(nested(999)).status, qelOk);
    auto deep = compile_pattern(nested(1000));
    EXPECT_EQ(deep.status, qelErrRegExpGroup);
    EXPECT_EQ(deep.offset, 999);

    auto repeat = [](const char* unit, int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += unit;
        return s;
    };
    auto ok = compile_pattern(repeat("(a)", 999));
    ASSERT_EQ(ok.status, qelOk);
    EXPECT_EQ(ok.header().captureCount, 1000);
    // The 1000th group runs out of ordinals; the 1001st capture is refused by the pre-scan.
    auto many = compile_pattern(repeat("(a)", 1000));
    EXPECT_EQ(many.status, qelErrRegExpGroup);
    EXPECT_EQ(many.offset, 999 * 3);
    auto tooMany = compile_pattern(repeat("(a)", 1001));
    EXPECT_EQ(tooMany.status, qelErrRegExpGroup);
    EXPECT_EQ(tooMany.offset, 1000 * 3);
    // Dissolved groups, comments and settings give their ordinals back.
    EXPECT_EQ(compile_pattern(repeat("(?:a)", 1500)).status, qelOk);
    EXPECT_EQ(compile_pattern(repeat("(?#c)", 1500) + "(a)").status, qelOk);
    EXPECT_EQ(compile_pattern(repeat("(?i)", 1500)).status, qelOk);
    // 998 groups around a conditional: the condition's own parentheses do not count.
    EXPECT_EQ(compile_pattern(std::string(998, '(') + "(?(1)a)" + std::string(998, ')')).status, qelOk);
}

struct HeaderCase {
    const char* pattern;
    const char* options;
    int32_t prefilter;
    int32_t searchMode;
    int32_t captureCount;
    int32_t nodeCount;
};

TEST(RegexCompileHeader, PrefilterSearchModeAndCounts) {
    const HeaderCase cases[] = {
        {"abc", nullptr, 0, 1, 1, 1},
        {"abc|de", nullptr, -2, 2, 1, 3},
        {"a|b|cd", nullptr, -2, 2, 1, 5},
        {"ab|c*", nullptr, -2, 0, 1, 4},
        {"a*b", nullptr, 2, 0, 1, 3},
        {"a*?b", nullptr, 2, 0, 1, 3},
        {"x.*", nullptr, -1, 1, 1, 3},
        {"(ab)", nullptr, -1, 0, 2, 3},
        {"a+", nullptr, 0, 1, 1, 2},
        {"ab+", nullptr, 1, 1, 1, 3},
        {"ab+?", nullptr, 1, 1, 1, 3},
        {"a?", nullptr, -1, 0, 1, 2},
        {"\\x41+", nullptr, -1, 1, 1, 2},
        {"ab{0,3}", nullptr, -1, 1, 1, 3},
        {"(a)b", nullptr, 3, 0, 2, 4},
        {"(?i)abc", nullptr, 1, 0, 1, 2},
        {"\\n", nullptr, 0, 1, 1, 1},
        {"", nullptr, -1, 0, 1, 0},
        {"(a)(b(c))", nullptr, -1, 0, 4, 9},
        {"a$", nullptr, -1, 1, 1, 2},
    };
    for (const auto& c : cases) {
        auto r = compile_pattern(c.pattern, c.options);
        ASSERT_EQ(r.status, qelOk) << c.pattern;
        const StateHeader& h = r.header();
        EXPECT_EQ(h.identifier, kStateIdentifier) << c.pattern;
        EXPECT_EQ(h.prefilterNode, c.prefilter) << c.pattern;
        EXPECT_EQ(h.searchMode, c.searchMode) << c.pattern;
        EXPECT_EQ(h.captureCount, c.captureCount) << c.pattern;
        EXPECT_EQ(h.nodeCount, c.nodeCount) << c.pattern;
        EXPECT_EQ(h.matchLimit, 10000) << c.pattern;
        EXPECT_EQ(h.format, 1) << c.pattern;
    }
}

TEST(RegexCompileHeader, OptionBitsAndLiteralOptionWord) {
    EXPECT_EQ(compile_pattern("a", "gimsx").header().options, 0x1Fu);
    EXPECT_EQ(compile_pattern("a", "ssg").header().options, 0x11u);
    EXPECT_EQ(compile_pattern("a", "").header().options, 0u);
    EXPECT_EQ(compile_pattern("a", nullptr).header().options, 0u);

    // Top-level literals carry the options in force; others carry 0.
    auto r = compile_pattern("(?i)ab(c)d", "m");
    ASSERT_EQ(r.status, qelOk);
    const RegExpNode* n = node_array(r.state());
    EXPECT_EQ(qeltest::dump_state(r.state()),
              "SETOPTS 0x6 | STRING 'ab' | CAPTURE 1 len=1 cap=1 | CHAR 'c' | CLOSE 1 o=0x6 | CHAR 'd'");
    EXPECT_EQ(n[1].w3, 0x6);
    EXPECT_EQ(n[3].w3, 0);
    EXPECT_EQ(n[5].w3, 0x6);
    EXPECT_EQ(r.header().prefilterNode, 5);
    auto bar = compile_pattern("ab|c");
    EXPECT_EQ(node_array(bar.state())[0].w3, 0);
    auto quant = compile_pattern("xab+", "s");
    EXPECT_EQ(node_array(quant.state())[1].w3, 0x1);
    EXPECT_EQ(quant.header().prefilterNode, 1);
}

TEST(RegexCompileLifecycle, GetSize) {
    int32_t size = -1;
    EXPECT_EQ(qelsRegExpGetSize("", &size), qelOk);
    EXPECT_EQ(size, 48056);
    EXPECT_EQ(qelsRegExpGetSize("abc", &size), qelOk);
    EXPECT_EQ(size, 48128);
    EXPECT_EQ(qelsRegExpGetSize(nullptr, &size), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpGetSize("abc", nullptr), qelErrNullPtr);
}

TEST(RegexCompileLifecycle, NullArguments) {
    std::vector<unsigned char> block(48200);
    auto* st = reinterpret_cast<QelRegExpState*>(block.data());
    int32_t off = 7;
    EXPECT_EQ(qelsRegExpInit(nullptr, nullptr, st, &off), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpInit("a", nullptr, nullptr, &off), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpInit("a", nullptr, st, nullptr), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpInit(nullptr, "q", st, &off), qelErrNullPtr);
    EXPECT_EQ(off, 7);
    QelRegExpState* out = reinterpret_cast<QelRegExpState*>(&block);
    EXPECT_EQ(qelsRegExpInitAlloc("a", nullptr, nullptr, &off), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpInitAlloc(nullptr, nullptr, &out, &off), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpInitAlloc("a", nullptr, &out, nullptr), qelErrNullPtr);
    EXPECT_EQ(out, reinterpret_cast<QelRegExpState*>(&block));
    EXPECT_EQ(qelsRegExpSetMatchLimit(5, nullptr), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpSetFormat(0, nullptr), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpSetMatchLimit(-1, nullptr), qelErrNullPtr);
    EXPECT_EQ(qelsRegExpSetFormat(7, nullptr), qelErrNullPtr);
}

TEST(RegexCompileLifecycle, MatchLimitAndFormatResetByCompile) {
    auto r = compile_pattern("ab");
    ASSERT_EQ(r.status, qelOk);
    auto* st = reinterpret_cast<QelRegExpState*>(r.block.data());
    EXPECT_EQ(qelsRegExpSetMatchLimit(0, st), qelOk);
    EXPECT_EQ(header(st)->matchLimit, 0);
    EXPECT_EQ(qelsRegExpSetMatchLimit(-1, st), qelErrLength);
    EXPECT_EQ(header(st)->matchLimit, 0);
    EXPECT_EQ(qelsRegExpSetFormat(0, st), qelOk);
    EXPECT_EQ(header(st)->format, 0);
    EXPECT_EQ(qelsRegExpSetFormat(2, st), qelErrRange);
    EXPECT_EQ(qelsRegExpSetFormat(-1, st), qelErrRange);
    EXPECT_EQ(header(st)->format, 0);
    EXPECT_EQ(qelsRegExpSetFormat(1, st), qelOk);
    EXPECT_EQ(qelsRegExpSetFormat(0, st), qelOk);
    EXPECT_EQ(qelsRegExpSetMatchLimit(123, st), qelOk);
    int32_t off = -1;
    ASSERT_EQ(qelsRegExpInit("b", nullptr, st, &off), qelOk);
    EXPECT_EQ(header(st)->matchLimit, 10000);
    EXPECT_EQ(header(st)->format, 1);
}

TEST(RegexCompileLifecycle, InitAllocSuccessAndFailurePaths) {
    qelcoreCtlReset();
    QelRegExpState* st = nullptr;
    int32_t off = -1;
    ASSERT_EQ(qelsRegExpInitAlloc("ab+c", "i", &st, &off), qelOk);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(qeltest::dump_state(st), "CHAR 'a' | CHAR 'b' | GREEDY 1,inf | CHAR 'c'");
    EXPECT_EQ(header(st)->options, RE_OPT_IGNORECASE);
    qelsRegExpFree(st);
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_MALLOC), 1);
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_FREE), 1);

    // A rejected pattern: the block goes back and the caller gets null.
    qelcoreCtlReset();
    st = reinterpret_cast<QelRegExpState*>(&off);
    EXPECT_EQ(qelsRegExpInitAlloc("a)", nullptr, &st, &off), qelErrRegExpGroup);
    EXPECT_EQ(st, nullptr);
    EXPECT_EQ(off, 1);
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_MALLOC), 1);
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_FREE), 1);
    EXPECT_EQ(qelsRegExpInitAlloc("a", "z", &st, &off), qelErrRegExpOption);
    EXPECT_EQ(st, nullptr);
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_FREE), 2);

    // A failed allocation is reported as a null pointer.
    qelcoreCtlReset();
    qelcoreCtlFailAllocationsAfter(0);
    st = reinterpret_cast<QelRegExpState*>(&off);
    EXPECT_EQ(qelsRegExpInitAlloc("abc", nullptr, &st, &off), qelErrNullPtr);
    EXPECT_EQ(st, nullptr);
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_FREE), 0);
    qelcoreCtlFailAllocationsAfter(1);
    ASSERT_EQ(qelsRegExpInitAlloc("abc", nullptr, &st, &off), qelOk);
    QelRegExpState* second = nullptr;
    EXPECT_EQ(qelsRegExpInitAlloc("abc", nullptr, &second, &off), qelErrNullPtr);
    EXPECT_EQ(second, nullptr);
    qelsRegExpFree(st);
    qelcoreCtlReset();
}

TEST(RegexCompileLifecycle, MultiFreeReleasesThroughTheCore) {
    qelcoreCtlReset();
    QelRegExpState* st = nullptr;
    int32_t off = -1;
    ASSERT_EQ(qelsRegExpInitAlloc("x", nullptr, &st, &off), qelOk);
    qelsRegExpMultiFree(reinterpret_cast<QelRegExpMultiState*>(st));
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_FREE), 1);
    qelcoreCtlReset();
}

// The state owns its literal text: the pattern buffer may be reused at once.
TEST(RegexCompileLifecycle, StateOutlivesPatternBuffer) {
    std::string pattern = "ab+cd(ef|gh)\\Qij\\E";
    int32_t size = 0;
    ASSERT_EQ(qelsRegExpGetSize(pattern.c_str(), &size), qelOk);
    std::vector<unsigned char> block(static_cast<size_t>(size));
    auto* st = reinterpret_cast<QelRegExpState*>(block.data());
    int32_t off = -1;
    ASSERT_EQ(qelsRegExpInit(pattern.c_str(), nullptr, st, &off), qelOk);
    std::fill(pattern.begin(), pattern.end(), 'Z');
    pattern = "completely different text that reuses the buffer";
    EXPECT_EQ(qeltest::dump_state(st),
              "CHAR 'a' | CHAR 'b' | GREEDY 1,inf | STRING 'cd' | CAPTURE 1 len=3 cap=1 | STRING 'ef' | ALT 1 | "
              "STRING 'gh' | CLOSE 1 | STRING 'ij'");
    // Texts sit back to back right after the last node.
    const RegExpNode* n = node_array(st);
    const auto* text = reinterpret_cast<const unsigned char*>(n + header(st)->nodeCount);
    EXPECT_EQ(node_pointer(n[3]), text);
    EXPECT_EQ(node_pointer(n[5]), text + 2);
    EXPECT_EQ(node_pointer(n[7]), text + 4);
    EXPECT_EQ(node_pointer(n[9]), text + 6);

    // And it still finds what the original pattern described.
    const std::string subject = "xxabbbcdghijz";
    QelRegExpFind found[2] = {};
    int32_t count = 2;
    ASSERT_EQ(qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(subject.data()), int32_t(subject.size()), st, found,
                                &count),
              qelOk);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(found[0].pointer - reinterpret_cast<const Qel8u*>(subject.data()), 2);
    EXPECT_EQ(found[0].length, 10);
    EXPECT_EQ(found[1].pointer - reinterpret_cast<const Qel8u*>(subject.data()), 8);
    EXPECT_EQ(found[1].length, 2);
}

// Patterns whose state size would not fit a signed 32-bit count are refused
// before anything is written.
TEST(RegexCompileLifecycle, OversizedPatternRefused) {
    qelcoreCtlReset();
    std::string longest(kMaxPatternLength, 'a');
    int32_t size = -1;
    ASSERT_EQ(qelsRegExpGetSize(longest.c_str(), &size), qelOk);
    EXPECT_EQ(int64_t(size), 48056 + 24 * int64_t(kMaxPatternLength));

    longest.push_back('a');
    size = -1;
    EXPECT_EQ(qelsRegExpGetSize(longest.c_str(), &size), qelErrLength);
    EXPECT_EQ(size, -1);
    std::vector<unsigned char> block(64, 0xAB);
    int32_t off = -5;
    EXPECT_EQ(qelsRegExpInit(longest.c_str(), "q", reinterpret_cast<QelRegExpState*>(block.data()), &off),
              qelErrLength);
    EXPECT_EQ(off, -5);
    EXPECT_EQ(std::count(block.begin(), block.end(), 0xAB), 64);
    QelRegExpState* st = reinterpret_cast<QelRegExpState*>(&off);
    EXPECT_EQ(qelsRegExpInitAlloc(longest.c_str(), nullptr, &st, &off), qelErrLength);
    EXPECT_EQ(st, reinterpret_cast<QelRegExpState*>(&off));
    EXPECT_EQ(qelcoreCtlCallCount(QELCORE_CALL_MALLOC), 0);
}

// Compiles `pattern` (itself flush against a guard page) into a block of
// exactly the reported size that ends at a guard page: any write past the
// block or read past the pattern's zero faults.
QelStatus compile_guarded(const std::string& pattern, const char* options, int32_t* usedBytes = nullptr) {
    qeltest::Guarded<char> text(std::vector<char>(pattern.c_str(), pattern.c_str() + pattern.size() + 1), true);
    int32_t size = 0;
    EXPECT_EQ(qelsRegExpGetSize(text.data(), &size), qelOk);
    qeltest::GuardedRegion region(static_cast<size_t>(size));
    auto* st = reinterpret_cast<QelRegExpState*>(region.tail<unsigned char>(size_t(size)));
    int32_t off = -1;
    QelStatus status = qelsRegExpInit(text.data(), options, st, &off);
    if (status == qelOk && usedBytes) {
        const RegExpNode* n = node_array(st);
        int32_t used = kNodeArrayOffset + kNodeSize * header(st)->nodeCount;
        for (int32_t i = 0; i < header(st)->nodeCount; ++i)
            if (n[i].w0 == RE_STRING) used += n[i].w2;
        *usedBytes = used;
    }
    if (status != qelOk) {
        EXPECT_GE(off, 0) << pattern;
        EXPECT_LE(off, int32_t(pattern.size())) << pattern;
    }
    return status;
}

TEST(RegexCompileMemory, ExactSizeBlocksAtGuardPage) {
    const char* patterns[] = {
        ".*", ".+", ".*.", ".*..", ".*a+", "(?:.*)", "(?:.+)", "..", "\\d\\d", "a", "ab", "a+", "ab+",
        "(a)", "(?:a)", "(?(1)a)", "(?(?=a)b)", "(?<=ab|cd)", "\\Qabc\\E", "a|b|c", "\\x{41}",
        "(((a)))", "a{2}", "a*?b+?", ".*?", "(?i)a(?-i:b)", "\\Q", "(a)\\1",
    };
    for (const char* p : patterns) {
        int32_t used = 0;
        EXPECT_EQ(compile_guarded(p, nullptr, &used), qelOk) << p;
        int32_t size = 0;
        qelsRegExpGetSize(p, &size);
        EXPECT_LE(used, size) << p;
    }
    int32_t used = 0;
    ASSERT_EQ(compile_guarded(".*", nullptr, &used), qelOk);
    EXPECT_EQ(used, 48056 + 24 * 2);  // ".*" fills its block to the last byte
}

// The index rules the matcher walks by: a group's closing node at
// open + w2 + 1 with the same link value, bars linked to their group, class
// members counted by the header, repeats with sane bounds after an item.
std::string structure_fault(const RegExpNode* n, int32_t count) {
    std::vector<int32_t> open;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t k = n[i].w0;
        if (!is_valid_kind(k)) return "invalid kind at " + std::to_string(i);
        if (is_group_open(k)) {
            int32_t c = i + n[i].w2 + 1;
            if (n[i].w2 < 0 || c >= count || n[c].w0 != RE_CLOSE || n[c].w1 != n[i].w1)
                return "group at " + std::to_string(i) + " has no matching close";
            bool negative = is_lookaround(k) || k == RE_ATOMIC;
            if ((n[i].w1 < 0) != negative || n[i].w1 == 0 || n[i].w1 < -kMaxGroups || n[i].w1 > kMaxGroups)
                return "bad link value at " + std::to_string(i);
            if (k == RE_COND && !(n[i].w2 > 0 && (n[i + 1].w0 == RE_BACKREF || is_lookaround(n[i + 1].w0))))
                return "conditional without condition at " + std::to_string(i);
            if (k == RE_CAPTURE && (n[i].w3 < 1 || n[i].w3 > kMaxGroups)) return "bad capture number";
            open.push_back(i);
        } else if (k == RE_CLOSE) {
            if (open.empty() || open.back() + n[open.back()].w2 + 1 != i) return "stray close at " + std::to_string(i);
            open.pop_back();
        } else if (k == RE_ALT_END) {
            if (n[i].w1 != (open.empty() ? 0 : n[open.back()].w1)) return "bar at " + std::to_string(i) + " misnamed";
        } else if (k == RE_CLASS) {
            if (n[i].w2 < 1 || i + n[i].w2 >= count) return "class overruns";
            i += n[i].w2;
        } else if (is_repeat(k)) {
            if (i == 0 || n[i].w1 < 0 || n[i].w1 > n[i].w2 || n[i].w2 > RE_UNBOUNDED)
                return "bad repeat at " + std::to_string(i);
            if (is_repeat(n[i - 1].w0) || is_group_open(n[i - 1].w0) || n[i - 1].w0 == RE_ALT_END)
                return "repeat without operand at " + std::to_string(i);
        } else if (k == RE_RANGE) {
            return "range outside a class at " + std::to_string(i);
        } else if (k == RE_STRING && n[i].w2 < 2) {
            return "short string at " + std::to_string(i);
        }
    }
    return open.empty() ? "" : "unclosed group";
}

// Random patterns over the syntax bytes: whatever they compile to, the
// compiler stays inside the pattern and inside a block of the reported size,
// and the nodes keep the index rules.
TEST(RegexCompileMemory, RandomPatternsStayInsideTheirBlock) {
    static const char alphabet[] = "ab()[]|*+?{},.\\^$-:=!<>#xisQEdpP019c ";
    std::mt19937 rng(20261210);
    std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 2);
    std::uniform_int_distribution<int> len(0, 24);
    const char* optionSets[] = {nullptr, "x", "i", "xs"};
    int compiled = 0;
    for (int iter = 0; iter < 20000; ++iter) {
        std::string p;
        int n = len(rng);
        for (int i = 0; i < n; ++i) p += alphabet[pick(rng)];
        if (compile_guarded(p, optionSets[iter % 4]) != qelOk) continue;
        ++compiled;
        auto r = compile_pattern(p, optionSets[iter % 4]);
        ASSERT_EQ(r.status, qelOk) << p;
        EXPECT_EQ(structure_fault(node_array(r.state()), r.header().nodeCount), "") << p << "\n" << r.dump();
    }
    EXPECT_GT(compiled, 1000);  // the loop must exercise successful compiles, not only errors
}

}  // namespace
