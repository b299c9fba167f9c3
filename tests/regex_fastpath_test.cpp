// The search plan and the fast paths against the general path: the compiler's
// plan holds the facts the driver relies on, and every search gives the same
// records and status with the fast paths on and with the general path forced
// through the state's internal switch.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "regex/match/search_internal.h"
#include "support/regex_compiled.h"
#include "support/regex_gen.h"

using namespace qel::re;

namespace {

using qeltest::Compiled;

struct Outcome {
    QelStatus status;
    int32_t count;
    std::vector<std::pair<long, int32_t>> records;  // {offset or -1 for null, length}
    bool operator==(const Outcome&) const = default;
};

Outcome find(QelRegExpState* state, const std::string& subject, int32_t capacity) {
    std::vector<QelRegExpFind> r(capacity);
    int32_t count = capacity;
    const auto* s = reinterpret_cast<const Qel8u*>(subject.data());
    Outcome o{qelsRegExpFind_8u(s, static_cast<int32_t>(subject.size()), state, r.data(), &count), count, {}};
    if (o.status >= 0)
        for (int32_t i = 0; i < count; ++i) o.records.push_back({r[i].pointer ? r[i].pointer - s : -1, r[i].length});
    return o;
}

std::string show(const Outcome& o) {
    std::string t = "status " + std::to_string(o.status) + " count " + std::to_string(o.count) + ":";
    for (auto& [off, len] : o.records) t += " {" + std::to_string(off) + "," + std::to_string(len) + "}";
    return t;
}

// Both paths on one compiled state, through the internal switch.
void expect_same(QelRegExpState* state, const std::string& subject, int32_t capacity, const std::string& what) {
    set_general_path_only(state, false);
    const Outcome fastOutcome = find(state, subject, capacity);
    set_general_path_only(state, true);
    const Outcome general = find(state, subject, capacity);
    set_general_path_only(state, false);
    // The general path gave up (a cut path may have been the match); a fast
    // path that needed less work may still answer, so there is nothing to
    // compare. The reverse, a fast path giving up where the general path did
    // not, is a fault and compared below.
    if (general.status == qelErrMatchLimit && fastOutcome.status != qelErrMatchLimit) return;
    ASSERT_EQ(fastOutcome, general) << what << " over \"" << subject << "\"\n fast    " << show(fastOutcome)
                                    << "\n general " << show(general);
}

// Option strings over every letter, "x" included (the generator writes no
// spaces or '#' that "x" would change the meaning of beyond the space atom).
std::string random_options(qeltest::RegexGen& gen) {
    std::string o;
    for (char c : {'s', 'm', 'i', 'x', 'g'})
        if (gen.pick(3) == 0) o += c;
    return o;
}

// Compiles `pattern` under random option letters and format and compares the
// two paths over `subjects` subjects made by `make(k)`, each with a record
// capacity of 1 to `maxCapacity`. Returns how many were compared.
template <class MakeSubject>
int compare_random_options(qeltest::RegexGen& gen, const std::string& pattern, int subjects, uint32_t maxCapacity,
                           MakeSubject make) {
    const std::string opts = random_options(gen);
    const int format = static_cast<int>(gen.pick(2));
    Compiled re(pattern, opts.c_str(), format);
    if (re.status != qelOk) return 0;
    const std::string what = pattern + " /" + opts + " fmt " + std::to_string(format);
    int compared = 0;
    for (int k = 0; k < subjects; ++k) {
        const std::string subject = make(k);
        expect_same(re.state, subject, 1 + static_cast<int32_t>(gen.pick(maxCapacity)), what);
        if (::testing::Test::HasFatalFailure()) break;
        ++compared;
    }
    return compared;
}

// A repeated group whose passes can split a text in many ways ("(a|\D)+")
// backtracks exponentially when the rest fails; such patterns get short
// subjects only.
bool repeats_a_group(const std::string& pattern) {
    for (size_t i = 0; i + 1 < pattern.size(); ++i)
        if (pattern[i] == ')' && (i == 0 || pattern[i - 1] != '\\') &&
            (pattern[i + 1] == '+' || pattern[i + 1] == '*' || pattern[i + 1] == '{'))
            return true;
    return false;
}

// One entry of a list, picked at random.
template <size_t N>
std::string pick_one(qeltest::RegexGen& gen, const char* const (&list)[N]) {
    return list[gen.pick(static_cast<uint32_t>(N))];
}

// Random pieces joined up to 30 bytes, one subject in five up to 300.
template <size_t N>
std::string pieces_subject(qeltest::RegexGen& gen, const char* const (&pieces)[N]) {
    std::string subject;
    const size_t len = gen.pick(5) == 0 ? gen.pick(300) : gen.pick(30);
    while (subject.size() < len) subject += pieces[gen.pick(static_cast<uint32_t>(N))];
    return subject;
}

// Subjects from empty to a few hundred bytes, short ones most often: the plan
// serves every length.
std::string random_subject(qeltest::RegexGen& gen, bool shortOnly) {
    static const size_t kLengths[] = {0, 1, 2, 5, 12, 40, 80, 200, 600};
    size_t len = kLengths[gen.pick(shortOnly ? 5 : 9)];
    if (len > 2) len = len / 2 + gen.pick(static_cast<uint32_t>(len));
    return gen.subject(len, gen.pick(2) == 0);
}

// A back-reference to a captured run, the shape the word-boundary skip
// serves ("\\b(\\w+)\\s+\\1\\b"), with leads, runs and separators that do
// and do not let the skip on.
std::string backref_form(qeltest::RegexGen& gen) {
    static const char* const kLead[] = {"\\b", "\\b", "\\b\\b", "\\B\\b", "\\B", "", "(?i)\\b", "\\b(?i)"};
    static const char* const kRun[] = {"\\w", "\\w", "[a-c]", "[ab_1]", "[A-Z_]", "\\d", "[^ ]", "\\S", ".", "[a.]"};
    static const char* const kQuant[] = {"+", "+", "*", "{2,}", "+?", "{1,3}"};
    static const char* const kSep[] = {"\\s+", "\\s+", " ", "\\s*", "\\W", "[ .]+", "x?", "", "[A-C]+", "[^a-c]+"};
    static const char* const kRef[] = {"\\1\\b", "\\1", "\\1+", "(?:\\1)", "\\1\\B", "\\1\\w"};
    const std::string lead = pick_one(gen, kLead);
    const std::string run = pick_one(gen, kRun) + pick_one(gen, kQuant);
    // The boundary inside the group, or the group inside a plain one.
    std::string head = gen.pick(4) == 0 ? "(" + lead + run + ")" : lead + "(" + run + ")";
    if (gen.pick(5) == 0) head = "(?:" + head + ")";
    return head + pick_one(gen, kSep) + pick_one(gen, kRef);
}

// Words and separators where a word is often followed by itself, a piece of
// itself or its other case.
std::string doubled_subject(qeltest::RegexGen& gen) {
    static const char* const kSep[] = {" ", " ", "  ", "\n", ".", " . ", "\xC3\xA9", "", "B", "\xC3\x89 "};
    std::string s, word;
    const size_t words = gen.pick(12);
    for (size_t w = 0; w < words; ++w) {
        const uint32_t how = gen.pick(4);
        if (how == 0 || word.empty()) {
            word.clear();
            for (uint32_t n = 1 + gen.pick(4); n > 0; --n) word += "abcA_1"[gen.pick(6)];
        } else if (how == 1) {
            word = word.substr(gen.pick(static_cast<uint32_t>(word.size())));
        } else if (how == 2) {
            for (char& c : word) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        }
        s += word;
        s += kSep[gen.pick(std::size(kSep))];
    }
    return s;
}

}  // namespace

