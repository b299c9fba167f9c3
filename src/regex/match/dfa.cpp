// The lazy DFA that locates the next match region (see dfa.h).
//
// Layout of the cache, at the first 8-byte boundary after the linear
// program's work areas and up to the node array: the header, the mark words
// and the stack of one closure, three scratch lists of program points, then
// per state an info record, a row of transitions (one entry per byte class)
// and its program points in a shared pool, and a hash table over the states.
//
// A transition entry is kUnknown while unknown, kBail for the class of
// bytes the DFA does not read, kMatch when a match ends before the byte,
// and otherwise the row of the next state (its index times the class
// count). The states with no program point waiting come first, one per
// previous-byte context, so "nothing alive" is a comparison of the row:
// every match still to come starts at or after that position.
#include <cstring>

#include "regex/match/dfa.h"
#include "regex/match/linear_internal.h"
#include "regex/match/match_internal.h"
#include "regex/match/search_internal.h"

namespace qel::re {

namespace {

constexpr uint32_t kDfaMagic = 0x44666130;
constexpr int32_t kBail = -2;
constexpr int32_t kUnknown = -1;
constexpr int32_t kMatch = -3;
constexpr uint8_t kLineFeed = 10;
constexpr int32_t kMinStates = 16;
// Pool words budgeted per state when the cache is sized.
constexpr int32_t kPoolPerState = 8;
// A cache that fills again within this many bytes of the last clear thrashes.
constexpr int64_t kThrashBytes = 512;
constexpr int64_t kShortSkip = 32;
constexpr int64_t kReadAfterShortSkip = 128;
constexpr int32_t kLongWindow = 256;

// Byte contexts: the previous byte's (or the subject start) and the next
// byte's (or the window end, or a line feed that is the window's last byte).
constexpr uint8_t C_OTHER = 0, C_WORD = 1, C_LF = 2, C_START = 3, C_END = 3, C_LASTLF = 4;

}  // namespace

struct DfaCache {
    uint32_t magic;
    uint32_t enabled;
    int32_t classCount;
    int32_t stateCap;
    int32_t stateCount;
    int32_t poolCap;
    int32_t poolUsed;
    int32_t hashCap;
    int32_t keyCount;
    int32_t flagShift;
    int32_t instCount;
    uint32_t gen;
    int32_t progOff;  // the linear program's offset from the cache (negative)
    int32_t infoOff, transOff, poolOff, hashOff, marksOff, stackOff, scratchOff;
    int32_t emptyRows;  // rows of the states with nothing alive, which come first
    int32_t retries;    // the backtracker may retry runs or repeated groups on this pattern
    int32_t bailClass;  // class of the bytes the DFA hands over on, or -1
    uint8_t hasAsserts;
    uint8_t pad[3];
    uint8_t classOf[256];
    uint8_t ctxOf[256];
};
static_assert(sizeof(DfaCache) % 8 == 0);

namespace {

struct DfaState {
    int32_t pool;   // first program point in the pool
    int16_t count;  // program points
    uint8_t prev;   // context of the previous byte
    uint8_t endMatch;  // 0 unknown, 1 no match at the window end, 2 a match
};

inline uint8_t* bytes(DfaCache* c) { return reinterpret_cast<uint8_t*>(c); }
inline const LinearProgram* program(DfaCache* c) {
    return reinterpret_cast<const LinearProgram*>(bytes(c) + c->progOff);
}
inline DfaState* infos(DfaCache* c) { return reinterpret_cast<DfaState*>(bytes(c) + c->infoOff); }
inline int32_t* trans(DfaCache* c) { return reinterpret_cast<int32_t*>(bytes(c) + c->transOff); }
inline int16_t* pool(DfaCache* c) { return reinterpret_cast<int16_t*>(bytes(c) + c->poolOff); }
inline int32_t* table(DfaCache* c) { return reinterpret_cast<int32_t*>(bytes(c) + c->hashOff); }
inline uint32_t* marks(DfaCache* c) { return reinterpret_cast<uint32_t*>(bytes(c) + c->marksOff); }
inline int32_t* stack(DfaCache* c) { return reinterpret_cast<int32_t*>(bytes(c) + c->stackOff); }
// Three lists of instCount + 1 program points each.
inline int16_t* scratch(DfaCache* c, int k) {
    return reinterpret_cast<int16_t*>(bytes(c) + c->scratchOff) + int64_t(k) * (c->instCount + 1);
}

inline int64_t round8(int64_t v) { return (v + 7) & ~int64_t(7); }

int32_t intern(DfaCache* c, const int16_t* pcs, int32_t n, uint8_t prev);

void clear(DfaCache* c) {
    c->stateCount = 0;
    c->poolUsed = 0;
    std::memset(table(c), 0xff, sizeof(int32_t) * size_t(c->hashCap));
    for (uint8_t prev = 0; prev < (c->hasAsserts ? 4 : 1); ++prev) intern(c, nullptr, 0, prev);
}

uint32_t hash_of(const int16_t* pcs, int32_t n, uint8_t prev) {
    uint32_t h = 2166136261u ^ prev;
    for (int32_t i = 0; i < n; ++i) h = (h ^ uint16_t(pcs[i])) * 16777619u;
    return h ^ (h >> 15);
}

// The state of the sorted list `pcs` after a byte of context `prev`: its
// index, or -1 when the cache has no room for a new one.
int32_t intern(DfaCache* c, const int16_t* pcs, int32_t n, uint8_t prev) {
    const uint32_t mask = uint32_t(c->hashCap - 1);
    int32_t* t = table(c);
    DfaState* info = infos(c);
    for (uint32_t slot = hash_of(pcs, n, prev) & mask;; slot = (slot + 1) & mask) {
        const int32_t s = t[slot];
        if (s < 0) {
            if (c->stateCount >= c->stateCap || c->poolUsed + n > c->poolCap) return -1;
            const int32_t id = c->stateCount++;
            info[id] = DfaState{c->poolUsed, int16_t(n), prev, 0};
            if (n > 0) std::memcpy(pool(c) + c->poolUsed, pcs, sizeof(int16_t) * size_t(n));
            c->poolUsed += n;
            int32_t* row = trans(c) + int64_t(id) * c->classCount;
            for (int32_t k = 0; k < c->classCount; ++k) row[k] = kUnknown;
            if (c->bailClass >= 0) row[c->bailClass] = kBail;
            t[slot] = id;
            return id;
        }
        const DfaState& d = info[s];
        if (d.count == n && d.prev == prev &&
            (n == 0 || std::memcmp(pool(c) + d.pool, pcs, sizeof(int16_t) * size_t(n)) == 0))
            return s;
    }
}

bool holds(uint8_t letter, uint32_t opts, uint8_t prev, uint8_t next) {
    switch (letter) {
        case '^':
            return prev == C_START || ((opts & RE_OPT_MULTILINE) && next != C_END && prev == C_LF);
        case '$':
            if (opts & RE_OPT_MULTILINE) return next == C_END || next == C_LF || next == C_LASTLF;
            return next == C_END || next == C_LASTLF;
        case 'A':
        case 'G':
            return prev == C_START;
        case 'Z':
            return next == C_END || next == C_LASTLF;
        case 'z':
            return next == C_END;
        case 'b':
        case 'B':
            return ((prev == C_WORD) != (next == C_WORD)) == (letter == 'b');
        case 128:
            return prev == C_START || prev == C_LF;
        default:
            return false;
    }
}

// Follows the non-consuming instructions from the state's points and from
// a new start, under contexts `prev` and `next`. Appends the consumers
// reached to `out` (each once) and returns whether the program's end was
// reached.
bool closure(DfaCache* c, const int16_t* pcs, int32_t n, uint8_t prev, uint8_t next, int16_t* out, int32_t* outCount) {
    const LinearProgram* prog = program(c);
    const LinearInst* insts = linear_insts(prog);
    uint32_t* mk = marks(c);
    if (++c->gen == 0) {
        std::memset(mk, 0, sizeof(uint32_t) * size_t(c->keyCount));
        c->gen = 1;
    }
    const uint32_t gen = c->gen;
    int32_t* st = stack(c);
    int32_t sp = 0;
    st[0] = 0;  // the new start
    st[1] = 0;
    sp = 1;
    for (int32_t i = 0; i < n; ++i) {
        st[2 * sp] = pcs[i];
        st[2 * sp + 1] = 0;
        ++sp;
    }
    bool matched = false;
    int32_t count = 0;
    while (sp > 0) {
        --sp;
        int32_t pc = st[2 * sp];
        uint32_t flags = uint32_t(st[2 * sp + 1]);
        for (;;) {
            const LinearInst& in = insts[pc];
            const bool flagFree = in.op == L_CONSUME || in.op == L_MATCH;
            const int32_t key = (pc << c->flagShift) | (flagFree ? 0 : int32_t(flags));
            if (mk[key] == gen) break;
            mk[key] = gen;
            bool stop = false;
            switch (in.op) {
                case L_CONSUME:
                    out[count++] = int16_t(pc);
                    stop = true;
                    break;
                case L_MATCH:
                    matched = true;
                    stop = true;
                    break;
                case L_JMP:
                    pc = in.x;
                    break;
                case L_SPLIT:
                    st[2 * sp] = in.y;
                    st[2 * sp + 1] = int32_t(flags);
                    ++sp;
                    pc = in.x;
                    break;
                case L_ASSERT:
                    if (!holds(in.letter, in.opts, prev, next)) stop = true;
                    ++pc;
                    break;
                case L_LOOP_BEGIN:
                    flags |= 1u << in.flag;
                    ++pc;
                    break;
                case L_LOOP_CHECK:
                    pc = ((flags >> in.flag) & 1) ? in.x : in.y;
                    break;
                case L_OPEN:
                case L_CLOSE:
                    ++pc;
                    break;
                default:
                    stop = true;
                    break;
            }
            if (stop) break;
        }
    }
    *outCount = count;
    return matched;
}

// The transition of state `s` on byte `b` whose context is `next`; the
// entry, or kUnknown when the cache has no room for the next state.
int32_t step(DfaCache* c, int32_t s, uint8_t b, uint8_t next) {
    const DfaState d = infos(c)[s];
    int16_t* reached = scratch(c, 0);
    int16_t* after = scratch(c, 1);
    int32_t n = 0;
    if (closure(c, pool(c) + d.pool, d.count, d.prev, next, reached, &n)) return kMatch;
    const LinearProgram* prog = program(c);
    const LinearInst* insts = linear_insts(prog);
    const auto* sets = reinterpret_cast<const LinearSet*>(reinterpret_cast<const uint8_t*>(prog) + prog->setOff);
    int32_t m = 0;
    for (int32_t i = 0; i < n; ++i) {
        const LinearInst& in = insts[reached[i]];
        if (!sets[in.y].has(b)) continue;
        // Insertion into the sorted list (the closure reached each consumer
        // once, so the points are distinct); the lists are short.
        const int16_t pc = int16_t(reached[i] + 1);
        int32_t j = m;
        while (j > 0 && after[j - 1] > pc) {
            after[j] = after[j - 1];
            --j;
        }
        after[j] = pc;
        ++m;
    }
    const int32_t id = intern(c, after, m, c->hasAsserts ? c->ctxOf[b] : 0);
    if (id < 0) return kUnknown;
    return id * c->classCount;
}

// Whether a match ends at the window end in state `s`.
bool matches_at_end(DfaCache* c, int32_t s) {
    DfaState& d = infos(c)[s];
    if (d.endMatch == 0) {
        int32_t n = 0;
        d.endMatch = closure(c, pool(c) + d.pool, d.count, d.prev, C_END, scratch(c, 0), &n) ? 2 : 1;
    }
    return d.endMatch == 2;
}


}  // namespace

void dfa_prepare(QelRegExpState* state) {
    const LinearProgram* prog = linear_program(state, LinearUse::Always);
    if (prog == nullptr) return;
    uint8_t* const gapEnd = reinterpret_cast<uint8_t*>(state) + kNodeArrayOffset;
    const uint8_t* progBytes = reinterpret_cast<const uint8_t*>(prog);
    const int64_t progEnd = prog->bestOff + int64_t(prog->capWords + 1) * 4;
    auto* c = reinterpret_cast<DfaCache*>(const_cast<uint8_t*>(progBytes) + round8(progEnd));
    if (reinterpret_cast<uint8_t*>(c) + sizeof(DfaCache) > gapEnd) return;
    std::memset(c, 0, sizeof(DfaCache));

    const LinearInst* insts = linear_insts(prog);
    const auto* sets = reinterpret_cast<const LinearSet*>(progBytes + prog->setOff);
    bool asserts = false;
    uint8_t used[kLinearMaxSets] = {};
    for (int32_t i = 0; i < prog->instCount; ++i) {
        if (insts[i].op == L_ASSERT) asserts = true;
        if (insts[i].op == L_CONSUME) {
            used[insts[i].y] = 1;
        }
    }
    for (int v = 0; v < 256; ++v) {
        const uint8_t b = uint8_t(v);
        c->ctxOf[v] = is_word_byte(b) ? C_WORD : b == kLineFeed ? C_LF : C_OTHER;
    }
    // Bytes of 0x80 and above may start characters of several bytes (the
    // subject format is set after the compile), which the DFA does not read.
    auto bails = [](int v) { return v >= 0x80; };
    // Byte classes: bytes that every used set and (with assertions) the
    // context tell apart.
    uint8_t rep[256];
    int32_t classes = 0;
    for (int v = 0; v < 256; ++v) {
        int32_t k = 0;
        for (; k < classes; ++k) {
            const uint8_t r = rep[k];
            const bool bailV = bails(v), bailR = bails(r);
            if (bailV != bailR) continue;
            if (bailV) break;
            if (asserts && c->ctxOf[v] != c->ctxOf[r]) continue;
            bool same = true;
            for (int32_t s = 0; s < prog->setCount && same; ++s)
                if (used[s] && sets[s].has(uint8_t(v)) != sets[s].has(r)) same = false;
            if (same) break;
        }
        if (k == classes) rep[classes++] = uint8_t(v);
        c->classOf[v] = uint8_t(k);
    }

    c->classCount = classes;
    c->bailClass = c->classOf[0x80];
    c->hasAsserts = asserts;
    c->instCount = prog->instCount;
    c->keyCount = prog->keyCount;
    c->flagShift = prog->flagCount;
    c->progOff = static_cast<int32_t>(progBytes - reinterpret_cast<uint8_t*>(c));
    int64_t off = sizeof(DfaCache);
    c->marksOff = static_cast<int32_t>(off);
    off = round8(off + int64_t(c->keyCount) * 4);
    c->stackOff = static_cast<int32_t>(off);
    off = round8(off + (int64_t(2) * c->keyCount + c->instCount + 2) * 8);
    c->scratchOff = static_cast<int32_t>(off);
    off = round8(off + int64_t(3) * (c->instCount + 1) * 2);
    const int64_t room = (gapEnd - reinterpret_cast<uint8_t*>(c)) - off;
    const int64_t perState = sizeof(DfaState) + int64_t(4) * classes + 16 + 2 * kPoolPerState;
    int64_t cap = room > 0 ? room / perState : 0;
    if (cap < kMinStates) return;
    if (cap > 0x7fff) cap = 0x7fff;
    int32_t hashCap = 1;
    while (hashCap < 2 * cap) hashCap <<= 1;
    c->stateCap = static_cast<int32_t>(cap);
    c->infoOff = static_cast<int32_t>(off);
    off = round8(off + cap * int64_t(sizeof(DfaState)));
    c->transOff = static_cast<int32_t>(off);
    off = round8(off + cap * classes * 4);
    c->hashOff = static_cast<int32_t>(off);
    off = round8(off + int64_t(hashCap) * 4);
    c->poolOff = static_cast<int32_t>(off);
    const int64_t poolBytes = (gapEnd - reinterpret_cast<uint8_t*>(c)) - off;
    if (poolBytes < int64_t(2) * (c->instCount + 1)) return;
    c->poolCap = static_cast<int32_t>(poolBytes / 2 > 0x3fffffff ? 0x3fffffff : poolBytes / 2);
    c->hashCap = hashCap;
    std::memset(marks(c), 0, sizeof(uint32_t) * size_t(c->keyCount));
    c->emptyRows = (asserts ? 4 : 1) * classes;
    c->retries = prog->useful != 0;
    clear(c);
    c->enabled = 1;
    c->magic = kDfaMagic;
}

DfaCache* dfa_cache(QelRegExpState* state, const LinearProgram* linear) {
    if (linear == nullptr) return nullptr;
    const int64_t progEnd = linear->bestOff + int64_t(linear->capWords + 1) * 4;
    uint8_t* at = const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(linear)) + round8(progEnd);
    if (at + sizeof(DfaCache) > reinterpret_cast<uint8_t*>(state) + kNodeArrayOffset) return nullptr;
    auto* c = reinterpret_cast<DfaCache*>(at);
    if (c->magic != kDfaMagic || c->enabled != 1) return nullptr;
    return c;
}

