// qelch.hpp — a thin, header-only C++17 layer over the qelch C API.
//
//   qel::regex re(R"((\w+)@(\w+)\.org)", "i");
//   if (!re) return re.error();  // "unbalanced group at offset 3", ...
//   std::string out;
//   for (const qel::match& m : re.matches(text))
//       out += std::string(m[1]) + " at " + std::to_string(m.position()) + "\n";
//   return out + re.replace_all(text, "<$1>").value;
//
// No exceptions: fallible calls return a result<T> carrying the status (and,
// for compilation, the error offset); status_message() gives the words for a
// status. A qel::regex owns its compiled states (allocated by the library,
// released by the destructor); it is movable, never copied. It may be
// searched from several threads at once: see the class comment.
#ifndef QELCH_HPP
#define QELCH_HPP

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qelch.h"

namespace qel {

template <class T>
struct result {
    QelStatus status = qelOk;
    T value{};
    bool ok() const { return status >= 0; }
    explicit operator bool() const { return ok(); }
};

// The words for a status, as the qelch tool prints them ("unbalanced group",
// "match limit exceeded", ...).
inline const char* status_message(QelStatus st) {
    switch (st) {
        case qelOk: return "ok";
        case qelWrnTruncated: return "a piece was cut to its slot";
        case qelWrnSplitIncomplete: return "more pieces than slots";
        case qelWrnFindIncomplete: return "more records than room for them";
        case qelErrNotFound: return "no pattern with that identifier";
        case qelErrBadArg: return "bad argument";
        case qelErrSize: return "bad size";
        case qelErrRange: return "unsupported format";
        case qelErrNullPtr: return "null pointer";
        case qelErrNoSlot: return "pattern set full";
        case qelErrLength: return "bad length";
        case qelErrRegExpEscape: return "bad escape";
        case qelErrRegExpCharClass: return "bad character class";
        case qelErrRegExpReference: return "reference to a missing group";
        case qelErrRegExpGroup: return "unbalanced group";
        case qelErrRegExpQuantifier: return "bad quantifier";
        case qelErrMatchLimit: return "match limit exceeded";
        case qelErrBadState: return "not a compiled pattern";
        case qelErrRegExpOption: return "bad option";
        default: return st > 0 ? "warning" : "error";
    }
}

// ---- String primitives over string views. ----
inline std::string_view::size_type npos_if(int32_t index) {
    return index < 0 ? std::string_view::npos : static_cast<std::string_view::size_type>(index);
}
inline const Qel8u* bytes(std::string_view s) { return reinterpret_cast<const Qel8u*>(s.data()); }
inline const Qel16u* units(std::u16string_view s) { return reinterpret_cast<const Qel16u*>(s.data()); }
// Views longer than the library's 32-bit lengths are refused, never cut.
inline bool fits(std::size_t n) { return n <= 0x7FFFFFFF; }

// One match reports at most this many records (whole match + 999 groups).
constexpr std::size_t kMaxRecordsPerMatch = 1000;

// Whether a global replacement that reported `count` records may have run
// out of room for them: then it is run again with a larger array.
inline bool records_full(QelStatus st, int32_t count, const std::vector<QelRegExpFind>& records) {
    return st == qelWrnFindIncomplete || std::size_t(count) + kMaxRecordsPerMatch > records.size();
}
// Grows the record array fourfold; false when it may grow no further.
inline bool grow_records(std::vector<QelRegExpFind>& records) {
    if (records.size() >= 0x3FFFFFFF / 4) return false;
    records.resize(records.size() * 4);
    return true;
}

// Runs a replacement of `subject` by `replaceState` with `state` to the end
// and leaves the output in `out` and the records the search reported in
// `records`. A global search that fills the record array stops there without
// a warning and copies the rest unchanged, and continuing on a shortened
// subject would change what anchors and look-behind see; so the destination
// and the record array grow until one call consumes the whole subject with
// room for one more match's records left over.
inline QelStatus replace_to_end(QelRegExpState* state, QelRegExpReplaceState* replaceState, std::string_view subject,
                                std::string& out, std::vector<QelRegExpFind>& records) {
    out.clear();
    if (subject.empty()) {  // the library refuses an empty subject
        records.clear();
        return qelOk;
    }
    if (!fits(subject.size())) return qelErrLength;
    if (records.size() < 4 * kMaxRecordsPerMatch) records.resize(4 * kMaxRecordsPerMatch);
    std::size_t cap = subject.size() * 2 + 64;
    for (;;) {
        if (cap > 0x7FFFFFFF) cap = 0x7FFFFFFF;
        out.resize(cap);
        int32_t subLen = int32_t(subject.size()), dstLen = int32_t(cap), count = int32_t(records.size());
        QelStatus st = qelsRegExpReplace_8u(bytes(subject), &subLen, reinterpret_cast<Qel8u*>(out.data()), &dstLen,
                                            records.data(), &count, state, replaceState);
        if (st < 0) {
            out.clear();
            return st;
        }
        if (records_full(st, count, records)) {
            if (!grow_records(records)) return qelErrLength;
            continue;
        }
        if (std::size_t(subLen) == subject.size()) {
            out.resize(std::size_t(dstLen));
            records.resize(std::size_t(count));
            return st;
        }
        if (cap == 0x7FFFFFFF) return qelErrLength;
        cap *= 2;
    }
}

// Runs a global search of `subject` by `state` (compiled with "g") and leaves
// the records of every match in the first `count` entries of `records`, each
// match as its whole-match record followed by its groups. The global find
// leaves out the whole-match record when a pattern has groups, and searching
// again from a match end would change what anchors and look-behind see; the
// global replacement reports whole-match records in one pass over the whole
// subject, and with no template and a one-byte destination it writes nothing
// (its first gap does not fit), so nothing is zero-filled or copied. The
// record array grows as in replace_to_end; it is not shrunk, so a caller that
// keeps it allocates nothing once it has grown.
inline QelStatus find_all_records(QelRegExpState* state, std::string_view subject,
                                  std::vector<QelRegExpFind>& records, std::size_t& count) {
    count = 0;
    if (subject.empty()) return qelOk;  // the library refuses an empty subject
    if (!fits(subject.size())) return qelErrLength;
    alignas(16) unsigned char rs_mem[64];
    auto* rs = reinterpret_cast<QelRegExpReplaceState*>(rs_mem);
    qelsRegExpReplaceInit(nullptr, rs);
    if (records.size() < 4 * kMaxRecordsPerMatch) records.resize(4 * kMaxRecordsPerMatch);
    for (;;) {
        Qel8u dst = 0;
        int32_t subLen = int32_t(subject.size()), dstLen = 1, n = int32_t(records.size());
        QelStatus st = qelsRegExpReplace_8u(bytes(subject), &subLen, &dst, &dstLen, records.data(), &n, state, rs);
        if (st < 0) return st;
        if (records_full(st, n, records)) {
            if (!grow_records(records)) return qelErrLength;
            continue;
        }
        count = std::size_t(n);
        return st;
    }
}

inline result<std::size_t> find(std::string_view s, std::string_view sub) {
    int32_t index = -1;
    if (!fits(s.size()) || !fits(sub.size())) return {qelErrLength, std::string_view::npos};
    QelStatus st = qelsFind_8u(bytes(s) ? bytes(s) : bytes(""), int32_t(s.size()), bytes(sub) ? bytes(sub) : bytes(""),
                               int32_t(sub.size()), &index);
    return {st, npos_if(index)};
}
inline result<std::size_t> rfind(std::string_view s, std::string_view sub) {
    int32_t index = -1;
    if (!fits(s.size()) || !fits(sub.size())) return {qelErrLength, std::string_view::npos};
    QelStatus st = qelsFindRev_8u(bytes(s) ? bytes(s) : bytes(""), int32_t(s.size()),
                                  bytes(sub) ? bytes(sub) : bytes(""), int32_t(sub.size()), &index);
    return {st, npos_if(index)};
}
inline result<std::size_t> find(std::string_view s, char c) {
    int32_t index = -1;
    if (!fits(s.size())) return {qelErrLength, std::string_view::npos};
    QelStatus st = qelsFindC_8u(bytes(s) ? bytes(s) : bytes(""), int32_t(s.size()), Qel8u(c), &index);
    return {st, npos_if(index)};
}
inline result<std::size_t> find_first_of(std::string_view s, std::string_view set) {
    int32_t index = -1;
    if (!fits(s.size()) || !fits(set.size())) return {qelErrLength, std::string_view::npos};
    QelStatus st = qelsFindCAny_8u(bytes(s) ? bytes(s) : bytes(""), int32_t(s.size()),
                                   bytes(set) ? bytes(set) : bytes(""), int32_t(set.size()), &index);
    return {st, npos_if(index)};
}
inline result<std::size_t> find(std::u16string_view s, std::u16string_view sub) {
    int32_t index = -1;
    static const char16_t empty[1] = {0};
    if (!fits(s.size()) || !fits(sub.size())) return {qelErrLength, std::string_view::npos};
    QelStatus st = qelsFind_16u(units(s.data() ? s : empty), int32_t(s.size()), units(sub.data() ? sub : empty),
                                int32_t(sub.size()), &index);
    return {st, npos_if(index)};
}
// Both ends trimmed of every unit in `set`; the view points into `s`.
inline std::string_view trim(std::string_view s, std::string_view set = " \t\r\n") {
    std::size_t b = s.find_first_not_of(set);
    if (b == std::string_view::npos) return s.substr(0, 0);
    return s.substr(b, s.find_last_not_of(set) - b + 1);
}
inline result<int32_t> compare(std::string_view a, std::string_view b) {
    // Compares the common prefix with the library, then the lengths.
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    int32_t r = 0;
    if (!fits(n)) return {qelErrLength, 0};
    QelStatus st = n ? qelsCompare_8u(bytes(a), bytes(b), int32_t(n), &r) : qelOk;
    if (st == qelOk && r == 0 && a.size() != b.size()) r = a.size() < b.size() ? -1 : 1;
    return {st, r};
}
inline result<Qel32u> hash(std::string_view s) {
    Qel32u h = 0;
    if (!fits(s.size())) return {qelErrLength, 0};
    QelStatus st = qelsHash_8u32u(bytes(s) ? bytes(s) : bytes(""), int32_t(s.size()), &h);
    return {st, h};
}
inline result<std::string> to_upper_latin(std::string_view s) {
    std::string out(s.size(), '\0');
    if (!fits(s.size())) return {qelErrLength, {}};
    QelStatus st = s.empty() ? qelOk
                             : qelsUppercaseLatin_8u(bytes(s), reinterpret_cast<Qel8u*>(out.data()), int32_t(s.size()));
    return {st, std::move(out)};
}
inline result<std::u16string> utf8_to_utf16(std::string_view s) {
    std::u16string out(s.size(), u'\0');  // never more units than bytes
    int32_t srcLen = int32_t(s.size()), dstLen = int32_t(out.size());
    if (!fits(s.size())) return {qelErrLength, {}};
    Qel16u dummy = 0;
    QelStatus st = qelsConvertUTF_8u16u(bytes(s) ? bytes(s) : bytes(""), &srcLen,
                                        out.empty() ? &dummy : reinterpret_cast<Qel16u*>(out.data()), &dstLen, 0);
    out.resize(st == qelOk ? std::size_t(dstLen) : 0);
    return {st, std::move(out)};
}
inline result<std::string> utf16_to_utf8(std::u16string_view s) {
    std::string out(s.size() * 3, '\0');  // at most three bytes per unit
    int32_t srcLen = int32_t(s.size()), dstLen = int32_t(out.size());
    if (!fits(s.size() * 3)) return {qelErrLength, {}};
    static const char16_t empty[1] = {0};
    Qel8u dummy = 0;
    QelStatus st = qelsConvertUTF_16u8u(units(s.data() ? s : empty), &srcLen,
                                        out.empty() ? &dummy : reinterpret_cast<Qel8u*>(out.data()), &dstLen, 0);
    out.resize(st == qelOk ? std::size_t(dstLen) : 0);
    return {st, std::move(out)};
}

// ---- Regular expressions. ----

class regex;

// One match: group 0 is the whole match; a group that took no part is a
// default (null) view and participated(k) is false. A match keeps a view of
// the subject it was found in (the subject must outlive it).
class match {
public:
    match() = default;
    // Number of groups, whole match included; 0 when nothing was found.
    std::size_t size() const { return groups_.size(); }
    explicit operator bool() const { return !groups_.empty(); }
    std::string_view operator[](std::size_t k) const {
        return k < groups_.size() && groups_[k].length >= 0
                   ? std::string_view(reinterpret_cast<const char*>(groups_[k].pointer), std::size_t(groups_[k].length))
                   : std::string_view();
    }
    bool participated(std::size_t k) const { return k < groups_.size() && groups_[k].length >= 0; }
    // Byte offset of group k within the subject it was found in, or npos.
    std::size_t position(std::size_t k = 0) const { return position(k, subject_); }
    // Byte offset of group k within `subject`.
    std::size_t position(std::size_t k, std::string_view subject) const {
        return participated(k) && subject.data() ? std::size_t(groups_[k].pointer - bytes(subject))
                                                 : std::string_view::npos;
    }
    // Byte offset just past the end of group k, or npos.
    std::size_t end(std::size_t k = 0) const {
        std::size_t p = position(k);
        return p == std::string_view::npos ? p : p + std::size_t(groups_[k].length);
    }
    std::string_view subject() const { return subject_; }

private:
    friend class regex;
    friend class pattern_set;
    std::vector<QelRegExpFind> groups_;
    std::string_view subject_;
};

namespace detail {

// Compiled copies of one pattern, each serving one search at a time: a
// search takes a copy out of a slot and puts it back afterwards (or frees it
// when every slot is taken), so threads sharing a qel::regex never share a
// compiled state. The exchanges order one thread's use of a state before the
// next thread's.
class state_pool {
public:
    static constexpr std::size_t kSlots = 8;
    state_pool() = default;
    state_pool(const state_pool&) = delete;
    state_pool& operator=(const state_pool&) = delete;
    ~state_pool() { clear(); }

