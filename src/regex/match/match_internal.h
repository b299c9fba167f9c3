// Shared pieces of the backtracking matcher: character reading, the byte and
// code-point tests of single items, the stack guard, and the construct
// routines that the match step hands repeats, groups and look-around to.
//
// Invariants every routine keeps:
//  - A node is read only at an index below ms.endNode, which never exceeds the
//    node count. A state compiled into a block of exactly its reported size
//    ends right after its last node, so "peek at the next node" always checks
//    the index first.
//  - Record 0's length counts the bytes consumed on the current path: a
//    routine adds what it takes before calling the continuation and, when it
//    fails, leaves the length as it found it.
//  - Native recursion goes through RegExpMatchAt (which spends budget and
//    checks the stack) or through a routine that checks the stack itself; the
//    per-character and per-pass loops of repeats never recurse.
#ifndef QELCH_REGEX_MATCH_MATCH_INTERNAL_H
#define QELCH_REGEX_MATCH_MATCH_INTERNAL_H

#include <cstdint>

#include "regex/match/match.h"

namespace qel::re {

// ---- UTF-8 reading: invalid or overlong sequences, stray continuation bytes
// and sequences cut off by the end count as one character of length 1 whose
// value is the byte. ----
struct Utf8Char {
    uint32_t value;
    int32_t length;
    bool valid;
};

inline Utf8Char read_utf8(const uint8_t* p, int32_t remaining) {
    const uint8_t b = p[0];
    if (b < 0x80) return {b, 1, true};
    const int ones = __builtin_clz(~(uint32_t(b) << 24));
    if (ones < 2 || ones > 6 || ones > remaining) return {b, 1, false};
    static constexpr uint8_t kLeadMask[7] = {0, 0, 0x1F, 0x0F, 0x07, 0x03, 0x01};
    static constexpr uint32_t kMaxShorter[7] = {0, 0, 0x7F, 0x7FF, 0xFFFF, 0x1FFFFF, 0x3FFFFFF};
    uint32_t v = b & kLeadMask[ones];
    for (int i = 1; i < ones; ++i) {
        const uint8_t c = p[i];
        if ((c & 0xC0) != 0x80) return {b, 1, false};
        v = (v << 6) | (c & 0x3F);
    }
    if (v <= kMaxShorter[ones]) return {b, 1, false};
    return {v, ones, true};
}

// Length of the character that ends at `end` in the segmentation that reading
// forward from `origin` produces. A lead byte is never part of another valid
// sequence, so forward reading visits every lead byte; the last character is
// therefore the valid sequence that starts within six bytes and ends exactly
// at `end`, or else the single byte before `end`.
inline int32_t prev_char_length(const uint8_t* origin, const uint8_t* end) {
    const uint8_t last = end[-1];
    if (last < 0x80 || (last & 0xC0) != 0x80) return 1;
    const int32_t room = int32_t(end - origin);
    const int32_t span = room < 6 ? room : 6;
    for (int32_t k = 2; k <= span; ++k) {
        const uint8_t lead = end[-k];
        if ((lead & 0xC0) == 0x80) continue;
        if (lead < 0xC0) return 1;
        const Utf8Char ch = read_utf8(end - k, k);
        return (ch.valid && ch.length == k) ? k : 1;
    }
    return 1;
}

// ---- Byte tests. ----
inline bool is_ascii_letter(uint8_t b) { return uint8_t((b | 0x20) - 'a') < 26; }
inline bool is_word_byte(uint8_t b) {
    return is_ascii_letter(b) || uint8_t(b - '0') < 10 || b == '_';
}
// RE_CHAR comparison: under ignore-case an ASCII letter also matches its other case.
inline bool char_equal(uint8_t subject, uint8_t pattern, uint32_t options) {
    if (subject == pattern) return true;
    return (options & RE_OPT_IGNORECASE) && is_ascii_letter(subject) && (subject ^ pattern) == 0x20;
}
bool predef_test(int32_t letter, uint8_t b, uint32_t options);

// ---- Code-point tests (RE_UCHAR, RE_UPROP, RE_URANGE, RE_URANGES). ----
bool codepoint_item_test(const RegExpNode& n, const Utf8Char& ch, uint32_t options);
// Bytes of the extended character at p, 0 when none starts there.
int32_t grapheme_length(const uint8_t* p, int32_t remaining);
// Bytes of the last cluster of a run of clusters that started at `origin`.
int32_t prev_grapheme_length(const uint8_t* origin, const uint8_t* end);
// Bracket class at `cls`: bytes the class consumes at p, 0 when it rejects.
int32_t class_unit_length(const RegExpNode* nodes, int32_t cls, const uint8_t* p, int32_t remaining,
                          uint32_t options);
bool class_has_grapheme_member(const RegExpNode* nodes, int32_t cls);

// ---- ASCII run scanning for the hot greedy loops. ----
// Bit h of lo[l] is set when the byte (h << 4 | l) is in the set (h < 8).
struct AsciiSet {
    uint8_t lo[16];
};
inline void ascii_set_add(AsciiSet& s, uint8_t b) { s.lo[b & 15] |= uint8_t(1u << (b >> 4)); }
inline bool ascii_set_has(const AsciiSet& s, uint8_t b) { return b < 0x80 && (s.lo[b & 15] >> (b >> 4)) & 1; }
// Facts about single items worked out by the compiler (search plan), sorted
// by node index:
// - a bracket class's ASCII set, valid while the option bits in
//   kClassOptionMask equal `options`; only classes without a "\X" member get
//   one, since for them an ASCII byte is a character of its own, accepted
//   exactly when it is in the set;
// - a greedy repeat that never gains by giving back: every byte that can
//   begin a copy of the item is one that cannot begin what follows, so the
//   continuation, which then starts on such a byte, fails after any give-back
//   ("\w+\s", "\s+\(");
// - an optional greedy group (RE_GROUP or RE_CAPTURE, minimum 0) with one
//   way through that begins with an unrepeated RE_CHAR, `groupByte`
//   ("(?:\\.[^"]*)*"): see optional_group_at;
// - a greedy unbounded group (RE_GROUP or RE_CAPTURE) whose passes have one
//   way through and never give back, taken in a loop: see loop_group;
// - a greedy repeat whose continuation closes groups and then needs the
//   ASCII byte `followByte` (close_follow_items): it gives back only to
//   where that byte stands.
constexpr uint32_t kClassOptionMask = RE_OPT_IGNORECASE | RE_OPT_DOTALL;
struct __attribute__((packed)) PlannedItem {
    int32_t node;
    uint32_t options;
    AsciiSet set;
    uint8_t hasSet;
    uint8_t noGiveBack;
    uint8_t optionalGroup;
    uint8_t groupByte;
    uint8_t loopGroup;
    uint8_t closeFollow;
    uint8_t followByte;
};
inline const PlannedItem* planned_item(const RegExpMatchState& ms, int32_t node) {
    for (int32_t i = 0; i < ms.plannedCount; ++i) {
        const PlannedItem& e = ms.planned[i];
        if (e.node == node) return &e;
        if (e.node > node) break;
    }
    return nullptr;
}
// The compiled set of the class at `cls` under the current options, or null.
inline const AsciiSet* planned_class_set(const RegExpMatchState& ms, int32_t cls) {
    const PlannedItem* e = planned_item(ms, cls);
    return e != nullptr && e->hasSet && e->options == (ms.options & kClassOptionMask) ? &e->set : nullptr;
}
inline bool planned_no_give_back(const RegExpMatchState& ms, int32_t item) {
    const PlannedItem* e = planned_item(ms, item);
    return e != nullptr && e->noGiveBack;
}
// The ASCII bytes a bracket class accepts as one-byte characters.
void class_ascii_set(const RegExpNode* nodes, int32_t cls, uint32_t options, AsciiSet& out);
// Length of the leading run of p[0..n) whose bytes are all in the set.
int64_t ascii_run(const uint8_t* p, int64_t n, const AsciiSet& s);
// Length of the leading run of p[0..n) equal to c (folded when `fold`).
int64_t byte_run(const uint8_t* p, int64_t n, uint8_t c, bool fold);

// ---- Cuts: the nesting budget, the stack guard and the work budget. ----
// Fails the current path and marks the search as cut: the work budget is
// emptied, so every later step fails at once and the search unwinds.
inline int cut_path(RegExpMatchState& ms) {
    ms.cut = 1;
    ms.workLeft = -1;
    return 1;
}
// Charges `n` units of work to a loop that runs without a nested step; true
// when the work budget is spent (the path is then cut).
inline bool out_of_work(RegExpMatchState& ms, int64_t n = 1) {
    ms.workLeft -= n;
    if (__builtin_expect(ms.workLeft >= 0, 1)) return false;
    cut_path(ms);
    return true;
}

// ---- Stack guard. ----
// Fails the path when the frame is below the guard line (measuring the real
// stack bounds the first time the line is crossed).
bool stack_exhausted_slow(RegExpMatchState& ms);
inline bool stack_exhausted(RegExpMatchState& ms) {
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (__builtin_expect(here >= ms.stackGuardLine && ms.stackGuardLine != 0, 1)) return false;
    return stack_exhausted_slow(ms);
}

// ---- Quantifier helpers. ----
inline bool is_quantifier(uint32_t kind) { return kind == RE_GREEDY || kind == RE_LAZY; }
// The quantifier standing at index q, or null (index checked against the end node).
inline const RegExpNode* quantifier_at(const RegExpMatchState& ms, int32_t q) {
    if (q < 0 || q >= ms.endNode) return nullptr;
    const RegExpNode* n = &ms.nodes[q];
    return is_quantifier(n->w0) ? n : nullptr;
}

// ---- Construct routines (0 success, 1 failure). ms.currentNode is the item. ----
int match_repeat(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t item, int32_t quant);
int match_class_single(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t cls);
int match_group_entry(const uint8_t* p, int32_t r, RegExpMatchState& ms);
// A group at `open` that a path may pass over without entering wherever its
// first byte does not stand: `after` is the node after it (-1: not such a
// group, or no plan), `closeOpts` the options there.
struct OptionalGroup {
    int32_t after;
    uint8_t byte;
    uint32_t closeOpts;
    // Whether a pass can begin at p under the options in force at the group.
    bool may_enter(const uint8_t* p, const uint8_t* end, uint32_t options) const {
        return p < end && char_equal(*p, byte, options);
    }
};
// An optional greedy group whose one way through begins with a byte
// ("(?:\\.[^"\\]*)*"), as the plan marks it: where that byte does not
// stand, its first pass fails at once, so the path is the one the general
// routine takes next, the continuation after the group. Nothing there reads
// the group's slot (re-entering the group sets it anew). Without a plan
// (the general path) no group is marked.
// `e` is the plan's entry for node o, or null.
inline OptionalGroup optional_group_of(const RegExpMatchState& ms, int32_t o, const PlannedItem* e) {
    if (e == nullptr || !e->optionalGroup) return {-1, 0, 0};
    // The plan checked the shape over the whole pattern; a sub-match that
    // ends inside the group (none can) would not see its closing node.
    const int64_t close = int64_t(o) + ms.nodes[o].w2 + 1;
    if (close + 1 >= ms.endNode) return {-1, 0, 0};
    return {int32_t(close + 2), e->groupByte, uint32_t(ms.nodes[close].w2)};
}
inline OptionalGroup optional_group_at(const RegExpMatchState& ms, int32_t o) {
    return optional_group_of(ms, o, planned_item(ms, o));
}

int match_group_close(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t close);
int match_atomic(const uint8_t* p, int32_t r, RegExpMatchState& ms);
int match_lookahead(const uint8_t* p, int32_t r, RegExpMatchState& ms);
int match_lookbehind(const uint8_t* p, int32_t r, RegExpMatchState& ms);
int match_backref(const uint8_t* p, int32_t r, RegExpMatchState& ms);

// Calls the match step at `node` with the given options in force.
inline int continue_at(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t node, uint32_t options) {
    ms.currentNode = node;
    ms.options = options;
    return RegExpMatchAt(p, r, ms);
}

}  // namespace qel::re

#endif
