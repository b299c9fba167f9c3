// Pattern sets: a fixed number of slots, each holding a caller-compiled
// state under a non-zero identifier, searched in one call. With more slots
// than the library may use threads (and a subject worth waking them for), one
// OpenMP region hands the slots out to the threads one at a time, costliest
// estimate first; every slot has its own record and its own state, so the
// threads write disjoint memory and the records equal those of a serial
// search.
#include <immintrin.h>

#include <atomic>
#include <cstring>

#include "frame/frame.h"
#include "qelcore.h"
#include "regex/match/multi.h"
#include "regex/match/multi_literal.h"
#include "regex/match/start_facts.h"

namespace qel::re {
namespace {

MultiHeader* multi_header(QelRegExpMultiState* m) { return reinterpret_cast<MultiHeader*>(m); }
const MultiHeader* multi_header(const QelRegExpMultiState* m) { return reinterpret_cast<const MultiHeader*>(m); }

QelRegExpState* load_pattern(const MultiHeader* h, uint32_t i) {
    QelRegExpState* p;
    std::memcpy(&p, h->patterns + size_t(i) * sizeof(void*), sizeof p);
    return p;
}
void store_pattern(MultiHeader* h, uint32_t i, QelRegExpState* p) {
    std::memcpy(h->patterns + size_t(i) * sizeof(void*), &p, sizeof p);
}
int32_t load_id(const MultiHeader* h, uint32_t i) {
    int32_t id;
    std::memcpy(&id, h->identifiers + size_t(i) * 4, 4);
    return id;
}
void store_id(MultiHeader* h, uint32_t i, int32_t id) { std::memcpy(h->identifiers + size_t(i) * 4, &id, 4); }

void search_slot(const Qel8u* subject, int32_t len, const MultiHeader* h, uint32_t i, QelRegExpMultiFind* rec) {
    QelRegExpState* state = load_pattern(h, i);
    if (state == nullptr) return;  // free slots' records stay untouched
    rec->searched = 0;
    rec->identifier = 0;
    rec->status = 0;
    QelStatus st = qelsRegExpFind_8u(subject, len, state, rec->results, &rec->count);
    rec->status = st;
    rec->identifier = load_id(h, i);
    rec->searched = 1;
}

}  // namespace

int64_t find_free_slot(const MultiHeader* h) {
    const uint32_t max = h->maximum;
    uint32_t i = 0;
    // Four 64-bit pointers per compare; a null pointer is an all-zero lane.
    for (; i + 4 <= max; i += 4) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h->patterns + size_t(i) * 8));
        int mask = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(v, _mm256_setzero_si256())));
        if (mask) return i + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    for (; i < max; ++i)
        if (load_pattern(h, i) == nullptr) return i;
    return -1;
}

int64_t find_slot_with_state(const MultiHeader* h, const QelRegExpState* state) {
    const uint32_t max = h->maximum;
    const __m256i want = _mm256_set1_epi64x(static_cast<long long>(reinterpret_cast<uintptr_t>(state)));
    uint32_t i = 0;
    for (; i + 4 <= max; i += 4) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h->patterns + size_t(i) * 8));
        int mask = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(v, want)));
        if (mask) return i + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    for (; i < max; ++i)
        if (load_pattern(h, i) == state) return i;
    return -1;
}

int64_t find_slot_with_id(const MultiHeader* h, int32_t id) {
    const uint32_t max = h->maximum;
    const __m256i want = _mm256_set1_epi32(id);
    uint32_t i = 0;
    for (; i + 8 <= max; i += 8) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h->identifiers + size_t(i) * 4));
        int mask = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(v, want)));
        if (mask) return i + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    for (; i < max; ++i)
        if (load_id(h, i) == id) return i;
    return -1;
}

bool multi_size_for(Qel32u maxPatterns, int32_t* size) {
    uint64_t bytes = kMultiHeaderSize + kMultiSlotSize * uint64_t(maxPatterns);
    if (bytes > 0x7FFFFFFF) return false;
    *size = static_cast<int32_t>(bytes);
    return true;
}