TEST(SearchPlan, HoldsWhatTheScanSkipsBy) {
    struct Row {
        const char* pattern;
        bool run;           // the leading-run skip
        bool drive;         // the literal leads
        const char* runLiteral;
    } rows[] = {
        {"([a-z]+)@", true, true, "@"},           // through the capturing group; '@' is rarer than [a-z]
        {"(?:[a-z]+)@x", true, true, "@x"},
        {"\\w+_t\\b", true, true, "_t"},
        {"qx+ ", true, false, " "},               // a space is commoner than [qx]: run by run
        {"([a-z]+)[@#]", true, false, nullptr},   // no literal: runs must end in a byte of [@#]
        {"\\b[0-9a-f]{8}", true, false, nullptr},  // runs shorter than 8 hold no match
        {"\\w+(?=\\()", true, true, "("},         // a look-ahead's literal leads as a consumed one would
        {"[a-c]+(?=x|y)", true, false, nullptr},  // two alternatives: only the bytes that follow
        {"[a-c]+(?=x*y)", true, false, nullptr},  // a repeated first item is no literal
        {"([a-z]+)@(?i)x", true, true, "@"},      // where "i" may apply a literal without letters leads
        {"\\w+_t(?i)x", false, false, nullptr},   // one with a letter does not
        {"([a-z]+|b)@", false, false, nullptr},   // an alternation is not looked through
        {"([a-z]+)*@", false, false, nullptr},    // nor a repeated group
    };
    for (const Row& r : rows) {
        Compiled re(r.pattern, "");
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        EXPECT_EQ(plan->filter.useRun, r.run) << r.pattern;
        EXPECT_EQ(plan->filter.literalDrive, r.drive) << r.pattern;
        if (r.runLiteral != nullptr) {
            ASSERT_NE(plan->filter.runLiteral, nullptr) << r.pattern;
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(plan->filter.runLiteral), plan->filter.runLiteralLen),
                      r.runLiteral);
        }
    }
}

// A failed attempt inside a run of the leading repeat's set rules out the
// rest of the run only where a later start has nothing new to offer.
TEST(SearchPlan, SkipsTheRestOfARunOnlyWhereLaterStartsFailToo) {
    struct Row {
        const char* pattern;
        bool skip;
    } rows[] = {
        {"[a-z]+ed\\b", true},    // the literal's bytes lie in the run's set
        {"([a-z]+)ed", true},      // through the capturing group
        {"[a-z]+@", true},
        {"[a-z]+?ed", false},      // lazy: not taken
        {"[a-z]{2,9}ed", false},   // a bounded repeat ends at other places from a later start
        {"\\B[a-z]+ed", false},    // a test before the repeat may pass at a later start
        {"([a-z]+)\\1", false},    // the captures differ per start
        {"(?i)[a-z]+ed", false},   // folding: the set is not exact
    };
    for (const Row& r : rows) {
        Compiled re(r.pattern, "");
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        EXPECT_EQ(plan->filter.skipRunOnFail, r.skip) << r.pattern;
        for (const char* subject : {"speeds seeded fed bed edx", "aed eded_ed ed@ x@ a@b", "needed cededed1 ede"})
            expect_same(re.state, subject, 16, r.pattern);
    }
}

// The plan lives above the pattern's own groups and never overlaps them; a
// pattern that fills the group table has none and is searched all the same.
TEST(SearchPlan, PlacementAndFallback) {
    for (int groups : {0, 1, 40, 950, 999}) {
        std::string pattern;
        for (int g = 0; g < groups; ++g) pattern += "(a)";
        pattern += "[b-d]+x";
        Compiled re(pattern, "g");
        ASSERT_EQ(re.status, qelOk) << groups;
        int32_t size = 0;
        ASSERT_EQ(qelsRegExpGetSize(pattern.c_str(), &size), qelOk);
        EXPECT_EQ(size, 48056 + 24 * static_cast<int32_t>(pattern.size()));
        const PlanSlot* slot = plan_slot(re.state);
        ASSERT_EQ(slot->tag, kPlanTag);
        EXPECT_EQ(slot->groupLimit, groups + 1);
        if (groups < 950) {
            ASSERT_NE(search_plan(re.state), nullptr) << groups;
            EXPECT_GE(slot->planOffset, kGroupTableOffset + 32 * (groups + 1));
            EXPECT_LE(slot->spareOffset + slot->spareBytes, kCaptureTableOffset);
        } else if (groups == 999) {
            EXPECT_EQ(search_plan(re.state), nullptr);
        }
        std::string subject = std::string(groups, 'a') + "bdcx" + std::string(groups, 'a') + "cx";
        expect_same(re.state, subject, 4096, pattern.substr(0, 30));
        expect_same(re.state, "zz" + subject.substr(groups), 8, pattern.substr(0, 30));
    }
}

TEST(SearchPlan, SwitchIsPerStateAndResetByCompile) {
    Compiled re("[0-9]+", "");
    ASSERT_EQ(re.status, qelOk);
    EXPECT_NE(search_plan(re.state), nullptr);
    set_general_path_only(re.state, true);
    EXPECT_TRUE(general_path_only(re.state));
    EXPECT_EQ(search_plan(re.state), nullptr);
    int32_t err = 0;
    ASSERT_EQ(qelsRegExpInit("[0-9]+", "", re.state, &err), qelOk);
    EXPECT_FALSE(general_path_only(re.state));
    EXPECT_NE(search_plan(re.state), nullptr);
}

// The differential: random patterns of both grammars, every option letter,
// both formats, random match limits and result capacities; each pattern is
// searched over several subjects with the fast paths on and off.
TEST(SearchPlan, FastPathsEqualGeneralPath) {
    qeltest::RegexGen gen(20261214);
    static const char* const kForms[] = {
        "([a-z]+)@", "(?:\\w+)_t\\b", "\\w+_t\\b", "[0-9]+", "x(a|b)y", "\\w+\\(", "\\s+$", "#define\\s+\\w+\\s+\\(",
        "[0-9a-f]{8}", "\\b[A-Z_]{4,}\\b", "[a-zA-Z]+ing", "([A-Za-z0-9.+-]+)@([A-Za-z0-9-]+)", "(\\w)\\1",
        "\"[^\"\\\\]*(?:\\\\.[^\"\\\\]*)*\"", "\\b(\\w+)\\s+\\1\\b", "[^ ]+ab", "(\\S+)ab", "(a(b+))c", ".x", "x*",
        "[ \\t]+$", "a+\\z", "(\\s+)\\Z", "\\w+$", "[a-c]+$x", "\\B[a-c]{3}x", "[a-c]{2,}\\z", "\\b(b{2,})",
        "^#include", "^ab\\w", "^a.b", "(?m)^ab", "\\w+\\s*$", "[a-c]+ *\\z", "(\\w+)\\s*\\Z", "b+ ?$",
        "\\w+(?=\\()", "[a-c]+(?=x|y)", "(?=a)", "(?=a)?b", "[a-c]+(?=(?=c)|x)", "(?<=struct )\\w+", "(?<=ab)c", "(?<=a)\\w+",
        "(?<=\\xc3)\\C", "(?<=b)", "(?<=bc)x*", "(?<=a)+b", "\\B\\w+ ", "\\b\\w+ a", "([a-c]+)\\1",
        "(?:([a-c]+)) x", "[a-c]+ (?=b)", "[a-c]+(?=xa)", "[a-c]+(?=a)", "\\w+(?=a\\b)c*", "a+(?=(?:b)c)", "[a-c]+bc ", "[a-c]+bc\\b", "([a-c]+)ca(?!b)", "[a-c]+(?<=b)c",
    };
    constexpr uint32_t kFormCount = sizeof(kForms) / sizeof(kForms[0]);
    constexpr int kPatterns = 26000;
    constexpr int kSubjectsPerPattern = 4;
    int compared = 0;
    for (int i = 0; i < kPatterns; ++i) {
        std::string pattern;
        if (i % 10 == 0)
            pattern = kForms[gen.pick(kFormCount)];
        else
            pattern = gen.pick(2) ? gen.broad() : gen.common();
        const std::string opts = random_options(gen);
        const int format = static_cast<int>(gen.pick(2));
        Compiled re(pattern, opts.c_str(), format);
        if (re.status != qelOk) continue;
        if (gen.pick(10) == 0) qelsRegExpSetMatchLimit(static_cast<int32_t>(gen.pick(16)), re.state);
        const std::string what = pattern + " /" + opts + " fmt " + std::to_string(format);
        for (int s = 0; s < kSubjectsPerPattern; ++s) {
            std::string subject = random_subject(gen, repeats_a_group(pattern));
            const int32_t capacity = 1 + static_cast<int32_t>(gen.pick(24));
            expect_same(re.state, subject, capacity, what);
            if (HasFatalFailure()) return;
            ++compared;
        }
    }
    EXPECT_GE(compared, 100000);
}