    QelRegExpState* take() {
        for (auto& slot : slots_)
            if (QelRegExpState* s = slot.exchange(nullptr, std::memory_order_acq_rel)) return s;
        return nullptr;
    }
    void give_back(QelRegExpState* s) {
        for (auto& slot : slots_) {
            QelRegExpState* expected = nullptr;
            if (slot.compare_exchange_strong(expected, s, std::memory_order_acq_rel)) return;
        }
        qelsRegExpFree(s);
    }
    void clear() {
        for (auto& slot : slots_)
            if (QelRegExpState* s = slot.exchange(nullptr, std::memory_order_acq_rel)) qelsRegExpFree(s);
    }
    // Moves every idle state from `o` (no search may run on either).
    void take_all(state_pool& o) {
        clear();
        for (std::size_t i = 0; i < kSlots; ++i) slots_[i].store(o.slots_[i].exchange(nullptr));
    }
    template <class F>
    void for_each_idle(F f) {
        for (auto& slot : slots_)
            if (QelRegExpState* s = slot.load(std::memory_order_acquire)) f(s);
    }

private:
    std::array<std::atomic<QelRegExpState*>, kSlots> slots_{};
};

constexpr std::int64_t kWide = std::int64_t(1) << 40;  // "no fixed bound"

inline std::int64_t cap_width(std::int64_t w) { return w > kWide ? kWide : w; }

// An upper bound, in characters, of how far any look-behind of a pattern
// reaches back from the position where it is tested. Over-estimates are
// harmless (they cost a little search time); an unreadable pattern gives kWide.
class lookbehind_reach {
public:
    explicit lookbehind_reach(std::string_view p) : p_(p) {}
    std::int64_t run() {
        i_ = 0;
        alternatives();
        return i_ < p_.size() ? kWide : reach_;  // a stray ")" stopped the walk
    }

private:
    bool at(std::size_t k, char c) const { return k < p_.size() && p_[k] == c; }
    bool digit(std::size_t k) const { return k < p_.size() && p_[k] >= '0' && p_[k] <= '9'; }