namespace {

// Below this subject length every slot's search is over before a parallel
// region has woken its threads.
constexpr int32_t kMinParallelSubject = 16 * 1024;
// Up to this many occupied slots the hand-out order is worked out on the
// stack (16 bytes a slot); larger sets are handed out in slot order.
constexpr uint32_t kMaxOrderedSlots = 256;
// The cost estimate reads this many evenly spread pieces of the subject.
constexpr int32_t kSampleBlocks = 32;
constexpr int32_t kSampleBlockBytes = 128;

struct SlotCost {
    double cost;
    uint32_t slot;  // maximum + g: the shared literal pass of group g
};

// Below this many literal slots the shared pass saves too little.
constexpr uint32_t kMinSharedLiterals = 2;
// A group of literal slots worth a pass of its own on another thread.
constexpr uint32_t kMinLiteralsPerGroup = 8;

// Slots answered by the shared literal pass, in ascending slot order; a slot
// with several literals has as many entries, next to each other.
struct LiteralSlots {
    uint32_t slots[kMaxSharedLiterals];
    SharedLiteral lits[kMaxSharedLiterals];
    int32_t ids[kMaxSharedLiterals];
    uint32_t ordinal[kMaxSharedLiterals];  // the entry's slot among the pass's slots
    uint32_t count;                        // entries
    uint32_t slotCount;
};

void gather_literal_slots(const MultiHeader* h, const QelRegExpMultiFind* records, LiteralSlots& out) {
    out.count = 0;
    out.slotCount = 0;
    for (uint32_t i = 0; i < h->maximum && out.count < kMaxSharedLiterals; ++i) {
        QelRegExpState* st = load_pattern(h, i);
        if (st == nullptr) continue;
        const uint32_t n = shared_literals_of(st, records[i], out.lits + out.count, kMaxSharedLiterals - out.count);
        for (uint32_t k = 0; k < n; ++k) {
            out.slots[out.count] = i;
            out.ids[out.count] = load_id(h, i);
            out.ordinal[out.count] = out.slotCount;
            ++out.count;
        }
        out.slotCount += n > 0;
    }
    if (out.count <= kVectorFilterMaxLiterals) {
        // A few literals run through the vector filter, whose eight buckets
        // a slot that starts before its literal only crowds: its own search
        // is led by the same literal and gains nothing from the pass.
        uint32_t kept = 0;
        out.slotCount = 0;
        for (uint32_t k = 0; k < out.count; ++k) {
            if (out.lits[k].verify != nullptr && (out.lits[k].back > 0 || out.lits[k].runStop != nullptr)) continue;
            if (kept == 0 || out.slots[kept - 1] != out.slots[k]) ++out.slotCount;
            out.slots[kept] = out.slots[k];
            out.lits[kept] = out.lits[k];
            out.ids[kept] = out.ids[k];
            out.ordinal[kept] = out.slotCount - 1;
            ++kept;
        }
        out.count = kept;
    }
    if (out.slotCount < kMinSharedLiterals) out.count = out.slotCount = 0;
}

// Runs the shared pass over the literal slots whose ordinal % groups == g.
void search_literal_group(const Qel8u* subject, int32_t len, const LiteralSlots& ls, uint32_t g, uint32_t groups,
                          QelRegExpMultiFind* records) {
    if (groups == 1) {
        search_literal_slots(subject, len, ls.slots, ls.lits, ls.ids, ls.count, records);
        return;
    }
    uint32_t slots[kMaxSharedLiterals];
    SharedLiteral lits[kMaxSharedLiterals];
    int32_t ids[kMaxSharedLiterals];
    uint32_t n = 0;
    for (uint32_t k = 0; k < ls.count; ++k) {
        if (ls.ordinal[k] % groups != g) continue;
        slots[n] = ls.slots[k];
        lits[n] = ls.lits[k];
        ids[n] = ls.ids[k];
        ++n;
    }
    search_literal_slots(subject, len, slots, lits, ids, n, records);
}

// Occupied slots outside the literal pass, and the literal groups,
// costliest estimate first. With every item handed out one at a time from a
// shared counter, this order keeps the last items to start small, so no
// thread waits long for another at the end. `groups` comes in as the most
// groups the literal slots may be split into and goes out as the number
// used: one, when the other slots can keep the other threads busy while one
// pass runs (a split pays for a pass over the subject per group).
uint32_t order_by_cost(const Qel8u* subject, int32_t len, const MultiHeader* h, const LiteralSlots& ls,
                       uint32_t threads, uint32_t& groups, SlotCost* out) {
    uint32_t freq[256] = {};
    uint32_t sampled = 0;
    const int64_t stride = len / kSampleBlocks;
    for (int32_t b = 0; b < kSampleBlocks; ++b) {
        const Qel8u* p = subject + stride * b;
        const int32_t n = static_cast<int32_t>(len - stride * b) < kSampleBlockBytes
                              ? static_cast<int32_t>(len - stride * b)
                              : kSampleBlockBytes;
        for (int32_t i = 0; i < n; ++i) ++freq[p[i]];
        sampled += static_cast<uint32_t>(n);
    }
    double litCost[kMaxSharedLiterals];
    double literalTotal = 0, otherTotal = 0;
    uint32_t count = 0, lit = 0;
    for (uint32_t i = 0; i < h->maximum; ++i) {
        const QelRegExpState* st = load_pattern(h, i);
        if (st == nullptr) continue;
        StartFacts f;
        slot_start_facts(st, f);
        const double cost = estimate_search_cost(f, len, freq, sampled);
        if (lit < ls.count && ls.slots[lit] == i) {
            // One pass serves the group; its literals share the cost.
            litCost[ls.ordinal[lit]] = cost * 0.5;
            literalTotal += cost * 0.5;
            while (lit < ls.count && ls.slots[lit] == i) ++lit;
            continue;
        }
        otherTotal += cost;
        out[count++] = {cost, i};
    }
    if (ls.slotCount == 0) groups = 0;
    if (groups > 1 && literalTotal * threads <= literalTotal + otherTotal) groups = 1;
    for (uint32_t g = 0; g < groups; ++g) {
        out[count] = {0, h->maximum + g};
        for (uint32_t o = g; o < ls.slotCount; o += groups) out[count].cost += litCost[o];
        ++count;
    }
    // Insertion sort: a few hundred entries at most, and no allocation.
    for (uint32_t i = 1; i < count; ++i) {
        SlotCost v = out[i];
        uint32_t j = i;
        for (; j > 0 && out[j - 1].cost < v.cost; --j) out[j] = out[j - 1];
        out[j] = v;
    }
    return count;
}

// Every slot on the calling thread: the literal pass, then the others.
void search_serially(const Qel8u* subject, int32_t len, QelRegExpMultiFind* records, const MultiHeader* h) {
    LiteralSlots ls;
    gather_literal_slots(h, records, ls);
    uint32_t lit = 0;
    for (uint32_t i = 0; i < h->maximum; ++i) {
        if (lit < ls.count && ls.slots[lit] == i) {
            while (lit < ls.count && ls.slots[lit] == i) ++lit;
            continue;
        }
        search_slot(subject, len, h, i, &records[i]);
    }
    if (ls.count > 0) search_literal_slots(subject, len, ls.slots, ls.lits, ls.ids, ls.count, records);
}

}  // namespace