// Back-references keep the fast paths that need nothing of what the group
// holds: the word-boundary skip, on where every match starts with a boundary
// test and off where a start inside a run of word bytes could still match,
// and the check that a reference right after a run and its separators starts
// with the run's first byte. The searches agree with the general path.
TEST(SearchPlan, BackReferenceFastPaths) {
    struct Row {
        const char* pattern;
        bool skip;  // the word-boundary skip
        bool ref;   // the reference check
        const char* options = "";
    } rows[] = {
        {"\\b(\\w+)\\s+\\1\\b", true, true},
        {"(\\b\\w+) \\1", true, false},   // the boundary inside the group
        {"\\b\\B(\\w+)\\1", true, false},
        {"(\\w+)\\s+\\1\\b", false, true},  // "xab ab" matches from inside the run
        {"\\B(\\w+)\\s+\\1", false, true},
        {"\\b(\\S+)\\s+\\1", true, false},  // "ab.ab ab": the skip stops at '.', the match is after it
        {"\\b(\\w+)|-\\1", false, false},  // "-" needs no boundary
        {"\\b*(\\w+)\\1", false, false},   // an optional boundary
        {"([a-c]+) (?:\\1)", false, true},
        {"([a-c]+) (?:\\1)+", false, false},
        {"(\\w+)\\s*\\1", false, false},   // no separator needed
        {"(\\w+)\\s+\\1?", false, false},  // nor the reference
        // Under ignore-case the reference compares A-Z folded onto a-z,
        // and so does the check; the sets are taken with both cases.
        {"(\\w+)\\s+\\1", false, true, "i"},
        {"\\b(\\w+)\\s+\\1\\b", true, true, "i"},
        {"([a-c]+)[A-C]+\\1", false, true},
        {"([a-c]+)[A-C]+\\1", false, false, "i"},  // "abAB": apart only without folding
        {"(?i)(\\w+)\\s+\\1", false, false},  // the option node hides the group
        {"(\\w+)(\\s+)\\2", false, false},
        {"(\\w)(\\w+)\\s+\\2", false, false},
    };
    for (const Row& r : rows) {
        Compiled re(r.pattern, r.options);
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        EXPECT_EQ(plan->filter.skipRunOnFail, r.skip) << r.pattern;
        EXPECT_EQ(plan->filter.refAfterRun, r.ref) << r.pattern;
        for (const char* subject :
             {"xab ab", "ab ab", "ab abc", "a_1 a_1.", "--ab ab ab", "ab.ab ab", "ab  ba ab\tab", "ab ", "b a  b",
              "aB Ab", "xAb aB", "abAB", "abXAB", "a_1 A_1", "a[ A[", "a{ A["})
            expect_same(re.state, subject, 8, r.pattern);
    }
    qeltest::RegexGen gen(20261210);
    for (int i = 0; i < 6000; ++i) {
        const std::string pattern = backref_form(gen);
        const std::string opts = random_options(gen);
        const int format = static_cast<int>(gen.pick(2));
        Compiled re(pattern, opts.c_str(), format);
        ASSERT_EQ(re.status, qelOk) << pattern;
        for (int s = 0; s < 5; ++s) {
            const std::string subject = s < 3 ? doubled_subject(gen) : random_subject(gen, false);
            expect_same(re.state, subject, 1 + static_cast<int32_t>(gen.pick(12)), pattern + " /" + opts);
            if (HasFatalFailure()) return;
        }
    }
}

// Runs of one-byte classes that end at an end anchor, lead a pattern, or
// follow a word boundary: the shapes whose starts the scan finds from the end
// positions, skips inside words, or skips for the rest of a run after a
// failed attempt. Subjects are dense in blanks and line feeds, so runs reach
// line ends, span several lines and end at the window end.
TEST(SearchPlan, EndAndRunShapesEqualGeneralPath) {
    qeltest::RegexGen gen(20261210);
    static const char* const kItems[] = {"\\s", "\\w", "\\d", "[ab]", "[ \\n]", "[^ \\n]", "a", ";", "_", "\\n",
                                         "[a-c_]", "ab", "[\\t ]", "[A-Z_]", "\\W", "\\S", "\\x{e9}"};
    static const char* const kQuants[] = {"", "", "*", "+", "+", "?", "{2}", "{1,3}", "{2,}", "+?", "*?"};
    static const char* const kLeads[] = {"", "", "", "\\b", "\\b", "(?m)", "(?i)", "\\B", "^"};
    static const char* const kEnds[] = {"$", "$", "\\Z", "\\z", "", "\\b", "_t\\b", "$\\n", "$?"};
    static const char kAlphabet[] = "  \n\n\t;ab_A1c.x";
    auto pick = [&](auto& list) { return std::string(list[gen.pick(sizeof(list) / sizeof(list[0]))]); };
    int compared = 0;
    for (int i = 0; i < 6000; ++i) {
        std::string body;
        const int items = 1 + static_cast<int>(gen.pick(3));
        for (int k = 0; k < items; ++k) body += pick(kItems) + pick(kQuants);
        const uint32_t wrap = gen.pick(4);
        if (wrap == 1) body = "(" + body + ")";
        if (wrap == 2) body = "(?:" + body + ")";
        const std::string pattern = pick(kLeads) + body + pick(kEnds);
        compared += compare_random_options(gen, pattern, 6, 8, [&](int k) {
            std::string subject;
            // Now and then a subject long enough that the scan back from the
            // end positions works in several windows or gives way to the walk.
            const size_t len = (i % 50 == 0 && k == 0) ? 600 + gen.pick(6000)
                               : gen.pick(4) == 0  ? gen.pick(300)
                                                   : gen.pick(24);
            const bool blanks = len >= 600;  // long runs of blanks and words, few other bytes
            while (subject.size() < len) {
                if (blanks)
                    subject += gen.pick(400) == 0 ? ';' : " \n\t_a"[gen.pick(5)];
                else if (gen.pick(16) == 0)
                    subject += "\xC3\xA9";
                else
                    subject += kAlphabet[gen.pick(sizeof(kAlphabet) - 1)];
            }
            return subject;
        });
        if (HasFatalFailure()) return;
    }
    EXPECT_GE(compared, 30000);
}

// Long runs of blanks put the one viable start right at the edges of what the
// scan back from the end positions records at once, and past the longest run
// it scans back over.
TEST(SearchPlan, EndDriveAroundItsBounds) {
    static const char* const kPatterns[][2] = {
        {"[ab]\\s*$", "m"}, {"[ab]\\s*$", ""}, {"[ab]\\s*$", "mg"}, {"[ab][ \\n]*\\z", "g"}, {"[;]\\s*$", "m"},
    };
    for (const auto& [pattern, opts] : kPatterns) {
        Compiled re(pattern, opts);
        ASSERT_EQ(re.status, qelOk) << pattern;
        for (size_t n : {511, 512, 513, 1024, 4095, 4096, 4097}) {
            for (const std::string tail : {"a \n", "a\n\n", ";a\n", "a", " a \n x"}) {
                const std::string blanks(n, ' ');
                std::string lines;
                for (size_t i = 0; i < n; ++i) lines += (i % 7 == 3) ? '\n' : ' ';
                for (const std::string& subject : {blanks + tail, lines + tail, "x" + blanks + tail + blanks})
                    expect_same(re.state, subject, 4, std::string(pattern) + " /" + opts + " n " + std::to_string(n));
                if (HasFatalFailure()) return;
            }
        }
    }
}

// A literal-led pattern on a short subject: the window starts at the
// literal, and the filter takes that occurrence without a search; a failed
// attempt there must still go on to the next one, and a literal cut short
// by the subject's end is none.
TEST(SearchPlan, LeadingLiteralAtTheWindowStart) {
    static const char* const kPatterns[][2] = {
        {"#define\\s+\\w+", ""}, {"#define\\s+\\w+", "g"}, {"ab\\d+", ""}, {"ab\\d+", "i"}, {"ab[^a]*b", "g"},
    };
    static const char* const kSubjects[] = {
        "#define X", "#define #define Y", "#defin", "x#define", "#define", "ab", "abab1", "ab ab12b", "AB1 ab2",
        "abb", "ab1\n#define\tZ ab",
    };
    for (const auto& [pattern, opts] : kPatterns) {
        Compiled re(pattern, opts);
        ASSERT_EQ(re.status, qelOk) << pattern;
        for (const char* subject : kSubjects)
            for (int32_t capacity : {1, 4}) expect_same(re.state, subject, capacity, std::string(pattern) + " /" + opts);
        if (HasFatalFailure()) return;
    }
}

