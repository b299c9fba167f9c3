// Bracket classes and property escapes inside whole patterns: the compiled
// forms and error offsets as qelsRegExpInit reports them, and a few searches
// that carry the class members and property nodes through the matcher.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/regex_dump.h"

namespace {

struct FormRow {
    const char* pattern;
    const char* options;
    const char* expected;  // node dump, or "ERR <status> @<offset>"
};

TEST(RegExpClassPattern, CompiledFormsAndErrors) {
    const FormRow rows[] = {
        {"[]a]", nullptr, "CLASS 2 | CHAR ']' | CHAR 'a'"},
        {"[a]", nullptr, "CHAR 'a'"},
        {"[a]+", nullptr, "CHAR 'a' | GREEDY 1,inf"},
        {"x[ab]*", nullptr, "CHAR 'x' | CLASS 2 | CHAR 'a' | CHAR 'b' | GREEDY 0,inf"},
        {"[\\d][\\d]", nullptr, "PREDEF d | PREDEF d"},  // no merging of reduced classes
        {"[\xC3\xA9]", nullptr, "CLASS 1 | CHAR 0xe9"},
        {"[\xE2\x82\xAC]", nullptr, "CLASS 1 | UCHAR 0x20ac"},
        {"[ a]", "x", "CLASS 2 | CHAR 0x20 | CHAR 'a'"},
        {"[[:^digit:]_]", nullptr, "CLASS 2 | RANGE '0'-'9' neg | CHAR '_'"},
        {"\\pL", nullptr, "UPROP 0x80"},
        {"a\\p{Greek}+", nullptr, "CHAR 'a' | URANGES 51 | GREEDY 1,inf"},
        {"\\P{InBasicLatin}", nullptr, "URANGE 0x0-0x7f neg"},
        {"[\\p{L}\\d]", nullptr, "CLASS 2 | UPROP 0x80 | PREDEF d"},
        {"(?<=[ab]\\pL)c", nullptr,
         "LOOKBEHIND -1 len=4 width=2 | CLASS 2 | CHAR 'a' | CHAR 'b' | UPROP 0x80 | CLOSE -1 | CHAR 'c'"},
        {"[z-a]", nullptr, "ERR -184 @3"},
        {"ab[z-a]", nullptr, "ERR -184 @5"},
        {"[:alpha:]", nullptr, "ERR -184 @1"},
        {"x[[:foo:]]", nullptr, "ERR -184 @2"},
        {"[abc", nullptr, "ERR -184 @4"},
        {"[\\Qab", nullptr, "ERR -184 @5"},
        {"[\\^]", nullptr, "ERR -186 @3"},
        {"(a)[\\Q\\E]", nullptr, "ERR -186 @8"},
        {"[\\x{41]", nullptr, "ERR -183 @6"},
        {"\\p{Lux}", nullptr, "ERR -183 @5"},
        {"a\\P{^L}", nullptr, "ERR -183 @4"},
        {"[\\p{Foo}]", nullptr, "ERR -183 @4"},
        {"\\p{InFoo}", nullptr, "ERR -183 @3"},
        {"\\p", nullptr, "ERR -183 @2"},
    };
    for (const FormRow& r : rows) {
        const qeltest::CompiledPattern c = qeltest::compile_pattern(r.pattern, r.options);
        EXPECT_EQ(c.dump(), r.expected) << "pattern \"" << r.pattern << "\"";
    }
}

struct SearchRow {
    const char* pattern;
    const char* options;
    std::string subject;
    int32_t offset;  // -1: no match
    int32_t length;
};

TEST(RegExpClassPattern, SearchesThroughTheMatcher) {
    const SearchRow rows[] = {
        {"\\p{Greek}+", nullptr, "ab \xCE\xB1\xCE\xB2\xCE\xB3!", 3, 6},
        {"[[:digit:]]+", nullptr, "ab123c", 2, 3},
        {"[^[:alpha:]]", nullptr, "ab1", 2, 1},
        {"\\p{Lu}\\p{Ll}+", nullptr, "hello World", 6, 5},
        {"[\xCE\xB1-\xCF\x89]+", nullptr, "x\xCE\xB1\xCE\xB2\xCE\xB3", 1, 6},
        {"[\xCE\xB1-\xCE\xB3]", "i", "\xCE\x92", 0, 2},
        {"\\p{Cn}", nullptr, "a\xCD\xB8", 1, 2},
        {"\\P{L}", nullptr, "a\xC3\xA9" "1", 3, 1},
        {"[\\x{100}-\\x{17F}]", nullptr, "a\xC4\x81", 1, 2},
        {"\\p{Han}\\p{InCJKUnifiedIdeographs}", nullptr, "x\xE4\xB8\xAD\xE6\x96\x87", 1, 6},
        {"[a-\\d]+", nullptr, "x-a5", 1, 3},
        {"\\P{Any}", nullptr, "abc", -1, 0},
        {"\\p{L}", nullptr, "\xF3\xA0\x87\xB0", -1, 0},  // U+E01F0: past the last record
        {"\\P{L}", nullptr, "\xF3\xA0\x87\xB0", -1, 0},
        {"\\p{Co}", nullptr, "a\xEE\x80\x80", 1, 3},
        // Under "i" a range takes a character when one of its case forms lies
        // in it, and nothing else: not a character that merely folds between
        // the range's folded ends.
        {"[\\x{c0}-\\x{de}]", "i", "a\xC3\x97", 1, 2},
        {"[\\x{c0}-\\x{de}]", "i", "\xC3\xB7", -1, 0},
        {"[\\x{100}-\\x{17f}]", "i", "a\xC3\xBF", 1, 2},
        {"[\\x{2100}-\\x{2200}]", "i", "ak", 1, 1},
        {"[A-Z]+", "i", "-k\xE2\x84\xAA", 1, 4},
        // A negated POSIX item under "i" rejects every case form of what it
        // holds, U+212A KELVIN SIGN ("k") included.
        {"[[:^alpha:]]", "i", "k\xE2\x84\xAA\xC3\x97", 4, 2},
        {"[[:^punct:]]", "i", "\xC5\xB8" "a", 2, 1},
        {"[^[:^alnum:]]+", "i", "-\xE2\x84\xAA" "k", 1, 4},
    };
    for (const SearchRow& r : rows) {
        SCOPED_TRACE(std::string("pattern \"") + r.pattern + "\" subject \"" + r.subject + "\"");
        qeltest::CompiledPattern c = qeltest::compile_pattern(r.pattern, r.options);
        ASSERT_EQ(c.status, qelOk);
        QelRegExpFind found[1] = {};
        int32_t count = 1;
        const QelStatus st = qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(r.subject.data()),
                                               int32_t(r.subject.size()),
                                               reinterpret_cast<QelRegExpState*>(c.block.data()), found, &count);
        ASSERT_GE(st, 0);
        if (r.offset < 0) {
            EXPECT_EQ(count, 0);
            continue;
        }
        ASSERT_EQ(count, 1);
        EXPECT_EQ(found[0].pointer - reinterpret_cast<const Qel8u*>(r.subject.data()), r.offset);
        EXPECT_EQ(found[0].length, r.length);
    }
}

}  // namespace
