// Options string, leading-wildcard marker and the structural pre-scan.
//
// The pre-scan runs before any node is written so that balance errors are
// reported first and the capture count is known when the emitting pass reads
// back-references such as "\12". It follows the x option only as far as
// needed to pass over comments, and it never looks past the terminating zero.
#include <cstring>

#include "regex/compile/compiler.h"

namespace qel::re {

bool parse_options(const char* options, uint32_t* bits) {
    uint32_t b = 0;
    if (options) {
        for (const char* p = options; *p; ++p) {
            switch (*p) {
                case 's': b |= RE_OPT_DOTALL; break;
                case 'm': b |= RE_OPT_MULTILINE; break;
                case 'i': b |= RE_OPT_IGNORECASE; break;
                case 'x': b |= RE_OPT_EXTENDED; break;
                case 'g': b |= RE_OPT_GLOBAL; break;
                default: return false;
            }
        }
    }
    *bits = b;
    return true;
}

bool has_leading_wildcard(const char* p, size_t len) {
    if (len >= 2 && p[0] == '.' && (p[1] == '*' || p[1] == '+') && (len == 2 || p[2] != '?')) return true;
    return len >= 6 && (std::memcmp(p, "(?:.*)", 6) == 0 || std::memcmp(p, "(?:.+)", 6) == 0);
}

namespace {

// Largest capture counter the pre-scan accepts (captures + 1).
constexpr int32_t kPrescanCaptureLimit = kMaxCaptureRecords + 1;

struct Scan {
    const char* p;
    const char* end;
    unsigned char at(const char* q) const { return q < end ? static_cast<unsigned char>(*q) : 0; }
    // Position just past the next `a` `b` pair at or after q, or null.
    const char* find_pair(const char* q, char a, char b) const {
        for (; q + 1 < end; ++q)
            if (q[0] == a && q[1] == b) return q + 2;
        return nullptr;
    }
};

// Passes over a bracket class starting at '['; returns the position after
// its ']' (or the end). Only an unterminated "\Q" inside is an error here;
// everything else about the class is the class parser's business.
const char* skip_class(const Scan& s, const char* q, bool* unterminatedQuote) {
    ++q;
    if (s.at(q) == '^') ++q;
    if (s.at(q) == ']') ++q;
    while (q < s.end) {
        unsigned char c = s.at(q);
        if (c == '[' && (s.at(q + 1) == ':' || s.at(q + 1) == '.' || s.at(q + 1) == '=') && s.at(q + 2) != ']') {
            // A POSIX item ends at its delimiter followed by ']'; without
            // one, the '[' is an ordinary member.
            const char* close = s.find_pair(q + 2, static_cast<char>(s.at(q + 1)), ']');
            q = close ? close : q + 1;
        } else if (c == '\\' && s.at(q + 1) == 'Q') {
            const char* e = s.find_pair(q + 2, '\\', 'E');
            if (!e) {
                *unterminatedQuote = true;
                return s.end;
            }
            q = e;
        } else if (c == '\\') {
            q = q + 2 < s.end ? q + 2 : s.end;
        } else if (c == ']') {
            return q + 1;
        } else {
            ++q;
        }
    }
    return s.end;
}

}  // namespace

QelStatus prescan(const char* pattern, size_t len, uint32_t options, int32_t* captureCount, int32_t* errOffset) {
    Scan s{pattern, pattern + len};
    uint32_t saved[kMaxGroups + 1];
    uint32_t opts = options;
    int32_t depth = 0;
    int32_t captures = 1;
    auto fail = [&](const char* where) {
        *errOffset = static_cast<int32_t>(where - pattern);
        return qelErrRegExpGroup;
    };

    const char* q = pattern;
    while (q < s.end) {
        unsigned char c = s.at(q);
        if (c == '(') {
            if (depth >= kMaxGroups) return fail(q);
            saved[depth++] = opts;
            if (s.at(q + 1) != '?') {
                if (++captures > kPrescanCaptureLimit) return fail(q);
                ++q;
                continue;
            }
            unsigned char k = s.at(q + 2);
            if (k == 'i' || k == 's' || k == 'm' || k == 'x' || k == '-') {
                bool clearing = false;
                const char* r = q + 2;
                for (; r < s.end && *r != ')' && *r != ':'; ++r) {
                    if (*r == '-') clearing = true;
                    if (*r == 'x') opts = clearing ? (opts & ~RE_OPT_EXTENDED) : (opts | RE_OPT_EXTENDED);
                }
                if (r == s.end) break;  // still open: reported below
                if (*r == ')') --depth;  // a setting, not a group; its options stay
                q = r + 1;
            } else if (k == '#') {
                const char* r = static_cast<const char*>(std::memchr(q + 3, ')', size_t(s.end - (q + 3))));
                if (!r) return fail(s.end);
                --depth;
                q = r + 1;
            } else if (k == '(') {
                // The condition's own parentheses. The depth limit above keeps
                // this second push inside the stack.
                saved[depth++] = opts;
                q += 3;
            } else {
                q += 2;
            }
        } else if (c == ')') {
            if (depth == 0) return fail(q);
            opts = saved[--depth];
            ++q;
        } else if (c == '#' && (opts & RE_OPT_EXTENDED)) {
            const char* r = static_cast<const char*>(std::memchr(q, '\n', size_t(s.end - q)));
            q = r ? r + 1 : s.end;
        } else if (c == '\\') {
            unsigned char e = s.at(q + 1);
            if (e == 'Q') {
                const char* r = s.find_pair(q + 2, '\\', 'E');
                q = r ? r : s.end;
            } else {
                size_t skip = e == 'c' ? 3 : 2;
                q = size_t(s.end - q) > skip ? q + skip : s.end;
            }
        } else if (c == '[') {
            bool unterminated = false;
            q = skip_class(s, q, &unterminated);
            if (unterminated) {
                *errOffset = static_cast<int32_t>(len);
                return qelErrRegExpCharClass;
            }
        } else {
            ++q;
        }
    }
    if (depth != 0) return fail(s.end);
    *captureCount = captures;
    return qelOk;
}

}  // namespace qel::re
