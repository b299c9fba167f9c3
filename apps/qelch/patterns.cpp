#include "patterns.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "common.h"

namespace app {
namespace {

// Letters with a meaning after a backslash, outside and inside classes;
// every other letter stands for itself.
constexpr const char* kKnownOutside = "aefnrtvcxdDsSwWABGZbzCXpPQE";
constexpr const char* kKnownInClass = "abefnrtvcxdDsSwWpPQE";

bool is_quantifier_start(const std::string& p, size_t i, size_t& end) {
    if (i >= p.size()) return false;
    char c = p[i];
    if (c == '*' || c == '+' || c == '?') {
        end = i + 1;
        return true;
    }
    if (c != '{') return false;
    size_t j = i + 1;
    while (j < p.size() && std::isdigit(static_cast<unsigned char>(p[j]))) ++j;
    if (j < p.size() && p[j] == ',') {
        ++j;
        while (j < p.size() && std::isdigit(static_cast<unsigned char>(p[j]))) ++j;
    }
    if (j < p.size() && p[j] == '}') {
        end = j + 1;
        return true;
    }
    return false;
}

void note_letter(PatternNotes& n, char c, const char* known) {
    if (!std::isalpha(static_cast<unsigned char>(c)) || std::strchr(known, c)) return;
    if (std::find(n.literal_letters.begin(), n.literal_letters.end(), c) == n.literal_letters.end())
        n.literal_letters.push_back(c);
}

void unsupported(PatternNotes& n, const char* what, size_t at) {
    if (n.unsupported.empty()) {
        n.unsupported = what;
        n.unsupported_at = at;
    }
}

// Index past an escape that starts at i ('\'), noting what it says.
size_t escape(const std::string& p, size_t i, bool in_class, PatternNotes& n) {
    if (i + 1 >= p.size()) return p.size();
    char c = p[i + 1];
    if (c == 'Q') {
        size_t e = p.find("\\E", i + 2);
        return e == std::string::npos ? p.size() : e + 2;
    }
    if ((c == 'x' || c == 'p' || c == 'P') && i + 2 < p.size() && p[i + 2] == '{') {
        size_t e = p.find('}', i + 3);
        return e == std::string::npos ? p.size() : e + 1;
    }
    if (c == 'c') return std::min(p.size(), i + 3);
    if (!in_class && c >= '1' && c <= '9') n.backreference = true;
    note_letter(n, c, in_class ? kKnownInClass : kKnownOutside);
    return i + 2;
}

}  // namespace

PatternNotes examine_pattern(const std::string& p) {
    PatternNotes n;
    size_t i = 0;
    while (i < p.size()) {
        char c = p[i];
        if (c == '\\') {
            i = escape(p, i, false, n);
            continue;
        }
        if (c == '[') {
            size_t j = i + 1;
            if (j < p.size() && p[j] == '^') ++j;
            if (j < p.size() && p[j] == ']') ++j;
            while (j < p.size() && p[j] != ']') {
                if (p[j] == '\\') {
                    j = escape(p, j, true, n);
                } else if (p[j] == '[' && j + 1 < p.size() && (p[j + 1] == ':' || p[j + 1] == '.' || p[j + 1] == '=')) {
                    size_t e = p.find(std::string(1, p[j + 1]) + "]", j + 2);
                    j = e == std::string::npos ? j + 1 : e + 2;
                } else {
                    ++j;
                }
            }
            i = j + 1;
            continue;
        }
        if (c == '(' && (i + 1 >= p.size() || p[i + 1] != '?')) ++n.captures;
        if (c == '(' && i + 1 < p.size() && p[i + 1] == '?') {
            char d = i + 2 < p.size() ? p[i + 2] : '\0';
            char e = i + 3 < p.size() ? p[i + 3] : '\0';
            if ((d == '<' && e != '=' && e != '!') || d == 'P' || d == '\'')
                unsupported(n, d == 'P' && (e == '=' || e == '>') ? "named references are not supported"
                                                                    : "named groups are not supported", i);
            else if (d == 'R' || d == '&' || std::isdigit(static_cast<unsigned char>(d)) ||
                     ((d == '+' || d == '-') && std::isdigit(static_cast<unsigned char>(e))))
                unsupported(n, "recursion and subroutine calls are not supported", i);
            else if (d == '|')
                unsupported(n, "branch-reset groups are not supported", i);
            else if (d == '(' && std::isdigit(static_cast<unsigned char>(e)))
                n.backreference = true;
            else if (d == '(' && (e == '<' || e == '\'' || e == 'R'))
                unsupported(n, "named or recursion conditions are not supported", i);
        }
        if (c == '(' && i + 1 < p.size() && p[i + 1] == '*')
            unsupported(n, "backtracking control verbs (*...) are not supported", i);
        size_t end = 0;
        if (is_quantifier_start(p, i, end)) {
            if (end < p.size() && p[end] == '?') ++end;  // lazy
            else if (end < p.size() && p[end] == '+') unsupported(n, "possessive quantifiers are not supported", end);
            i = end;
            continue;
        }
        ++i;
    }
    return n;
}

bool check_pattern(const std::string& pattern) {
    PatternNotes n = examine_pattern(pattern);
    for (char c : n.literal_letters)
        std::fprintf(stderr, "qelch: warning: \\%c is not supported here; read as the letter %c\n", c, c);
    if (!n.unsupported.empty()) {
        std::fprintf(stderr, "qelch: bad pattern: %s at offset %zu\n%s\n%*s^\n", n.unsupported.c_str(),
                     n.unsupported_at, pattern.c_str(), int(n.unsupported_at), "");
        return false;
    }
    return true;
}

bool has_backreference(const std::string& pattern) { return examine_pattern(pattern).backreference; }

}  // namespace app
