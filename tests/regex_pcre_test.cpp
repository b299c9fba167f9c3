// Differential test against PCRE2: random patterns and subjects, every
// capture of the first match and of the whole global match list, in both
// subject formats (bytes against PCRE2 without UTF, UTF-8 against PCRE2 with
// UTF). The generator covers the constructs where backtracking engines
// disagree most: nested quantified groups with empty or optional bodies,
// captures inside repeats, atomic groups and look-arounds, back-references
// (quantified, to empty, unset, enclosing and later groups), conditionals on
// a group and on a look-ahead or look-behind, POSIX items (negated ones
// included), anchors with and without "m" ("\G" included), "i" on ASCII
// subjects in bytes and on any characters in UTF-8 (case partners of one to
// four bytes, the Kelvin sign, sigma and its final form, a title-case letter,
// "\x{...}" items and ranges), "x" and inline "x", comments ("(?#...)", also
// between an item and its quantifier, and "#" ones), option groups and inline
// changes, "\C", "\X", property escapes (categories, scripts, blocks, negated
// and inside classes), "\Q...\E", escapes for single bytes, the quantifiers
// "{,m}", "{}" and "{0}", non-ASCII characters, classes and "\x{...}" in UTF-8
// text, and ".*"-led patterns. The same patterns also run
// over subjects of up to 16 KB (where the driver's cuts, skips and budgets
// start to act) and through the replacement of the first and every match.
// QELCH_DIFF_SEED, QELCH_DIFF_PATTERNS, QELCH_DIFF_LONG_PATTERNS and
// QELCH_DIFF_REPLACE_PATTERNS set the seed and the sizes for long runs.
//
// Where this library defines a construct differently on purpose, the oracle
// call is adapted or the case is skipped by one of these named rules; the
// skips are counted per rule and printed.
//
// | rule           | why                                                  | example             |
// |----------------|------------------------------------------------------|---------------------|
// | line-start     | a pattern led by ".*" or ".+" (not lazy), or by the  | ".*a" global over   |
// |  (adapted)     | group "(?:.*)" or "(?:.+)" whatever follows it, is   | "ba" after "ba";    |
// |                | anchored at line starts; the oracle pattern gets     | "(?:.*)?" global    |
// |                | "(?<![^\n])" in front                                | over "ab" after "ab"|
// | space-vt       | "\s" leaves out the vertical tab; the oracle gets    | "\s" on "\v"        |
// |  (adapted)     | "[\t\n\f\r ]" for it ("\S" likewise)                 |                     |
// | g-anchor       | "\G" holds at the subject start only, in every match | "\Ga" global over   |
// |  (adapted)     | of a global search; the oracle gets "\A"             | "aa": one match     |
// | brace-         | "{,m}" and "{}" are quantifiers ({0,m} and {0,0});   | "a{,2}" on "aa"     |
// |  quantifier    | the oracle, which reads them as text, gets "{0,m}"   |                     |
// |  (adapted)     | and "{0}"                                            |                     |
// | property-names | a bare script name is the script property (the      | "\p{Greek}" on     |
// |  (adapted)     | oracle's takes script extensions in): the oracle gets| U+0342              |
// |                | "\p{sc:...}"; blocks, which it lacks, become ranges  | "\p{InBasicLatin}" |
// |                | compared without case folding                        |                     |
// | grapheme       | "\X" is a character other than a mark with the marks | "\X" on "\r\n":    |
// |  (adapted)     | after it, no other cluster rule; the oracle gets     | here 1 byte,        |
// |                | "(?>\P{M}\p{M}*)" (in bytes "[\x00-\x7f]", the only  | oracle 2            |
// |                | valid sequences there)                               |                     |
// | posix-case     | under "i" a POSIX item is ranges, which take every   | "[[:alpha:]]" under |
// |  (adapted)     | character with a case form inside; the oracle keeps  | "i" on U+212A       |
// |                | POSIX items to ASCII. Under "i" in UTF-8 the items   | (lower-cases to "k")|
// |                | with letters are spelled as ranges for the oracle    |                     |
// | posix-punct    | "punct" holds the space and 0x7B-0xFF; the oracle    | "[[:punct:]]" on    |
// |  (adapted)     | gets those ranges spelled out                        | " " or "\xE9"       |
// | lazy-merge     | a predefined item followed by the same item with a   | "\w\w{1,3}?" is     |
// |                | lazy quantifier is merged into one greedy repeat     | "\w{2,4}"           |
// | syntax         | one side refuses the pattern (limits of either       | "\3" with two      |
// |                | grammar): both refuse a reference to a group the     | groups; "(?<=ab|c)" |
// |                | pattern lacks; look-behind alternatives of different | here                |
// |                | widths are refused here                              |                     |
// | oracle-limit   | the oracle, run without its start-up optimisations,  | "((\C)*){2,}" over  |
// |                | gave up at its match limit: no answer to compare,    | a dozen bytes       |
// |                | and the same backtracking is slow here too           |                     |
// | bounded-empty  | a group that can match empty under a quantifier with | "(|a){0,2}()" after |
// |                | a finite maximum above its minimum: here an empty    | an empty match at   |
// |                | pass at or above the minimum ends the repetition;    | "a": here "(1,0)",  |
// |                | the oracle unrolls bounded repeats into copies and   | oracle "(0,1)"      |
// |                | runs every copy. Likewise under a minimum of 2 or    | "(?>aa\2|(Ac|)){2}" |
// |                | more when the body holds a back-reference or a       | on "aa": here an    |
// |                | condition: here an empty pass ends the repetition    | empty match, oracle |
// |                | below the minimum too, the oracle runs the next copy | "aa"                |
// |                | with the capture the empty pass set                  |                     |
// | utf-lookbehind | UTF-8 format, a look-behind, and either a subject    | "(?<=\b.)" from 2   |
// |                | with a multi-byte character among its first two      | in "a.b": oracle 3, |
// |                | (fewer characters than the width before the position:| here 2              |
// |                | the window here starts that many bytes back), or a   |                     |
// |                | "\b" at the start of the body (the oracle in UTF mode|                     |
// |                | does not look before the start offset minus the      |                     |
// |                | look-behind length)                                  |                     |
// | optional-look  | a look-around under a quantifier with minimum 0 and  | "(?=(a))?a" on "ab":|
// |                | a maximum above 0 is dropped with its body here      | here capture 1      |
// |                | (match or no match is the same either way, as the    | unset, oracle (0,1) |
// |                | assertion may always be skipped); the oracle tries   |                     |
// |                | it and keeps its captures. Skipped only when its     |                     |
// |                | body holds a capture group                           |                     |
// | oracle-zero-   | a group or look-around quantified "{0}" (never       | "(?!x|^){0}ba" on   |
// |  anchor        | tested) whose body holds "^", "\A" or "\G" after its | "ba",               |
// |                | first alternative: the oracle finds no match         | "(?:b|\Ab){0}a" on  |
// |                | anywhere, where the same pattern without the group   | "xa": here and in   |
// |                | matches (the oracle's fault; Perl agrees with this   | Perl a match,       |
// |                | library)                                             | oracle none         |
// | match-limit    | the match limit bounds the nesting of match steps    | ".{2,}?\x{1f600}"   |
// |                | (about one per item on the path, so a group repeated | over 16 KB of "a";  |
// |                | over thousands of bytes nests past the default       | "(?:\C{3}?|){2,}"   |
// |                | 10000) and the work of a search call (10^8 steps);   | over 4 KB           |
// |                | past either this library reports "match limit", the  |                     |
// |                | oracle's limits differ. Skipped only when the same   |                     |
// |                | searches with a limit of 100000 give the oracle's    |                     |
// |                | answer, or, over 2 KB or more, still report "match   | "(?:(?-s:(?(1)c|    |
// |                | limit": the nesting of group passes has met the      | [^a])))+" over 4 KB |
// |                | bound on the native stack, which the limit does not  | of line feeds       |
// |                | raise (the oracle backtracks on the heap)            |                     |
// | repeated-look  | a look-around under a quantifier with a minimum of 1 | "(?=\1?(a?)){2}" on |
// |                | or more is tested once here (each test sees the same | "a": here capture 1 |
// |                | position); the oracle tests it again, and a later    | (0,1), oracle (1,0) |
// |                | test differs where the body reads a capture an       |                     |
// |                | earlier one set. Skipped when the body holds a       |                     |
// |                | capture group and a back-reference                   |                     |
// | literal-case   | under "i" a literal character of several bytes is    | "\xC3\xA9" under   |
// |                | compared byte for byte (only ASCII letters fold),    | "i" on "\xC3\x89"   |
// |                | the oracle folds it. Skipped when the pattern holds  |                     |
// |                | one in UTF-8 under "i"                               |                     |
// | backref-case   | a back-reference under "i" folds ASCII letters only; | "(.)\1" under "i"   |
// |                | the oracle folds every letter. Skipped for UTF-8     | on "\xC3\xA9\xC3\x89"|
// |                | subjects with a non-ASCII character                  |                     |
// | case-map       | under "i" two characters match when their lower-case | "\x{3a3}" under "i" |
// |                | mappings agree; the final sigma U+03C2 has none, the | on U+03C2           |
// |                | oracle's case sets join it with the other sigmas.    |                     |
// |                | Skipped for UTF-8 subjects holding it when the       |                     |
// |                | pattern holds a sigma item                           |                     |
// | unicode-data   | the character data here is Unicode 5.1, where        | "\p{So}", "\X" on  |
// |                | U+1F600 is unassigned; the oracle's is later.        | U+1F600             |
// |                | Skipped for subjects holding it when the pattern has |                     |
// |                | a property escape or "\X"                            |                     |
//
// A failure prints the pattern, options, format, the escaped subject and both
// record lists. The run is seeded, so every failure reproduces; a watchdog
// ends the run with the current case printed if one call takes too long.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qelch.h"