    // Widest alternative up to the ")" that closes the group (not consumed).
    std::int64_t alternatives() {
        std::int64_t widest = 0, w = 0;
        while (i_ < p_.size() && p_[i_] != ')') {
            if (p_[i_] == '|') {
                widest = std::max(widest, w);
                w = 0;
                ++i_;
                continue;
            }
            std::int64_t item = atom();
            w = cap_width(w + cap_width(item * quantifier_max()));
        }
        return std::max(widest, w);
    }
    std::int64_t atom() {
        const char c = p_[i_++];
        if (c == '(') return group();
        if (c == '[') {
            skip_class();
            return 1;
        }
        if (c == '\\') return escape();
        if (c == '^' || c == '$') return 0;
        return 1;
    }
    std::int64_t group() {
        bool behind = false;
        if (at(i_, '?')) {
            ++i_;
            if (at(i_, '#')) {
                while (i_ < p_.size() && p_[i_] != ')') ++i_;
                if (i_ < p_.size()) ++i_;
                return 0;
            }
            if (at(i_, '<')) behind = true;
            if (at(i_, '(')) {  // condition: a group number or a look-around
                ++i_;
                alternatives();
                if (i_ < p_.size()) ++i_;
            }
            while (i_ < p_.size() && std::string_view("imsx-<").find(p_[i_]) != std::string_view::npos) ++i_;
            if (at(i_, ')')) {  // an option setting, no group
                ++i_;
                return 0;
            }
            if (i_ < p_.size()) ++i_;  // ':', '=', '!' or '>'
        }
        std::int64_t w = alternatives();
        if (i_ < p_.size()) ++i_;
        if (behind) reach_ = std::max(reach_, w);
        return w;
    }
    void skip_class() {
        if (at(i_, '^')) ++i_;
        if (at(i_, ']')) ++i_;
        while (i_ < p_.size() && p_[i_] != ']') {
            if (p_[i_] == '\\' && at(i_ + 1, 'Q')) {
                std::size_t e = p_.find("\\E", i_ + 2);
                i_ = e == std::string_view::npos ? p_.size() : e + 2;
            } else if (p_[i_] == '\\') {
                i_ += 2;
            } else if (p_[i_] == '[' && (at(i_ + 1, ':') || at(i_ + 1, '.') || at(i_ + 1, '='))) {
                const char close[3] = {p_[i_ + 1], ']', 0};
                std::size_t e = p_.find(close, i_ + 2);
                i_ = e == std::string_view::npos ? p_.size() : e + 2;
            } else {
                ++i_;
            }
        }
        if (i_ < p_.size()) ++i_;
    }
    std::int64_t escape() {
        if (i_ >= p_.size()) return 1;
        const char c = p_[i_++];
        if (c == 'Q') {  // every quoted byte may be a character of its own
            std::size_t e = p_.find("\\E", i_);
            std::size_t stop = e == std::string_view::npos ? p_.size() : e;
            std::int64_t n = std::int64_t(stop - i_);
            i_ = e == std::string_view::npos ? p_.size() : e + 2;
            return n;
        }
        if ((c == 'x' || c == 'p' || c == 'P') && at(i_, '{')) {
            std::size_t e = p_.find('}', i_);
            i_ = e == std::string_view::npos ? p_.size() : e + 1;
        } else if (c == 'c' || c == 'p' || c == 'P') {
            if (i_ < p_.size()) ++i_;
        }
        return 1;  // hex and octal digits after the escape are over-counted as characters
    }
    // The largest count the quantifier at the cursor allows (1 when none).
    std::int64_t quantifier_max() {
        std::int64_t m = 1;
        if (at(i_, '*') || at(i_, '+')) {
            ++i_;
            m = kWide;
        } else if (at(i_, '?')) {
            ++i_;
        } else if (at(i_, '{')) {
            std::size_t k = i_ + 1;
            std::int64_t lo = 0, hi = -1;
            while (digit(k)) lo = std::min<std::int64_t>(lo * 10 + (p_[k++] - '0'), kWide);
            if (at(k, ',')) {
                ++k;
                if (digit(k)) hi = 0;
                while (digit(k)) hi = std::min<std::int64_t>(hi * 10 + (p_[k++] - '0'), kWide);
                if (hi < 0) hi = kWide;
            } else {
                hi = lo;
            }
            if (!at(k, '}')) return 1;  // not a quantifier: "{" is a literal
            i_ = k + 1;
            m = hi;
        } else {
            return 1;
        }
        if (at(i_, '?')) ++i_;
        return m;
    }

