// Class parser and property parser, called directly on a node array: the
// compiled members of bracket classes and property escapes, every error with
// its offset, and the property nodes evaluated against code points.
//
// Every pattern is parsed from a copy that ends at an inaccessible page (and
// again from one that starts right after one), into a node array that also
// ends at an inaccessible page and holds one node per pattern byte plus one,
// the capacity the compiler gives; a read past the terminating zero or a
// write past that capacity faults.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "regex/compile/parse.h"
#include "regex/compile/unicode_data.h"
#include "regex/compile/unicode_tables.h"
#include "support/guard.h"

namespace {

using namespace qel::re;

std::string hex(int32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", uint32_t(v));
    return buf;
}

// Compact form of class and property nodes: "[^2]" header (negated, two
// members), "c61" RE_CHAR, "u20AC" RE_UCHAR, "r30-39" RE_RANGE, "\d"
// RE_PREDEF, "p82" RE_UPROP, "b0-7F" RE_URANGE, "sGreek/51" RE_URANGES; a
// trailing "!" marks a complemented member (w3 = -1), "~" a gap of a negated
// POSIX item, "^" a negated property.
std::string dump(const RegExpNode* nodes, int32_t count) {
    std::string out;
    for (int32_t i = 0; i < count; ++i) {
        const RegExpNode& n = nodes[i];
        if (!out.empty()) out += ' ';
        switch (n.w0) {
        case RE_CLASS: out += std::string("[") + (n.w1 ? "^" : "") + std::to_string(n.w2) + "]"; break;
        case RE_CHAR: out += "c" + hex(n.w1) + (n.w3 ? "!" : ""); break;
        case RE_UCHAR: out += "u" + hex(n.w1) + (n.w3 ? "!" : ""); break;
        case RE_RANGE:
            out += "r" + hex(n.w1) + "-" + hex(n.w2) + (n.w3 == RE_RANGE_GAP ? "~" : n.w3 ? "!" : "");
            break;
        case RE_PREDEF: out += std::string("\\") + char(n.w1) + (n.w3 ? "!" : ""); break;
        case RE_UPROP: out += "p" + hex(n.w1) + (n.w2 ? "^" : ""); break;
        case RE_URANGE: out += "b" + hex(n.w1) + "-" + hex(n.w2) + (n.w3 ? "^" : ""); break;
        case RE_URANGES: {
            std::string name = "?";
            for (const ScriptTable& s : kScripts)
                if (s.pairs == node_pointer(n)) name = s.name;
            out += "s" + name + "/" + std::to_string(n.w3) + (n.w2 ? "^" : "") + (n.w1 != 1 ? "(w1!)" : "");
            break;
        }
        default: out += "?" + hex(int32_t(n.w0)); break;
        }
        const bool pointerKind = n.w0 == RE_URANGES;
        if (!pointerKind && (n.w4 != 0 || n.w5 != 0)) out += "(ptr!)";
    }
    return out;
}

struct Outcome {
    int status;      // qelOk / error status, or 0 / -1 for the property parser
    int32_t offset;  // cursor offset after the call
    std::string nodes;
    int32_t count;
};

// Runs the class parser (or the property parser) over `pattern` placed in
// guarded memory; the parser is entered at `start`.
Outcome run(const std::string& pattern, size_t start, bool property, bool atTail) {
    std::vector<char> text(pattern.begin(), pattern.end());
    text.push_back('\0');
    qeltest::Guarded<char> guarded(text, atTail);
    const size_t capacity = pattern.size() + 1;
    qeltest::GuardedRegion nodeRegion(capacity * sizeof(RegExpNode));
    RegExpNode* nodes = nodeRegion.tail<RegExpNode>(capacity);
    std::memset(static_cast<void*>(nodes), 0xEE, capacity * sizeof(RegExpNode));

    const char* base = guarded.data();
    const char* cursor = base + start;
    int32_t count = 0;
    Outcome o;
    if (property) o.status = ownRegExpParseProperty(cursor, nodes, count, base[start] == 'P' ? -1 : 0);
    else o.status = ownRegExpParseClass(base, cursor, nodes, count);
    o.offset = int32_t(cursor - base);
    o.count = count;
    o.nodes = (o.status == 0) ? dump(nodes, count) : "";
    return o;
}

struct Row {
    const char* pattern;
    int status;
    int32_t offset;     // after a success: bytes consumed; after an error: the error offset
    const char* nodes;  // expected dump after a success
};

void check_rows(const std::vector<Row>& rows, bool property) {
    for (const Row& r : rows) {
        const std::string pattern = r.pattern;
        const size_t start = property ? 1 : 0;  // on the 'p' after "\" / on the "["
        for (bool atTail : {true, false}) {
            SCOPED_TRACE("pattern \"" + pattern + "\"" + (atTail ? " (at tail)" : " (at head)"));
            const Outcome o = run(pattern, start, property, atTail);
            EXPECT_EQ(o.status, r.status);
            EXPECT_EQ(o.offset, r.offset);
            if (r.status == 0) {
                EXPECT_EQ(o.nodes, r.nodes);
                EXPECT_LE(o.count, o.offset - int32_t(start)) << "more nodes than pattern bytes";
            } else if (property) {
                EXPECT_EQ(o.count, 0) << "a failed property escape wrote a node";
            }
        }
    }
}

constexpr int kClass = qelErrRegExpCharClass;  // -184
constexpr int kGroup = qelErrRegExpGroup;      // -186
constexpr int kEscape = qelErrRegExpEscape;    // -183

TEST(RegExpClass, OpeningFormsAndReduction) {
    check_rows({
        {"[]a]", 0, 4, "[2] c5D c61"},
        {"[^]a]", 0, 5, "[^2] c5D c61"},
        {"[-a]", 0, 4, "[2] c2D c61"},
        {"[^-a]", 0, 5, "[^2] c2D c61"},
        {"[a-]", 0, 4, "[2] c61 c2D"},
        {"[]]", 0, 3, "c5D"},
        {"[a]x", 0, 3, "c61"},
        {"[^a]", 0, 4, "[^1] c61"},
        {"[\\d]", 0, 4, "\\d"},
        {"[^\\d]", 0, 5, "[^1] \\d"},
        {"[ab]", 0, 4, "[2] c61 c62"},
        {"[\\x{41}]", 0, 8, "[1] u41"},
        {"[ #]", 0, 4, "[2] c20 c23"},  // white space and "#" are members
        {"[^^]", 0, 4, "[^1] c5E"},
        {"[\\^]", kGroup, 3, ""},
        {"[\\x5E]", kGroup, 5, ""},
        {"[\\Q\\E]", kGroup, 5, ""},
        {"[\\E]", kGroup, 3, ""},
    }, false);
}

TEST(RegExpClass, RangesAndHyphens) {
    check_rows({
        {"[a-z]", 0, 5, "[1] r61-7A"},
        {"[a-z-9]", 0, 7, "[3] r61-7A c2D c39"},
        {"[a-a]", 0, 5, "[1] r61-61"},
        {"[a-\\d]", 0, 6, "[3] c61 c2D \\d"},
        {"[a-[:digit:]]", 0, 13, "[3] c61 c2D r30-39"},
        {"[a-\\pL]", 0, 7, "[3] c61 c2D p80"},
        {"[\xE2\x82\xAC-\\d]", 0, 8, "[3] u20AC c2D \\d"},  // undone range keeps its RE_UCHAR
        {"[!--]", 0, 5, "[1] r21-2D"},
        {"[--/]", 0, 5, "[1] r2D-2F"},
        {"[\\0-\\0-a]", 0, 9, "[3] r0-0 c2D c61"},
        {"[a-z--0]", 0, 8, "[2] r61-7A r2D-30"},
        {"[\\d-z]", 0, 6, "[3] \\d c2D c7A"},
        {"[\\pL-z]", 0, 7, "[3] p80 c2D c7A"},
        // POSIX members are never range starts, "blank" and "space" included.
        {"[[:blank:]-z]", 0, 13, "[4] c20 c9 c2D c7A"},
        {"[[:digit:]-z]", 0, 13, "[3] r30-39 c2D c7A"},
        {"[\xC3\xA9-\xC5\xBF]", 0, 7, "[1] rE9-17F"},
        {"[\\x{100}-\\x{200}]", 0, 17, "[1] r100-200"},
        {"[a-\\x{100}]", 0, 11, "[1] r61-100"},
        // A range still open at "]" (or at an empty "\Q\E") keeps its hyphen as a member.
        {"[a-\\E]", 0, 6, "[2] c61 c2D"},
        {"[a-\\Ez]", 0, 7, "[1] r61-7A"},
        {"[a-\\Q\\E]", 0, 8, "[2] c61 c2D"},
        {"[a-\\Qz\\E]", 0, 9, "[1] r61-7A"},
        {"[\\Qa-z\\E]", 0, 9, "[3] c61 c2D c7A"},
        // Reversed ranges, at the byte that ends them.
        {"[z-a]", kClass, 3, ""},
        {"x[z-a]", kClass, 4, ""},
        {"[\xC3\xA9-a]", kClass, 4, ""},
        {"[b-\\x61]", kClass, 6, ""},
        {"[b-\\x{61}]", kClass, 8, ""},
        {"[b-\\141]", kClass, 6, ""},
        {"[b-\\a]", kClass, 4, ""},
        {"[b-\\cA]", kClass, 4, ""},
        {"[b-\\!]", kClass, 3, ""},
        {"[b-\\8]", kClass, 4, ""},
        {"[b-\\x{FFFFFFFF}]", kClass, 14, ""},
        {"[z-\\Qa\\E]", kClass, 5, ""},
        {"[a--]", kClass, 3, ""},
    }, false);
}

TEST(RegExpClass, PosixItems) {
    check_rows({
        {"[[:digit:]x]", 0, 12, "[2] r30-39 c78"},
        {"[[:^digit:]]", 0, 12, "[1] r30-39!"},
        {"[[.digit.]]", 0, 11, "[1] r30-39"},
        {"[[=digit=]]", 0, 11, "[1] r30-39"},
        {"[[:word:]]", 0, 10, "\\w"},
        {"[[:^word:]]", 0, 11, "\\W"},
        {"[[:alnum:]]", 0, 11, "[3] r61-7A r41-5A r30-39"},
        {"[[:alpha:]]", 0, 11, "[2] r61-7A r41-5A"},
        {"[[:ascii:]]", 0, 11, "[1] r0-7F"},
        {"[[:blank:]]", 0, 11, "[2] c20 c9"},
        // A negated item of several ranges holds the gaps between them, so it
        // accepts exactly what lies outside all of them.
        {"[[:^blank:]]", 0, 12, "[3] r0-8~ rA-1F~ r21-7FFFFFFF~"},
        {"[[:^punct:]]", 0, 12, "[5] r0-1F~ r30-39~ r41-5A~ r61-7A~ r100-7FFFFFFF~"},
        {"[[:cntrl:]]", 0, 11, "[1] r0-1F"},
        {"[[:graph:]]", 0, 11, "[1] r21-FF"},
        {"[[:lower:]]", 0, 11, "[1] r61-7A"},
        {"[[:print:]]", 0, 11, "[1] r20-FF"},
        {"[[:punct:]]", 0, 11, "[4] r20-2F r3A-40 r5B-60 r7B-FF"},
        {"[[:space:]]", 0, 11, "[2] r9-D c20"},
        {"[[:upper:]]", 0, 11, "[1] r41-5A"},
        {"[[:xdigit:]]", 0, 12, "[3] r61-66 r41-46 r30-39"},
        {"[^[:^xdigit:]]", 0, 14, "[^4] r0-2F~ r3A-40~ r47-60~ r67-7FFFFFFF~"},
        // Not an item: "[" and the delimiter are members.
        {"[[:abc]", 0, 7, "[5] c5B c3A c61 c62 c63"},
        {"[[:]:]]", 0, 4, "[2] c5B c3A"},
        {"[[:a:b]", 0, 7, "[5] c5B c3A c61 c3A c62"},
        {"[[a]", 0, 4, "[2] c5B c61"},
        // Unknown or empty names closed like an item, and items without outer brackets.
        {"[[:foo:]]", kClass, 1, ""},
        {"x[[.foo.]]", kClass, 2, ""},
        {"[[::]]", kClass, 1, ""},
        {"[[:Digit:]]", kClass, 1, ""},
        {"[[:digit:", kClass, 1, ""},
        {"[:alpha:]", kClass, 1, ""},
        {"[.a.]", kClass, 1, ""},
        {"[\\[:x:]]", kClass, 3, ""},
        {"[:a]", 0, 4, "[2] c3A c61"},
        {"[.]", 0, 3, "c2E"},
        {"[:]:]", 0, 3, "c3A"},
    }, false);
}

TEST(RegExpClass, Escapes) {
    check_rows({
        {"[\\b]", 0, 4, "c8"},
        {"[\\101]", 0, 6, "c41"},
        {"[\\1012]", 0, 7, "[2] c41 c32"},
        {"[\\777]", 0, 6, "c1FF"},
        {"[\\8\\9]", 0, 6, "[2] c38 c39"},
        {"[\\a\\e\\f\\n\\r\\t\\v]", 0, 16, "[7] c7 c1B cC cA cD c9 cB"},
        {"[\\cA\\c[\\c1\\cz]", 0, 14, "[4] c1 c1B c71 c1A"},
        {"[\\x41\\x4g]", 0, 10, "[3] c41 c4 c67"},
        {"[\\x]", 0, 4, "c0"},
        {"[\\x{20AC}\\x{}]", 0, 14, "[2] u20AC u0"},
        {"[\\x{0000001F}]", 0, 14, "[1] u1F"},
        {"[\\]\\-\\\\]", 0, 8, "[3] c5D c2D c5C"},
        {"[\\k\\.]", 0, 6, "[2] c6B c2E"},
        {"[\\s\\W]", 0, 6, "[2] \\s \\W"},
        {"[\\E\\Q]\\E]", 0, 9, "c5D"},
        {"[\\Q\xC3\xA9\\E]", 0, 8, "[2] cC3 cA9"},  // bytes, not decoded
        {"[\\x{41]", kEscape, 6, ""},
        {"[\\x{123456789}]", kEscape, 12, ""},
        {"[\\p{Foo}]", kEscape, 4, ""},
        {"[\\P{^L}]", kEscape, 4, ""},
        {"[\\pX]", kEscape, 3, ""},
        // The pattern ends inside the class or inside an escape.
        {"[", kClass, 1, ""},
        {"[]", kClass, 2, ""},
        {"[^", kClass, 2, ""},
        {"[abc", kClass, 4, ""},
        {"[\\", kClass, 2, ""},
        {"[a\\c", kClass, 4, ""},
        {"[\\Qab", kClass, 5, ""},
        {"[\\Qab\\", kClass, 6, ""},
        {"[a-", kClass, 3, ""},
        {"[\\x{41", kEscape, 6, ""},
    }, false);
}

TEST(RegExpClass, Utf8Members) {
    check_rows({
        {"[\xC3\xA9]", 0, 4, "[1] cE9"},  // kept as a class: matches the character, not its lead byte
        {"[\xE2\x82\xAC]", 0, 5, "[1] u20AC"},
        {"[\xC3]", 0, 3, "[1] cC3"},
        {"[\xF0\x90\x90\x80]", 0, 6, "[1] u10400"},
        {"[\xED\xA0\x80]", 0, 5, "[1] uD800"},  // surrogates are not refused
        {"[\xF8\x88\x80\x80\x80]", 0, 7, "[1] u200000"},
        {"[\xFC\x84\x80\x80\x80\x80]", 0, 8, "[1] u4000000"},
        {"[\xFD\xBF\xBF\xBF\xBF\xBF]", 0, 8, "[1] u7FFFFFFF"},
        // Over-long forms, stray continuation bytes, bad continuations and
        // 0xFE/0xFF: the first byte alone, then the rest on their own.
        {"[\xC0\x80]", 0, 4, "[2] cC0 c80"},
        {"[\xE0\x80\x80]", 0, 5, "[3] cE0 c80 c80"},
        {"[\x80\xBF]", 0, 4, "[2] c80 cBF"},
        {"[\xC3\x41]", 0, 4, "[2] cC3 c41"},
        {"[\xE2\x82]", 0, 4, "[2] cE2 c82"},
        {"[\xFE\xFF]", 0, 4, "[2] cFE cFF"},
        {"[\xE2\x82", kClass, 3, ""},
        {"[\xF0\x90\x90", kClass, 4, ""},
    }, false);
}

TEST(RegExpProperty, FormsAndNodes) {
    check_rows({
        {"\\pL", 0, 3, "p80"},
        {"\\p{L}", 0, 5, "p80"},
        {"\\PL", 0, 3, "p80^"},
        {"\\p{^L}", 0, 6, "p80^"},
        {"\\pC\\pM\\pN\\pP\\pS\\pZ", 0, 3, "p2000"},
        {"\\p{Lu}", 0, 6, "p82"},
        {"\\p{L&}", 0, 6, "p87"},
        {"\\p{Co}", 0, 6, "p2004"},
        {"\\p{Cn}", 0, 6, "p2010"},
        {"\\p{Zs}x", 0, 6, "p201"},
        {"\\P{Po}", 0, 6, "p1040^"},
        {"\\p{N}", 0, 5, "p800"},
        {"\\p{Greek}", 0, 9, "sGreek/51"},
        {"\\p{Latin}", 0, 9, "sLatin/42"},
        {"\\P{Han}", 0, 7, "sHan/15^"},
        {"\\p{^Cham}", 0, 9, "sCham/13^"},
        {"\\p{Common}", 0, 10, "sCommon/530"},
        {"\\p{Coptic}", 0, 10, "sCoptic/6"},
        {"\\p{Old_Italic}", 0, 14, "sOld_Italic/2"},
        {"\\p{Inherited}", 0, 13, "sInherited/22"},
        {"\\p{InBasicLatin}", 0, 16, "b0-7F"},
        {"\\p{InLatin}", 0, 11, "b80-FF"},
        {"\\p{InGreek}", 0, 11, "b370-3FF"},
        {"\\p{InCJKUnifiedIdeographs}", 0, 26, "b4E00-9FFF"},  // exact name before prefixes
        {"\\p{InCJKUnifiedIdeographsE}", 0, 27, "b3400-4DBF"},
        {"\\p{InCJK}", 0, 9, "b2E80-2EFF"},
        {"\\P{InMahjongTiles}", 0, 18, "b1F000-1F02F^"},
        {"\\p{InSupplementaryPrivateUseAreaB}", 0, 34, "b100000-10FFFF"},
        {"\\p{Any}", 0, 7, "b0-10FFFF"},
        {"\\P{Any}", 0, 7, "b0-10FFFF^"},
        // Failures, at the rejected byte.
        {"\\P{^L}", -1, 3, ""},
        {"\\p{Lux}", -1, 5, ""},
        {"\\p{Cox}", -1, 3, ""},
        {"\\p{l}", -1, 3, ""},
        {"\\p{greek}", -1, 3, ""},
        {"\\p{Greek", -1, 3, ""},
        {"\\p{InFoo}", -1, 3, ""},
        {"\\p{Anyx}", -1, 6, ""},
        {"\\p{Any", -1, 6, ""},
        {"\\p{}", -1, 3, ""},
        {"\\p{^}", -1, 4, ""},
        {"\\pX", -1, 2, ""},
        {"\\pl", -1, 2, ""},
        {"\\p", -1, 2, ""},
        {"\\p{", -1, 3, ""},
        {"\\p{L", -1, 3, ""},
        {"\\p{Lu", -1, 5, ""},
        {"\\p{In", -1, 3, ""},
    }, true);
}

TEST(RegExpProperty, OverlongBlockNameIsRejected) {
    const std::string pattern = "\\p{In" + std::string(200, 'a') + "}";
    const Outcome o = run(pattern, 1, true, true);
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.offset, 3);
}