namespace {

using Records = std::vector<std::pair<int, int>>;

// ---- Named skip rules. ----
enum Rule {
    kLazyMerge,
    kSyntax,
    kOracleLimit,
    kBoundedEmpty,
    kUtfLookBehind,
    kOptionalLook,
    kOracleZeroAnchor,
    kMatchLimit,
    kLiteralCase,
    kBackrefCase,
    kUnicodeData,
    kCaseMap,
    kRepeatedLook,
    kRuleCount
};
const char* const kRuleNames[kRuleCount] = {"lazy-merge",    "syntax",           "oracle-limit", "bounded-empty",
                                            "utf-lookbehind", "optional-look",   "oracle-zero-anchor", "match-limit",
                                            "literal-case",  "backref-case",     "unicode-data",
                                            "case-map",      "repeated-look"};

// A back-reference "\1" to "\9" (not an octal escape such as "\141").
bool has_backref(const std::string& p) {
    for (size_t i = 0; i + 1 < p.size(); ++i) {
        if (p[i] != '\\') continue;
        if (p[i + 1] >= '1' && p[i + 1] <= '9' && (i + 2 >= p.size() || p[i + 2] < '0' || p[i + 2] > '9')) return true;
        ++i;
    }
    return false;
}

// "^" (not the one negating a class, a POSIX item or a property), "\A" or
// "\G" (the last is "\A" to the oracle).
bool holds_anchor(const std::string& p) {
    for (size_t at = p.find('^'); at != std::string::npos; at = p.find('^', at + 1))
        if (at == 0 || std::strchr("[:{", p[at - 1]) == nullptr) return true;
    return p.find("\\A") != std::string::npos || p.find("\\G") != std::string::npos;
}

// ---- Pattern and subject generator. ----
struct Mode {
    bool utf;       // UTF-8 format against the oracle's UTF mode
    bool caseless;  // "i": on ASCII subjects in bytes, on any characters in UTF-8
};

class DiffGen {
public:
    explicit DiffGen(uint32_t seed) : rng_(seed) {}
    uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

    std::string pattern(const Mode& m) {
        mode_ = m;
        groups_ = 0;
        // Patterns that may turn "x" on inline write their spaces escaped,
        // so that a space never stands between an item and its quantifier.
        inlineX_ = pick(8) == 0;
        boundedEmpty_ = false;
        optionalLook_ = false;
        zeroAnchor_ = false;
        literalCase_ = false;
        repeatedLook_ = false;
        if (pick(12) == 0) return std::string(pick(2) ? ".*" : ".+") + alternation(0);
        return alternation(0);
    }
    // The last pattern holds a group that can match empty under a quantifier
    // with a finite maximum above its minimum ("bounded-empty" rule).
    bool bounded_empty() const { return boundedEmpty_; }
    // The last pattern holds a look-around with a capture group in its body
    // under a quantifier with minimum 0 ("optional-look" rule).
    bool optional_look() const { return optionalLook_; }
    // ... a group or look-around quantified "{0}" whose body holds "^", "\A"
    // or "\G" ("oracle-zero-anchor" rule).
    bool zero_anchor() const { return zeroAnchor_; }
    // ... a multi-byte literal character under "i" ("literal-case" rule).
    bool literal_case() const { return literalCase_; }
    // ... a look-around with a minimum of 1 or more whose body sets a capture
    // and holds a back-reference ("repeated-look" rule).
    bool repeated_look() const { return repeatedLook_; }

    std::string subject(const Mode& m) {
        static const char kAscii[] = "aaabbbcx_1 .\n-AB\v";
        // Letters with case partners in one, two and four bytes (sigma with
        // its final form, the Kelvin sign that lower-cases to "k", a title-case
        // letter), a combining mark, a letter of a bulk range, and U+1F600,
        // which the library's character data does not know.
        static const char* const kWide[] = {"\xC3\xA9",         "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xCC\x81",
                                            "\xC3\x89",         "\xC3\x97",     "\xCE\xA3",         "\xCF\x83",
                                            "\xCF\x82",         "\xE2\x84\xAA", "\xCE\xB1",         "\xC7\x85",
                                            "\xF0\x90\x90\x80", "\xF0\x90\x90\xA8", "\xE4\xB8\xAD",     "\xC5\xB8",
                                            "\xC3\xBF"};
        static const char kHigh[] = {'\x80', '\xE9', '\xFF', '\xC3'};
        const size_t len = pick(8) == 0 ? 10 + pick(10) : pick(11);
        std::string s;
        while (s.size() < len) {
            if ((m.caseless && !m.utf) || pick(6) != 0) {
                s += kAscii[pick(sizeof(kAscii) - 1)];
            } else if (m.utf) {
                s += kWide[pick(sizeof(kWide) / sizeof(kWide[0]))];
            } else {
                // A lone high byte followed by ASCII: never a valid sequence,
                // so both engines see one byte.
                s += kHigh[pick(4)];
                s += kAscii[pick(sizeof(kAscii) - 2)];
            }
        }
        return s;
    }