    std::string_view p_;
    std::size_t i_ = 0;
    std::int64_t reach_ = 0;
};

// Whether a match at a position can depend on the bytes before it: anchors
// that test the subject start or the previous byte, word boundaries,
// look-behind, and a leading ".*" or ".+" (which the engine starts only at a
// line start). A false "yes" costs time only.
inline bool reads_left_context(std::string_view p) {
    if (p.find('^') != std::string_view::npos || p.find("(?<") != std::string_view::npos) return true;
    for (const char* e : {"\\A", "\\G", "\\b", "\\B"})
        if (p.find(e) != std::string_view::npos) return true;
    return p.substr(0, 2) == ".*" || p.substr(0, 2) == ".+" || p.substr(0, 5) == "(?:.*" || p.substr(0, 5) == "(?:.+";
}

// The byte count of the UTF-8 character at s[pos] as the engine steps over
// it (1 for anything malformed).
inline std::size_t utf8_step(std::string_view s, std::size_t pos) {
    const unsigned char lead = static_cast<unsigned char>(s[pos]);
    std::size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (pos + n > s.size()) return 1;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[pos + k]) & 0xC0) != 0x80) return 1;
    return n;
}

// What a template writes for a match of the empty subject: its literal text
// ("$$" as one "$", backslashes dropped); every reference is empty there.
inline std::string empty_match_output(std::string_view tmpl) {
    std::string out;
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] == '\\') continue;
        if (tmpl[i] != '$') {
            out += tmpl[i];
        } else if (i + 1 < tmpl.size() && tmpl[i + 1] == '$') {
            out += '$';
            ++i;
        } else {
            while (i + 1 < tmpl.size() && (tmpl[i + 1] == '&' || (tmpl[i + 1] >= '0' && tmpl[i + 1] <= '9'))) {
                ++i;
                if (tmpl[i] == '&') break;
            }
        }
    }
    return out;
}

}  // namespace detail

// A compiled pattern.
//
// Sharing: one qel::regex may be searched from any number of threads at once
// (every const member). Each search takes a compiled state of its own from a
// small pool kept by the regex and compiled from the kept pattern text when
// the pool is empty, so no two searches ever write the same state. The
// non-const members (the settings, moves, native()) need the regex to
// themselves, as any C++ object does.
//
// Lengths: the library counts in signed 32 bits, so subjects of 2 GiB or
// more are refused: every search and replacement returns qelErrLength ("bad
// length") without reading them. Search such data in pieces cut where no
// match can cross, such as line ends for a pattern that cannot match a line
// feed.
class regex {
public:
    regex() = default;
    // options: any of "i", "m", "s", "x" ("g" is managed by find_all/replace_all).
    explicit regex(const std::string& pattern, const std::string& options = "") : pattern_(pattern) {
        for (char c : options)
            if (c != 'g') options_ += c;
        QelRegExpState* first = nullptr;
        status_ = qelsRegExpInitAlloc(pattern_.c_str(), options_.c_str(), &first, &error_offset_);
        if (status_ != qelOk) return;
        plain_.give_back(first);
        if (detail::reads_left_context(pattern_)) {
            std::int64_t chars = detail::lookbehind_reach(pattern_).run();
            // Six bytes are the longest character the engine steps back over;
            // one more byte for word boundaries and line starts.
            context_ = chars >= detail::kWide ? detail::kWide : chars * 6 + 1;
        }
    }
    regex(const regex&) = delete;
    regex& operator=(const regex&) = delete;
    regex(regex&& o) noexcept { take(o); }
    regex& operator=(regex&& o) noexcept {
        if (this != &o) take(o);
        return *this;
    }
    ~regex() {
        if (native_) qelsRegExpFree(native_);
        if (native_global_) qelsRegExpFree(native_global_);
    }

