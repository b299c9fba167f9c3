// Builds the linear path's program from the node array.
//
// Leftmost-first priority is the order of the two targets of every split:
// alternatives in pattern order, a greedy repeat prefers one more copy, a
// lazy one prefers to stop. Counted repeats are written out copy by copy
// ({2,4} is two copies, then two optional ones nested), so a program point
// alone says how many copies are behind it.
//
// Empty passes of repeated groups: a pass that brings the count to the
// minimum or beyond and consumed nothing ends the repetition (the match goes
// on after the group, with the capture set to that empty pass); a pass below
// the minimum counts like any other. A group whose body can match empty gets
// one flag, set when a pass starts and cleared by every consumed character;
// the check at the end of the pass reads it. Bodies that always consume need
// no flag.
#include <cstring>

#include "regex/match/linear_internal.h"
#include "regex/match/match_internal.h"

namespace qel::re {
namespace {

// Nested repeated groups are emitted once on trial (to learn whether the
// body can match empty) and once for real, so the work doubles per level.
constexpr int kMaxRepeatNesting = 8;
// The emitter recurses once per group level; deeper patterns stay with the
// general matcher rather than use much native stack at compile time.
constexpr int kMaxGroupNesting = 64;

struct Builder {
    const RegExpNode* nodes;
    int32_t nodeCount;
    int32_t captureCount;
    LinearInst* insts;
    int32_t instCap;
    int32_t instCount;
    LinearSet* sets;
    int32_t setCount;
    int32_t flagCount;
    int repeatDepth;      // repeats around the current point
    int groupDepth;       // groups around the current point
    bool refused;
    bool useful;          // a later item can make the backtracker retry a run: quadratic
    bool exponential;     // a repeated group: the backtracker can be exponential
    bool openVarRepeat;   // a repeat of variable count was emitted; anything after it may backtrack into it
};

bool is_item(uint32_t k) {
    return k == RE_CHAR || k == RE_PREDEF || k == RE_CLASS || k == RE_BYTE || k == RE_UCHAR || k == RE_UPROP ||
           k == RE_URANGE || k == RE_URANGES;
}
bool is_quant(uint32_t k) { return k == RE_GREEDY || k == RE_LAZY; }

int32_t emit(Builder& b, const LinearInst& in) {
    if (b.instCount >= b.instCap) {
        b.refused = true;
        return b.instCount;
    }
    b.insts[b.instCount] = in;
    return b.instCount++;
}

int32_t add_set(Builder& b, const LinearSet& s) {
    for (int32_t i = 0; i < b.setCount; ++i)
        if (std::memcmp(&b.sets[i], &s, sizeof(LinearSet)) == 0) return i;
    if (b.setCount >= kLinearMaxSets) {
        b.refused = true;
        return 0;
    }
    b.sets[b.setCount] = s;
    return b.setCount++;
}

void emit_consumer(Builder& b, int32_t i, uint32_t opts) {
    const RegExpNode& n = b.nodes[i];
    LinearSet s{};
    uint8_t kind = K_BYTE;
    switch (n.w0) {
        case RE_CHAR:
            for (int v = 0; v < 256; ++v)
                if (char_equal(uint8_t(v), uint8_t(n.w1), opts)) s.add(uint8_t(v));
            break;
        case RE_BYTE:
            for (int v = 0; v < 256; ++v) s.add(uint8_t(v));
            break;
        case RE_PREDEF:
            kind = K_LEAD;
            for (int v = 0; v < 256; ++v)
                if (predef_test(n.w1, uint8_t(v), opts)) s.add(uint8_t(v));
            break;
        default:
            // Classes and code-point items: the set answers for one-byte
            // characters; longer ones go to the node's own test, so the set
            // lists every lead byte as possible.
            kind = K_GENERAL;
            if (n.w0 == RE_CLASS && class_has_grapheme_member(b.nodes, i)) {
                b.refused = true;
                return;
            }
            for (int v = 0; v < 0x80; ++v) {
                const uint8_t byte = uint8_t(v);
                const bool in = n.w0 == RE_CLASS ? class_unit_length(b.nodes, i, &byte, 1, opts) == 1
                                                 : codepoint_item_test(n, Utf8Char{byte, 1, true}, opts);
                if (in) s.add(byte);
            }
            for (int v = 0x80; v < 256; ++v) s.add(uint8_t(v));
            break;
    }
    if (b.openVarRepeat) b.useful = true;
    emit(b, LinearInst{L_CONSUME, kind, 0, 0, i, add_set(b, s), opts});
}

// A consumer for one literal byte of an RE_STRING.
void emit_byte(Builder& b, uint8_t c, int32_t node, uint32_t opts) {
    LinearSet s{};
    for (int v = 0; v < 256; ++v)
        if (char_equal(uint8_t(v), c, opts)) s.add(uint8_t(v));
    if (b.openVarRepeat) b.useful = true;
    emit(b, LinearInst{L_CONSUME, K_BYTE, 0, 0, node, add_set(b, s), opts});
}

// The walks over the program below follow control without consuming: a
// consumer or the match ends a path, every other instruction leads on to its
// targets (or to the next instruction).
void push_non_consuming_successors(const LinearInst& in, int32_t pc, int32_t* stack, int32_t& sp) {
    switch (in.op) {
        case L_CONSUME:
        case L_MATCH:
            break;
        case L_JMP:
            stack[sp++] = in.x;
            break;
        case L_SPLIT:
        case L_LOOP_CHECK:
            stack[sp++] = in.x;
            stack[sp++] = in.y;
            break;
        default:
            stack[sp++] = pc + 1;
            break;
    }
}

// Whether some path from `start` leaves [start, end) without consuming.
bool can_pass_empty(const Builder& b, int32_t start, int32_t end) {
    uint64_t seen[kLinearMaxInsts / 64] = {};
    int32_t stack[2 * kLinearMaxInsts + 1];  // each instruction is visited once and pushes at most two
    int32_t sp = 0;
    stack[sp++] = start;
    while (sp > 0) {
        const int32_t pc = stack[--sp];
        if (pc < start || pc >= end) return true;
        if ((seen[pc >> 6] >> (pc & 63)) & 1) continue;
        seen[pc >> 6] |= uint64_t(1) << (pc & 63);
        push_non_consuming_successors(b.insts[pc], pc, stack, sp);
    }
    return false;
}

// Pending jumps to the end of a repetition are chained through the field
// they will hold; `letter` says which field that is.
struct ExitChain {
    int32_t head = -1;
};
void chain_exit(Builder& b, ExitChain& c, int32_t at, bool fieldX) {
    if (at >= b.instCount) return;
    LinearInst& in = b.insts[at];
    in.letter = fieldX ? 1 : 2;
    (fieldX ? in.x : in.y) = c.head;
    c.head = at;
}
void patch_exits(Builder& b, ExitChain& c, int32_t target) {
    for (int32_t at = c.head; at >= 0;) {
        LinearInst& in = b.insts[at];
        int32_t& field = in.letter == 1 ? in.x : in.y;
        const int32_t next = field;
        field = target;
        in.letter = 0;
        at = next;
    }
}

void emit_alternation(Builder& b, int32_t from, int32_t to, int32_t group, uint32_t opts);

// One pass of group `o` (closing node c).
void emit_group_pass(Builder& b, int32_t o, int32_t c, uint32_t bodyOpts) {
    const RegExpNode& n = b.nodes[o];
    const int32_t capture = n.w0 == RE_CAPTURE ? n.w3 : 0;
    if (n.w0 == RE_CAPTURE && (capture < 1 || capture >= b.captureCount)) {
        b.refused = true;
        return;
    }
    if (b.groupDepth >= kMaxGroupNesting) {
        b.refused = true;
        return;
    }
    ++b.groupDepth;
    if (capture > 0) emit(b, LinearInst{L_OPEN, 0, 0, 0, capture, 0, 0});
    emit_alternation(b, o + 1, c, n.w1, bodyOpts);
    if (capture > 0) emit(b, LinearInst{L_CLOSE, 0, 0, 0, capture, 0, 0});
    --b.groupDepth;
}

// Repeats `body` (which emits one copy) min..max times.
template <class Body>
void emit_repeat(Builder& b, int32_t min, int32_t max, bool lazy, bool isGroup, Body body) {
    if (max == 0) return;  // passed over
    if (min < 0 || max < min) {
        b.refused = true;
        return;
    }
    if (max > 1 && isGroup) b.exponential = true;
    if (b.repeatDepth >= kMaxRepeatNesting) {
        b.refused = true;
        return;
    }
    ++b.repeatDepth;
    int flag = -1;
    if (isGroup) {
        const int32_t saveInsts = b.instCount, saveSets = b.setCount, saveFlags = b.flagCount;
        const bool saveUseful = b.useful, saveExp = b.exponential, saveOpen = b.openVarRepeat;
        body();
        const bool nullable = !b.refused && can_pass_empty(b, saveInsts, b.instCount);
        b.instCount = saveInsts;
        b.setCount = saveSets;
        b.flagCount = saveFlags;
        b.useful = saveUseful;
        b.exponential = saveExp;
        b.openVarRepeat = saveOpen;
        if (nullable) {
            if (b.flagCount >= kLinearMaxFlags) b.refused = true;
            flag = b.flagCount++;
        }
    }
    ExitChain exits;
    // A pass that brings the count to the minimum or beyond ends the
    // repetition when it was empty.
    auto checked_copy = [&](int32_t next) {
        emit(b, LinearInst{L_LOOP_BEGIN, 0, 0, uint8_t(flag), 0, 0, 0});
        body();
        const int32_t lc = emit(b, LinearInst{L_LOOP_CHECK, 0, 0, uint8_t(flag), -1, next, 0});
        chain_exit(b, exits, lc, true);
        return lc;
    };
    for (int32_t i = 1; i <= min && !b.refused; ++i) {
        if (flag >= 0 && i == min) {
            const int32_t lc = checked_copy(0);
            if (lc < b.instCount) b.insts[lc].y = lc + 1;
        } else {
            body();
        }
    }
    const auto emit_split = [&]() {
        const int32_t s = emit(b, LinearInst{L_SPLIT, 0, 0, 0, 0, 0, 0});
        if (s < b.instCount) {
            if (lazy) b.insts[s].y = s + 1;
            else b.insts[s].x = s + 1;
        }
        chain_exit(b, exits, s, lazy);
        return s;
    };
    if (max == RE_UNBOUNDED) {
        const int32_t loop = emit_split();
        if (flag >= 0) {
            checked_copy(loop);
        } else {
            body();
            emit(b, LinearInst{L_JMP, 0, 0, 0, loop, 0, 0});
        }
    } else {
        for (int32_t i = min + 1; i <= max && !b.refused; ++i) {
            emit_split();
            if (flag >= 0) {
                const int32_t lc = checked_copy(0);
                if (lc < b.instCount) b.insts[lc].y = lc + 1;
            } else {
                body();
            }
        }
    }
    if (!b.refused) patch_exits(b, exits, b.instCount);
    --b.repeatDepth;
    if (min != max) b.openVarRepeat = true;
}

void emit_sequence(Builder& b, int32_t from, int32_t to, uint32_t opts) {
    int32_t i = from;
    while (i < to && !b.refused) {
        const RegExpNode& n = b.nodes[i];
        if (is_item(n.w0)) {
            const int32_t end = n.w0 == RE_CLASS ? i + n.w2 + 1 : i + 1;
            if (end > to) {
                b.refused = true;
                return;
            }
            if (end < to && is_quant(b.nodes[end].w0)) {
                const RegExpNode& q = b.nodes[end];
                emit_repeat(b, q.w1, q.w2, q.w0 == RE_LAZY, false, [&]() { emit_consumer(b, i, opts); });
                i = end + 1;
            } else {
                emit_consumer(b, i, opts);
                i = end;
            }
            continue;
        }
        switch (n.w0) {
            case RE_STRING: {
                const auto* text = static_cast<const uint8_t*>(node_pointer(n));
                if (text == nullptr || n.w2 < 1 || (i + 1 < to && is_quant(b.nodes[i + 1].w0))) {
                    b.refused = true;
                    return;
                }
                for (int32_t k = 0; k < n.w2 && !b.refused; ++k) emit_byte(b, text[k], i, opts);
                ++i;
                break;
            }
            case RE_ANCHOR:
                // What a quantified anchor should match is not settled; leave
                // it to the general matcher.
                if (i + 1 < to && is_quant(b.nodes[i + 1].w0)) {
                    b.refused = true;
                    return;
                }
                if (b.openVarRepeat) b.useful = true;
                // An unknown letter becomes 0, which never holds.
                emit(b, LinearInst{L_ASSERT, 0, uint8_t(n.w1 >= 0 && n.w1 <= 128 ? n.w1 : 0), 0, 0, 0, opts});
                ++i;
                break;
            case RE_SETOPTS:
                // Inside a repeated group the options of a later pass depend
                // on how the general matcher restarts a pass; keep it there.
                if (b.repeatDepth > 0) {
                    b.refused = true;
                    return;
                }
                opts = static_cast<uint32_t>(n.w1);
                ++i;
                break;
            case RE_GROUP:
            case RE_CAPTURE:
            case RE_GROUP_OPTS: {
                const int32_t c = i + n.w2 + 1;
                if (n.w2 < 0 || c >= to || b.nodes[c].w0 != RE_CLOSE || b.nodes[c].w1 != n.w1 || n.w1 <= 0) {
                    b.refused = true;
                    return;
                }
                const uint32_t bodyOpts = n.w0 == RE_GROUP_OPTS ? static_cast<uint32_t>(n.w3) : opts;
                const int32_t o = i;
                if (c + 1 < to && is_quant(b.nodes[c + 1].w0)) {
                    const RegExpNode& q = b.nodes[c + 1];
                    emit_repeat(b, q.w1, q.w2, q.w0 == RE_LAZY, true, [&]() { emit_group_pass(b, o, c, bodyOpts); });
                    i = c + 2;
                } else {
                    emit_group_pass(b, o, c, bodyOpts);
                    i = c + 1;
                }
                opts = static_cast<uint32_t>(b.nodes[c].w2);
                break;
            }
            default:
                b.refused = true;
                return;
        }
    }
}

// The alternatives of group `group` (0: the top level) in [from, to).
void emit_alternation(Builder& b, int32_t from, int32_t to, int32_t group, uint32_t opts) {
    int32_t start = from;
    ExitChain ends;
    for (;;) {
        int32_t bar = -1;
        for (int32_t j = start; j < to; ++j)
            if (b.nodes[j].w0 == RE_ALT_END && b.nodes[j].w1 == group) {
                bar = j;
                break;
            }
        if (bar < 0) {
            emit_sequence(b, start, to, opts);
            break;
        }
        const int32_t s = emit(b, LinearInst{L_SPLIT, 0, 0, 0, 0, 0, 0});
        if (s < b.instCount) b.insts[s].x = s + 1;
        emit_sequence(b, start, bar, opts);
        const int32_t j = emit(b, LinearInst{L_JMP, 0, 0, 0, 0, 0, 0});
        chain_exit(b, ends, j, true);
        if (s < b.instCount) b.insts[s].y = b.instCount;
        if (b.refused) return;
        opts = static_cast<uint32_t>(b.nodes[bar].w2);
        start = bar + 1;
    }
    if (!b.refused) patch_exits(b, ends, b.instCount);
}

// Bytes a non-empty match can begin with, and whether an empty one exists.
void first_bytes(const LinearProgram& prog, const LinearInst* insts, const LinearSet* sets, LinearSet& out,
                 bool& canBeEmpty) {
    uint64_t seen[kLinearMaxInsts / 64] = {};
    int32_t stack[2 * kLinearMaxInsts + 1];  // each instruction is visited once and pushes at most two
    int32_t sp = 0;
    out = LinearSet{};
    canBeEmpty = false;
    stack[sp++] = 0;
    while (sp > 0) {
        const int32_t pc = stack[--sp];
        if (pc < 0 || pc >= prog.instCount) continue;
        if ((seen[pc >> 6] >> (pc & 63)) & 1) continue;
        seen[pc >> 6] |= uint64_t(1) << (pc & 63);
        const LinearInst& in = insts[pc];
        if (in.op == L_CONSUME) {
            for (int w = 0; w < 4; ++w) out.bits[w] |= sets[in.y].bits[w];
        } else if (in.op == L_MATCH) {
            canBeEmpty = true;
        }
        push_non_consuming_successors(in, pc, stack, sp);
    }
}

inline int32_t round8(int64_t v) { return static_cast<int32_t>((v + 7) & ~int64_t(7)); }

// Where the program of `state` starts, or null when the gap above the
// pattern's captures cannot hold even the header.
LinearProgram* program_address(QelRegExpState* state) {
    const StateHeader* h = header(state);
    if (h->captureCount < 1 || h->captureCount > kMaxCaptureRecords) return nullptr;
    uint8_t* gap = reinterpret_cast<uint8_t*>(capture_table(state)) + int64_t(16) * h->captureCount;
    uint8_t* gapEnd = reinterpret_cast<uint8_t*>(state) + kNodeArrayOffset;
    const uintptr_t a = (reinterpret_cast<uintptr_t>(gap) + 7) & ~uintptr_t(7);
    if (a + sizeof(LinearProgram) > reinterpret_cast<uintptr_t>(gapEnd)) return nullptr;
    return reinterpret_cast<LinearProgram*>(a);
}

}  // namespace

void linear_prepare(QelRegExpState* state) {
    LinearProgram* prog = program_address(state);
    if (prog == nullptr) return;
    prog->magic = kLinearRefused;
    const StateHeader* h = header(state);
    uint8_t* const gapEnd = reinterpret_cast<uint8_t*>(state) + kNodeArrayOffset;
    auto* insts = const_cast<LinearInst*>(linear_insts(prog));
    const int64_t room = (gapEnd - reinterpret_cast<uint8_t*>(insts)) / int64_t(sizeof(LinearInst));
    LinearSet sets[kLinearMaxSets];

    Builder b{};
    b.nodes = node_array(state);
    b.nodeCount = h->nodeCount;
    b.captureCount = h->captureCount;
    b.insts = insts;
    b.instCap = room < kLinearMaxInsts ? static_cast<int32_t>(room) : kLinearMaxInsts;
    b.sets = sets;
    if (b.instCap < 1 || b.nodeCount < 0) return;
    emit_alternation(b, 0, b.nodeCount, 0, h->options);
    emit(b, LinearInst{L_MATCH, 0, 0, 0, 0, 0, 0});
    if (b.refused) return;

    LinearProgram p{};
    p.useful = b.exponential ? kUsefulAlways : (b.useful ? kUsefulLong : 0);
    p.captureCount = h->captureCount;
    p.instCount = b.instCount;
    p.setCount = b.setCount;
    p.flagCount = b.flagCount;
    for (int32_t i = 0; i < b.instCount; ++i) p.consumerCount += insts[i].op == L_CONSUME;
    p.capWords = 1 + 3 * (h->captureCount - 1);
    p.threadWords = 2 + p.capWords;
    p.listCapacity = 6 * p.consumerCount + 1;
    p.keyCount = b.instCount << b.flagCount;
    p.stackCapacity = 2 * p.keyCount + 2;
    const int64_t listBytes = 8 + int64_t(p.listCapacity) * p.threadWords * 4;
    int64_t off = sizeof(LinearProgram) + int64_t(b.instCount) * sizeof(LinearInst);
    p.setOff = round8(off);
    off = p.setOff + int64_t(b.setCount) * sizeof(LinearSet);
    p.listAOff = round8(off);
    p.listBOff = round8(p.listAOff + listBytes);
    p.markOff = round8(p.listBOff + listBytes);
    p.stackOff = round8(p.markOff + int64_t(p.keyCount) * 4);
    p.curOff = round8(p.stackOff + int64_t(p.stackCapacity) * 8);
    p.bestOff = round8(p.curOff + int64_t(p.capWords) * 4);
    const int64_t total = p.bestOff + int64_t(p.capWords + 1) * 4;
    if (reinterpret_cast<uint8_t*>(prog) + total > gapEnd) return;

    std::memcpy(reinterpret_cast<uint8_t*>(prog) + p.setOff, sets, sizeof(LinearSet) * size_t(b.setCount));
    bool empty = false;
    first_bytes(p, insts, sets, p.firstBytes, empty);
    p.canBeEmpty = empty;
    p.magic = kLinearMagic;
    std::memcpy(prog, &p, sizeof(LinearProgram));
}

const LinearProgram* linear_program(QelRegExpState* state, LinearUse use) {
    if (use == LinearUse::Off) return nullptr;
    const StateHeader* h = header(state);
    // A match limit of 0 fails every attempt by definition; the general
    // matcher keeps that meaning.
    if (h->matchLimit <= 0) return nullptr;
    const LinearProgram* prog = program_address(state);
    if (prog == nullptr || prog->magic != kLinearMagic || prog->captureCount != h->captureCount) return nullptr;
    return prog;
}

bool linear_exponential(const LinearProgram* prog) { return prog->useful == kUsefulAlways; }

bool linear_retries(const LinearProgram* prog) { return prog->useful != 0; }

}  // namespace qel::re
