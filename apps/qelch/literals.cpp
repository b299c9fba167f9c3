// The analysis reads the pattern text itself and is deliberately narrow:
// whatever it does not fully understand (inline options, \Q,
// the extended syntax, top-level alternation of anything but plain text)
// yields an empty plan, which only costs speed.
//
// Exact plans: an alternation of printable ASCII text. ASCII bytes never lie
// inside a multi-byte character, so the UTF-8 scan would start at each
// occurrence too; under -i the matcher folds A-Z onto a-z only, which Latin
// lower-casing of both sides reproduces.
//
// Line-start plans: "^" and printable ASCII text, found as the text after a
// line feed instead of by the matcher at every line. A '}' there is plain, as
// no '{' or escape may open a count it could close.
//
// Required literals: the longest run of plain text at the top level of the
// pattern, or a top-level group whose branches are all plain text, whichever
// has the longer shortest member. A character followed by a quantifier is
// not part of the run, and a quantified group does not count. Under -i they
// are searched folded like exact plans, and only when they are printable
// ASCII: a plain character of the pattern then folds A-Z onto a-z only.
#include "literals.h"

#include "common.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace app {
namespace {

constexpr size_t kMaxLiterals = 16;     // more make the candidate search slower than the matcher
constexpr size_t kMinRequired = 2;      // shorter literals hit too often to pay for themselves

bool is_meta(unsigned char b) { return b == 0 || std::strchr("\\^$.|?*+()[]{}", b) != nullptr; }
bool is_quantifier(char c) { return c == '?' || c == '*' || c == '+' || c == '{'; }

// Splits `text` at '|'; false when a branch is empty or holds anything but
// plain text (printable ASCII only when `ascii`).
bool plain_branches(const std::string& text, bool ascii, std::vector<std::string>& out) {
    out.clear();
    std::string cur;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '|') {
            if (cur.empty()) return false;
            out.push_back(cur);
            cur.clear();
            continue;
        }
        unsigned char b = static_cast<unsigned char>(text[i]);
        if (is_meta(b) || (ascii && (b < 0x20 || b > 0x7E)) || b == '\n') return false;
        cur += char(b);
    }
    return out.size() <= kMaxLiterals;
}

// Drops the last whole UTF-8 character of `run` (the one a quantifier binds).
void drop_last_char(std::string& run) {
    while (!run.empty() && (static_cast<unsigned char>(run.back()) & 0xC0) == 0x80) run.pop_back();
    if (!run.empty()) run.pop_back();
}