bool dfa_saves_retries(const DfaCache* cache) { return cache->retries != 0; }

void dfa_set_enabled(QelRegExpState* state, bool on) {
    const LinearProgram* prog = linear_program(state, LinearUse::Always);
    if (prog == nullptr) return;
    const int64_t progEnd = prog->bestOff + int64_t(prog->capWords + 1) * 4;
    uint8_t* at = const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(prog)) + round8(progEnd);
    if (at + sizeof(DfaCache) > reinterpret_cast<uint8_t*>(state) + kNodeArrayOffset) return;
    auto* c = reinterpret_cast<DfaCache*>(at);
    if (c->magic == kDfaMagic) c->enabled = on ? 1 : 0;
}

namespace {

// The state at `at` with nothing alive: the row of its transitions.
int32_t fresh_row(DfaCache* c, const uint8_t* subject, const uint8_t* at) {
    if (!c->hasAsserts) return 0;
    return (at == subject ? C_START : c->ctxOf[at[-1]]) * c->classCount;
}

// The transition of the state at `row` on byte `b` of context `next`,
// clearing the cache when it is full: kUnknown when it is still full then
// (or was last cleared too recently). `row` follows the state when the cache
// is cleared.
int32_t step_or_clear(DfaCache* c, int32_t& row, uint8_t b, uint8_t next, const uint8_t* p, const uint8_t*& lastClear) {
    const int32_t s = row / c->classCount;
    int32_t e = step(c, s, b, next);
    if (e != kUnknown) return e;
    if (lastClear != nullptr && p - lastClear < kThrashBytes) return kUnknown;
    lastClear = p;
    const DfaState d = infos(c)[s];
    int16_t* keep = scratch(c, 2);
    if (d.count > 0) std::memcpy(keep, pool(c) + d.pool, sizeof(int16_t) * size_t(d.count));
    clear(c);
    const int32_t again = intern(c, keep, d.count, d.prev);
    if (again < 0) return kUnknown;
    row = again * c->classCount;
    return step(c, again, b, next);
}

}  // namespace