// Which patterns the scan drives from their end positions, skips word
// interiors for, or leaves a run after one failed attempt in: the shapes the
// differentials above must reach.
TEST(SearchPlan, EndDriveWordStartAndRunSkip) {
    struct Row {
        const char* pattern;
        const char* options;
        bool endDrive;
        bool anyLineFeed;  // with endDrive: every line feed is an end position
        int32_t steps;     // with endDrive: 0 walks over the set only
        bool wordStart;
        bool skipRun;
    } rows[] = {
        {"\\s+$", "m", true, true, 2, false, true},
        {"\\s+$", "", true, false, 2, false, true},
        {"\\w+\\s*$", "", true, false, 3, false, true},
        {"(\\w+)\\s*\\Z", "m", true, false, 3, false, true},  // "\\Z" ignores "m"
        {";\\s*$", "", true, false, 2, false, false},
        {";\\s*$", "m", false, false, 0, false, false},       // its first byte is rarer than line feeds
        {"[ab]\\s*$", "m", true, true, 2, false, false},
        {";\\s*(?m)$", "", false, false, 0, false, false},     // an option change is not an item
        {"[ab]{2,5}\\z", "", true, false, 5, false, false},
        {"\\s{40}$", "", true, false, 0, false, false},        // too many steps: the walk only
        {".+$", "", false, false, 0, false, false},            // "." takes characters of several bytes
        {"\\s+$x", "m", false, false, 0, false, true},         // the anchor does not end the pattern
        {"\\b[A-Z_]{4,}\\b", "", false, false, 0, true, true},  // a failed start skips the rest of its word
        {"\\w+_t\\b", "", false, false, 0, false, true},
        {"\\w+_t\\b|x", "", false, false, 0, false, false},    // a top-level bar: none of them
        {"(\\w+)\\s\\1", "", false, false, 0, false, false},   // a back-reference reads what the run took
    };
    for (const Row& r : rows) {
        Compiled re(r.pattern, r.options);
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        const StartFilter& f = plan->filter;
        EXPECT_EQ(f.endDrive, r.endDrive) << r.pattern;
        if (r.endDrive) {
            EXPECT_EQ(f.endAnyLineFeed, r.anyLineFeed) << r.pattern;
            EXPECT_EQ(f.endSteps, r.steps) << r.pattern;
        }
        EXPECT_EQ(f.wordStart, r.wordStart) << r.pattern;
        EXPECT_EQ(f.skipRunOnFail, r.skipRun) << r.pattern;
    }
}

// "\\b", a repeat of word bytes, "\\b": the scan goes from word run to word
// run and leaves the DFA out where those are the matches. Which shapes take
// it, then variants around it (sets with and without non-word members,
// minimums past one vector, bounded repeats, text after the second "\\b",
// folded letters) over text dense in capitals, words glued to them and wide
// bytes, long enough for the vector search.
TEST(SearchPlan, WordRunsEqualGeneralPath) {
    struct Row {
        const char* pattern;
        bool wordRun;
        bool decides;
    } rows[] = {
        {"\\b[A-Z_]{4,}\\b", true, true},
        {"\\b([A-Z]+)\\b", true, true},
        {"\\b\\w{2,3}\\b\\s", true, false},
        {"\\b[A-Z\\-]{4,}\\b", false, false},  // '-' is no word byte
        {"\\b[A-Z]{4,}", false, false},         // no boundary after the run
        {"\\b[A-Z]*\\b", false, false},         // may be empty
        {"(?i)\\b[A-Z]{4,}\\b", false, false},  // folding may take wider characters
        {"\\b[A-Z]{2,4}\\b_t", false, false},   // the literal leads
    };
    for (const Row& r : rows) {
        Compiled re(r.pattern, "");
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        EXPECT_EQ(plan->filter.wordRun, r.wordRun) << r.pattern;
        EXPECT_EQ(plan->filter.wordRun && plan->filter.wordRunDecides, r.decides) << r.pattern;
    }

    qeltest::RegexGen gen(20261215);
    static const char* const kItems[] = {"[A-Z_]", "[A-Z_]", "[A-Z]", "\\w", "\\d", "[a-c_1]", "X", "[A-Z\\-]", "\\W"};
    static const char* const kQuants[] = {"+", "{4,}", "{4,}", "{2,3}", "{1,}", "*", "+?", "{33,}", "{40}", "{4,}+"};
    static const char* const kLeads[] = {"\\b", "\\b", "\\b", "(\\b", "\\B", "(?i)\\b", "\\b\\b"};
    static const char* const kEnds[] = {"\\b", "\\b", "\\b", "\\b)", "\\b\\(", "\\b\\w", "\\b(?=A)", "\\B", ""};
    static const char kAlphabet[] = "AAAAQQZ___ab1 (-\n";
    auto pick = [&](auto& list) { return std::string(list[gen.pick(sizeof(list) / sizeof(list[0]))]); };
    int compared = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string lead = pick(kLeads), end = pick(kEnds);
        // A group opened in the lead closes in the end.
        if ((lead[0] == '(' && lead[1] != '?') != (end.back() == ')')) continue;
        const std::string pattern = lead + pick(kItems) + pick(kQuants) + end;
        compared += compare_random_options(gen, pattern, 4, 8, [&](int) {
            std::string subject;
            const size_t len = gen.pick(3) == 0 ? gen.pick(24) : 40 + gen.pick(260);
            while (subject.size() < len) {
                if (gen.pick(20) == 0)
                    subject += "\xC3\x89";
                else if (gen.pick(30) == 0)
                    subject += std::string(30 + gen.pick(12), 'Q');  // around the longest minimum
                else
                    subject += kAlphabet[gen.pick(sizeof(kAlphabet) - 1)];
            }
            return subject;
        });
        if (HasFatalFailure()) return;
    }
    EXPECT_GE(compared, 6000);
}

// Quoted strings with escapes and their relatives: an opening byte, a run of
// a class, an optional repeated group whose way through begins with one byte
// (the escape), and a closing byte. The scan finds the opening byte with the
// plain byte search, and a group facing any other byte goes straight on to
// what follows it. Variants change the group (capturing, lazy, with a
// minimum, an alternative, folded letters), the class and the bytes, over
// subjects dense in quotes, escapes and line feeds; the fast paths must give
// the general path's records and status.
TEST(SearchPlan, EscapedStringShapesEqualGeneralPath) {
    struct Row {
        const char* pattern;
        bool single;  // the first-byte set is one byte
        bool only;    // ... and the whole filter
    } rows[] = {
        {"\"[^\"\\\\]*(?:\\\\.[^\"\\\\]*)*\"", true, true},
        {"[\"'][^\"']*", false, true},
        {"\"x+\"", true, false},  // the literal after it joins the filter
        {"\\b\"", true, false},
    };
    for (const Row& r : rows) {
        Compiled re(r.pattern, "g");
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        EXPECT_EQ(plan->filter.firstSingle, r.single) << r.pattern;
        EXPECT_EQ(plan->filter.firstOnly, r.only) << r.pattern;
    }

    qeltest::RegexGen gen(20261215);
    static const char* const kOpen[] = {"\"", "\"", "'", "x", "", "\\b\"", "(?i)b"};
    static const char* const kRun[] = {"[^\"\\\\]*", "[^\"\\\\]*", "[^\"]*", "[a-c]*", "\\w*", ".*", "[^\\\\]+", ""};
    static const char* const kGroup[] = {"(?:", "(?:", "(", "(?i:", "(?:(?i)", "(?:x|"};
    static const char* const kEscape[] = {"\\\\", "\\\\", "b", "B", "\"", "\\\\\\\\"};
    static const char* const kAfter[] = {".", ".", "[a-c]", "\\w", "\\C", ""};
    static const char* const kQuant[] = {"*", "*", "*", "+", "*?", "?", "{0,2}", "{2}", "*+"};
    static const char* const kClose[] = {"\"", "\"", "'", "", "$", "b"};
    static const char kAlphabet[] = "\"\"\\\\\\'abcB x\n";
    auto pick = [&](auto& list) { return std::string(list[gen.pick(sizeof(list) / sizeof(list[0]))]); };
    int compared = 0;
    for (int i = 0; i < 5000; ++i) {
        const std::string run = pick(kRun);
        const std::string pattern =
            pick(kOpen) + run + pick(kGroup) + pick(kEscape) + pick(kAfter) + run + ")" + pick(kQuant) + pick(kClose);
        compared += compare_random_options(gen, pattern, 6, 8, [&](int k) {
            const size_t len = (i % 40 == 0 && k == 0) ? 300 + gen.pick(3000) : gen.pick(40);
            std::string subject;
            while (subject.size() < len) {
                if (gen.pick(20) == 0)
                    subject += "\xC3\xA9";
                else
                    subject += kAlphabet[gen.pick(sizeof(kAlphabet) - 1)];
            }
            return subject;
        });
        if (HasFatalFailure()) return;
    }
    EXPECT_GE(compared, 25000);
}