    // A long subject: filler of one of three kinds (text-like with few of the
    // generator's letters, the short subjects' mix, or one repeated byte) with
    // a few short subjects spliced in, at lengths around the windows and step
    // sizes of the search driver's fast paths (256, 512, 4096 and 16384
    // bytes), so that their cuts, skips and window ends meet the match.
    std::string long_subject(const Mode& m) {
        static const int kBase[] = {64, 240, 500, 1000, 4080, 16370};
        static const int kSpread[] = {64, 40, 30, 200, 40, 30};
        const int which = pick(16) == 0 ? 5 : int(pick(5));
        const size_t len = size_t(kBase[which] + int(pick(uint32_t(kSpread[which]))));
        static const char kText[] = "qzyqzqyvvw qzy7 qqzz\nqy-";
        const uint32_t kind = pick(3);
        const char same = "ab \nx"[pick(5)];
        std::string s;
        while (s.size() < len) {
            if (kind == 0) {
                s += kText[pick(sizeof(kText) - 1)];
            } else if (kind == 1) {
                s += subject(m);
            } else {
                s += same;
            }
        }
        // Pieces are spliced in after an ASCII byte: UTF-8 stays valid, and a
        // piece that starts with a high byte never completes a sequence in
        // bytes.
        const uint32_t pieces = pick(4);
        for (uint32_t i = 0; i < pieces; ++i) {
            size_t at = pick(4) == 0 ? s.size() : size_t(pick(uint32_t(s.size() + 1)));
            while (at > 0 && static_cast<unsigned char>(s[at - 1]) >= 0x80) --at;
            s.insert(at, subject(m));
        }
        return s;
    }

    // A replacement template: literal text, "$&", references to captures
    // (one beyond the pattern's count now and then, and two-digit ones) and
    // backslashes, which end a literal run or a reference's digits.
    std::string replacement() {
        static const char* const kPieces[] = {"<", ">", "$&", "$1", "$2", "$3", "$4", "\\", "$1\\0", "x", "$12", "-\\-", "\\$2"};
        std::string t;
        const uint32_t n = pick(5);
        for (uint32_t i = 0; i < n; ++i) t += kPieces[pick(sizeof(kPieces) / sizeof(kPieces[0]))];
        return t;
    }

private:
    // Every generating function leaves in nullable_ whether what it returned
    // can match the empty string (erring towards yes).
    std::string alternation(int depth) {
        std::string s = sequence(depth);
        bool any = nullable_;
        while (depth < 2 && pick(4) == 0) {
            if (pick(6) == 0) {
                s.append("|");
                any = true;
            } else {
                s.append("|").append(sequence(depth));
                any = any || nullable_;
            }
        }
        nullable_ = any;
        return s;
    }

    // An option group's opening, or an inline option change: "m" and "s"
    // anywhere, "i" only where subjects are ASCII (case folding beyond ASCII
    // is not compared).
    std::string option_letters() {
        static const char* const kLetters[] = {"s", "m", "-s", "-m", "i", "-i"};
        std::string l = kLetters[pick(mode_.caseless ? 6 : 4)];
        if (inlineX_ && pick(3) == 0) l = pick(2) ? "x" + l : l + (l[0] == '-' ? "x" : "-x");
        return l;
    }
    std::string option_group() { return std::string("(?") + option_letters() + ":"; }
    std::string option_change() { return std::string("(?") + option_letters() + ")"; }

    std::string sequence(int depth) {
        std::string s;
        // Now and then the options change for the rest of the enclosing
        // group, later alternatives included.
        if (pick(24) == 0) s += option_change();
        bool all = true;
        const int n = 1 + int(pick(depth == 0 ? 4 : 2));
        for (int i = 0; i < n; ++i) {
            s += item(depth);
            all = all && nullable_;
        }
        nullable_ = all;
        return s;
    }

    // A quantifier for an item whose nullability is `bodyNullable`; leaves the
    // quantified item's nullability in nullable_.
    std::string quantifier(bool bodyNullable, bool group, const std::string& body = std::string()) {
        struct Q {
            const char* text;
            bool min0;
            bool bounded;  // finite maximum above the minimum, at least 2
        };
        static const Q kQ[] = {{"*", true, false},     {"+", false, false},    {"?", true, false},
                               {"{2}", false, false},  {"{1,3}", false, true}, {"{0,2}", true, true},
                               {"{2,}", false, false}, {"{3}", false, false},  {"{0,}", true, false},
                               {"{1}", false, false},  {"{,2}", true, true},   {"{}", true, false},
                               {"{0}", true, false},   {"{2,4}", false, true}};
        const Q* q = &kQ[pick(pick(3) == 0 ? 14 : 10)];
        // Most groups that can match empty get a quantifier the oracle agrees
        // on, so that the "bounded-empty" rule skips few patterns.
        static const int kAgreed[] = {0, 1, 2, 3, 6, 7, 8, 9, 11, 12};
        if (group && bodyNullable && q->bounded && pick(4) != 0) q = &kQ[kAgreed[pick(10)]];
        if (group && bodyNullable && q->bounded) boundedEmpty_ = true;
        if (group && (std::strcmp(q->text, "{0}") == 0 || std::strcmp(q->text, "{}") == 0) && holds_anchor(body))
            zeroAnchor_ = true;
        // A minimum of 2 or more: the oracle runs that many copies, which
        // differ from ending at an empty pass only where the empty pass left
        // a capture that a later pass reads.
        if (group && bodyNullable && (q->text[1] == '2' || q->text[1] == '3') &&
            (has_backref(body) || body.find("(?(") != std::string::npos))
            boundedEmpty_ = true;
        nullable_ = bodyNullable || q->min0;
        // Now and then a comment between the item and its quantifier, which
        // binds all the same.
        std::string out = pick(16) == 0 ? std::string("(?#q)") + q->text : std::string(q->text);
        if (pick(4) == 0) out += "?";
        return out;
    }

    // One character wide: usable in look-behind bodies.
    std::string single() {
        static const char* const kAscii[] = {
            "a", "b", "c", ".", "\\d", "\\w", "\\W", "\\s", "\\S", "[abc]", "[^ab]", "[a-c]", "[\\d_]", "x", " ",
            "\\.", "[^\\n]", "[[:alpha:]]", "[[:^alpha:]]", "[[:^space:]]", "[[:digit:][:^xdigit:]]", "[[:punct:]]",
            "[[:^punct:]]", "[^[:^alnum:]]", "\\n", "A", "[[:^lower:]b]", "[[:^blank:]]"};
        // Escapes for single bytes, and "\Q...\E" in and out of classes.
        static const char* const kEscaped[] = {"\\x61", "\\x{62}", "\\t", "\\141", "\\cJ", "\\012", "\\Qa\\E",
                                               "\\Q.\\E", "[\\Q]a\\E]", "[^\\Q-b\\E]"};
        // Code points and ranges, case partners and ranges with letters of
        // both cases among them (which "i" widens).
        static const char* const kUtf[] = {"\\x{e9}", "[\\x{e0}-\\x{ff}]", "[^\\x{20ac}a]", "\\x{20ac}",
                                           "[\\x{100}-\\x{1f600}]", "[\xC3\xA9\xE2\x82\xAC]", "[^\xC3\xA9]",
                                           "\\x{1f600}", "[a\\x{301}]", "\\x{c9}", "[\\x{c0}-\\x{de}]",
                                           "[\\x{3b1}-\\x{3c9}]", "\\x{3a3}", "\\x{3c3}", "\\x{212a}",
                                           "[\\x{100}-\\x{17f}]", "\\x{10428}", "[\\x{10400}-\\x{1040f}]",
                                           "[^\\x{e0}-\\x{ff}]", "[\\x{1c4}-\\x{1c6}]", "\\x{178}"};
        // Property escapes: categories, scripts and blocks, negated forms,
        // and class members.
        static const char* const kProps[] = {
            "\\p{L}",      "\\pL",           "\\p{Lu}",          "\\p{Ll}",         "\\P{Ll}",      "\\p{L&}",
            "\\pN",        "\\p{Nd}",        "\\p{M}",           "\\p{Mn}",         "\\P{M}",       "\\p{Sc}",
            "\\p{S}",      "\\p{P}",         "\\p{Po}",          "\\p{Z}",          "\\p{Zs}",      "\\p{Cc}",
            "\\p{C}",      "\\p{Lo}",        "\\p{Lt}",          "\\p{Any}",        "\\p{Greek}",   "\\p{Latin}",
            "\\p{Common}", "\\p{Inherited}", "\\p{Han}",         "\\P{Latin}",      "\\p{^Lu}",     "\\p{InBasicLatin}",
            "\\P{InLatin1Supplement}", "\\p{InGreekandCoptic}", "[\\p{Lu}\\d]", "[^\\p{L}\\d]", "[\\P{L}a]",
            "[\\p{Greek}\\p{Nd}]"};
        if (mode_.utf && pick(4) == 0) return kUtf[pick(sizeof(kUtf) / sizeof(kUtf[0]))];
        if (pick(10) == 0) return kProps[pick(sizeof(kProps) / sizeof(kProps[0]))];
        if (pick(16) == 0) return kEscaped[pick(sizeof(kEscaped) / sizeof(kEscaped[0]))];
        if (!mode_.utf && pick(12) == 0) return "\\C";
        const char* a = kAscii[pick(sizeof(kAscii) / sizeof(kAscii[0]))];
        return inlineX_ && a[0] == ' ' ? "\\ " : a;
    }