namespace {
bool locate(const uint8_t* pos, int32_t remaining, const RegExpMatchState& ms, DfaCache* c, const DfaSkip* skip,
            const uint8_t** from, const uint8_t** landed, const uint8_t** stopped);
}  // namespace

bool dfa_locate(const uint8_t* pos, int32_t remaining, const RegExpMatchState& ms, DfaCache* c,
                const DfaSkip* skip, const uint8_t** from, bool* gained) {
    const uint8_t* landed = pos;   // where the first skip landed
    const uint8_t* stopped = pos;  // where it found the first match end
    *gained = true;
    const bool found = locate(pos, remaining, ms, c, skip, from, &landed, &stopped);
    if (found) *gained = *from > landed;
    return found;
}

namespace {

bool locate(const uint8_t* pos, int32_t remaining, const RegExpMatchState& ms, DfaCache* c, const DfaSkip* skip,
            const uint8_t** from, const uint8_t** landed, const uint8_t** stopped) {
    const uint8_t* const subject = ms.subjectStart;
    const uint8_t* const end = pos + remaining;
    // The last byte is stepped apart: a line feed there reads as the last.
    const uint8_t* const last = end - 1;
    const uint8_t* p = pos;
    const uint8_t* low = pos;  // no match starts before this
    const uint8_t* lastClear = nullptr;
    int32_t* const tr = trans(c);
    const uint8_t* const classOf = c->classOf;
    *from = pos;
    // Skipping ahead costs a call, about as much as reading a few dozen
    // bytes; after one that moved little, read on for a while before the
    // next (on a long window: on a short one the filter's calls are cheap
    // against reading the rest of it).
    const uint8_t* skipFrom = skip != nullptr ? pos : end;
    int32_t row = fresh_row(c, subject, p);
    const int32_t emptyRows = c->emptyRows;
    bool atEmpty = true;
    for (;;) {
        if (atEmpty && p >= skipFrom && p < end) {
            const uint8_t* q = skip->advance(p, skip->arg);
            if (q == nullptr) return false;
            skipFrom = q - p < kShortSkip && remaining >= kLongWindow ? q + kReadAfterShortSkip : q;
            if (q != p) {
                p = q;
                low = q;
                if (*landed == pos) *landed = q;
                row = fresh_row(c, subject, q);
            }
        }
        atEmpty = false;
        int32_t e = 0;
        if (skip != nullptr) {
            while (p < last) {
                e = tr[row + classOf[*p]];
                if (e < 0) break;
                ++p;
                row = e;
                if (row < emptyRows) {
                    low = p;
                    if (p >= skipFrom) {
                        atEmpty = true;
                        break;
                    }
                }
            }
        } else {
            // One dependent load per byte; the position where nothing was
            // alive moves by a conditional move, not a branch.
            while (p < last) {
                e = tr[row + classOf[*p]];
                if (e < 0) break;
                ++p;
                row = e;
                low = row < emptyRows ? p : low;
            }
        }
        if (atEmpty) continue;
        if (p >= last) break;
        if (e == kBail || e == kMatch) {
            *from = low;
            *stopped = p;
            return true;
        }
        const uint8_t b = *p;
        e = step_or_clear(c, row, b, c->ctxOf[b], p, lastClear);
        if (e == kUnknown) {
            *from = low;
            *stopped = p;
            return true;
        }
        tr[row + classOf[b]] = e;
    }
    if (p < end) {
        const uint8_t b = *p;
        if (classOf[b] == c->bailClass) {
            *from = low;
            *stopped = p;
            return true;
        }
        const int32_t e = step_or_clear(c, row, b, b == kLineFeed ? C_LASTLF : c->ctxOf[b], p, lastClear);
        if (e == kUnknown || e == kMatch) {
            *from = low;
            *stopped = p;
            return true;
        }
        row = e;
        if (row < emptyRows) low = p + 1;
    }
    if (matches_at_end(c, row / c->classCount)) {
        *from = low;
            *stopped = p;
        return true;
    }
    return false;
}

}  // namespace

}  // namespace qel::re
