// The linear path's scan: all start positions at once, one subject byte per
// step.
//
// The current list holds the threads that wait at a consuming instruction
// at this position, in priority order (earlier start first, then the order
// in which the backtracker would try them). A step feeds the byte to each
// thread in turn; a thread that consumed a character follows the
// non-consuming instructions after it (its closure) into the next list,
// where a program point already reached at that position by a thread of
// higher priority is dropped: its future is the same, and the backtracker
// would only have reached it after the other had failed. A character of
// several bytes keeps its thread waiting in the lists of the bytes between,
// so that the lists stay in priority order.
//
// A thread that reaches the end of the program is a match; every thread
// after it in priority is dropped, and no later start position is tried.
// The threads before it run on and replace it if they match later.
#include <climits>
#include <cstring>

#include "regex/match/linear_internal.h"
#include "regex/match/match_internal.h"
#include "regex/match/search_internal.h"
#include "string/find.h"

namespace qel::re {
namespace {

constexpr uint8_t kLineFeed = 10;

struct ThreadList {
    int32_t count;
    int32_t pad;
    int32_t words[1];  // count threads of threadWords words
};

struct Scanner {
    const LinearProgram* prog;
    const LinearInst* insts;
    const LinearSet* sets;
    const RegExpNode* nodes;
    uint32_t* marks;
    int32_t* stack;
    int32_t* cur;
    int32_t* best;        // capture vector, then the end offset
    const uint8_t* subject;
    int32_t windowEnd;    // offset of the window end from the subject start
    int32_t threadWords;
    int32_t capWords;
    int32_t flagShift;
    bool rejectEmpty;
    bool matched;
    int32_t idleAt;       // next start position when stopped idle, else -1
};

bool assertion_holds(uint8_t letter, uint32_t opts, const uint8_t* s, int32_t p, int32_t end) {
    const bool atStart = p == 0;
    const bool atEnd = p == end;
    switch (letter) {
        case '^':
            return atStart || ((opts & RE_OPT_MULTILINE) && !atEnd && s[p - 1] == kLineFeed);
        case '$':
            if (opts & RE_OPT_MULTILINE) return atEnd || s[p] == kLineFeed;
            return atEnd || (end - p == 1 && s[p] == kLineFeed);
        case 'A':
        case 'G':
            return atStart;
        case 'Z':
            return atEnd || (end - p == 1 && s[p] == kLineFeed);
        case 'z':
            return atEnd;
        case 'b':
        case 'B': {
            const bool before = !atStart && is_word_byte(s[p - 1]);
            const bool after = !atEnd && is_word_byte(s[p]);
            return (before != after) == (letter == 'b');
        }
        case 128:
            return atStart || s[p - 1] == kLineFeed;
        default:
            return false;
    }
}

// Bytes the consumer takes at offset p, 0 when it rejects.
inline int32_t consume_length(const Scanner& sc, const LinearInst& in, int32_t p) {
    const uint8_t* at = sc.subject + p;
    const uint8_t b = *at;
    if (b < 0x80 || in.kind == K_BYTE) return sc.sets[in.y].has(b) ? 1 : 0;
    const int32_t remaining = sc.windowEnd - p;
    if (in.kind == K_LEAD) return sc.sets[in.y].has(b) ? read_utf8(at, remaining).length : 0;
    const RegExpNode& n = sc.nodes[in.x];
    if (n.w0 == RE_CLASS) return class_unit_length(sc.nodes, in.x, at, remaining, in.opts);
    const Utf8Char ch = read_utf8(at, remaining);
    return codepoint_item_test(n, ch, in.opts) ? ch.length : 0;
}

inline int32_t* thread_at(ThreadList* l, int32_t i, int32_t words) { return l->words + int64_t(i) * words; }

// Capture vectors are a few words long: a plain loop beats a library call.
inline void copy_words(int32_t* to, const int32_t* from, int32_t n) {
    for (int32_t i = 0; i < n; ++i) to[i] = from[i];
}

void append_thread(const Scanner& sc, ThreadList* out, int32_t pc, int32_t wait, const int32_t* caps) {
    if (out->count >= sc.prog->listCapacity) return;  // cannot happen: the capacity bounds the distinct threads
    int32_t* t = thread_at(out, out->count++, sc.threadWords);
    t[0] = pc;
    t[1] = wait;
    copy_words(t + 2, caps, sc.capWords);
}

// Follows the non-consuming instructions from `pc0` at offset `pos` with
// capture vector `caps`, appending the consuming threads reached to `out` in
// priority order. Returns true when it reached a match (lower-priority work
// is then dropped).
bool closure(Scanner& sc, int32_t pc0, const int32_t* caps, int32_t pos, ThreadList* out, uint32_t gen) {
    int32_t* cur = sc.cur;
    copy_words(cur, caps, sc.capWords);
    int32_t* stack = sc.stack;
    int32_t sp = 0;
    stack[0] = pc0;
    stack[1] = 0;
    sp = 1;
    while (sp > 0) {
        --sp;
        int32_t pc = stack[2 * sp];
        if (pc < 0) {
            cur[-pc - 1] = stack[2 * sp + 1];
            continue;
        }
        uint32_t flags = uint32_t(stack[2 * sp + 1]);
        for (;;) {
            const LinearInst& in = sc.insts[pc];
            const bool flagFree = in.op == L_CONSUME || in.op == L_MATCH;
            const int32_t key = (pc << sc.flagShift) | (flagFree ? 0 : int32_t(flags));
            if (sc.marks[key] == gen) break;
            sc.marks[key] = gen;
            bool stop = false;
            switch (in.op) {
                case L_CONSUME:
                    append_thread(sc, out, pc, 0, cur);
                    stop = true;
                    break;
                case L_MATCH:
                    if (sc.rejectEmpty && cur[0] == pos) {
                        stop = true;
                        break;
                    }
                    copy_words(sc.best, cur, sc.capWords);
                    sc.best[sc.capWords] = pos;
                    sc.matched = true;
                    return true;
                case L_JMP:
                    pc = in.x;
                    break;
                case L_SPLIT:
                    stack[2 * sp] = in.y;
                    stack[2 * sp + 1] = int32_t(flags);
                    ++sp;
                    pc = in.x;
                    break;
                case L_OPEN: {
                    if (sc.capWords == 1) {
                        ++pc;
                        break;
                    }
                    const int32_t slot = 1 + 3 * (in.x - 1);
                    stack[2 * sp] = -slot - 1;
                    stack[2 * sp + 1] = cur[slot];
                    ++sp;
                    cur[slot] = pos;
                    ++pc;
                    break;
                }
                case L_CLOSE: {
                    if (sc.capWords == 1) {
                        ++pc;
                        break;
                    }
                    const int32_t slot = 1 + 3 * (in.x - 1);
                    stack[2 * sp] = -(slot + 1) - 1;
                    stack[2 * sp + 1] = cur[slot + 1];
                    stack[2 * sp + 2] = -(slot + 2) - 1;
                    stack[2 * sp + 3] = cur[slot + 2];
                    sp += 2;
                    cur[slot + 1] = cur[slot];
                    cur[slot + 2] = pos;
                    ++pc;
                    break;
                }
                case L_ASSERT:
                    if (!assertion_holds(in.letter, in.opts, sc.subject, pos, sc.windowEnd)) stop = true;
                    ++pc;
                    break;
                case L_LOOP_BEGIN:
                    flags |= 1u << in.flag;
                    ++pc;
                    break;
                case L_LOOP_CHECK:
                    pc = ((flags >> in.flag) & 1) ? in.x : in.y;
                    break;
                default:
                    stop = true;
                    break;
            }
            if (stop) break;
        }
    }
    return false;
}

// The next start position after p that the general scan visits, or INT_MAX.
int32_t next_start(const Scanner& sc, int32_t p, int anchorMode, int32_t format) {
    if (anchorMode == 2 || p >= sc.windowEnd) return INT_MAX;
    if (anchorMode == 1) {
        const int32_t k = find_byte(sc.subject + p, sc.windowEnd - p, kLineFeed);
        return k < 0 ? INT_MAX : p + k + 1;
    }
    return p + (format == 1 ? utf8_step(sc.subject + p, sc.windowEnd - p) : 1);
}

// From the visited start position p, the first visited position at or after
// p whose byte can begin a match; INT_MAX when none. Only for patterns that
// cannot match empty.
int32_t skip_to_candidate(const Scanner& sc, int32_t p, int32_t format, const ByteSet& firstBytes) {
    const int32_t k = find_byteset(sc.subject + p, sc.windowEnd - p, firstBytes);
    if (k < 0) return INT_MAX;
    int32_t q = p + k;
    if (format != 1 || sc.subject[q] < 0x80) return q;
    // A byte that is not a continuation byte is always visited; otherwise
    // step forward from the last one before it (a valid sequence is at most
    // six bytes long, so it starts within five bytes before q).
    int32_t r = q;
    while (r > p && (sc.subject[r] & 0xC0) == 0x80 && q - r < 6) --r;
    if ((sc.subject[r] & 0xC0) == 0x80 && r != p) return q;
    while (r < q) r += utf8_step(sc.subject + r, sc.windowEnd - r);
    return r;
}

}  // namespace

namespace {

// One scan; with `withCaptures` false the threads carry the match start
// only. Returns whether a match was found; sc.best holds it.
bool run_scan(Scanner& sc, const uint8_t* pos, int32_t remaining, RegExpMatchState& ms, int anchorMode,
              const LinearProgram* prog, bool withCaptures, bool stopWhenIdle) {
    uint8_t* base = reinterpret_cast<uint8_t*>(const_cast<LinearProgram*>(prog));
    sc = Scanner{};
    sc.idleAt = -1;
    sc.prog = prog;
    sc.insts = linear_insts(prog);
    sc.sets = reinterpret_cast<const LinearSet*>(base + prog->setOff);
    sc.nodes = ms.nodes;
    sc.marks = reinterpret_cast<uint32_t*>(base + prog->markOff);
    sc.stack = reinterpret_cast<int32_t*>(base + prog->stackOff);
    sc.cur = reinterpret_cast<int32_t*>(base + prog->curOff);
    sc.best = reinterpret_cast<int32_t*>(base + prog->bestOff);
    sc.subject = ms.subjectStart;
    sc.capWords = withCaptures ? prog->capWords : 1;
    sc.threadWords = 2 + sc.capWords;
    sc.flagShift = prog->flagCount;
    sc.rejectEmpty = ms.rejectEmpty != 0;
    int32_t p = static_cast<int32_t>(pos - ms.subjectStart);
    sc.windowEnd = p + remaining;
    ThreadList* clist = reinterpret_cast<ThreadList*>(base + prog->listAOff);
    ThreadList* nlist = reinterpret_cast<ThreadList*>(base + prog->listBOff);
    clist->count = 0;
    std::memset(sc.marks, 0, sizeof(uint32_t) * size_t(prog->keyCount));
    uint32_t gen = 1;

    const bool skipping = anchorMode == 0 && !prog->canBeEmpty && !stopWhenIdle;
    ByteSet firstBytes;
    if (skipping) {
        std::memcpy(firstBytes.bits, prog->firstBytes.bits, sizeof(firstBytes.bits));
        firstBytes.build_rows();
    }
    int32_t* const fresh = sc.cur;  // the start thread's vector, built in place
    int32_t nextStartAt = p;
    for (;;) {
        if (!sc.matched && p == nextStartAt) {
            for (int32_t i = 0; i < sc.capWords; ++i) fresh[i] = -1;
            fresh[0] = p;
            // closure() copies the vector into the same buffer first; that is
            // a copy onto itself, which memcpy may not do, so pass a copy.
            int32_t* start = sc.best;  // free until a match is recorded, and none is yet
            copy_words(start, fresh, sc.capWords);
            closure(sc, 0, start, p, clist, gen);
            nextStartAt = next_start(sc, p, anchorMode, ms.format);
        }
        if (clist->count == 0) {
            if (sc.matched || nextStartAt > sc.windowEnd) break;
            if (stopWhenIdle) {
                sc.idleAt = nextStartAt;
                break;
            }
            p = nextStartAt;
            if (skipping) {
                p = skip_to_candidate(sc, p, ms.format, firstBytes);
                if (p == INT_MAX) break;
                nextStartAt = p;
            }
            if (++gen == 0) {
                std::memset(sc.marks, 0, sizeof(uint32_t) * size_t(prog->keyCount));
                gen = 1;
            }
            continue;
        }
        if (p >= sc.windowEnd) break;
        if (++gen == 0) {
            std::memset(sc.marks, 0, sizeof(uint32_t) * size_t(prog->keyCount));
            gen = 1;
        }
        nlist->count = 0;
        for (int32_t i = 0; i < clist->count; ++i) {
            const int32_t* t = thread_at(clist, i, sc.threadWords);
            const int32_t pc = t[0];
            if (t[1] > 0) {
                if (t[1] > 1) append_thread(sc, nlist, pc, t[1] - 1, t + 2);
                else if (closure(sc, pc, t + 2, p + 1, nlist, gen)) break;
                continue;
            }
            const int32_t len = consume_length(sc, sc.insts[pc], p);
            if (len == 0) continue;
            if (len > 1) append_thread(sc, nlist, pc + 1, len - 1, t + 2);
            else if (closure(sc, pc + 1, t + 2, p + 1, nlist, gen)) break;
        }
        ThreadList* tmp = clist;
        clist = nlist;
        nlist = tmp;
        ++p;
    }
    return sc.matched;
}

}  // namespace

// Without captures to report one pass finds the match. With captures, a
// first pass whose threads carry only the match start finds where the match
// begins; a second pass anchored there, with full capture vectors, runs only
// as long as threads that start there live.
int linear_scan(const uint8_t* pos, int32_t remaining, RegExpMatchState& ms, int anchorMode,
                const LinearProgram* prog, const uint8_t** idleAt) {
    Scanner sc;
    const bool captures = prog->capWords > 1;
    if (idleAt != nullptr) *idleAt = nullptr;
    if (!run_scan(sc, pos, remaining, ms, anchorMode, prog, !captures, idleAt != nullptr)) {
        if (idleAt != nullptr && sc.idleAt >= 0) *idleAt = ms.subjectStart + sc.idleAt;
        return 1;
    }
    if (captures) {
        const int32_t start = sc.best[0];
        const uint8_t* at = ms.subjectStart + start;
        const int32_t rest = static_cast<int32_t>(pos + remaining - at);
        if (!run_scan(sc, at, rest, ms, 2, prog, true, false)) return 1;  // cannot happen: the same match is found again
    }
    const int32_t* bestCaps = sc.best;
    const uint8_t* s = ms.subjectStart;
    ms.captures[0].pointer = s + bestCaps[0];
    ms.captures[0].length = bestCaps[sc.capWords] - bestCaps[0];
    for (int32_t k = 1; k < ms.captureCount; ++k) {
        const int32_t slot = 1 + 3 * (k - 1);
        if (bestCaps[slot + 2] < 0) {
            ms.captures[k].pointer = nullptr;
            ms.captures[k].length = -1;
        } else {
            ms.captures[k].pointer = s + bestCaps[slot + 1];
            ms.captures[k].length = bestCaps[slot + 2] - bestCaps[slot + 1];
        }
    }
    return 0;
}

}  // namespace qel::re