    std::string atom() {
        if (pick(5) == 0) {
            static const char* const kStrings[] = {"ab", "bc", "abc", "aa", "\\Qa.\\E", "\\Q*b\\E"};
            return kStrings[pick(6)];
        }
        // Never quantified: a quantifier after a multi-byte literal repeats its
        // last byte here.
        if (mode_.utf && pick(10) == 0) {
            if (mode_.caseless) literalCase_ = true;
            return pick(2) ? "\xC3\xA9" : "\xE2\x82\xAC";
        }
        // An extended character; not in look-behind, where the oracle wants a
        // fixed length.
        if (pick(24) == 0) return "\\X";
        return single();
    }

    // A back-reference to any group opened so far, the enclosing ones included.
    std::string backref() {
        // Now and then a group opened further on (refused by both sides if
        // none is).
        if (groups_ < 9 && pick(8) == 0) return std::string("\\") + std::to_string(groups_ + 1);
        if (groups_ == 0) return single();
        return std::string("\\") + std::to_string(1 + pick(uint32_t(groups_ < 9 ? groups_ : 9)));
    }

    std::string body(int depth) {
        std::string b;
        switch (pick(8)) {
            case 0: break;
            case 1: b = alternation(depth + 1) + "|"; break;
            case 2: b = single() + "?"; break;
            default: return alternation(depth + 1);
        }
        nullable_ = true;
        return b;
    }

    // A look-behind item: one character, now and then a multi-byte literal
    // (its width counts characters, not bytes).
    std::string behind_item() {
        if (mode_.utf && pick(5) == 0) {
            if (mode_.caseless) literalCase_ = true;
            return pick(2) ? "\xC3\xA9" : "\xE2\x82\xAC";
        }
        return single();
    }

    std::string lookbehind() {
        static const char* const kFixed[] = {"(?<=a)", "(?<!b)", "(?<=[ab]c)", "(?<!\\d)", "(?<=\\b.)", "(?<!^)"};
        if (pick(3) == 0) return kFixed[pick(6)];
        std::string s = pick(2) ? "(?<=" : "(?<!";
        const int n = 1 + int(pick(2));
        if (pick(3) == 0) {
            ++groups_;
            s += std::string("(") + single() + ")";
        } else if (pick(4) == 0) {
            ++groups_;
            s += std::string("(?>(") + single() + std::string(")|") + single() + ")";
        }
        const bool plain = s.size() == 4;
        for (int i = 0; i < n; ++i) s += behind_item();
        if (plain && pick(4) == 0) {
            s += "|";
            for (int i = 0; i < n; ++i) s += behind_item();
        }
        return s + ")";
    }

    // Now and then a quantifier after a look-around: one with a minimum of
    // 1 or more changes nothing, "{0}" drops the assertion on both sides.
    std::string look_quantifier(const std::string& group, bool bodyCaptures) {
        if (pick(4) != 0) return "";
        static const char* const kQ[] = {"?", "*", "{0,2}", "??", "+", "{1,3}", "{0}", "{2}"};
        const uint32_t k = pick(8);
        if (k < 4 && bodyCaptures) optionalLook_ = true;
        if (k == 6 && holds_anchor(group)) zeroAnchor_ = true;
        if ((k == 4 || k == 5 || k == 7) && bodyCaptures && has_backref(group)) repeatedLook_ = true;
        return kQ[k];
    }

    std::string item(int depth) {
        std::string it = item_text(depth);
        return it;
    }

    std::string item_text(int depth) {
        nullable_ = false;
        uint32_t r = pick(19);
        if (depth >= 2 && r >= 5) r = pick(4);
        switch (r) {
            case 0: case 1: case 2: return atom();
            case 3: return single() + quantifier(false, false);
            case 4: {
                static const char* const kAnchors[] = {"^", "$", "\\b", "\\B", "\\A", "\\z", "\\Z", "\\G"};
                nullable_ = true;
                // A comment now and then: "#" ones are literal text without "x".
                if (pick(10) == 0) return pick(2) ? "(?#c)" : "#c\n";
                return kAnchors[pick(8)];
            }
            case 5: case 6: case 7: {
                ++groups_;
                std::string g = std::string("(") + body(depth) + ")";
                return pick(3) ? g + quantifier(nullable_, true, g) : g;
            }
            case 8: case 9: {
                std::string g = std::string(pick(4) == 0 ? option_group() : "(?:") + body(depth) + ")";
                return g + quantifier(nullable_, true, g);
            }
            case 10: {
                std::string g = std::string("(?>") + body(depth) + ")";
                return pick(2) ? g + quantifier(nullable_, true, g) : g;
            }
            case 11: {
                const int before = groups_;
                std::string g = std::string(pick(2) ? "(?=" : "(?!") + alternation(depth + 1) + ")";
                g += look_quantifier(g, groups_ > before);
                nullable_ = true;
                return g;
            }
            case 12: {
                const int before = groups_;
                std::string g = lookbehind();
                g += look_quantifier(g, groups_ > before);
                nullable_ = true;
                return g;
            }
            case 13: {
                std::string g = backref();
                nullable_ = true;
                return g;
            }
            case 14: {
                std::string g = backref();
                return g + quantifier(true, false);
            }
            case 15: {
                if (groups_ == 0) return atom();
                const std::string n = std::to_string(1 + pick(uint32_t(groups_ < 9 ? groups_ : 9)));
                std::string c = std::string("(?(") + n + std::string(")") + sequence(depth + 1);
                if (pick(3)) c += std::string("|") + sequence(depth + 1);
                nullable_ = true;
                return c + ")";
            }
            case 16: {
                static const char* const kConditions[] = {"(?(?=", "(?(?!", "(?(?<=", "(?(?<!"};
                std::string c = std::string(kConditions[pick(4)]) + single() + std::string(")") + sequence(depth + 1);
                if (pick(2)) c += std::string("|") + sequence(depth + 1);
                nullable_ = true;
                return c + ")";
            }
            case 17: {
                ++groups_;
                static const char* const kEmpty[] = {"(|a)", "(a|)", "()", "(a?)", "(a*)", "(\\b)", "(b*?)"};
                return std::string(kEmpty[pick(7)]) + quantifier(true, true);
            }
            default: {
                groups_ += 2;
                std::string g = std::string("((") + atom() + std::string(")") + quantifier(false, true) + ")";
                return g + quantifier(nullable_, true);
            }
        }
    }

