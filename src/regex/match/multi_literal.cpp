// The shared literal scan. Literals are chained by a hash of their first two
// bytes (one-byte literals by their byte); one pass over the subject looks
// each position up once and checks only the literals of its chain. A few
// literals of two bytes or more go through the vector filter of
// literal_set.h first; only the positions it lets through are checked. Each
// slot keeps the end of its last match, so occurrences that overlap it are
// passed over, exactly as the global search resumes after a match; a slot
// stops when its record array is full or, without "g", at its first match.
#include "regex/match/multi_literal.h"

#include <immintrin.h>

#include <cstring>

#include "regex/match/literal_set.h"
#include "regex/match/match.h"
#include "regex/match/search_internal.h"
#include "regex/match/start_facts.h"

namespace qel::re {
namespace {

constexpr uint32_t kPairTableBits = 12;
constexpr int32_t kVectorFilterMinSubject = 64;
constexpr uint16_t kNone = 0xFFFF;
// The matcher needs two units of the nesting budget for a literal (its node,
// then the end of the pattern); a state with less never matches at all and
// goes through its own search.
constexpr int32_t kMinMatchLimit = 2;

inline uint32_t pair_hash(uint8_t a, uint8_t b) {
    return ((uint32_t(a) << 5) ^ uint32_t(b)) & ((1u << kPairTableBits) - 1);
}

struct SlotRun {
    QelRegExpFind* results;
    int32_t capacity;
    int32_t count;
    int64_t next;  // no match may start before this (end of the last one)
    bool done;
    // Work budget of the slot's matcher, shared by all its attempts in the
    // pass as one search call shares it.
    int64_t workLeft;
};

void begin_record(QelRegExpMultiFind& rec) {
    rec.searched = 0;
    rec.identifier = 0;
    rec.status = 0;
}

void finish_record(QelRegExpMultiFind& rec, int32_t count, int32_t id, QelStatus status) {
    rec.count = count;
    rec.status = status;
    rec.identifier = id;
    rec.searched = 1;
}

// One match attempt of a verified slot at an occurrence of its literal, as
// the slot's own search would make it there: the same working record, every
// top-level alternative at this one position, and the records copied as the
// single or global search copies them. No match of such a pattern is empty,
// so the next attempt starts at the end of this match.
// Returns true when it recorded a match.
bool verify_at(const Qel8u* subject, int32_t len, int32_t i, const SharedLiteral& lit, SlotRun& r, QelStatus& status) {
    QelRegExpState* state = lit.verify;
    const StateHeader& h = *header(state);
    CaptureRecord* caps = capture_table(state);
    RegExpMatchState ms{};
    // Every top-level branch is tried at the position, from the first bar on.
    int32_t altSearchStart = h.nodeCount;
    if (const SearchPlan* plan = search_plan(state)) {
        ms.plannedCount = plan->itemCount;
        ms.planned = plan_items(plan);
        if (plan->firstBar >= 0) altSearchStart = plan->firstBar;
    }
    ms.currentNode = 0;
    ms.endNode = h.nodeCount;
    ms.options = h.options;
    ms.rejectEmpty = 0;
    ms.captureCount = h.captureCount;
    ms.budget = h.matchLimit;
    ms.format = h.format;
    ms.subjectStart = subject;
    ms.nodes = node_array(state);
    ms.captures = caps;
    ms.groups = group_table(state);
    ms.workLeft = r.workLeft;
    ms.cut = 0;
    init_match_stack_guard(ms);
    const int found = ownRegExpScan(subject + i, len - i, ms, 2, altSearchStart);
    r.workLeft = ms.workLeft;
    if (ms.cut) {
        // A cut path may have been this slot's next match: stop it as its own
        // search would, keeping the matches found before, with the count its
        // own search leaves (the capacity for "g", else the records a match
        // would have filled), so the slot reads the same either way.
        status = qelErrMatchLimit;
        r.count = lit.global ? r.capacity : (r.capacity < h.captureCount ? r.capacity : h.captureCount);
        r.done = true;
        return false;
    }
    if (found != 0) return false;
    if (!lit.global) {
        const int32_t n = r.capacity < h.captureCount ? r.capacity : h.captureCount;
        for (int32_t c = 0; c < n; ++c) copy_record(r.results[c], caps[c]);
        r.count = n;
        status = n < h.captureCount ? qelWrnFindIncomplete : qelOk;
        r.done = true;
        return true;
    }
    const int32_t f = h.captureCount > 1 ? 1 : 0;
    const int32_t m = h.captureCount - f;
    const int32_t room = r.capacity - r.count < m ? r.capacity - r.count : m;
    for (int32_t c = 0; c < room; ++c) copy_record(r.results[r.count + c], caps[f + c]);
    r.count += room;
    r.next = int64_t(caps[0].pointer - subject) + caps[0].length;
    if (r.count >= r.capacity) r.done = true;
    return true;
}

// First position >= target that a scan stepping on from the visited
// position q visits. In UTF-8 format the scan never stops inside a valid
// sequence and stops at every byte that is not a continuation byte, so the
// walk starts at the last such byte before the target.
int64_t sync_to_visited(const Qel8u* subject, int32_t len, int64_t q, int64_t target, int32_t format) {
    if (format != 1 || target <= q || target >= len) return target;
    int64_t r = target;
    while (r > q && (subject[r] & 0xC0) == 0x80) --r;
    while (r < target) r += utf8_step(subject + r, static_cast<int32_t>(len - r));
    return r;
}

// The matcher of a verified slot at every start the occurrence of its
// literal at p allows, in the order the slot's own scan tries them, from
// where that scan stands (r.next). Every match holds an occurrence of the
// literal, and its start lies in the window of the first occurrence at or
// after it: the occurrences come in order, so each start is tried once, at
// that occurrence, and none the scan would try is left out.
void verify_window(const Qel8u* subject, int32_t len, int32_t p, const SharedLiteral& lit, SlotRun& r,
                   QelStatus& status, int32_t format) {
    if (lit.back == 0 && lit.runStop == nullptr) {
        // A slot with several literals may be handed the same start twice.
        if (!verify_at(subject, len, p, lit, r, status) && !r.done) r.next = int64_t(p) + 1;
        return;
    }
    int64_t s = p - int64_t(lit.back);
    if (lit.runStop != nullptr) {
        s = p;
        while (s > r.next && !lit.runStop->has(subject[s - 1])) --s;
    }
    s = sync_to_visited(subject, len, r.next, s > r.next ? s : r.next, format);
    while (s <= p && !r.done) {
        const uint8_t b = subject[s];
        if (lit.firstBytes->has(b)) {
            if (verify_at(subject, len, static_cast<int32_t>(s), lit, r, status)) {
                s = r.next;
                continue;
            }
            if (r.done) return;
            if (lit.skipStop != nullptr && !lit.skipStop->has(b)) {
                // Later starts of this run fail as this one did.
                const int32_t k = find_byteset(subject + s, static_cast<int32_t>(len - s), *lit.skipStop);
                s = k < 0 ? len : s + k;
                continue;
            }
        }
        s += format == 1 ? utf8_step(subject + s, static_cast<int32_t>(len - s)) : 1;
    }
    if (r.next <= p) r.next = int64_t(p) + 1;
}

}  // namespace

namespace {

bool shared_literal_of(QelRegExpState* state, const QelRegExpMultiFind& rec, SharedLiteral& out);

// Most literals one slot brings to the pass.
constexpr uint32_t kMaxLiteralsPerSlot = 8;

// A slot every match of which begins with one of a few case-sensitive
// literals of two bytes or more: a top-level alternation whose branches each
// begin with one ("was|were", "ab\\d|cd"), or word-boundary tests and then
// a group of plain literal branches ("\\b(?:he|she|it)\\b", "(?:ma|me)n").
// The matcher tries every branch at each occurrence, so the pass only needs
// the candidates.
uint32_t alternative_literals(QelRegExpState* state, SharedLiteral* out, uint32_t room) {
    const StateHeader& h = *header(state);
    const RegExpNode* nodes = node_array(state);
    const int32_t count = h.nodeCount;
    uint32_t opts = h.options;
    for (int32_t i = 0; i < count; ++i) {
        const RegExpNode& n = nodes[i];
        if (n.w0 == RE_SETOPTS) opts |= static_cast<uint32_t>(n.w1);
        if (n.w0 == RE_GROUP_OPTS || n.w0 == RE_CHAR || n.w0 == RE_STRING) opts |= static_cast<uint32_t>(n.w3);
        if (n.w0 == RE_ALT_END || n.w0 == RE_CLOSE) opts |= static_cast<uint32_t>(n.w2);
    }
    if (opts & RE_OPT_IGNORECASE) return 0;
    auto literal_at = [&](int32_t i, uint32_t k) {
        if (i >= count || nodes[i].w0 != RE_STRING || nodes[i].w2 < 2 || node_pointer(nodes[i]) == nullptr ||
            (i + 1 < count && is_quantifier(nodes[i + 1].w0)) || k >= room || k >= kMaxLiteralsPerSlot)
            return false;
        out[k].bytes = static_cast<const uint8_t*>(node_pointer(nodes[i]));
        out[k].len = nodes[i].w2;
        return true;
    };
    uint32_t k = 0;
    int32_t i = 0;
    while (i < count && nodes[i].w0 == RE_ANCHOR && (nodes[i].w1 == 'b' || nodes[i].w1 == 'B')) ++i;
    bool topBar = false;
    for (int32_t j = 0; j < count; ++j) topBar = topBar || (nodes[j].w0 == RE_ALT_END && nodes[j].w1 == 0);
    if (topBar) {
        // Every top-level branch must begin with its literal: nothing before.
        if (i != 0 || !literal_at(0, k++)) return 0;
        for (int32_t j = 0; j < count; ++j)
            if (nodes[j].w0 == RE_ALT_END && nodes[j].w1 == 0 && !literal_at(j + 1, k++)) return 0;
        return k;
    }
    if (i > 0 && i < count && is_quantifier(nodes[i].w0)) return 0;
    if (i >= count || (nodes[i].w0 != RE_GROUP && nodes[i].w0 != RE_CAPTURE)) return 0;
    const int32_t body = nodes[i].w2;
    const int32_t close = i + body + 1;
    if (body < 1 || close >= count || nodes[close].w0 != RE_CLOSE) return 0;
    if (close + 1 < count && is_quantifier(nodes[close + 1].w0)) return 0;
    // Branches of exactly one plain literal each.
    for (int32_t j = i + 1; j < close; j += 2) {
        if (!literal_at(j, k++)) return 0;
        if (j + 1 < close && !(nodes[j + 1].w0 == RE_ALT_END && nodes[j + 1].w1 == nodes[i].w1)) return 0;
    }
    return k >= 2 ? k : 0;
}

}  // namespace

uint32_t shared_literals_of(QelRegExpState* state, const QelRegExpMultiFind& rec, SharedLiteral* out, uint32_t room) {
    if (room < 1) return 0;
    if (shared_literal_of(state, rec, out[0])) return 1;
    // Only where the slot's search runs the matcher: a search without "g"
    // of literal branches alone is answered by plain searches, which the
    // matcher cannot stand for.
    const StateHeader& h = *header(state);
    if (rec.results == nullptr || rec.count < 1 || h.identifier != kStateIdentifier || h.nodeCount < 1 ||
        h.captureCount < 1 || h.captureCount > kMaxCaptureRecords || h.matchLimit < 0)
        return 0;
    const SearchPlan* plan = search_plan(state);
    if (plan == nullptr || (plan->plainAlternation && (h.options & RE_OPT_GLOBAL) == 0)) return 0;
    // A required literal after the branches ("(?:ma|me)n") already leads the
    // slot's own search to few starts; branches of two letters would bring
    // the pass many more.
    if (plan->filter.useLiteral) return 0;
    const uint32_t n = alternative_literals(state, out, room);
    for (uint32_t k = 0; k < n; ++k) {
        if (h.format != 0 && out[k].bytes[0] >= 0x80) return 0;
        out[k].global = (h.options & RE_OPT_GLOBAL) != 0;
        out[k].verify = state;
        out[k].back = 0;
        out[k].runStop = nullptr;
        out[k].firstBytes = nullptr;
        out[k].skipStop = nullptr;
    }
    return n;
}

namespace {

bool shared_literal_of(QelRegExpState* state, const QelRegExpMultiFind& rec, SharedLiteral& out) {
    if (rec.results == nullptr || rec.count < 1) return false;
    const StateHeader& h = *header(state);
    if (h.identifier != kStateIdentifier || h.nodeCount < 1 || h.captureCount < 1) return false;
    out.verify = nullptr;
    out.global = (h.options & RE_OPT_GLOBAL) != 0;
    const RegExpNode& n = node_array(state)[0];
    if (h.nodeCount == 1 && h.captureCount == 1 && h.matchLimit >= kMinMatchLimit &&
        (h.options & RE_OPT_IGNORECASE) == 0 && (static_cast<uint32_t>(n.w3) & RE_OPT_IGNORECASE) == 0) {
        if (n.w0 == RE_CHAR && n.w1 >= 0 && n.w1 < 0x80) {
            // w1 holds the byte value; its low byte comes first in memory.
            out.bytes = reinterpret_cast<const uint8_t*>(&n) + 4;
            out.len = 1;
            return true;
        }
        if (n.w0 == RE_STRING && n.w2 >= 1 && node_pointer(n) != nullptr) {
            out.bytes = static_cast<const uint8_t*>(node_pointer(n));
            out.len = n.w2;
            // In UTF-8 format the scan starts only at character boundaries;
            // an ASCII first byte is always one.
            return h.format == 0 || out.bytes[0] < 0x80;
        }
    }
    // A pattern anchored to the start or to line starts is tried at few
    // positions anyway; leave it to its own search.
    if (n.w0 == RE_ANCHOR && (n.w1 == 'A' || n.w1 == 'G' || n.w1 == '^')) return false;
    // The budget is given back after every attempt, so it can end up
    // negative only from a negative limit; leave such a state to its own
    // search, which reports it.
    if (h.matchLimit < 0 || h.captureCount > kMaxCaptureRecords) return false;
    // The plan is absent with the general path forced: the slot then takes
    // its own search, so the switch turns this path off too.
    const SearchPlan* plan = search_plan(state);
    if (plan == nullptr) return false;
    const StartFilter& f = plan->filter;
    // No match is empty: the first-byte set is only derived then.
    if (!f.useByteSet) return false;
    out.verify = state;
    out.firstBytes = &f.firstBytes;
    out.skipStop = f.skipRunOnFail ? &f.headStop : nullptr;
    out.runStop = nullptr;
    out.back = 0;
    const bool utf8 = h.format != 0;
    if (f.useLiteral && !f.literalFolded && f.literalLen >= 2 && f.maxOffset == 0) {
        out.bytes = f.literal;
        out.len = f.literalLen;
    } else if (f.useRun && f.literalDrive && f.runLiteralLen >= 2) {
        // In UTF-8 format the walk back over the run must meet only
        // one-byte characters, every one of which the scan visits.
        if (utf8 && !(f.runStop.bits[2] == ~uint64_t(0) && f.runStop.bits[3] == ~uint64_t(0))) return false;
        out.bytes = f.runLiteral;
        out.len = f.runLiteralLen;
        out.runStop = &f.runStop;
    } else if (f.useLiteral && !f.literalFolded && f.literalLen >= 2) {
        out.bytes = f.literal;
        out.len = f.literalLen;
        out.back = f.maxOffset;
    } else {
        return false;
    }
    // In UTF-8 format the pass reports occurrences at any byte; one whose
    // first byte is ASCII starts a character, and the position after it is
    // one the scan visits.
    return !utf8 || out.bytes[0] < 0x80;
}

}  // namespace

void search_literal_slots(const Qel8u* subject, int32_t len, const uint32_t* slots, const SharedLiteral* lits,
                          const int32_t* ids, uint32_t n, QelRegExpMultiFind* records) {
    if (n > kMaxSharedLiterals) n = kMaxSharedLiterals;
    uint16_t pairHead[1u << kPairTableBits];
    uint16_t byteHead[256];
    uint16_t next[kMaxSharedLiterals];
    // The first (up to) eight bytes of each literal and the mask of those
    // in use: one load and compare settles most literals.
    uint64_t head[kMaxSharedLiterals];
    uint64_t headMask[kMaxSharedLiterals];
    // A slot with several literals keeps its run and status at its first.
    uint16_t owner[kMaxSharedLiterals];
    SlotRun run[kMaxSharedLiterals];
    QelStatus status[kMaxSharedLiterals];
    for (uint32_t k = 0; k < n; ++k) owner[k] = k > 0 && slots[k - 1] == slots[k] ? owner[k - 1] : uint16_t(k);
    std::memset(pairHead, 0xFF, sizeof pairHead);
    std::memset(byteHead, 0xFF, sizeof byteHead);
    bool anyByte = false;
    uint32_t active = 0;
    // Chained in reverse, so that each chain lists its literals in slot
    // order (only the order of slots' own matches matters, but a fixed order
    // keeps the pass easy to follow).
    for (uint32_t k = n; k-- > 0;) {
        if (owner[k] == k) {
            QelRegExpMultiFind& rec = records[slots[k]];
            begin_record(rec);
            run[k] = {rec.results, lits[k].global || lits[k].verify ? rec.count : 1, 0, 0, false,
                      lits[k].verify ? work_budget_for(header(lits[k].verify)->matchLimit) : 0};
            status[k] = qelOk;
            ++active;
        }
        const uint8_t* b = lits[k].bytes;
        if (lits[k].len == 1) {
            next[k] = byteHead[b[0]];
            byteHead[b[0]] = uint16_t(k);
            anyByte = true;
        } else {
            const int32_t m = lits[k].len < 8 ? lits[k].len : 8;
            head[k] = 0;
            std::memcpy(&head[k], b, size_t(m));
            headMask[k] = m == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * m)) - 1;
            const uint32_t hsh = pair_hash(b[0], b[1]);
            next[k] = pairHead[hsh];
            pairHead[hsh] = uint16_t(k);
        }
    }
    auto hit = [&](uint32_t k, int32_t i) {
        const uint32_t o = owner[k];
        SlotRun& r = run[o];
        if (r.done || i < r.next) return;
        if (lits[k].verify != nullptr) {
            verify_window(subject, len, i, lits[k], r, status[o], header(lits[k].verify)->format);
            if (r.done) --active;
            return;
        }
        r.results[r.count].pointer = subject + i;
        r.results[r.count].length = lits[k].len;
        ++r.count;
        r.next = int64_t(i) + lits[k].len;
        if (r.count >= r.capacity) {
            r.done = true;
            --active;
        }
    };
    // Checks literal k at position i (its first two bytes may differ).
    auto check = [&](uint32_t k, int32_t i) {
        const int32_t l = lits[k].len;
        if (i + 8 <= len) {
            uint64_t word;
            std::memcpy(&word, subject + i, 8);
            if (((word ^ head[k]) & headMask[k]) != 0) return;
            if (l <= 8 || (l <= len - i && std::memcmp(subject + i + 8, lits[k].bytes + 8, size_t(l - 8)) == 0))
                hit(k, i);
        } else if (l <= len - i && std::memcmp(subject + i, lits[k].bytes, size_t(l)) == 0) {
            hit(k, i);
        }
    };
    int32_t i = 0;
    if (!anyByte && n <= kVectorFilterMaxLiterals && len >= kVectorFilterMinSubject) {
        LiteralSetFilter filter;
        const uint8_t* bytes[kVectorFilterMaxLiterals];
        int32_t lens[kVectorFilterMaxLiterals];
        for (uint32_t k = 0; k < n; ++k) {
            bytes[k] = lits[k].bytes;
            lens[k] = lits[k].len;
        }
        build_literal_set_filter(filter, n, bytes, lens, false);
        const LiteralSetTables tables(filter);
        alignas(32) uint8_t buckets[32];
        for (; i + 32 + (kLiteralSetWidth - 1) <= len && active > 0; i += 32) {
            const __m256i acc = tables.buckets(subject + i);
            uint32_t mask = candidate_mask(acc);
            if (mask == 0) continue;
            _mm256_store_si256(reinterpret_cast<__m256i*>(buckets), acc);
            while (mask != 0) {
                const int32_t p = __builtin_ctz(mask);
                mask &= mask - 1;
                for (uint32_t bits = buckets[p]; bits != 0; bits &= bits - 1)
                    for (uint8_t k = filter.bucketHead[__builtin_ctz(bits)]; k != kLiteralSetEnd;
                         k = filter.bucketNext[k])
                        check(k, i + p);
            }
        }
    }
    // The hash-chained pass (and the end the vector filter leaves).
    for (; i < len && active > 0; ++i) {
        const uint8_t a = subject[i];
        if (anyByte)
            for (uint16_t k = byteHead[a]; k != kNone; k = next[k]) hit(k, i);
        if (i + 1 >= len) break;
        const uint8_t b = subject[i + 1];
        uint16_t k = pairHead[pair_hash(a, b)];
        if (k == kNone) continue;
        for (; k != kNone; k = next[k]) check(k, i);
    }
    for (uint32_t k = 0; k < n; ++k) {
        if (owner[k] != k) continue;
        if (lits[k].verify != nullptr && status[k] == qelErrMatchLimit) {
            // The pass cut this slot's matcher, but the slot's own search
            // need not be cut: it may rule the subject out before matching,
            // or hand the pattern to the linear path. The slot is searched
            // again on its own, so it reads exactly what a search of its
            // pattern alone gives.
            int32_t count = run[k].capacity;
            const QelStatus st = qelsRegExpFind_8u(subject, len, lits[k].verify, records[slots[k]].results, &count);
            finish_record(records[slots[k]], count, ids[k], st);
            continue;
        }
        if (lits[k].verify != nullptr && lits[k].global) {
            // As the global search ends: a warning when not even the first
            // match's records all fitted.
            const StateHeader& h = *header(lits[k].verify);
            const int32_t m = h.captureCount > 1 ? h.captureCount - 1 : 1;
            if (run[k].count > 0 && run[k].count < m) status[k] = qelWrnFindIncomplete;
        }
        finish_record(records[slots[k]], run[k].count, ids[k], status[k]);
    }
}

}  // namespace qel::re
