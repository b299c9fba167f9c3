// What the tool says about a pattern before the library compiles it: a
// warning for each escape that the library reads as a plain letter (\K, \h,
// \R, \g ...), and a named error for syntax it does not have (named groups,
// recursion, possessive quantifiers) instead of the library's generic
// "unbalanced group" or "bad quantifier".
#ifndef QELCH_APP_PATTERNS_H
#define QELCH_APP_PATTERNS_H

#include <string>
#include <vector>

namespace app {

struct PatternNotes {
    std::vector<char> literal_letters;  // escaped letters read as themselves, each once, in pattern order
    std::string unsupported;            // "named groups are not supported" ..., empty when none
    size_t unsupported_at = 0;          // byte offset of that construct
    bool backreference = false;         // \1 ... \9 or a numbered condition (?(1)
    int captures = 0;                   // capturing groups
};
PatternNotes examine_pattern(const std::string& pattern);

// Prints the warnings once and the named error; false on a named error.
bool check_pattern(const std::string& pattern);
bool has_backreference(const std::string& pattern);

}  // namespace app

#endif