    std::mt19937 rng_;
    Mode mode_{};
    int groups_ = 0;
    bool inlineX_ = false;
    bool nullable_ = false;
    bool boundedEmpty_ = false;
    bool optionalLook_ = false;
    bool zeroAnchor_ = false;
    bool literalCase_ = false;
    bool repeatedLook_ = false;
};

// ---- Oracle side. ----
// Property names the oracle spells differently: scripts by their script
// property alone (its bare names take script extensions in), blocks as the
// code-point range, compared without case folding as here.
struct PropertySpelling {
    const char* ours;
    const char* utf;
    const char* bytes;
};
const PropertySpelling kPropertySpellings[] = {
    {"\\p{Greek}", "\\p{sc:Greek}", "\\p{sc:Greek}"},
    {"\\p{Latin}", "\\p{sc:Latin}", "\\p{sc:Latin}"},
    {"\\P{Latin}", "\\P{sc:Latin}", "\\P{sc:Latin}"},
    {"\\p{Common}", "\\p{sc:Common}", "\\p{sc:Common}"},
    {"\\p{Inherited}", "\\p{sc:Inherited}", "\\p{sc:Inherited}"},
    {"\\p{Han}", "\\p{sc:Han}", "\\p{sc:Han}"},
    {"\\p{InBasicLatin}", "(?-i:[\\x{0}-\\x{7f}])", "(?-i:[\\x00-\\x7f])"},
    {"\\P{InLatin1Supplement}", "(?-i:[^\\x{80}-\\x{ff}])", "(?-i:[^\\x80-\\xff])"},
    {"\\p{InGreekandCoptic}", "(?-i:[\\x{370}-\\x{3ff}])", "(?!)"},
    // An extended character is a character other than a mark and the marks
    // after it (no other cluster rules); in bytes it is an ASCII byte, the
    // only valid sequence there.
    {"\\X", "(?>\\P{M}\\p{M}*)", "[\\x00-\\x7f]"},
    // "\G" holds at the subject start only, in every match of a global search.
    {"\\G", "\\A", "\\A"},
};

// POSIX items are ranges here, which under "i" take every character with a
// case form inside (U+212A KELVIN SIGN by "k"); the oracle keeps them to
// ASCII. Under "i" in UTF-8 the items with letters are spelled as ranges,
// and a complemented member as "not that range" before any character.
const std::pair<const char*, const char*> kPosixLetterItems[] = {
    {"[[:alpha:]]", "[a-zA-Z]"},
    {"[[:^alpha:]]", "(?:(?![a-zA-Z])(?s:.))"},
    {"[^[:^alnum:]]", "[a-zA-Z0-9]"},
    {"[[:^lower:]b]", "(?:(?![a-z])(?s:.)|b)"},
};

std::string adapt_for_oracle(const std::string& pattern, const Mode& mode) {
    const bool utf = mode.utf;
    std::string p = pattern;
    if (mode.utf && mode.caseless)
        for (const auto& [item, spelled] : kPosixLetterItems)
            for (size_t at = p.find(item); at != std::string::npos; at = p.find(item, at + std::strlen(spelled)))
                p.replace(at, std::strlen(item), spelled);
    std::string out;
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '\\' && i + 1 < p.size()) {
            if (p[i + 1] == 's' || p[i + 1] == 'S') {
                // Only generated outside classes.
                out += p[i + 1] == 's' ? "[\\t\\n\\f\\r ]" : "[^\\t\\n\\f\\r ]";
                ++i;
                continue;
            }
            bool spelled = false;
            for (const PropertySpelling& ps : kPropertySpellings) {
                if (p.compare(i, std::strlen(ps.ours), ps.ours) == 0) {
                    out += utf ? ps.utf : ps.bytes;
                    i += std::strlen(ps.ours) - 1;
                    spelled = true;
                    break;
                }
            }
            if (spelled) continue;
            out += p[i];
            out += p[i + 1];
            ++i;
            continue;
        }
        out += p[i];
    }
    for (const auto& [item, spelled] :
         {std::pair<std::string, std::string>{"[[:punct:]]", "[\\x20-\\x2F\\x3A-\\x40\\x5B-\\x60\\x7B-\\xFF]"},
          {"[[:^punct:]]", "[^\\x20-\\x2F\\x3A-\\x40\\x5B-\\x60\\x7B-\\xFF]"}})
        for (size_t at = out.find(item); at != std::string::npos; at = out.find(item, at + spelled.size()))
            out.replace(at, item.size(), spelled);
    // "{,m}" and "{}" are quantifiers here, literal text to the oracle.
    std::string braced;
    for (size_t i = 0; i < out.size(); ++i) {
        braced += out[i];
        if (out[i] == '{' && i + 1 < out.size() && (out[i + 1] == ',' || out[i + 1] == '}')) braced += '0';
    }
    out.swap(braced);
    if (pattern.rfind(".*", 0) == 0 || pattern.rfind(".+", 0) == 0) {
        if (pattern.size() == 2 || pattern[2] != '?') out = std::string("(?<![^\\n])") + out;
    } else if (pattern.rfind("(?:.*)", 0) == 0 || pattern.rfind("(?:.+)", 0) == 0) {
        out = std::string("(?<![^\\n])") + out;
    }
    return out;
}