    explicit operator bool() const { return status_ == qelOk; }
    QelStatus status() const { return status_; }
    int32_t error_offset() const { return error_offset_; }
    // "unbalanced group at offset 3" for a pattern that did not compile, the
    // status's words otherwise, "" for a compiled pattern.
    std::string error() const {
        if (status_ == qelOk) return {};
        std::string s = status_message(status_);
        if (status_ <= qelErrRegExpEscape && status_ != qelErrMatchLimit && status_ != qelErrBadState)
            s += " at offset " + std::to_string(error_offset_);
        return s;
    }
    // A compiled state of this pattern reserved for the caller (for example
    // for a pattern set); the regex's own searches never use it.
    QelRegExpState* native() {
        if (!native_ && status_ == qelOk) {
            native_ = plain_.take();
            if (!native_) native_ = compile(false);
        }
        return native_;
    }

    // Match-limit and subject format (1 = UTF-8, 0 = bytes) for every search.
    QelStatus set_match_limit(int32_t limit) {
        if (status_ != qelOk) return qelErrNullPtr;
        if (limit < 0) return qelErrLength;
        limit_ = limit;
        apply_settings();
        return qelOk;
    }
    QelStatus set_format(int32_t format) {
        if (status_ != qelOk) return qelErrNullPtr;
        if (format != 0 && format != 1) return qelErrRange;
        format_ = format;
        apply_settings();
        return qelOk;
    }

    // The leftmost match starting at byte `pos` or later (value.size() == 0
    // when there is none). Anchors, word boundaries and look-behind see the
    // whole subject, so find(s, 3) finds what a search of s would find at 3.
    result<match> find(std::string_view subject, std::size_t pos = 0) const {
        if (status_ != qelOk) return {status_, {}};
        if (!fits(subject.size())) return {qelErrLength, {}};
        if (pos > subject.size()) return {qelOk, {}};
        // The view starts early enough to hold every byte the pattern may look
        // back at from `pos`; a first match before `pos` in it is discarded by
        // a second search that refuses to start fewer than `back` bytes into
        // the view.
        const std::size_t back = std::size_t(std::min<std::int64_t>(context_, std::int64_t(pos)));
        const std::string_view view = subject.substr(pos - back);
        result<match> r = search(0, view, subject);
        if (!r.ok() || r.value.size() == 0 || r.value.position() >= pos) return r;
        return search(back, view, subject);
    }

    // Every match, left to right, found one at a time as the loop asks:
    //   for (const qel::match& m : re.matches(text)) ...
    // The same matches as find_all: after an empty match, a match of the next
    // character alone at the same start, if there is one, then the next
    // search one character later. A search error ends the loop; status()
    // then reports it.
    class match_range {
    public:
        class iterator {
        public:
            using iterator_category = std::input_iterator_tag;
            using value_type = match;
            using difference_type = std::ptrdiff_t;
            using pointer = const match*;
            using reference = const match&;
            iterator() = default;
            const match& operator*() const { return current_; }
            const match* operator->() const { return &current_; }
            iterator& operator++() {
                const std::size_t s = current_.position();
                if (current_.end() != s) {
                    load(next_);
                    return *this;
                }
                const std::string_view subject = range_->subject_;
                if (s >= subject.size()) return finish();
                const std::size_t step = range_->re_->format_ == 0 ? 1 : detail::utf8_step(subject, s);
                result<match> r = range_->re_->one_character_at(subject, s, step, current_.size());
                range_->status_ = r.status;
                if (!r.ok()) return finish();
                if (r.value.size() == 0) {
                    load(s + step);
                } else {
                    current_ = std::move(r.value);
                    next_ = s + step;
                }
                return *this;
            }
            void operator++(int) { ++*this; }
            bool operator==(const iterator& o) const { return range_ == o.range_; }
            bool operator!=(const iterator& o) const { return range_ != o.range_; }

        private:
            friend class match_range;
            explicit iterator(match_range* r) : range_(r) { load(0); }
            void load(std::size_t pos) {
                result<match> r = range_->re_->find(range_->subject_, pos);
                range_->status_ = r.status;
                if (!r.ok() || r.value.size() == 0) {
                    finish();
                    return;
                }
                current_ = std::move(r.value);
                next_ = current_.end();
            }
            iterator& finish() {
                range_ = nullptr;
                current_ = match();
                return *this;
            }
            match_range* range_ = nullptr;
            match current_;
            std::size_t next_ = 0;  // where the search after current_ starts
        };
        iterator begin() { return iterator(this); }
        iterator end() { return iterator(); }
        // qelOk, or the error that ended the loop early.
        QelStatus status() const { return status_; }

    private:
        friend class regex;
        match_range(const regex* re, std::string_view subject) : re_(re), subject_(subject) {}
        const regex* re_;
        std::string_view subject_;
        QelStatus status_ = qelOk;
    };
    match_range matches(std::string_view subject) const { return match_range(this, subject); }

