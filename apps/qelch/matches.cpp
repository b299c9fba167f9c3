#include "matches.h"

#include <string>

namespace app {

Found first_match(QelRegExpState* state, std::string_view text) {
    static thread_local std::vector<QelRegExpFind> recs(1000);
    Found f;
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

std::vector<std::pair<int64_t, int32_t>> all_matches(QelRegExpState* global, int32_t per_match, std::string_view text,
                                                     QelStatus* status) {
    std::vector<std::pair<int64_t, int32_t>> out;
    *status = qelOk;
    if (text.empty() || per_match < 1) return out;
    alignas(16) unsigned char rs_mem[64];
    auto* rs = reinterpret_cast<QelRegExpReplaceState*>(rs_mem);
    qelsRegExpReplaceInit(nullptr, rs);
    std::string sink(text.size() + 1, '\0');  // matches are dropped: the output never grows
    std::vector<QelRegExpFind> recs(size_t(per_match) * 64);
    const Qel8u* p = reinterpret_cast<const Qel8u*>(text.data());
    for (;;) {
        int32_t subLen = int32_t(text.size()), dstLen = int32_t(sink.size()), count = int32_t(recs.size());
        QelStatus st = qelsRegExpReplace_8u(p, &subLen, reinterpret_cast<Qel8u*>(sink.data()), &dstLen, recs.data(),
                                            &count, global, rs);
        if (st == qelWrnFindIncomplete && recs.size() < (size_t(1) << 28)) {
            recs.resize(recs.size() * 4);
            continue;
        }
        *status = st;
        if (st < 0) return out;
        for (int32_t i = 0; i + per_match <= count; i += per_match)
            out.emplace_back(recs[size_t(i)].pointer - p, recs[size_t(i)].length);
        return out;
    }
}

}  // namespace app
