// Budgets and honest statuses: every search ends in bounded time, and a
// search in which the nesting budget, the stack guard or the work budget cut
// a path says so with qelErrMatchLimit instead of "no match" or a later match.
//
// The catastrophic patterns run in a forked child with an alarm, so a search
// that never ends fails its row instead of hanging the test.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "qelch.h"
#include "qelcore.h"
#include "support/stack_thread.h"

namespace {

struct Compiled {
    QelRegExpState* state = nullptr;
    Compiled(const std::string& pattern, const char* options, int32_t limit = -1) {
        int32_t err = 0;
        EXPECT_EQ(qelsRegExpInitAlloc(pattern.c_str(), options, &state, &err), qelOk) << pattern;
        if (state != nullptr && limit >= 0) {
            EXPECT_EQ(qelsRegExpSetMatchLimit(limit, state), qelOk);
        }
    }
    ~Compiled() { qelsRegExpFree(state); }
    Compiled(const Compiled&) = delete;
    Compiled& operator=(const Compiled&) = delete;
};

const Qel8u* bytes(const std::string& s) { return reinterpret_cast<const Qel8u*>(s.data()); }

std::string times(const std::string& unit, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += unit;
    return s;
}

// The first record of a single search: status and {offset, length}, or
// {-1, -1} when nothing was found.
struct Outcome {
    QelStatus status = 1;  // 1: the child did not report
    int32_t offset = -1;
    int32_t length = -1;
};

Outcome find_first(const std::string& pattern, const char* options, const std::string& subject) {
    Compiled re(pattern, options);
    QelRegExpFind rec[8];  // room for every record of the patterns here
    int32_t count = 8;
    Outcome o;
    o.status = qelsRegExpFind_8u(bytes(subject), int32_t(subject.size()), re.state, rec, &count);
    if (o.status >= 0 && count > 0) {
        o.offset = int32_t(rec[0].pointer - bytes(subject));
        o.length = rec[0].length;
    }
    return o;
}

// Runs `call` in a forked child that an alarm ends after `seconds`. Returns
// false when the child did not finish in time (or died).
constexpr unsigned kHangSeconds = 300;

bool run_bounded(const std::function<Outcome()>& call, Outcome& out) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(kHangSeconds);
        const Outcome o = call();
        const ssize_t w = write(fds[1], &o, sizeof o);
        _exit(w == ssize_t(sizeof o) ? 0 : 3);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    const ssize_t got = read(fds[0], &out, sizeof out);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return got == ssize_t(sizeof out) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The subject of n bytes: `unit` repeated, then `tail`.
struct Catastrophe {
    const char* pattern;
    const char* options;
    const char* unit;
    const char* tail;
    // The true answer on a subject of n bytes: {offset, length} or {-1, -1}.
    std::function<std::pair<int32_t, int32_t>(int32_t n)> answer;
};

std::pair<int32_t, int32_t> no_match(int32_t) { return {-1, -1}; }

// Each call returns the true answer or qelErrMatchLimit, and returns.
TEST(Budget, CatastrophicPatternsEndWithAnswerOrLimit) {
    const Catastrophe rows[] = {
        {"(a|a?)+b", "", "a", "!b", [](int32_t n) { return std::pair<int32_t, int32_t>{n - 1, 1}; }},
        {"(a|aa)+$", "", "a", "!", no_match},
        {"((a|a)*)*$", "", "a", "!", [](int32_t n) { return std::pair<int32_t, int32_t>{n, 0}; }},
        {"(.*a){12}$", "", "a", "!", no_match},
        {"^(\\w+\\s?)*$", "", "a", "!", no_match},
        {"(x+x+)+y", "", "x", "!y", no_match},
        {"((a+)+)+$", "", "a", "!", no_match},
        {"(.+)+?\\xEF^", "smi", "a\xEF", "!", no_match},
        {"(a|b)*c", "", "ab", "!c", [](int32_t n) { return std::pair<int32_t, int32_t>{n - 1, 1}; }},
        {"^(a|b)*c", "", "ab", "c", [](int32_t n) { return std::pair<int32_t, int32_t>{0, n}; }},
        {"(\\w+)\\1+$", "", "ab", "!", no_match},
    };
    for (const Catastrophe& row : rows) {
        for (size_t n : {4, 30, 1000, 10000}) {
            const size_t tail = std::strlen(row.tail), unit = std::strlen(row.unit);
            std::string subject = times(row.unit, (n - tail + unit - 1) / unit).substr(0, n - tail) + row.tail;
            SCOPED_TRACE(std::string(row.pattern) + " /" + row.options + " on " + std::to_string(n) + " bytes");
            Outcome o;
            ASSERT_TRUE(run_bounded([&] { return find_first(row.pattern, row.options, subject); }, o))
                << "the search did not end within " << kHangSeconds << " s";
            if (o.status == qelErrMatchLimit) continue;
            ASSERT_EQ(o.status, qelOk);
            const auto want = row.answer(int32_t(n));
            EXPECT_EQ(o.offset, want.first);
            EXPECT_EQ(o.length, want.second);
        }
    }
}

// A small limit bounds the work as well as the depth: an exponential search
// gives up instead of running for minutes.
TEST(Budget, SmallLimitBoundsWork) {
    for (const char* pattern : {"(a|a?)+b", "((a|a)*)*$", "(x+x+)+y", "(.+)+?\\xEF^"}) {
        const std::string subject = times("x", 31) + "!";
        Outcome o;
        ASSERT_TRUE(run_bounded(
            [&] {
                Compiled re(pattern, "smi", 32);
                QelRegExpFind rec[8];
                int32_t count = 8;
                Outcome r;
                r.status = qelsRegExpFind_8u(bytes(subject), int32_t(subject.size()), re.state, rec, &count);
                return r;
            },
            o))
            << pattern;
        EXPECT_TRUE(o.status == qelOk || o.status == qelErrMatchLimit) << pattern << " " << o.status;
    }
}

// Searches that do not backtrack without end fit the default budget even
// over a few MB: every match is found, with status 0.
TEST(Budget, LongOrdinarySearchesAreNotCut) {
    const std::string line = "the quick brown fox jumps over the lazy dog, singing\n";
    const size_t lines = 4 * 1000 * 1000 / line.size();
    const std::string subject = times(line, lines);
    struct Row {
        const char* pattern;
        size_t perLine;
    } rows[] = {{"\\w+", 10}, {"(\\w)(\\w*)", 20}, {"o", 4}, {"[a-z]+ing", 1}, {"\\b\\w+\\s", 9}, {"(?:fox|dog)\\W", 2}};
    for (const Row& row : rows) {
        Compiled re(row.pattern, "g");
        std::vector<QelRegExpFind> recs(row.perLine * lines + 1);
        int32_t count = int32_t(recs.size());
        EXPECT_EQ(qelsRegExpFind_8u(bytes(subject), int32_t(subject.size()), re.state, recs.data(), &count), qelOk)
            << row.pattern;
        EXPECT_EQ(size_t(count), row.perLine * lines) << row.pattern;
    }
    // One attempt that takes the whole subject in a single repeat.
    Compiled all("^[^\\x00]*$", "");
    QelRegExpFind rec[1];
    int32_t count = 1;
    EXPECT_EQ(qelsRegExpFind_8u(bytes(subject), int32_t(subject.size()), all.state, rec, &count), qelOk);
    EXPECT_EQ(rec[0].length, int32_t(subject.size()));
}

const size_t kStacks[] = {size_t(64) << 10, size_t(1) << 20};

// A subject that needs one nesting level per character: on a small stack or
// past the nesting budget the answer is -188, never "no match" with status 0.
TEST(Budget, DeepSubjectsGiveAnswerOrLimit) {
    for (size_t stack : kStacks) {
        for (size_t n : {101, 4001, 5001, 100001}) {
            const std::string subject = times("ab", n / 2) + "c";
            SCOPED_TRACE(std::to_string(n) + " bytes on a " + std::to_string(stack >> 10) + " KiB stack");
            for (const char* pattern : {"^(a|b)*c", "(?:a|b)*c", "^(?>(?:(a)|b)*)c", "^(?=(?:a|b)*c)"}) {
                Outcome o;
                qeltest::run_on_stack(stack, [&] { o = find_first(pattern, "", subject); });
                if (o.status == qelErrMatchLimit) continue;
                EXPECT_EQ(o.status, qelOk) << pattern;
                EXPECT_EQ(o.offset, 0) << pattern;
                EXPECT_EQ(o.length, std::string(pattern).find("?=") != std::string::npos ? 0 : int32_t(n)) << pattern;
            }
        }
        // A short subject is answered on either stack.
        Outcome o;
        qeltest::run_on_stack(stack, [&] { o = find_first("^(a|b)*c", "", "ababc"); });
        EXPECT_EQ(o.status, qelOk);
        EXPECT_EQ(o.length, 5);
    }
}

// How each exported entry reports a cut.
TEST(Budget, StatusOfEveryEntryAfterACut) {
    // Short matches first, then one that needs deeper nesting than the limit.
    // The look-ahead changes no match; it keeps the patterns on the
    // backtracking matcher (the linear path needs no budget and is never cut).
    const std::string subject = "abc;abc;" + times("ab", 200) + "c;abc";
    const Qel8u* s = bytes(subject);
    const int32_t n = int32_t(subject.size());

    {  // Single search: the cut happens at the first position that reaches it.
        Compiled deep("(?:a|b){5,}(?=c)c", "", 50);
        QelRegExpFind rec[4];
        int32_t count = 4;
        EXPECT_EQ(qelsRegExpFind_8u(s, n, deep.state, rec, &count), qelErrMatchLimit);
        EXPECT_EQ(count, 1);  // lowered to the capture count, no record counted
        Compiled ok("(?:a|b){5,}(?=c)c", "", 10000);
        count = 4;
        EXPECT_EQ(qelsRegExpFind_8u(s, n, ok.state, rec, &count), qelOk);
        EXPECT_EQ(count, 1);
        EXPECT_EQ(rec[0].pointer, s + 8);
    }
    {  // Global search: the matches before the cut stay, the count is not written.
        Compiled g("(?:a|b)*(?=c)c", "g", 50);
        QelRegExpFind rec[8];
        std::memset(rec, 0, sizeof rec);
        int32_t count = 8;
        EXPECT_EQ(qelsRegExpFind_8u(s, n, g.state, rec, &count), qelErrMatchLimit);
        EXPECT_EQ(count, 8);
        EXPECT_EQ(rec[0].pointer, s);
        EXPECT_EQ(rec[0].length, 3);
        EXPECT_EQ(rec[1].pointer, s + 4);
        EXPECT_EQ(rec[1].length, 3);
        EXPECT_EQ(rec[2].pointer, nullptr);  // nothing after the cut
    }
    for (const char* opts : {"", "g"}) {  // Replacement writes nothing.
        Compiled r("(?:a|b){5,}(?=c)c", opts, 50);
        int32_t size = 0;
        ASSERT_EQ(qelsRegExpReplaceGetSize("<$&>", &size), qelOk);
        std::vector<uint8_t> rsMem(static_cast<size_t>(size));
        auto* rs = reinterpret_cast<QelRegExpReplaceState*>(rsMem.data());
        ASSERT_EQ(qelsRegExpReplaceInit("<$&>", rs), qelOk);
        std::vector<Qel8u> dst(2048, '#');
        QelRegExpFind rec[4];
        int32_t sl = n, dl = int32_t(dst.size()), count = 4;
        EXPECT_EQ(qelsRegExpReplace_8u(s, &sl, dst.data(), &dl, rec, &count, r.state, rs), qelErrMatchLimit) << opts;
        EXPECT_EQ(sl, n);
        EXPECT_EQ(dl, int32_t(dst.size()));
        EXPECT_EQ(std::string(dst.begin(), dst.end()), std::string(dst.size(), '#'));
    }
    // Pattern sets: the cut slot reports -188, the others their own results,
    // whether the slots are searched serially or spread over threads.
    for (int32_t threads : {8, 1, 2}) {
        Compiled deep("(?:a|b){5,}(?=c)c", "", 50), plain("abc;", "g"), deep2("(a|b)*(?=c)c", "", 30);
        const Qel32u max = 5;
        int32_t size = 0;
        ASSERT_EQ(qelsRegExpMultiGetSize(max, &size), qelOk);
        std::vector<uint8_t> setMem(static_cast<size_t>(size));
        auto* set = reinterpret_cast<QelRegExpMultiState*>(setMem.data());
        ASSERT_EQ(qelsRegExpMultiInit(set, max), qelOk);
        ASSERT_EQ(qelsRegExpMultiAdd(deep.state, 1, set), qelOk);
        ASSERT_EQ(qelsRegExpMultiAdd(plain.state, 2, set), qelOk);
        ASSERT_EQ(qelsRegExpMultiAdd(deep2.state, 3, set), qelOk);
        QelRegExpFind recs[3][4];
        QelRegExpMultiFind mr[max];
        for (Qel32u i = 0; i < max; ++i) mr[i] = {0, 0, 4, 0, i < 3 ? recs[i] : nullptr};
        qelcoreCtlSetNumThreads(threads);
        EXPECT_EQ(qelsRegExpMultiFind_8u(s, n, mr, set), qelOk);
        qelcoreCtlSetNumThreads(0);
        SCOPED_TRACE(threads);
        EXPECT_EQ(mr[0].status, qelErrMatchLimit);
        EXPECT_EQ(mr[1].status, qelOk);
        EXPECT_EQ(mr[1].count, 3);
        EXPECT_EQ(mr[2].status, qelOk);  // the leftmost match comes before the deep part
        EXPECT_EQ(mr[2].count, 2);
        EXPECT_EQ(recs[2][0].pointer, s);
        EXPECT_EQ(recs[2][0].length, 3);
    }
    // Slots led by a literal share one pass over the subject; a slot cut
    // there reads what its own search gives: the same cut and count for a
    // pattern only the backtracker takes (the look-ahead keeps it there), the
    // answer for one the linear path takes.
    for (const char* opts : {"", "g"}) {
        Compiled cut("ab(a|b){5,}(?=c)c", opts, 16), other("ba", "");
        int32_t size = 0;
        ASSERT_EQ(qelsRegExpMultiGetSize(2, &size), qelOk);
        std::vector<uint8_t> setMem(static_cast<size_t>(size));
        auto* set = reinterpret_cast<QelRegExpMultiState*>(setMem.data());
        ASSERT_EQ(qelsRegExpMultiInit(set, 2), qelOk);
        ASSERT_EQ(qelsRegExpMultiAdd(cut.state, 1, set), qelOk);
        ASSERT_EQ(qelsRegExpMultiAdd(other.state, 2, set), qelOk);
        QelRegExpFind recs[2][3], alone[3];
        QelRegExpMultiFind mr[2] = {{0, 0, 3, 0, recs[0]}, {0, 0, 3, 0, recs[1]}};
        EXPECT_EQ(qelsRegExpMultiFind_8u(s, n, mr, set), qelOk);
        int32_t count = 3;
        EXPECT_EQ(qelsRegExpFind_8u(s, n, cut.state, alone, &count), qelErrMatchLimit) << opts;
        EXPECT_EQ(mr[0].status, qelErrMatchLimit) << opts;
        EXPECT_EQ(mr[0].count, count) << opts;

        Compiled linear("ab(a|b){5,}c", opts, 16);
        ASSERT_EQ(qelsRegExpMultiModify(linear.state, 1, set), qelOk);
        mr[0] = {0, 0, 3, 0, recs[0]};
        mr[1] = {0, 0, 3, 0, recs[1]};
        EXPECT_EQ(qelsRegExpMultiFind_8u(s, n, mr, set), qelOk);
        count = 3;
        const QelStatus own = qelsRegExpFind_8u(s, n, linear.state, alone, &count);
        EXPECT_NE(own, qelErrMatchLimit) << opts;
        EXPECT_EQ(mr[0].status, own) << opts;
        EXPECT_EQ(mr[0].count, count) << opts;
        for (int32_t i = 0; i < count; ++i) EXPECT_EQ(recs[0][i].pointer, alone[i].pointer) << opts << " record " << i;
    }
}

// A limit of 0 cuts the first step: the search cannot say "no match".
TEST(Budget, ZeroLimitIsReported) {
    Compiled re("a", "", 0);
    QelRegExpFind rec[1];
    int32_t count = 1;
    EXPECT_EQ(qelsRegExpFind_8u(bytes("xxa"), 3, re.state, rec, &count), qelErrMatchLimit);
    // The alternation of plain literals is answered by plain searches, which
    // no budget concerns.
    Compiled lits("cat|dog", "", 0);
    count = 1;
    EXPECT_EQ(qelsRegExpFind_8u(bytes("a dog"), 5, lits.state, rec, &count), qelOk);
    EXPECT_EQ(count, 1);
}

}  // namespace
