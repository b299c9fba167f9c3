// The compiled pattern: node records, node kinds, option bits and the layout
// of QelRegExpState. This is the contract between the compiler, which writes
// the nodes, and the matcher and drivers, which read them.
//
// A state is one caller-owned block at any address (no alignment is required
// of the caller), so every record type here is packed: accesses compile to
// plain loads on x86 and stay well-defined at odd addresses.
//
// Layout (byte offsets):
//   0  identifier word (0x78456772)      16 prefilter node
//   4  options                           20 match limit
//   8  node count                        24 format (1 UTF-8, 0 bytes)
//   12 capture count (captures + 1)      28 search mode (0, 1, 2)
//   32     group table: 1000 RegExpGroupSlot records of 32 bytes
//   32032  capture table: 1000 CaptureRecord records of 16 bytes
//   48032  node array: (pattern length + 1) RegExpNode records of 24 bytes
//   after the last node: the bytes of every RE_STRING node, back to back.
//
// Group-table record 0 is never used by the matcher (group indices start at
// 1); the compiler keeps the search plan's descriptor there (PlanSlot). The
// records above the pattern's own groups are never touched by the matcher
// either: the compiler puts the search plan there, and what is left above the
// plan is spare room for other per-state search data.
#ifndef QELCH_REGEX_REGEXP_STATE_H
#define QELCH_REGEX_REGEXP_STATE_H

#include <cstdint>
#include <cstring>

#include "qelch.h"

