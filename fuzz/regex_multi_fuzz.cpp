// Pattern-set fuzz target. Several patterns from the input go into one set
// (some slots left free or freed again), and the subject is searched with the
// core's thread count set so that the search runs serially and in a parallel
// region of one, two or three threads (chosen by the input). Both runs must
// give identical records, free slots' records must stay untouched, and each
// searched slot must report what a search of its pattern on its own reports.
//
// Input: byte 0 options (bits: s m i x g; the top three bits pick the
// parallel region's thread count), byte 1 the set's size (low nibble + 1)
// and a deletion choice (high nibble), byte 2 the number of patterns, then
// the patterns, each ended by a zero byte, then the subject.
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "qelch.h"
#include "qelcore.h"

using qelfuzz::GuardedText;
using qelfuzz::PageGuard;

namespace {

// Each slot searches under the work budget of this limit, as a search of its
// pattern alone does, and the set is searched three times per input (serial,
// each slot alone, one parallel region): with sixteen slots that all run out
// of budget, a limit of 32 took seconds per input under the sanitizers. At 16
// every input ends well within a second, so a slow input is a fault, not a
// warning. A slot its budgets cut reports qelErrMatchLimit as its own status.
constexpr int32_t kMatchLimit = 16;
constexpr size_t kMaxSubject = 128;
constexpr int32_t kUntouched = 0x5A5A5A5A;

struct SlotRun {
    QelRegExpMultiFind rec;
    std::vector<QelRegExpFind> found;
};

// Capacity of the result array of slot i: small and varied, so that the
// warning for records that did not fit comes up too.
int32_t capacity_of(size_t i) { return int32_t(1 + i % 4); }

std::vector<SlotRun> search(const uint8_t* s, size_t n, QelRegExpMultiState* set, uint32_t max, int32_t threads) {
    qelcoreCtlSetNumThreads(threads);
    std::vector<std::unique_ptr<PageGuard>> arrays;
    std::vector<QelRegExpMultiFind> recs(max);
    for (uint32_t i = 0; i < max; ++i) {
        int32_t cap = capacity_of(i);
        arrays.emplace_back(new PageGuard(sizeof(QelRegExpFind) * size_t(cap), true));
        recs[i] = {kUntouched, kUntouched, cap, kUntouched, arrays.back()->as<QelRegExpFind>()};
    }
    QelStatus st = qelsRegExpMultiFind_8u(s, int32_t(n), recs.data(), set);
    QELFUZZ_CHECK(st == qelOk);
    std::vector<SlotRun> out(max);
    for (uint32_t i = 0; i < max; ++i) {
        out[i].rec = recs[i];
        if (recs[i].searched == 1 && recs[i].count > 0) {
            QELFUZZ_CHECK(recs[i].count <= capacity_of(i));
            out[i].found.assign(recs[i].results, recs[i].results + recs[i].count);
        }
    }
    qelcoreCtlSetNumThreads(0);
    return out;
}

bool same_records(const std::vector<QelRegExpFind>& a, const std::vector<QelRegExpFind>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].pointer != b[i].pointer || a[i].length != b[i].length) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qelfuzz::Input in(data, size);
    const uint8_t opt_bits = in.byte();
    const uint8_t shape = in.byte();
    const uint8_t wanted = in.byte();
    const uint32_t max = 1 + (shape & 0x0F);

    char options[6];
    qelfuzz::options_from_bits(opt_bits, options);

    // Compile each pattern into a state of exactly its size at a guard page.
    std::vector<std::unique_ptr<PageGuard>> blocks;
    std::vector<QelRegExpState*> states;
    for (uint32_t i = 0; i < (wanted % (max + 1)) && !in.empty(); ++i) {
        GuardedText pat(in.field(), true, true);
        int32_t bytes = 0;
        QELFUZZ_CHECK(qelsRegExpGetSize(pat.chars(), &bytes) == qelOk);
        blocks.emplace_back(new PageGuard(size_t(bytes), true));
        auto* st = blocks.back()->as<QelRegExpState>();
        int32_t offset = 0;
        if (qelsRegExpInit(pat.chars(), options, st, &offset) != qelOk) {
            states.push_back(nullptr);
            continue;
        }
        QELFUZZ_CHECK(qelsRegExpSetMatchLimit(kMatchLimit, st) == qelOk);
        states.push_back(st);
    }
    std::string_view subject = in.rest();
    if (subject.size() > kMaxSubject) subject = subject.substr(0, kMaxSubject);

    int32_t set_bytes = 0;
    QELFUZZ_CHECK(qelsRegExpMultiGetSize(max, &set_bytes) == qelOk);
    PageGuard set_block(size_t(set_bytes), true);
    auto* set = set_block.as<QelRegExpMultiState>();
    QELFUZZ_CHECK(qelsRegExpMultiInit(set, max) == qelOk);
    // Identifier i + 1 for pattern i; a pattern that did not compile leaves
    // its slot free.
    std::vector<QelRegExpState*> in_slot(max, nullptr);
    uint32_t next = 0;
    for (size_t i = 0; i < states.size(); ++i) {
        if (!states[i]) continue;
        QELFUZZ_CHECK(qelsRegExpMultiAdd(states[i], int32_t(i + 1), set) == qelOk);
        in_slot[next++] = states[i];
    }
    // A state the set holds is refused whether or not a slot is free; another
    // state finds a full set full.
    if (next > 0) QELFUZZ_CHECK(qelsRegExpMultiAdd(in_slot[0], 99, set) == qelErrBadArg);
    if (next == max) {
        uint8_t other = 0;
        QELFUZZ_CHECK(qelsRegExpMultiAdd(reinterpret_cast<QelRegExpState*>(&other), 99, set) == qelErrNoSlot);
    }
    // Free one slot again, chosen by the input.
    if ((shape >> 4) != 0 && next > 0) {
        uint32_t victim = (shape >> 4) % next;
        int32_t id = 0;
        for (size_t i = 0, seen = 0; i < states.size(); ++i) {
            if (!states[i]) continue;
            if (seen++ == victim) id = int32_t(i + 1);
        }
        QELFUZZ_CHECK(qelsRegExpMultiDelete(id, set) == qelOk);
        in_slot[victim] = nullptr;
    }

    GuardedText subj(subject, true);
    if (subject.empty()) {
        QelRegExpMultiFind rec{};
        QELFUZZ_CHECK(qelsRegExpMultiFind_8u(subj.bytes(), 0, &rec, set) == qelErrSize);
        return 0;
    }

    // Serial (more threads than slots), then a parallel region.
    std::vector<SlotRun> serial = search(subj.bytes(), subject.size(), set, max, 64);
    for (uint32_t i = 0; i < max; ++i) {
        const QelRegExpMultiFind& r = serial[i].rec;
        if (!in_slot[i]) {
            QELFUZZ_CHECK(r.searched == kUntouched && r.identifier == kUntouched && r.status == kUntouched);
            continue;
        }
        QELFUZZ_CHECK(r.searched == 1);
        // The slot reports what a search of its pattern alone reports.
        std::vector<QelRegExpFind> alone(size_t(capacity_of(i)));
        int32_t count = capacity_of(i);
        QelStatus st = qelsRegExpFind_8u(subj.bytes(), int32_t(subject.size()), in_slot[i], alone.data(), &count);
        QELFUZZ_CHECK(st == r.status && count == r.count);
        alone.resize(size_t(count > 0 ? count : 0));
        QELFUZZ_CHECK(same_records(alone, serial[i].found));
        for (const QelRegExpFind& f : alone)
            QELFUZZ_CHECK(f.pointer == nullptr ||
                          (f.pointer >= subj.bytes() && f.length >= 0 &&
                           size_t(f.pointer - subj.bytes()) + size_t(f.length) <= subject.size()));
    }
    {
        const int32_t threads = 1 + (opt_bits >> 5) % 3;
        std::vector<SlotRun> par = search(subj.bytes(), subject.size(), set, max, threads);
        for (uint32_t i = 0; i < max; ++i) {
            const QelRegExpMultiFind &a = serial[i].rec, &b = par[i].rec;
            QELFUZZ_CHECK(a.searched == b.searched && a.identifier == b.identifier && a.count == b.count &&
                          a.status == b.status);
            QELFUZZ_CHECK(same_records(serial[i].found, par[i].found));
        }
    }
    return 0;
}