void search_all_slots(const Qel8u* subject, int32_t len, QelRegExpMultiFind* records, const MultiHeader* h,
                      int32_t threads) {
    const uint32_t max = h->maximum;
    uint32_t occupied = 0;
    for (uint32_t i = 0; i < max && occupied < 2; ++i) occupied += load_pattern(h, i) != nullptr;
    if (max <= static_cast<uint32_t>(threads) || threads < 2 || occupied < 2 || len < kMinParallelSubject) {
        search_serially(subject, len, records, h);
        return;
    }
    // Which thread searches which slot shows in no record, so the slots are
    // handed out one at a time from a shared counter, costliest first.
    uint32_t occupiedAll = 0;
    for (uint32_t i = 0; i < max; ++i) occupiedAll += load_pattern(h, i) != nullptr;
    LiteralSlots ls;
    ls.count = ls.slotCount = 0;
    SlotCost order[kMaxOrderedSlots];
    bool ordered = false;
    uint32_t groups = 0;
    uint32_t handOut = max;
    if (occupiedAll <= kMaxOrderedSlots) {
        gather_literal_slots(h, records, ls);
        groups = ls.slotCount / kMinLiteralsPerGroup;
        if (groups > static_cast<uint32_t>(threads)) groups = static_cast<uint32_t>(threads);
        if (groups < 1 && ls.count > 0) groups = 1;
        handOut = order_by_cost(subject, len, h, ls, static_cast<uint32_t>(threads), groups, order);
        ordered = true;
    }
    // The runtime's barriers are invisible to race detectors, so the
    // hand-offs that matter are also made explicit with release/acquire:
    // the caller's data and the order to every thread, and every thread's
    // records back to the caller.
    std::atomic<uint32_t> go{0}, next{0};
    std::atomic<int> finished{0};
    go.store(1, std::memory_order_release);
#pragma omp parallel num_threads(threads)
    {
        (void)go.load(std::memory_order_acquire);
        for (;;) {
            const uint32_t k = next.fetch_add(1, std::memory_order_relaxed);
            if (k >= handOut) break;
            const uint32_t slot = ordered ? order[k].slot : k;
            if (slot >= max)
                search_literal_group(subject, len, ls, slot - max, groups, records);
            else
                search_slot(subject, len, h, slot, &records[slot]);
        }
        finished.fetch_add(1, std::memory_order_release);
    }
    (void)finished.load(std::memory_order_acquire);
}

}  // namespace qel::re