namespace qel::re {

// ---- Node kinds (w0). ----
enum : uint32_t {
    RE_CHAR = 0x10000000,
    RE_STRING = 0x10000001,
    RE_BACKREF = 0x10000002,
    RE_CLASS = 0x10000003,
    RE_PREDEF = 0x10000004,
    RE_ANCHOR = 0x10000005,
    RE_ALT_END = 0x10000006,
    RE_RANGE = 0x10000007,
    RE_LAZY = 0x10000008,
    RE_GREEDY = 0x10000009,
    RE_LOOKBEHIND = 0x1000000a,
    RE_NLOOKBEHIND = 0x1000000b,
    RE_LOOKAHEAD = 0x1000000c,
    RE_NLOOKAHEAD = 0x1000000d,
    RE_GROUP_OPTS = 0x1000000e,
    RE_COND = 0x1000000f,
    RE_CAPTURE = 0x10000010,
    RE_GROUP = 0x10000011,
    RE_ATOMIC = 0x10000012,
    RE_CLOSE = 0x10000013,
    RE_SETOPTS = 0x10000014,
    RE_BYTE = 0x10000015,
    RE_UCHAR = 0x10000016,
    RE_UPROP = 0x10000017,
    RE_URANGE = 0x10000018,
    RE_URANGES = 0x10000019,
    RE_GRAPHEME = 0x1000001a,
};
constexpr uint32_t RE_KIND_FIRST = RE_CHAR;
constexpr uint32_t RE_KIND_LAST = RE_GRAPHEME;

// ---- Option bits. ----
enum : uint32_t {
    RE_OPT_DOTALL = 0x01,
    RE_OPT_MULTILINE = 0x02,
    RE_OPT_IGNORECASE = 0x04,
    RE_OPT_EXTENDED = 0x08,
    RE_OPT_GLOBAL = 0x10,
};

constexpr int32_t RE_UNBOUNDED = 0x3fffffff;  // maximum of "*", "+", "{n,}"
constexpr int32_t RE_COUNT_MAX = 0xffff;      // largest explicit repeat count
constexpr int32_t RE_ANCHOR_LINE_START = 128; // w1 of the leading-wildcard anchor
// w3 of the RE_RANGE members a negated POSIX item of several ranges is written
// as: the gaps between its ranges, the last one ending at RE_GAP_END. The
// gaps of one item are one set: under ignore-case a character belongs to it
// only when all its case forms do.
constexpr int32_t RE_RANGE_GAP = 1;
constexpr int32_t RE_GAP_END = 0x7fffffff;

constexpr uint32_t kStateIdentifier = 0x78456772;
constexpr int32_t kDefaultMatchLimit = 10000;
constexpr int32_t kMaxGroups = 999;           // group indices 1..999
constexpr int32_t kMaxCaptureRecords = 1000;  // record 0 + 999 captures

constexpr int32_t kGroupTableOffset = 32;
constexpr int32_t kCaptureTableOffset = 32032;
constexpr int32_t kNodeArrayOffset = 48032;
constexpr int32_t kNodeSize = 24;
// 48032 + 24 * (L + 1): one node per pattern byte plus the wildcard marker.
constexpr int64_t state_size_for(int64_t patternLen) { return kNodeArrayOffset + kNodeSize * (patternLen + 1); }

struct __attribute__((packed)) RegExpNode {
    uint32_t w0;  // kind
    int32_t w1;
    int32_t w2;
    int32_t w3;
    uint32_t w4;  // w4-w5: one 64-bit pointer (RE_STRING text, RE_URANGES pairs)
    uint32_t w5;
};
static_assert(sizeof(RegExpNode) == 24);

inline const void* node_pointer(const RegExpNode& n) {
    uint64_t v = uint64_t(n.w4) | (uint64_t(n.w5) << 32);
    return reinterpret_cast<const void*>(static_cast<uintptr_t>(v));
}
inline void set_node_pointer(RegExpNode& n, const void* p) {
    uint64_t v = reinterpret_cast<uintptr_t>(p);
    n.w4 = static_cast<uint32_t>(v);
    n.w5 = static_cast<uint32_t>(v >> 32);
}
inline bool is_valid_kind(uint32_t k) { return k >= RE_KIND_FIRST && k <= RE_KIND_LAST; }

struct __attribute__((packed)) StateHeader {
    uint32_t identifier;
    uint32_t options;
    int32_t nodeCount;
    int32_t captureCount;
    int32_t prefilterNode;  // trailing literal node, -1 none, -2 top-level bar
    int32_t matchLimit;
    int32_t format;
    int32_t searchMode;
};
static_assert(sizeof(StateHeader) == 32);

// Same layout as the public QelRegExpFind (pointer, length, 4 spare bytes).
struct __attribute__((packed)) CaptureRecord {
    const uint8_t* pointer;
    int32_t length;
    int32_t reserved;
};
static_assert(sizeof(CaptureRecord) == 16);

// The matcher's per-group work record, indexed by group index.
struct __attribute__((packed)) RegExpGroupSlot {
    int32_t minLeft;        // passes still required
    int32_t maxLeft;        // passes still allowed
    int32_t openNode;       // index of the group's opening node
    int32_t passStartLeft;  // remaining subject length when the pass began
    int32_t captureNumber;  // capturing groups only
    uint32_t inPass;        // 1 while a pass through the body is under way
    uint32_t passMarks;     // bit 0: the current pass has reached the closing node before;
                            // bits 1-31: 1 + the remaining length where empty passes below
                            // the minimum are being settled without nesting, or 0
    int32_t lastPassLength; // bytes of the last completed pass
};
static_assert(sizeof(RegExpGroupSlot) == 32);

// The search plan's descriptor, in group-table record 0. Written by every
// successful compile; a block whose tag is wrong (a state damaged or built by
// hand) simply has no plan, and the driver analyses the pattern per call.
struct __attribute__((packed)) PlanSlot {
    uint32_t tag;         // kPlanTag
    uint32_t flags;       // kPlanGeneralOnly
    int32_t planOffset;   // byte offset of the plan from the state's start, 0 = no plan
    int32_t planBytes;
    int32_t spareOffset;  // group-table bytes above the plan that no one uses yet
    int32_t spareBytes;
    int32_t groupLimit;   // first group index the pattern does not use
    int32_t reserved;
};
static_assert(sizeof(PlanSlot) == 32);
constexpr uint32_t kPlanTag = 0x6e616c50;
// Forces the general path: every search shortcut off, the backtracker alone
// over every start position. The reference that each fast path is checked
// against; a fresh compile clears it.
constexpr uint32_t kPlanGeneralOnly = 0x1;

inline StateHeader* header(QelRegExpState* s) { return reinterpret_cast<StateHeader*>(s); }
inline const StateHeader* header(const QelRegExpState* s) { return reinterpret_cast<const StateHeader*>(s); }
inline RegExpGroupSlot* group_table(QelRegExpState* s) {
    return reinterpret_cast<RegExpGroupSlot*>(reinterpret_cast<uint8_t*>(s) + kGroupTableOffset);
}
inline CaptureRecord* capture_table(QelRegExpState* s) {
    return reinterpret_cast<CaptureRecord*>(reinterpret_cast<uint8_t*>(s) + kCaptureTableOffset);
}
inline RegExpNode* node_array(QelRegExpState* s) {
    return reinterpret_cast<RegExpNode*>(reinterpret_cast<uint8_t*>(s) + kNodeArrayOffset);
}
inline const RegExpNode* node_array(const QelRegExpState* s) {
    return reinterpret_cast<const RegExpNode*>(reinterpret_cast<const uint8_t*>(s) + kNodeArrayOffset);
}

inline PlanSlot* plan_slot(QelRegExpState* s) {
    return reinterpret_cast<PlanSlot*>(reinterpret_cast<uint8_t*>(s) + kGroupTableOffset);
}
inline const PlanSlot* plan_slot(const QelRegExpState* s) {
    return reinterpret_cast<const PlanSlot*>(reinterpret_cast<const uint8_t*>(s) + kGroupTableOffset);
}
inline bool general_path_only(const QelRegExpState* s) {
    const PlanSlot* p = plan_slot(s);
    return p->tag == kPlanTag && (p->flags & kPlanGeneralOnly) != 0;
}
// Internal switch (not exported): tests and benchmarks compare the fast paths
// with the general path through it. A state without a descriptor gets one.
inline void set_general_path_only(QelRegExpState* s, bool on) {
    PlanSlot* p = plan_slot(s);
    if (p->tag != kPlanTag) *p = PlanSlot{kPlanTag, 0, 0, 0, 0, 0, 0, 0};
    p->flags = on ? (p->flags | kPlanGeneralOnly) : (p->flags & ~kPlanGeneralOnly);
}

// Builds the search plan of a freshly compiled state into the group-table
// records from `groupLimit` up and writes the descriptor (search stage,
// start_filter.cpp). Patterns that leave no room get a descriptor without a
// plan.
void build_search_plan(QelRegExpState* state, int32_t groupLimit);

}  // namespace qel::re

#endif