struct Oracle {
    pcre2_code* code = nullptr;
    pcre2_match_data* md = nullptr;
    pcre2_match_context* ctx = nullptr;
    int captures = 0;  // capture count + 1
    bool utf = false;
    bool limited = false;  // a call hit the oracle's limits
    Oracle(const std::string& pattern, uint32_t flags) : utf(flags & PCRE2_UTF) {
        int err = 0;
        PCRE2_SIZE off = 0;
        // Without its start-up optimisations the oracle backtracks the way this
        // library does, so its match limit marks the cases that are slow here
        // too; the optimisations never change a result.
        flags |= PCRE2_NO_START_OPTIMIZE | PCRE2_NO_AUTO_POSSESS | PCRE2_NO_DOTSTAR_ANCHOR;
        code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), pattern.size(), flags, &err, &off, nullptr);
        if (!code) return;
        md = pcre2_match_data_create_from_pattern(code, nullptr);
        ctx = pcre2_match_context_create(nullptr);
        pcre2_set_match_limit(ctx, 100000);
        pcre2_set_depth_limit(ctx, 5000);
        uint32_t n = 0;
        pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &n);
        captures = static_cast<int>(n) + 1;
    }
    ~Oracle() {
        pcre2_match_context_free(ctx);
        pcre2_match_data_free(md);
        pcre2_code_free(code);
    }
    // The match limit holds per start position: over a long subject it is
    // cut down so that a search over every position stays within about
    // 2 x 10^7 steps, as the "oracle-limit" rule assumes of a slow search.
    void limit_for(size_t subjectLength) {
        const size_t perPosition = subjectLength > 200 ? 20000000 / subjectLength : 100000;
        pcre2_set_match_limit(ctx, uint32_t(perPosition < 1000 ? 1000 : perPosition));
    }
    bool match(const std::string& s, size_t len, size_t start, uint32_t flags, Records& out) {
        const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(s.data()), len, start, flags, md, ctx);
        if (rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT || rc == PCRE2_ERROR_HEAPLIMIT)
            limited = true;
        if (rc < 0) return false;
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
        out.clear();
        for (int i = 0; i < captures; ++i) {
            if (i >= rc || ov[2 * i] == PCRE2_UNSET)
                out.push_back({-1, -1});
            else
                out.push_back({static_cast<int>(ov[2 * i]), static_cast<int>(ov[2 * i + 1] - ov[2 * i])});
        }
        return true;
    }
    // The subject with the first match (or, global, every match found as in
    // all()) replaced by the oracle's own expansion of `tmpl` in its syntax.
    bool replace(const std::string& s, const std::string& tmpl, bool global, std::string& out) {
        out.clear();
        size_t pos = 0, copied = 0;
        auto expand = [&](size_t len) {
            const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
            out.append(s, copied, ov[0] - copied);
            PCRE2_UCHAR buf[4096];
            PCRE2_SIZE n = sizeof buf;
            const int rc = pcre2_substitute(code, reinterpret_cast<PCRE2_SPTR>(s.data()), len, 0,
                                            PCRE2_SUBSTITUTE_MATCHED | PCRE2_SUBSTITUTE_REPLACEMENT_ONLY |
                                                PCRE2_SUBSTITUTE_UNKNOWN_UNSET | PCRE2_SUBSTITUTE_UNSET_EMPTY,
                                            md, ctx, reinterpret_cast<PCRE2_SPTR>(tmpl.data()), tmpl.size(), buf, &n);
            if (rc < 0) return false;
            out.append(reinterpret_cast<const char*>(buf), n);
            copied = ov[1];
            return true;
        };
        Records one;
        while (pos <= s.size()) {
            if (!match(s, s.size(), pos, 0, one)) break;
            if (!expand(s.size())) return false;
            if (!global) break;
            const size_t start = static_cast<size_t>(one[0].first);
            const size_t len = static_cast<size_t>(one[0].second);
            if (len == 0) {
                if (start >= s.size()) break;
                const size_t step = char_length(s, start);
                if (match(s, start + step, start, PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED, one) && !expand(start + step))
                    return false;
                pos = start + step;
            } else {
                pos = start + len;
            }
        }
        out.append(s, copied, std::string::npos);
        return true;
    }
    size_t char_length(const std::string& s, size_t at) const {
        if (!utf) return 1;
        const unsigned char b = static_cast<unsigned char>(s[at]);
        return b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    }
    // Every match, driven like the global search of this library: after an
    // empty match, one attempt at a non-empty match of exactly the next
    // character at the same start, then on from the next character.
    Records all(const std::string& s) {
        Records out, one;
        const int first = captures > 1 ? 1 : 0;
        size_t pos = 0;
        while (pos <= s.size()) {
            if (!match(s, s.size(), pos, 0, one)) break;
            out.insert(out.end(), one.begin() + first, one.end());
            const size_t start = static_cast<size_t>(one[0].first);
            const size_t len = static_cast<size_t>(one[0].second);
            if (len == 0) {
                if (start >= s.size()) break;
                const size_t step = char_length(s, start);
                if (match(s, start + step, start, PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED, one))
                    out.insert(out.end(), one.begin() + first, one.end());
                pos = start + step;
            } else {
                pos = start + len;
            }
        }
        return out;
    }
};

Records ours(QelRegExpState* st, const std::string& s, int32_t capacity) {
    std::vector<QelRegExpFind> r(static_cast<size_t>(capacity));
    int32_t count = capacity;
    const QelStatus status = qelsRegExpFind_8u(reinterpret_cast<const Qel8u*>(s.data()), static_cast<int32_t>(s.size()),
                                               st, r.data(), &count);
    Records out;
    if (status < 0) {
        out.push_back({-1000, status});
        return out;
    }
    for (int32_t i = 0; i < count; ++i)
        out.push_back({r[i].pointer ? static_cast<int>(r[i].pointer - reinterpret_cast<const Qel8u*>(s.data())) : -1,
                       r[i].length});
    return out;
}

std::string replaced(QelRegExpState* st, const std::string& s, const std::string& tmpl, int32_t captures) {
    int32_t size = 0;
    qelsRegExpReplaceGetSize(tmpl.c_str(), &size);
    std::vector<unsigned char> block(static_cast<size_t>(size));
    auto* rs = reinterpret_cast<QelRegExpReplaceState*>(block.data());
    if (qelsRegExpReplaceInit(tmpl.c_str(), rs) != qelOk) return "template refused";
    // Room for a record set per byte and one more, and for every template
    // expansion: the whole output always fits.
    std::vector<QelRegExpFind> r(static_cast<size_t>((int32_t(s.size()) + 2) * 2 * captures));
    int32_t count = int32_t(r.size());
    std::vector<Qel8u> dst((s.size() + 2) * (tmpl.size() + s.size() + 2) * 2);
    int32_t subjectLen = int32_t(s.size()), dstLen = int32_t(dst.size());
    const QelStatus status = qelsRegExpReplace_8u(reinterpret_cast<const Qel8u*>(s.data()), &subjectLen, dst.data(), &dstLen,
                                                  r.data(), &count, st, rs);
    if (status != qelOk) return std::string("status ") + std::to_string(status);
    if (subjectLen != int32_t(s.size())) return std::string("consumed ") + std::to_string(subjectLen);
    return std::string(reinterpret_cast<const char*>(dst.data()), size_t(dstLen));
}

// The template in the oracle's syntax: "${n}" for a reference, "$$" for a
// dollar sign; a backslash, which only separates here, is dropped.
std::string oracle_template(const std::string& t) {
    std::string out;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\\') continue;
        if (t[i] != '$') {
            out += t[i];
            continue;
        }
        if (i + 1 < t.size() && t[i + 1] == '&') {
            out += "${0}";
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < t.size() && t[j] >= '0' && t[j] <= '9') ++j;
        out += "${" + t.substr(i + 1, j - i - 1) + "}";
        i = j - 1;
    }
    return out;
}

// A group closed right before one of the generator's bounded quantifiers.
bool bounded_group_repeat(const std::string& p) {
    return p.find("){1,3}") != std::string::npos || p.find("){0,2}") != std::string::npos;
}

// A space right before a quantifier, or before a comment and a quantifier.
bool space_before_quantifier(const std::string& p) {
    for (size_t i = 0; i + 1 < p.size(); ++i) {
        if (p[i] != ' ') continue;
        const size_t q = p.compare(i + 1, 5, "(?#q)") == 0 ? i + 6 : i + 1;
        if (q < p.size() && std::strchr("*+?{", p[q]) != nullptr) return true;
    }
    return false;
}