using namespace qel::re;

extern "C" {

QelStatus qelsRegExpMultiGetSize(Qel32u maxPatterns, int32_t* size) {
    if (size == nullptr) return qelErrNullPtr;
    int32_t bytes = 0;
    if (maxPatterns == 0 || !multi_size_for(maxPatterns, &bytes)) return qelErrSize;
    *size = bytes;
    return qelOk;
}

QelStatus qelsRegExpMultiInit(QelRegExpMultiState* multiState, Qel32u maxPatterns) {
    if (multiState == nullptr) return qelErrNullPtr;
    int32_t bytes = 0;
    if (maxPatterns == 0 || !multi_size_for(maxPatterns, &bytes)) return qelErrSize;
    MultiHeader* h = multi_header(multiState);
    uint8_t* base = reinterpret_cast<uint8_t*>(multiState);
    h->patterns = base + kMultiHeaderSize;
    h->identifiers = base + kMultiHeaderSize + size_t(8) * maxPatterns;
    qel::zero_fill(h->patterns, bytes - kMultiHeaderSize);
    h->reserved = 0;
    h->maximum = maxPatterns;  // stored last: the set is complete from here
    return qelOk;
}

QelStatus qelsRegExpMultiInitAlloc(QelRegExpMultiState** multiState, Qel32u maxPatterns) {
    if (multiState == nullptr) return qelErrNullPtr;
    int32_t bytes = 0;
    if (maxPatterns == 0 || !multi_size_for(maxPatterns, &bytes)) return qelErrSize;
    auto* block = static_cast<QelRegExpMultiState*>(qel::own_alloc(bytes));
    *multiState = block;
    if (block == nullptr) return qelErrNullPtr;
    return qelsRegExpMultiInit(block, maxPatterns);
}

QelStatus qelsRegExpMultiAdd(QelRegExpState* state, int32_t id, QelRegExpMultiState* multiState) {
    if (qel::any_null(state, multiState)) return qelErrNullPtr;
    if (id == 0) return qelErrBadArg;
    MultiHeader* h = multi_header(multiState);
    // A search writes its state's tables, so a state in two slots would be
    // searched by two threads at once.
    if (find_slot_with_state(h, state) >= 0) return qelErrBadArg;
    int64_t slot = find_free_slot(h);
    if (slot < 0) return qelErrNoSlot;
    store_pattern(h, static_cast<uint32_t>(slot), state);
    store_id(h, static_cast<uint32_t>(slot), id);
    return qelOk;
}

QelStatus qelsRegExpMultiDelete(int32_t id, QelRegExpMultiState* multiState) {
    if (multiState == nullptr) return qelErrNullPtr;
    if (id == 0) return qelErrBadArg;
    MultiHeader* h = multi_header(multiState);
    int64_t slot = find_slot_with_id(h, id);
    if (slot < 0) return qelErrNotFound;
    store_pattern(h, static_cast<uint32_t>(slot), nullptr);
    store_id(h, static_cast<uint32_t>(slot), 0);
    return qelOk;
}

QelStatus qelsRegExpMultiModify(QelRegExpState* state, int32_t id, QelRegExpMultiState* multiState) {
    if (qel::any_null(state, multiState)) return qelErrNullPtr;
    if (id == 0) return qelErrBadArg;
    MultiHeader* h = multi_header(multiState);
    int64_t slot = find_slot_with_id(h, id);
    if (slot < 0) return qelErrNotFound;
    const int64_t holder = find_slot_with_state(h, state);
    if (holder >= 0 && holder != slot) return qelErrBadArg;
    store_pattern(h, static_cast<uint32_t>(slot), state);
    return qelOk;
}

QelStatus qelsRegExpMultiFind_8u(const Qel8u* subject, int32_t subjectLen, QelRegExpMultiFind* multiResults,
                                 const QelRegExpMultiState* multiState) {
    if (qel::any_null(subject, multiState, multiResults)) return qelErrNullPtr;
    if (subjectLen < 1) return qelErrSize;
    int32_t threads = ownGetNumThreads();
    if (threads < 1) threads = 1;
    search_all_slots(subject, subjectLen, multiResults, multi_header(multiState), threads);
    return qelOk;
}

}  // extern "C"