    // Every match, left to right, each with its groups, in one vector (one
    // pass of the library's global search).
    result<std::vector<match>> find_all(std::string_view subject) const {
        result<match> first = find(subject);
        if (!first.ok() || first.value.size() == 0 || subject.empty()) {
            std::vector<match> one;
            if (first.ok() && first.value.size() > 0) one.push_back(std::move(first.value));
            return {first.status, std::move(one)};
        }
        const std::size_t per = first.value.size();
        std::vector<QelRegExpFind> recs;
        std::size_t count = 0;
        QelStatus st = with_state(global_, true, [&](QelRegExpState* g) { return find_all_records(g, subject, recs, count); });
        if (st < 0) return {st, {}};
        std::vector<match> out;
        for (std::size_t i = 0; i + per <= count; i += per) {
            match m;
            m.groups_.assign(recs.begin() + long(i), recs.begin() + long(i + per));
            m.subject_ = subject;
            out.push_back(std::move(m));
        }
        return {st, std::move(out)};
    }

    // Replaces the first match (or every match, with replace_all) by the
    // template: "$&" the whole match, "$n" capture n, "$$" a dollar sign.
    result<std::string> replace(std::string_view subject, const std::string& tmpl) const {
        return run_replace(subject, tmpl, false);
    }
    result<std::string> replace_all(std::string_view subject, const std::string& tmpl) const {
        return run_replace(subject, tmpl, true);
    }

private:
    friend class pattern_set;  // searches the "g" state in its own set
    // A state compiled with "g", reserved for the pattern sets this regex is
    // added to, like native().
    QelRegExpState* global_state() {
        if (!native_global_ && status_ == qelOk) {
            native_global_ = global_.take();
            if (!native_global_) native_global_ = compile(true);
        }
        return native_global_;
    }

    QelRegExpState* compile(bool global, std::size_t fence = 0) const {
        std::string text = pattern_;
        if (fence > 0) {
            // The same pattern, refused at every position with fewer than
            // `fence` bytes before it in the view: (?<=\C{fence})(?:pattern).
            // A closing "\E" or line feed is added when the pattern ends
            // inside a quotation or an extended-mode comment.
            std::string lead = "(?<=";
            for (std::size_t left = fence; left > 0;) {
                const std::size_t n = left > 65535 ? 65535 : left;
                lead += "\\C{" + std::to_string(n) + "}";
                left -= n;
            }
            text = lead + ")(?:" + pattern_;
        }
        const std::string opts = global ? options_ + "g" : options_;
        for (const char* close : {")", "\\E)", "\n)"}) {
            std::string full = fence > 0 ? text + close : text;
            QelRegExpState* s = nullptr;
            int32_t off = 0;
            if (qelsRegExpInitAlloc(full.c_str(), opts.c_str(), &s, &off) == qelOk) {
                if (limit_ >= 0) qelsRegExpSetMatchLimit(limit_, s);
                if (format_ >= 0) qelsRegExpSetFormat(format_, s);
                return s;
            }
            if (fence == 0) break;
        }
        return nullptr;
    }

    // Runs f(state) on a state of `pool` (compiled with "g" when `global`),
    // taken for this call alone.
    template <class F>
    QelStatus with_state(detail::state_pool& pool, bool global, F f, std::size_t fence = 0) const {
        QelRegExpState* s = pool.take();
        if (!s) s = compile(global, fence);
        if (!s) return qelErrNullPtr;
        QelStatus st = f(s);
        pool.give_back(s);
        return st;
    }

    // After an empty match at `s` the global search tries once more at `s`
    // for a non-empty match within the next character (`step` bytes), with
    // that character's end taken as the end of the subject. That very
    // attempt is made here: a global search of the subject up to s + step,
    // starting no earlier than `s`, whose first non-empty match at `s` is the
    // one the attempt finds (a first match there that is not empty is also
    // what the attempt, which only refuses empty ones, finds first).
    // `records` is the number of records per match (whole match and groups).
    result<match> one_character_at(std::string_view subject, std::size_t s, std::size_t step,
                                   std::size_t records) const {
        const std::size_t back = std::size_t(std::min<std::int64_t>(context_, std::int64_t(s)));
        const std::string_view view = subject.substr(s - back, back + step);
        std::vector<QelRegExpFind> recs;
        std::size_t count = 0;
        auto run = [&](QelRegExpState* g) { return find_all_records(g, view, recs, count); };
        QelStatus st;
        if (back == 0) {
            st = with_state(global_, true, run);
        } else if (std::int64_t(back) == context_) {
            st = with_state(fenced_global_, true, run, back);
        } else {
            detail::state_pool once;
            st = with_state(once, true, run, back);
        }
        match m;
        m.subject_ = subject;
        if (st < 0 || records == 0) return {st < 0 ? st : qelOk, std::move(m)};
        const Qel8u* at = bytes(view) + back;
        for (std::size_t i = 0; i + records <= count; i += records) {
            if (recs[i].pointer == at && recs[i].length > 0) {
                m.groups_.assign(recs.begin() + long(i), recs.begin() + long(i + records));
                break;
            }
        }
        return {qelOk, std::move(m)};
    }

    // The leftmost match in `view` (the end of `subject`) at `fence` bytes
    // into it or later; a fence other than the kept one (near the subject
    // start) is compiled for this call only.
    result<match> search(std::size_t fence, std::string_view view, std::string_view subject) const {
        match m;
        m.groups_.resize(kMaxRecordsPerMatch);
        int32_t count = int32_t(kMaxRecordsPerMatch);
        auto run = [&](QelRegExpState* s) {
            return qelsRegExpFind_8u(bytes(view) ? bytes(view) : bytes(""), int32_t(view.size()), s, m.groups_.data(),
                                     &count);
        };
        QelStatus st;
        if (fence == 0 || std::int64_t(fence) == context_) {
            st = with_state(fence == 0 ? plain_ : fenced_, false, run, fence);
        } else {
            detail::state_pool once;
            st = with_state(once, false, run, fence);
        }
        if (st < 0 || count < 1) m.groups_.clear();
        else m.groups_.resize(std::size_t(count));
        m.subject_ = subject;
        return {st, std::move(m)};
    }

