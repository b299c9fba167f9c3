// Stand-ins for the bracket-class and property parsers until they land: both
// refuse, so "[" and "\p" patterns fail cleanly instead of failing to link.
#include "regex/compile/parse.h"

namespace qel::re {

QelStatus ownRegExpParseClass(const char*, const char*&, RegExpNode*, int32_t&) { return qelErrRegExpCharClass; }

int ownRegExpParseProperty(const char*&, RegExpNode*, int32_t&, int32_t) { return -1; }

}  // namespace qel::re
