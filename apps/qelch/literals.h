// What the text of a pattern says about the literals its matches contain,
// so that grep can find candidate lines with substring searches and run the
// matcher only on those lines (or not at all).
#ifndef QELCH_APP_LITERALS_H
#define QELCH_APP_LITERALS_H

#include <string>
#include <vector>

namespace app {

struct LiteralPlan {
    // Every match contains at least one of these (empty: nothing known).
    std::vector<std::string> literals;
    // The pattern is exactly an alternation of these literals: a line that
    // contains one matches, no matcher needed.
    bool exact = false;
    // Literals are lower-case and must be searched in Latin lower-cased text.
    bool folded = false;
    // The pattern is "^" followed by plain text: every literal is that text
    // with a line feed before it, and an occurrence counts at the start of a
    // line (where the line feed is the one before the line, or at the start
    // of the searched text, without it).
    bool line_start = false;
};

// `ignore_case` and `extended` are the pattern options -i and --extended.
LiteralPlan plan_literals(const std::string& pattern, bool ignore_case, bool extended);

}  // namespace app

#endif
