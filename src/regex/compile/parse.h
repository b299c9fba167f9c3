// Internal entry points of the pattern compiler and of the class and property
// parsers it calls. Cursors move over the zero-terminated pattern; on an error
// the cursor is left on the byte whose offset the compiler reports.
#ifndef QELCH_REGEX_COMPILE_PARSE_H
#define QELCH_REGEX_COMPILE_PARSE_H

#include <cstdint>

#include "regex/regexp_state.h"

namespace qel::re {

// Class parser: entered with the cursor on '['. Appends the class header and
// its members (or the reduced single member) at nodes[nodeCount...] and moves
// the cursor past the closing ']'. Returns qelOk, or an error status with the
// cursor on the byte whose offset is the error offset.
QelStatus ownRegExpParseClass(const char* pattern, const char*& cursor, RegExpNode* nodes, int32_t& nodeCount);

// Property parser: entered with the cursor on the 'p' or 'P' after the
// backslash; negate is 0 for "\p", -1 for "\P". Appends exactly one node and
// returns 0, or returns -1 with the cursor on the first rejected byte.
int ownRegExpParseProperty(const char*& cursor, RegExpNode* nodes, int32_t& nodeCount, int32_t negate);

}  // namespace qel::re

#endif
