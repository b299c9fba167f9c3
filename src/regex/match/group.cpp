// Groups, alternatives inside groups, quantified groups, conditionals, atomic
// groups, look-ahead, look-behind and back-references.
//
// Plain groups run in line: the closing node counts the pass and decides
// whether to run the body again or to go on after the group. Whatever a frame
// changes (slot counts, capture records) it puts back before it reports
// failure, so on every backtrack the counts and captures are exactly those of
// the path being resumed.
//
// A group can be entered again while an earlier activation of it is still on
// the native stack (an outer repeat reaches its opening node from the
// continuation after it). Entry therefore keeps a copy of the slot it
// overwrites and puts it back when it fails, so the earlier activation finds
// its own counts when control returns to it.
//
// Atomic groups and look-around run their body as a sub-match: the end node
// is lowered to the group's closing node, and reaching it (or an RE_ALT_END
// with a non-positive index) ends the sub-match with success. The reject-empty
// rule concerns the whole match only, so it is suspended inside sub-matches.
#include <cstring>

#include "regex/match/match_internal.h"

namespace qel::re {
namespace {

// The slot's pass marks (see RegExpGroupSlot).
constexpr uint32_t kPassClosed = 1;
constexpr uint32_t empty_mark(int32_t r) { return (uint32_t(r) + 1) << 1; }

struct GroupShape {
    int32_t open;
    int32_t close;
    int32_t after;  // node after the closing node and its quantifier
    int32_t min;
    int32_t max;
    bool lazy;
};

bool group_shape(const RegExpMatchState& ms, int32_t o, GroupShape& s) {
    const RegExpNode& n = ms.nodes[o];
    if (n.w2 < 0) return false;
    const int64_t c = int64_t(o) + n.w2 + 1;
    if (c >= ms.endNode || ms.nodes[c].w0 != RE_CLOSE) return false;
    s.open = o;
    s.close = int32_t(c);
    if (const RegExpNode* q = quantifier_at(ms, s.close + 1)) {
        s.min = q->w1;
        s.max = q->w2;
        s.lazy = q->w0 == RE_LAZY;
        s.after = s.close + 2;
    } else {
        s.min = 1;
        s.max = 1;
        s.lazy = false;
        s.after = s.close + 1;
    }
    return true;
}

// The next RE_ALT_END carrying `tag` in [from, close), or -1.
int32_t next_alternative(const RegExpMatchState& ms, int32_t from, int32_t close, int32_t tag) {
    for (int32_t i = from; i < close; ++i)
        if (ms.nodes[i].w0 == RE_ALT_END && ms.nodes[i].w1 == tag) return i;
    return -1;
}

bool capture_is_set(const RegExpMatchState& ms, int32_t k) {
    return k >= 1 && k < ms.captureCount && k < kMaxCaptureRecords && ms.captures[k].length >= 0 &&
           ms.captures[k].pointer != nullptr;
}

int32_t capture_number(const RegExpMatchState& ms, int32_t open) {
    const RegExpNode& n = ms.nodes[open];
    if (n.w0 != RE_CAPTURE || n.w3 < 1 || n.w3 >= kMaxCaptureRecords) return 0;
    return n.w3;
}

bool is_lookaround(uint32_t kind) {
    return kind == RE_LOOKAHEAD || kind == RE_NLOOKAHEAD || kind == RE_LOOKBEHIND || kind == RE_NLOOKBEHIND;
}

// Runs nodes [start, ...) as a sub-match ending at `end`; 0 on success.
// Record 0's length, the end node and the reject-empty flag are put back by
// the caller through SubMatch's destructor.
struct SubMatch {
    RegExpMatchState& ms;
    int32_t endNode;
    uint32_t rejectEmpty;
    int32_t length0;
    SubMatch(RegExpMatchState& m, int32_t end)
        : ms(m), endNode(m.endNode), rejectEmpty(m.rejectEmpty), length0(m.captures[0].length) {
        ms.endNode = end;
        ms.rejectEmpty = 0;
    }
    void leave() {
        ms.endNode = endNode;
        ms.rejectEmpty = rejectEmpty;
    }
};

// Tries the body alternatives of the group opened at `open` (closing node
// `close`, alternatives tagged `tag`) as a sub-match at p. Returns true on
// success with *opts the options the successful alternative began with.
bool run_body_alternatives(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t open, int32_t close,
                           int32_t tag, uint32_t* opts) {
    int32_t start = open + 1;
    uint32_t o = *opts;
    for (;;) {
        if (continue_at(p, r, ms, start, o) == 0) {
            *opts = o;
            return true;
        }
        const int32_t j = next_alternative(ms, start, close, tag);
        if (j < 0) return false;
        o = uint32_t(ms.nodes[j].w2);
        start = j + 1;
    }
}

// Every routine here that changes a slot or a capture record puts it back
// before it reports failure, so a failed path leaves the group and capture
// tables exactly as it found them, whatever nesting of groups, atomic groups
// and look-arounds lies between. A pass counted at a closing node is thereby
// uncounted by the same frame when the path after it fails.

// Keeps capture records [lo, hi) while `body` runs and puts them back when it
// fails. Used where a sub-match (atomic group, look-around) has succeeded and
// returned, so the frames that set its captures are gone: the caller must
// undo them itself when the path after the sub-match fails. Records are kept
// a few at a time per frame so that a body with many captures nests instead
// of needing one large frame.
constexpr int32_t kCaptureChunk = 8;

template <class Body>
int with_captures_kept(RegExpMatchState& ms, int32_t lo, int32_t hi, Body&& body) {
    if (lo >= hi) return body();
    if (stack_exhausted(ms)) return cut_path(ms);
    CaptureRecord kept[kCaptureChunk];
    const int32_t n = hi - lo < kCaptureChunk ? hi - lo : kCaptureChunk;
    std::memcpy(kept, &ms.captures[lo], sizeof(CaptureRecord) * size_t(n));
    const int res = with_captures_kept(ms, lo + n, hi, body);
    if (res != 0) std::memcpy(&ms.captures[lo], kept, sizeof(CaptureRecord) * size_t(n));
    return res;
}

// The capture numbers set inside nodes (open, close): [lo, hi), empty when
// the body holds no capturing group. Capture numbers grow with node index.
void body_captures(const RegExpMatchState& ms, int32_t open, int32_t close, int32_t* lo, int32_t* hi) {
    *lo = *hi = 0;
    for (int32_t i = open + 1; i < close; ++i) {
        const RegExpNode& n = ms.nodes[i];
        if (n.w0 != RE_CAPTURE || n.w3 < 1 || n.w3 >= kMaxCaptureRecords || n.w3 >= ms.captureCount) continue;
        if (*lo == 0) *lo = n.w3;
        *hi = n.w3 + 1;
    }
}

// Starts one pass of group g at `start` (mark the pass start, match the body
// and whatever follows). 0 when the whole rest matched.
inline int start_pass(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t g, int32_t start, uint32_t opts) {
    RegExpGroupSlot& slot = ms.groups[g];
    slot.inPass = 1;
    slot.passStartLeft = r;
    // Record 0's length is put back from a copy, not worked out from the
    // position: inside a look-behind the body runs left of record 0's start.
    const int32_t len0 = ms.captures[0].length;
    const int res = continue_at(p, r, ms, start, opts);
    if (res != 0) ms.captures[0].length = len0;
    return res;
}

// One pass of a conditional group: evaluate the condition, run the chosen
// branch. Captures a look-around condition sets are kept only while the
// path after it lives.
int conditional_pass(const uint8_t* p, int32_t r, RegExpMatchState& ms, const GroupShape& s, int32_t g,
                     uint32_t opts) {
    const int32_t first = s.open + 1;
    if (first >= s.close) return 1;
    const RegExpNode& cond = ms.nodes[first];
    auto branch = [&](bool truth, int32_t yes) {
        if (truth) return start_pass(p, r, ms, g, yes, opts);
        const int32_t j = next_alternative(ms, yes, s.close, g);
        // Without a no-branch the pass is empty and leaves the group.
        if (j < 0) return start_pass(p, r, ms, g, s.close, opts);
        return start_pass(p, r, ms, g, j + 1, uint32_t(ms.nodes[j].w2));
    };
    if (cond.w0 == RE_BACKREF) return branch(capture_is_set(ms, cond.w1), first + 1);
    if (!is_lookaround(cond.w0) || cond.w2 < 0 || int64_t(first) + cond.w2 + 1 >= s.close) return 1;
    const int32_t lookClose = first + cond.w2 + 1;
    int32_t lo, hi;
    body_captures(ms, first, lookClose, &lo, &hi);
    return with_captures_kept(ms, lo, hi, [&] {
        SubMatch sub(ms, lookClose + 1);
        const bool truth = continue_at(p, r, ms, first, opts) == 0;
        sub.leave();
        ms.captures[0].length = sub.length0;
        return branch(truth, lookClose + 1);
    });
}

// One round of passes through the body of group g at p: every alternative in
// turn, or the chosen branch of a conditional. 0 when a pass led to a match
// of the whole rest, 1 when no alternative is left.
int run_passes(const uint8_t* p, int32_t r, RegExpMatchState& ms, const GroupShape& s, int32_t g, uint32_t opts) {
    ms.groups[g].passMarks &= ~kPassClosed;
    if (ms.nodes[s.open].w0 == RE_COND) return conditional_pass(p, r, ms, s, g, opts);
    int32_t start = s.open + 1;
    for (;;) {
        if (start_pass(p, r, ms, g, start, opts) == 0) return 0;
        const int32_t j = next_alternative(ms, start, s.close, g);
        if (j < 0) return 1;
        opts = uint32_t(ms.nodes[j].w2);
        start = j + 1;
    }
}

// The choice a repeated group makes with the passes counted so far: a greedy
// group tries another pass before leaving, a lazy one leaves first.
int repeat_or_leave(const uint8_t* p, int32_t r, RegExpMatchState& ms, const GroupShape& s, int32_t g) {
    RegExpGroupSlot& slot = ms.groups[g];
    const RegExpNode& open = ms.nodes[s.open];
    const uint32_t closeOpts = uint32_t(ms.nodes[s.close].w2);
    // Another pass starts with the options of the group's start, whatever an
    // inline option change inside the last pass left in force.
    const uint32_t bodyOpts = open.w0 == RE_GROUP_OPTS ? uint32_t(open.w3) : closeOpts;
    if (s.lazy) {
        if (slot.minLeft <= 0 && continue_at(p, r, ms, s.after, closeOpts) == 0) return 0;
        if (slot.maxLeft <= 0) return 1;
        return run_passes(p, r, ms, s, g, bodyOpts);
    }
    if (slot.maxLeft > 0 && run_passes(p, r, ms, s, g, bodyOpts) == 0) return 0;
    if (slot.minLeft > 0) return 1;
    return continue_at(p, r, ms, s.after, closeOpts);
}

// True when every pass of the group that starts at the same position tries
// the same ways through the body in the same order, and every empty pass
// leaves the same state behind: nothing in the body looks at a capture (a
// back-reference or a condition) or sets one. Captures are the only state a
// pass leaves for the next one and for what follows the group; with one in
// the body, two empty ways can differ ("(?:|(a?)|b){3}\1c": the second
// empty way sets capture 1, which the first does not). Class members are
// passed over.
bool passes_repeat_alike(const RegExpMatchState& ms, const GroupShape& s) {
    if (ms.nodes[s.open].w0 == RE_COND) return false;
    for (int32_t i = s.open + 1; i < s.close; ++i) {
        const RegExpNode& n = ms.nodes[i];
        if (n.w0 == RE_BACKREF || n.w0 == RE_COND || n.w0 == RE_CAPTURE) return false;
        if (n.w0 == RE_CLASS && n.w2 > 0) i += n.w2;
    }
    return true;
}

// A pass below the minimum closed empty at p, and it was the first way
// through the body that reached the closing node. Each further pass from p
// would again take that empty way first, so the plain recursion nests one
// level per missing pass (thousands for "(?:a?){5000}") and tries, deepest
// level first: the continuation once the minimum is reached, then the other
// ways through the body with 0, 1, 2, ... passes still required after them.
// This loop tries the same things in the same order without the nesting:
// level k is a pass from p with k - 1 passes required after it, and an empty
// pass at p inside it stands for level k - 1, which has already failed, so it
// fails at once (the slot's pass marks hold the position for the closing
// step). The pass counts of level k are those the k-th deepest level of the
// recursion has.
int empty_passes_below_minimum(const uint8_t* p, int32_t r, RegExpMatchState& ms, const GroupShape& s, int32_t g) {
    RegExpGroupSlot& slot = ms.groups[g];
    const int32_t minLeft = slot.minLeft, maxLeft = slot.maxLeft;
    // Every frame below keeps and puts back the whole slot, so the mark stays
    // for the levels; the closing step that called this puts the slot back.
    slot.passMarks = empty_mark(r);
    int res = 1;
    for (int32_t k = 1; k <= minLeft && res != 0 && !ms.cut; ++k) {
        slot.minLeft = k;
        slot.maxLeft = maxLeft - minLeft + k;
        res = repeat_or_leave(p, r, ms, s, g);
    }
    return res;
}

// Bytes one unrepeated item of a looping group's body takes at x (0: it
// fails), as the match step would take them under `opts`. The plan admits
// only these kinds, each of which takes at least one byte.
int32_t loop_item_length(const uint8_t* x, int32_t r, const RegExpMatchState& ms, int32_t i, uint32_t opts) {
    if (r == 0) return 0;
    const RegExpNode& n = ms.nodes[i];
    switch (n.w0) {
        case RE_CHAR:
            return n.w1 >= 0 && n.w1 < 256 && char_equal(x[0], uint8_t(n.w1), opts) ? 1 : 0;
        case RE_PREDEF:
            return predef_test(n.w1, x[0], opts) ? read_utf8(x, r).length : 0;
        case RE_CLASS: {
            const AsciiSet* ascii = x[0] < 0x80 ? planned_class_set(ms, i) : nullptr;
            return ascii != nullptr ? (ascii_set_has(*ascii, x[0]) ? 1 : 0) : class_unit_length(ms.nodes, i, x, r, opts);
        }
        default:
            return 0;
    }
}

// One pass of a looping group at q: the bytes its first alternative whose
// items all match in turn takes (0: none matches), and the match steps the
// general routine spends on it: one per item tried and, after a match, one
// for the bar or closing node. `depth` is how deep those steps nest below
// the pass's start: the matched items and the step after them, or for no
// match the items the one alternative that got past its first item matched
// and the step that failed.
struct LoopPass {
    int32_t length;
    int32_t steps;
    int32_t depth;
};

LoopPass loop_pass(const uint8_t* q, int32_t r, const RegExpMatchState& ms, const GroupShape& s, int32_t g,
                   uint32_t opts) {
    const auto isBar = [&](int32_t i) { return ms.nodes[i].w0 == RE_ALT_END && ms.nodes[i].w1 == g; };
    const auto next = [&](int32_t i) { return i + (ms.nodes[i].w0 == RE_CLASS ? ms.nodes[i].w2 + 1 : 1); };
    LoopPass out{0, 0, 1};
    int32_t i = s.open + 1;
    for (;;) {
        int32_t taken = 0, items = 0;
        bool matched = true;
        for (; i < s.close && !isBar(i); i = next(i)) {
            const int32_t len = loop_item_length(q + taken, r - taken, ms, i, opts);
            ++out.steps;
            if (len == 0) {
                matched = false;
                break;
            }
            taken += len;
            ++items;
        }
        if (matched) {
            out.length = taken;
            out.steps += 1;
            out.depth = items + 1;
            return out;
        }
        if (items + 1 > out.depth) out.depth = items + 1;
        while (i < s.close && !isBar(i)) i = next(i);
        if (i >= s.close) return out;
        ++i;  // past the bar, to the next alternative
    }
}

// A looping group, as the plan marks it: greedy, unbounded, each alternative
// of its body a row of unrepeated one-character items, no two alternatives
// able to begin with the same byte, and none able to begin with a byte that
// can begin what follows the group ("\"([^\"\\\\]|\\\\.)*\""). A pass then has
// at most one way through, and a give-back leaves the continuation facing
// the first byte of a pass, where it fails: the general routine's first
// success, if any, is the continuation after the longest row of passes. The
// passes are taken in a loop instead of one nesting of the match step (and
// some 900 bytes of stack) each; the capture holds the last pass, as the
// closing step would have set it. The nesting budget is kept as the general
// routine spends it: it would cut the path where its steps for the row
// nest deeper than the budget allows, and the continuation runs with what
// the row leaves of it. The work budget is charged for the steps the row
// takes.
int loop_group(const uint8_t* p, int32_t r, RegExpMatchState& ms, const GroupShape& s, int32_t g) {
    const uint32_t opts = ms.options;
    const int32_t budget = ms.budget;
    const uint8_t* const end = p + r;
    const uint8_t* q = p;
    const uint8_t* last = nullptr;
    int64_t passes = 0;
    int64_t depth = 0;  // the steps of the passes so far nest this deep
    for (;;) {
        const LoopPass pass = loop_pass(q, int32_t(end - q), ms, s, g, opts);
        if (depth + pass.depth > budget || out_of_work(ms, pass.steps)) return cut_path(ms);
        if (pass.length == 0) break;
        depth += pass.depth;
        last = q;
        q += pass.length;
        ++passes;
    }
    if (passes < s.min) return 1;
    const int32_t cap = capture_number(ms, s.open);
    const CaptureRecord capBefore = cap ? ms.captures[cap] : CaptureRecord{};
    if (cap && last != nullptr) ms.captures[cap] = {last, int32_t(q - last), 0};
    const int32_t len0 = ms.captures[0].length;
    ms.captures[0].length = len0 + int32_t(q - p);
    ms.budget = int32_t(budget - depth);
    const int res = continue_at(q, int32_t(end - q), ms, s.after, opts);
    ms.budget = budget;
    if (res != 0) {
        ms.captures[0].length = len0;
        if (cap) ms.captures[cap] = capBefore;
        // The give-backs' continuation attempts, each failing at its first step.
        if (!ms.cut && out_of_work(ms, passes - s.min > 0 ? passes - s.min : 0)) return cut_path(ms);
    }
    return res;
}

}  // namespace

int match_group_entry(const uint8_t* p, int32_t r, RegExpMatchState& ms) {
    const int32_t o = ms.currentNode;
    const RegExpNode& n = ms.nodes[o];
    const int32_t g = n.w1;
    GroupShape s;
    if (g < 1 || g > kMaxGroups || !group_shape(ms, o, s)) return 1;
    const uint32_t closeOpts = uint32_t(ms.nodes[s.close].w2);
    // A group repeated zero times is passed over with the options of its
    // surroundings, not those it would set inside.
    if (s.min == 0 && s.max == 0) return continue_at(p, r, ms, s.after, closeOpts);
    // The plan's entry for the group, looked up once for both of its marks.
    const PlannedItem* e = ms.plannedCount > 0 ? planned_item(ms, o) : nullptr;
    if (e != nullptr) {
        const OptionalGroup og = optional_group_of(ms, o, e);
        if (og.after >= 0 && !og.may_enter(p, p + r, ms.options)) return continue_at(p, r, ms, s.after, closeOpts);
    }
    if (stack_exhausted(ms)) return cut_path(ms);
    if (e != nullptr) {
        // The plan checked that the body's options are those after the
        // group; a path that reaches it under others takes the general way.
        if (e->loopGroup && n.w0 != RE_GROUP_OPTS && !s.lazy && s.max == RE_UNBOUNDED &&
            ms.options == closeOpts)
            return loop_group(p, r, ms, s, g);
    }

    // The group may be entered again while an earlier activation of it is
    // still on the native stack (an outer repeat reaches its opening node from
    // the continuation after it); that activation gets its slot back when
    // this one fails. The capture record is left alone: a group is unset
    // until its first pass closes, and a back-reference inside a later pass
    // sees the pass before.
    RegExpGroupSlot& slot = ms.groups[g];
    const RegExpGroupSlot outer = slot;
    slot = {s.min, s.max, o, r, capture_number(ms, o), 0, 0, 0};
    if (n.w0 == RE_GROUP_OPTS) ms.options = uint32_t(n.w3);
    const uint32_t bodyOpts = n.w0 == RE_GROUP_OPTS ? uint32_t(n.w3) : ms.options;
    int res;
    if (s.lazy) {
        res = 1;
        if (s.min <= 0) res = continue_at(p, r, ms, s.after, closeOpts);
        if (res != 0) res = run_passes(p, r, ms, s, g, bodyOpts);
    } else {
        res = run_passes(p, r, ms, s, g, bodyOpts);
        if (res != 0 && s.min <= 0) res = continue_at(p, r, ms, s.after, closeOpts);
    }
    if (res != 0) slot = outer;
    return res;
}

int match_group_close(const uint8_t* p, int32_t r, RegExpMatchState& ms, int32_t c) {
    const RegExpNode& cn = ms.nodes[c];
    const int32_t g = cn.w1;
    if (g < 1 || g > kMaxGroups) return 1;
    RegExpGroupSlot& slot = ms.groups[g];
    const int32_t o = slot.openNode;
    GroupShape s;
    if (o < 0 || o >= c || !group_shape(ms, o, s) || s.close != c) return 1;

    const RegExpGroupSlot before = slot;
    const bool firstClose = (slot.passMarks & kPassClosed) == 0;
    const int32_t passLen = slot.passStartLeft - r;
    slot.inPass = 0;
    slot.passStartLeft = r;
    slot.lastPassLength = passLen;
    --slot.minLeft;
    --slot.maxLeft;
    const int32_t cap = capture_number(ms, o);
    const CaptureRecord capBefore = cap ? ms.captures[cap] : CaptureRecord{};
    if (cap) ms.captures[cap] = {p - passLen, passLen, 0};

    // An empty pass that reaches or passes the minimum ends the repetition:
    // another pass would start where this one did. Below the minimum it
    // counts like any other pass.
    int res;
    if (passLen != 0) {
        res = repeat_or_leave(p, r, ms, s, g);
    } else if (slot.minLeft <= 0) {
        res = continue_at(p, r, ms, s.after, uint32_t(cn.w2));
    } else if ((slot.passMarks & ~kPassClosed) == empty_mark(r)) {
        res = 1;  // a lower level of empty_passes_below_minimum, already failed
    } else if (firstClose && r < INT32_MAX && passes_repeat_alike(ms, s)) {
        res = empty_passes_below_minimum(p, r, ms, s, g);
    } else {
        res = repeat_or_leave(p, r, ms, s, g);
    }
    if (res != 0) {
        slot = before;
        // Later ways through this pass are not its first to close.
        slot.passMarks |= kPassClosed;
        if (cap) ms.captures[cap] = capBefore;
    }
    return res;
}

// ---- Atomic groups. ----
namespace {

struct AtomicShape {
    GroupShape s;
    int32_t tag;
    uint32_t entryOpts;
    uint32_t closeOpts;
    int32_t capLo;  // captures set inside the body: [capLo, capHi)
    int32_t capHi;
};

// One pass of the atomic body at p: the bytes it consumed (record 0's length
// keeps them), or -1 when no alternative matched.
int32_t atomic_pass(const uint8_t* p, int32_t r, RegExpMatchState& ms, const AtomicShape& a) {
    SubMatch sub(ms, a.s.close);
    uint32_t opts = a.entryOpts;
    const bool ok = run_body_alternatives(p, r, ms, a.s.open, a.s.close, a.tag, &opts);
    sub.leave();
    ms.options = a.entryOpts;
    return ok ? ms.captures[0].length - sub.length0 : -1;
}

// Pass lengths kept per frame of the greedy atomic loop; a longer chain of
// passes continues in a nested frame (checked against the stack guard).
constexpr int32_t kAtomicChunk = 64;

// Greedy, body without captures: as many passes as match, then the
// continuation from the last pass end back to the minimum, one pass at a
// time. The same attempts, in the same order, as recursing once per pass.
// An empty pass ends the passes: below the minimum the passes still missing
// would all be that same empty pass, so it stands for them.
int atomic_greedy(const uint8_t* p, int32_t r, RegExpMatchState& ms, const AtomicShape& a, int32_t min,
                  int32_t max) {
    if (stack_exhausted(ms)) return cut_path(ms);
    CaptureRecord& rec0 = ms.captures[0];
    const int32_t len0 = rec0.length;
    int32_t lens[kAtomicChunk];
    int32_t n = 0;
    const uint8_t* e = p;
    int32_t rem = r;
    bool tryHere = true;
    for (;;) {
        if (n == kAtomicChunk) {
            if (atomic_greedy(e, rem, ms, a, min - n, max - n) == 0) return 0;
            tryHere = false;
            break;
        }
        if (max - n < 1) break;
        const int32_t k = atomic_pass(e, rem, ms, a);
        if (k < 0) {
            if (min - n >= 1) {
                rec0.length = len0;
                return 1;
            }
            break;
        }
        if (k == 0) break;
        lens[n++] = k;
        e += k;
        rem -= k;
    }
    if (tryHere && continue_at(e, rem, ms, a.s.after, a.closeOpts) == 0) return 0;
    while (n > 0) {
        --n;
        if (min - n >= 1) break;
        e -= lens[n];
        rem += lens[n];
        rec0.length -= lens[n];
        if (continue_at(e, rem, ms, a.s.after, a.closeOpts) == 0) return 0;
    }
    rec0.length = len0;
    return 1;
}

// Greedy, body with captures: one frame per pass, so that backing off a pass
// also puts back the captures it set.
int atomic_greedy_captures(const uint8_t* p, int32_t r, RegExpMatchState& ms, const AtomicShape& a, int32_t min,
                           int32_t max) {
    if (stack_exhausted(ms)) return cut_path(ms);
    if (max >= 1) {
        const int res = with_captures_kept(ms, a.capLo, a.capHi, [&] {
            const int32_t k = atomic_pass(p, r, ms, a);
            if (k < 0) return 1;
            if (k == 0) return continue_at(p, r, ms, a.s.after, a.closeOpts);
            if (atomic_greedy_captures(p + k, r - k, ms, a, min - 1, max - 1) == 0) return 0;
            ms.captures[0].length -= k;
            return 1;
        });
        if (res == 0) return 0;
    }
    if (min >= 1) return 1;
    return continue_at(p, r, ms, a.s.after, a.closeOpts);
}

int atomic_lazy(const uint8_t* p, int32_t r, RegExpMatchState& ms, const AtomicShape& a, int32_t min,
                int32_t max) {
    CaptureRecord& rec0 = ms.captures[0];
    const int32_t len0 = rec0.length;
    const uint8_t* e = p;
    int32_t rem = r;
    for (int32_t n = 0;; ++n) {
        if (min - n <= 0 && continue_at(e, rem, ms, a.s.after, a.closeOpts) == 0) return 0;
        if (max - n <= 0) break;
        const int32_t k = atomic_pass(e, rem, ms, a);
        if (k < 0) break;
        if (k == 0) {
            if (min - n > 0 && continue_at(e, rem, ms, a.s.after, a.closeOpts) == 0) return 0;
            break;
        }
        e += k;
        rem -= k;
    }
    rec0.length = len0;
    return 1;
}

int atomic_lazy_captures(const uint8_t* p, int32_t r, RegExpMatchState& ms, const AtomicShape& a, int32_t min,
                         int32_t max) {
    if (min <= 0 && continue_at(p, r, ms, a.s.after, a.closeOpts) == 0) return 0;
    if (max <= 0) return 1;
    if (stack_exhausted(ms)) return cut_path(ms);
    return with_captures_kept(ms, a.capLo, a.capHi, [&] {
        const int32_t k = atomic_pass(p, r, ms, a);
        if (k < 0) return 1;
        if (k == 0) return continue_at(p, r, ms, a.s.after, a.closeOpts);
        if (atomic_lazy_captures(p + k, r - k, ms, a, min - 1, max - 1) == 0) return 0;
        ms.captures[0].length -= k;
        return 1;
    });
}

}  // namespace

int match_atomic(const uint8_t* p, int32_t r, RegExpMatchState& ms) {
    const int32_t o = ms.currentNode;
    AtomicShape a;
    if (!group_shape(ms, o, a.s)) return 1;
    a.tag = ms.nodes[o].w1;
    a.entryOpts = ms.options;
    a.closeOpts = uint32_t(ms.nodes[a.s.close].w2);
    body_captures(ms, o, a.s.close, &a.capLo, &a.capHi);
    if (a.capLo < a.capHi)
        return a.s.lazy ? atomic_lazy_captures(p, r, ms, a, a.s.min, a.s.max)
                        : atomic_greedy_captures(p, r, ms, a, a.s.min, a.s.max);
    return a.s.lazy ? atomic_lazy(p, r, ms, a, a.s.min, a.s.max) : atomic_greedy(p, r, ms, a, a.s.min, a.s.max);
}

// ---- Look-around. ----
namespace {

// A positive look-around keeps the captures of its successful body while the
// path after it lives; a negative one keeps none. After it the options are
// those of its closing node, as after any group: an inline change inside
// the body ("(?=(?-i)x|y)a" under "i") ends with the body, whichever
// alternative succeeded.
int look_around(const uint8_t* p, int32_t r, RegExpMatchState& ms, const uint8_t* bodyAt, int32_t bodyRem,
                bool negative) {
    const int32_t o = ms.currentNode;
    GroupShape s;
    if (!group_shape(ms, o, s)) return 1;
    int32_t lo, hi;
    body_captures(ms, o, s.close, &lo, &hi);
    const uint32_t entryOpts = ms.options;
    return with_captures_kept(ms, lo, hi, [&] {
        SubMatch sub(ms, s.close);
        uint32_t opts = entryOpts;
        const bool ok = run_body_alternatives(bodyAt, bodyRem, ms, o, s.close, ms.nodes[o].w1, &opts);
        sub.leave();
        ms.captures[0].length = sub.length0;
        if (ok == negative) return 1;
        return continue_at(p, r, ms, s.close + 1, ok ? uint32_t(ms.nodes[s.close].w2) : entryOpts);
    });
}

}  // namespace

int match_lookahead(const uint8_t* p, int32_t r, RegExpMatchState& ms) {
    return look_around(p, r, ms, p, r, ms.nodes[ms.currentNode].w0 == RE_NLOOKAHEAD);
}

int match_lookbehind(const uint8_t* p, int32_t r, RegExpMatchState& ms) {
    const RegExpNode& n = ms.nodes[ms.currentNode];
    const bool negative = n.w0 == RE_NLOOKBEHIND;
    const int32_t want = n.w3;
    const uint8_t* const start = ms.subjectStart;
    if (want < 0) return 1;
    if (p - start < want) {
        if (!negative) return 1;
        GroupShape s;
        if (!group_shape(ms, ms.currentNode, s)) return 1;
        return continue_at(p, r, ms, s.close + 1, ms.options);
    }
    // Step back `want` characters; with fewer characters than that before the
    // position, the window is `want` bytes.
    const uint8_t* ws = p;
    int32_t k = 0;
    while (k < want && ws > start) {
        ws -= prev_char_length(start, ws);
        ++k;
    }
    if (k < want) ws = p - want;
    return look_around(p, r, ms, ws, r + int32_t(p - ws), negative);
}

// ---- Back-reference without quantifier. ----
// An empty capture matches without consuming anywhere, the end of the subject
// included.
int match_backref(const uint8_t* p, int32_t r, RegExpMatchState& ms) {
    const int32_t cur = ms.currentNode;
    const int32_t k = ms.nodes[cur].w1;
    if (!capture_is_set(ms, k)) return 1;
    const CaptureRecord rec = ms.captures[k];
    if (rec.length > r) return 1;
    const bool fold = ms.options & RE_OPT_IGNORECASE;
    if (!fold) {
        if (rec.length > 0 && std::memcmp(p, rec.pointer, size_t(rec.length)) != 0) return 1;
    } else {
        for (int32_t i = 0; i < rec.length; ++i)
            if (!char_equal(p[i], rec.pointer[i], ms.options)) return 1;
    }
    ms.captures[0].length += rec.length;
    ms.currentNode = cur + 1;
    const int res = RegExpMatchAt(p + rec.length, r - rec.length, ms);
    if (res != 0) ms.captures[0].length -= rec.length;
    return res;
}

}  // namespace qel::re
