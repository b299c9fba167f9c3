// Builds compiled states by hand, node by node, the way the compiler lays
// them out, so the matcher can be tested on exact node arrays. The state
// block ends exactly after the last node and against an inaccessible page,
// so a peek past the last node faults. String texts live in a separate
// buffer that the builder keeps alive.
#ifndef QELCH_TESTS_REGEX_MATCH_FIXTURE_H
#define QELCH_TESTS_REGEX_MATCH_FIXTURE_H

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "regex/match/match.h"
#include "support/guard.h"

namespace qeltest {

using namespace qel::re;

class Pat {
public:
    explicit Pat(uint32_t options = 0) : options_(options), current_(options) {}

    // ---- Single items. ----
    Pat& chr(uint8_t c) { return push(RE_CHAR, c); }
    Pat& str(const std::string& s) {
        texts_.push_back(std::make_shared<std::string>(s));
        RegExpNode n{RE_STRING, 0, int32_t(s.size()), 0, 0, 0};
        set_node_pointer(n, texts_.back()->data());
        nodes_.push_back(n);
        return *this;
    }
    Pat& predef(char letter) { return push(RE_PREDEF, letter); }
    Pat& any_byte() { return push(RE_BYTE); }
    Pat& uchar(int32_t cp) { return push(RE_UCHAR, cp); }
    Pat& uprop(int32_t category, int32_t negate = 0) { return push(RE_UPROP, category, negate); }
    Pat& urange(int32_t lo, int32_t hi, int32_t negate = 0) { return push(RE_URANGE, lo, hi, negate); }
    Pat& uranges(const std::vector<int32_t>& pairs, int32_t negate = 0) {
        pairs_.push_back(std::make_shared<std::vector<int32_t>>(pairs));
        RegExpNode n{RE_URANGES, 1, negate, int32_t(pairs.size() / 2), 0, 0};
        set_node_pointer(n, pairs_.back()->data());
        nodes_.push_back(n);
        return *this;
    }
    Pat& grapheme() { return push(RE_GRAPHEME); }
    Pat& anchor(int32_t letter) { return push(RE_ANCHOR, letter); }
    Pat& setopts(uint32_t opts) {
        current_ = opts;
        return push(RE_SETOPTS, int32_t(opts));
    }
    Pat& backref(int32_t n) { return push(RE_BACKREF, n); }

    // ---- Quantifiers on the item before. ----
    Pat& q(int32_t min, int32_t max, bool lazy = false) { return push(lazy ? RE_LAZY : RE_GREEDY, min, max); }
    Pat& star(bool lazy = false) { return q(0, RE_UNBOUNDED, lazy); }
    Pat& plus(bool lazy = false) { return q(1, RE_UNBOUNDED, lazy); }
    Pat& opt(bool lazy = false) { return q(0, 1, lazy); }

    // ---- Bracket class: cls(), members, end(). ----
    Pat& cls(bool negated = false) {
        classStart_ = int32_t(nodes_.size());
        return push(RE_CLASS, negated ? -1 : 0);
    }
    Pat& m_chr(uint8_t c, bool neg = false) { return push(RE_CHAR, c, 0, neg ? -1 : 0); }
    Pat& m_range(int32_t lo, int32_t hi, bool neg = false) { return push(RE_RANGE, lo, hi, neg ? -1 : 0); }
    Pat& m_predef(char letter, bool neg = false) { return push(RE_PREDEF, letter, 0, neg ? -1 : 0); }
    Pat& m_uchar(int32_t cp, bool neg = false) { return push(RE_UCHAR, cp, 0, neg ? -1 : 0); }
    Pat& m_grapheme(bool neg = false) { return push(RE_GRAPHEME, 0, 0, neg ? -1 : 0); }
    Pat& end() {
        nodes_[classStart_].w2 = int32_t(nodes_.size()) - classStart_ - 1;
        return *this;
    }