// The one-byte items a pattern leads with become steps the scan takes before
// the match step: a start where they cannot all be taken is passed over.
// Which patterns get them, how many, whether they are the whole pattern
// (then the DFA stays out), and whether a start at the required literal
// resumes after it.
TEST(SearchPlan, LeadingSteps) {
    struct Row {
        const char* pattern;
        int32_t steps;
        bool whole;
        bool afterLiteral;
        bool wordEnd;  // a word byte after the steps rules the start out
    } rows[] = {
        {"#define\\s+\\w+\\s+\\(", 14, true, true, false},
        {"\\b[A-Z_]{4,}\\b", 5, true, false, true},  // the leading boundary test is left out
        {"[0-9a-f]{8}", 8, true, false, false},
        {"(\\w+)_t\\b", 4, true, false, true},       // through the capturing group
        {"[a-c ]{2}\\b", 2, true, false, false},      // a blank before the boundary: a word byte may follow
        {"ab\\b\\d", 3, true, true, false},           // the boundary is not last
        {"ab(c|d)", 2, false, true, false},          // an alternation ends them
        {"ab\\d+(?=x)", 4, false, true, false},
        {"(?i)ab\\d", 3, true, false, false},        // folded: the literal is searched folded
        {"x?ab", 3, true, false, false},
        {"a+b?", 0, false, false, false},            // one byte that must be taken: the first-byte set says as much
        {"[0-9]+", 0, false, false, false},
        {".ab", 0, false, false, false},             // "." may take a character of several bytes
        {"\\w{40}", 0, false, false, false},         // more steps than fit
        {"ab\\w{40}", 2, false, true, false},        // ... after the ones that do
        {"ab|cd", 0, false, false, false},           // a top-level bar
        {"[a-zA-Z]+ing", 0, false, false, false},    // the literal drive has made sure of them
    };
    for (const Row& r : rows) {
        Compiled re(r.pattern, "");
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        const StartFilter& f = plan->filter;
        EXPECT_EQ(f.leadSteps, r.steps) << r.pattern;
        if (r.steps == 0) continue;
        EXPECT_EQ(f.leadWhole, r.whole) << r.pattern;
        EXPECT_EQ(f.leadSkipsLiteral, r.afterLiteral) << r.pattern;
        EXPECT_EQ(f.leadWordEnd, r.wordEnd) << r.pattern;
        for (const char* subject : {"#define X (a) #define  Y\t(b)\n#define Z 1", "ab1x abd AB1 abc_t x_t9 DEADBEEF1",
                                    "0123456789abcdef _T_T_ ab\xC3\xA9 abcd", "#define\n#define #defin ab",
                                    "AB_CD ABCDE1 x_t x_t1 ab ab\xC3\xA9", "ABCD"})
            expect_same(re.state, subject, 8, r.pattern);
    }
}

// Literal-led runs of one-byte items over subjects full of near misses: the
// literal cut short, followed by bytes the steps reject at every step, by
// characters of several bytes, and by the subject's end; with and without a
// tail the steps do not cover. Many occurrences of the literal's rarest byte
// without the literal send the literal search from byte searches to the
// substring search.
TEST(SearchPlan, LeadingStepsEqualGeneralPath) {
    qeltest::RegexGen gen(20261215);
    static const char* const kLiterals[] = {"#define", "#d", "ab", "x#y", "_t", "", "a", "aab"};
    static const char* const kItems[] = {"\\s", "\\w", "\\d", "[ab]", "[ \\n]", "[^ \\n]", "a", "(", "_", "\\n",
                                         "[a-c_]", "ab", "[\\t ]", "[A-Z_]", "\\W", "\\S", "\\x{e9}", "#", "."};
    static const char* const kQuants[] = {"", "", "", "*", "+", "+", "?", "{2}", "{1,3}", "{2,}", "+?", "*?", "{0}"};
    static const char* const kTails[] = {"", "", "", "\\b", "(?:x|yz)", "(a|b)\\1", "$", "(?=a)", "(?i)a", "\\d*?x"};
    static const char* const kPieces[] = {"#define", "#defin", "#", "define", " ", "  ", "\t", "\n", "(", "ab", "aab",
                                          "a", "b", "_t", "x#y", "x#", "AB", "1", "2_", "\xC3\xA9", "\xFF", "yz", "x"};
    auto pick = [&](auto& list) { return std::string(list[gen.pick(sizeof(list) / sizeof(list[0]))]); };
    int compared = 0;
    for (int i = 0; i < 5000; ++i) {
        std::string body;
        const int items = 1 + static_cast<int>(gen.pick(4));
        for (int k = 0; k < items; ++k) body += pick(kItems) + pick(kQuants);
        if (gen.pick(4) == 0) body = "(" + body + ")";
        const std::string pattern = pick(kLiterals) + body + pick(kTails);
        compared += compare_random_options(gen, pattern, 5, 12, [&](int k) {
            std::string subject;
            // Now and then long enough for the search over the whole window
            // and for twenty rare bytes in a row without the literal.
            const size_t len = (i % 40 == 0 && k == 0) ? 300 + gen.pick(2000) : gen.pick(4) == 0 ? gen.pick(200) : gen.pick(40);
            const bool misses = gen.pick(3) == 0;
            while (subject.size() < len) subject += misses && gen.pick(2) ? std::string("#x_ ") : pick(kPieces);
            return subject;
        });
        if (HasFatalFailure()) return;
    }
    EXPECT_GE(compared, 20000);
}

// The entry gate answers a window that lacks what every match holds before
// the search sets anything up: on for the shapes whose filter the scan uses
// at every position, off where it is not (anchored patterns, a plain
// alternation), and the answers agree with the general path on both sides
// of each condition's edges (the pair at the very end, the first byte as the
// last byte, the literal at either end, folded, UTF-8, global).
TEST(SearchPlan, EntryGate) {
    struct Row {
        const char* pattern;
        const char* opts;
        bool literal, pair, byteSet;
        bool leadsSkip;  // the leading-literal skip takes the gate's occurrence
    } rows[] = {
        {"x(a|b)y", "", true, true, false, false},  // 'y' required, then x followed by a or b
        {"x\\d", "", false, true, false, false},
        {"[0-9]+", "", false, false, true, false},
        {"#define\\s+\\w+", "", true, false, false, true},  // the literal leads: it holds the first byte
        {"\\breturn\\b", "", true, false, false, false},
        {"x[ab]?", "", false, false, true, false},  // the rest may take nothing: no pair
        {"x(?=a)\\w", "", false, true, false, false},
        {"ab\\w*cd", "i", true, false, false, true},  // folded both in the gate and in the skip
        {"ab\\w*(?i)cd", "", true, false, false, false},  // the gate folds, the skip does not
        {"x(a|b)y", "g", true, true, false, false},
        {"^ab", "", false, false, false, false},  // anchored: the filter is not used
        {"^ab\\w", "m", false, false, false, false},
        {"foo|bar", "", false, false, false, false},  // a plain alternation answers alone
        {"\\w+\\(", "", false, false, false, false},   // nearly every line holds a word byte: no test
    };
    for (const Row& r : rows) {
        Compiled re(r.pattern, r.opts);
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        EXPECT_EQ(plan->gateLiteral, r.literal) << r.pattern;
        EXPECT_EQ(plan->gatePair, r.pair) << r.pattern;
        EXPECT_EQ(plan->gateByteSet, r.byteSet) << r.pattern;
        EXPECT_EQ(plan->gateLeadsSkip, r.leadsSkip) << r.pattern;
    }
    // The trailing literal is tested where no other test looks for its bytes.
    for (const auto& [pattern, tail] :
         {std::pair{"\\w+\\(", true}, {"ab\\w*cd", true}, {"x(a|b)y", false}, {"\"[^\"]*\"", false}}) {
        Compiled re(pattern, "");
        ASSERT_NE(search_plan(re.state), nullptr) << pattern;
        EXPECT_EQ(search_plan(re.state)->gateTail, tail) << pattern;
    }
    // Before the literal the gate looks for a rare byte of it, if it has one.
    for (const auto& [pattern, rareAt] : {std::pair{"#define\\s+\\w+", 0}, {"ab#cd", 2}, {"\\breturn\\b", -1}}) {
        Compiled re(pattern, "");
        ASSERT_NE(search_plan(re.state), nullptr) << pattern;
        EXPECT_EQ(search_plan(re.state)->gateRareAt, rareAt) << pattern;
    }

    static const char* const kPatterns[][2] = {
        {"x(a|b)y", ""}, {"x(a|b)y", "g"}, {"x(a|b)y", "i"}, {"x\\d", ""}, {"[xz][ab]", ""}, {"x(?=a)\\w", ""},
        {"[0-9]+", "g"}, {"#define\\s+\\w+", ""}, {"\\breturn\\b", ""}, {"ab", "i"}, {"x\\b", ""}, {"x[ab]?", ""},
        {"ab\\w*cd", ""}, {"ab\\w*cd", "gi"}, {"ab\\w*(?i)cd", ""}, {"ab#cd", ""}, {"ab#cd", "g"},
        {"\\w+\\(", ""}, {"\\w+\\(", "g"}, {"a\\w*(?i)cd", ""},
    };
    static const char* const kSubjects[] = {
        "", "x", "xa", "xb", "xay", "xby", "y xay", "xxa", "yx", "xa\xc3\xa9y", "\xc3xay", "XAY", "xAy", "x1", "zb",
        "1", "a1", "#define", "#define A", "return", " return;", "returned", "AB", "aB", "xy", "x a", "x-",
        "abcd", "cd ab", "ab cd abcd", "xxabzzcd", "AbCD", "abCd", "aBcd ab", "ab#cd", "#ab#cd", "xxab#cd",
        "b#cd", "ab#c ab#cd ab#cd", "f(x)", "(f", "f (g(", "abCD x",
    };
    for (const auto& [pattern, opts] : kPatterns)
        for (int format : {0, 1}) {
            Compiled re(pattern, opts, format);
            ASSERT_EQ(re.status, qelOk) << pattern;
            for (const char* subject : kSubjects)
                for (int32_t capacity : {1, 4})
                    expect_same(re.state, subject, capacity, std::string(pattern) + " /" + opts + " fmt " + std::to_string(format));
            if (HasFatalFailure()) return;
        }
}

