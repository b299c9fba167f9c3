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
    friend class pattern_set;  // searches the "g" state in its own set
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
