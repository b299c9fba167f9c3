// Deep matches must never overflow the native stack: 20 MB subjects against
// patterns whose paths nest per character or per pass, with the default match
// limit and with limits of 10^6 and 2^31-1, on the main thread and on a thread
// with a 1 MiB stack. Where the stack would run out the path is cut, as by an
// exhausted budget, and the attempt reports the cut instead of a result.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "regex/match/match_internal.h"
#include "regex_match_fixture.h"
#include "support/stack_thread.h"

namespace {

using namespace qeltest;

constexpr int32_t kBig = 20 * 1000 * 1000;

struct Attempt {
    int res;
    int32_t len;
    std::vector<CaptureRecord> caps;
    int32_t budget;
};

Attempt attempt(const Pat& p, const std::string& s, int32_t limit, size_t stackBytes) {
    Attempt a{};
    run_on_stack(stackBytes, [&] {
        BuiltState st(p, limit);
        a.caps.resize(size_t(p.capture_count()));
        a.res = match_at_for_test(st.state(), reinterpret_cast<const uint8_t*>(s.data()), int32_t(s.size()), 0,
                                  a.caps.data(), p.capture_count(), &a.budget);
        a.len = a.caps[0].length;
    });
    return a;
}

std::string repeat(const std::string& unit, size_t bytes) {
    std::string s;
    s.reserve(bytes + unit.size());
    while (s.size() < bytes) s += unit;
    return s;
}

const int32_t kLimits[] = {kDefaultMatchLimit, 1000000, 0x7fffffff};
const size_t kStacks[] = {0, size_t(1) << 20};

class DeepMatch : public ::testing::Test {
protected:
    template <class Check>
    void each(const Pat& p, const std::string& s, Check check) {
        for (size_t stack : kStacks) {
            for (int32_t limit : kLimits) {
                SCOPED_TRACE("limit " + std::to_string(limit) + (stack ? ", 1 MiB thread" : ", main thread"));
                const Attempt a = attempt(p, s, limit, stack);
                EXPECT_EQ(a.budget, limit);
                check(a);
            }
        }
    }
};

// Single-item repeats loop: their results do not depend on depth at all.
TEST_F(DeepMatch, SingleItemRepeatsTakeWholeSubject) {
    const std::string letters = repeat("abcdefghijklmnopqrstuvwxyz", kBig).substr(0, kBig);
    each(Pat().cls().m_range('a', 'z').end().star(), letters, [&](const Attempt& a) {
        EXPECT_EQ(a.res, 0);
        EXPECT_EQ(a.len, kBig);
    });
    std::string noQ = letters;
    for (char& c : noQ)
        if (c == 'q') c = 'p';
    noQ.back() = 'q';
    each(Pat().cls().m_range('a', 'z').end().star(true).chr('q'), noQ, [&](const Attempt& a) {
        EXPECT_EQ(a.res, 0);
        EXPECT_EQ(a.len, kBig);
    });
    std::string noX(kBig, 'a');
    each(Pat().predef('.').star().chr('x'), noX, [&](const Attempt& a) { EXPECT_EQ(a.res, 1); });
    noX.back() = 'x';
    each(Pat().predef('.').star().chr('x'), noX, [&](const Attempt& a) {
        EXPECT_EQ(a.res, 0);
        EXPECT_EQ(a.len, kBig);
    });
    std::string as(kBig, 'a');
    as.back() = 'b';
    each(Pat().atomic().chr('a').plus().close().chr('b'), as, [&](const Attempt& a) {
        EXPECT_EQ(a.res, 0);
        EXPECT_EQ(a.len, kBig);
    });
    // "\X*" over base characters: one cluster per character when the code-point
    // data knows them, none otherwise; either way one loop, no nesting.
    const bool clusters = grapheme_length(reinterpret_cast<const uint8_t*>("a"), 1) == 1;
    each(Pat().grapheme().star(), letters, [&](const Attempt& a) {
        EXPECT_EQ(a.res, 0);
        EXPECT_EQ(a.len, clusters ? kBig : 0);
    });
}

// Group repeats nest one step chain per pass: too deep for any stack here, so
// the attempt is cut (2), never answered with a shorter match or a failure.
TEST_F(DeepMatch, GroupRepeatsAreCut) {
    std::string ab = repeat("ab", kBig);
    ab.back() = 'c';  // "abab...ac": the final pass is cut short
    each(Pat().group().str("ab").close().star().chr('c'), ab, [&](const Attempt& a) { EXPECT_EQ(a.res, 2); });
    std::string abc = repeat("ab", kBig) + "c";
    each(Pat().cap().chr('a').alt().chr('b').close().star().chr('c'), abc, [&](const Attempt& a) {
        EXPECT_EQ(a.res, 2);
    });
    each(Pat().atomic().str("ab").close().star().chr('c'), abc, [&](const Attempt& a) { EXPECT_EQ(a.res, 2); });
    // "(a)*" could stop after any pass, but a shorter match than the cut path
    // would have given is not the leftmost-first one.
    const std::string as(kBig, 'a');
    each(Pat().cap().chr('a').close().star(), as, [&](const Attempt& a) { EXPECT_EQ(a.res, 2); });
}

// The stack cost of one nested match step, by painting a thread's stack and
// looking for the lowest byte touched after matches of known depth. With the
// default limit the deepest nesting stays far inside an 8 MiB stack.
TEST(StackCost, NestedStepFitsDefaultBudget) {
    constexpr size_t kStack = 8u << 20;
    std::vector<uint8_t> stack(kStack);
    auto used = [&](int passes) {
        std::memset(stack.data(), 0xA5, kStack);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstack(&attr, stack.data(), kStack);
        pthread_t t;
        static int sPasses;
        sPasses = passes;
        auto body = [](void*) -> void* {
            std::string s = repeat("ab", size_t(2 * sPasses)) + "c";
            Pat p = Pat().group().str("ab").close().star().chr('c');
            BuiltState st(p, 0x7fffffff);
            CaptureRecord out[1];
            const int res = match_at_for_test(st.state(), reinterpret_cast<const uint8_t*>(s.data()),
                                              int32_t(s.size()), 0, out, 1, nullptr);
            EXPECT_EQ(res, 0);
            EXPECT_EQ(out[0].length, int32_t(s.size()));
            return nullptr;
        };
        EXPECT_EQ(pthread_create(&t, &attr, body, nullptr), 0);
        pthread_join(t, nullptr);
        pthread_attr_destroy(&attr);
        size_t i = 0;
        while (i < kStack && stack[i] == 0xA5) ++i;
        return kStack - i;
    };
    const size_t base = used(10);
    const size_t deep = used(2010);
    // Two budget units per pass: the string and the closing node.
    const double perStep = double(deep - base) / (2 * 2000);
    std::printf("stack per nested match step: %.0f bytes\n", perStep);
    RecordProperty("stack_bytes_per_step", int(perStep));
#if defined(__SANITIZE_ADDRESS__)
    // Address-sanitized frames carry red zones; the bound is the shipped
    // build's, and the stack guard keeps this build safe without it.
    GTEST_SKIP() << "frame sizes of a sanitized build";
#endif
    EXPECT_LT(perStep * kDefaultMatchLimit, double(7u << 20));
}

}  // namespace