    result<std::string> run_replace(std::string_view subject, const std::string& tmpl, bool global) const {
        if (status_ != qelOk) return {status_, {}};
        if (!fits(subject.size())) return {qelErrLength, {}};
        int32_t rsize = 0;
        qelsRegExpReplaceGetSize(tmpl.c_str(), &rsize);
        std::vector<uint64_t> rstate_mem(static_cast<std::size_t>(rsize) / 8 + 1);
        auto* rs = reinterpret_cast<QelRegExpReplaceState*>(rstate_mem.data());
        QelStatus pst = qelsRegExpReplaceInit(tmpl.c_str(), rs);
        if (pst != qelOk) return {pst, {}};
        if (subject.empty()) {  // the library refuses an empty subject; its one possible match is empty
            result<match> m = find(subject);
            if (!m.ok()) return {m.status, {}};
            return {qelOk, m.value.size() ? detail::empty_match_output(tmpl) : std::string()};
        }
        std::string out;
        std::vector<QelRegExpFind> recs;
        QelStatus s = with_state(global ? global_ : plain_, global,
                                 [&](QelRegExpState* st) { return replace_to_end(st, rs, subject, out, recs); });
        if (s < 0) return {s, {}};
        return {s, std::move(out)};
    }

    void apply_settings() {
        auto apply = [this](QelRegExpState* s) {
            if (limit_ >= 0) qelsRegExpSetMatchLimit(limit_, s);
            if (format_ >= 0) qelsRegExpSetFormat(format_, s);
        };
        plain_.for_each_idle(apply);
        global_.for_each_idle(apply);
        fenced_.for_each_idle(apply);
        fenced_global_.for_each_idle(apply);
        if (native_) apply(native_);
        if (native_global_) apply(native_global_);
    }

    void take(regex& o) {
        if (native_) qelsRegExpFree(native_);
        if (native_global_) qelsRegExpFree(native_global_);
        pattern_ = std::move(o.pattern_);
        options_ = std::move(o.options_);
        plain_.take_all(o.plain_);
        global_.take_all(o.global_);
        fenced_.take_all(o.fenced_);
        fenced_global_.take_all(o.fenced_global_);
        native_ = std::exchange(o.native_, nullptr);
        native_global_ = std::exchange(o.native_global_, nullptr);
        status_ = std::exchange(o.status_, qelErrNullPtr);  // a moved-from regex is empty
        error_offset_ = o.error_offset_;
        limit_ = o.limit_;
        format_ = o.format_;
        context_ = o.context_;
    }

    std::string pattern_;
    std::string options_;
    mutable detail::state_pool plain_;   // single searches and replace()
    mutable detail::state_pool global_;  // compiled with "g": find_all, replace_all
    mutable detail::state_pool fenced_;  // refusing starts in the first context_ bytes
    mutable detail::state_pool fenced_global_;  // the same, compiled with "g": matches()
    QelRegExpState* native_ = nullptr;
    QelRegExpState* native_global_ = nullptr;
    QelStatus status_ = qelErrNullPtr;
    int32_t error_offset_ = 0;
    int32_t limit_ = -1;
    int32_t format_ = -1;
    std::int64_t context_ = 0;  // bytes before a start position a match may look at
};

// A set of compiled regexes searched in one call: the leftmost match of
// each, the number of matches of each, or every match of each with its
// groups. Slots are searched in parallel when the set is large and the
// subject long enough.
//
// The set refers to the regexes; they must outlive it and stay unmoved, and
// one regex must not be added twice. One set serves one search at a time:
// a search writes the regexes' work areas and the set's own buffers (record
// arrays kept from call to call, so that repeated searches allocate nothing
// once they have grown), so two threads must not search one set, nor search
// its regexes on their own, at the same time.
class pattern_set {
public:
    explicit pattern_set(uint32_t max_patterns) {
        status_ = qelsRegExpMultiInitAlloc(&set_, max_patterns);
        if (status_ != qelOk) return;
        status_ = qelsRegExpMultiInitAlloc(&global_set_, max_patterns);
        if (status_ != qelOk) return;
        max_ = max_patterns;
        slots_.resize(max_);
        recs_.resize(max_);
        found_.resize(max_);
    }
    ~pattern_set() {
        if (set_) qelsRegExpMultiFree(set_);
        if (global_set_) qelsRegExpMultiFree(global_set_);
    }
    pattern_set(const pattern_set&) = delete;
    pattern_set& operator=(const pattern_set&) = delete;
    explicit operator bool() const { return max_ != 0; }

    // Puts the regex into the lowest free slot under `id` (non-zero; several
    // slots may share one).
    QelStatus add(regex& re, int32_t id) {
        if (!max_) return status_;
        QelRegExpState* g = re.native() ? re.global_state() : nullptr;
        QelStatus st = qelsRegExpMultiAdd(re.native(), id, set_);
        if (st != qelOk) return st;
        if (!g) {  // keep both sets alike
            qelsRegExpMultiDelete(id, set_);
            return qelErrNullPtr;
        }
        for (slot& sl : slots_)
            if (!sl.re) {
                sl = slot{&re, id, 0};
                break;
            }
        return qelsRegExpMultiAdd(g, id, global_set_);
    }
    // Frees the lowest slot with `id`.
    QelStatus remove(int32_t id) {
        if (!max_) return status_;
        QelStatus st = qelsRegExpMultiDelete(id, set_);
        if (st != qelOk) return st;
        qelsRegExpMultiDelete(id, global_set_);
        for (slot& sl : slots_)
            if (sl.re && sl.id == id) {
                sl = slot{};
                break;
            }
        return qelOk;
    }

    struct hit {
        int32_t id;
        QelStatus status;
        std::vector<match> matches;  // search(): the leftmost match, if any; find_all(): every match
    };
    struct tally {
        int32_t id;
        QelStatus status;  // below 0: the search failed and `count` means nothing
        int64_t count;     // matches, as find_all of the regex with "g" would list them
    };

