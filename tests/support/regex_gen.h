// Random regular expressions for differential tests. Two grammars:
// - common(): constructs whose meaning this library shares with other
//   backtracking engines on ASCII subjects (used against an outside oracle);
// - broad(): everything the compiler accepts that a start filter has to be
//   careful about (classes, case folding, look-around, back-references,
//   anchors, inline options, non-ASCII), used to compare the library with
//   itself.
#ifndef QELCH_TEST_REGEX_GEN_H
#define QELCH_TEST_REGEX_GEN_H

#include <cstdint>
#include <random>
#include <string>

namespace qeltest {

class RegexGen {
public:
    explicit RegexGen(uint32_t seed) : rng_(seed) {}

    std::string common() {
        groups_ = 0;
        broad_ = false;
        return alternation(0);
    }
    std::string broad() {
        groups_ = 0;
        broad_ = true;
        return alternation(0);
    }

    // Subject over a small alphabet so that partial matches are frequent.
    std::string subject(size_t len, bool wide) {
        static const char kAscii[] = "aabbccxyz AB_1\n.-";
        static const char* const kWide[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xC3", "\x80", "\xF0\x9F\x98\x80", "\xC0\xAF"};
        std::string s;
        while (s.size() < len) {
            if (wide && pick(8) == 0)
                s += kWide[pick(6)];
            else
                s += kAscii[pick(sizeof(kAscii) - 1)];
        }
        return s;
    }

    uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

private:
    std::string alternation(int depth) {
        std::string s = sequence(depth);
        while (depth < 3 && pick(4) == 0) s.append("|").append(sequence(depth));
        return s;
    }

    std::string sequence(int depth) {
        std::string s;
        int n = 1 + static_cast<int>(pick(4));
        for (int i = 0; i < n; ++i) s += item(depth);
        return s;
    }

    std::string quantifier(bool allowNullableBody) {
        static const char* const kQ[] = {"*", "+", "?", "{2}", "{1,3}", "{0,2}", "{2,}"};
        uint32_t k = pick(7);
        if (!allowNullableBody) k = pick(2) ? 1 : 3;  // "+" or "{2}"
        std::string q = kQ[k];
        if (pick(4) == 0) q += "?";
        return q;
    }

    std::string atom() {
        static const char* const kCommon[] = {"a", "b", "c", "ab", "bc", ".", "\\d", "\\w", "\\W", "[abc]", "[^ab]",
                                              "[a-c]", "[\\d_]", "x", " ", "\\.", "[^\\n]"};
        static const char* const kBroad[] = {"\\s", "\\S", "\\D", "[^\\w]", "\\C", "\\x{e9}", "[\\x{e9}-\\x{20ac}]",
                                             "A", "B", "[^a-z]", "\\xe9", "\\xc3", "[\\xc3]", "\\n", "\\X"};
        if (broad_ && pick(3) == 0) return kBroad[pick(sizeof(kBroad) / sizeof(kBroad[0]))];
        return kCommon[pick(sizeof(kCommon) / sizeof(kCommon[0]))];
    }

    std::string item(int depth) {
        uint32_t r = pick(broad_ ? 14 : 10);
        if (depth >= 3 && r >= 6) r = 0;
        switch (r) {
            case 0: case 1: case 2: return atom();
            case 3: case 4: return atom().append(quantifier(true));
            case 5: {
                static const char* const kAnchors[] = {"^", "$", "\\b", "\\B", "\\A", "\\z", "\\Z"};
                return kAnchors[pick(7)];
            }
            case 6: {
                if (flat_) return atom();
                ++groups_;
                if (pick(2)) return std::string("(").append(alternation(depth + 1)).append(")");
                // A repeated group gets a body that cannot match empty: how
                // empty passes end differs between engines.
                std::string body = atom();
                if (pick(2)) body.append(atom());
                if (pick(3) == 0) body.append("|").append(atom());
                return std::string("(").append(body).append(")").append(quantifier(false));
            }
            case 7: {
                if (flat_) return atom();
                std::string body = alternation(depth + 1);
                return std::string("(?:").append(body).append(")");
            }
            case 8: {
                static const char* const kLook[] = {"(?=", "(?!"};
                // No groups inside: what captures a look-ahead keeps is not
                // common ground.
                bool was = flat_;
                flat_ = !broad_;
                std::string body = sequence(depth + 1);
                flat_ = was;
                return std::string(kLook[pick(2)]).append(body).append(")");
            }
            case 9: {
                static const char* const kBehind[] = {"(?<=a)", "(?<!b)", "(?<=[ab]c)", "(?<!\\d)"};
                return kBehind[pick(4)];
            }
            case 10:
                return groups_ > 0 ? std::string("\\").append(std::to_string(1 + pick(groups_ < 9 ? groups_ : 9))) : atom();
            case 11: {
                static const char* const kOpts[] = {"(?i)", "(?s)", "(?m)", "(?-i)", "(?i:ab)", "(?s:.)"};
                return kOpts[pick(6)];
            }
            case 12: {
                std::string body = sequence(depth + 1);
                return std::string("(?>").append(body).append(")");
            }
            default: {
                ++groups_;
                return std::string("(a)?(?(").append(std::to_string(groups_)).append(")b|c)");
            }
        }
    }

    std::mt19937 rng_;
    int groups_ = 0;
    bool broad_ = false;
    bool flat_ = false;
};

}  // namespace qeltest

#endif
