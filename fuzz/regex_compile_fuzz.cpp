// Pattern compiler fuzz target. The compiler makes no bound checks of its
// own and relies on the size formula; here every pattern is compiled into a
// block of exactly the reported size that ends at an inaccessible page, with
// the pattern itself (and its terminating zero) flush against another one.
//
// Input: first byte picks the options (bits: s m i x g), the rest is the
// pattern up to the first zero byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "qelch.h"
#include "regex/regexp_state.h"

using qelfuzz::PageGuard;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    char options[6];
    qelfuzz::options_from_bits(data[0], options);

    const uint8_t* body = data + 1;
    size_t len = size - 1;
    if (const void* zero = std::memchr(body, 0, len)) len = size_t(static_cast<const uint8_t*>(zero) - body);

    PageGuard text(len + 1, true);
    std::memcpy(text.data(), body, len);
    text.data()[len] = 0;
    const char* pattern = reinterpret_cast<const char*>(text.data());

    int32_t stateSize = 0;
    if (qelsRegExpGetSize(pattern, &stateSize) != qelOk) std::abort();
    PageGuard block(static_cast<size_t>(stateSize), true);
    auto* state = reinterpret_cast<QelRegExpState*>(block.data());
    int32_t offset = -1;
    QelStatus st = qelsRegExpInit(pattern, (data[0] & 0x20) ? nullptr : options, state, &offset);
    if (st != qelOk) {
        if (offset < 0 || size_t(offset) > len) std::abort();
        return 0;
    }
    // Every node and every copied text byte lies inside the block.
    const auto* h = qel::re::header(state);
    const qel::re::RegExpNode* nodes = qel::re::node_array(state);
    if (h->nodeCount < 0 || int64_t(h->nodeCount) > int64_t(len) + 1) std::abort();
    const uint8_t* blockEnd = block.data() + stateSize;
    for (int32_t i = 0; i < h->nodeCount; ++i) {
        if (!qel::re::is_valid_kind(nodes[i].w0)) std::abort();
        if (nodes[i].w0 == qel::re::RE_STRING) {
            const auto* p = static_cast<const uint8_t*>(qel::re::node_pointer(nodes[i]));
            if (p < reinterpret_cast<const uint8_t*>(nodes + h->nodeCount) || p + nodes[i].w2 > blockEnd) std::abort();
        }
    }
    return 0;
}