    // The leftmost match of every pattern. One entry per occupied slot, in
    // slot order.
    result<std::vector<hit>> search(std::string_view subject, std::size_t records_per_slot = kMaxRecordsPerMatch) {
        QelStatus st = run(set_, subject, records_per_slot);
        if (st != qelOk) return {st, {}};
        std::vector<hit> out;
        for (uint32_t i = 0; i < max_; ++i) {
            if (recs_[i].searched != 1) continue;
            hit h{recs_[i].identifier, recs_[i].status, {}};
            if (recs_[i].status >= 0 && recs_[i].count > 0) {
                match m;
                m.groups_.assign(found_[i].begin(), found_[i].begin() + recs_[i].count);
                m.subject_ = subject;
                h.matches.push_back(std::move(m));
            }
            out.push_back(std::move(h));
        }
        return {st, std::move(out)};
    }

    // The number of matches of every pattern (a global search each, all in
    // one set search).
    result<std::vector<tally>> count(std::string_view subject) {
        QelStatus st = run_global(subject);
        if (st != qelOk) return {st, {}};
        std::vector<tally> out;
        for (uint32_t i = 0; i < max_; ++i) {
            if (recs_[i].searched != 1) continue;
            const QelStatus s = recs_[i].status;
            int64_t n = 0;
            if (s >= 0 && recs_[i].count > 0) n = recs_[i].count / per_match(i, subject);
            out.push_back({recs_[i].identifier, s, s >= 0 ? n : 0});
        }
        return {st, std::move(out)};
    }

    // Every match of every pattern, each with its groups. The global set
    // search reports the groups of each match without the whole match, so
    // patterns with groups are listed by their regex's own find_all.
    result<std::vector<hit>> find_all(std::string_view subject) {
        QelStatus st = run_global(subject);
        if (st != qelOk) return {st, {}};
        std::vector<hit> out;
        for (uint32_t i = 0; i < max_; ++i) {
            if (recs_[i].searched != 1) continue;
            hit h{recs_[i].identifier, recs_[i].status, {}};
            if (h.status >= 0 && recs_[i].count > 0) {
                if (per_match(i, subject) == 1 && slots_[i].records == 1) {
                    for (int32_t k = 0; k < recs_[i].count; ++k) {
                        match m;
                        m.groups_.assign(1, found_[i][std::size_t(k)]);
                        m.subject_ = subject;
                        h.matches.push_back(std::move(m));
                    }
                } else {
                    result<std::vector<match>> all = slots_[i].re->find_all(subject);
                    h.status = all.status;
                    h.matches = std::move(all.value);
                }
            }
            out.push_back(std::move(h));
        }
        return {st, std::move(out)};
    }

private:
    struct slot {
        regex* re = nullptr;
        int32_t id = 0;
        int32_t records = 0;  // the pattern's records per match (whole match + groups), 0 = not known yet
    };

    // One set search with room for `room` records per slot (at least what
    // was needed before).
    QelStatus run(QelRegExpMultiState* set, std::string_view subject, std::size_t room) {
        if (!max_) return status_;
        if (!fits(subject.size())) return qelErrLength;
        if (room < 1) room = 1;
        if (room > 0x7FFFFFFF) room = 0x7FFFFFFF;
        for (uint32_t i = 0; i < max_; ++i) {
            if (found_[i].size() < room) found_[i].resize(room);
            recs_[i] = {0, 0, int32_t(found_[i].size()), 0, found_[i].data()};
        }
        return qelsRegExpMultiFind_8u(bytes(subject) ? bytes(subject) : bytes(""), int32_t(subject.size()),
                                      recs_.data(), set);
    }

    // The global set search, then, for every slot whose array may have
    // filled up (a global search stops there without a warning), that slot
    // alone again with a larger array, until room for one more match's
    // records is left over. The arrays keep their size for the next call.
    QelStatus run_global(std::string_view subject) {
        QelStatus st = run(global_set_, subject, 4 * kMaxRecordsPerMatch);
        if (st != qelOk) return st;
        for (uint32_t i = 0; i < max_; ++i) {
            QelRegExpMultiFind& r = recs_[i];
            while (r.searched == 1 && r.status >= 0 && std::size_t(r.count) + kMaxRecordsPerMatch > found_[i].size()) {
                if (found_[i].size() > 0x7FFFFFFF / 4) {
                    r.status = qelErrLength;
                    break;
                }
                // Grow by what the part searched so far suggests, at least 4x.
                std::size_t want = found_[i].size() * 4;
                if (r.count > 0 && r.results[r.count - 1].length >= 0) {
                    const std::size_t reached = std::size_t(r.results[r.count - 1].pointer - bytes(subject)) + 1;
                    const double guess = double(r.count) * double(subject.size()) / double(reached) * 1.25;
                    if (guess > double(want) && guess < double(0x7FFFFFFF)) want = std::size_t(guess);
                }
                if (want > 0x7FFFFFFF) want = 0x7FFFFFFF;
                found_[i].resize(want);
                r.results = found_[i].data();
                r.count = int32_t(found_[i].size());
                r.status = qelsRegExpFind_8u(bytes(subject), int32_t(subject.size()), slots_[i].re->global_state(),
                                             r.results, &r.count);
            }
        }
        return qelOk;
    }

    // Records the global search gives per match: the groups, or the whole
    // match for a pattern without groups. Learnt from the first subject in
    // which the pattern matches.
    int32_t per_match(uint32_t i, std::string_view subject) {
        slot& sl = slots_[i];
        if (sl.records == 0) {
            result<match> m = sl.re->find(subject);
            if (m.value.size() > 0) sl.records = int32_t(m.value.size());
        }
        return sl.records > 1 ? sl.records - 1 : 1;
    }

    QelRegExpMultiState* set_ = nullptr;
    QelRegExpMultiState* global_set_ = nullptr;  // the same regexes compiled with "g"
    QelStatus status_ = qelErrNullPtr;
    uint32_t max_ = 0;
    std::vector<slot> slots_;
    std::vector<QelRegExpMultiFind> recs_;
    std::vector<std::vector<QelRegExpFind>> found_;
};

}  // namespace qel

#endif
