// Recognises three shapes (see line_shape.h):
//  - a sequence of items each quantified with a minimum of 0 ("x*", "a?",
//    "(?:ab)*", "" too): the empty string matches at the start of any line;
//  - one single-byte item, optionally with "+" ("[0-9]+", ".", "\S"): a line
//    matches when one of its bytes is in the item's set;
//  - "^" item "*" "$" ("^\s*$"): a line matches when all its bytes are in it.
// A line never holds its line feed, so "." and the "s" and "m" options need
// no case of their own. Items are read conservatively: escapes other than
// the predefined sets and escaped punctuation, classes with nested brackets,
// inline options and the like make the pattern go to the matcher.
#include "line_shape.h"

#include <cctype>
#include <cstddef>
#include <cstring>

namespace app {
namespace {

using Set = std::array<bool, 256>;

void add_predef(Set& s, char letter) {
    Set p{};
    const char lower = char(std::tolower(static_cast<unsigned char>(letter)));
    for (int b = 0; b < 256; ++b) {
        bool in = false;
        if (lower == 'd') in = b >= '0' && b <= '9';
        else if (lower == 's') in = b == 9 || b == 10 || b == 12 || b == 13 || b == 32;  // not 11
        else in = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_';
        p[size_t(b)] = letter == lower ? in : !in;
    }
    for (size_t b = 0; b < 256; ++b) s[b] = s[b] || p[b];
}

bool is_predef(char c) { return c && std::strchr("dDsSwW", c); }

// Punctuation that a backslash makes literal (letters and digits escaped
// mean other things).
bool escapable(unsigned char c) { return c < 0x80 && std::ispunct(c); }

// A bracket class at p[i] == '['; on success i is past its ']'.
bool parse_class(const std::string& p, size_t& i, bool ignore_case, Set& out) {
    size_t k = i + 1;
    bool negated = false;
    if (k < p.size() && p[k] == '^') negated = true, ++k;
    Set s{};
    bool first = true;
    for (;;) {
        if (k >= p.size()) return false;
        unsigned char c = static_cast<unsigned char>(p[k]);
        if (c == ']' && !first) break;
        if (c == ']' || c == '[') return false;  // "[]...]" and nested brackets: not read here
        first = false;
        int lo = -1;
        if (c == '\\') {
            if (k + 1 >= p.size()) return false;
            const char e = p[k + 1];
            if (is_predef(e)) {
                add_predef(s, e);
                k += 2;
                continue;
            }
            if (!escapable(static_cast<unsigned char>(e))) return false;
            lo = static_cast<unsigned char>(e);
            k += 2;
        } else {
            lo = c;
            ++k;
        }
        // A range "a-z" of plain bytes; "-" before "]" is a member.
        if (k + 1 < p.size() && p[k] == '-' && p[k + 1] != ']') {
            const unsigned char hi = static_cast<unsigned char>(p[k + 1]);
            if (hi == '\\' || hi == '[' || hi < unsigned(lo)) return false;
            for (int b = lo; b <= hi; ++b) s[size_t(b)] = true;
            k += 2;
        } else {
            s[size_t(lo)] = true;
        }
    }
    if (ignore_case)  // an ASCII letter also matches in its other case
        for (int b = 'a'; b <= 'z'; ++b) s[size_t(b)] = s[size_t(b - 32)] = s[size_t(b)] || s[size_t(b - 32)];
    if (negated)
        for (auto& b : s) b = !b;
    out = s;
    i = k + 1;
    return true;
}

// One single-byte item at p[i]; on success i is past it.
bool parse_item(const std::string& p, size_t& i, bool ignore_case, Set& out) {
    if (i >= p.size()) return false;
    const unsigned char c = static_cast<unsigned char>(p[i]);
    Set s{};
    if (c == '[') {
        if (!parse_class(p, i, ignore_case, s)) return false;
    } else if (c == '.') {
        s.fill(true);
        ++i;
    } else if (c == '\\') {
        if (i + 1 >= p.size()) return false;
        const char e = p[i + 1];
        if (is_predef(e)) add_predef(s, e);
        else if (escapable(static_cast<unsigned char>(e))) s[static_cast<unsigned char>(e)] = true;
        else return false;
        i += 2;
    } else if (std::strchr("^$|?*+(){}#", c) || c == ']' || c == 0) {
        return false;
    } else {
        s[c] = true;
        ++i;
    }
    if (ignore_case)
        for (int b = 'a'; b <= 'z'; ++b) s[size_t(b)] = s[size_t(b - 32)] = s[size_t(b)] || s[size_t(b - 32)];
    s['\n'] = false;
    out = s;
    return true;
}

// A quantifier with minimum 0 at p[i] ("*", "?", "{0}", "{0,}", "{0,N}"),
// optionally lazy; on success i is past it.
bool parse_optional(const std::string& p, size_t& i) {
    if (i >= p.size()) return false;
    size_t k = i;
    if (p[k] == '*' || p[k] == '?') {
        ++k;
    } else if (p.compare(k, 2, "{0") == 0) {
        k += 2;
        if (k < p.size() && p[k] == ',') {
            ++k;
            while (k < p.size() && std::isdigit(static_cast<unsigned char>(p[k]))) ++k;
        }
        if (k >= p.size() || p[k] != '}') return false;
        ++k;
    } else {
        return false;
    }
    if (k < p.size() && p[k] == '?') ++k;
    i = k;
    return true;
}

bool every_line(const std::string& p) {
    Set unused{};
    size_t i = 0;
    while (i < p.size()) {
        if (p.compare(i, 3, "(?:") == 0) {
            // A group of single items only: nothing in it can fail the search.
            i += 3;
            while (i < p.size() && p[i] != ')')
                if (!parse_item(p, i, false, unused)) return false;
            if (i >= p.size()) return false;
            ++i;
        } else if (!parse_item(p, i, false, unused)) {
            return false;
        }
        if (!parse_optional(p, i)) return false;
    }
    return true;
}

}  // namespace

LineShape line_shape(const std::string& p, bool bytes, bool ignore_case, bool extended) {
    LineShape shape;
    if (extended) return shape;  // spaces and comments would need reading
    if (every_line(p)) {
        shape.kind = LineShape::kEveryLine;
        return shape;
    }
    if (!bytes) return shape;
    size_t i = 0;
    Set s{};
    if (parse_item(p, i, ignore_case, s)) {
        if (i < p.size() && p[i] == '+') {
            ++i;
            if (i < p.size() && p[i] == '?') ++i;
        }
        if (i == p.size()) shape.kind = LineShape::kAnyOf;
    } else if (p.size() > 2 && p.front() == '^' && p.back() == '$') {
        i = 1;
        if (parse_item(p, i, ignore_case, s) && i < p.size() && p[i] == '*') {
            ++i;
            if (p[i] == '?') ++i;
            if (i == p.size() - 1) shape.kind = LineShape::kOnlyOf;
        }
    }
    if (shape.kind != LineShape::kNone) shape.set = s;
    return shape;
}

}  // namespace app
