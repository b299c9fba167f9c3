// Finding matches with the library from the tool: the leftmost match with
// its record count, and every whole match of a line.
#ifndef QELCH_APP_MATCHES_H
#define QELCH_APP_MATCHES_H

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "qelch.h"

namespace app {

struct Found {
    QelStatus status = qelOk;
    int32_t count = 0;     // records written: 0 = no match, else the pattern's record count
    int64_t offset = -1;   // whole match, relative to the text
    int32_t length = 0;
};
Found first_match(QelRegExpState* state, std::string_view text);

// The first matches of a state compiled with "g" of a pattern without
// groups (whose records are then the whole matches), as many as `recs`
// holds; `recs` is cut to the number found.
QelStatus first_matches(QelRegExpState* global, std::string_view text, std::vector<QelRegExpFind>& recs);

// Every whole match of a state compiled with "g", in order. The global search
// reports groups without the whole match for patterns with groups, while the
// global replacement reports whole match and groups of every match; so the
// records come from a replacement with an empty template that writes no
// output (qel::find_all_records). `per_match` is the
// pattern's record count (whole match + groups). `out` is refilled, so a
// caller that keeps it allocates nothing once it has grown.
QelStatus all_matches(QelRegExpState* global, int32_t per_match, std::string_view text,
                      std::vector<std::pair<int64_t, int32_t>>& out);

}  // namespace app

#endif