    // ---- Groups: open with one of these, close with close(). ----
    Pat& group() { return open(RE_GROUP, 0); }
    Pat& cap() { return open(RE_CAPTURE, captures_++); }
    Pat& atomic() { return open(RE_ATOMIC, 0); }
    Pat& ahead(bool negative = false) { return open(negative ? RE_NLOOKAHEAD : RE_LOOKAHEAD, 0); }
    // `chars`: the body's fixed length as the compiler counts it.
    Pat& behind(int32_t chars, bool negative = false) { return open(negative ? RE_NLOOKBEHIND : RE_LOOKBEHIND, chars); }
    Pat& opts_group(uint32_t inside) { return open(RE_GROUP_OPTS, int32_t(inside)); }
    Pat& cond() { return open(RE_COND, 0); }
    Pat& alt() {
        int32_t tag = 0;
        if (!open_.empty()) tag = nodes_[open_.back().node].w1;
        return push(RE_ALT_END, tag, int32_t(current_));
    }
    // w3 of the closing node (-1 for "(a*)*"-style groups).
    Pat& close(int32_t w3 = 0) {
        const Open o = open_.back();
        open_.pop_back();
        nodes_[o.node].w2 = int32_t(nodes_.size()) - o.node - 1;
        push(RE_CLOSE, nodes_[o.node].w1, int32_t(o.before), w3);
        current_ = o.before;
        return *this;
    }
    Pat& raw(const RegExpNode& n) {
        nodes_.push_back(n);
        return *this;
    }

    int32_t node_count() const { return int32_t(nodes_.size()); }
    int32_t capture_count() const { return captures_; }
    uint32_t options() const { return options_; }
    const std::vector<RegExpNode>& nodes() const { return nodes_; }

private:
    struct Open {
        int32_t node;
        uint32_t before;
        uint32_t inside;
    };
    Pat& push(uint32_t kind, int32_t w1 = 0, int32_t w2 = 0, int32_t w3 = 0) {
        nodes_.push_back({kind, w1, w2, w3, 0, 0});
        return *this;
    }
    Pat& open(uint32_t kind, int32_t extra) {
        const int32_t index = ++groups_;
        const bool negated = kind == RE_ATOMIC || kind == RE_LOOKAHEAD || kind == RE_NLOOKAHEAD ||
                             kind == RE_LOOKBEHIND || kind == RE_NLOOKBEHIND;
        RegExpNode n{kind, negated ? -index : index, 0, 0, 0, 0};
        uint32_t inside = current_;
        if (kind == RE_CAPTURE) n.w3 = extra;
        if (kind == RE_LOOKBEHIND || kind == RE_NLOOKBEHIND) n.w3 = extra;
        if (kind == RE_GROUP_OPTS) {
            n.w3 = extra;
            inside = uint32_t(extra);
        }
        open_.push_back({int32_t(nodes_.size()), current_, inside});
        current_ = inside;
        nodes_.push_back(n);
        return *this;
    }

    uint32_t options_;
    uint32_t current_;
    std::vector<RegExpNode> nodes_;
    std::vector<Open> open_;
    std::vector<std::shared_ptr<std::string>> texts_;  // shared: copies of a Pat point at the same texts
    std::vector<std::shared_ptr<std::vector<int32_t>>> pairs_;
    int32_t classStart_ = 0;
    int32_t groups_ = 0;
    int32_t captures_ = 1;
};

// A compiled state for `p`, in a block that ends right after the last node.
class BuiltState {
public:
    explicit BuiltState(const Pat& p, int32_t matchLimit = kDefaultMatchLimit, int32_t format = 1)
        : size_(size_t(kNodeArrayOffset) + sizeof(RegExpNode) * p.nodes().size()), region_(size_) {
        uint8_t* block = region_.tail<uint8_t>(size_);
        std::memset(block, 0, size_);
        state_ = reinterpret_cast<QelRegExpState*>(block);
        StateHeader* h = header(state_);
        h->identifier = kStateIdentifier;
        h->options = p.options();
        h->nodeCount = p.node_count();
        h->captureCount = p.capture_count();
        h->prefilterNode = -1;
        h->matchLimit = matchLimit;
        h->format = format;
        h->searchMode = 0;
        if (!p.nodes().empty()) std::memcpy(node_array(state_), p.nodes().data(), sizeof(RegExpNode) * p.nodes().size());
    }
    QelRegExpState* state() { return state_; }

private:
    size_t size_;
    GuardedRegion region_;
    QelRegExpState* state_;
};

}  // namespace qeltest

#endif