// One greedy unbounded repeat of "\w", "\d", "\s" or a class of one-byte
// ASCII characters is answered by run searches; the shape is recognised
// exactly, and near-misses (lazy, bounded, captured, negated, nullable, a
// class that can take a high byte or a character of several bytes) keep the
// match step.
TEST(SearchPlan, WholeRunShape) {
    static const struct {
        const char* pattern;
        const char* opts;
        bool whole;
        int32_t min;
    } rows[] = {
        {"\\w+", "", true, 1},    {"\\w+", "gi", true, 1}, {"\\d{3,}", "", true, 3}, {"\\s+", "ms", true, 1},
        {"\\w+?", "", false, 0},  {"\\w{1,5}", "", false, 0}, {"(\\w+)", "", false, 0}, {"\\W+", "", false, 0},
        {"\\w*", "", false, 0},   {"[a-z]+", "", true, 1},   {"\\w+x", "", false, 0},
        {"(?i)\\w+", "", false, 0}, {"\\S+", "", false, 0},
        // Classes: the set is the class's own, the negation of a set that
        // takes every high byte included.
        {"[A-Za-z_]+", "", true, 1}, {"[0-9]+", "gi", true, 1}, {"[a-z0-9_]{2,}", "", true, 2},
        {"[a-hA-H]+", "i", true, 1}, {"[\\d_.]+", "ms", true, 1}, {"[^\\W]+", "", true, 1},
        // Under ignore-case U+212A and U+0130 fold to "k" and "i": a range
        // holding either takes a character of three or two bytes.
        {"[A-Za-z_]+", "i", false, 0}, {"[j-l]+", "i", false, 0}, {"[kK]+", "i", true, 1},
        {"[a-z\xC3\xA9]+", "", false, 0}, {"[a-z\\x{100}]+", "", false, 0},
        {"[a-z\\p{L}]+", "", false, 0}, {"[a-z\\W]+", "", false, 0}, {"[^a-z]+", "", false, 0},
        {"[a-z]+?", "", false, 0}, {"[a-z]{1,9}", "", false, 0}, {"[a-z]*", "", false, 0},
        {"([a-z]+)", "", false, 0}, {"[a-z]+x", "", false, 0}, {"[\\x7F-\\x{80}]+", "", false, 0},
    };
    for (const auto& r : rows) {
        Compiled re(r.pattern, r.opts);
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        EXPECT_EQ(plan->wholeRun, r.whole) << r.pattern;
        if (r.whole) {
            EXPECT_EQ(plan->wholeRunMin, r.min) << r.pattern;
        }
    }
}

// The run searches against the match step over subjects of short and long
// runs, UTF-8 and stray high bytes, with match limits around the point
// below which the budgets could run out and the run search must stand back.
TEST(SearchPlan, WholeRunsEqualGeneralPath) {
    qeltest::RegexGen gen(20261211);
    static const char* const kPatterns[] = {
        "\\w+", "\\d+", "\\s+", "\\w{2,}", "\\d{3,}", "\\s{2,}", "\\w{40,}", "\\w+?", "\\w{1,3}", "(\\w+)",
        "\\W+", "\\w*", "[A-Za-z_]+", "[0-9]+", "[a-z0-9_]{2,}", "[a-hK-Z.]+", "[^\\W]+", "[a-z]+?",
        "[A-Z\xC3\xA9]+", "[a-z\\x{212A}]+", "[^a-z]+"};
    // Besides ASCII: UTF-8 (U+212A and U+0130 fold to "k" and "i"), stray
    // high bytes and a truncated sequence.
    static const char* const kPieces[] = {"a", "Zz_9", "0", "12", " ", "\t", "\n", "\v", "\r\n", ".", "-",
                                          "kK", "Ii", "\xC3\xA9", "\xE2\x80\x83", "\xE2\x84\xAA", "\xC4\xB0",
                                          "\xFF", "\x80", "\xC3", "word_42 "};
    static const int32_t kLimits[] = {0, 1, 2, 7, 8, 9, 12, 16, 10000};
    for (int i = 0; i < 700; ++i) {
        const char* pattern = kPatterns[gen.pick(sizeof(kPatterns) / sizeof(kPatterns[0]))];
        const std::string opts = random_options(gen);
        const int format = static_cast<int>(gen.pick(2));
        Compiled re(pattern, opts.c_str(), format);
        ASSERT_EQ(re.status, qelOk) << pattern;
        if (gen.pick(3) == 0) qelsRegExpSetMatchLimit(kLimits[gen.pick(sizeof(kLimits) / sizeof(kLimits[0]))], re.state);
        const std::string what = std::string(pattern) + " /" + opts + " fmt " + std::to_string(format);
        for (int s = 0; s < 8; ++s) {
            std::string subject;
            const size_t len = gen.pick(4) == 0 ? gen.pick(1500) : gen.pick(40);
            const bool longRuns = gen.pick(3) == 0;
            while (subject.size() < len) {
                if (longRuns && gen.pick(2) == 0)
                    subject.append(1 + gen.pick(60), "aaa0_ \n"[gen.pick(7)]);
                else
                    subject += kPieces[gen.pick(sizeof(kPieces) / sizeof(kPieces[0]))];
            }
            const int32_t capacity = gen.pick(4) == 0 ? 1000 : 1 + static_cast<int32_t>(gen.pick(8));
            expect_same(re.state, subject, capacity, what);
            if (HasFatalFailure()) return;
        }
    }
}

// A greedy unbounded group whose passes have one way through and never give
// back loops without nesting; the plan marks exactly those.
TEST(SearchPlan, LoopGroupShape) {
    static const struct {
        const char* pattern;
        bool loop;
    } rows[] = {
        {"\"([^\"\\\\]|\\\\.)*\"", true},  {"\"(?:[^\"\\\\]|\\\\.)*\"", true}, {"'([^'\\\\]|\\\\.)+'", true},
        {"(a\\d|c.)*d", true},             {"x(?:[a-c]|y.)*z", true}, {"a(b|c.)*\\z", true},
        {"(a|ab)*c", false},   // two alternatives begin with a
        {"(a|b)*a", false},    // what follows can begin a pass
        {"(a|b)*", false},     // what follows may be empty
        {"(a|b)*?c", false},   {"(a|b){2,5}c", false}, {"(a|b+)*c", false}, {"(a|(b))*c", false},
        {"(a||b)*c", false},   {"()*c", false},        {"(a|b)*c|d", false},
    };
    for (const auto& r : rows) {
        Compiled re(r.pattern, "");
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        bool marked = false;
        for (int32_t i = 0; i < plan->itemCount; ++i) marked = marked || plan_items(plan)[i].loopGroup;
        EXPECT_EQ(marked, r.loop) << r.pattern;
    }
}

