// Patterns simple enough that whether a line matches follows from its bytes
// alone, without the matcher: grep answers them with byte-set searches over
// a whole piece of lines. Only a few shapes are recognised, read from the
// pattern's text; anything else is left to the matcher.
#ifndef QELCH_APP_LINE_SHAPE_H
#define QELCH_APP_LINE_SHAPE_H

#include <array>
#include <string>

namespace app {

struct LineShape {
    enum Kind {
        kNone,       // the matcher decides
        kEveryLine,  // matches the empty string at the line's start: every line
        kAnyOf,      // a line matches when it holds a byte of `set`
        kOnlyOf,     // a line matches when all its bytes are in `set`
    };
    Kind kind = kNone;
    std::array<bool, 256> set{};  // never holds the line feed
};

// `bytes` is the byte format (without it, only kEveryLine is given: in UTF-8
// the matcher steps by characters, which a byte search does not);
// `ignore_case` and `extended` are the pattern options -i and --extended.
LineShape line_shape(const std::string& pattern, bool bytes, bool ignore_case, bool extended);

}  // namespace app

#endif