std::vector<std::string> required(const std::string& p) {
    std::vector<std::string> best;
    size_t best_score = 0;
    auto offer = [&](const std::vector<std::string>& set) {
        size_t score = SIZE_MAX;
        for (const auto& s : set) score = std::min(score, s.size());
        if (!set.empty() && score >= kMinRequired && score > best_score) {
            best = set;
            best_score = score;
        }
    };
    std::string run;
    bool last_plain = false;  // the previous item was a plain character of `run`
    for (size_t i = 0; i < p.size();) {
        const char c = p[i];
        if (is_quantifier(c)) {
            if (last_plain) drop_last_char(run);
            offer({run});
            run.clear();
            last_plain = false;
            if (c == '{') {
                size_t end = p.find('}', i);
                if (end == std::string::npos) return {};
                i = end + 1;
            } else {
                ++i;
            }
            continue;
        }
        if (!is_meta(static_cast<unsigned char>(c))) {
            run += c;
            last_plain = true;
            ++i;
            continue;
        }
        // Anything else ends the run; it may still gain a quantifier, which
        // then binds to that item, not to the run.
        offer({run});
        run.clear();
        last_plain = false;
        if (c == '\\') {
            if (i + 1 < p.size() && (p[i + 1] == 'Q' || p[i + 1] == 'E')) return {};
            const char e = i + 1 < p.size() ? p[i + 1] : '\0';
            i += 2;
            if (i < p.size() && p[i] == '{') {  // \p{..}, \x{..}
                size_t end = p.find('}', i);
                if (end == std::string::npos) return {};
                i = end + 1;
            } else if (e == 'x') {  // up to two hex digits belong to the escape, not the run after it
                for (int k = 0; k < 2 && i < p.size() && std::isxdigit(static_cast<unsigned char>(p[i])); ++k) ++i;
            } else if (e >= '0' && e <= '9') {  // octal digits or a group number
                while (i < p.size() && p[i] >= '0' && p[i] <= '9') ++i;
            } else if (e == 'c' || e == 'p' || e == 'P') {  // \cX, \pL: one more byte
                ++i;
            } else if (std::isalnum(static_cast<unsigned char>(e)) && !std::strchr("dDsSwWbBAzZGtnrfeavhHR", e)) {
                return {};  // an escape whose extent is not read here
            }
        } else if (c == '[') {
            i = skip_class(p, i);
            if (i == std::string::npos) return {};
        } else if (c == '(') {
            size_t body = i + 1;
            const bool look = lookaround_at(p, i);
            if (p.compare(i, 3, "(?:") == 0) body = i + 3;
            else if (!look && p.compare(i, 2, "(?") == 0) return {};  // options, names: not understood
            if (look) {
                // Zero-width: it adds no literal and leaves those around it
                // required, but it ends the run ("ab(?=c)d" holds no "abd").
                size_t end = group_end(p, i);
                if (end == std::string::npos || p.substr(i + 1, end - i - 1).find("(?") != std::string::npos) return {};
                i = end + 1;
                continue;
            }
            size_t end = group_end(p, i);
            if (end == std::string::npos) return {};
            std::vector<std::string> branches;
            const bool quantified = end + 1 < p.size() && is_quantifier(p[end + 1]);
            if (!quantified && plain_branches(p.substr(body, end - body), false, branches)) offer(branches);
            // A group holding "(?" anywhere may switch options for what follows.
            if (p.substr(i + 1, end - i - 1).find("(?") != std::string::npos) return {};
            i = end + 1;
        } else if (c == '|' || c == ')') {
            return {};
        } else {
            ++i;  // ^ $ . and stray '}' or ']'
        }
    }
    offer({run});
    return best;
}

}  // namespace

LiteralPlan plan_literals(const std::string& pattern, bool ignore_case, bool extended) {
    LiteralPlan plan;
    if (pattern.empty() || extended) return plan;
    // A leading "(?i)" holds for the whole pattern, as -i does ("-w (?i)error":
    // whole-word search wraps the pattern in a group, which the library's own
    // literal search does not see through).
    if (pattern.compare(0, 4, "(?i)") == 0 && pattern.find("(?", 4) == std::string::npos)
        return plan_literals(pattern.substr(4), true, extended);
    if (plain_branches(pattern, true, plan.literals)) {
        plan.exact = true;
        if (ignore_case) {
            plan.folded = true;
            for (auto& lit : plan.literals)
                for (char& ch : lit) ch = (ch >= 'A' && ch <= 'Z') ? char(ch + 32) : ch;
        }
        return plan;
    }
    if (pattern[0] == '^' && pattern.size() > 1) {
        std::string text = pattern.substr(1);
        bool plain = true;
        for (unsigned char b : text) plain = plain && b >= 0x20 && b <= 0x7E && (b == '}' || !is_meta(b));
        if (plain) {
            if (ignore_case)
                for (char& ch : text) ch = (ch >= 'A' && ch <= 'Z') ? char(ch + 32) : ch;
            plan.literals = {"\n" + text};
            plan.exact = plan.line_start = true;
            plan.folded = ignore_case;
            return plan;
        }
    }
    plan.literals = required(pattern);
    if (ignore_case) {
        for (auto& lit : plan.literals)
            for (char& ch : lit) {
                if (ch < 0x20 || ch > 0x7E) return LiteralPlan{};
                ch = (ch >= 'A' && ch <= 'Z') ? char(ch + 32) : ch;
            }
        plan.folded = !plan.literals.empty();
    }
    return plan;
}

}  // namespace app