// "XX" followed by a lazy quantifier, X one of the predefined items (a
// comment before the quantifier changes nothing).
bool merged_lazy_repeat(const std::string& pattern) {
    std::string p = pattern;
    for (size_t at = p.find("(?#q)"); at != std::string::npos; at = p.find("(?#q)", at)) p.erase(at, 5);
    for (const char* x : {".", "\\d", "\\D", "\\w", "\\W", "\\s", "\\S", "\\C"}) {
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

// U+03C2, the final sigma: no lower-case mapping, so a case form of no other
// letter here; one of the sigmas to the oracle.
const char* const kFinalSigma = "\xCF\x82";

// U+1F600: unassigned in the character data here, a symbol to the oracle.
const char* const kUnknownCharacter = "\xF0\x9F\x98\x80";

// The generator's look-behind bodies are at most this many characters wide.
constexpr int kMaxLookBehind = 3;

// A character of two or more bytes among the first n characters of s. Only
// a position with fewer characters before it than a look-behind's width, yet
// at least that many bytes, has its window start that many bytes back here;
// such a position has at most width - 1 characters before it.
bool non_ascii_lead(const std::string& s, int n) {
    for (int i = 0, chars = 0; i < int(s.size()) && chars < n; ++chars) {
        const unsigned char b = static_cast<unsigned char>(s[size_t(i)]);
        if (b >= 0x80) return true;
        ++i;
    }
    return false;
}

std::string escaped(const std::string& s) {
    std::string out;
    char buf[8];
    for (unsigned char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c >= 0x20 && c < 0x7F) out += char(c);
        else {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

// The records from index `from` on, at most 24 of them (long subjects give
// thousands).
std::string show(const Records& r, size_t from = 0) {
    std::string out = from > 0 ? std::string("{ [") + std::to_string(from) + "]" : std::string("{");
    for (size_t i = from; i < r.size() && i < from + 24; ++i)
        out += std::string(" (") + std::to_string(r[i].first) + std::string(",") + std::to_string(r[i].second) + ")";
    if (r.size() > from + 24) out += std::string(" ... ") + std::to_string(r.size()) + " records";
    return out + " }";
}

// Where two record lists first differ, a few records early.
size_t first_difference(const Records& a, const Records& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i < 4 ? 0 : i - 4;
}

// Ends the run with the case at hand printed when one call takes too long.
class Watchdog {
public:
    Watchdog() : thread_([this] { run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void enter(const std::string& what) {
        std::lock_guard<std::mutex> lock(mu_);
        what_ = what;
        since_ = std::chrono::steady_clock::now();
        busy_ = true;
    }
    void leave() {
        std::lock_guard<std::mutex> lock(mu_);
        busy_ = false;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mu_);
        while (!stop_) {
            cv_.wait_for(lock, std::chrono::seconds(1));
            if (busy_ && std::chrono::steady_clock::now() - since_ > std::chrono::seconds(60)) {
                std::fprintf(stderr, "one call ran for over a minute: %s\n", what_.c_str());
                std::fflush(stderr);
                std::_Exit(1);
            }
        }
    }
    std::mutex mu_;
    std::condition_variable cv_;
    std::string what_;
    std::chrono::steady_clock::time_point since_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// The "match-limit" rule: the same search with a raised limit, the state's
// limit put back afterwards.
constexpr int32_t kDefaultMatchLimit = 10000;
constexpr int32_t kRaisedMatchLimit = 100000;
// Subjects from this length on can nest group passes past the native stack
// bound, which the raised limit does not move.
constexpr size_t kStackBoundLength = 2048;
Records ours_raised(QelRegExpState* st, const std::string& s, int32_t capacity) {
    qelsRegExpSetMatchLimit(kRaisedMatchLimit, st);
    Records out = ours(st, s, capacity);
    qelsRegExpSetMatchLimit(kDefaultMatchLimit, st);
    return out;
}

struct Totals {
    long pairs = 0;
    long mismatches = 0;
    long skips[kRuleCount] = {};
};

// What a run compares: the match records over short or long subjects, or
// the output of replacing the first and every match.
enum Variant { kShortSubjects, kLongSubjects, kReplacement };

void run_differential(uint32_t seed, const Mode& mode, int patterns, Variant variant, Totals& t, Watchdog& dog) {
    const bool longSubjects = variant == kLongSubjects;
    DiffGen gen(seed);
    const char* opts[] = {"", "m", "s", "ms"};
    for (int i = 0; i < patterns; ++i) {
        const std::string pattern = gen.pattern(mode);
        bool boundedEmpty = gen.bounded_empty();
        std::string options = opts[gen.pick(4)];
        if (mode.caseless) options += "i";
        // "x": the generator's spaces outside classes are then no literal.
        // Not where a quantifier follows a space: it would bind to the item
        // before, which the generator took for unquantified (a multi-byte
        // literal, whose last byte it repeats here; a look-around; a body it
        // counted as never empty for the "bounded-empty" rule).
        if (gen.pick(8) == 0 && !space_before_quantifier(pattern)) {
            options += "x";
            // A group of spaces is empty then, which the generator does not
            // know: every group under a bounded repeat counts as possibly
            // empty ("(  ){2}" inside "(?:...){1,3}").
            boundedEmpty = boundedEmpty || bounded_group_repeat(pattern);
        }
        const int subjects = longSubjects ? 2 : 8;
        const std::string tmpl = variant == kReplacement ? gen.replacement() : std::string();
        if (merged_lazy_repeat(pattern)) {
            t.skips[kLazyMerge] += subjects;
            continue;
        }
        if (boundedEmpty) {
            t.skips[kBoundedEmpty] += subjects;
            continue;
        }
        if (gen.optional_look()) {
            t.skips[kOptionalLook] += subjects;
            continue;
        }
        if (gen.zero_anchor()) {
            t.skips[kOracleZeroAnchor] += subjects;
            continue;
        }
        if (gen.repeated_look()) {
            t.skips[kRepeatedLook] += subjects;
            continue;
        }
        if (gen.literal_case()) {
            t.skips[kLiteralCase] += subjects;
            continue;
        }
        const bool lookBehind = pattern.find("(?<") != std::string::npos;
        const bool backref = has_backref(pattern);
        const bool unicodeItem = pattern.find("\\p") != std::string::npos || pattern.find("\\P") != std::string::npos ||
                                 pattern.find("\\X") != std::string::npos;
        const bool sigmaItem = pattern.find("\\x{3a3}") != std::string::npos || pattern.find("\\x{3c3}") != std::string::npos;
        if (mode.utf && (pattern.find("(?<=\\b") != std::string::npos || pattern.find("(?<!\\b") != std::string::npos)) {
            t.skips[kUtfLookBehind] += subjects;
            continue;
        }
        uint32_t flags = mode.utf ? PCRE2_UTF : 0;
        if (options.find('m') != std::string::npos) flags |= PCRE2_MULTILINE;
        if (options.find('s') != std::string::npos) flags |= PCRE2_DOTALL;
        if (mode.caseless) flags |= PCRE2_CASELESS;
        if (options.find('x') != std::string::npos) flags |= PCRE2_EXTENDED;
        Oracle oracle(adapt_for_oracle(pattern, mode), flags);
        QelRegExpState* single = nullptr;
        QelRegExpState* global = nullptr;
        int32_t errOffset = 0;
        const QelStatus s1 = qelsRegExpInitAlloc(pattern.c_str(), options.c_str(), &single, &errOffset);
        const QelStatus s2 = qelsRegExpInitAlloc(pattern.c_str(), (options + "g").c_str(), &global, &errOffset);
        if (!oracle.code || s1 != qelOk || s2 != qelOk) {
            t.skips[kSyntax] += subjects;
            if (s1 == qelOk) qelsRegExpFree(single);
            if (s2 == qelOk) qelsRegExpFree(global);
            continue;
        }
        const int32_t format = mode.utf ? 1 : 0;
        qelsRegExpSetFormat(format, single);
        qelsRegExpSetFormat(format, global);
        for (int k = 0; k < subjects; ++k) {
            const std::string subject = longSubjects ? gen.long_subject(mode) : gen.subject(mode);
            if (mode.utf && lookBehind && non_ascii_lead(subject, kMaxLookBehind - 1)) {
                ++t.skips[kUtfLookBehind];
                continue;
            }
            if (mode.utf && mode.caseless && backref && non_ascii_lead(subject, int(subject.size()))) {
                ++t.skips[kBackrefCase];
                continue;
            }
            if (mode.utf && mode.caseless && sigmaItem && subject.find(kFinalSigma) != std::string::npos) {
                ++t.skips[kCaseMap];
                continue;
            }
            if (unicodeItem && subject.find(kUnknownCharacter) != std::string::npos) {
                ++t.skips[kUnicodeData];
                continue;
            }
            const std::string what = std::string("/") + pattern + std::string("/") + options + std::string(" format ") + std::to_string(format) + " on \"" +
                                     escaped(subject) + std::string("\" (oracle pattern /") + adapt_for_oracle(pattern, mode) + "/)";
            dog.enter(what);
            oracle.limited = false;
            oracle.limit_for(subject.size());
            Records expect;
            if (!oracle.match(subject, subject.size(), 0, 0, expect)) expect.clear();
            Records expectAll = oracle.all(subject);
            if (oracle.limited) {
                dog.leave();
                ++t.skips[kOracleLimit];
                continue;
            }
            if (variant == kReplacement) {
                // The replacement needs a subject of one byte or more.
                std::string want, wantAll;
                const bool answered = !subject.empty() && oracle.replace(subject, oracle_template(tmpl), false, want) &&
                                      oracle.replace(subject, oracle_template(tmpl), true, wantAll);
                if (!answered || oracle.limited) {
                    dog.leave();
                    if (oracle.limited) ++t.skips[kOracleLimit];
                    continue;
                }
                const std::string gotRep = replaced(single, subject, tmpl, oracle.captures);
                const std::string gotRepAll = replaced(global, subject, tmpl, oracle.captures);
                dog.leave();
                ++t.pairs;
                if (gotRep == want && gotRepAll == wantAll) continue;
                if (++t.mismatches <= 60)
                    ADD_FAILURE() << what << " template \"" << escaped(tmpl) << "\"\n  first:  ours \"" << escaped(gotRep)
                                  << "\"\n          oracle \"" << escaped(want) << "\"\n  global: ours \"" << escaped(gotRepAll)
                                  << "\"\n          oracle \"" << escaped(wantAll) << "\"";
                continue;
            }
            const Records got = ours(single, subject, 64);
            // Room for every record the oracle reported and one more set, so
            // that a surplus match here shows.
            const int32_t allCapacity = int32_t(expectAll.size()) + oracle.captures + 4096;
            const Records gotAll = ours(global, subject, allCapacity);
            const Records limitHit = {{-1000, qelErrMatchLimit}};
            if (got == limitHit || gotAll == limitHit) {
                const Records raised = ours_raised(single, subject, 64);
                const Records raisedAll = ours_raised(global, subject, allCapacity);
                const bool stackBound = subject.size() >= kStackBoundLength && (raised == limitHit || raisedAll == limitHit);
                if ((raised == expect && raisedAll == expectAll) || stackBound) {
                    dog.leave();
                    ++t.skips[kMatchLimit];
                    continue;
                }
            }
            dog.leave();
            ++t.pairs;
            if (got == expect && gotAll == expectAll) continue;
            if (++t.mismatches <= 60)
                ADD_FAILURE() << what << "\n  first:  ours " << show(got) << "\n          oracle " << show(expect)
                              << "\n  global: ours " << show(gotAll, first_difference(gotAll, expectAll))
                              << "\n          oracle " << show(expectAll, first_difference(gotAll, expectAll));
        }
        qelsRegExpFree(single);
        qelsRegExpFree(global);
    }
}

TEST(RegExpPcreDifferential, FirstAndGlobalMatchesWithEveryCapture) {
    Watchdog dog;
    Totals t;
    const uint32_t seed = std::getenv("QELCH_DIFF_SEED") ? uint32_t(std::strtoul(std::getenv("QELCH_DIFF_SEED"), nullptr, 10)) : 20261210u;
    const int perMode = std::getenv("QELCH_DIFF_PATTERNS") ? std::atoi(std::getenv("QELCH_DIFF_PATTERNS")) : 12600;
    const Mode modes[] = {{false, false}, {true, false}, {false, true}, {true, true}};
    const int share[] = {4, 4, 1, 2};  // bytes, UTF-8, ASCII with "i", UTF-8 with "i"
    for (int m = 0; m < 4; ++m) run_differential(seed + uint32_t(m), modes[m], perMode * share[m] / 3, kShortSubjects, t, dog);
    std::printf("differential: %ld pattern/subject pairs compared, %ld differ; seed %u\n", t.pairs, t.mismatches, seed);
    for (int r = 0; r < kRuleCount; ++r) std::printf("  skipped by rule %-14s %ld\n", kRuleNames[r], t.skips[r]);
    EXPECT_EQ(t.mismatches, 0);
}

// The same patterns over subjects of 64 bytes to 16 KB: the literal cuts and
// skips, the start filter, the lazy DFA and the work budget only come into
// play past a few hundred bytes, which the short subjects never reach.
TEST(RegExpPcreDifferential, LongSubjects) {
    Watchdog dog;
    Totals t;
    const uint32_t seed = std::getenv("QELCH_DIFF_SEED") ? uint32_t(std::strtoul(std::getenv("QELCH_DIFF_SEED"), nullptr, 10)) : 20261211u;
    const int perMode = std::getenv("QELCH_DIFF_LONG_PATTERNS") ? std::atoi(std::getenv("QELCH_DIFF_LONG_PATTERNS")) : 100;
    const Mode modes[] = {{false, false}, {true, false}, {false, true}, {true, true}};
    const int share[] = {4, 4, 1, 2};
    for (int m = 0; m < 4; ++m) run_differential(seed + uint32_t(m), modes[m], perMode * share[m] / 3, kLongSubjects, t, dog);
    std::printf("long subjects: %ld pattern/subject pairs compared, %ld differ; seed %u\n", t.pairs, t.mismatches, seed);
    for (int r = 0; r < kRuleCount; ++r) std::printf("  skipped by rule %-14s %ld\n", kRuleNames[r], t.skips[r]);
    EXPECT_EQ(t.mismatches, 0);
}

// Replacement of the first and of every match, the template expanded by the
// oracle in its own syntax: the records the search hands to the replacement
// (whole match first even with "g"), references beyond the pattern's groups,
// unset captures and empty matches.
TEST(RegExpPcreDifferential, Replacement) {
    Watchdog dog;
    Totals t;
    const uint32_t seed = std::getenv("QELCH_DIFF_SEED") ? uint32_t(std::strtoul(std::getenv("QELCH_DIFF_SEED"), nullptr, 10)) : 20261212u;
    const int perMode = std::getenv("QELCH_DIFF_REPLACE_PATTERNS") ? std::atoi(std::getenv("QELCH_DIFF_REPLACE_PATTERNS")) : 3000;
    const Mode modes[] = {{false, false}, {true, false}, {false, true}, {true, true}};
    const int share[] = {4, 4, 1, 2};
    for (int m = 0; m < 4; ++m) run_differential(seed + uint32_t(m), modes[m], perMode * share[m] / 3, kReplacement, t, dog);
    std::printf("replacement: %ld pattern/subject pairs compared, %ld differ; seed %u\n", t.pairs, t.mismatches, seed);
    for (int r = 0; r < kRuleCount; ++r) std::printf("  skipped by rule %-14s %ld\n", kRuleNames[r], t.skips[r]);
    EXPECT_EQ(t.mismatches, 0);
}

}  // namespace