// Looping groups against the general path: quoted strings with escapes and
// rows of several items, captures included, over subjects that open, escape
// and break off strings, with UTF-8 and stray bytes inside.
TEST(SearchPlan, LoopGroupsEqualGeneralPath) {
    qeltest::RegexGen gen(20261212);
    static const char* const kPatterns[] = {
        "\"([^\"\\\\]|\\\\.)*\"", "\"(?:[^\"\\\\]|\\\\.)*\"", "\"([^\"\\\\]|\\\\.)+\"", "(\"([^\"\\\\]|\\\\.)*\")",
        "\"([^\"\\\\]|\\\\.){2,}\"\\s", "(a\\d|c.)*d", "x(?:[a-c]|y.)*z", "(a|b)*c(a|b)*\\b", "'([^'\\\\\\n]|\\\\.)*'",
        "\"([^\"\\\\]|\\\\.)*\\\\?\"", "(a|ab)*c", "(a|b)*a"};
    static const char* const kPieces[] = {"\"", "\"", "\\", "\\\"", "\\\\", "a", "b", "c", "d", "x", "y", "z", "1",
                                          " ", "\n", "'", "\xC3\xA9", "\xFF", "ab", "c1d"};
    for (int i = 0; i < 600; ++i) {
        const char* pattern = kPatterns[gen.pick(sizeof(kPatterns) / sizeof(kPatterns[0]))];
        const std::string opts = random_options(gen);
        const int format = static_cast<int>(gen.pick(2));
        Compiled re(pattern, opts.c_str(), format);
        ASSERT_EQ(re.status, qelOk) << pattern;
        if (gen.pick(8) == 0) qelsRegExpSetMatchLimit(static_cast<int32_t>(1 + gen.pick(40)), re.state);
        const std::string what = std::string(pattern) + " /" + opts + " fmt " + std::to_string(format);
        for (int s = 0; s < 6; ++s) {
            std::string subject;
            const size_t len = gen.pick(5) == 0 ? gen.pick(600) : gen.pick(40);
            while (subject.size() < len) subject += kPieces[gen.pick(sizeof(kPieces) / sizeof(kPieces[0]))];
            expect_same(re.state, subject, 1 + static_cast<int32_t>(gen.pick(6)), what);
            if (HasFatalFailure()) return;
        }
    }
}

// The loop spends the nesting budget as the passes would: at every limit
// around the depth a row needs, the search is cut, or not, exactly where the
// general path's is. The patterns are anchored, so that both paths try the
// same one start, and a look-ahead keeps them off the linear path, which is
// never cut.
TEST(SearchPlan, LoopGroupsKeepTheNestingBudget) {
    static const char* const kPatterns[] = {"^\"([^\"\\\\]|\\\\.)*(?=\")\"", "^(?:a|b\\d){3,}(?=c)c", "^x(?:[a-c]|y.)*(?=z)"};
    static const char* const kSubjects[] = {"\"abc\\\"de\" \"\\\\\\\\x\"", "ab1ab2aaaab1c", "xaby1cyzc xz", "\"ab\\",
                                            "ab1ab1ab1ab1b2b3aaaa", "xabcabcy"};
    for (const char* pattern : kPatterns)
        for (const char* subject : kSubjects)
            for (int32_t limit = 1; limit <= 40; ++limit) {
                Compiled re(pattern, "", 0);
                ASSERT_EQ(re.status, qelOk) << pattern;
                qelsRegExpSetMatchLimit(limit, re.state);
                const Outcome fastOutcome = find(re.state, subject, 8);
                set_general_path_only(re.state, true);
                const Outcome general = find(re.state, subject, 8);
                ASSERT_EQ(fastOutcome, general) << pattern << " limit " << limit << " over \"" << subject
                                                << "\"\n fast    " << show(fastOutcome) << "\n general " << show(general);
            }
}

// A greedy repeat whose continuation closes groups and then needs one byte
// ("(\\w+)_\\1"): the plan names that byte, and the repeat gives back only to
// where it stands. Not where the group is quantified, atomic or has
// alternatives, where the byte is optional or repeated, or where case folds
// the letter after the close.
TEST(SearchPlan, CloseFollowShape) {
    static const struct {
        const char* pattern;
        int byte;  // -1: no mark
    } rows[] = {
        {"(\\w+)_\\1", '_'},       {"(?i)(\\w+)_\\1", '_'}, {"((\\w+))_", '_'},     {"(?:[a-z]+)-x", '-'},  {"(\\d*)(x)y", 'x'},
        {"(\\w+)ab", 'a'},         {"\\w+_", -1},          // no group: the repeat's own pre-test
        {"(\\w+)_?\\1", -1},       {"(\\w+)_+", -1},       {"(\\w+)+_", -1},       {"(?>\\w+)_", -1},
        {"(\\w+|x)_", -1},         {"(\\w+)(?i)_", -1},    {"(?i)(\\w+)a", -1},    {"((?i)\\w+)a", 'a'},
        {"(\\w+?)_", -1},          {"(\\w+)\\xE9", -1},    {"(\\w+)_|y", -1},      {"(x+)_", -1},  // RE_CHAR item
    };
    for (const auto& r : rows) {
        Compiled re(r.pattern, "");
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        int byte = -1;
        for (int32_t i = 0; i < plan->itemCount; ++i)
            if (plan_items(plan)[i].closeFollow) byte = plan_items(plan)[i].followByte;
        EXPECT_EQ(byte, r.byte) << r.pattern;
    }
}