// Property escapes as the matcher sees them: the parsed node evaluated with
// the code-point services.
bool node_matches(const RegExpNode& n, uint32_t c) {
    switch (n.w0) {
    case RE_UPROP: return uprop_test(c, n.w1, n.w2);
    case RE_URANGE: return urange_test(c, n.w1, n.w2, n.w3);
    case RE_URANGES: return uranges_test(c, static_cast<const int32_t*>(node_pointer(n)), n.w3, n.w2);
    default: ADD_FAILURE() << "not a property node"; return false;
    }
}

TEST(RegExpProperty, EscapesAgainstCodePoints) {
    struct Case {
        const char* escape;
        uint32_t c;
        bool match;
    };
    const Case cases[] = {
        {"\\p{L}", 0x4E00, true},     {"\\p{Lo}", 0x4E00, true},    {"\\p{Cn}", 0x4E00, false},
        {"\\p{Lu}", 0x4E00, false},   {"\\P{L}", 0x4E00, false},    {"\\p{Han}", 0x4E00, true},
        {"\\p{Cn}", 0x378, true},     {"\\P{Cn}", 0x378, false},    {"\\P{L}", 0x378, true},
        {"\\p{C}", 0x378, false},     {"\\p{Greek}", 0x378, false}, {"\\p{InGreek}", 0x378, true},
        {"\\p{Lu}", 'A', true},       {"\\p{L}", 'A', true},        {"\\p{L&}", 'A', true},
        {"\\p{Ll}", 'A', false},      {"\\P{Ll}", 'A', true},       {"\\p{Latin}", 'A', true},
        {"\\p{^Latin}", 'A', false},  {"\\p{InBasicLatin}", 'A', true},
        {"\\p{M}", 0x301, true},      {"\\p{Mn}", 0x301, true},     {"\\PM", 0x301, false},
        {"\\p{Inherited}", 0x301, true},
        {"\\p{L}", 0xE01F0, false},   {"\\P{L}", 0xE01F0, false},   {"\\p{Cn}", 0xE01F0, false},
        {"\\P{Cn}", 0xE01F0, false},  {"\\p{Any}", 0xE01F0, true},  {"\\P{Any}", 0xE01F0, false},
        {"\\p{Cs}", 0xD800, true},    {"\\p{C}", 0xDFFF, true},     {"\\P{Cs}", 0xDB80, false},
        {"\\p{Co}", 0xD800, false},   {"\\P{Co}", 0xD800, true},    {"\\p{InHighSurrogates}", 0xD800, true},
        {"\\p{Co}", 0xE000, true},    {"\\p{C}", 0xF0000, true},    {"\\P{Co}", 0x10FFFD, false},
        {"\\p{L}", 0xE000, false},    {"\\P{L}", 0xE000, true},     {"\\p{InPrivateUseArea}", 0xF8FF, true},
        {"\\p{Any}", 0x10FFFF, true}, {"\\p{Any}", 0x110000, false}, {"\\P{Any}", 0, false},
    };
    for (const Case& k : cases) {
        RegExpNode node{};
        int32_t count = 0;
        const char* cursor = k.escape + 1;
        ASSERT_EQ(ownRegExpParseProperty(cursor, &node, count, k.escape[1] == 'P' ? -1 : 0), 0) << k.escape;
        EXPECT_EQ(node_matches(node, k.c), k.match) << k.escape << " against U+" << hex(int32_t(k.c));
    }
}

