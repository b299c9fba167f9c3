// Character tests of the single items: predefined sets, code-point items,
// extended characters and bracket classes; and the stack guard.
#include <pthread.h>

#include "regex/compile/unicode_data.h"
#include "regex/match/match_internal.h"

namespace qel::re {

bool predef_test(int32_t letter, uint8_t b, uint32_t options) {
    switch (letter) {
        case 'd':
            return uint8_t(b - '0') < 10;
        case 'D':
            return uint8_t(b - '0') >= 10;
        case 's':
            return b == 9 || b == 10 || b == 12 || b == 13 || b == 32;
        case 'S':
            return !(b == 9 || b == 10 || b == 12 || b == 13 || b == 32);
        case 'w':
            return is_word_byte(b);
        case 'W':
            return !is_word_byte(b);
        case '.':
            return b != '\n' || (options & RE_OPT_DOTALL);
        default:
            return false;
    }
}

bool codepoint_item_test(const RegExpNode& n, const Utf8Char& ch, uint32_t options) {
    switch (n.w0) {
        case RE_UCHAR: {
            if (!ch.valid) return false;
            if (options & RE_OPT_IGNORECASE) return fold_code_point(ch.value) == fold_code_point(uint32_t(n.w1));
            return ch.value == uint32_t(n.w1);
        }
        case RE_UPROP:
            return uprop_test(ch.value, n.w1, n.w2);
        case RE_URANGE:
            return urange_test(ch.value, n.w1, n.w2, n.w3);
        case RE_URANGES: {
            const auto* pairs = static_cast<const int32_t*>(node_pointer(n));
            return uranges_test(ch.value, pairs, pairs != nullptr && n.w3 > 0 ? n.w3 : 0, n.w2);
        }
        default:
            return false;
    }
}

namespace {

// A combining mark: a character with a record whose major class is "M".
// Bulk-range characters have no record, so they are never marks; nor is any
// ASCII character (all have records outside "M"; a test checks the table).
bool is_mark(uint32_t c) {
    if (c < 0x80 || bulk_range_index(c) >= 0) return false;
    const CodePointRecord* rec = find_code_point_record(c);
    return rec != nullptr && (rec->category & kMajorMask) == kCategoryMarkMajor;
}

bool is_cluster_base(uint32_t c) {
    if (bulk_range_index(c) >= 0) return true;
    const CodePointRecord* rec = find_code_point_record(c);
    return rec != nullptr && (rec->category & kMajorMask) != kCategoryMarkMajor;
}

}  // namespace

int32_t grapheme_length(const uint8_t* p, int32_t remaining) {
    // ASCII followed by ASCII (or the end): a cluster of one byte.
    if (p[0] < 0x80 && (remaining == 1 || p[1] < 0x80)) return 1;
    const Utf8Char first = read_utf8(p, remaining);
    if (!first.valid || !is_cluster_base(first.value)) return 0;
    int32_t len = first.length;
    while (len < remaining) {
        const Utf8Char ch = read_utf8(p + len, remaining - len);
        if (!ch.valid || !is_mark(ch.value)) break;
        len += ch.length;
    }
    return len;
}

// Inside a run of clusters every character is valid and each cluster is one
// base followed by marks, so the last cluster starts at the last non-mark.
int32_t prev_grapheme_length(const uint8_t* origin, const uint8_t* end) {
    const uint8_t* e = end;
    while (e > origin) {
        const int32_t l = prev_char_length(origin, e);
        e -= l;
        if (!is_mark(read_utf8(e, l).value)) break;
    }
    return int32_t(end - e);
}

bool class_has_grapheme_member(const RegExpNode* nodes, int32_t cls) {
    for (int32_t i = 1; i <= nodes[cls].w2; ++i)
        if (nodes[cls + i].w0 == RE_GRAPHEME) return true;
    return false;
}

namespace {

bool range_member(const RegExpNode& m, const uint8_t* p, const Utf8Char& ch, uint32_t options) {
    const bool fold = options & RE_OPT_IGNORECASE;
    if (m.w1 < 256 && m.w2 < 256 && ch.length == 1) {
        const int32_t b = p[0];
        if (m.w1 <= b && b <= m.w2) return true;
        if (fold && is_ascii_letter(uint8_t(b))) {
            const int32_t other = b ^ 0x20;
            return m.w1 <= other && other <= m.w2;
        }
        return false;
    }
    const uint32_t c = ch.value, lo = uint32_t(m.w1), hi = uint32_t(m.w2);
    if (lo <= c && c <= hi) return true;
    // Under ignore-case the character passes when one of its case forms
    // lies in the range.
    return fold && case_form_in_range(c, lo, hi);
}

// The gaps of a negated POSIX item, members first..last: under ignore-case
// a character belongs to them when every case form of it lies in one of
// them (U+212A KELVIN SIGN lies in a gap of "[:^alpha:]", but its form "k"
// does not); otherwise they are plain ranges.
bool gap_run_member(const RegExpNode* first, const RegExpNode* last, const uint8_t* p, const Utf8Char& ch,
                    uint32_t options) {
    auto in_gaps = [&](uint32_t c) {
        for (const RegExpNode* g = first; g <= last; ++g)
            if (uint32_t(g->w1) <= c && c <= uint32_t(g->w2)) return true;
        return false;
    };
    if (!(options & RE_OPT_IGNORECASE)) return in_gaps(ch.value);
    if (ch.length == 1 && p[0] < 0x80) {
        // An ASCII letter's forms beyond ASCII always lie in the last gap,
        // which holds everything past the item's ranges.
        const uint8_t b = p[0];
        return in_gaps(b) && (!is_ascii_letter(b) || in_gaps(b ^ 0x20u));
    }
    uint32_t forms[kMaxCaseForms];
    const int n = case_forms(ch.value, forms);
    for (int i = 0; i < n; ++i)
        if (!in_gaps(forms[i])) return false;
    return true;
}

}  // namespace

int32_t class_unit_length(const RegExpNode* nodes, int32_t cls, const uint8_t* p, int32_t remaining,
                          uint32_t options) {
    const RegExpNode& head = nodes[cls];
    const Utf8Char ch = read_utf8(p, remaining);
    int32_t len = ch.length;
    bool accepted = false;
    for (int32_t i = 1; i <= head.w2 && !accepted; ++i) {
        const RegExpNode& m = nodes[cls + i];
        bool ok;
        switch (m.w0) {
            case RE_CHAR:
                ok = m.w1 >= 0 && m.w1 < 256 && char_equal(p[0], uint8_t(m.w1), options);
                // A member from U+0080 to U+00FF (an "é" written in a UTF-8
                // pattern) also matches that character encoded in the subject;
                // comparing only the first byte would never find it there.
                if (!ok && m.w1 >= 0x80 && m.w1 < 0x100 && ch.valid && ch.length > 1)
                    ok = (options & RE_OPT_IGNORECASE) ? fold_code_point(ch.value) == fold_code_point(uint32_t(m.w1))
                                                       : ch.value == uint32_t(m.w1);
                break;
            case RE_PREDEF:
                ok = predef_test(m.w1, p[0], options);
                break;
            case RE_RANGE:
                if (m.w3 == RE_RANGE_GAP) {
                    // The item's gaps are tested together and passed over
                    // together.
                    int32_t last = i;
                    while (last < head.w2 && nodes[cls + last].w2 != RE_GAP_END) ++last;
                    ok = gap_run_member(&m, &nodes[cls + last], p, ch, options);
                    i = last;
                    break;
                }
                ok = range_member(m, p, ch, options);
                break;
            case RE_UCHAR:
                ok = codepoint_item_test(m, ch, options);
                break;
            case RE_UPROP:
            case RE_URANGE:
            case RE_URANGES:
                accepted = codepoint_item_test(m, ch, options);
                continue;
            case RE_GRAPHEME: {
                const int32_t g = grapheme_length(p, remaining);
                ok = g > 0;
                if (ok && m.w3 != -1) len = g;
                break;
            }
            default:
                ok = false;
                break;
        }
        accepted = (m.w3 == -1) ? !ok : ok;
    }
    if (head.w1 == -1) accepted = !accepted;
    return accepted ? len : 0;
}

// ---- Stack guard. ----
namespace {

// How deep a search may go below the driver's frame before the thread's real
// stack bounds are read (reading them costs a system query, so only deep
// searches pay for it).
constexpr uintptr_t kUnmeasuredWindow = 16 * 1024;
// Kept free at the bottom of the stack: the deepest chain of frames between
// two guard checks (measured at well under 4 KiB, more with sanitizers) plus
// room for signal handlers and the sanitizers' own reports.
constexpr uintptr_t kStackReserve = 96 * 1024;
// Assumed usable depth below the first measurement point when the bounds
// cannot be read.
constexpr uintptr_t kFallbackDepth = 256 * 1024;

uintptr_t current_frame() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

}  // namespace

void init_match_stack_guard(RegExpMatchState& ms) {
    const uintptr_t here = current_frame();
    ms.stackGuardLine = here > kUnmeasuredWindow ? here - kUnmeasuredWindow : 1;
    ms.stackMeasured = 0;
}

bool stack_exhausted_slow(RegExpMatchState& ms) {
    const uintptr_t here = current_frame();
    if (ms.stackGuardLine == 0) {
        init_match_stack_guard(ms);
        return false;
    }
    if (!ms.stackMeasured) {
        ms.stackMeasured = 1;
        uintptr_t line = here > kFallbackDepth ? here - kFallbackDepth : here;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr)
                line = reinterpret_cast<uintptr_t>(addr) + kStackReserve;
            pthread_attr_destroy(&attr);
        }
        ms.stackGuardLine = line;
    }
    return here < ms.stackGuardLine;
}

}  // namespace qel::re
