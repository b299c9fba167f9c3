#include "matches.h"

#include <cstdlib>
#include <string>

#include "qelch.hpp"

namespace app {
namespace {

// Test hook: a search whose subject contains this text fails as a search
// cut by the library's match limit would, so that the tool's handling of
// that failure can be tested with any pattern.
bool cut_for_test(std::string_view text) {
    static const char* cut = std::getenv("QELCH_TEST_CUT_SEARCH");
    return cut && *cut && text.find(cut) != std::string_view::npos;
}

}  // namespace

Found first_match(QelRegExpState* state, std::string_view text) {
    static thread_local std::vector<QelRegExpFind> recs(1000);
    Found f;
    if (cut_for_test(text)) {
        f.status = qelErrMatchLimit;
        return f;
    }
    static const Qel8u empty = 0;
    const Qel8u* p = text.empty() ? &empty : reinterpret_cast<const Qel8u*>(text.data());
    int32_t count = int32_t(recs.size());
    f.status = qelsRegExpFind_8u(p, int32_t(text.size()), state, recs.data(), &count);
    if (f.status < 0 || count < 1) return f;
    f.count = count;
    f.offset = recs[0].pointer - p;
    f.length = recs[0].length;
    return f;
}

QelStatus first_matches(QelRegExpState* global, std::string_view text, std::vector<QelRegExpFind>& recs) {
    if (cut_for_test(text)) {
        recs.clear();
        return qelErrMatchLimit;
    }
    static const Qel8u empty = 0;
    const Qel8u* p = text.empty() ? &empty : reinterpret_cast<const Qel8u*>(text.data());
    int32_t count = int32_t(recs.size());
    const QelStatus st = qelsRegExpFind_8u(p, int32_t(text.size()), global, recs.data(), &count);
    recs.resize(st < 0 ? 0 : size_t(count));
    return st;
}

QelStatus all_matches(QelRegExpState* global, int32_t per_match, std::string_view text,
                      std::vector<std::pair<int64_t, int32_t>>& out) {
    out.clear();
    if (text.empty() || per_match < 1) return qelOk;
    if (cut_for_test(text)) return qelErrMatchLimit;
    static thread_local std::vector<QelRegExpFind> recs;
    size_t count = 0;
    const QelStatus st = qel::find_all_records(global, text, recs, count);
    if (st < 0) return st;
    const Qel8u* p = reinterpret_cast<const Qel8u*>(text.data());
    for (size_t i = 0; i + size_t(per_match) <= count; i += size_t(per_match))
        out.emplace_back(recs[i].pointer - p, recs[i].length);
    return st;
}

}  // namespace app