// The class parser appends after nodes already written and leaves them alone.
TEST(RegExpClass, AppendsAfterExistingNodes) {
    RegExpNode nodes[8];
    std::memset(static_cast<void*>(nodes), 0, sizeof nodes);
    nodes[0].w0 = RE_CHAR;
    nodes[0].w1 = 'x';
    nodes[1].w0 = RE_CHAR;
    nodes[1].w1 = 'y';
    int32_t count = 2;
    const char* pattern = "xy[a][bc]";
    const char* cursor = pattern + 2;
    ASSERT_EQ(ownRegExpParseClass(pattern, cursor, nodes, count), qelOk);
    ASSERT_EQ(ownRegExpParseClass(pattern, cursor, nodes, count), qelOk);
    EXPECT_EQ(cursor, pattern + 9);
    EXPECT_EQ(dump(nodes, count), "c78 c79 c61 [2] c62 c63");
}

}  // namespace

namespace {

// Random classes over the bytes that matter to the parser: whatever the
// input, the parser stays inside the pattern and the node capacity, reports
// an offset inside the pattern, and leaves a well-formed class behind.
TEST(RegExpClass, RandomPatternsStayInBounds) {
    static const char kAlphabet[] = "[]^-:.=\\QEpPx{}dDwb0178cLuG&Ina\xC3\xA9\xE2\x82\xAC\xF0\x90\xFF";
    std::mt19937 rng(20260509);
    std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
    std::uniform_int_distribution<int> length(0, 14);
    for (int iteration = 0; iteration < 20000; ++iteration) {
        std::string pattern = "[";
        for (int n = length(rng); n > 0; --n) pattern += kAlphabet[pick(rng)];
        SCOPED_TRACE("pattern \"" + pattern + "\"");
        std::vector<char> text(pattern.begin(), pattern.end());
        text.push_back('\0');
        qeltest::Guarded<char> guarded(text, true);
        const size_t capacity = pattern.size() + 1;
        qeltest::GuardedRegion nodeRegion(capacity * sizeof(RegExpNode));
        RegExpNode* nodes = nodeRegion.tail<RegExpNode>(capacity);
        const char* base = guarded.data();
        const char* cursor = base;
        int32_t count = 0;
        const QelStatus st = ownRegExpParseClass(base, cursor, nodes, count);
        const int32_t offset = int32_t(cursor - base);
        ASSERT_GE(offset, 0);
        ASSERT_LE(offset, int32_t(pattern.size()));
        if (st != qelOk) {
            ASSERT_TRUE(st == qelErrRegExpCharClass || st == qelErrRegExpGroup || st == qelErrRegExpEscape) << st;
            continue;
        }
        ASSERT_EQ(base[offset - 1], ']');
        ASSERT_GE(count, 1);
        ASSERT_LE(count, offset);
        if (nodes[0].w0 != RE_CLASS) {
            ASSERT_EQ(count, 1);
            ASSERT_TRUE(nodes[0].w0 == RE_CHAR || nodes[0].w0 == RE_PREDEF);
            continue;
        }
        ASSERT_EQ(nodes[0].w2, count - 1);
        for (int32_t i = 1; i < count; ++i) {
            const RegExpNode& m = nodes[i];
            ASSERT_TRUE(m.w0 == RE_CHAR || m.w0 == RE_UCHAR || m.w0 == RE_RANGE || m.w0 == RE_PREDEF ||
                        m.w0 == RE_UPROP || m.w0 == RE_URANGE || m.w0 == RE_URANGES)
                << "member " << i;
            if (m.w0 == RE_RANGE) {
                ASSERT_LE(m.w1, m.w2) << "member " << i;
            }
        }
    }
}

}  // namespace
