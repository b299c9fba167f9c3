// The program of the linear path and where it lives in the state.
//
// Layout: the capture records from the pattern's capture count up to the
// node array are never written by the backtracker or the driver. The
// program starts at the first 8-byte boundary in that gap (the state cannot
// move, so the address and its alignment are fixed) and holds, in order:
// the header, the instructions, the consumer byte sets, and the work areas
// of one scan (two thread lists, the mark words, the closure stack, the
// current and the best capture vectors).
//
// A thread is {pc, bytes still to skip, capture vector}. The capture vector
// holds the match start, then per capture k >= 1 three words: the start of
// the pass under way, and start and end of the last completed pass (-1 when
// unset), as offsets from the subject start.
#ifndef QELCH_REGEX_MATCH_LINEAR_INTERNAL_H
#define QELCH_REGEX_MATCH_LINEAR_INTERNAL_H

#include <cstdint>

#include "regex/match/linear.h"

namespace qel::re {

constexpr uint32_t kLinearMagic = 0x4c696e50;   // program built and usable
constexpr uint32_t kLinearRefused = 0x4c696e58; // pattern stays with the backtracker
// Empty-pass flags multiply the closure's state space by 2^F.
constexpr int32_t kLinearMaxFlags = 3;
constexpr int32_t kLinearMaxInsts = 2048;
constexpr int32_t kLinearMaxSets = 160;
// When the driver prefers the linear path (LinearProgram::useful).
constexpr uint32_t kUsefulAlways = 2;  // repeated groups: the backtracker can be exponential
constexpr uint32_t kUsefulLong = 1;    // retried runs: quadratic

enum LinearOp : uint8_t {
    L_CONSUME,     // one character accepted by set y (and node x for bytes >= 0x80, by kind)
    L_SPLIT,       // try x, then y
    L_JMP,         // go to x
    L_OPEN,        // capture x: a pass starts here
    L_CLOSE,       // capture x: the pass ends here and becomes the capture
    L_ASSERT,      // anchor letter `letter` under options `opts`
    L_LOOP_BEGIN,  // a pass of repeat flag `flag` starts here
    L_LOOP_CHECK,  // end of a pass of flag `flag`: empty pass -> x, else y
    L_MATCH,
};

// How a consumer treats a lead byte of 0x80 or more.
enum LinearKind : uint8_t {
    K_BYTE,     // the set decides; one byte
    K_LEAD,     // the set decides on the lead byte; the whole UTF-8 character
    K_GENERAL,  // the node's own test on the character (class or code-point item)
};

struct LinearInst {
    uint8_t op;
    uint8_t kind;    // L_CONSUME
    uint8_t letter;  // L_ASSERT
    uint8_t flag;    // L_LOOP_BEGIN, L_LOOP_CHECK
    int32_t x;       // target, capture number, or node index (L_CONSUME)
    int32_t y;       // second target, or set index (L_CONSUME)
    uint32_t opts;   // options in force
};
// A flag is set when a pass of its repeat starts and cleared by every
// consumed character, so at the end of the pass it tells an empty pass.

struct LinearSet {
    uint64_t bits[4];
    bool has(uint8_t b) const { return (bits[b >> 6] >> (b & 63)) & 1; }
    void add(uint8_t b) { bits[b >> 6] |= uint64_t(1) << (b & 63); }
};

struct LinearProgram {
    uint32_t magic;
    uint32_t useful;       // kUsefulAlways, kUsefulLong or 0 (the backtracker stays linear)
    uint32_t canBeEmpty;   // a match may consume nothing
    int32_t captureCount;  // of the state at build time
    int32_t instCount;
    int32_t setCount;
    int32_t flagCount;
    int32_t consumerCount;
    int32_t capWords;      // words of a capture vector
    int32_t threadWords;   // 2 + capWords
    int32_t listCapacity;  // threads per list
    int32_t stackCapacity; // closure stack entries (2 words each)
    int32_t keyCount;      // mark words: instCount << flagCount
    int32_t setOff, listAOff, listBOff, markOff, stackOff, curOff, bestOff;  // byte offsets from the header
    int32_t pad;
    LinearSet firstBytes;  // bytes a non-empty match can begin with
};
static_assert(sizeof(LinearProgram) % 8 == 0);

inline const LinearInst* linear_insts(const LinearProgram* p) {
    return reinterpret_cast<const LinearInst*>(reinterpret_cast<const uint8_t*>(p) + sizeof(LinearProgram));
}

}  // namespace qel::re

#endif
