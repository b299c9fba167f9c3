// Layout of QelRegExpMultiState and the internal helpers of the pattern-set
// search. One block of 24 + 12 x maximum bytes at any address (packed):
//   0 maximum (u32), 4 spare, 8 pointer to the pattern array,
//   16 pointer to the identifier array, 24 pattern array (maximum pointers),
//   then the identifier array (maximum signed 32-bit words).
#ifndef QELCH_REGEX_MATCH_MULTI_H
#define QELCH_REGEX_MATCH_MULTI_H

#include <cstdint>

#include "qelch.h"

namespace qel::re {

struct __attribute__((packed)) MultiHeader {
    uint32_t maximum;
    uint32_t reserved;
    uint8_t* patterns;     // maximum x QelRegExpState*, null = free slot
    uint8_t* identifiers;  // maximum x int32_t, 0 in a free slot
};
static_assert(sizeof(MultiHeader) == 24);
constexpr uint64_t kMultiHeaderSize = 24;
constexpr uint64_t kMultiSlotSize = 12;

// Lowest free slot / lowest slot with the identifier, or -1.
int64_t find_free_slot(const MultiHeader* h);
int64_t find_slot_with_id(const MultiHeader* h, int32_t id);
// Lowest slot holding `state`, or -1.
int64_t find_slot_with_state(const MultiHeader* h, const QelRegExpState* state);
// Block size for a maximum; false when it leaves the signed 32-bit range.
bool multi_size_for(Qel32u maxPatterns, int32_t* size);
// Serial when maximum <= threads, otherwise one parallel region.
void search_all_slots(const Qel8u* subject, int32_t len, QelRegExpMultiFind* records, const MultiHeader* h,
                      int32_t threads);

}  // namespace qel::re

#endif
