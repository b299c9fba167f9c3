// qelch.hpp — a thin, header-only C++17 layer over the qelch C API.
//
//   qel::regex re("(\\w+)@(\\w+)\\.org", "i");
//   if (!re) { /* re.status(), re.error_offset() */ }
//   for (const qel::match& m : re.find_all(text)) use(m[0], m[1]);
//   std::string out = re.replace(text, "<$1>").value;
//
// No exceptions: fallible calls return a result<T> carrying the status (and,
// for compilation, the error offset). A qel::regex owns its compiled state
// (allocated by the library, released by the destructor); it is movable, never
// copied, since the state holds pointers into itself. One regex serves one
// search at a time: searches write its work areas.
#ifndef QELCH_HPP
#define QELCH_HPP

#include <cstdint>
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
        if (st == qelWrnFindIncomplete || std::size_t(count) + kMaxRecordsPerMatch > records.size()) {
            if (records.size() >= 0x3FFFFFFF / 4) return qelErrLength;
            records.resize(records.size() * 4);
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

// One match: group 0 is the whole match; a group that took no part is a
// default (null) view and participated(k) is false.
class match {
public:
    match() = default;
    std::size_t size() const { return groups_.size(); }
    std::string_view operator[](std::size_t k) const {
        return k < groups_.size() && groups_[k].length >= 0
                   ? std::string_view(reinterpret_cast<const char*>(groups_[k].pointer), std::size_t(groups_[k].length))
                   : std::string_view();
    }
    bool participated(std::size_t k) const { return k < groups_.size() && groups_[k].length >= 0; }
    // Byte offset of group k within the subject, or npos.
    std::size_t position(std::size_t k, std::string_view subject) const {
        return participated(k) ? std::size_t(groups_[k].pointer - bytes(subject)) : std::string_view::npos;
    }

private:
    friend class regex;
    friend class pattern_set;
    std::vector<QelRegExpFind> groups_;
};

class regex {
public:
    regex() = default;
    // options: any of "i", "m", "s", "x" ("g" is managed by find_all/replace_all).
    explicit regex(const std::string& pattern, const std::string& options = "") : pattern_(pattern) {
        std::string plain;
        for (char c : options)
            if (c != 'g') plain += c;
        options_ = plain;
        status_ = qelsRegExpInitAlloc(pattern_.c_str(), options_.c_str(), &state_, &error_offset_);
    }
    ~regex() { release(); }
    regex(const regex&) = delete;
    regex& operator=(const regex&) = delete;
    regex(regex&& o) noexcept { take(o); }
    regex& operator=(regex&& o) noexcept {
        if (this != &o) {
            release();
            take(o);
        }
        return *this;
    }

    explicit operator bool() const { return status_ == qelOk; }
    QelStatus status() const { return status_; }
    int32_t error_offset() const { return error_offset_; }
    QelRegExpState* native() { return state_; }

    // Match-limit and subject format (1 = UTF-8, 0 = bytes) for every search.
    QelStatus set_match_limit(int32_t limit) {
        QelStatus st = state_ ? qelsRegExpSetMatchLimit(limit, state_) : qelErrNullPtr;
        if (st == qelOk) limit_ = limit;
        if (st == qelOk && global_) qelsRegExpSetMatchLimit(limit, global_);
        return st;
    }
    QelStatus set_format(int32_t format) {
        QelStatus st = state_ ? qelsRegExpSetFormat(format, state_) : qelErrNullPtr;
        if (st == qelOk) format_ = format;
        if (st == qelOk && global_) qelsRegExpSetFormat(format, global_);
        return st;
    }

    // The leftmost match, or an empty optional-like result (value.size() == 0).
    result<match> find(std::string_view subject) {
        if (!state_) return {status_ ? status_ : qelErrNullPtr, {}};
        if (!fits(subject.size())) return {qelErrLength, {}};
        // Room for every possible record: the count written back is then the
        // pattern's own number of records (whole match + groups).
        match m;
        m.groups_.resize(kMaxRecordsPerMatch);
        int32_t count = int32_t(kMaxRecordsPerMatch);
        QelStatus st = qelsRegExpFind_8u(bytes(subject) ? bytes(subject) : bytes(""), int32_t(subject.size()), state_,
                                         m.groups_.data(), &count);
        if (st < 0 || count < 1) m.groups_.clear();
        else m.groups_.resize(std::size_t(count));
        return {st, std::move(m)};
    }

    // Every match, left to right, each with its groups. The library's global
    // search reports the groups of each match without the whole match, so the
    // records come from a global replacement with an empty template, which
    // reports whole match and groups for every match in one pass.
    result<std::vector<match>> find_all(std::string_view subject) {
        result<match> first = find(subject);
        if (!first.ok() || first.value.size() == 0 || subject.empty()) {
            std::vector<match> one;
            if (first.ok() && first.value.size() > 0) one.push_back(std::move(first.value));
            return {first.status, std::move(one)};
        }
        const std::size_t per = first.value.size();
        QelRegExpState* g = global_state();
        if (!g) return {qelErrNullPtr, {}};
        alignas(16) unsigned char rs_mem[64];
        auto* rs = reinterpret_cast<QelRegExpReplaceState*>(rs_mem);
        qelsRegExpReplaceInit(nullptr, rs);
        std::string sink;
        std::vector<QelRegExpFind> recs;
        QelStatus st = replace_to_end(g, rs, subject, sink, recs);
        if (st < 0) return {st, {}};
        std::vector<match> out;
        for (std::size_t i = 0; i + per <= recs.size(); i += per) {
            match m;
            m.groups_.assign(recs.begin() + long(i), recs.begin() + long(i + per));
            out.push_back(std::move(m));
        }
        return {st, std::move(out)};
    }

    // Replaces the first match (or every match, with replace_all) by the
    // template: "$&" the whole match, "$n" capture n.
    result<std::string> replace(std::string_view subject, const std::string& tmpl) { return run_replace(subject, tmpl, state_); }
    result<std::string> replace_all(std::string_view subject, const std::string& tmpl) {
        return run_replace(subject, tmpl, global_state());
    }

private:
    QelRegExpState* global_state() {
        if (!state_) return nullptr;
        if (!global_) {
            int32_t off = 0;
            if (qelsRegExpInitAlloc(pattern_.c_str(), (options_ + "g").c_str(), &global_, &off) != qelOk) return nullptr;
            if (limit_ >= 0) qelsRegExpSetMatchLimit(limit_, global_);
            if (format_ >= 0) qelsRegExpSetFormat(format_, global_);
        }
        return global_;
    }

    result<std::string> run_replace(std::string_view subject, const std::string& tmpl, QelRegExpState* st) {
        if (!st) return {status_ ? status_ : qelErrNullPtr, {}};
        if (subject.empty()) return {qelOk, std::string()};
        if (!fits(subject.size())) return {qelErrLength, {}};
        int32_t rsize = 0;
        qelsRegExpReplaceGetSize(tmpl.c_str(), &rsize);
        std::vector<uint64_t> rstate_mem(static_cast<std::size_t>(rsize) / 8 + 1);
        auto* rs = reinterpret_cast<QelRegExpReplaceState*>(rstate_mem.data());
        QelStatus pst = qelsRegExpReplaceInit(tmpl.c_str(), rs);
        if (pst != qelOk) return {pst, {}};
        std::string out;
        std::vector<QelRegExpFind> recs;
        QelStatus s = replace_to_end(st, rs, subject, out, recs);
        if (s < 0) return {s, {}};
        return {s, std::move(out)};
    }

    void release() {
        if (state_) qelsRegExpFree(state_);
        if (global_) qelsRegExpFree(global_);
        state_ = global_ = nullptr;
    }
    void take(regex& o) {
        pattern_ = std::move(o.pattern_);
        options_ = std::move(o.options_);
        state_ = std::exchange(o.state_, nullptr);
        global_ = std::exchange(o.global_, nullptr);
        status_ = std::exchange(o.status_, qelErrNullPtr);  // a moved-from regex is empty
        error_offset_ = o.error_offset_;
        limit_ = o.limit_;
        format_ = o.format_;
    }

    std::string pattern_;
    std::string options_;
    QelRegExpState* state_ = nullptr;
    QelRegExpState* global_ = nullptr;  // compiled with "g" on first use
    QelStatus status_ = qelErrNullPtr;
    int32_t error_offset_ = 0;
    int32_t limit_ = -1;
    int32_t format_ = -1;
};

// A set of compiled regexes searched in one call (in parallel when large).
// The set refers to the regexes; they must outlive it and stay unmoved.
class pattern_set {
public:
    explicit pattern_set(uint32_t max_patterns) {
        status_ = qelsRegExpMultiInitAlloc(&set_, max_patterns);
        if (status_ == qelOk) max_ = max_patterns;
    }
    ~pattern_set() {
        if (set_) qelsRegExpMultiFree(set_);
    }
    pattern_set(const pattern_set&) = delete;
    pattern_set& operator=(const pattern_set&) = delete;
    explicit operator bool() const { return set_ != nullptr; }

    QelStatus add(regex& re, int32_t id) {
        if (!set_) return status_;
        return qelsRegExpMultiAdd(re.native(), id, set_);
    }
    QelStatus remove(int32_t id) { return set_ ? qelsRegExpMultiDelete(id, set_) : status_; }

    struct hit {
        int32_t id;
        QelStatus status;
        std::vector<match> matches;  // the leftmost match, when there is one
    };
    // One entry per searched slot, in slot order.
    result<std::vector<hit>> search(std::string_view subject, std::size_t records_per_slot = 1000) {
        if (!set_) return {status_, {}};
        if (!fits(subject.size())) return {qelErrLength, {}};
        std::vector<QelRegExpMultiFind> recs(max_);
        std::vector<std::vector<QelRegExpFind>> found(max_, std::vector<QelRegExpFind>(records_per_slot));
        for (uint32_t i = 0; i < max_; ++i) recs[i] = {0, 0, int32_t(records_per_slot), 0, found[i].data()};
        QelStatus st = qelsRegExpMultiFind_8u(bytes(subject) ? bytes(subject) : bytes(""), int32_t(subject.size()),
                                              recs.data(), set_);
        if (st != qelOk) return {st, {}};
        std::vector<hit> out;
        for (uint32_t i = 0; i < max_; ++i) {
            if (recs[i].searched != 1) continue;
            hit h{recs[i].identifier, recs[i].status, {}};
            if (recs[i].count > 0) {
                match m;
                m.groups_.assign(found[i].begin(), found[i].begin() + recs[i].count);
                h.matches.push_back(std::move(m));
            }
            out.push_back(std::move(h));
        }
        return {st, std::move(out)};
    }

private:
    QelRegExpMultiState* set_ = nullptr;
    QelStatus status_ = qelErrNullPtr;
    uint32_t max_ = 0;
};

}  // namespace qel

#endif