// Close-follow repeats against the general path: runs that hold the byte
// several times, reach the window end, and are followed by the other case.
TEST(SearchPlan, CloseFollowEqualGeneralPath) {
    qeltest::RegexGen gen(20261213);
    static const char* const kHeads[] = {"(\\w+)", "((\\w+))", "(?:[a-z_]+)", "([^ ]*)", "(\\S+)", "(.+)",
                                         "\\b(\\w+)", "(\\w{2,})", "([a-c]{1,3})", "((?i)[a-c]+)"};
    static const char* const kFollows[] = {"_", "_", "-", "_x", "(_)", "(?:_a)", "A"};
    static const char* const kTails[] = {"\\1", "\\1\\b", "", "\\w", "$", "\\1_\\1", "(?=_)"};
    static const char* const kPieces[] = {"a", "b", "c", "_", "_", "-", "A", "x", " ", "\n", "ab_", "a_a", "\xC3\xA9"};
    int compared = 0;  // a reference without a group ("(?:..)_\\1") does not compile
    for (int i = 0; i < 1500; ++i) {
        const std::string pattern =
            pick_one(gen, kHeads) + pick_one(gen, kFollows) + pick_one(gen, kTails);
        compared += compare_random_options(gen, pattern, 6, 6, [&](int) { return pieces_subject(gen, kPieces); });
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(compared, 6000);
}

// A look-behind at a plain literal leads the scan also behind other
// assertions ("(?<!\\w)(?:(?<=struct )\\w+)(?!\\w)", the whole-word form):
// they take no bytes, so it still tests the match start.
TEST(SearchPlan, LookBehindLiteralAfterAssertions) {
    static const struct {
        const char* pattern;
        const char* behind;  // null: none
    } rows[] = {
        {"(?<=struct )\\w+", "struct "},
        {"(?<!\\w)(?:(?<=struct )\\w+)(?!\\w)", "struct "},
        {"\\b(?=a)(?<=x)a", "x"},
        {"(?<=a|b)(?<=ab)c", "ab"},
        {"^(?<!c)((?<=ab))c", "ab"},
        {"a(?<=xa)", nullptr},         // a byte is taken before it
        {"(?<!\\w)(?<=\\w)a", nullptr},  // a look-behind at a class
        {"(?<=ab)?c", nullptr},        // optional
        {"(?i)(?<!\\w)(?<=ab)c", "ab"},     // searched folded
        {"(?<=(?i)ab)c", nullptr},          // options set inside: not a plain literal
        {"(?<!\\w)(?<=ab)c|d", nullptr},
        {"(?:(?<=ab)|x)c", nullptr},   // inside an alternation
    };
    for (const auto& r : rows) {
        Compiled re(r.pattern, "");
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        const StartFilter& f = plan->filter;
        const std::string behind = f.behindLen > 0 ? std::string(reinterpret_cast<const char*>(f.behindLiteral),
                                                                 static_cast<size_t>(f.behindLen))
                                                   : std::string("(none)");
        EXPECT_EQ(behind, r.behind ? r.behind : "(none)") << r.pattern;
        EXPECT_EQ(f.behindFolded, f.behindLen > 0 && r.pattern[1] == '?' && r.pattern[2] == 'i') << r.pattern;
    }
    qeltest::RegexGen gen(20261215);
    static const char* const kLeads[] = {"", "(?<!\\w)", "\\b", "\\B", "(?=a)", "(?!b)", "(?<!c)\\b", "^", "(?<=a|bc)"};
    static const char* const kBehind[] = {"(?<=ab)", "(?<=b )", "(?<=c)", "((?<=ab))", "(?:(?<=a)", "(?<=k)", "(?<=s)"};
    static const char* const kTails[] = {"\\w+", "a", "\\w*(?!\\w)", "[a-c]+b", "(\\w+)\\1", "", "$"};
    static const char* const kPieces[] = {"a", "b", "c", "ab", "ab ", "b ", " ", "\n", "x", "abc", "\xC3\xA9",
                                          "AB", "aB ", "C", "\xE2\x84\xAA", "\xC5\xBF"};
    int compared = 0;
    for (int i = 0; i < 1500; ++i) {
        const std::string behind = pick_one(gen, kBehind);
        const std::string tail = pick_one(gen, kTails);
        const std::string pattern =
            pick_one(gen, kLeads) + (behind[2] == ':' ? behind + tail + ")" : behind + tail);
        compared += compare_random_options(gen, pattern, 6, 6, [&](int) { return pieces_subject(gen, kPieces); });
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(compared, 6000);
}

// "(C+)x\\1" with x in C: starts with no x after them in the run, or none
// followed by a copy, are skipped. The subjects repeat words after x in
// either case, in part, across UTF-8 letters, and in runs longer than the
// look of the check.
TEST(SearchPlan, ByteThenReferenceEqualGeneralPath) {
    static const struct {
        const char* pattern;
        const char* options;
        bool on;
    } rows[] = {
        {"(\\w+)_\\1", "", true},
        {"(\\w+)_\\1", "i", true},
        {"\\b(\\w+)_\\1\\b", "", true},
        {"(\\w+)a\\1", "i", true},
        {"([a-c_]+?)_\\1+", "", true},
        {"(\\w+)-\\1", "", false},    // "-" ends the run: the run check serves
        {"(\\w+)_+\\1", "", false},   // the reference may start after any "_"
        {"(\\w+)_\\1?", "", false},   // no copy needed
        {"x(\\w+)_\\1", "", false},   // the group does not open the match
        {"(\\w+)(_)\\1", "", true},  // a group around the byte changes nothing
    };
    for (const auto& r : rows) {
        Compiled re(r.pattern, r.options);
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        EXPECT_EQ(plan->filter.refAfterByte, r.on) << r.pattern << " /" << r.options;
        for (const char* subject : {"ab_ab", "xab_b", "ab_AB", "Ab_aB", "a_b_a_b", "ab_a", "__", "a_", "_a_a", "abAab"})
            expect_same(re.state, subject, 4, r.pattern);
    }
    qeltest::RegexGen gen(20261211);
    static const char* const kLeads[] = {"", "", "\\b", "\\B", "(?i)"};
    static const char* const kRuns[] = {"\\w", "\\w", "[a-c_]", "[A-Za-z_]", "[ab_]", "[a-z_]"};
    static const char* const kQuants[] = {"+", "+", "+?", "{2,}", "{1,3}", "++"};
    static const char* const kSeps[] = {"_", "_", "a", "A", "b"};
    static const char* const kRefs[] = {"\\1", "\\1", "\\1\\b", "\\1+", "\\1{2}", "(?:\\1)", "\\1_", "\\1(?i)"};
    static const char* const kGlue[] = {"_", "_", "a", "B", " ", "-", "\xC3\xA9", "\xC3\x89", "\n"};
    int compared = 0;
    for (int i = 0; i < 1500; ++i) {
        const std::string pattern = pick_one(gen, kLeads) + "(" + pick_one(gen, kRuns) +
                                    pick_one(gen, kQuants) + ")" + pick_one(gen, kSeps) +
                                    pick_one(gen, kRefs);
        compared += compare_random_options(gen, pattern, 6, 6, [&](int) {
            std::string subject, word;
            const size_t words = gen.pick(5) == 0 ? 40 : gen.pick(10);
            for (size_t w = 0; w < words; ++w) {
                const uint32_t how = gen.pick(5);
                if (how == 0 || word.empty()) {
                    word.clear();
                    for (uint32_t n = 1 + gen.pick(gen.pick(6) == 0 ? 40 : 5); n > 0; --n) word += "abcAB_"[gen.pick(6)];
                } else if (how == 1) {
                    word = word.substr(gen.pick(static_cast<uint32_t>(word.size())));
                } else if (how == 2) {
                    for (char& c : word) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
                }
                subject += word;
                subject += kGlue[gen.pick(std::size(kGlue))];
            }
            return subject;
        });
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(compared, 6000);
}

// An alternation of 3 to 16 literals of two bytes or more is searched in one
// pass (literal_set.h); a one-byte branch, two literals, more than the
// filter takes or anything but literals keep the search literal by literal.
TEST(SearchPlan, LiteralAlternationShape) {
    std::string sixteen, seventeen;
    for (int k = 0; k < 17; ++k) {
        const std::string lit = (k ? "|w" : "w") + std::to_string(k) + "x";
        if (k < 16) sixteen += lit;
        seventeen += lit;
    }
    static const struct {
        const char* pattern;
        const char* options;
        bool on;
    } rows[] = {
        {"malloc|calloc|free", "", true},
        {"ab|abc|bc", "i", true},
        {"ab|abc", "", false},
        {"ab|c|de", "", false},
        {"ab|cd?|ef", "", false},
        {"(?:ab|cd|ef)", "", false},
        {"ab|cd|ef", "g", true},  // kept in the plan; only a search for the first match takes it
    };
    for (const auto& r : rows) {
        Compiled re(r.pattern, r.options);
        ASSERT_EQ(re.status, qelOk) << r.pattern;
        const SearchPlan* plan = search_plan(re.state);
        ASSERT_NE(plan, nullptr) << r.pattern;
        EXPECT_EQ(plan->alternation.on, r.on) << r.pattern << " /" << r.options;
    }
    for (const auto& [pattern, on] : {std::pair{sixteen, true}, std::pair{seventeen, false}}) {
        Compiled re(pattern, "");
        ASSERT_EQ(re.status, qelOk);
        EXPECT_EQ(search_plan(re.state)->alternation.on, on) << pattern;
    }
}

// The one-pass search against the general path: literals that share a
// prefix, hold one another or overlap ("ab|abc", "bc|abcd", where the
// leftmost match is not the first branch's), in the same bucket of the
// filter, longer than the eight bytes one compare settles, in either case
// and with UTF-8 bytes; subjects from shorter than one block to several,
// so that matches fall in whole blocks, the last masked block and the last
// two starts.
TEST(SearchPlan, LiteralAlternationsEqualGeneralPath) {
    qeltest::RegexGen gen(20261215);
    static const char* const kLiterals[] = {"ab", "abc", "bc", "abcd", "cab", "Ab", "ba", "aab", "xy",
                                            "abcdefgh", "abcdefghij", "abcdefghiX", "\xC3\xA9t", "b\xC3\xA9"};
    static const char* const kPieces[] = {"a", "b", "c", "ab", "abc", "A", "B", " ", "\n", "x", "y",
                                          "defghij", "defghiX", "\xC3\xA9", "\xC3\x89"};
    int compared = 0;
    for (int i = 0; i < 3000; ++i) {
        // From 2 to 17 literals: one short of and one past what the pass takes.
        const uint32_t count = 2 + gen.pick(gen.pick(4) == 0 ? 16 : 5);
        std::string pattern;
        for (uint32_t k = 0; k < count; ++k) {
            if (k > 0) pattern += '|';
            pattern += pick_one(gen, kLiterals);
        }
        compared += compare_random_options(gen, pattern, 6, 4, [&](int) {
            std::string subject;
            const size_t len = gen.pick(3) == 0 ? gen.pick(40) : 30 + gen.pick(200);
            while (subject.size() < len) subject += pick_one(gen, kPieces);
            return subject;
        });
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(compared, 15000);
}
